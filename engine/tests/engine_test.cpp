// The likelihood engine against slow, independent computations: every
// site's log-likelihood against the full table and the spectrum library,
// maxima and interval ends against brute-force searches, thread-count
// invariance, the coverage of the intervals, pools, and bad input.

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "base/input_error.hpp"
#include "engine/depthrows.hpp"
#include "engine/fit.hpp"
#include "engine/gsl_search.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "engine/tests/engine_test_util.hpp"
#include "engine/thetalik.hpp"
#include "spectrum/freqspec.hpp"

namespace {

using TRng = std::mt19937_64;

CSiteStore MakeStore(const std::vector<STestSite>& sites, const SSiteOptions& options) {
    CSiteStore store(options);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        store.Append(0, static_cast<std::int64_t>(i), sites[i].depth, sites[i].table.data(),
                     sites[i].logScale);
    }
    return store;
}

std::vector<std::uint8_t> Scores(TRng& rng, int n, int lo, int hi) {
    std::uniform_int_distribution<int> q(lo, hi);
    std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
    for (auto& x : v) {
        x = static_cast<std::uint8_t>(q(rng));
    }
    return v;
}

// Sites that stress the cut-off: low qualities, deep and very deep (scaled)
// tables, polymorphic sites, sites whose reads are all minor.
std::vector<STestSite> HardSites(bool folded) {
    TRng rng(11);
    std::vector<STestSite> sites;
    for (int depth : {1, 2, 3, 8, 20, 45, 120, 300}) {
        for (int minor : {0, 1, 2, depth / 2, depth}) {
            if (minor > depth) {
                continue;
            }
            for (auto range : {std::pair<int, int>{0, 6}, {2, 41}, {30, 41}}) {
                sites.push_back(MakeSite(Scores(rng, minor, range.first, range.second),
                                         Scores(rng, depth - minor, range.first, range.second),
                                         folded));
            }
        }
    }
    for (int minor : {0, 3, 700}) {
        sites.push_back(
            MakeSite(Scores(rng, minor, 2, 41), Scores(rng, 1400 - minor, 2, 41), folded));
    }
    return sites;
}

// lambda(k) = sum_t T[t] Binom(t; n, k/N), k = 0..N, of every site of a pool
// of N: the mixture over the pool's counts taken site by site, as the
// engine no longer does (depthrows.hpp), in long double.
std::vector<std::vector<long double>> PoolLambdas(const std::vector<STestSite>& sites, int N) {
    std::vector<std::vector<long double>> all;
    for (const STestSite& s : sites) {
        std::vector<long double> lambda(static_cast<std::size_t>(N) + 1, 0.0L);
        for (int k = 0; k <= N; ++k) {
            for (int t = 0; t <= s.depth; ++t) {
                lambda[static_cast<std::size_t>(k)] +=
                    static_cast<long double>(s.table[static_cast<std::size_t>(t)]) *
                    gsl_ran_binomial_pdf(static_cast<unsigned>(t), static_cast<double>(k) / N,
                                         static_cast<unsigned>(s.depth));
            }
        }
        all.push_back(lambda);
    }
    return all;
}

