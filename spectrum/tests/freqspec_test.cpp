// The parameter vector, the parameter string, folding and the memo of
// answers, shared by every spectrum model.

#include "spectrum/freqspec.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "spectrum/tests/spectrum_test_util.hpp"

namespace {

// Model with a recognisable unfolded spectrum u(k, n) = theta * (k + 1) / n
// that counts how often it is evaluated, to observe the memo table.
class CCountingSpectrum : public CFreqSpectrum {
  public:
    CCountingSpectrum() { SetParam(0) = 1.0; }
    std::string GetName() const override { return "Counting"; }
    CFreqSpectrum* Clone() const override { return new CCountingSpectrum(*this); }
    int Calls() const { return m_Calls; }
    void ResetCalls() { m_Calls = 0; }

  protected:
    double x_UnfoldedProb(int numMinor, int depth) const override {
        ++m_Calls;
        return GetParam(0) * (numMinor + 1) / depth;
    }

  private:
    mutable int m_Calls = 0;
};

}  // namespace

TEST(ParamVector, SetParamBeyondTheEndMakesRoomWithAbsentEntries) {
    CFSNeutral spectrum;
    spectrum.SetParam(3) = 7.5;
    const TParamVector& params = spectrum.GetParams();
    ASSERT_EQ(params.size(), 4u);
    EXPECT_EQ(params[1], TParamVector::value_type(0.0, false));
    EXPECT_EQ(params[2], TParamVector::value_type(0.0, false));
    EXPECT_EQ(params[3], TParamVector::value_type(7.5, true));
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    // Writing a lower index leaves the entries above it alone.
    spectrum.SetParam(1) = 0.5;
    EXPECT_EQ(spectrum.GetParams().size(), 4u);
    EXPECT_EQ(spectrum.GetParam(3), 7.5);
    EXPECT_EQ(spectrum.GetNumParams(), 3u);
}

TEST(ParamVector, SetParamsFromVectorReplacesSizeAndFlags) {
    CFSNeutral spectrum;
    spectrum.SetParams(TParamVector{{0.02, true}, {0.001, false}, {3.0, true}});
    EXPECT_EQ(spectrum.GetParams().size(), 3u);
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    spectrum.SetParams(TParamVector{{0.04, true}});
    ASSERT_EQ(spectrum.GetParams().size(), 1u);
    EXPECT_EQ(spectrum.GetParam(0), 0.04);
}

TEST(ParamVectorDeathTest, GetParamBeyondTheEndNamesTheCondition) {
    CFSNeutral spectrum;
    EXPECT_DEATH(spectrum.GetParam(1),
                 "Assertion `n < m_Params.size\\(\\)' failed in double "
                 "CFreqSpectrum::GetParam\\(unsigned int\\) const");
}

TEST(ParamString, ReadsWhiteSpaceSeparatedNumbersInOrder) {
    CFSNeutral spectrum;
    spectrum.SetParams(std::string("0.02 0.3"));
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    EXPECT_EQ(spectrum.GetParam(0), 0.02);
    EXPECT_EQ(spectrum.GetParam(1), 0.3);

    spectrum.SetParams(std::string(" \t1e-3\n -2.5E-2  +4 "));
    EXPECT_EQ(spectrum.GetNumParams(), 3u);
    EXPECT_EQ(spectrum.GetParam(0), 0.001);
    EXPECT_EQ(spectrum.GetParam(1), -0.025);
    EXPECT_EQ(spectrum.GetParam(2), 4.0);
}

TEST(ParamString, WordEndsTheReading) {
    CFSNeutral spectrum;
    spectrum.SetParams(std::string("0.03 theta 0.004 0.005"));
    EXPECT_EQ(spectrum.GetParams().size(), 1u);
    EXPECT_EQ(spectrum.GetParam(0), 0.03);

    spectrum.SetParams(std::string("abc 0.2"));
    EXPECT_EQ(spectrum.GetParams().size(), 1u);
    EXPECT_EQ(spectrum.GetParam(0), 0.03);
}

TEST(ParamString, NumberGluedToLettersGivesItsPrefixAndStops) {
    CFSNeutral spectrum;
    spectrum.SetParams(std::string("0.04xyz 0.5"));
    EXPECT_EQ(spectrum.GetParams().size(), 1u);
    EXPECT_EQ(spectrum.GetParam(0), 0.04);
}

TEST(ParamString, EmptyTextChangesNothing) {
    CFSGrowth spectrum;
    const TParamVector before = spectrum.GetParams();
    spectrum.SetParams(std::string(""));
    EXPECT_EQ(spectrum.GetParams(), before);
    spectrum.SetParams(std::string("   \n"));
    EXPECT_EQ(spectrum.GetParams(), before);
}

TEST(ParamString, GrowthKeepsItsRateWhenOnlyThetaIsGiven) {
    CFSGrowth spectrum;
    spectrum.SetParams(std::string("0.02"));
    EXPECT_EQ(spectrum.GetParam(0), 0.02);
    EXPECT_EQ(spectrum.GetParam(1), 0.05);
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
}

TEST(ParamString, WritesDefaultFormatEachValueFollowedByABlank) {
    CFSNeutral spectrum;
    spectrum.SetParams(TParamVector{{1234567.0, true}, {1.0 / 3.0, true}, {1e-7, true}});
    EXPECT_EQ(spectrum.GetParamString(), "1.23457e+06 0.333333 1e-07 ");

    spectrum.SetParams(TParamVector{});
    EXPECT_EQ(spectrum.GetParamString(), "");
}

