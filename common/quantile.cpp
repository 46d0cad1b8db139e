#include "common/quantile.hpp"

#include <gsl/gsl_rng.h>
#include <gsl/gsl_statistics_double.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
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

std::vector<std::vector<double>> DrawResamples(std::size_t blocks, int replicates,
                                               unsigned long seed) {
    std::unique_ptr<gsl_rng, void (*)(gsl_rng*)> rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    if (!rng) {
        throw std::runtime_error("Cannot allocate GSL's random number generator.");
    }
    gsl_rng_set(rng.get(), seed);
    std::vector<std::vector<double>> weights(static_cast<std::size_t>(std::max(replicates, 0)),
                                             std::vector<double>(blocks, 0.0));
    for (std::vector<double>& w : weights) {
        for (std::size_t i = 0; i < blocks; ++i) {
            w[gsl_rng_uniform_int(rng.get(), static_cast<unsigned long>(blocks))] += 1.0;
        }
    }
    return weights;
}
