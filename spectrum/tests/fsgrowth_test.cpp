#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "spectrum/freqspec.hpp"
#include "spectrum/tests/spectrum_test_util.hpp"

// Reaches the private helpers of the growth model.
struct CFSGrowthProbe {
    static double ExpTime(const CFSGrowth& s, int k) { return s.x_ExpTime(k); }
    static double Weight(const CFSGrowth& s, int i, int j, int n) { return s.x_Weight(i, j, n); }
    static bool WeightStored(const CFSGrowth& s, int i, int j, int n) {
        return s.m_WCache.Find(n, i, j) != nullptr;
    }
    static bool NoWeightStored(const CFSGrowth& s) { return s.m_WCache.IsEmpty(); }
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

TEST(GrowthSpectrum, ParameterChangeKeepsTheWeights) {
    CFSGrowth spectrum = Growth(0.01, 0.05);
    const double before = spectrum(2, 5);
    const double weight = Probe::Weight(spectrum, 2, 5, 5);
    ASSERT_TRUE(Probe::WeightStored(spectrum, 2, 5, 5));
    spectrum.SetParam(1) = 0.2;
    EXPECT_TRUE(Probe::WeightStored(spectrum, 2, 5, 5));
    EXPECT_EQ(Probe::Weight(spectrum, 2, 5, 5), weight);
    EXPECT_GT(std::fabs(spectrum(2, 5) - before), 1e-6);

    spectrum.SetParam(1) = 0.05;
    spectrum.SetFolded(true);
    spectrum.SetFolded(false);
    EXPECT_TRUE(Probe::WeightStored(spectrum, 2, 5, 5));
    EXPECT_EQ(spectrum(2, 5), before);
}

TEST(GrowthSpectrum, CloneCarriesWeightsAndAnswersForItsOwnParameters) {
    const CFSGrowth original = Growth(0.01, 0.05);
    const double value = original(1, 6);
    Probe::Weight(original, 1, 6, 6);
    std::unique_ptr<CFreqSpectrum> copy(original.Clone());
    EXPECT_EQ(copy->GetName(), "Growth");
    const auto& growthCopy = dynamic_cast<const CFSGrowth&>(*copy);
    EXPECT_TRUE(Probe::WeightStored(growthCopy, 1, 6, 6));

    copy->SetParams(TParamVector{{0.02, true}, {1.0, true}});
    EXPECT_NE((*copy)(1, 6), value);
    EXPECT_EQ(original(1, 6), value);
    // Weights computed in the copy stay there.
    Probe::Weight(growthCopy, 2, 7, 7);
    EXPECT_FALSE(Probe::WeightStored(original, 2, 7, 7));
    EXPECT_EQ(original.GetParamString(), "0.01 0.05 ");
}

// A spectrum value needs its row of weights once per parameter vector, and
// the likelihood evaluates fresh copies: keeping the rows would cost
// 16 n^2 bytes per depth and evaluation (about 450 MB for depths 2 to 400).
TEST(GrowthSpectrum, SpectrumValuesKeepNoWeights) {
    const CFSGrowth spectrum = Growth(0.01, 0.05, true);
    for (int n = 1; n <= 60; ++n) {
        RowSum(spectrum, n, n);
    }
    EXPECT_TRUE(Probe::NoWeightStored(spectrum));
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

TEST(GrowthHelpers, WeightsAtDepthFour) {
    const CFSGrowth spectrum;
    const struct {
        int i, j;
        double w;
    } cases[] = {{1, 2, 1.2}, {1, 3, 2.0}, {1, 4, 0.8}, {2, 4, -1.2},
                 {3, 4, 0.8}, {2, 2, 1.2}, {2, 3, 0.0}, {3, 3, -2.0}};
    for (const auto& c : cases) {
        EXPECT_NEAR(Probe::Weight(spectrum, c.i, c.j, 4), c.w, 1e-15) << c.i << " " << c.j;
    }
}

TEST(GrowthHelpers, WeightRequestedHighFirstStoresTheWholeRun) {
    const CFSGrowth spectrum;
    const double w30 = Probe::Weight(spectrum, 4, 30, 30);
    for (int j = 2; j <= 30; ++j) {
        EXPECT_TRUE(Probe::WeightStored(spectrum, 4, j, 30)) << j;
    }
    // The same weight from a fresh model asked in increasing order.
    const CFSGrowth fresh;
    double w = 0;
    for (int j = 2; j <= 30; ++j) {
        w = Probe::Weight(fresh, 4, j, 30);
    }
    EXPECT_EQ(w, w30);
}

// The weights of T(j) over all counts add up to
// c(j, n) = ((-1)^j + 1) (2j - 1) prod_{m<j} (n - m) / (n + m).
TEST(GrowthHelpers, WeightsOfAllCountsAddUpToTheCoefficient) {
    const CFSGrowth spectrum;
    for (int n = 2; n <= 80; n += 3) {
        double product = 1;
        for (int j = 2; j <= n; ++j) {
            product *= static_cast<double>(n - j + 1) / (n + j - 1);
            double sum = 0;
            for (int i = 1; i < n; ++i) {
                sum += Probe::Weight(spectrum, i, j, n);
            }
            // The weights of low j are of order one; the recurrence carries
            // their rounding into the tiny coefficients of high j.
            EXPECT_NEAR(sum, j % 2 ? 0.0 : 2.0 * (2 * j - 1) * product, 1e-13) << n << " " << j;
        }
    }
}