TEST(ParamString, WrittenTextReadsBackToTheSameParameters) {
    CFSGrowth written;
    written.SetParams(std::string("0.0125 -0.75"));
    CFSGrowth read;
    read.SetParams(written.GetParamString());
    EXPECT_EQ(read.GetParams(), written.GetParams());
}

TEST(Folding, DepthFourIsSymmetricAndKeepsTheSum) {
    CFSNeutral folded;
    CFSNeutral unfolded;
    unfolded.SetFolded(false);
    ASSERT_TRUE(folded.IsFolded());
    ASSERT_FALSE(unfolded.IsFolded());

    EXPECT_DOUBLE_EQ(folded(0, 4), folded(4, 4));
    EXPECT_DOUBLE_EQ(folded(1, 4), folded(3, 4));
    EXPECT_NEAR(RowSum(folded, 4, 4), RowSum(unfolded, 4, 3), 1e-15);
    EXPECT_NEAR(RowSum(folded, 4, 4), 1.0, 1e-15);
}

TEST(Folding, UnfoldedAllDerivedIsZero) {
    CFSGrowth spectrum;
    spectrum.SetFolded(false);
    EXPECT_EQ(spectrum(4, 4), 0.0);
    EXPECT_EQ(spectrum(1, 1), 0.0);
}

TEST(Folding, FoldedValueIsTheMeanOfAnAnswerAndItsMirror) {
    CCountingSpectrum spectrum;
    // u(k, 5) = (k + 1) / 5.
    EXPECT_DOUBLE_EQ(spectrum(0, 5), 0.5 * 0.2);
    EXPECT_DOUBLE_EQ(spectrum(5, 5), 0.5 * 0.2);
    EXPECT_DOUBLE_EQ(spectrum(1, 5), 0.5 * (0.4 + 1.0));
    EXPECT_DOUBLE_EQ(spectrum(2, 5), 0.5 * (0.6 + 0.8));
    spectrum.SetFolded(false);
    EXPECT_DOUBLE_EQ(spectrum(0, 5), 0.2);
    EXPECT_DOUBLE_EQ(spectrum(1, 5), 0.4);
    EXPECT_DOUBLE_EQ(spectrum(4, 5), 1.0);
}

TEST(FoldingDeathTest, CountAboveDepthNamesTheCondition) {
    CFSNeutral spectrum;
    EXPECT_DEATH(spectrum(5, 4),
                 "Assertion `numMinor < depth' failed in double "
                 "CFreqSpectrum::operator\\(\\)\\(int, int\\) const");
}

TEST(Memo, EachRequestedCellIsComputedOnceAndAloneStored) {
    CCountingSpectrum spectrum;
    spectrum(1, 4);
    EXPECT_EQ(spectrum.Calls(), 2);  // u(1) and its mirror u(3)
    spectrum(1, 4);
    EXPECT_EQ(spectrum.Calls(), 2);
    // The mirror term computed above was not stored for count 3.
    spectrum(3, 4);
    EXPECT_EQ(spectrum.Calls(), 4);
    spectrum(4, 4);
    spectrum(4, 4);
    EXPECT_EQ(spectrum.Calls(), 5);
    spectrum.ClearCache();
    spectrum(1, 4);
    EXPECT_EQ(spectrum.Calls(), 7);
}

TEST(Memo, EveryChangeOfParametersOrFoldingEmptiesIt) {
    CCountingSpectrum spectrum;
    const double first = spectrum(2, 4);

    spectrum.SetParam(0) = 2.0;
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 2 * first);

    spectrum.SetParams(std::string("3"));
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 3 * first);

    spectrum.SetParams(TParamVector{{4.0, true}});
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 4 * first);

    spectrum.SetFolded(false);
    EXPECT_DOUBLE_EQ(spectrum(2, 4), 4.0 * 3 / 4);
    spectrum.ResetCalls();
    spectrum(2, 4);
    EXPECT_EQ(spectrum.Calls(), 0);
}

TEST(Memo, NeutralAnswersForItsNewParameterAfterAChange) {
    CFSNeutral spectrum;
    spectrum.SetFolded(false);
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.01);
    spectrum.SetParam(0) = 0.02;
    EXPECT_DOUBLE_EQ(spectrum(1, 4), 0.02);
}

TEST(Clone, CopiesModelFoldingParametersAndMemo) {
    CCountingSpectrum spectrum;
    spectrum.SetFolded(false);
    spectrum.SetParam(2) = 5.0;
    spectrum(1, 4);
    std::unique_ptr<CFreqSpectrum> copy(spectrum.Clone());
    auto* counting = dynamic_cast<CCountingSpectrum*>(copy.get());
    ASSERT_NE(counting, nullptr);
    EXPECT_FALSE(copy->IsFolded());
    EXPECT_EQ(copy->GetParams(), spectrum.GetParams());
    counting->ResetCalls();
    (*copy)(1, 4);
    EXPECT_EQ(counting->Calls(), 0);
}

TEST(Clone, CloneWithOtherParametersLeavesTheOriginalAlone) {
    CFSNeutral original;
    original.SetFolded(false);
    EXPECT_DOUBLE_EQ(original(2, 6), 0.005);

    std::unique_ptr<CFreqSpectrum> copy(original.Clone());
    EXPECT_EQ(copy->GetName(), "Neutral");
    copy->ClearCache();
    copy->SetParams(TParamVector{{0.04, true}});
    EXPECT_DOUBLE_EQ((*copy)(2, 6), 0.02);
    EXPECT_DOUBLE_EQ(original(2, 6), 0.005);
    EXPECT_EQ(original.GetParam(0), 0.01);
}
