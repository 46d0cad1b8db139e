// The block bootstrap: weighted passes against duplicated sites, the same
// interval for every thread count, every block drawn as often as chance
// says, the interval ends as order statistics of the resamples, and its
// coverage when theta varies between blocks (scripts/check_bootstrap prints
// the full figures).

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <vector>

#include "engine/bootstrap.hpp"
#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "engine/tests/engine_test_util.hpp"

namespace {

using TRng = std::mt19937_64;

// Sites of a neutral spectrum at theta, depth Poisson(mean) (at least 1),
// scores mostly 20..41 with a tenth from 2..19.
std::vector<STestSite> Sites(int count, double theta, double mean, TRng& rng) {
    CFSNeutral model;
    model.SetParam(0) = theta;
    model.SetFolded(false);
    std::poisson_distribution<int> depth(mean);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    return Simulate<TRng>(
        count, model, 0, [&](TRng& r) { return std::max(1, depth(r)); },
        [&](TRng& r) {
            return unif(r) < 0.1 ? std::uniform_int_distribution<int>(2, 19)(r)
                                 : std::uniform_int_distribution<int>(20, 41)(r);
        },
        true, rng);
}

// blocks blocks of sitesPerBlock sites, one site per base, the block's theta
// drawn from a gamma distribution of mean meanTheta and shape 1 (linked
// sites share their history, so their diversity moves together).
CSiteStore BlockStore(int blocks, int sitesPerBlock, double meanTheta, TRng& rng) {
    SSiteOptions options;
    options.blockSize = sitesPerBlock;
    CSiteStore store(options);
    std::gamma_distribution<double> gamma(1.0, meanTheta);
    for (int b = 0; b < blocks; ++b) {
        const double theta = std::min(0.2, gamma(rng));
        const std::vector<STestSite> sites = Sites(sitesPerBlock, theta, 10.0, rng);
        for (int i = 0; i < sitesPerBlock; ++i) {
            const STestSite& s = sites[static_cast<std::size_t>(i)];
            store.Append(0, static_cast<std::int64_t>(b) * sitesPerBlock + i, s.depth,
                         s.table.data(), s.logScale);
        }
    }
    return store;
}

TEST(Bootstrap, WeightedFitEqualsTheFitOfDuplicatedBlocks) {
    TRng rng(5);
    const int blocks = 6, perBlock = 700;
    SSiteOptions options;
    options.blockSize = perBlock;
    std::vector<std::vector<STestSite>> data;
    for (int b = 0; b < blocks; ++b) {
        data.push_back(Sites(perBlock, 0.005 * (b + 1), 12.0, rng));
    }
    const std::vector<unsigned> count{0, 3, 1, 0, 2, 1};
    // The oracle: every block written count times, one after the other.
    CSiteStore copies(options);
    std::int64_t pos = 0;
    for (int b = 0; b < blocks; ++b) {
        for (unsigned c = 0; c < count[static_cast<std::size_t>(b)]; ++c) {
            for (const STestSite& s : data[static_cast<std::size_t>(b)]) {
                copies.Append(0, pos++, s.depth, s.table.data(), s.logScale);
            }
        }
    }
    CSiteStore store(options);
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < perBlock; ++i) {
            const STestSite& s = data[static_cast<std::size_t>(b)][static_cast<std::size_t>(i)];
            store.Append(0, static_cast<std::int64_t>(b) * perBlock + i, s.depth, s.table.data(),
                         s.logScale);
        }
    }
    std::size_t nBlocks = 0;
    const std::vector<std::size_t> blockOf = SegmentBlocks(store, nBlocks);
    ASSERT_EQ(nBlocks, static_cast<std::size_t>(blocks));
    std::vector<double> weights;
    for (std::size_t b : blockOf) {
        weights.push_back(count[b]);
    }
    const SFitResult wn = FitNeutral(store, SFitOptions(), nullptr, &weights);
    const SFitResult cn = FitNeutral(copies, SFitOptions(), nullptr);
    EXPECT_NEAR(wn.theta, cn.theta, 1e-9 * cn.theta);
    EXPECT_NEAR(wn.thetaLo, cn.thetaLo, 1e-9 * cn.theta);
    EXPECT_NEAR(wn.logLik, cn.logLik, 1e-9 * std::fabs(cn.logLik));
    const SFitResult wg = FitGrowth(store, SFitOptions(), wn, nullptr, &weights);
    const SFitResult cg = FitGrowth(copies, SFitOptions(), cn, nullptr);
    EXPECT_NEAR(wg.logLik, cg.logLik, 1e-9 * std::fabs(cg.logLik));
    EXPECT_NEAR(std::log10(wg.growth), std::log10(cg.growth), 2e-3);
    // Unit weights are the unweighted fit, bit for bit.
    const std::vector<double> ones(weights.size(), 1.0);
    const SFitResult u = FitNeutral(store, SFitOptions(), nullptr, &ones);
    const SFitResult plain = FitNeutral(store, SFitOptions(), nullptr);
    EXPECT_EQ(std::memcmp(&u.theta, &plain.theta, sizeof u.theta), 0);
    EXPECT_EQ(std::memcmp(&u.thetaHi, &plain.thetaHi, sizeof u.thetaHi), 0);
}

