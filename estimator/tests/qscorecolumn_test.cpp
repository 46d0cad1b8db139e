#include "estimator/qscorecolumn.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "estimator/tests/qscorecolumn_oracle.hpp"
#include "estimator/tests/test_util.hpp"
#include "spectrum/freqspec.hpp"

struct CQScoreColumnProbe {
    static std::vector<double> ErrCountDist(const CQScoreColumn& c, CQScoreColumn::EWhichScores w) {
        CProbDist out(0, static_cast<int>(c.GetDepth(w)));
        c.x_CalcErrCountDist(w, out);
        return out.m_Probs;
    }
};

namespace {

using TScores = CQScoreColumn::TScores;
using TErrors = CQScoreColumn::TErrors;
using testutil::CCerrCapture;
using testutil::Q;
using testutil::RuntimeMessage;

// Unfolded: 1/depth for every count below depth; tests fold it as needed.
class CFlatSpectrum : public CFreqSpectrum {
  public:
    std::string GetName() const override { return "Flat"; }
    CFreqSpectrum* Clone() const override { return new CFlatSpectrum(*this); }

  protected:
    double x_UnfoldedProb(int, int depth) const override { return 1.0 / depth; }
};

// Unfolded: weights 1/(k+1), not normalised, so that posteriors depend on k.
class CSkewSpectrum : public CFreqSpectrum {
  public:
    std::string GetName() const override { return "Skew"; }
    CFreqSpectrum* Clone() const override { return new CSkewSpectrum(*this); }

