#pragma once
// Reference computation of a site's error-count distributions and
// observation table by full enumeration of the sets of erroneous reads, in
// the order and with the products in read order as first implemented. Slow
// (C(n, k) products of n factors per row): for tests of small classes only.

#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <utility>
#include <vector>

#include "estimator/qscorecolumn.hpp"

namespace oracle {

inline double ErrProb(std::uint8_t q) {
    return std::pow(10.0, q / -10.0);
}

// Calls fn with every row of n marks holding exactly k set marks: start with
// the first k set; then repeatedly take the rightmost clear mark p >= 1 whose
// left neighbour is set, move that set mark onto p and pack all set marks
// right of p immediately after it. For n = 4, k = 2: 1100 1010 1001 0110
// 0101 0011.
inline void ForEachSubset(unsigned n, unsigned k,
                          const std::function<void(const std::vector<bool>&)>& fn) {
    std::vector<bool> mark(n, false);
    std::fill(mark.begin(), mark.begin() + k, true);
    for (;;) {
        fn(mark);
        unsigned p = n;  // none
        for (unsigned q = n; q-- > 1;) {
            if (!mark[q] && mark[q - 1]) {
                p = q;
                break;
            }
        }
        if (p == n) {
            return;
        }
        mark[p - 1] = false;
        mark[p] = true;
        const auto right =
            static_cast<unsigned>(std::count(mark.begin() + p + 1, mark.end(), true));
        for (unsigned q = p + 1; q < n; ++q) {
            mark[q] = q <= p + right;
        }
    }
}

// Distribution of the number of erroneous reads with the row rules (1e-10
// stop after a positive entry, rows of more than 1e6 sets reported on err
// and left 0).
inline std::vector<double> ErrCountDist(const std::vector<std::uint8_t>& scores, int pos,
                                        std::ostream& err) {
    const auto n = static_cast<unsigned>(scores.size());
    std::vector<double> out(n + 1, 0.0);
    double maxSeen = 0.0;
    for (unsigned k = 0; k <= n; ++k) {
        out[k] = 0.0;
        if (!(k == 0 || out[k - 1] > 1e-10 || maxSeen == 0.0)) {
            continue;
        }
        if (gsl_sf_choose(n, k) > 1e6) {
            err << "Depth/numFalse too big at #" << pos << "; last prob: " << out[k - 1]
                << std::endl;
            continue;
        }
        ForEachSubset(n, k, [&](const std::vector<bool>& mark) {
            double prod = 1.0;
            for (unsigned r = 0; r < n; ++r) {
                const double e = ErrProb(scores[r]);
                prod *= mark[r] ? e : (1.0 - e);
            }
            out[k] += prod;
        });
        maxSeen = std::max(maxSeen, out[k]);
    }
    return out;
}

// The classes as a column built from them would hold them: in folded use the
// largest class (lowest on ties) becomes class 0, then classes 2 and 3 join
// class 1.
inline CQScoreColumn::TScores Regroup(CQScoreColumn::TScores s, bool useAll) {
    if (!useAll) {
        std::size_t best = 0;
        for (std::size_t w = 1; w < 4; ++w) {
            if (s[w].size() > s[best].size()) {
                best = w;
            }
        }
        std::swap(s[0], s[best]);
    }
    for (std::size_t w = 2; w < 4; ++w) {
        s[1].insert(s[1].end(), s[w].begin(), s[w].end());
        s[w].clear();
    }
    return s;
}

// Observation table of regrouped classes: entry t sums A[i] B[j] over the
// pairs with t = R - i + j (A of class 1 with R reads, B of class 0) and
// divides by C(N, t).
inline std::vector<double> ObservationTable(const CQScoreColumn::TScores& regrouped, int pos,
                                            std::ostream& err) {
    const std::vector<double> a = ErrCountDist(regrouped[1], pos, err);
    const std::vector<double> b = ErrCountDist(regrouped[0], pos, err);
    const int r = static_cast<int>(regrouped[1].size());
    const int n = r + static_cast<int>(regrouped[0].size());
    std::vector<double> table(n + 1, 0.0);
    for (int t = 0; t <= n; ++t) {
        double sum = 0.0;
        if (t <= r) {
            const int d = r - t;
            const int m = std::min(n - r, t);
            for (int j = 0; j <= m; ++j) {
                sum += b[j] * a[d + j];
            }
        } else {
            const int m = std::min(n - t, r);
            for (int i = 0; i <= m; ++i) {
                sum += a[i] * b[t - r + i];
            }
        }
        table[t] = sum / gsl_sf_choose(n, t);
    }
    return table;
}

}  // namespace oracle