TEST(Bootstrap, TheSameSeedGivesTheSameIntervalsForEveryThreadCount) {
    TRng rng(11);
    const CSiteStore store = BlockStore(12, 4000, 0.01, rng);
    ASSERT_GT(store.GetPageCount(), 2u);
    SBootstrapOptions b;
    b.replicates = 12;
    b.seed = 7;
    std::vector<std::vector<double>> seen;
    for (int threads : {0, 2}) {
        hts_tpool* pool = threads > 0 ? hts_tpool_init(threads) : nullptr;
        SFitResult n = FitNeutral(store, SFitOptions(), pool);
        SFitResult g = FitGrowth(store, SFitOptions(), n, pool);
        BootstrapIntervals(store, SFitOptions(), b, pool, n, &g);
        seen.push_back({n.thetaLo, n.thetaHi, g.thetaLo, g.thetaHi, g.growthLo, g.growthHi});
        if (pool) {
            hts_tpool_destroy(pool);
        }
    }
    EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0);
    // Another seed draws other resamples.
    b.seed = 8;
    SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
    BootstrapIntervals(store, SFitOptions(), b, nullptr, n, nullptr);
    EXPECT_NE(n.thetaLo, seen[0][0]);
    EXPECT_LT(n.thetaLo, n.theta);
    EXPECT_GT(n.thetaHi, n.theta);
}