  protected:
    double x_UnfoldedProb(int k, int) const override { return 1.0 / (k + 1); }
};

std::vector<double> Table(const CQScoreColumn& c) {
    return c.m_PrObservedCond.m_Probs;
}

// |a - b| <= rel * max(|a|, |b|); exact equality needed for zeros.
::testing::AssertionResult RelClose(const std::vector<double>& got, const std::vector<double>& want,
                                    double rel) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double scale = std::max(std::fabs(got[i]), std::fabs(want[i]));
        if (std::fabs(got[i] - want[i]) > rel * scale) {
            return ::testing::AssertionFailure()
                   << "entry " << i << ": " << got[i] << " vs " << want[i] << " (rel. diff "
                   << std::fabs(got[i] - want[i]) / scale << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Scores and flags

TEST(CQScoreColumnErrProb, ScoresMapToPowersOfTen) {
    const CQScoreColumn c(1, {Q{0, 10, 20, 30}, {}, {}, {}}, "", true, nullptr);
    EXPECT_DOUBLE_EQ(c.GetErrProb(0, CQScoreColumn::eMajor), 1.0);
    EXPECT_DOUBLE_EQ(c.GetErrProb(1, CQScoreColumn::eMajor), 0.1);
    EXPECT_DOUBLE_EQ(c.GetErrProb(2, CQScoreColumn::eMajor), 0.01);
    EXPECT_DOUBLE_EQ(c.GetErrProb(3, CQScoreColumn::eMajor), 0.001);
    // Same expression as documented, to the bit, over the whole score range.
    Q all;
    for (int q = 0; q < 256; ++q) {
        all.push_back(static_cast<std::uint8_t>(q));
    }
    const CQScoreColumn full(1, {all, {}, {}, {}}, "", true, nullptr);
    for (unsigned q = 0; q < 256; ++q) {
        EXPECT_EQ(full.GetErrProb(q, CQScoreColumn::eMajor),
                  std::pow(10.0, static_cast<int>(q) / -10.0));
    }
}

TEST(CQScoreColumnErrProb, AllIndexRunsThroughTheClassesInOrder) {
    const CQScoreColumn c(1, {Q{10, 20}, Q{30}, {}, {}}, "", true, nullptr);
    EXPECT_DOUBLE_EQ(c.GetErrProb(0, CQScoreColumn::eAll), 0.1);
    EXPECT_DOUBLE_EQ(c.GetErrProb(1, CQScoreColumn::eAll), 0.01);
    EXPECT_DOUBLE_EQ(c.GetErrProb(2, CQScoreColumn::eAll), 0.001);
    EXPECT_EQ(c.GetDepth(CQScoreColumn::eAll), 3u);
    EXPECT_EQ(c.GetDepth(CQScoreColumn::eMajor), 2u);
    EXPECT_EQ(c.GetDepth(CQScoreColumn::eMinor), 1u);
    // Stored tables leave classes 2 and 3 in place; eAll reaches into them.
    const CQScoreColumn s(1, {Q{}, Q{0}, Q{}, Q{20}}, "0 0 0 ", true, nullptr);
    EXPECT_DOUBLE_EQ(s.GetErrProb(1, CQScoreColumn::eAll), 0.01);
    EXPECT_DOUBLE_EQ(s.GetErrProb(0, CQScoreColumn::eOther2), 0.01);
}

TEST(CQScoreColumnErrProbDeathTest, IndexBeyondTheReadsAborts) {
    const CQScoreColumn c(1, {Q{10, 20}, Q{30}, {}, {}}, "", true, nullptr);
    EXPECT_DEATH(c.GetErrProb(3, CQScoreColumn::eAll), "j < 4");
    EXPECT_DEATH(c.GetErrProb(1, CQScoreColumn::eMinor), "i < m_Scores\\[w\\]\\.size\\(\\)");
}

TEST(CQScoreColumnErrTruth, FlagsFollowTheirReads) {
    const TErrors flags{std::vector<bool>{true}, {false, true}, {true, false, false}, {}};
    const CQScoreColumn c(7, {Q{1}, Q{2, 3}, Q{4, 5, 6}, {}}, "", false, &flags);
    // Class 2 (three reads) became class 0; the old class 0 joined class 1.
    ASSERT_EQ(c.m_Scores[0], (Q{4, 5, 6}));
    ASSERT_EQ(c.m_Scores[1], (Q{2, 3, 1}));
    EXPECT_TRUE(c.GetErrTruth(0, CQScoreColumn::eMajor));
    EXPECT_FALSE(c.GetErrTruth(1, CQScoreColumn::eMajor));
    EXPECT_FALSE(c.GetErrTruth(0, CQScoreColumn::eMinor));
    EXPECT_TRUE(c.GetErrTruth(1, CQScoreColumn::eMinor));
    EXPECT_TRUE(c.GetErrTruth(2, CQScoreColumn::eMinor));
    EXPECT_EQ(RuntimeMessage([&] { c.GetErrTruth(0, CQScoreColumn::eAll); }),
              "eAll case given to GetErrTruth");
}

TEST(CQScoreColumnErrTruthDeathTest, IndexBeyondTheFlagsAborts) {
    const CQScoreColumn c(1, {Q{10}, Q{}, {}, {}}, "", true, nullptr);
    EXPECT_DEATH(c.GetErrTruth(0, CQScoreColumn::eMajor), "i < m_Errors\\[w\\]\\.size\\(\\)");
}

// ---------------------------------------------------------------------------
// Regrouping

TEST(CQScoreColumnRegroup, ThirdBaseWithMostReadsBecomesTheReference) {
    const TErrors flags{std::vector<bool>{false}, {true, false}, {false, false, true}, {}};
    const CQScoreColumn c(3, {Q{11}, Q{21, 22}, Q{31, 32, 33}, {}}, "", false, &flags);
    EXPECT_EQ(c.m_Scores[0], (Q{31, 32, 33}));
    EXPECT_EQ(c.m_Scores[1], (Q{21, 22, 11}));
    EXPECT_TRUE(c.m_Scores[2].empty());
    EXPECT_TRUE(c.m_Scores[3].empty());
    EXPECT_EQ(c.m_Errors[0], (std::vector<bool>{false, false, true}));
    EXPECT_EQ(c.m_Errors[1], (std::vector<bool>{true, false, false}));
    EXPECT_TRUE(c.m_Errors[2].empty());
    EXPECT_EQ(c.m_PrObservedCond.m_First, 0);
    EXPECT_EQ(c.m_PrObservedCond.m_Last, 6);
}

TEST(CQScoreColumnRegroup, TiesKeepTheLowestClass) {
    // 2, 0, 2, 0: class 0 stays; class 2 joins class 1.
    const CQScoreColumn a(1, {Q{1, 2}, Q{}, Q{3, 4}, {}}, "", false, nullptr);
    EXPECT_EQ(a.m_Scores[0], (Q{1, 2}));
    EXPECT_EQ(a.m_Scores[1], (Q{3, 4}));
    // 1, 3, 3, 3: class 1 wins; then the old class 0, class 2, class 3 join it.
    const CQScoreColumn b(1, {Q{1}, Q{2, 3, 4}, Q{5, 6, 7}, Q{8, 9, 10}}, "", false, nullptr);
    EXPECT_EQ(b.m_Scores[0], (Q{2, 3, 4}));
    EXPECT_EQ(b.m_Scores[1], (Q{1, 5, 6, 7, 8, 9, 10}));
    // Class 3 strictly largest.
    const CQScoreColumn d(1, {Q{1}, Q{2}, Q{3}, Q{4, 5}}, "", false, nullptr);
    EXPECT_EQ(d.m_Scores[0], (Q{4, 5}));
    EXPECT_EQ(d.m_Scores[1], (Q{2, 3, 1}));
    for (const auto& e : d.m_Errors) {
        EXPECT_TRUE(e.empty());  // built without flags
    }
}

TEST(CQScoreColumnRegroup, UnfoldedUseOnlyMergesTheOtherBases) {
    const CQScoreColumn c(1, {Q{1}, Q{2}, Q{3, 4}, Q{5, 6, 7}}, "", true, nullptr);
    EXPECT_EQ(c.m_Scores[0], (Q{1}));
    EXPECT_EQ(c.m_Scores[1], (Q{2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(c.m_Scores[2].empty());
    EXPECT_TRUE(c.m_Scores[3].empty());
    for (const auto& e : c.m_Errors) {
        EXPECT_TRUE(e.empty());
    }
    EXPECT_EQ(c.GetDepth(CQScoreColumn::eAll), 7u);
}

// ---------------------------------------------------------------------------
// Error-count distribution and observation table

TEST(CQScoreColumnTable, TwoReadClassDistribution) {
    const CQScoreColumn c(1, {Q{10, 20}, {}, {}, {}}, "", true, nullptr);
    const auto d = CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_NEAR(d[0], 0.891, 1e-15);
    EXPECT_NEAR(d[1], 0.108, 1e-15);
    EXPECT_NEAR(d[2], 0.001, 1e-15);
    // T[t] = B[t] / C(2, t) when every read is major-labelled.
    EXPECT_TRUE(RelClose(Table(c), {0.891, 0.054, 0.001}, 1e-14));
}

TEST(CQScoreColumnTable, EmptyColumn) {
    const CQScoreColumn c(5, {}, "", false, nullptr);
    EXPECT_EQ(c.GetDepth(CQScoreColumn::eAll), 0u);
    EXPECT_EQ(Table(c), (std::vector<double>{1.0}));
}

TEST(CQScoreColumnTable, SingleMinorRead) {
    const CQScoreColumn unfolded(1, {Q{}, Q{20}, {}, {}}, "", true, nullptr);
    EXPECT_TRUE(RelClose(Table(unfolded), {0.01, 0.99}, 1e-15));
    const CQScoreColumn folded(1, {Q{}, Q{20}, {}, {}}, "", false, nullptr);
    EXPECT_EQ(folded.m_Scores[0], (Q{20}));
    EXPECT_TRUE(folded.m_Scores[1].empty());
    EXPECT_TRUE(RelClose(Table(folded), {0.99, 0.01}, 1e-15));
}

TEST(CQScoreColumnTable, RowsStopAfterFallingToTheThreshold) {
    // Five reads of score 60 (1e-6): k=1 is 5e-6, k=2 is 1e-11 <= 1e-10, so
    // k=3..5 are 0 although their true values are positive.
    const CQScoreColumn c(1, {Q(5, 60), {}, {}, {}}, "", true, nullptr);
    const auto d = CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor);
    ASSERT_EQ(d.size(), 6u);
    EXPECT_GT(d[1], 4.9e-6);
    EXPECT_GT(d[2], 9e-12);
    EXPECT_EQ(d[3], 0.0);
    EXPECT_EQ(d[4], 0.0);
    EXPECT_EQ(d[5], 0.0);
}

TEST(CQScoreColumnTable, RowsGoOnWhileNothingWasPositive) {
    // Score 0 reads are certainly wrong: every row but the last is 0, and
    // only a positive entry starts the stop rule.
    const CQScoreColumn c(1, {Q(4, 0), {}, {}, {}}, "", true, nullptr);
    EXPECT_EQ(CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor),
              (std::vector<double>{0, 0, 0, 0, 1}));
}

TEST(CQScoreColumnTable, RowsWithTooManySubsetsAreReported) {
    CCerrCapture cerr;
    const CQScoreColumn c(1234, {Q(30, 10), {}, {}, {}}, "", true, nullptr);
    EXPECT_EQ(cerr.Text(), "Depth/numFalse too big at #1234; last prob: 0.0473633\n");
    const auto d = CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor);
    ASSERT_EQ(d.size(), 31u);
    EXPECT_NEAR(d[6], 0.047363319737970026, 1e-15);
    for (int k = 7; k <= 30; ++k) {
        EXPECT_EQ(d[k], 0.0) << k;
        EXPECT_EQ(c.m_PrObservedCond[k], 0.0) << k;
    }
    EXPECT_GT(c.m_PrObservedCond[6], 0.0);
}

TEST(CQScoreColumnTable, EveryTooBigRowIsReportedWhileNothingWasPositive) {
    // 30 certain errors: rows 7..23 exceed the subset limit, and since no
    // entry has been positive each one is reported with the 0 before it.
    CCerrCapture cerr;
    const CQScoreColumn c(9, {Q(30, 0), {}, {}, {}}, "", true, nullptr);
    std::string want;
    for (int k = 7; k <= 23; ++k) {
        want += "Depth/numFalse too big at #9; last prob: 0\n";
    }
    EXPECT_EQ(cerr.Text(), want);
    EXPECT_EQ(c.m_PrObservedCond[30], 1.0);
    EXPECT_EQ(c.m_PrObservedCond[0], 0.0);
}

TEST(CQScoreColumnTable, EnumerationOrderOfTheReference) {
    std::vector<std::string> seen;
    oracle::ForEachSubset(4, 2, [&](const std::vector<bool>& m) {
        std::string s;
        for (bool b : m) {
            s += b ? '1' : '0';
        }
        seen.push_back(s);
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"1100", "1010", "1001", "0110", "0101", "0011"}));
}

Q RandomScores(std::mt19937& rng, unsigned n) {
    std::uniform_int_distribution<int> score(0, 60);
    Q q(n);
    for (auto& s : q) {
        s = static_cast<std::uint8_t>(score(rng));
    }
    return q;
}

TEST(CQScoreColumnTable, DistributionAgreesWithSubsetEnumeration) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<unsigned> size(0, 16);
    for (int trial = 0; trial < 300; ++trial) {
        const Q q = RandomScores(rng, size(rng));
        const CQScoreColumn c(trial, {Q{}, q, {}, {}}, "", true, nullptr);
        std::ostringstream ignored;
        EXPECT_TRUE(RelClose(CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMinor),
                             oracle::ErrCountDist(q, trial, ignored), 1e-12))
            << "trial " << trial;
    }
}

