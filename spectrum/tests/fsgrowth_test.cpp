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

CFSGrowth Growth(double theta, double g, bool folded) {
    return Model<CFSGrowth>({theta, g}, folded);
}

// c(j, n) = ((-1)^j + 1) (2j - 1) prod_{m<j} (n - m) / (n + m), the total
// weight of T(j) over all counts.
double Coefficient(int j, int n) {
    if (j % 2 != 0) {
        return 0.0;
    }
    double c = 2.0 * (2 * j - 1);
    for (int m = 0; m < j; ++m) {
        c *= static_cast<double>(n - m) / (n + m);
    }
    return c;
}

}  // namespace

TEST(GrowthSpectrum, NameAndDefaults) {
    CFSGrowth spectrum;
    EXPECT_EQ(spectrum.GetName(), "Growth");
    EXPECT_TRUE(spectrum.IsFolded());
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    EXPECT_EQ(spectrum.GetParamString(), "0.01 0.05 ");
}

// Reference values from a 60-digit evaluation of the same formula (T(j)
// by the nine-term series from x = 50 on, as in the model).
TEST(GrowthSpectrum, DepthFourAndTwoUnfolded) {
    CFSGrowth spectrum = Growth(0.01, 0.05, false);
    EXPECT_NEAR(spectrum(0, 4), 0.98249072288996092, 1e-15);
    EXPECT_NEAR(spectrum(1, 4), 0.0096669696642140538, 1e-15);
    EXPECT_NEAR(spectrum(2, 4), 0.0047344232650357593, 1e-15);
    EXPECT_NEAR(spectrum(3, 4), 0.0031078841807892708, 1e-15);
    EXPECT_EQ(spectrum(4, 4), 0.0);
    EXPECT_NEAR(RowSum(spectrum, 4, 3), 1.0, 1e-15);

    EXPECT_NEAR(spectrum(0, 2), 0.99045629090080783, 1e-15);
    EXPECT_NEAR(spectrum(1, 2), 0.0095437090991921685, 1e-15);
    EXPECT_EQ(spectrum(2, 2), 0.0);
}

TEST(GrowthSpectrum, DepthFourFolded) {
    CFSGrowth spectrum;
    const double u0 = 0.98249072288996092;
    const double u1 = 0.0096669696642140538;
    const double u2 = 0.0047344232650357593;
    const double u3 = 0.0031078841807892708;
    EXPECT_NEAR(spectrum(0, 4), 0.5 * u0, 1e-15);
    EXPECT_NEAR(spectrum(1, 4), 0.5 * (u1 + u3), 1e-15);
    EXPECT_NEAR(spectrum(2, 4), u2, 1e-15);
    EXPECT_NEAR(spectrum(3, 4), 0.5 * (u1 + u3), 1e-15);
    EXPECT_NEAR(spectrum(4, 4), 0.5 * u0, 1e-15);
}

TEST(GrowthSpectrum, DepthOne) {
    CFSGrowth spectrum = Growth(0.01, 0.05, false);
    EXPECT_EQ(spectrum(0, 1), 1.0);
    EXPECT_EQ(spectrum(1, 1), 0.0);
    spectrum.SetFolded(true);
    EXPECT_EQ(spectrum(0, 1), 0.5);
    EXPECT_EQ(spectrum(1, 1), 0.5);
}

TEST(GrowthSpectrum, NonPositiveRateComputesAsTheNeutralLimit) {
    for (double g : {0.0, -0.3}) {
        CFSGrowth spectrum = Growth(0.01, g, false);
        EXPECT_NEAR(spectrum(0, 4), 0.981667, 1e-6);
        EXPECT_NEAR(spectrum(1, 4), 0.01, 1e-9);
        EXPECT_NEAR(spectrum(2, 4), 0.005, 1e-9);
        EXPECT_NEAR(spectrum(3, 4), 0.00333333, 1e-8);
        EXPECT_TRUE(spectrum.ParamsOutOfRange());
    }
}

// Slow reference: as g -> 0 the spectrum tends to theta / k, which tests the
// weights at every depth independently of the recurrence.
TEST(GrowthSpectrum, NeutralLimitAndUnitSumAtEveryDepth) {
    CFSGrowth limit = Growth(0.02, 0.0, false);
    CFSGrowth grown = Growth(0.02, 0.5, false);
    for (int n = 2; n <= 60; ++n) {
        double limitSum = 0;
        double grownSum = 0;
        for (int k = 0; k < n; ++k) {
            if (k > 0) {
                EXPECT_NEAR(limit(k, n), 0.02 / k, 1e-8 * 0.02 / k) << n << " " << k;
                EXPECT_GT(grown(k, n), 0.0) << n << " " << k;
            }
            limitSum += limit(k, n);
            grownSum += grown(k, n);
        }
        EXPECT_NEAR(limitSum, 1.0, 1e-14) << n;
        EXPECT_NEAR(grownSum, 1.0, 1e-14) << n;
    }
}

