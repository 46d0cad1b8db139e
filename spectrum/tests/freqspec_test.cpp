// The parameter vector, the parameter string, folding and the memo of
// answers, shared by every spectrum model.

#include "spectrum/freqspec.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Model with a recognisable unfolded spectrum u(k, n) = theta * (k + 1) / n
// that counts how often it is evaluated, to observe the memo table.
class CCountingSpectrum : public CFreqSpectrum {
  public:
    CCountingSpectrum() { SetParam(0) = 1.0; }
    std::string GetName() const override { return "Counting"; }
    CFreqSpectrum* Clone() const override { return new CCountingSpectrum(*this); }
    mutable int calls = 0;

  protected:
    double x_UnfoldedProb(int numMinor, int depth) const override {
        ++calls;
        return GetParam(0) * (numMinor + 1) / depth;
    }
};

}  // namespace

TEST(ParamVector, SetParamGrowsWithAbsentEntriesAndSetParamsReplacesAll) {
    CFSNeutral spectrum;
    spectrum.SetParam(3) = 7.5;
    EXPECT_EQ(spectrum.GetParams(),
              (TParamVector{{0.01, true}, {0.0, false}, {0.0, false}, {7.5, true}}));
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    // Writing a lower index leaves the entries above it alone.
    spectrum.SetParam(1) = 0.5;
    EXPECT_EQ(spectrum.GetParams(),
              (TParamVector{{0.01, true}, {0.5, true}, {0.0, false}, {7.5, true}}));
    EXPECT_EQ(spectrum.GetNumParams(), 3u);

    const TParamVector three{{0.02, true}, {0.001, false}, {3.0, true}};
    spectrum.SetParams(three);
    EXPECT_EQ(spectrum.GetParams(), three);
    EXPECT_EQ(spectrum.GetNumParams(), 2u);
    spectrum.SetParams(TParamVector{{0.04, true}});
    EXPECT_EQ(spectrum.GetParams(), (TParamVector{{0.04, true}}));
}

TEST(FreqSpectrumDeathTest, IndexBeyondTheEndNamesTheCondition) {
    CFSNeutral spectrum;
    EXPECT_DEATH(spectrum.GetParam(1),
                 "Assertion `n < m_Params.size\\(\\)' failed in double "
                 "CFreqSpectrum::GetParam\\(unsigned int\\) const");
    EXPECT_DEATH(spectrum(5, 4),
                 "Assertion `numMinor < depth' failed in double "
                 "CFreqSpectrum::operator\\(\\)\\(int, int\\) const");
}

// Read into a growth model, whose defaults are {0.01, 0.05}: a value read
// where reading should have stopped would replace one of them.
TEST(ParamString, ReadsNumbersInOrderUntilAWord) {
    const struct {
        const char* text;
        TParamVector expected;
    } cases[] = {{"0.02 0.3", {{0.02, true}, {0.3, true}}},
                 {" \t1e-3\n -2.5E-2  +4 ", {{0.001, true}, {-0.025, true}, {4.0, true}}},
                 {"0.02", {{0.02, true}, {0.05, true}}},
                 {"0.03 theta 0.004 0.005", {{0.03, true}, {0.05, true}}},
                 {"abc 0.2", {{0.01, true}, {0.05, true}}},
                 {"0.04xyz 0.5", {{0.04, true}, {0.05, true}}},
                 {"", {{0.01, true}, {0.05, true}}},
                 {"   \n", {{0.01, true}, {0.05, true}}}};
    for (const auto& c : cases) {
        CFSGrowth spectrum;
        spectrum.SetParams(std::string(c.text));
        EXPECT_EQ(spectrum.GetParams(), c.expected) << '"' << c.text << '"';
    }
}

TEST(ParamString, WritesDefaultFormatEachValueFollowedByABlankAndReadsBack) {
    CFSNeutral spectrum;
    spectrum.SetParams(TParamVector{{1234567.0, true}, {1.0 / 3.0, true}, {1e-7, true}});
    EXPECT_EQ(spectrum.GetParamString(), "1.23457e+06 0.333333 1e-07 ");
    spectrum.SetParams(TParamVector{});
    EXPECT_EQ(spectrum.GetParamString(), "");

    CFSGrowth written;
    written.SetParams(std::string("0.0125 -0.75"));
    CFSGrowth read;
    read.SetParams(written.GetParamString());
    EXPECT_EQ(read.GetParams(), written.GetParams());
}

TEST(Folding, FoldedValueIsTheMeanOfAnAnswerAndItsMirror) {
    CCountingSpectrum spectrum;
    // u(k, 5) = (k + 1) / 5; folded, k = 0 and k = n share u(0) / 2.
    const double folded[] = {0.1, 0.7, 0.7, 0.7, 0.7, 0.1};
    for (int k = 0; k <= 5; ++k) {
        EXPECT_DOUBLE_EQ(spectrum(k, 5), folded[k]) << k;
    }
    spectrum.SetFolded(false);
    for (int k = 0; k < 5; ++k) {
        EXPECT_DOUBLE_EQ(spectrum(k, 5), (k + 1) / 5.0) << k;
    }
    EXPECT_EQ(spectrum(5, 5), 0.0);
}

TEST(Memo, EachRequestedCellIsComputedOnceAndAloneStored) {
    CCountingSpectrum spectrum;
    spectrum(1, 4);
    EXPECT_EQ(spectrum.calls, 2);  // u(1) and its mirror u(3)
    spectrum(1, 4);
    EXPECT_EQ(spectrum.calls, 2);
    // The mirror term computed above was not stored for count 3.
    spectrum(3, 4);
    EXPECT_EQ(spectrum.calls, 4);
    spectrum(4, 4);
    spectrum(4, 4);
    EXPECT_EQ(spectrum.calls, 5);
    spectrum.ClearCache();
    spectrum(1, 4);
    EXPECT_EQ(spectrum.calls, 7);
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
    spectrum.calls = 0;
    spectrum(2, 4);
    EXPECT_EQ(spectrum.calls, 0);
}

TEST(Clone, CopiesFoldingParametersAndMemoAndLeavesTheOriginalAlone) {
    CCountingSpectrum spectrum;
    spectrum.SetFolded(false);
    spectrum.SetParam(2) = 5.0;
    const double value = spectrum(1, 4);
    std::unique_ptr<CFreqSpectrum> copy(spectrum.Clone());
    auto* counting = dynamic_cast<CCountingSpectrum*>(copy.get());
    ASSERT_NE(counting, nullptr);
    EXPECT_FALSE(copy->IsFolded());
    EXPECT_EQ(copy->GetParams(), spectrum.GetParams());
    counting->calls = 0;
    (*copy)(1, 4);
    EXPECT_EQ(counting->calls, 0);

    copy->SetParams(TParamVector{{4.0, true}});
    EXPECT_DOUBLE_EQ((*copy)(1, 4), 4 * value);
    EXPECT_EQ(spectrum(1, 4), value);
    EXPECT_EQ(spectrum.GetParam(0), 1.0);
}
