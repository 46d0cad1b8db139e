#pragma once
// Reference computation of a site's error-count distributions and
// observation table by full enumeration of the sets of erroneous reads.
// Slow (C(n, k) products of n factors per row): for small classes only.

#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

namespace oracle {

// Distribution of the number of erroneous reads, row k summing over every
// set of k reads the product of e (read in the set) or 1 - e (not). With
// rules (qualfit's): after a positive entry a row at or below 1e-10 ends it;
// rows of more than 1e6 sets are reported on err and left 0.
inline std::vector<double> ErrCountDist(const std::vector<std::uint8_t>& scores, int pos,
                                        std::ostream& err, bool rules = true) {
    const auto n = static_cast<unsigned>(scores.size());
    std::vector<double> out(n + 1, 0.0);
    double maxSeen = 0.0;
    for (unsigned k = 0; k <= n; ++k) {
        if (rules && k > 0 && out[k - 1] <= 1e-10 && maxSeen != 0.0) {
            continue;
        }
        if (rules && gsl_sf_choose(n, k) > 1e6) {
            err << "Depth/numFalse too big at #" << pos << "; last prob: " << out[k - 1]
                << std::endl;
            continue;
        }
        std::vector<bool> mark(n, false);
        std::fill_n(mark.begin(), k, true);
        do {
            double prod = 1.0;
            for (unsigned r = 0; r < n; ++r) {
                const double e = std::pow(10.0, scores[r] / -10.0);
                prod *= mark[r] ? e : 1.0 - e;
            }
            out[k] += prod;
        } while (std::prev_permutation(mark.begin(), mark.end()));
        maxSeen = std::max(maxSeen, out[k]);
    }
    return out;
}

// Observation table from the error-count distributions A of the minor
// class (R reads) and B of the major class: entry t sums A[i] B[j] over the
// pairs with t = R - i + j and divides by C(N, t).
inline std::vector<double> ObservationTable(const std::vector<double>& a,
                                            const std::vector<double>& b) {
    const int r = static_cast<int>(a.size()) - 1;
    const int n = r + static_cast<int>(b.size()) - 1;
    std::vector<double> table(n + 1, 0.0);
    for (int i = 0; i <= r; ++i) {
        for (int j = 0; j <= n - r; ++j) {
            table[r - i + j] += a[i] * b[j];
        }
    }
    for (int t = 0; t <= n; ++t) {
        table[t] /= gsl_sf_choose(n, t);
    }
    return table;
}

}  // namespace oracle