TEST(GrowthSpectrum, ParameterChangeKeepsTheWeights) {
    CFSGrowth spectrum = Growth(0.01, 0.05, false);
    const double before = spectrum(2, 5);
    const double weight = CFSGrowthProbe::Weight(spectrum, 2, 5, 5);
    ASSERT_TRUE(CFSGrowthProbe::WeightStored(spectrum, 2, 5, 5));

    spectrum.SetParam(1) = 0.2;
    EXPECT_TRUE(CFSGrowthProbe::WeightStored(spectrum, 2, 5, 5));
    EXPECT_EQ(CFSGrowthProbe::Weight(spectrum, 2, 5, 5), weight);
    const double after = spectrum(2, 5);
    EXPECT_GT(std::fabs(after - before), 1e-6);

    spectrum.SetParam(1) = 0.05;
    spectrum.SetFolded(true);
    spectrum.SetFolded(false);
    EXPECT_TRUE(CFSGrowthProbe::WeightStored(spectrum, 2, 5, 5));
    EXPECT_EQ(spectrum(2, 5), before);
}

TEST(GrowthSpectrum, CloneCarriesWeightsAndAnswersForItsOwnParameters) {
    CFSGrowth original = Growth(0.01, 0.05, false);
    const double value = original(1, 6);
    CFSGrowthProbe::Weight(original, 1, 6, 6);
    std::unique_ptr<CFreqSpectrum> copy(original.Clone());
    EXPECT_EQ(copy->GetName(), "Growth");
    const auto& growthCopy = dynamic_cast<const CFSGrowth&>(*copy);
    EXPECT_TRUE(CFSGrowthProbe::WeightStored(growthCopy, 1, 6, 6));

    copy->SetParams(TParamVector{{0.02, true}, {1.0, true}});
    const double other = (*copy)(1, 6);
    EXPECT_NE(other, value);
    EXPECT_EQ(original(1, 6), value);
    // Weights computed in the copy stay there.
    CFSGrowthProbe::Weight(growthCopy, 2, 7, 7);
    EXPECT_FALSE(CFSGrowthProbe::WeightStored(original, 2, 7, 7));
    EXPECT_EQ(original.GetParamString(), "0.01 0.05 ");
}

TEST(GrowthRange, ThetaMustBePositiveAndRateAtLeastTheFloor) {
    CFSGrowth spectrum;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = 0.0;
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = 1e-300;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = 1e-10;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = std::nextafter(1e-10, 0.0);
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = 0.05;
    spectrum.SetParam(0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    // Large theta is not bounded, unlike the neutral model.
    spectrum.SetParam(0) = 5.0;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
}

TEST(GrowthHelpers, ExpTimeOnBothSidesOfTheSwitch) {
    const CFSGrowth spectrum = Growth(0.01, 0.05, false);
    // x = 20: exponential integral.
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(spectrum, 2), 0.047718545495960844, 1e-15);
    // x = 60: asymptotic series, nine terms (truncation error 5.2e-13).
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(spectrum, 3), 0.016397713708046528, 1e-12);

    // Just below x = 50 the exponential integral is exact to rounding ...
    const CFSGrowth below = Growth(0.01, 1 / 49.9, false);
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(below, 2), 0.019653674635390887, 4e-17);
    // ... while x = 50 itself takes the series, whose nine terms overshoot
    // e^50 E1(50) = 0.019615109930114871 by 3.1e-12.
    const CFSGrowth at = Growth(0.01, 0.02, false);
    ASSERT_EQ(gsl_sf_choose(2, 2) / 0.02, 50.0);
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(at, 2) - 0.019615109930114871, 3.105e-12, 1e-14);
}

TEST(GrowthHelpers, ExpTimeUsesTheRateFloorAndSurvivesExtremeRates) {
    // g <= 0 computes as 1e-10: x = 1e10, T = 1/x - 1/x^2 + ...
    const CFSGrowth zero = Growth(0.01, 0.0, false);
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(zero, 2), 1e-10, 1e-19);
    // A huge rate gives x close to 0, where e^x E1(x) ~ -ln x - 0.5772.
    const CFSGrowth huge = Growth(0.01, 1e300, false);
    EXPECT_NEAR(CFSGrowthProbe::ExpTime(huge, 2), 300 * std::log(10.0) - 0.5772156649, 1e-9);
    const CFSGrowth infinite = Growth(0.01, std::numeric_limits<double>::infinity(), false);
    EXPECT_EQ(CFSGrowthProbe::ExpTime(infinite, 2), std::numeric_limits<double>::infinity());
}

