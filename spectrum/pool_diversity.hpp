#pragma once
// Diversity of populations from the allele counts of pools drawn from them,
// shared by the pool comparison (qualfst) and the pool simulator's truth.
//
// A pool of n chromosomes drawn from a population with allele frequency p
// carries j ~ Binomial(n, p) copies, so E[j (n - j)] = n (n - 1) p (1 - p):
// 2 j (n - j) / (n (n - 1)) is an unbiased estimate of the population's
// 2 p (1 - p), and for two pools drawn independently
// j1 (n2 - j2) + j2 (n1 - j1), over n1 n2, one of p1 (1 - p2) + p2 (1 - p1).

#include <cmath>
#include <limits>

// Population diversity 2 p (1 - p) estimated from j of n (n >= 2).
inline double PoolWithin(unsigned j, unsigned n) {
    return 2.0 * j * static_cast<double>(n - j) / (static_cast<double>(n) * (n - 1.0));
}

// Population divergence p1 (1 - p2) + p2 (1 - p1) estimated from j1 of n1 and
// j2 of n2.
inline double PoolBetween(unsigned j1, unsigned n1, unsigned j2, unsigned n2) {
    const double x1 = static_cast<double>(j1) / n1, x2 = static_cast<double>(j2) / n2;
    return x1 * (1.0 - x2) + x2 * (1.0 - x1);
}

// Hudson's F_ST as a ratio of averages (Hudson, Slatkin and Maddison 1992;
// Bhatia et al. 2013): 1 - (pi1 + pi2) / 2 / dxy over the same sites; NaN
// when dxy is 0 or not a number.
inline double HudsonFst(double pi1, double pi2, double dxy) {
    if (!(dxy > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return 1.0 - 0.5 * (pi1 + pi2) / dxy;
}
