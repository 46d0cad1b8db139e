// The growth model's likelihood surface: every point against the engine's
// exact evaluation of the whole store, never above the fitted maximum, the
// same for every thread count, and a grid that holds the estimate, the
// neutral fit and the profile region.

#include "engine/surface.hpp"

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "engine/tests/engine_test_util.hpp"

namespace {

using TRng = std::mt19937_64;

// Sites of the growth spectrum at (theta, g), depth Poisson(12) (at least
// 1), scores uniform over 10..41, for a pool of poolSize (0: none).
CSiteStore GrowthStore(int count, double theta, double g, int poolSize, TRng& rng) {
    CFSGrowth model;
    model.SetFolded(false);
    model.SetParam(0) = theta;
    model.SetParam(1) = g;
    std::poisson_distribution<int> depth(12.0);
    const std::vector<STestSite> sites = Simulate<TRng>(
        count, model, poolSize, [&](TRng& r) { return std::max(1, depth(r)); },
        [](TRng& r) { return std::uniform_int_distribution<int>(10, 41)(r); }, true, rng);
    SSiteOptions options;
    options.poolSize = poolSize;
    CSiteStore store(options);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        store.Append(0, static_cast<std::int64_t>(i), sites[i].depth, sites[i].table.data(),
                     sites[i].logScale);
    }
    return store;
}

TEST(Surface, EveryPointIsTheStoresExactLogLikelihoodAndNoneBeatsTheFit) {
    TRng rng(41);
    for (int poolSize : {0, 30}) {
        SCOPED_TRACE(::testing::Message() << "pool " << poolSize);
        const CSiteStore store = GrowthStore(4000, 0.02, 30.0, poolSize, rng);
        const SFitOptions options;
        const SFitResult neutral = FitNeutral(store, options, nullptr);
        const SFitResult growth = FitGrowth(store, options, neutral, nullptr);
        ASSERT_TRUE(std::isfinite(growth.growth));
        const SSurfaceGrid grid = SurfaceGridAround(neutral, growth, options, 21, 11);
        ASSERT_EQ(grid.thetas.size(), 21u);
        ASSERT_EQ(grid.logGrowths.size(), 11u);
        const std::vector<double> ll = LikelihoodSurface(store, grid, nullptr);
        // The grid holds both estimates and the growth row's intervals.
        EXPECT_LE(grid.thetas.front(), std::min({growth.thetaLo, neutral.theta}));
        EXPECT_GE(grid.thetas.back(), growth.thetaHi);
        // (Growth below 1e-4 is none to the data: a lower end there is cut.)
        EXPECT_LE(grid.logGrowths.front(), std::max(-4.0, std::log10(growth.growthLo)));
        EXPECT_GE(grid.logGrowths.back(), std::log10(growth.growthHi));
        std::size_t finite = 0;
        for (std::size_t i = 0; i < grid.logGrowths.size(); ++i) {
            const CPriorRows rows = CPriorRows::Growth(store, std::pow(10.0, grid.logGrowths[i]));
            for (std::size_t j = 0; j < grid.thetas.size(); ++j) {
                const double v = ll[i * grid.thetas.size() + j];
                const double theta = grid.thetas[j];
                if (theta * 1.0 > rows.ThetaMax()) {
                    EXPECT_TRUE(std::isnan(v)) << theta;
                    continue;
                }
                ++finite;
                // The oracle: every site evaluated on its own; a few
                // points of each row.
                if (j % 5 == 0) {
                    const double want = LogLikelihood(store, rows, theta, nullptr);
                    EXPECT_NEAR(v, want, 1e-9 * std::fabs(want)) << theta << " " << i;
                }
                EXPECT_LE(v, growth.logLik + ProfileTieTolerance(growth.logLik));
            }
        }
        EXPECT_GT(finite, grid.thetas.size() * grid.logGrowths.size() / 2);
        // Threads change nothing.
        hts_tpool* pool = hts_tpool_init(3);
        const std::vector<double> threaded = LikelihoodSurface(store, grid, pool);
        hts_tpool_destroy(pool);
        ASSERT_EQ(threaded.size(), ll.size());
        EXPECT_EQ(std::memcmp(threaded.data(), ll.data(), ll.size() * sizeof(double)), 0);
    }
}

TEST(Surface, NoGrowthEstimateGivesNoGridAndOpenEndsAreClosed) {
    SFitResult neutral, growth;
    neutral.theta = neutral.thetaLo = neutral.thetaHi = 0.01;
    growth = neutral;
    growth.growth = std::nan("");
    EXPECT_TRUE(SurfaceGridAround(neutral, growth, SFitOptions(), 5, 5).thetas.empty());
    // At the neutral limit with an open theta interval: growth from 1e-4
    // (the data cannot tell less from none), theta up to three times the
    // estimate at least.
    growth.growth = growth.growthLo = 1e-10;
    growth.growthHi = std::numeric_limits<double>::infinity();
    growth.thetaLo = 0.005;
    growth.thetaHi = std::numeric_limits<double>::infinity();
    const SSurfaceGrid g = SurfaceGridAround(neutral, growth, SFitOptions(), 5, 5);
    EXPECT_DOUBLE_EQ(g.logGrowths.front(), -4.0);
    EXPECT_DOUBLE_EQ(g.logGrowths.back(), std::log10(SFitOptions().growthCap));
    EXPECT_GE(g.thetas.back(), 0.03);
    EXPECT_GE(g.thetas.front(), 0.0);
}

}  // namespace
