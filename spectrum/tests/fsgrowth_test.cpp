#include <gsl/gsl_sf_expint.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "spectrum/freqspec.hpp"
#include "spectrum/tests/spectrum_test_util.hpp"

// Reaches the private helper of the growth model.
struct CFSGrowthProbe {
    static double ExpTime(const CFSGrowth& s, int k) { return s.x_ExpTime(k); }
};

namespace {

using Probe = CFSGrowthProbe;
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

CFSGrowth Growth(double theta, double g, bool folded = false) {
    return Model<CFSGrowth>({theta, g}, folded);
}

// Sum of spectrum(k, n) for k = 0..last, each checked non-negative.
double CheckedSum(const CFSGrowth& spectrum, int n, int last) {
    double sum = 0;
    for (int k = 0; k <= last; ++k) {
        EXPECT_GE(spectrum(k, n), 0.0) << n << " " << k;
        sum += spectrum(k, n);
    }
    return sum;
}

}  // namespace

// Reference values from a 60-digit evaluation of the same formula (T(j)
// by the nine-term series from x = 50 on, as in the model). The defaults are
// theta 0.01, g 0.05, folded.
TEST(GrowthSpectrum, DepthsFourTwoAndOneAgainstReferenceValues) {
    const double u[] = {0.98249072288996092, 0.0096669696642140538, 0.0047344232650357593,
                        0.0031078841807892708, 0.0};
    const CFSGrowth unfolded = Growth(0.01, 0.05);
    const CFSGrowth folded;
    for (int k = 0; k <= 4; ++k) {
        EXPECT_NEAR(unfolded(k, 4), u[k], 1e-15) << k;
        EXPECT_NEAR(folded(k, 4), k == 2 ? u[2] : 0.5 * (u[k] + u[4 - k]), 1e-15) << k;
    }
    EXPECT_NEAR(RowSum(unfolded, 4, 3), 1.0, 1e-15);
    EXPECT_NEAR(unfolded(0, 2), 0.99045629090080783, 1e-15);
    EXPECT_NEAR(unfolded(1, 2), 0.0095437090991921685, 1e-15);
    EXPECT_EQ(unfolded(2, 2), 0.0);
    EXPECT_EQ(unfolded(0, 1), 1.0);
    EXPECT_EQ(unfolded(1, 1), 0.0);
    EXPECT_EQ(folded(0, 1), 0.5);
    EXPECT_EQ(folded(1, 1), 0.5);
}

// Slow reference: as g -> 0 the spectrum tends to theta / k, which tests the
// weights at every depth independently of the recurrence. A rate that is not
// positive computes as this limit.
TEST(GrowthSpectrum, NeutralLimitAndUnitSumAtEveryDepth) {
    const CFSGrowth grown = Growth(0.02, 0.5);
    for (double g : {0.0, -0.3}) {
        const CFSGrowth limit = Growth(0.02, g);
        for (int n = 2; n <= 60; ++n) {
            for (int k = 1; k < n; ++k) {
                EXPECT_NEAR(limit(k, n), 0.02 / k, 1e-8 * 0.02 / k) << g << " " << n << " " << k;
                EXPECT_GT(grown(k, n), 0.0) << n << " " << k;
            }
            EXPECT_NEAR(RowSum(limit, n, n - 1), 1.0, 1e-14) << g << " " << n;
            EXPECT_NEAR(RowSum(grown, n, n - 1), 1.0, 1e-14) << n;
        }
    }
}

TEST(GrowthSpectrum, DepthFourHundredIsAProbabilityDistribution) {
    const int n = 400;
    const CFSGrowth spectrum = Growth(0.01, 0.05);
    EXPECT_NEAR(CheckedSum(spectrum, n, n), 1.0, 1e-9);
    // Against a 60-digit evaluation of the same formula.
    const std::vector<std::pair<int, double>> reference = {
        {0, 0.93581951524795848},    {1, 0.009986482180297048},    {2, 0.0049877011509396856},
        {3, 0.003321839985056301},   {100, 9.5750389948336573e-5}, {200, 4.6862262350689647e-5},
        {399, 2.2840379632078821e-5}};
    for (const auto& [k, value] : reference) {
        EXPECT_NEAR(spectrum(k, n), value, 1e-11 * value) << k;
    }
    const CFSGrowth folded = Growth(0.01, 0.05, true);
    EXPECT_NEAR(RowSum(folded, n, n), 1.0, 1e-9);
    for (int k = 0; k <= n; ++k) {
        EXPECT_EQ(folded(k, n), folded(n - k, n)) << k;
    }
}