TEST(CQScoreColumnTable, TableAgreesWithSubsetEnumeration) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<unsigned> size(0, 16);
    std::uniform_int_distribution<int> cls(0, 3);
    // Two classes of up to 16 reads each.
    for (int trial = 0; trial < 60; ++trial) {
        const TScores s{RandomScores(rng, size(rng)), RandomScores(rng, size(rng)), {}, {}};
        const CQScoreColumn c(trial, s, "", true, nullptr);
        std::ostringstream ignored;
        EXPECT_TRUE(RelClose(Table(c), oracle::ObservationTable(s, trial, ignored), 1e-12))
            << "trial " << trial;
    }
    // Up to 16 reads spread over four classes, folded or not.
    for (int trial = 0; trial < 200; ++trial) {
        TScores s;
        const Q q = RandomScores(rng, size(rng));
        for (auto v : q) {
            s[static_cast<std::size_t>(cls(rng))].push_back(v);
        }
        const bool useAll = trial % 2 == 0;
        const CQScoreColumn c(trial, s, "", useAll, nullptr);
        const TScores regrouped = oracle::Regroup(s, useAll);
        EXPECT_EQ(c.m_Scores, regrouped);
        std::ostringstream ignored;
        EXPECT_TRUE(RelClose(Table(c), oracle::ObservationTable(regrouped, trial, ignored), 1e-12))
            << "trial " << trial;
    }
}

