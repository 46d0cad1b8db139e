// The block bootstrap's draws and the quantiles of its resamples.

#include "common/quantile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

// Every resample draws as many blocks as there are, each block alike, the
// last one too: over 4,000 resamples of 7 blocks every block's draws are
// within five standard deviations of 4,000.
TEST(Resamples, EveryBlockIsDrawnAsOftenAsAnyOther) {
    const std::size_t blocks = 7;
    const int replicates = 4000;
    const auto draws = DrawResamples(blocks, replicates, 9);
    ASSERT_EQ(draws.size(), static_cast<std::size_t>(replicates));
    std::vector<double> total(blocks, 0.0);
    for (const std::vector<double>& w : draws) {
        ASSERT_EQ(w.size(), blocks);
        double sum = 0.0;
        for (std::size_t b = 0; b < blocks; ++b) {
            sum += w[b];
            total[b] += w[b];
        }
        EXPECT_EQ(sum, static_cast<double>(blocks));
    }
    // Each block's draws in one resample: Binomial(7, 1/7), variance 6/7.
    const double sd = std::sqrt(replicates * 6.0 / 7.0);
    for (std::size_t b = 0; b < blocks; ++b) {
        EXPECT_NEAR(total[b], replicates, 5 * sd) << "block " << b;
    }
    // The same seed, the same draws.
    EXPECT_EQ(DrawResamples(blocks, 3, 9), DrawResamples(blocks, 3, 9));
}

// GSL's interpolation between order statistics, and NaNs left out.
TEST(Resamples, PercentileIntervalsInterpolateAndSkipNaN) {
    const std::vector<double> sorted = {1, 2, 3, 4, 5};
    EXPECT_EQ(Quantile(sorted, 0.0), 1.0);
    EXPECT_EQ(Quantile(sorted, 0.5), 3.0);
    EXPECT_DOUBLE_EQ(Quantile(sorted, 0.1), 1.4);
    double lo = 0, hi = 0;
    PercentileInterval({5, std::nan(""), 1, 3, 2, 4}, 0.8, lo, hi);
    EXPECT_DOUBLE_EQ(lo, 1.4);
    EXPECT_DOUBLE_EQ(hi, 4.6);
}