TEST(GrowthSpectrum, DeepSamplesAndExtremeRatesStayFinite) {
    // Depths of thousands: the coefficient products would overflow and the
    // integer factors of the recurrence exceed 32 bits.
    const CFSGrowth spectrum = Growth(0.01, 0.05);
    for (int k : {0, 1, 1500, 2999}) {
        const double p = spectrum(k, 3000);
        EXPECT_TRUE(std::isfinite(p)) << k;
        EXPECT_GT(p, 0.0) << k;
    }
    EXPECT_NEAR(spectrum(1, 3000), 0.01, 1e-3);
    // A subnormal rate makes every T(j) underflow: no polymorphic mass, no
    // NaN.
    const CFSGrowth tiny = Growth(0.01, 1e-320);
    EXPECT_EQ(tiny(0, 10), 1.0);
    EXPECT_EQ(tiny(3, 10), 0.0);
    EXPECT_NEAR(CheckedSum(Growth(0.01, 1e4), 50, 49), 1.0, 1e-12);
}

// The row of a depth and the times T(j) are kept between calls; a new
// parameter vector, however it is set, must replace what depends on it. The
// row of the depth last asked is the one kept, so each step starts and ends
// with depth 10.
TEST(GrowthSpectrum, ChangedParametersAnswerAsAFreshModel) {
    CFSGrowth spectrum = Growth(0.01, 1.0);
    const struct {
        const char* how;
        std::function<void(CFSGrowth&)> change;
        double theta, g;
        bool folded;
    } steps[] = {
        {"start", [](CFSGrowth&) {}, 0.01, 1.0, false},
        {"SetParam(1)", [](CFSGrowth& s) { s.SetParam(1) = 5.0; }, 0.01, 5.0, false},
        {"SetParams(vector)",
         [](CFSGrowth& s) {
             s.SetParams(TParamVector{{0.03, true}, {1.0, true}});
         },
         0.03, 1.0, false},
        {"SetParams(text)", [](CFSGrowth& s) { s.SetParams("0.03 0.2"); }, 0.03, 0.2, false},
        {"SetFolded", [](CFSGrowth& s) { s.SetFolded(true); }, 0.03, 0.2, true},
        {"SetParam(0)", [](CFSGrowth& s) { s.SetParam(0) = 0.02; }, 0.02, 0.2, true},
    };
    for (const auto& step : steps) {
        step.change(spectrum);
        const CFSGrowth fresh = Growth(step.theta, step.g, step.folded);
        for (int n : {10, 3, 40, 10}) {
            for (int k = 0; k <= n; ++k) {
                EXPECT_EQ(spectrum(k, n), fresh(k, n)) << step.how << " " << n << " " << k;
            }
        }
    }
    // Rate 1, then 5 on the same object: a row kept from rate 1 gives
    // 0.99642 here.
    CFSGrowth changed = Growth(0.01, 1.0);
    EXPECT_NEAR(changed(0, 10), 0.98208, 5e-6);
    changed.SetParam(1) = 5.0;
    EXPECT_NEAR(changed(0, 10), 0.99026, 5e-6);
}

TEST(GrowthSpectrum, CloneAnswersForItsOwnParameters) {
    const CFSGrowth original = Growth(0.01, 0.05);
    const double value = original(1, 6);
    std::unique_ptr<CFreqSpectrum> copy(original.Clone());
    EXPECT_EQ(copy->GetName(), "Growth");
    EXPECT_EQ((*copy)(1, 6), value);
    copy->SetParams(TParamVector{{0.02, true}, {1.0, true}});
    EXPECT_EQ((*copy)(1, 6), Growth(0.02, 1.0)(1, 6));
    EXPECT_NE((*copy)(1, 6), value);
    EXPECT_EQ(original(1, 6), value);
    EXPECT_EQ(original.GetParamString(), "0.01 0.05 ");
}