TEST(CQScoreColumnTable, ReportsMatchTheEnumerationOnDeepClasses) {
    // Low scores keep every row above the stop threshold until the subset
    // limit: both skip the same row with the same report, and the reference
    // enumerates only the rows below it.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> score(3, 12);
    for (unsigned n : {25u, 30u}) {
        Q q(n);
        for (auto& v : q) {
            v = static_cast<std::uint8_t>(score(rng));
        }
        std::ostringstream want;
        const auto ref = oracle::ErrCountDist(q, 42, want);
        std::string got;
        std::vector<double> d;
        {
            CCerrCapture cerr;
            const CQScoreColumn c(42, {q, {}, {}, {}}, "", true, nullptr);
            d = CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor);
            got = cerr.Text();
        }
        EXPECT_EQ(got, want.str() + want.str()) << n;  // column build + probe
        EXPECT_TRUE(RelClose(d, ref, 1e-12)) << n;
    }
}

// ---------------------------------------------------------------------------
// Stored tables

TEST(CQScoreColumnStored, TextIsTakenAsIsAndClassesStay) {
    const TErrors flags{std::vector<bool>{false}, {true}, {false, true}, {true}};
    const CQScoreColumn c(8, {Q{1}, Q{2}, Q{3, 4}, Q{5}}, "0.1 0.2 0.3 0.4 0.5 0.6 trailing", false,
                          &flags);
    EXPECT_EQ(c.m_Scores, (TScores{Q{1}, Q{2}, Q{3, 4}, Q{5}}));
    EXPECT_EQ(c.m_Errors, flags);
    EXPECT_EQ(Table(c), (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
    EXPECT_EQ(c.m_Pos, 8);
}

void ExpectCorrupted(const std::string& text, const TScores& s) {
    EXPECT_EQ(RuntimeMessage([&] { CQScoreColumn c(1, s, text, true, nullptr); }),
              "CProbDist serialization corrupted!")
        << text;
}

TEST(CQScoreColumnStored, LastNumberMustBeFollowedByACharacter) {
    const CQScoreColumn c(1, {Q{30}, {}, {}, {}}, "0.5 0.5 ", true, nullptr);
    EXPECT_EQ(Table(c), (std::vector<double>{0.5, 0.5}));
    ExpectCorrupted("0.5 0.5", {Q{30}, {}, {}, {}});
    ExpectCorrupted("1", {});
    const CQScoreColumn empty(1, {}, "1 ", true, nullptr);
    EXPECT_EQ(Table(empty), (std::vector<double>{1.0}));
}

TEST(CQScoreColumnStored, TooFewOrUnreadableNumbersAreRejected) {
    ExpectCorrupted("0.5 ", {Q{30}, {}, {}, {}});
    ExpectCorrupted("   ", {Q{30}, {}, {}, {}});
    ExpectCorrupted("0.5 x 0.5 ", {Q{30}, {}, {}, {}});
    ExpectCorrupted("0.1 0.2 ", {Q{30}, Q{}, Q{}, Q{3}});
}

// ---------------------------------------------------------------------------
// Very deep sites

TEST(CQScoreColumnDeep, TwoThousandReadsBuildWithoutOverflow) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> score(20, 40);
    TScores s;
    for (int r = 0; r < 2000; ++r) {
        s[r % 100 == 0 ? 1 : 0].push_back(static_cast<std::uint8_t>(score(rng)));
    }
    std::string messages;
    {
        CCerrCapture cerr;
        const CQScoreColumn c(77, s, "", false, nullptr);
        messages = cerr.Text();
        ASSERT_EQ(c.m_PrObservedCond.size(), 2001u);
        double peak = 0.0;
        for (double v : c.m_PrObservedCond.m_Probs) {
            EXPECT_TRUE(std::isfinite(v));
            EXPECT_GE(v, 0.0);
            peak = std::max(peak, v);
        }
        EXPECT_GT(peak, 0.0);
        CFlatSpectrum spectrum;
        const double site = c.GetSiteProb(spectrum);
        EXPECT_TRUE(std::isfinite(site));
        EXPECT_GT(site, 0.0);
    }
    EXPECT_NE(messages.find("Depth/numFalse too big at #77; last prob: "), std::string::npos);
}

TEST(CQScoreColumnDeep, CoefficientsBeyondTheDoubleRangeGiveZero) {
    // C(2000, 1000) is about 1e600. T[1000] sums A[0] B[0] > 0 (no read in
    // error) and divides by it.
    CCerrCapture cerr;
    const CQScoreColumn c(1, {Q(1000, 40), Q(1000, 40), {}, {}}, "", true, nullptr);
    EXPECT_GT(CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor)[0], 0.9);
    EXPECT_GT(CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMinor)[0], 0.9);
    EXPECT_EQ(c.m_PrObservedCond[1000], 0.0);
    for (double v : c.m_PrObservedCond.m_Probs) {
        EXPECT_TRUE(std::isfinite(v));
    }
}