TEST(Bootstrap, EveryResampleIsTheWeightedRefitOfItsBlocks) {
    // The resamples come from per-block statistics and shared rates; each
    // must be what FitNeutral and FitGrowth give on its weights.
    TRng rng(23);
    for (int poolSize : {0, 40}) {
        SCOPED_TRACE(::testing::Message() << "pool " << poolSize);
        SSiteOptions options;
        options.blockSize = 500;
        options.poolSize = poolSize;
        CSiteStore store(options);
        std::gamma_distribution<double> gamma(2.0, 0.01);
        CFSGrowth model;
        model.SetFolded(false);
        model.SetParam(1) = 4.0;
        std::poisson_distribution<int> depth(14.0);
        for (int b = 0; b < 25; ++b) {
            model.SetParam(0) = std::min(0.1, gamma(rng));
            const std::vector<STestSite> sites = Simulate<TRng>(
                500, model, poolSize, [&](TRng& r) { return std::max(1, depth(r)); },
                [](TRng& r) { return std::uniform_int_distribution<int>(10, 41)(r); }, true, rng);
            for (int i = 0; i < 500; ++i) {
                const STestSite& s = sites[static_cast<std::size_t>(i)];
                store.Append(0, b * 500 + i, s.depth, s.table.data(), s.logScale);
            }
        }
        SBootstrapOptions b;
        b.replicates = 25;
        b.seed = 3;
        SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        SFitResult g = FitGrowth(store, SFitOptions(), n, nullptr);
        int progressCalls = 0, lastDone = 0;
        b.progress = [&](int done, int total) {
            ++progressCalls;
            EXPECT_EQ(total, 25);
            EXPECT_GT(done, lastDone);
            lastDone = done;
        };
        const SBootstrapReport report = BootstrapIntervals(store, SFitOptions(), b, nullptr, n, &g);
        EXPECT_EQ(lastDone, 25);
        EXPECT_GT(progressCalls, 0);
        std::size_t blocks = 0;
        const std::vector<std::size_t> blockOf = SegmentBlocks(store, blocks);
        const std::vector<std::vector<double>> draws = DrawResamples(blocks, 25, 3);
        SFitOptions refit;
        refit.intervals = false;
        int rates = 0;
        for (std::size_t r = 0; r < draws.size(); ++r) {
            std::vector<double> weights;
            for (std::size_t i : blockOf) {
                weights.push_back(draws[r][i]);
            }
            const SFitResult wn = FitNeutral(store, refit, nullptr, &weights);
            EXPECT_NEAR(report.neutralTheta[r], wn.theta, 1e-9 * wn.theta) << "resample " << r;
            const SFitResult wg = FitGrowth(store, refit, wn, nullptr, &weights);
            if (std::isnan(wg.growth)) {
                EXPECT_TRUE(std::isnan(report.growthRate[r])) << "resample " << r;
                continue;
            }
            ++rates;
            EXPECT_NEAR(std::log10(report.growthRate[r]), std::log10(wg.growth), 5e-4)
                << "resample " << r;
            EXPECT_NEAR(report.growthTheta[r], wg.theta, 5e-4 * wg.theta) << "resample " << r;
        }
        EXPECT_GT(rates, 20);
    }
    // Every resample's maximum at the domain's edge, beyond the cover of
    // the per-block statistics: refitted by weighted passes.
    SSiteOptions options;
    options.blockSize = 20;
    CSiteStore edge(options);
    const STestSite mixed =
        MakeSite(std::vector<std::uint8_t>(1, 40), std::vector<std::uint8_t>(1, 40), true);
    for (int i = 0; i < 25 * 20; ++i) {
        edge.Append(0, i, mixed.depth, mixed.table.data(), mixed.logScale);
    }
    SFitResult n = FitNeutral(edge, SFitOptions(), nullptr);
    SBootstrapOptions b;
    b.replicates = 10;
    b.growth = false;
    const SBootstrapReport report = BootstrapIntervals(edge, SFitOptions(), b, nullptr, n, nullptr);
    std::size_t blocks = 0;
    const std::vector<std::size_t> blockOf = SegmentBlocks(edge, blocks);
    const std::vector<std::vector<double>> draws = DrawResamples(blocks, 10, b.seed);
    for (std::size_t r = 0; r < draws.size(); ++r) {
        std::vector<double> weights;
        for (std::size_t i : blockOf) {
            weights.push_back(draws[r][i]);
        }
        const SFitResult wn = FitNeutral(edge, SFitOptions(), nullptr, &weights);
        EXPECT_EQ(report.neutralTheta[r], wn.theta) << "resample " << r;
        EXPECT_EQ(wn.theta, n.theta);  // the edge
    }
}

// blocks blocks of 40 sites of 10 reads at Q40: all reads of a site alike,
// except in the blocks listed, where every site has 5 of each base; only a
// resample that draws one of them has a theta above 0.
CSiteStore OnlySomeBlocksVary(int blocks, const std::vector<int>& varying) {
    SSiteOptions options;
    options.blockSize = 40;
    CSiteStore store(options);
    const STestSite quiet = MakeSite({}, std::vector<std::uint8_t>(10, 40), true);
    const STestSite mixed =
        MakeSite(std::vector<std::uint8_t>(5, 40), std::vector<std::uint8_t>(5, 40), true);
    for (int b = 0; b < blocks; ++b) {
        const bool varies = std::find(varying.begin(), varying.end(), b) != varying.end();
        const STestSite& s = varies ? mixed : quiet;
        for (int i = 0; i < 40; ++i) {
            store.Append(0, b * 40 + i, s.depth, s.table.data(), s.logScale);
        }
    }
    return store;
}