TEST(SiteRecord, EverySiteKeepsItsLogLikelihoodWithin1e10RelativeOverTheDomain) {
    struct SCase {
        bool folded;
        int pool;
    };
    for (const SCase c : {SCase{true, 0}, SCase{false, 0}, SCase{true, 50}, SCase{false, 7},
                          SCase{true, 200}, SCase{false, 200}}) {
        SCOPED_TRACE(::testing::Message() << "folded " << c.folded << " pool " << c.pool);
        const std::vector<STestSite> sites = HardSites(c.folded);
        SSiteOptions options;
        options.folded = c.folded;
        options.poolSize = c.pool;
        const CSiteStore store = MakeStore(sites, options);
        ASSERT_EQ(store.GetSites(), sites.size());
        SSiteOptions neutralOnly = options;
        neutralOnly.neutralOnly = true;
        const CSiteStore small = MakeStore(sites, neutralOnly);
        EXPECT_LT(small.GetRecordBytes(), store.GetRecordBytes());
        const std::vector<std::vector<long double>> lambdas =
            c.pool > 0 ? PoolLambdas(sites, c.pool) : std::vector<std::vector<long double>>();
        CSiteEncoder encoder(options);
        for (double g : {0.0, 1e-10, 0.5, 20.0, 1e4, 1e6}) {
            const CPriorRows rows =
                g > 0.0 ? CPriorRows::Growth(store, g) : CPriorRows::Neutral(store);
            // Up to 0.9 of the domain: next to its edge the prior's own
            // 1 - theta P cancels, in the library as here, so no computation
            // is exact to 1e-10 there.
            for (double share : {0.0, 1e-3, 0.05, 0.5, 0.9}) {
                const double theta = share * rows.ThetaMax();
                const auto model = Model(theta, g, c.folded);
                double total = 0.0;
                for (std::size_t i = 0; i < sites.size(); ++i) {
                    const STestSite& s = sites[i];
                    std::vector<unsigned char> bytes;
                    SEncodedSite encoded;
                    ASSERT_TRUE(
                        encoder.Encode(0, 0, s.depth, s.table.data(), s.logScale, bytes, encoded));
                    SSiteView view;
                    ReadSiteRecord(bytes.data(), view);
                    const double got = SiteLogLik(view, encoded.constant, rows, theta);
                    double want;
                    if (c.pool > 0) {
                        long double sum = 0.0L;
                        for (int k = 0; k <= c.pool; ++k) {
                            sum += static_cast<long double>((*model)(k, c.pool)) *
                                   lambdas[i][static_cast<std::size_t>(k)];
                        }
                        want = s.logScale + static_cast<double>(std::log(sum));
                    } else {
                        want = OracleLogLik(s, *model, 0);
                    }
                    if (std::isinf(want)) {
                        EXPECT_EQ(got, want);  // a site impossible at theta 0
                    } else {
                        EXPECT_LE(std::fabs(got - want), 1e-10 * std::fabs(want))
                            << "site " << i << " depth " << s.depth << " g " << g << " theta "
                            << theta;
                        if (g == 0.0) {
                            // What windows get: e^constant (a + theta b).
                            const double window =
                                encoded.constant +
                                std::log(encoded.neutralA + theta * encoded.neutralB);
                            EXPECT_LE(std::fabs(window - want), 1e-10 * std::fabs(want))
                                << "site " << i;
                        }
                    }
                    total += want;
                }
                const double all = LogLikelihood(store, rows, theta, nullptr);
                if (std::isinf(total)) {
                    EXPECT_EQ(all, total);
                } else {
                    EXPECT_NEAR(all, total, 1e-10 * std::fabs(total));
                }
                if (g == 0.0) {
                    // The neutral-only store keeps u as the records give it.
                    EXPECT_EQ(LogLikelihood(small, CPriorRows::Neutral(small), theta, nullptr),
                              all);
                }
            }
        }
    }
}

