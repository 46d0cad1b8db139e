#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "spectrum/freqspec.hpp"
#include "spectrum/tests/spectrum_test_util.hpp"

namespace {

CFSNeutral Unfolded(double theta) {
    return Model<CFSNeutral>({theta}, false);
}

}  // namespace

TEST(NeutralSpectrum, NameAndDefaults) {
    CFSNeutral spectrum;
    EXPECT_EQ(spectrum.GetName(), "Neutral");
    EXPECT_TRUE(spectrum.IsFolded());
    EXPECT_EQ(spectrum.GetNumParams(), 1u);
    ASSERT_EQ(spectrum.GetParams().size(), 1u);
    EXPECT_EQ(spectrum.GetParams()[0], TParamVector::value_type(0.01, true));
    EXPECT_EQ(spectrum.GetParamString(), "0.01 ");
}

TEST(NeutralSpectrum, DepthFourUnfolded) {
    CFSNeutral spectrum = Unfolded(0.01);
    EXPECT_NEAR(spectrum(0, 4), 1 - 0.01 * (1 + 1.0 / 2 + 1.0 / 3), 1e-15);
    EXPECT_NEAR(spectrum(0, 4), 0.981666667, 1e-9);
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.01);
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 0.005);
    EXPECT_DOUBLE_EQ(spectrum(3, 4), 0.01 / 3);
    EXPECT_EQ(spectrum(4, 4), 0.0);
}

TEST(NeutralSpectrum, DepthFourFolded) {
    CFSNeutral spectrum;
    EXPECT_NEAR(spectrum(0, 4), 0.490833333, 1e-9);
    EXPECT_NEAR(spectrum(1, 4), 0.006666667, 1e-9);
    EXPECT_NEAR(spectrum(2, 4), 0.005, 1e-15);
    EXPECT_NEAR(spectrum(3, 4), 0.006666667, 1e-9);
    EXPECT_NEAR(spectrum(4, 4), 0.490833333, 1e-9);
}

TEST(NeutralSpectrum, OptionalSecondParameterShiftsMassToMonomorphic) {
    CFSNeutral spectrum = Unfolded(0.01);
    spectrum.SetParams(std::string("0.01 0.005"));
    EXPECT_NEAR(spectrum(0, 4), 0.986666667, 1e-9);
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.00995);
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 0.004975);
    EXPECT_DOUBLE_EQ(spectrum(3, 4), 0.00995 / 3);
    // Used unnormalised: the sum is 1 + p (1 - theta H(n - 1)).
    EXPECT_NEAR(RowSum(spectrum, 4, 3), 1 + 0.005 * (1 - 0.01 * (1 + 0.5 + 1.0 / 3)), 1e-15);

    spectrum.SetFolded(true);
    EXPECT_NEAR(spectrum(1, 4), 0.5 * (0.00995 + 0.00995 / 3), 1e-15);
}

TEST(NeutralSpectrum, SecondParameterStoredButNotGivenIsIgnored) {
    CFSNeutral spectrum = Unfolded(0.01);
    spectrum.SetParams(TParamVector{{0.01, true}, {0.5, false}});
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.01);
    EXPECT_NEAR(spectrum(0, 4), 0.981666667, 1e-9);
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
}

TEST(NeutralSpectrum, DepthOne) {
    CFSNeutral spectrum = Unfolded(0.01);
    spectrum.SetParam(1) = 0.004;
    EXPECT_DOUBLE_EQ(spectrum(0, 1), 1.004);
    EXPECT_EQ(spectrum(1, 1), 0.0);
    spectrum.SetFolded(true);
    EXPECT_DOUBLE_EQ(spectrum(0, 1), 0.502);
    EXPECT_DOUBLE_EQ(spectrum(1, 1), 0.502);
}

TEST(NeutralSpectrum, MatchesTheClosedFormAtEveryDepth) {
    for (double theta : {0.0, 0.001, 0.03, 0.2}) {
        CFSNeutral spectrum = Unfolded(theta);
        for (int n = 1; n <= 200; ++n) {
            double harmonic = 0;
            double sum = 0;
            for (int k = 1; k < n; ++k) {
                harmonic += 1.0 / k;
                EXPECT_NEAR(spectrum(k, n), theta / k, 1e-17) << n << " " << k;
                sum += spectrum(k, n);
            }
            EXPECT_NEAR(spectrum(0, n), 1 - theta * harmonic, 1e-14) << n;
            sum += spectrum(0, n);
            EXPECT_NEAR(sum, 1.0, 1e-14) << n;
        }
    }
}

TEST(NeutralRange, ThetaBoundIsTheThirtiethHarmonicNumber) {
    CFSNeutral spectrum;
    spectrum.SetParam(0) = 0.2503;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = 0.2504;
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = 0.0;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = -0.001;
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(spectrum.ParamsOutOfRange());

    // Just inside the bound the k = 0 value stays non-negative up to depth 31.
    spectrum.SetParam(0) = 0.2503;
    spectrum.SetFolded(false);
    EXPECT_GE(spectrum(0, 31), 0.0);
}

TEST(NeutralRange, SecondParameterMustLieBetweenZeroAndTheta) {
    CFSNeutral spectrum;
    spectrum.SetParams(std::string("0.01 0.01"));
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = 0.0;
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = std::nextafter(0.01, 1.0);
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = -1e-12;
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    spectrum.SetParam(1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
    // Theta is checked first, whatever p is.
    spectrum.SetParams(std::string("-0.01 -0.02"));
    EXPECT_TRUE(spectrum.ParamsOutOfRange());
    // Not given: ignored.
    spectrum.SetParams(TParamVector{{0.01, true}, {-5.0, false}});
    EXPECT_FALSE(spectrum.ParamsOutOfRange());
}