TEST(Bootstrap, EveryBlockIsDrawnAsOftenAsChanceSays) {
    // A block is left out of a resample of n draws from n blocks with
    // probability (1 - 1/n)^n; 400 resamples put the share that draws it
    // within 0.1 of 1 minus that (4 standard deviations).
    const int blocks = 25, replicates = 400;
    const double drawn = 1.0 - std::pow(1.0 - 1.0 / blocks, blocks);
    for (int which : {0, blocks - 1, blocks / 2}) {
        SCOPED_TRACE(::testing::Message() << "varying block " << which);
        const CSiteStore store = OnlySomeBlocksVary(blocks, {which});
        SBootstrapOptions b;
        b.replicates = replicates;
        b.growth = false;
        SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        ASSERT_GT(n.theta, 0.0);
        const SBootstrapReport report =
            BootstrapIntervals(store, SFitOptions(), b, nullptr, n, nullptr);
        ASSERT_EQ(report.replicates, replicates);
        ASSERT_EQ(report.neutralTheta.size(), static_cast<std::size_t>(replicates));
        EXPECT_EQ(report.noNeutral, 0);
        int withBlock = 0;
        for (double t : report.neutralTheta) {
            withBlock += t > 0.0 ? 1 : 0;
        }
        EXPECT_NEAR(static_cast<double>(withBlock) / replicates, drawn, 0.1);
    }
}

// The q-quantile of values by its definition, without GSL: sort, then
// interpolate between the order statistics around (n - 1) q.
double OrderStatistic(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const double h = (static_cast<double>(values.size()) - 1.0) * q;
    const std::size_t i = static_cast<std::size_t>(std::floor(h));
    if (i + 1 >= values.size()) {
        return values.back();
    }
    return values[i] + (h - static_cast<double>(i)) * (values[i + 1] - values[i]);
}

TEST(Bootstrap, IntervalEndsAreTheOrderStatisticsAtHalfTheMissingLevel) {
    TRng rng(17);
    const CSiteStore store = BlockStore(24, 400, 0.01, rng);
    for (double level : {0.95, 0.8}) {
        SCOPED_TRACE(::testing::Message() << "level " << level);
        SFitOptions fit;
        fit.level = level;
        SBootstrapOptions b;
        b.replicates = 60;
        SFitResult n = FitNeutral(store, fit, nullptr);
        SFitResult g = FitGrowth(store, fit, n, nullptr);
        const SBootstrapReport report = BootstrapIntervals(store, fit, b, nullptr, n, &g);
        ASSERT_EQ(report.growthRate.size(), 60u);
        struct SEnds {
            const std::vector<double>& values;
            double lo, hi;
        };
        for (const SEnds& e : {SEnds{report.neutralTheta, n.thetaLo, n.thetaHi},
                               SEnds{report.growthTheta, g.thetaLo, g.thetaHi}}) {
            std::vector<double> values;
            for (double v : e.values) {
                if (!std::isnan(v)) {
                    values.push_back(v);
                }
            }
            ASSERT_GE(values.size(), 50u);
            EXPECT_DOUBLE_EQ(e.lo, OrderStatistic(values, (1.0 - level) / 2.0));
            EXPECT_DOUBLE_EQ(e.hi, OrderStatistic(values, (1.0 + level) / 2.0));
            EXPECT_LT(e.lo, e.hi);
        }
    }
}

// Coverage of the mean theta by both intervals over simulated genomes whose
// blocks differ. QT_BOOTSTRAP_SETS raises the number of data sets and prints
// the figures (scripts/check_bootstrap).
TEST(Bootstrap, BlockBootstrapCoversTheMeanThetaWhereTheProfileIntervalDoesNot) {
    const char* env = std::getenv("QT_BOOTSTRAP_SETS");
    const int sets = env ? std::atoi(env) : 40;
    const double theta = 0.01;
    TRng rng(2026);
    int profile = 0, bootstrap = 0;
    SBootstrapOptions b;
    b.replicates = 200;
    b.growth = false;
    for (int i = 0; i < sets; ++i) {
        const CSiteStore store = BlockStore(30, 300, theta, rng);
        SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        profile += (n.thetaLo <= theta && theta <= n.thetaHi) ? 1 : 0;
        b.seed = static_cast<unsigned long>(i + 1);
        BootstrapIntervals(store, SFitOptions(), b, nullptr, n, nullptr);
        bootstrap += (n.thetaLo <= theta && theta <= n.thetaHi) ? 1 : 0;
    }
    if (env) {
        std::cout << "data sets: " << sets << " (30 blocks of 300 sites, theta per block "
                  << "gamma with mean " << theta << " and shape 1, depth Poisson(10))\n"
                  << "profile-likelihood 95% interval covers the mean theta: " << profile << " ("
                  << 100.0 * profile / sets << "%)\n"
                  << "block bootstrap 95% interval (B = 200) covers it:      " << bootstrap << " ("
                  << 100.0 * bootstrap / sets << "%)\n";
    }
    // Wide bounds: the profile interval is far too narrow, the bootstrap's
    // coverage is near its level (95 % of 40 draws at 0.9 lie above 32).
    EXPECT_LT(profile, sets * 6 / 10);
    EXPECT_GE(bootstrap, sets * 8 / 10);
}

}  // namespace

