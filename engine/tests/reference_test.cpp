// The fits against a naive reference that shares nothing with the engine but
// the spectrum library: every site's log-likelihood from its full table at
// each (theta, g), maxima and interval ends by brute force over grids in
// theta and log10 g. Cases: data from growth, level profiles (the data
// cannot tell growth from none), a profile still rising at the growth cap,
// and theta at the edge of its domain.

#include <gsl/gsl_cdf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "engine/tests/engine_test_util.hpp"
#include "spectrum/freqspec.hpp"

namespace {

using TRng = std::mt19937_64;
constexpr double kNeutralX = -10.0;  // log10 g of the neutral limit

// The log-likelihood of sites at (theta, g), g = 0 neutral, from the tables.
class CNaive {
  public:
    CNaive(std::vector<STestSite> sites, bool folded)
        : m_Sites(std::move(sites)), m_Folded(folded) {
        for (const STestSite& s : m_Sites) {
            m_MaxDepth = std::max(m_MaxDepth, s.depth);
        }
    }

    double operator()(double theta, double g) const {
        const auto model = Model(theta, g, m_Folded);
        double sum = 0.0;
        for (const STestSite& s : m_Sites) {
            sum += OracleLogLik(s, *model, 0);
        }
        return sum;
    }
    double AtX(double theta, double x) const {
        return (*this)(theta, x <= kNeutralX ? 0.0 : std::pow(10.0, x));
    }

    // The largest theta at which the prior of no minor copy stays >= 0 at
    // every depth present: that prior is linear in theta.
    double ThetaMax(double x) const {
        const double g = x <= kNeutralX ? 0.0 : std::pow(10.0, x);
        const auto at0 = Model(0.0, g, m_Folded);
        const auto at1 = Model(1.0, g, m_Folded);
        double top = std::numeric_limits<double>::infinity();
        std::vector<bool> seen(static_cast<std::size_t>(m_MaxDepth) + 1, false);
        for (const STestSite& s : m_Sites) {
            if (seen[static_cast<std::size_t>(s.depth)]) {
                continue;
            }
            seen[static_cast<std::size_t>(s.depth)] = true;
            const double p0 = (*at0)(0, s.depth), p1 = (*at1)(0, s.depth);
            if (p1 < p0) {
                top = std::min(top, p0 / (p0 - p1));
            }
        }
        return top;
    }

    // Maximum over theta at x: a grid of kGrid steps, then golden section
    // around the best; theta is returned in thetaHat.
    double Profile(double x, double* thetaHat = nullptr) const {
        constexpr int kGrid = 40;
        const double top = ThetaMax(x) * (1.0 - 1e-13);
        int best = 0;
        double lBest = -INFINITY;
        for (int i = 0; i <= kGrid; ++i) {
            const double l = AtX(top * i / kGrid, x);
            if (l > lBest) {
                lBest = l;
                best = i;
            }
        }
        double t = top * best / kGrid;
        if (best > 0 && best < kGrid) {
            t = GoldenMax([&](double th) { return AtX(th, x); }, top * (best - 1) / kGrid,
                          top * (best + 1) / kGrid, 50);
            lBest = std::max(lBest, AtX(t, x));
        }
        if (thetaHat) {
            *thetaHat = t;
        }
        return lBest;
    }

    // max_x l(theta, 10^x) over the neutral limit and x on [lo, hi]: steps
    // of 0.05, then golden section around the best, where theta lies in the
    // domain.
    double MaxOverGrowth(double theta, double lo, double hi) const {
        auto at = [&](double x) { return theta <= ThetaMax(x) ? AtX(theta, x) : -INFINITY; };
        double best = at(kNeutralX), xBest = lo;
        for (double x = lo; x <= hi + 1e-9; x += 0.05) {
            const double l = at(x);
            if (l > best) {
                best = l;
                xBest = x;
            }
        }
        if (std::isfinite(best)) {
            best = std::max(best, at(GoldenMax(at, xBest - 0.05, xBest + 0.05, 25)));
        }
        return best;
    }

  private:
    std::vector<STestSite> m_Sites;
    bool m_Folded;
    int m_MaxDepth = 0;
};

CSiteStore Store(const std::vector<STestSite>& sites, bool folded) {
    SSiteOptions options;
    options.folded = folded;
    CSiteStore store(options);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        store.Append(0, static_cast<std::int64_t>(i), sites[i].depth, sites[i].table.data(),
                     sites[i].logScale);
    }
    return store;
}

std::vector<STestSite> Simulated(int count, double theta, double g, double meanDepth, TRng& rng) {
    const auto model = Model(theta, g, false);
    std::poisson_distribution<int> depth(meanDepth);
    return Simulate<TRng>(
        count, *model, 0, [&](TRng& r) { return std::max(1, depth(r)); },
        [](TRng& r) { return std::uniform_int_distribution<int>(15, 41)(r); }, true, rng);
}

