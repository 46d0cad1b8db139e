#pragma once
// Quantiles of resampled estimates, for percentile intervals.

#include <vector>

// The q-quantile of sorted values (q in [0, 1]) by linear interpolation
// between order statistics: with h = (n - 1) q, x[floor h] + (h - floor h)
// (x[floor h + 1] - x[floor h]) (GSL's gsl_stats_quantile_from_sorted_data).
double Quantile(const std::vector<double>& sorted, double q);

// The percentile interval of values at level: the (1 - level)/2 and
// (1 + level)/2 quantiles, NaNs left out (both ends NaN when all are).
void PercentileInterval(std::vector<double> values, double level, double& lo, double& hi);