TEST(CQScoreColumnDeep, CertainErrorsAtTwoThousandReads) {
    // Nothing positive until the last row: every row is tried, and the
    // coefficients of the middle rows lie far beyond the double range.
    CCerrCapture cerr;
    const CQScoreColumn c(1, {Q(2000, 0), {}, {}, {}}, "", true, nullptr);
    const auto d = CQScoreColumnProbe::ErrCountDist(c, CQScoreColumn::eMajor);
    EXPECT_EQ(d[2000], 1.0);
    EXPECT_EQ(d[1999], 0.0);
    EXPECT_EQ(c.m_PrObservedCond[2000], 1.0);
    for (double v : c.m_PrObservedCond.m_Probs) {
        EXPECT_FALSE(std::isnan(v));
    }
    std::size_t lines = 0;
    for (char ch : cerr.Text()) {
        lines += ch == '\n';
    }
    EXPECT_EQ(lines, 2u * 1997u);  // rows 2..1998, column build + probe
}

// ---------------------------------------------------------------------------
// Site and posterior probabilities

TEST(CQScoreColumnLikelihood, SiteProbWeightsTheTableWithTheSpectrum) {
    const CQScoreColumn c(1, {Q{10, 20}, Q{30}, {}, {}}, "", true, nullptr);
    CSkewSpectrum spectrum;
    spectrum.SetFolded(false);
    double want = 0.0;
    for (int j = 0; j <= 3; ++j) {
        want += c.m_PrObservedCond[j] * spectrum(j, 3);
    }
    EXPECT_DOUBLE_EQ(c.GetSiteProb(spectrum), want);
    EXPECT_DOUBLE_EQ(c.GetPostProb(1, spectrum), c.m_PrObservedCond[1] * 0.5 / want);
}

