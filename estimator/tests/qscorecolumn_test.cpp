#include "estimator/qscorecolumn.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "estimator/tests/test_util.hpp"
#include "model/tests/obstable_oracle.hpp"
#include "spectrum/freqspec.hpp"

struct CQScoreColumnProbe {
    static std::vector<double> ErrCountDist(const CQScoreColumn& c, CQScoreColumn::EWhichScores w) {
        CProbDist out(0, static_cast<int>(c.GetDepth(w)));
        c.x_CalcErrCountDist(w, out);
        return out.m_Probs;
    }
};

namespace {

using C = CQScoreColumn;
using TScores = C::TScores;
using TErrors = C::TErrors;
using testutil::CCerrCapture;
using testutil::Q;
using testutil::RuntimeMessage;
using Flags = std::vector<bool>;
using Probs = std::vector<double>;

// Unfolded: weights 1/(k+1), not normalised, so that posteriors depend on k.
class CSkewSpectrum : public CFreqSpectrum {
  public:
    std::string GetName() const override { return "Skew"; }
    CFreqSpectrum* Clone() const override { return new CSkewSpectrum(*this); }

  protected:
    double x_UnfoldedProb(int k, int) const override { return 1.0 / (k + 1); }
};

Probs Table(const C& c) {
    return c.m_PrObservedCond.m_Probs;
}

Probs Dist(const C& c, C::EWhichScores w) {
    return CQScoreColumnProbe::ErrCountDist(c, w);
}

// |a - b| <= rel * max(|a|, |b|); exact equality needed for zeros.
::testing::AssertionResult RelClose(const Probs& got, const Probs& want, double rel) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double scale = std::max(std::fabs(got[i]), std::fabs(want[i]));
        if (std::fabs(got[i] - want[i]) > rel * scale) {
            return ::testing::AssertionFailure()
                   << "entry " << i << ": " << got[i] << " vs " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

Q RandomScores(std::mt19937& rng, unsigned n, int low = 0, int high = 60) {
    std::uniform_int_distribution<int> score(low, high);
    Q q(n);
    for (auto& s : q) {
        s = static_cast<std::uint8_t>(score(rng));
    }
    return q;
}

TEST(CQScoreColumnErrProb, ScoresMapToPowersOfTenBitForBit) {
    Q all;
    for (int q = 0; q < 256; ++q) {
        all.push_back(static_cast<std::uint8_t>(q));
    }
    const C full(1, {all, {}, {}, {}}, "", true, nullptr);
    for (unsigned q = 0; q < 256; ++q) {
        EXPECT_EQ(full.GetErrProb(q, C::eMajor), std::pow(10.0, static_cast<int>(q) / -10.0));
    }
}

TEST(CQScoreColumnErrProb, AllIndexRunsThroughTheClassesInOrder) {
    const C c(1, {Q{10, 20}, Q{30}, {}, {}}, "", true, nullptr);
    EXPECT_DOUBLE_EQ(c.GetErrProb(0, C::eAll), 0.1);
    EXPECT_DOUBLE_EQ(c.GetErrProb(1, C::eAll), 0.01);
    EXPECT_DOUBLE_EQ(c.GetErrProb(2, C::eAll), 0.001);
    EXPECT_EQ(c.GetDepth(C::eAll), 3u);
    EXPECT_EQ(c.GetDepth(C::eMajor), 2u);
    EXPECT_EQ(c.GetDepth(C::eMinor), 1u);
    // Stored tables leave classes 2 and 3 in place; eAll reaches into them.
    const C s(1, {Q{}, Q{0}, Q{}, Q{20}}, "0 0 0 ", true, nullptr);
    EXPECT_DOUBLE_EQ(s.GetErrProb(1, C::eAll), 0.01);
    EXPECT_DOUBLE_EQ(s.GetErrProb(0, C::eOther2), 0.01);
}

TEST(CQScoreColumnDeathTest, IndexBeyondTheReadsOrFlagsAborts) {
    const C c(1, {Q{10, 20}, Q{30}, {}, {}}, "", true, nullptr);
    EXPECT_DEATH(c.GetErrProb(3, C::eAll), "j < 4");
    EXPECT_DEATH(c.GetErrProb(1, C::eMinor), "i < m_Scores\\[w\\]\\.size\\(\\)");
    EXPECT_DEATH(c.GetErrTruth(0, C::eMajor), "i < m_Errors\\[w\\]\\.size\\(\\)");
}

TEST(CQScoreColumnRegroup, ThirdBaseWithMostReadsBecomesTheReferenceWithItsFlags) {
    const TErrors flags{Flags{false}, {true, false}, {false, false, true}, {}};
    const C c(3, {Q{11}, Q{21, 22}, Q{31, 32, 33}, {}}, "", false, &flags);
    EXPECT_EQ(c.m_Scores, (TScores{Q{31, 32, 33}, Q{21, 22, 11}, {}, {}}));
    EXPECT_EQ(c.m_Errors, (TErrors{Flags{false, false, true}, {true, false, false}, {}, {}}));
    EXPECT_EQ(c.m_PrObservedCond.m_First, 0);
    EXPECT_EQ(c.m_PrObservedCond.m_Last, 6);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(c.GetErrTruth(i, C::eMajor), c.m_Errors[0][i]);
        EXPECT_EQ(c.GetErrTruth(i, C::eMinor), c.m_Errors[1][i]);
    }
    EXPECT_EQ(RuntimeMessage([&] { c.GetErrTruth(0, C::eAll); }), "eAll case given to GetErrTruth");
}

TEST(CQScoreColumnRegroup, LargestClassLeadsWhenFoldedAndTheOthersJoinClassOne) {
    const struct {
        TScores in;
        bool useAll;
        Q major, minor;
    } cases[] = {
        {{Q{1, 2}, Q{}, Q{3, 4}, {}}, false, {1, 2}, {3, 4}},  // a tie keeps the lowest class
        {{Q{1}, Q{2, 3, 4}, Q{5, 6, 7}, Q{8, 9, 10}}, false, {2, 3, 4}, {1, 5, 6, 7, 8, 9, 10}},
        {{Q{1}, Q{2}, Q{3}, Q{4, 5}}, false, {4, 5}, {2, 3, 1}},
        {{Q{}, Q{20}, {}, {}}, false, {20}, {}},
        {{Q{1}, Q{2}, Q{3, 4}, Q{5, 6, 7}}, true, {1}, {2, 3, 4, 5, 6, 7}},
    };
    for (const auto& k : cases) {
        const C c(1, k.in, "", k.useAll, nullptr);
        EXPECT_EQ(c.m_Scores, (TScores{k.major, k.minor, {}, {}})) << k.major.size();
        EXPECT_EQ(c.m_Errors, TErrors{});  // built without flags
    }
}

TEST(CQScoreColumnTable, SmallSites) {
    const struct {
        TScores scores;
        bool useAll;
        Probs table;
    } cases[] = {
        // T[t] = B[t] / C(2, t) when every read is major-labelled.
        {{Q{10, 20}, {}, {}, {}}, true, {0.891, 0.054, 0.001}},
        {{}, false, {1.0}},
        {{Q{}, Q{20}, {}, {}}, true, {0.01, 0.99}},
        {{Q{}, Q{20}, {}, {}}, false, {0.99, 0.01}},
    };
    for (const auto& k : cases) {
        EXPECT_TRUE(RelClose(Table(C(1, k.scores, "", k.useAll, nullptr)), k.table, 1e-14));
    }
    const C c(1, {Q{10, 20}, {}, {}, {}}, "", true, nullptr);
    EXPECT_TRUE(RelClose(Dist(c, C::eMajor), {0.891, 0.108, 0.001}, 1e-14));
}

TEST(CQScoreColumnTable, RowRules) {
    // Five reads of score 60 (1e-6): k=1 is 5e-6, k=2 is 1e-11 <= 1e-10, so
    // k=3..5 are 0 although their true values are positive.
    const Probs d = Dist(C(1, {Q(5, 60), {}, {}, {}}, "", true, nullptr), C::eMajor);
    ASSERT_EQ(d.size(), 6u);
    EXPECT_GT(d[1], 4.9e-6);
    EXPECT_GT(d[2], 9e-12);
    EXPECT_EQ(Probs(d.begin() + 3, d.end()), Probs(3, 0.0));
    // Score 0 reads are certainly wrong: only a positive entry starts the
    // stop rule.
    EXPECT_EQ(Dist(C(1, {Q(4, 0), {}, {}, {}}, "", true, nullptr), C::eMajor),
              (Probs{0, 0, 0, 0, 1}));
}

TEST(CQScoreColumnTable, RowsWithTooManySubsetsAreReported) {
    CCerrCapture cerr;
    const C c(1234, {Q(30, 10), {}, {}, {}}, "", true, nullptr);
    EXPECT_EQ(cerr.Text(), "Depth/numFalse too big at #1234; last prob: 0.0473633\n");
    const Probs d = Dist(c, C::eMajor);
    ASSERT_EQ(d.size(), 31u);
    EXPECT_NEAR(d[6], 0.047363319737970026, 1e-15);
    EXPECT_GT(c.m_PrObservedCond[6], 0.0);
    for (int k = 7; k <= 30; ++k) {
        EXPECT_EQ(d[k], 0.0) << k;
        EXPECT_EQ(c.m_PrObservedCond[k], 0.0) << k;
    }
}

TEST(CQScoreColumnTable, EveryTooBigRowIsReportedWhileNothingWasPositive) {
    // 30 certain errors: rows 7..23 exceed the subset limit, and since no
    // entry has been positive each one is reported with the 0 before it.
    CCerrCapture cerr;
    const C c(9, {Q(30, 0), {}, {}, {}}, "", true, nullptr);
    std::string want;
    for (int k = 7; k <= 23; ++k) {
        want += "Depth/numFalse too big at #9; last prob: 0\n";
    }
    EXPECT_EQ(cerr.Text(), want);
    EXPECT_EQ(c.m_PrObservedCond[30], 1.0);
    EXPECT_EQ(c.m_PrObservedCond[0], 0.0);
}

TEST(CQScoreColumnTable, AgreesWithSubsetEnumeration) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<unsigned> size(0, 16);
    std::uniform_int_distribution<int> cls(0, 3);
    for (int trial = 0; trial < 300; ++trial) {
        // Two classes of up to 16 reads each, or up to 16 reads spread over
        // four classes, folded or not.
        TScores s;
        if (trial < 100) {
            s = {RandomScores(rng, size(rng)), RandomScores(rng, size(rng)), {}, {}};
        } else {
            for (auto v : RandomScores(rng, size(rng))) {
                s[static_cast<std::size_t>(cls(rng))].push_back(v);
            }
        }
        const C c(trial, s, "", trial < 100 || trial % 2 == 0, nullptr);
        std::ostringstream ignored;
        const Probs b = oracle::ErrCountDist(c.m_Scores[0], 0, ignored);
        const Probs a = oracle::ErrCountDist(c.m_Scores[1], 0, ignored);
        EXPECT_TRUE(RelClose(Dist(c, C::eMajor), b, 1e-12)) << "trial " << trial;
        EXPECT_TRUE(RelClose(Dist(c, C::eMinor), a, 1e-12)) << "trial " << trial;
        EXPECT_TRUE(RelClose(Table(c), oracle::ObservationTable(a, b), 1e-12)) << "trial " << trial;
    }
}