TEST(DepthRows, PoolWeightsMatchTheMixtureTermByTerm) {
    // sum_k h(k) Binom(t; n, k/N) against the binomial from log gamma in
    // long double, with depths whose powers (1 - k/N)^n underflow (n = 2000,
    // N = 200).
    struct SCase {
        int N, n;
        bool folded;
    };
    TRng rng(4);
    std::uniform_real_distribution<double> unif(0.1, 1.0);
    for (const SCase c : {SCase{2, 1, false}, SCase{7, 30, false}, SCase{200, 60, true},
                          SCase{200, 2000, true}, SCase{50, 1400, false}}) {
        SCOPED_TRACE(::testing::Message() << "N " << c.N << " n " << c.n);
        std::vector<double> h(static_cast<std::size_t>(c.N) + 1, 0.0);
        for (int k = 1; k < c.N; ++k) {
            h[static_cast<std::size_t>(k)] = unif(rng);
        }
        std::vector<double> got(static_cast<std::size_t>(c.n) + 1);
        MixBinomial(h.data(), c.N, c.n, c.n, got.data());
        // The same terms from a cache, bit for bit, also for a shorter row.
        CBinomialCache cache(c.N);
        std::vector<double> cached(got.size()), shorter(static_cast<std::size_t>(c.n / 2) + 1);
        MixBinomial(h.data(), c.N, c.n, c.n / 2, shorter.data(), &cache);
        MixBinomial(h.data(), c.N, c.n, c.n, cached.data(), &cache);
        EXPECT_EQ(std::memcmp(cached.data(), got.data(), got.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(shorter.data(), got.data(), shorter.size() * sizeof(double)), 0);
        for (int t = 0; t <= c.n; ++t) {
            long double want = 0.0L;
            for (int k = 1; k < c.N; ++k) {
                const long double p = static_cast<long double>(k) / c.N;
                want += h[static_cast<std::size_t>(k)] *
                        std::exp(std::lgamma(c.n + 1.0L) - std::lgamma(t + 1.0L) -
                                 std::lgamma(c.n - t + 1.0L) + t * std::log(p) +
                                 (c.n - t) * std::log1p(-p));
            }
            EXPECT_NEAR(got[static_cast<std::size_t>(t)], static_cast<double>(want),
                        1e-13 * static_cast<double>(want) + 1e-300)
                << "t " << t;
        }
        // A row's P is P_K less the polymorphic counts' mass on no read
        // minor (and, folded, on all reads minor).
        SSiteOptions options;
        options.folded = c.folded;
        options.poolSize = c.N;
        std::unique_ptr<CFreqSpectrum> unit(new CFSGrowth);
        unit->SetParam(0) = 1.0;
        unit->SetParam(1) = 3.0;
        const auto model = Model(1.0, 3.0, c.folded);
        CDepthRows rows(options, std::move(unit));
        const CDepthRows::SRow& row = rows.Row(c.n, 3);
        const double p0 = c.folded ? 0.5 : 1.0;
        long double beta0 = 0.0L, mass = 0.0L;
        for (int k = 1; k < c.N; ++k) {
            const double x = static_cast<double>(k) / c.N;
            beta0 += (*model)(k, c.N) * std::pow(1.0L - x, c.n) / p0;
            mass += (*model)(k, c.N);
        }
        EXPECT_NEAR(row.domain, (p0 - (*model)(0, c.N)) / p0, 1e-14);
        EXPECT_NEAR(row.polymorphic, static_cast<double>(mass - beta0), 1e-12 * row.domain);
        EXPECT_NEAR(row.beta[0], static_cast<double>(beta0), 1e-12 * row.domain);
    }
}

// Neutral data at theta, depth Poisson(mean) (at least 1), scores mostly
// 20..41 with a tenth from 2..19.
std::vector<STestSite> NeutralSites(int count, double theta, double mean, TRng& rng, int pool = 0,
                                    bool folded = true, double g = 0.0) {
    auto model = Model(theta, g, false);
    std::poisson_distribution<int> depth(mean);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    return Simulate<TRng>(
        count, *model, pool, [&](TRng& r) { return std::max(1, depth(r)); },
        [&](TRng& r) {
            return unif(r) < 0.1 ? std::uniform_int_distribution<int>(2, 19)(r)
                                 : std::uniform_int_distribution<int>(20, 41)(r);
        },
        folded, rng);
}

TEST(Fit, NeutralAndGrowthMatchBruteForceSearchesOverTheExactLikelihood) {
    TRng rng(3);
    // Growth data, so that the growth estimate lies inside its domain.
    const std::vector<STestSite> sites = NeutralSites(3000, 0.02, 12.0, rng, 0, true, 5.0);
    const CSiteStore store = MakeStore(sites, SSiteOptions());
    const SFitOptions options;
    const double drop = 0.5 * gsl_cdf_chisq_Pinv(0.95, 1.0);

    // Neutral: golden section and bisection on the exact log-likelihood.
    const CPriorRows neutralRows = CPriorRows::Neutral(store);
    auto ln = [&](double t) { return LogLikelihood(store, neutralRows, t, nullptr); };
    const double tHat = GoldenMax(ln, 0.0, 0.2);
    const double lHat = ln(tHat);
    const double tLo = Bisect([&](double t) { return ln(t) - (lHat - drop); }, 0.0, tHat);
    const double tHi = Bisect([&](double t) { return ln(t) - (lHat - drop); }, tHat, 0.2);
    const SFitResult n = FitNeutral(store, options, nullptr);
    EXPECT_NEAR(n.theta, tHat, 1e-7 * tHat);
    EXPECT_NEAR(n.logLik, lHat, 1e-9 * std::fabs(lHat));
    EXPECT_NEAR(n.thetaLo, tLo, 1e-8 * tHat);
    EXPECT_NEAR(n.thetaHi, tHi, 1e-8 * tHat);
    EXPECT_NEAR(ln(n.thetaLo), lHat - drop, 1e-6);
    EXPECT_NEAR(ln(n.thetaHi), lHat - drop, 1e-6);

    // The growth spectrum at its lower edge is the neutral one.
    const CPriorRows edge = CPriorRows::Growth(store, 1e-10);
    EXPECT_NEAR(LogLikelihood(store, edge, n.theta, nullptr), n.logLik, 1e-9 * std::fabs(n.logLik));

    // Growth: the profile by golden section in theta at each g of a grid in
    // log10 g, refined around its best point.
    auto profile = [&](double x) {
        const CPriorRows rows = CPriorRows::Growth(store, std::pow(10.0, x));
        auto l = [&](double t) { return LogLikelihood(store, rows, t, nullptr); };
        return l(GoldenMax(l, 0.0, rows.ThetaMax() * (1 - 1e-12), 80));
    };
    double xBest = -10.0, lBest = profile(-10.0);
    for (double x = -3.0; x <= 6.0; x += 0.25) {
        const double l = profile(x);
        if (l > lBest) {
            xBest = x;
            lBest = l;
        }
    }
    xBest = GoldenMax(profile, xBest - 0.25, xBest + 0.25, 30);
    lBest = std::max(lBest, profile(xBest));
    const SFitResult g = FitGrowth(store, options, n, nullptr);
    EXPECT_GE(g.lrt, 0.0);
    EXPECT_GE(g.logLik, n.logLik);
    EXPECT_NEAR(g.logLik, lBest, 1e-6 * std::fabs(lBest));
    EXPECT_NEAR(std::log10(g.growth), xBest, 0.05);
    EXPECT_NEAR(g.lrt, 2.0 * (g.logLik - n.logLik), 1e-9 * std::fabs(g.logLik));
    EXPECT_NEAR(g.pValue, 0.5 * gsl_cdf_chisq_Q(g.lrt, 1.0), 1e-12);
    // Interval ends of g: the profile crosses the threshold there (the
    // search stops at 1e-3 in log10 g, so allow for the slope).
    const double threshold = g.logLik - drop;
    for (double end : {g.growthLo, g.growthHi}) {
        ASSERT_TRUE(std::isfinite(end));
        const double x = std::log10(end);
        const double slope = std::fabs(profile(x + 1e-3) - profile(x - 1e-3)) / 2e-3;
        EXPECT_NEAR(profile(x), threshold, 2e-3 * slope + 1e-6) << "g end " << end;
    }
    // Interval ends of theta: max over g of l(theta, g) crosses the threshold.
    for (double end : {g.thetaLo, g.thetaHi}) {
        ASSERT_TRUE(std::isfinite(end));
        double best = -INFINITY;
        auto at = [&](double x) {
            const CPriorRows rows = CPriorRows::Growth(store, std::pow(10.0, x));
            return end <= rows.ThetaMax() ? LogLikelihood(store, rows, end, nullptr) : -INFINITY;
        };
        for (double x = std::log10(g.growthLo); x <= std::log10(g.growthHi); x += 0.05) {
            best = std::max(best, at(x));
        }
        EXPECT_LT(best, threshold + 0.02) << "theta end " << end;
        EXPECT_GT(best, threshold - 0.05) << "theta end " << end;
    }
}

TEST(Fit, ResultsAreBitIdenticalForOneTwoAndFourThreads) {
    for (int poolSize : {0, 50}) {
        SCOPED_TRACE(::testing::Message() << "pool " << poolSize);
        TRng rng(8);
        SSiteOptions options;
        options.poolSize = poolSize;
        const CSiteStore store = MakeStore(NeutralSites(20000, 0.01, 15.0, rng, poolSize), options);
        ASSERT_GT(store.GetPageCount(), 2u);
        std::vector<std::vector<double>> seen;
        for (int threads : {0, 1, 2, 4}) {
            hts_tpool* pool = threads > 0 ? hts_tpool_init(threads) : nullptr;
            const SFitResult n = FitNeutral(store, SFitOptions(), pool);
            const SFitResult g = FitGrowth(store, SFitOptions(), n, pool);
            const double exact = LogLikelihood(store, CPriorRows::Growth(store, 3.0), 0.02, pool);
            seen.push_back({n.theta, n.thetaLo, n.thetaHi, n.logLik, g.theta, g.thetaLo, g.thetaHi,
                            g.growth, g.growthLo, g.growthHi, g.logLik, g.lrt, g.pValue, exact});
            if (pool != nullptr) {
                hts_tpool_destroy(pool);
            }
        }
        for (std::size_t i = 1; i < seen.size(); ++i) {
            EXPECT_EQ(std::memcmp(seen[0].data(), seen[i].data(), seen[0].size() * sizeof(double)),
                      0)
                << "run " << i;
        }
    }
}

TEST(Fit, WindowFitFromNeutralSummariesEqualsTheStoreFit) {
    TRng rng(21);
    for (int pool : {0, 30}) {
        const std::vector<STestSite> sites = NeutralSites(1500, 0.02, 20.0, rng, pool);
        SSiteOptions options;
        options.poolSize = pool;
        const CSiteStore store = MakeStore(sites, options);
        CSiteEncoder encoder(options);
        std::vector<SWindowSite> window;
        for (const STestSite& s : sites) {
            std::vector<unsigned char> bytes;
            SEncodedSite e;
            encoder.Encode(0, 0, s.depth, s.table.data(), s.logScale, bytes, e);
            SWindowSite w;
            w.m_A = e.neutralA;
            w.m_B = e.neutralB;
            w.m_LogScale = e.constant;
            w.m_Reads = static_cast<std::uint32_t>(e.reads);
            window.push_back(w);
        }
        CWindowFitter fitter(options, SFitOptions());
        const SWindowEstimate w = fitter.Fit(window.data(), window.size());
        const SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        EXPECT_NEAR(w.theta, n.theta, 1e-9 * n.theta);
        EXPECT_NEAR(w.thetaLo, n.thetaLo, 1e-9 * n.theta);
        EXPECT_NEAR(w.thetaHi, n.thetaHi, 1e-9 * n.theta);
        EXPECT_NEAR(w.logLik, n.logLik, 1e-9 * std::fabs(n.logLik));
    }
}

TEST(Fit, NeutralIntervalCoversTheTruthAboutAsOftenAsItsLevel) {
    TRng rng(99);
    const double theta = 0.02;
    int covered = 0;
    const int sets = 100;
    for (int i = 0; i < sets; ++i) {
        const CSiteStore store = MakeStore(NeutralSites(1500, theta, 10.0, rng), SSiteOptions());
        const SFitResult r = FitNeutral(store, SFitOptions(), nullptr);
        covered += (r.thetaLo <= theta && theta <= r.thetaHi) ? 1 : 0;
    }
    // 95 % nominal; 100 sets put 95 % of binomial draws within about 90..99.
    EXPECT_GE(covered, 88);
    EXPECT_LE(covered, 100);
}

TEST(Fit, GrowthTestPValuesHoldTheirLevelUnderTheNeutralNull) {
    // Neutral data: the growth rate's true value is the edge of its range,
    // so the LRT is 0 about half the time and otherwise chi-square(1), and
    // P(p <= alpha) = alpha for alpha <= 1/2 (Self and Liang 1987). 400
    // data sets put each share within 0.08 of its value (3 standard
    // deviations at 1/2).
    TRng rng(42);
    const int sets = 400;
    int zero = 0, half = 0, tenth = 0;
    SFitOptions options;
    options.intervals = false;
    for (int i = 0; i < sets; ++i) {
        const CSiteStore store = MakeStore(NeutralSites(1000, 0.02, 10.0, rng), SSiteOptions());
        const SFitResult n = FitNeutral(store, options, nullptr);
        const SFitResult g = FitGrowth(store, options, n, nullptr);
        ASSERT_GE(g.lrt, 0.0);
        zero += g.lrt == 0.0 ? 1 : 0;
        half += g.pValue <= 0.5 ? 1 : 0;
        tenth += g.pValue <= 0.1 ? 1 : 0;
        if (g.lrt == 0.0) {
            EXPECT_EQ(g.pValue, 1.0);
        }
    }
    EXPECT_NEAR(zero / double(sets), 0.5, 0.08);
    EXPECT_NEAR(half / double(sets), 0.5, 0.08);
    EXPECT_NEAR(tenth / double(sets), 0.1, 0.045);
}

TEST(Fit, ARootSearchWithoutABracketGivesNaNNeverAGuess) {
    CGslErrorGuard guard;
    EXPECT_NEAR(BrentRoot([](double x) { return x - 0.3; }, -1.0, 2.0, 1e-9), 0.3, 1e-8);
    // Both ends on one side; an end that is not finite; a function that
    // stops being finite inside the bracket.
    EXPECT_TRUE(std::isnan(BrentRoot([](double x) { return x * x + 1.0; }, -1.0, 2.0, 1e-9)));
    EXPECT_TRUE(std::isnan(
        BrentRoot([](double x) { return x < 0.0 ? std::nan("") : x - 1.0; }, -1.0, 2.0, 1e-9)));
    EXPECT_TRUE(std::isnan(BrentRoot(
        [](double x) { return std::fabs(x - 0.5) < 0.6 ? -INFINITY : x - 1.0; }, -0.5, 2.0, 1e-9)));
    EXPECT_THROW(
        BrentRoot([](double) -> double { throw std::runtime_error("stop"); }, 0.0, 1.0, 1e-9),
        std::runtime_error);
}

TEST(Fit, APoolOfFiftyChromosomesIsEstimatedOnlyWithThePoolSize) {
    TRng rng(7);
    const double theta = 0.02;
    // Pool of 50, reads Poisson(100), scores 35..41.
    auto model = Model(theta, 0.0, false);
    std::poisson_distribution<int> depth(100.0);
    const std::vector<STestSite> sites = Simulate<TRng>(
        6000, *model, 50, [&](TRng& r) { return std::max(1, depth(r)); },
        [](TRng& r) { return std::uniform_int_distribution<int>(35, 41)(r); }, true, rng);
    SSiteOptions pooled;
    pooled.poolSize = 50;
    const SFitResult withPool = FitNeutral(MakeStore(sites, pooled), SFitOptions(), nullptr);
    const SFitResult perRead = FitNeutral(MakeStore(sites, SSiteOptions()), SFitOptions(), nullptr);
    EXPECT_NEAR(withPool.theta, theta, 0.1 * theta);
    EXPECT_GT(std::fabs(perRead.theta - theta), 0.1 * theta) << perRead.theta;
}

TEST(SiteStore, RefusesBadTablesOptionsAndOrder) {
    SSiteOptions options;
    CSiteStore store(options);
    const double nan = std::nan("");
    const std::vector<double> good{0.9, 0.05, 0.001};
    struct SBad {
        std::vector<double> table;
        double logScale;
    };
    for (const SBad& bad :
         {SBad{{0.9, nan, 0.1}, 0.0}, SBad{{0.9, -0.1, 0.1}, 0.0}, SBad{{0.9, INFINITY, 0.1}, 0.0},
          SBad{{0.0, 0.0, 0.0}, 0.0}, SBad{{0.9, 0.05, 0.001}, INFINITY}}) {
        try {
            store.Append(0, 10, 2, bad.table.data(), bad.logScale);
            ADD_FAILURE() << "a bad table was taken";
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), EInputError::eRange);
            EXPECT_EQ(e.Where().m_Pos, 11);  // 1-based
        }
    }
    EXPECT_THROW(store.Append(0, 10, -1, good.data(), 0.0), std::invalid_argument);
    EXPECT_FALSE(store.Append(0, 10, 0, good.data(), 0.0));  // no reads: not stored
    EXPECT_TRUE(store.Append(0, 10, 2, good.data(), 0.0));
    try {
        store.Append(0, 9, 2, good.data(), 0.0);
        ADD_FAILURE() << "a site out of order was taken";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eOrder);
        EXPECT_EQ(e.Where().m_Pos, 10);
    }
    EXPECT_TRUE(store.Append(1, 5, 2, good.data(), 0.0));  // a new contig starts anew
    EXPECT_EQ(store.GetSites(), 2u);
    SSiteOptions pool1;
    pool1.poolSize = 1;
    EXPECT_THROW(CSiteStore{pool1}, std::invalid_argument);
    SFitOptions level;
    level.level = 1.0;
    EXPECT_THROW(FitNeutral(store, level, nullptr), std::invalid_argument);
    // Only uninformative sites (depth 1, folded): no estimate, a finite loglik.
    CSiteStore flat(options);
    flat.Append(0, 1, 1, good.data(), 0.0);
    const SFitResult r = FitNeutral(flat, SFitOptions(), nullptr);
    EXPECT_TRUE(std::isnan(r.theta));
    EXPECT_TRUE(std::isfinite(r.logLik));
    EXPECT_TRUE(std::isnan(FitGrowth(flat, SFitOptions(), r, nullptr).theta));
}

}  // namespace