double Drop(double level) {
    return 0.5 * gsl_cdf_chisq_Pinv(level, 1.0);
}

TEST(Reference, GrowthFitAndItsIntervalsMatchABruteForceGridOverThetaAndGrowth) {
    TRng rng(5);
    const std::vector<STestSite> sites = Simulated(500, 0.1, 20.0, 10.0, rng);
    const CNaive naive(sites, true);
    const CSiteStore store = Store(sites, true);
    const SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
    const SFitResult g = FitGrowth(store, SFitOptions(), n, nullptr);
    const double drop = Drop(0.95);

    // The profile over log10 g: the neutral limit, then steps of 0.25 to
    // the cap, refined around the best point.
    double xBest = kNeutralX, lBest = naive.Profile(kNeutralX);
    for (double x = -3.0; x <= 6.0 + 1e-9; x += 0.25) {
        const double l = naive.Profile(x);
        if (l > lBest) {
            lBest = l;
            xBest = x;
        }
    }
    ASSERT_GT(xBest, -3.0);
    ASSERT_LT(xBest, 6.0);
    xBest = GoldenMax([&](double x) { return naive.Profile(x); }, xBest - 0.25, xBest + 0.25, 25);
    double thetaBest = 0.0;
    lBest = std::max(lBest, naive.Profile(xBest, &thetaBest));
    EXPECT_NEAR(std::log10(g.growth), xBest, 0.02);
    EXPECT_NEAR(g.logLik, lBest, 1e-7 * std::fabs(lBest));
    EXPECT_NEAR(g.theta, thetaBest, 0.02 * thetaBest);

    // The test: lrt from the two maxima, and its p-value under the boundary
    // null, half chi-square(0) and half chi-square(1): 1 - Phi(sqrt(lrt)).
    const double lNeutral = naive.Profile(kNeutralX);
    EXPECT_NEAR(n.logLik, lNeutral, 1e-9 * std::fabs(lNeutral));
    EXPECT_NEAR(g.lrt, 2.0 * (lBest - lNeutral), 1e-5 * g.lrt + 1e-6);
    ASSERT_GT(g.lrt, 1.0);
    EXPECT_NEAR(g.pValue, gsl_cdf_ugaussian_Q(std::sqrt(g.lrt)), 1e-12);

    // growth_lo and growth_hi: where the profile crosses l_hat - q/2.
    const double threshold = g.logLik - drop;
    auto crossing = [&](double a, double b) {
        return Bisect([&](double x) { return naive.Profile(x) - threshold; }, a, b, 30);
    };
    ASSERT_LT(naive.Profile(-3.0), threshold);
    ASSERT_LT(naive.Profile(6.0), threshold);
    EXPECT_NEAR(std::log10(g.growthLo), crossing(-3.0, xBest), 2e-3);
    EXPECT_NEAR(std::log10(g.growthHi), crossing(xBest, 6.0), 2e-3);

    // theta_lo and theta_hi of the growth row: the ends of the theta whose
    // best l over every g reaches the threshold.
    const double xLo = std::log10(g.growthLo) - 0.05, xHi = std::log10(g.growthHi) + 0.05;
    auto passes = [&](double theta) { return naive.MaxOverGrowth(theta, xLo, xHi) - threshold; };
    double above = 2.0 * thetaBest;
    while (passes(above) >= 0.0) {
        above *= 2.0;
    }
    const double thetaLo = Bisect(passes, 0.0, thetaBest, 30);
    const double thetaHi = Bisect(passes, thetaBest, above, 30);
    EXPECT_NEAR(g.thetaLo, thetaLo, 1e-3 * thetaLo);
    EXPECT_NEAR(g.thetaHi, thetaHi, 1e-3 * thetaHi);
    // The profiled end lies far below the end at the best g alone:
    // profiling over g widens the interval.
    const double atBestLo =
        Bisect([&](double t) { return naive.AtX(t, xBest) - threshold; }, 0.0, thetaBest, 50);
    EXPECT_LT(g.thetaLo, 0.5 * atBestLo);
}

