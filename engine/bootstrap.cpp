#include "engine/bootstrap.hpp"

#include <gsl/gsl_rng.h>
#include <gsl/gsl_statistics_double.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/warnings.hpp"

std::vector<std::size_t> SegmentBlocks(const CSiteStore& store, std::size_t& blocks) {
    const std::vector<SSegment>& segments = store.GetSegments();
    std::vector<std::size_t> index(segments.size());
    blocks = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i == 0 || segments[i].contig != segments[i - 1].contig ||
            segments[i].block != segments[i - 1].block) {
            ++blocks;
        }
        index[i] = blocks - 1;
    }
    return index;
}

double Quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return gsl_stats_quantile_from_sorted_data(sorted.data(), 1, sorted.size(), q);
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Below this many blocks the percentile interval is rough.
constexpr std::size_t kFewBlocks = 20;

// Ends of the percentile interval of values, NaNs left out.
void Percentile(std::vector<double> values, double level, double& lo, double& hi) {
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    std::sort(values.begin(), values.end());
    lo = Quantile(values, 0.5 * (1.0 - level));
    hi = Quantile(values, 0.5 * (1.0 + level));
}

}  // namespace

SBootstrapReport BootstrapIntervals(const CSiteStore& store, const SFitOptions& fit,
                                    const SBootstrapOptions& options, hts_tpool* pool,
                                    SFitResult& neutral, SFitResult* growth) {
    if (options.replicates < 1) {
        throw std::invalid_argument("The number of bootstrap resamples must be at least 1 (got " +
                                    std::to_string(options.replicates) + ").");
    }
    CheckFitOptions(fit);
    SBootstrapReport report;
    if (store.GetSites() == 0) {
        return report;
    }
    const bool withGrowth = growth != nullptr && options.growth;
    std::size_t blocks = 0;
    const std::vector<std::size_t> blockOf = SegmentBlocks(store, blocks);
    if (blocks < kFewBlocks) {
        Warn("qualscan: the sites lie in " + std::to_string(blocks) +
             (blocks == 1 ? " block" : " blocks") +
             (blocks < 2 ? ", so a block bootstrap cannot tell how estimates vary: its interval "
                           "ends are NA; choose a smaller --block."
                         : ", too few for reliable bootstrap intervals; choose a smaller --block "
                           "(" +
                               std::to_string(kFewBlocks) + " blocks or more are advised)."));
    }
    if (blocks < 2) {
        neutral.thetaLo = neutral.thetaHi = kNaN;
        if (withGrowth) {
            growth->thetaLo = growth->thetaHi = growth->growthLo = growth->growthHi = kNaN;
        }
        return report;
    }
    std::unique_ptr<gsl_rng, void (*)(gsl_rng*)> rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    if (!rng) {
        throw std::runtime_error("Cannot allocate GSL's random number generator.");
    }
    gsl_rng_set(rng.get(), options.seed);

    SFitOptions refit = fit;
    refit.intervals = false;
    std::vector<double>& thetaN = report.neutralTheta;
    std::vector<double>& thetaG = report.growthTheta;
    std::vector<double>& rateG = report.growthRate;
    std::vector<unsigned> count(blocks);
    std::vector<double> weights(blockOf.size());
    for (int b = 0; b < options.replicates; ++b) {
        std::fill(count.begin(), count.end(), 0u);
        for (std::size_t i = 0; i < blocks; ++i) {
            ++count[gsl_rng_uniform_int(rng.get(), static_cast<unsigned long>(blocks))];
        }
        for (std::size_t s = 0; s < blockOf.size(); ++s) {
            weights[s] = count[blockOf[s]];
        }
        const SFitResult n = FitNeutral(store, refit, pool, &weights);
        thetaN.push_back(n.theta);
        report.noNeutral += std::isnan(n.theta) ? 1 : 0;
        if (withGrowth) {
            const SFitResult g = FitGrowth(store, refit, n, pool, &weights);
            thetaG.push_back(g.theta);
            rateG.push_back(g.growth);
            report.noGrowth += std::isnan(g.growth) ? 1 : 0;
        }
        ++report.replicates;
    }
    Percentile(thetaN, fit.level, neutral.thetaLo, neutral.thetaHi);
    if (withGrowth) {
        Percentile(thetaG, fit.level, growth->thetaLo, growth->thetaHi);
        Percentile(rateG, fit.level, growth->growthLo, growth->growthHi);
    }
    return report;
}