namespace {

TEST(Bootstrap, AWindowsIntervalIsThePercentileOfItsSitesRefittedToTheGenomeWideResamples) {
    // A window of 30 blocks of varying theta inside a genome of 50: each
    // resample's refit of the window (its sites weighted by their blocks'
    // multiplicities in the genome-wide draw) against the oracle, a fit of
    // a store that holds every site of a drawn block as often as it was
    // drawn; then the interval against the percentiles of the oracle's
    // refits, by hand.
    TRng rng(31);
    const int blocks = 50, perBlock = 60, first = 12, inWindow = 30;
    SSiteOptions options;
    options.blockSize = perBlock;
    CSiteEncoder encoder(options);
    std::gamma_distribution<double> gamma(1.5, 0.01);
    std::vector<std::vector<STestSite>> data;
    std::vector<SWindowSite> window;
    std::vector<std::uint32_t> windowBlocks;
    for (int b = 0; b < blocks; ++b) {
        data.push_back(Sites(perBlock, std::min(0.2, gamma(rng)), 9.0, rng));
        if (b < first || b >= first + inWindow) {
            continue;
        }
        for (const STestSite& s : data.back()) {
            std::vector<unsigned char> bytes;
            SEncodedSite e;
            ASSERT_TRUE(encoder.Encode(0, 0, s.depth, s.table.data(), s.logScale, bytes, e));
            SWindowSite w;
            w.m_A = e.neutralA;
            w.m_B = e.neutralB;
            w.m_LogScale = e.constant;
            w.m_Reads = static_cast<std::uint32_t>(e.reads);
            window.push_back(w);
            windowBlocks.push_back(static_cast<std::uint32_t>(b));
        }
    }
    const std::vector<std::vector<double>> resamples = DrawResamples(blocks, 40, 3);
    CWindowFitter fitter(options, SFitOptions());
    std::vector<double> oracle;
    for (const std::vector<double>& weights : resamples) {
        CSiteStore copies(options);
        std::int64_t pos = 0;
        for (int b = first; b < first + inWindow; ++b) {
            for (int c = 0; c < static_cast<int>(weights[static_cast<std::size_t>(b)]); ++c) {
                for (const STestSite& s : data[static_cast<std::size_t>(b)]) {
                    copies.Append(0, pos++, s.depth, s.table.data(), s.logScale);
                }
            }
        }
        const double want = FitNeutral(copies, SFitOptions(), nullptr).theta;
        std::vector<double> perSite;
        for (std::uint32_t b : windowBlocks) {
            perSite.push_back(weights[b]);
        }
        const double got = fitter.Refit(window.data(), perSite.data(), window.size());
        EXPECT_NEAR(got, want, 1e-9 * want);
        oracle.push_back(want);
    }
    for (double level : {0.95, 0.8}) {
        double lo = 0.0, hi = 0.0;
        WindowBootstrapInterval(fitter, window.data(), windowBlocks.data(), window.size(),
                                resamples, level, lo, hi);
        // The percentiles by linear interpolation between order statistics.
        std::sort(oracle.begin(), oracle.end());
        auto quantile = [&](double q) {
            const double h = (oracle.size() - 1) * q;
            const std::size_t k = static_cast<std::size_t>(h);
            return oracle[k] + (h - k) * (oracle[std::min(k + 1, oracle.size() - 1)] - oracle[k]);
        };
        EXPECT_NEAR(lo, quantile(0.5 * (1 - level)), 1e-9 * lo);
        EXPECT_NEAR(hi, quantile(0.5 * (1 + level)), 1e-9 * hi);
        EXPECT_LT(lo, hi);
    }
    // Sites of no drawn block leave nothing to fit.
    const std::vector<double> none(window.size(), 0.0);
    EXPECT_TRUE(std::isnan(fitter.Refit(window.data(), none.data(), window.size())));
}

}  // namespace
