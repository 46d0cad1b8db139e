#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "spectrum/freqspec.hpp"
#include "spectrum/tests/spectrum_test_util.hpp"

// u(k, n) = theta / k for k >= 1 and u(0, n) = 1 - theta H(n - 1).
TEST(NeutralSpectrum, MatchesTheClosedFormAtEveryDepth) {
    for (double theta : {0.0, 0.001, 0.03, 0.2}) {
        const CFSNeutral spectrum = Model<CFSNeutral>({theta}, false);
        double harmonic = 0;
        for (int n = 1; n <= 200; ++n) {
            for (int k = 1; k < n; ++k) {
                EXPECT_NEAR(spectrum(k, n), theta / k, 1e-17) << n << " " << k;
            }
            EXPECT_NEAR(spectrum(0, n), 1 - theta * harmonic, 1e-14) << n;
            EXPECT_NEAR(RowSum(spectrum, n, n - 1), 1.0, 1e-14) << n;
            harmonic += 1.0 / n;
        }
    }
}

TEST(NeutralSpectrum, DefaultsAndDepthFourFolded) {
    const CFSNeutral spectrum;
    EXPECT_EQ(std::unique_ptr<CFreqSpectrum>(spectrum.Clone())->GetName(), "Neutral");
    EXPECT_EQ(spectrum.GetParams(), (TParamVector{{0.01, true}}));
    const double expected[] = {0.490833333, 0.006666667, 0.005, 0.006666667, 0.490833333};
    for (int k = 0; k <= 4; ++k) {
        EXPECT_NEAR(spectrum(k, 4), expected[k], 1e-9) << k;
    }
}

TEST(NeutralSpectrum, OptionalSecondParameterShiftsMassToMonomorphic) {
    CFSNeutral spectrum = Model<CFSNeutral>({0.01, 0.005}, false);
    EXPECT_NEAR(spectrum(0, 4), 0.986666667, 1e-9);
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.00995);
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 0.004975);
    EXPECT_DOUBLE_EQ(spectrum(3, 4), 0.00995 / 3);
    // Used unnormalised: the sum is 1 + p (1 - theta H(n - 1)).
    EXPECT_NEAR(RowSum(spectrum, 4, 3), 1 + 0.005 * (1 - 0.01 * (1 + 0.5 + 1.0 / 3)), 1e-15);
    spectrum.SetFolded(true);
    EXPECT_NEAR(spectrum(1, 4), 0.5 * (0.00995 + 0.00995 / 3), 1e-15);

    // Stored but not given, it is ignored.
    spectrum.SetFolded(false);
    spectrum.SetParams(TParamVector{{0.01, true}, {0.5, false}});
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.01);
    EXPECT_NEAR(spectrum(0, 4), 0.981666667, 1e-9);
}

TEST(NeutralSpectrum, DepthOne) {
    CFSNeutral spectrum = Model<CFSNeutral>({0.01, 0.004}, false);
    EXPECT_DOUBLE_EQ(spectrum(0, 1), 1.004);
    EXPECT_EQ(spectrum(1, 1), 0.0);
    spectrum.SetFolded(true);
    EXPECT_DOUBLE_EQ(spectrum(0, 1), 0.502);
    EXPECT_DOUBLE_EQ(spectrum(1, 1), 0.502);
}

// Theta must lie in [0, 1 / H(30)], where H(30) = 3.99499 keeps the k = 0
// value non-negative up to depth 31; a given p must lie in [0, theta]. NaN
// is not out of range.
TEST(NeutralRange, ThetaUpToTheThirtiethHarmonicBoundAndPBetweenZeroAndTheta) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double aboveTheta = std::nextafter(0.01, 1.0);
    const struct {
        TParamVector params;
        bool out;
    } cases[] = {{{{0.2503, true}}, false},
                 {{{0.2504, true}}, true},
                 {{{0.0, true}}, false},
                 {{{-0.001, true}}, true},
                 {{{nan, true}}, false},
                 {{{0.01, true}, {0.01, true}}, false},
                 {{{0.01, true}, {0.0, true}}, false},
                 {{{0.01, true}, {aboveTheta, true}}, true},
                 {{{0.01, true}, {-1e-12, true}}, true},
                 {{{0.01, true}, {nan, true}}, false},
                 {{{-0.01, true}, {-0.02, true}}, true},
                 {{{0.01, true}, {-5.0, false}}, false},
                 {{{0.01, true}, {0.5, false}}, false}};
    for (const auto& c : cases) {
        CFSNeutral spectrum;
        spectrum.SetParams(c.params);
        EXPECT_EQ(spectrum.ParamsOutOfRange(), c.out) << "case " << &c - cases;
    }
    EXPECT_GE(Model<CFSNeutral>({0.2503}, false)(0, 31), 0.0);
}