TEST(CQScoreColumnLikelihood, FoldedEndsDifferOnlyThroughTheTable) {
    const CQScoreColumn c(1, {Q{10, 20, 30}, Q{15}, {}, {}}, "", false, nullptr);
    CSkewSpectrum spectrum;  // folded by default
    const double ratio = c.GetPostProb(0, spectrum) / c.GetPostProb(4, spectrum);
    EXPECT_NEAR(ratio, c.m_PrObservedCond[0] / c.m_PrObservedCond[4], 1e-12 * ratio);
}

TEST(CQScoreColumnLikelihood, PosteriorsSumToOne) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<unsigned> size(0, 12);
    for (bool folded : {false, true}) {
        CSkewSpectrum spectrum;
        spectrum.SetFolded(folded);
        for (int trial = 0; trial < 20; ++trial) {
            const TScores s{RandomScores(rng, size(rng)), RandomScores(rng, size(rng) + 1), {}, {}};
            const CQScoreColumn c(trial, s, "", !folded, nullptr);
            const int n = static_cast<int>(c.GetDepth(CQScoreColumn::eAll));
            if (!(c.GetSiteProb(spectrum) > 0.0)) {
                continue;
            }
            double sum = 0.0;
            for (int k = 0; k <= n; ++k) {
                const double p = c.GetPostProb(k, spectrum);
                EXPECT_GE(p, 0.0);
                sum += p;
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << trial;
        }
    }
}

}  // namespace