TEST(CQScoreColumnTable, ReportsMatchTheEnumerationOnDeepClasses) {
    // Low scores keep every row above the stop threshold until the subset
    // limit: both skip the same row with the same report.
    std::mt19937 rng(5);
    for (unsigned n : {25u, 30u}) {
        const Q q = RandomScores(rng, n, 3, 12);
        std::ostringstream want;
        const Probs ref = oracle::ErrCountDist(q, 42, want);
        CCerrCapture cerr;
        const Probs d = Dist(C(42, {q, {}, {}, {}}, "", true, nullptr), C::eMajor);
        EXPECT_EQ(cerr.Text(), want.str() + want.str()) << n;  // column build + probe
        EXPECT_TRUE(RelClose(d, ref, 1e-12)) << n;
    }
}

TEST(CQScoreColumnStored, TextIsTakenAsIsAndClassesStay) {
    const TErrors flags{Flags{false}, {true}, {false, true}, {true}};
    const TScores scores{Q{1}, Q{2}, Q{3, 4}, Q{5}};
    const C c(8, scores, "0.1 0.2 0.3 0.4 0.5 0.6 trailing", false, &flags);
    EXPECT_EQ(c.m_Scores, scores);
    EXPECT_EQ(c.m_Errors, flags);
    EXPECT_EQ(Table(c), (Probs{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
    EXPECT_EQ(c.m_Pos, 8);
}

TEST(CQScoreColumnStored, EveryNumberMustBeReadAndFollowedByACharacter) {
    const TScores one{Q{30}, {}, {}, {}};
    EXPECT_EQ(Table(C(1, one, "0.5 0.5 ", true, nullptr)), (Probs{0.5, 0.5}));
    EXPECT_EQ(Table(C(1, {}, "1 ", true, nullptr)), (Probs{1.0}));
    const std::pair<const char*, TScores> corrupted[] = {
        {"0.5 0.5", one}, {"1", {}},           {"0.5 ", one},
        {"   ", one},     {"0.5 x 0.5 ", one}, {"0.1 0.2 ", {Q{30}, Q{}, Q{}, Q{3}}}};
    for (const auto& [text, scores] : corrupted) {
        EXPECT_EQ(RuntimeMessage([&] { C(1, scores, text, true, nullptr); }),
                  "CProbDist serialization corrupted!")
            << text;
    }
}

TEST(CQScoreColumnDeep, TwoThousandReadsBuildWithoutOverflow) {
    CCerrCapture cerr;
    const C c(77, testutil::DeepScores(), "", false, nullptr);
    EXPECT_NE(cerr.Text().find("Depth/numFalse too big at #77; last prob: "), std::string::npos);
    ASSERT_EQ(c.GetDepth(C::eAll), 2000u);
    ASSERT_EQ(c.m_PrObservedCond.size(), 2001u);
    double peak = 0.0;
    for (double v : c.m_PrObservedCond.m_Probs) {
        EXPECT_TRUE(v >= 0.0 && v <= 1.0) << v;
        peak = std::max(peak, v);
    }
    EXPECT_GT(peak, 0.0);
    const double site = c.GetSiteProb(CSkewSpectrum());
    EXPECT_TRUE(std::isfinite(site));
    EXPECT_GT(site, 0.0);
}

TEST(CQScoreColumnDeep, CoefficientsBeyondTheDoubleRangeGiveZero) {
    // C(2000, 1000) is about 1e600. T[1000] sums A[0] B[0] > 0 (no read in
    // error) and divides by it.
    CCerrCapture cerr;
    const C c(1, {Q(1000, 40), Q(1000, 40), {}, {}}, "", true, nullptr);
    EXPECT_GT(Dist(c, C::eMajor)[0], 0.9);
    EXPECT_GT(Dist(c, C::eMinor)[0], 0.9);
    EXPECT_EQ(c.m_PrObservedCond[1000], 0.0);
    for (double v : c.m_PrObservedCond.m_Probs) {
        EXPECT_TRUE(std::isfinite(v));
    }
}

TEST(CQScoreColumnDeep, CertainErrorsAtTwoThousandReads) {
    // Nothing positive until the last row: every row is tried, and the
    // coefficients of the middle rows lie far beyond the double range.
    CCerrCapture cerr;
    const C c(1, {Q(2000, 0), {}, {}, {}}, "", true, nullptr);
    const Probs d = Dist(c, C::eMajor);
    EXPECT_EQ(d[2000], 1.0);
    EXPECT_EQ(d[1999], 0.0);
    EXPECT_EQ(c.m_PrObservedCond[2000], 1.0);
    for (double v : c.m_PrObservedCond.m_Probs) {
        EXPECT_FALSE(std::isnan(v));
    }
    const std::string text = cerr.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * 1997);  // rows 2..1998, twice
}

TEST(CQScoreColumnLikelihood, SiteAndPosteriorProbabilitiesWeightTheTable) {
    // Unfolded skew at depth 3: 1, 1/2, 1/3, 0; folded: 1/2, 5/12, 5/12, 1/2.
    const C c(1, {Q{10, 20}, Q{30}, {}, {}}, "0.1 0.2 0.3 0.4 ", true, nullptr);
    CSkewSpectrum spectrum;
    EXPECT_DOUBLE_EQ(c.GetSiteProb(spectrum), 0.05 + 0.5 * 5 / 12 + 0.2);
    EXPECT_DOUBLE_EQ(c.GetPostProb(0, spectrum) / c.GetPostProb(3, spectrum), 0.25);
    spectrum.SetFolded(false);
    EXPECT_DOUBLE_EQ(c.GetSiteProb(spectrum), 0.3);
    EXPECT_DOUBLE_EQ(c.GetPostProb(1, spectrum), 1.0 / 3);
}

TEST(CQScoreColumnLikelihood, PosteriorsSumToOne) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<unsigned> size(0, 12);
    for (bool folded : {false, true}) {
        CSkewSpectrum spectrum;
        spectrum.SetFolded(folded);
        for (int trial = 0; trial < 20; ++trial) {
            const TScores s{RandomScores(rng, size(rng)), RandomScores(rng, size(rng) + 1), {}, {}};
            const C c(trial, s, "", !folded, nullptr);
            if (!(c.GetSiteProb(spectrum) > 0.0)) {
                continue;
            }
            double sum = 0.0;
            for (int k = 0; k <= static_cast<int>(c.GetDepth(C::eAll)); ++k) {
                const double p = c.GetPostProb(k, spectrum);
                EXPECT_GE(p, 0.0);
                sum += p;
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << trial;
        }
    }
}

}  // namespace
