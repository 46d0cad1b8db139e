#include "common/quantile.hpp"

#include <gsl/gsl_statistics_double.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

double Quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return gsl_stats_quantile_from_sorted_data(sorted.data(), 1, sorted.size(), q);
}

void PercentileInterval(std::vector<double> values, double level, double& lo, double& hi) {
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    std::sort(values.begin(), values.end());
    lo = Quantile(values, 0.5 * (1.0 - level));
    hi = Quantile(values, 0.5 * (1.0 + level));
}