TEST(GrowthHelpers, WeightsAtDepthFour) {
    const CFSGrowth spectrum;
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 1, 2, 4), 1.2, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 1, 3, 4), 2.0, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 1, 4, 4), 0.8, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 2, 4, 4), -1.2, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 3, 4, 4), 0.8, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 2, 2, 4), 1.2, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 2, 3, 4), 0.0, 1e-15);
    EXPECT_NEAR(CFSGrowthProbe::Weight(spectrum, 3, 3, 4), -2.0, 1e-15);
}

TEST(GrowthHelpers, WeightRequestedHighFirstStoresTheWholeRun) {
    const CFSGrowth spectrum;
    // Asked for a high j first, the run 2..j is filled and stored.
    const double w30 = CFSGrowthProbe::Weight(spectrum, 4, 30, 30);
    for (int j = 2; j <= 30; ++j) {
        EXPECT_TRUE(CFSGrowthProbe::WeightStored(spectrum, 4, j, 30)) << j;
    }
    // The same weights from a fresh model asked in increasing order.
    const CFSGrowth fresh;
    double w = 0;
    for (int j = 2; j <= 30; ++j) {
        w = CFSGrowthProbe::Weight(fresh, 4, j, 30);
    }
    EXPECT_EQ(w, w30);
}

TEST(GrowthHelpers, WeightsOfAllCountsAddUpToTheCoefficient) {
    const CFSGrowth spectrum;
    for (int n = 2; n <= 80; n += 3) {
        for (int j = 2; j <= n; ++j) {
            double sum = 0;
            for (int i = 1; i < n; ++i) {
                sum += CFSGrowthProbe::Weight(spectrum, i, j, n);
            }
            // The weights of low j are of order one; the recurrence carries
            // their rounding into the tiny coefficients of high j.
            EXPECT_NEAR(sum, Coefficient(j, n), 1e-13) << n << " " << j;
        }
    }
}

TEST(GrowthSpectrum, DepthFourHundredIsAProbabilityDistribution) {
    CFSGrowth spectrum = Growth(0.01, 0.05, false);
    const int n = 400;
    double sum = 0;
    for (int k = 0; k <= n; ++k) {
        const double p = spectrum(k, n);
        ASSERT_TRUE(std::isfinite(p)) << k;
        EXPECT_GE(p, 0.0) << k;
        sum += p;
    }
    EXPECT_NEAR(sum, 1.0, 1e-9);
    // Against a 60-digit evaluation of the same formula.
    const std::vector<std::pair<int, double>> reference = {
        {0, 0.93581951524795848},    {1, 0.009986482180297048},    {2, 0.0049877011509396856},
        {3, 0.003321839985056301},   {100, 9.5750389948336573e-5}, {200, 4.6862262350689647e-5},
        {399, 2.2840379632078821e-5}};
    for (const auto& [k, value] : reference) {
        EXPECT_NEAR(spectrum(k, n), value, 1e-11 * value) << k;
    }

    CFSGrowth folded = Growth(0.01, 0.05, true);
    double foldedSum = 0;
    for (int k = 0; k <= n; ++k) {
        foldedSum += folded(k, n);
        EXPECT_EQ(folded(k, n), folded(n - k, n)) << k;
    }
    EXPECT_NEAR(foldedSum, 1.0, 1e-9);
}

// A spectrum value needs its row of weights once per parameter vector, and
// the likelihood evaluates fresh copies: keeping the rows would cost
// 16 n^2 bytes per depth and evaluation (about 450 MB for depths 2 to 400).
TEST(GrowthSpectrum, SpectrumValuesKeepNoWeights) {
    CFSGrowth spectrum = Growth(0.01, 0.05, true);
    for (int n = 1; n <= 60; ++n) {
        for (int k = 0; k <= n; ++k) {
            spectrum(k, n);
        }
    }
    EXPECT_TRUE(CFSGrowthProbe::NoWeightStored(spectrum));
}

TEST(GrowthSpectrum, DeepSamplesAndExtremeRatesStayFinite) {
    // Depths of thousands: the coefficient products would overflow and the
    // integer factors of the recurrence exceed 32 bits.
    CFSGrowth spectrum = Growth(0.01, 0.05, false);
    for (int k : {0, 1, 1500, 2999}) {
        const double p = spectrum(k, 3000);
        EXPECT_TRUE(std::isfinite(p)) << k;
        EXPECT_GT(p, 0.0) << k;
    }
    EXPECT_NEAR(spectrum(1, 3000), 0.01, 1e-3);

    // A subnormal rate makes every T(j) underflow: no polymorphic mass, no
    // NaN.
    CFSGrowth tiny = Growth(0.01, 1e-320, false);
    EXPECT_EQ(tiny(0, 10), 1.0);
    EXPECT_EQ(tiny(3, 10), 0.0);

    CFSGrowth fast = Growth(0.01, 1e4, false);
    double sum = 0;
    for (int k = 0; k < 50; ++k) {
        EXPECT_GE(fast(k, 50), 0.0);
        sum += fast(k, 50);
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
}
