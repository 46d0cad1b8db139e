#pragma once
// The block bootstrap's draws, and the quantiles of the resampled estimates
// for percentile intervals.

#include <cstddef>
#include <vector>

// The q-quantile of sorted values (q in [0, 1]) by linear interpolation
// between order statistics: with h = (n - 1) q, x[floor h] + (h - floor h)
// (x[floor h + 1] - x[floor h]) (GSL's gsl_stats_quantile_from_sorted_data).
double Quantile(const std::vector<double>& sorted, double q);

// The percentile interval of values at level: the (1 - level)/2 and
// (1 + level)/2 quantiles, NaNs left out (both ends NaN when all are).
void PercentileInterval(std::vector<double> values, double level, double& lo, double& hi);

// Every resample's multiplicity of each block: replicates draws of blocks
// blocks with replacement each, from gsl_rng_mt19937 seeded with seed, in
// replicate order.
std::vector<std::vector<double>> DrawResamples(std::size_t blocks, int replicates,
                                               unsigned long seed);
