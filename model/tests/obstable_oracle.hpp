#pragma once
// Reference computations of a site's error-count distributions and
// observation table: by full enumeration of the sets of erroneous reads
// (slow, C(n, k) products of n factors per row: for small classes only),
// and for deep sites by binomial counts per score in long double.

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

// Distribution of the number of erroneous reads of a deep class, in long
// double: the reads of each score make a binomial count, each entry from
// log-gamma, and the counts of the scores are convolved. Shares nothing
// with the recurrences of obstable.cpp; O(n^2).
inline std::vector<long double> ErrCountByScores(const std::vector<std::uint8_t>& scores) {
    std::vector<unsigned> count(256, 0);
    for (std::uint8_t q : scores) {
        ++count[q];
    }
    std::vector<long double> dist(1, 1.0L);
    for (unsigned q = 0; q < 256; ++q) {
        const unsigned c = count[q];
        if (c == 0) {
            continue;
        }
        const long double e = std::pow(10.0L, static_cast<long double>(q) / -10.0L);
        std::vector<long double> bin(c + 1, 0.0L);
        for (unsigned k = 0; k <= c; ++k) {
            if (e >= 1.0L) {
                bin[k] = k == c ? 1.0L : 0.0L;
                continue;
            }
            bin[k] =
                std::exp(std::lgamma(c + 1.0L) - std::lgamma(k + 1.0L) - std::lgamma(c - k + 1.0L) +
                         k * std::log(e) + (c - k) * std::log1p(-e));
        }
        std::vector<long double> next(dist.size() + c, 0.0L);
        for (std::size_t i = 0; i < dist.size(); ++i) {
            for (unsigned k = 0; k <= c; ++k) {
                next[i + k] += dist[i] * bin[k];
            }
        }
        dist.swap(next);
    }
    return dist;
}

// ln T[t] of a site of any depth, in long double: the convolution of the two
// classes' error counts (ErrCountByScores) over the pairs with t = R - i + j,
// less ln C(N, t); -infinity for an impossible t.
inline std::vector<long double> LogTable(const std::vector<std::uint8_t>& minor,
                                         const std::vector<std::uint8_t>& major) {
    const std::vector<long double> a = ErrCountByScores(minor), b = ErrCountByScores(major);
    const int r = static_cast<int>(minor.size());
    const int n = r + static_cast<int>(major.size());
    std::vector<long double> u(n + 1, 0.0L);
    for (int i = 0; i <= r; ++i) {
        for (int j = 0; j <= n - r; ++j) {
            u[r - i + j] += a[i] * b[j];
        }
    }
    std::vector<long double> out(n + 1);
    for (int t = 0; t <= n; ++t) {
        out[t] = std::log(u[t]) -
                 (std::lgamma(n + 1.0L) - std::lgamma(t + 1.0L) - std::lgamma(n - t + 1.0L));
    }
    return out;
}

}  // namespace oracle