// Theta must be positive and the rate at least the floor 1e-10; NaN is not
// out of range, and theta has no upper bound, unlike the neutral model's.
TEST(GrowthRange, ThetaMustBePositiveAndRateAtLeastTheFloor) {
    const double belowFloor = std::nextafter(1e-10, 0.0);
    const struct {
        double theta, g;
        bool out;
    } cases[] = {{0.01, 0.05, false},    {0.0, 0.05, true},        {1e-300, 0.05, false},
                 {1e-300, 1e-10, false}, {0.01, belowFloor, true}, {0.01, 0.0, true},
                 {0.01, -0.3, true},     {0.01, kNaN, false},      {kNaN, 0.05, false},
                 {5.0, 0.05, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(Growth(c.theta, c.g).ParamsOutOfRange(), c.out) << c.theta << " " << c.g;
    }
}

// T(k) = e^x E1(x) with x = C(k, 2) / g: the exponential integral below
// x = 50, a nine-term asymptotic series from there on.
TEST(GrowthHelpers, ExpTimeOnBothSidesOfTheSwitchAndAtExtremeRates) {
    ASSERT_EQ(gsl_sf_choose(2, 2) / 0.02, 50.0);
    const struct {
        double g;
        int k;
        double expected, tolerance;
    } cases[] = {
        // x = 20: exponential integral.
        {0.05, 2, 0.047718545495960844, 1e-15},
        // x = 60: the series, truncation error 5.2e-13.
        {0.05, 3, 0.016397713708046528, 1e-12},
        // Just below x = 50 the exponential integral is exact to rounding ...
        {1 / 49.9, 2, 0.019653674635390887, 4e-17},
        // ... while x = 50 takes the series, whose nine terms overshoot
        // e^50 E1(50) = 0.019615109930114871 by 3.1e-12.
        {0.02, 2, 0.019615109930114871 + 3.105e-12, 1e-14},
        // g <= 0 computes as 1e-10: x = 1e10, T = 1/x - 1/x^2 + ...
        {0.0, 2, 1e-10, 1e-19},
        // x close to 0, where e^x E1(x) ~ -ln x - 0.5772.
        {1e300, 2, 300 * std::log(10.0) - 0.5772156649, 1e-9},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(Probe::ExpTime(Growth(0.01, c.g), c.k), c.expected, c.tolerance)
            << c.g << " " << c.k;
    }
    EXPECT_EQ(Probe::ExpTime(Growth(0.01, kInf), 2), kInf);
}

// Slow oracle that shares no step with the model's weight recurrence: the
// time with k lineages from the lineage-count distribution of the standard
// coalescent (Tavare 1984) under the time change of exponential growth, and
// the share of those branches that subtend b of the n leaves (Griffiths and
// Tavare):
//   P(b) = theta/2 sum_{k=2..n} k E[tau_k] C(n-b-1, k-2) / C(n-1, k-1),
//   E[tau_k] = 1/g sum_{i=k..n} (-1)^(i-k) (2i-1) k^(i-1) n_(i) / (k! (i-k)! n^(i)) e^x E1(x)
// with x = C(i,2)/g, rising factorials a^(m) and falling ones a_(m); e^x E1(x)
// / g is the integral of exp(-C(i,2) (e^(gt) - 1) / g) over t. It takes
// e^x E1(x) from the model (checked on its own below), so the comparison
// isolates the weights; the alternating sums stay exact in long double up to
// depth 14.
long double OracleProb(double theta, double g, int b, int n) {
    const CFSGrowth model = Growth(theta, g);
    auto rising = [](long double a, int m) {
        long double r = 1;
        for (int q = 0; q < m; ++q) {
            r *= a + q;
        }
        return r;
    };
    auto falling = [](long double a, int m) {
        long double r = 1;
        for (int q = 0; q < m; ++q) {
            r *= a - q;
        }
        return r;
    };
    auto choose = [&](int a, int m) {
        return m < 0 || m > a ? 0.0L : falling(a, m) / rising(1, m);
    };
    long double sum = 0;
    for (int k = 2; k <= n; ++k) {
        long double tau = 0;
        for (int i = k; i <= n; ++i) {
            const long double sign = (i - k) % 2 ? -1 : 1;
            const long double coef = sign * (2 * i - 1) * rising(k, i - 1) * falling(n, i) /
                                     (rising(1, k) * rising(1, i - k) * rising(n, i));
            tau += coef * Probe::ExpTime(model, i) / g;
        }
        sum += k * tau * choose(n - b - 1, k - 2) / choose(n - 1, k - 1);
    }
    return theta / 2 * sum;
}

TEST(GrowthSpectrum, AgreesWithTheLineageCountOracle) {
    for (double g : {0.05, 0.5, 3.0, 40.0}) {
        const CFSGrowth spectrum = Growth(0.01, g);
        for (int n = 2; n <= 14; ++n) {
            long double polymorphic = 0;
            for (int b = 1; b < n; ++b) {
                const long double expected = OracleProb(0.01, g, b, n);
                polymorphic += expected;
                EXPECT_NEAR(spectrum(b, n), expected, 1e-13 * expected)
                    << "g " << g << " n " << n << " b " << b;
            }
            EXPECT_NEAR(spectrum(0, n), 1 - polymorphic, 1e-14) << "g " << g << " n " << n;
        }
    }
}