TEST(Reference, LevelProfilesReportNoGrowthAndTiesGoToTheNeutralLimit) {
    TRng rng(31);
    auto scores = [&](int n, int lo, int hi) {
        std::vector<std::uint8_t> v;
        for (int i = 0; i < n; ++i) {
            v.push_back(static_cast<std::uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng)));
        }
        return v;
    };
    struct SCase {
        const char* name;
        std::vector<STestSite> sites;
    };
    std::vector<SCase> cases;
    // Unfolded sites of two reads: the only polymorphic class is k = 1, so
    // l depends on theta P_2(g) alone and every g reaches the same maximum.
    cases.push_back(
        {"one site of two reads, unfolded", {MakeSite(scores(0, 2, 2), scores(2, 2, 2), false)}});
    std::vector<STestSite> two;
    for (int i = 0; i < 80; ++i) {
        const int minor = i % 3 == 0 ? 1 : (i % 7 == 0 ? 2 : 0);
        two.push_back(MakeSite(scores(minor, 10, 41), scores(2 - minor, 10, 41), false));
    }
    cases.push_back({"80 sites of two reads, unfolded", two});
    // No site with a minor read: theta is 0 whatever g.
    std::vector<STestSite> quiet;
    for (int i = 0; i < 50; ++i) {
        quiet.push_back(MakeSite({}, scores(3 + i % 20, 30, 41), false));
    }
    cases.push_back({"no minor reads", quiet});
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        const CNaive naive(c.sites, false);
        double lo = INFINITY, hi = -INFINITY;
        for (double x : {kNeutralX, -3.0, -1.0, 0.0, 1.0, 2.5, 4.0, 6.0}) {
            const double l = naive.Profile(x);
            lo = std::min(lo, l);
            hi = std::max(hi, l);
        }
        ASSERT_LE(hi - lo, 1e-9 * std::fabs(hi)) << "the reference profile is not level";
        const CSiteStore store = Store(c.sites, false);
        const SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        const SFitResult g = FitGrowth(store, SFitOptions(), n, nullptr);
        EXPECT_NEAR(n.logLik, hi, 1e-9 * std::fabs(hi));
        EXPECT_TRUE(std::isnan(g.growth)) << g.growth;
        EXPECT_EQ(g.lrt, 0.0);
        EXPECT_EQ(g.pValue, 1.0);
        EXPECT_EQ(g.theta, n.theta);  // the neutral limit's estimate
        EXPECT_EQ(g.logLik, n.logLik);
        // Every rate is as likely as none: the interval is all of them.
        EXPECT_EQ(g.growthLo, 1e-10);
        EXPECT_EQ(g.growthHi, INFINITY);
        EXPECT_LE(g.thetaLo, n.theta);
    }
}

TEST(Reference, EstimatesAtTheGrowthCapAndAtTheEdgeOfThetasDomain) {
    TRng rng(5);
    auto q = [&](int n) { return std::vector<std::uint8_t>(static_cast<std::size_t>(n), 30); };
    {
        SCOPED_TRACE("singletons only, unfolded: the profile rises up to the cap");
        std::vector<STestSite> sites;
        for (int i = 0; i < 60; ++i) {
            sites.push_back(MakeSite(q(i % 2), q(4 - i % 2), false));
        }
        const CNaive naive(sites, false);
        double thetaCap = 0.0;
        const double atCap = naive.Profile(6.0, &thetaCap);
        for (double x : {kNeutralX, -3.0, 0.0, 3.0, 5.0, 5.9}) {
            ASSERT_LT(naive.Profile(x), atCap) << "x " << x;
        }
        const CSiteStore store = Store(sites, false);
        const SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        const SFitResult g = FitGrowth(store, SFitOptions(), n, nullptr);
        EXPECT_EQ(g.growth, 1e6);
        EXPECT_EQ(g.growthHi, INFINITY);
        EXPECT_NEAR(g.logLik, atCap, 1e-9 * std::fabs(atCap));
        EXPECT_NEAR(g.theta, thetaCap, 1e-3 * thetaCap);
        EXPECT_GT(g.lrt, 0.0);
        // A lower cap stops the search there.
        SFitOptions capped;
        capped.growthCap = 100.0;
        const SFitResult c = FitGrowth(store, capped, n, nullptr);
        EXPECT_EQ(c.growth, 100.0);
        EXPECT_NEAR(c.logLik, naive.Profile(2.0), 1e-9 * std::fabs(c.logLik));
    }
    {
        SCOPED_TRACE("two reads of either base at every site, folded: theta at its largest");
        std::vector<STestSite> sites;
        for (int i = 0; i < 40; ++i) {
            sites.push_back(MakeSite(q(1), q(1), true));
        }
        const CNaive naive(sites, true);
        const double top = naive.ThetaMax(kNeutralX);
        ASSERT_GT(naive(top, 0.0), naive(0.999 * top, 0.0));
        const CSiteStore store = Store(sites, true);
        const SFitResult n = FitNeutral(store, SFitOptions(), nullptr);
        EXPECT_NEAR(n.theta, top, 1e-12 * top);
        EXPECT_NEAR(n.thetaHi, top, 1e-12 * top);
        const double lo = Bisect(
            [&](double t) { return naive(t, 0.0) - (naive(top, 0.0) - Drop(0.95)); }, 0.0, top);
        EXPECT_NEAR(n.thetaLo, lo, 1e-8 * top);
        EXPECT_NEAR(n.logLik, naive(top, 0.0), 1e-9 * std::fabs(n.logLik));
    }
}

}  // namespace
