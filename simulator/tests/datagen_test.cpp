#include "simulator/datagen.hpp"

#include <gtest/gtest.h>
#include <libxml++/libxml++.h>

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

#include "common/qualxml.hpp"
#include "simulator/fsms.hpp"
#include "simulator/tests/simtest_util.hpp"
#include "spectrum/freqspec.hpp"

namespace {

using simtest::Column;
using simtest::Columns;
using simtest::RuntimeErrorOf;
using simtest::Scripted;

// A model with a fixed unfolded table per depth, for counts that land on
// exact halves.
class CFixedSpectrum : public CFreqSpectrum {
  public:
    explicit CFixedSpectrum(std::map<int, std::vector<double>> table) : m_Table(std::move(table)) {
        SetFolded(false);
    }
    std::string GetName() const override { return "Fixed"; }
    CFreqSpectrum* Clone() const override { return new CFixedSpectrum(*this); }

  protected:
    double x_UnfoldedProb(int numMinor, int depth) const override {
        return m_Table.at(depth).at(static_cast<std::size_t>(numMinor));
    }

  private:
    std::map<int, std::vector<double>> m_Table;
};

// A generator with its own distributions and a document to write into.
class DataGenerator : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Doc = qualxml::NewDocument(m_Root);
        m_Gen.m_ScoreDist = &m_Scores;
        m_Gen.m_DepthDist = &m_Depths;
        m_Neutral.SetFolded(false);
    }

    std::vector<Column> Run(unsigned int numSites, const CFreqSpectrum& spectrum, gsl_rng* rng) {
        m_Gen.m_Rng = rng;
        m_Gen.GenerateSites(numSites, spectrum, m_Root);
        return Columns(m_Root);
    }

    TProbDist m_Scores{{40, 1.0}};
    TProbDist m_Depths;
    CDataGenerator m_Gen;
    CFSNeutral m_Neutral;  // theta 0.01, unfolded
    xmlpp::Element* m_Root = nullptr;
    std::unique_ptr<xmlpp::Document> m_Doc;
};

std::map<std::size_t, int> DepthCounts(const std::vector<Column>& cols) {
    std::map<std::size_t, int> counts;
    for (const auto& c : cols) {
        ++counts[c.reads.size()];
    }
    return counts;
}

TEST_F(DataGenerator, ExactModeTenSitesOfDepthFourAreAllMonomorphic) {
    // Unfolded neutral, depth 4: 0.98167, 0.01, 0.005, 0.00333 -> counts
    // rint(9.8167) = 10 and 0 for the rest. Per site 4 scores + 4 errors.
    m_Depths = {{4, 1.0}};
    m_Gen.m_Exact = true;
    auto rng = simtest::MakeScriptedRng(std::vector<double>(80, 0.5));
    auto cols = Run(10, m_Neutral, rng.get());
    ASSERT_EQ(cols.size(), 10u);
    for (std::size_t i = 0; i < cols.size(); ++i) {
        EXPECT_EQ(cols[i].pos, std::to_string(i + 1));
        ASSERT_EQ(cols[i].reads.size(), 4u);
        for (const auto& r : cols[i].reads) {
            EXPECT_EQ(r.score, "40");
            EXPECT_FALSE(r.minor || r.error || r.hasOther);
        }
    }
    EXPECT_EQ(Scripted::next, 80u);
    EXPECT_FALSE(Scripted::overrun);
    EXPECT_EQ(m_Gen.m_NumColumns, 10);
}

TEST_F(DataGenerator, ExactModeFixesTheNumberOfSitesPerMinorCount) {
    // theta 0.2, depth 3, 100 sites: 0.7, 0.2, 0.1 -> 70, 20, 10 sites, in
    // that order, the first j reads of each carrying the minor allele.
    m_Depths = {{3, 1.0}};
    m_Scores = {{255, 1.0}};  // error probability 10^-25.5: never an error
    m_Gen.m_Exact = true;
    m_Neutral.SetParams(std::string("0.2"));
    auto rng = simtest::MakeMtRng(3);
    auto cols = Run(100, m_Neutral, rng.get());
    ASSERT_EQ(cols.size(), 100u);
    for (std::size_t i = 0; i < cols.size(); ++i) {
        const std::size_t minor = i < 70 ? 0 : i < 90 ? 1 : 2;
        for (std::size_t r = 0; r < 3; ++r) {
            EXPECT_EQ(cols[i].reads[r].minor, r < minor) << "site " << i << " read " << r;
        }
    }
}

TEST_F(DataGenerator, SitesPerDepthRoundHalvesToEven) {
    m_Depths = {{2, 0.25}, {3, 0.75}};
    for (bool exact : {false, true}) {
        SetUp();  // a fresh document
        m_Gen.m_Exact = exact;
        auto rng = simtest::MakeMtRng(1);
        auto cols = Run(10, m_Neutral, rng.get());
        // 2.5 -> 2 sites of depth 2, 7.5 -> 8 sites of depth 3, in that order.
        ASSERT_EQ(cols.size(), 10u) << "exact " << exact;
        for (std::size_t i = 0; i < cols.size(); ++i) {
            EXPECT_EQ(cols[i].reads.size(), i < 2 ? 2u : 3u);
        }
    }
}

TEST_F(DataGenerator, ExactCountsPerMinorCountRoundHalvesToEven) {
    // 10 sites of depth 3: 2.5 -> 2 sites with no minor read, 3.5 -> 4 with
    // one, 4.0 -> 4 with two; then 10 sites of depth 2: 0.5 -> none, 9.5 ->
    // 10 with one.
    m_Depths = {{3, 0.5}, {2, 0.5}};
    m_Scores = {{255, 1.0}};
    m_Gen.m_Exact = true;
    CFixedSpectrum fixed({{3, {0.25, 0.35, 0.4}}, {2, {0.05, 0.95}}});
    auto rng = simtest::MakeMtRng(1);
    const auto cols = Run(20, fixed, rng.get());
    std::vector<std::pair<std::size_t, std::size_t>> got;  // (depth, minor reads)
    for (const auto& c : cols) {
        std::size_t minor = 0;
        for (const auto& r : c.reads) {
            minor += r.minor;
        }
        got.emplace_back(c.reads.size(), minor);
    }
    std::vector<std::pair<std::size_t, std::size_t>> want;
    want.insert(want.end(), 2, {3, 0});
    want.insert(want.end(), 4, {3, 1});
    want.insert(want.end(), 4, {3, 2});
    want.insert(want.end(), 10, {2, 1});
    EXPECT_EQ(got, want);
}

TEST_F(DataGenerator, StochasticSiteUsesOneNumberForTheCountThenScoresThenErrors) {
    // Depth 2, unfolded theta 0.01: (0, 0.99), (1, 0.01).
    m_Depths = {{2, 1.0}};
    m_Scores = {{10, 0.5}, {20, 0.5}};
    auto rng = simtest::MakeScriptedRng({
        0.999,  // minor count 1
        0.1,    // read 0: score 10, error probability 0.1
        0.9,    // read 1: score 20, error probability 0.01
        0.5,    // read 0: no error, shows the minor allele
        0.005,  // read 1: error in [e/3, 2e/3): shows base 2
    });
    auto cols = Run(1, m_Neutral, rng.get());
    EXPECT_EQ(Scripted::next, 5u);
    EXPECT_FALSE(Scripted::overrun);
    ASSERT_EQ(cols.size(), 1u);
    ASSERT_EQ(cols[0].reads.size(), 2u);
    const auto& r0 = cols[0].reads[0];
    const auto& r1 = cols[0].reads[1];
    EXPECT_EQ(r0.score, "10");
    EXPECT_TRUE(r0.minor);
    EXPECT_FALSE(r0.error || r0.hasOther);
    // Two non-reference bases: the site is kept as written.
    EXPECT_EQ(r1.score, "20");
    EXPECT_FALSE(r1.minor);
    EXPECT_TRUE(r1.hasOther);
    EXPECT_EQ(r1.other, "1");
    EXPECT_TRUE(r1.error);
}

TEST_F(DataGenerator, AttributesAreWrittenScoreThenClassThenError) {
    m_Depths = {{1, 1.0}};
    m_Scores = {{0, 1.0}};
    auto rng = simtest::MakeScriptedRng({0.0, 0.5, 0.1});  // count 0; score 0; error -> base 1
    Run(1, m_Neutral, rng.get());
    const auto* col = dynamic_cast<const xmlpp::Element*>(m_Root->get_children("Column").front());
    const auto* chr = dynamic_cast<const xmlpp::Element*>(col->get_children("Chr").front());
    std::vector<std::string> names;
    for (const auto* a : chr->get_attributes()) {
        names.push_back(a->get_name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"score", "minor", "error"}));
    EXPECT_EQ(col->get_attributes().front()->get_name(), "pos");
}

TEST_F(DataGenerator, FirstNonReferenceBasePresentBecomesTheMinorAllele) {
    // True count 0; two reads turn into base 2, the third stays reference.
    m_Depths = {{3, 1.0}};
    m_Scores = {{0, 0.5}, {40, 0.5}};
    auto rng = simtest::MakeScriptedRng({0.0, 0.1, 0.1, 0.9, 0.5, 0.4, 0.5});
    auto cols = Run(1, m_Neutral, rng.get());
    EXPECT_FALSE(Scripted::overrun);
    ASSERT_EQ(cols.size(), 1u);
    const auto& reads = cols[0].reads;
    ASSERT_EQ(reads.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(reads[i].minor);
        EXPECT_TRUE(reads[i].error);
        EXPECT_FALSE(reads[i].hasOther);
    }
    EXPECT_EQ(reads[2].score, "40");
    EXPECT_FALSE(reads[2].minor || reads[2].error || reads[2].hasOther);
}

TEST_F(DataGenerator, TriallelicSiteIsKeptAndGenerationContinues) {
    // Site 1 (true count 0, every read erroneous): bases 1, 2, 3.
    // Site 2: three reads turned into the other allele.
    m_Depths = {{3, 1.0}};
    m_Scores = {{0, 1.0}};
    auto rng = simtest::MakeScriptedRng(
        {0.0, 0.5, 0.5, 0.5, 0.1, 0.5, 0.9, 0.0, 0.5, 0.5, 0.5, 0.1, 0.2, 0.3});
    auto cols = Run(2, m_Neutral, rng.get());
    EXPECT_FALSE(Scripted::overrun);
    EXPECT_EQ(Scripted::next, 14u);
    ASSERT_EQ(cols.size(), 2u);
    const auto& a = cols[0].reads;
    EXPECT_TRUE(a[0].minor && !a[0].hasOther);
    EXPECT_TRUE(!a[1].minor && a[1].hasOther && a[1].other == "1");
    EXPECT_TRUE(!a[2].minor && a[2].hasOther && a[2].other == "2");
    EXPECT_EQ(cols[1].pos, "2");
    for (const auto& r : cols[1].reads) {
        EXPECT_TRUE(r.minor && r.error && !r.hasOther);
    }
}

TEST_F(DataGenerator, BiallelicErrorsShowTheOtherAllele) {
    // Depth 2, true count 1, every read erroneous: the minor read shows the
    // reference, the reference read the minor allele, whatever u is.
    m_Depths = {{2, 1.0}};
    m_Scores = {{0, 1.0}};
    m_Gen.m_Biallelic = true;
    auto rng = simtest::MakeScriptedRng({0.999, 0.5, 0.5, 0.9, 0.9});
    auto cols = Run(1, m_Neutral, rng.get());
    ASSERT_EQ(cols.size(), 1u);
    EXPECT_FALSE(cols[0].reads[0].minor);
    EXPECT_TRUE(cols[0].reads[0].error);
    EXPECT_TRUE(cols[0].reads[1].minor);
    EXPECT_TRUE(cols[0].reads[1].error);
    EXPECT_FALSE(cols[0].reads[0].hasOther || cols[0].reads[1].hasOther);
}

TEST_F(DataGenerator, BiallelicRunNeverWritesOther) {
    m_Depths = {{5, 0.5}, {12, 0.5}};
    m_Scores = {{0, 0.3}, {3, 0.3}, {30, 0.4}};
    m_Gen.m_Biallelic = true;
    auto rng = simtest::MakeMtRng(11);
    auto cols = Run(400, m_Neutral, rng.get());
    ASSERT_EQ(cols.size(), 400u);
    int errors = 0;
    for (const auto& c : cols) {
        for (const auto& r : c.reads) {
            EXPECT_FALSE(r.hasOther);
            errors += r.error;
        }
    }
    EXPECT_GT(errors, 1000);  // the run did exercise errors
}

TEST_F(DataGenerator, EveryColumnHasAsManyReadsAsItsDepthAndMinorReadsComeFirst) {
    m_Depths = {{1, 0.1}, {4, 0.2}, {7, 0.3}, {15, 0.4}};
    m_Scores = {{255, 1.0}};  // no errors: written minor reads are the true ones
    CFSGrowth growth;
    growth.SetParams(std::string("0.1 2"));
    growth.SetFolded(false);
    auto rng = simtest::MakeMtRng(5);
    auto cols = Run(1000, growth, rng.get());
    ASSERT_EQ(cols.size(), 1000u);
    EXPECT_EQ(DepthCounts(cols),
              (std::map<std::size_t, int>{{1, 100}, {4, 200}, {7, 300}, {15, 400}}));
    int polymorphic = 0;
    for (std::size_t i = 0; i < cols.size(); ++i) {
        EXPECT_EQ(cols[i].pos, std::to_string(i + 1));
        bool seenMajor = false;
        for (const auto& r : cols[i].reads) {
            EXPECT_EQ(r.score, "255");
            EXPECT_FALSE(r.error || r.hasOther);
            if (!r.minor) {
                seenMajor = true;
            } else {
                EXPECT_FALSE(seenMajor) << "minor read after a reference read at site " << i;
            }
        }
        polymorphic += cols[i].reads.front().minor;
    }
    EXPECT_GT(polymorphic, 20);
}

TEST_F(DataGenerator, NoSitesFromAnEmptyDepthDistributionOrZeroSitesAsked) {
    auto rng = simtest::MakeScriptedRng({});
    EXPECT_TRUE(Run(100, m_Neutral, rng.get()).empty());
    m_Depths = {{4, 1.0}};
    EXPECT_TRUE(Run(0, m_Neutral, rng.get()).empty());
    EXPECT_EQ(Scripted::next, 0u);
}

TEST_F(DataGenerator, SharesBelowOneSiteNegativeOrNaNGiveNoSites) {
    m_Depths = {{2, -0.5}, {3, std::numeric_limits<double>::quiet_NaN()}, {4, 0.04}, {5, 0.5}};
    for (bool exact : {false, true}) {
        SetUp();  // a fresh document
        m_Gen.m_Exact = exact;
        auto rng = simtest::MakeMtRng(2);
        auto cols = Run(10, m_Neutral, rng.get());  // 0.4 sites of depth 4, 5 of depth 5
        EXPECT_EQ(DepthCounts(cols), (std::map<std::size_t, int>{{5, 5}})) << "exact " << exact;
    }
}

TEST_F(DataGenerator, EmptyScoreDistributionIsANamedError) {
    m_Depths = {{3, 1.0}};
    m_Scores.clear();
    m_Gen.m_ScoreDistName = "score distribution (file 'scores.dat')";
    auto rng = simtest::MakeMtRng(1);
    EXPECT_EQ(RuntimeErrorOf([&] { Run(5, m_Neutral, rng.get()); }),
              "Cannot draw a value: the score distribution (file 'scores.dat') is empty.");
}

TEST_F(DataGenerator, DepthZeroHasNothingToDrawInStochasticMode) {
    m_Depths = {{0, 0.5}, {3, 0.5}};
    auto rng = simtest::MakeMtRng(1);
    EXPECT_EQ(RuntimeErrorOf([&] { Run(4, m_Neutral, rng.get()); }),
              "Cannot draw a value: the distribution of minor-allele counts at depth 0 is empty.");
    // Exact mode has no minor count to draw and gives no site of depth 0.
    SetUp();  // a fresh document
    m_Gen.m_Exact = true;
    EXPECT_EQ(DepthCounts(Run(4, m_Neutral, rng.get())), (std::map<std::size_t, int>{{3, 2}}));
}

TEST_F(DataGenerator, ScoresAboveTheDocumentLimitAreRejected) {
    m_Depths = {{1, 1.0}};
    m_Scores = {{256, 1.0}};
    auto rng = simtest::MakeMtRng(1);
    EXPECT_EQ(RuntimeErrorOf([&] { Run(1, m_Neutral, rng.get()); }),
              "CDataGenerator: score 256 of the score distribution is above 255, the largest "
              "score a document can hold.");
}

TEST_F(DataGenerator, AbsurdShareIsAnErrorNotAWrappedCount) {
    m_Depths = {{3, 1e300}};
    auto rng = simtest::MakeMtRng(1);
    EXPECT_EQ(RuntimeErrorOf([&] { Run(10, m_Neutral, rng.get()); }),
              "CDataGenerator: depth 3 asks for 1e+301 sites, more than can be generated.");
}

// The coalescent branch reads its site table from ./ms2spectrum.pl.
class CoalescentGenerator : public DataGenerator {
  protected:
    void SetUp() override {
        DataGenerator::SetUp();
        m_Ms.SetParams(std::string("0.01 0.05 0"));
        m_Ms.SetFolded(false);
        m_Scores = {{255, 1.0}};
        m_Depths = {{10, 0.5}, {15, 0.5}};  // mean 12.5
    }
    simtest::ScratchDir m_Dir;
    CFSms m_Ms;
};

TEST_F(CoalescentGenerator, SharesAreTruncatedAndScriptGetsTheMeanDepth) {
    simtest::WriteFixtureScript("echo \"$@\" > args.txt\necho 3 0.5 0.19 0.05\n");
    auto rng = simtest::MakeScriptedRng(std::vector<double>(36, 0.5));
    auto cols = Run(10, m_Ms, rng.get());
    EXPECT_EQ(simtest::ReadFile("args.txt"), "-d 12.5 -n 10 -t 0.01 -r 0 -g 0.05\n");
    // 5 sites with no minor read, 1.9 -> 1 site with one, 0.5 -> none.
    ASSERT_EQ(cols.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        ASSERT_EQ(cols[i].reads.size(), 3u);
        EXPECT_EQ(cols[i].reads[0].minor, i == 5);
        EXPECT_FALSE(cols[i].reads[1].minor || cols[i].reads[2].minor);
    }
    // No number for a minor count: 3 scores and 3 error decisions per site.
    EXPECT_EQ(Scripted::next, 36u);
    EXPECT_FALSE(Scripted::overrun);
}

TEST_F(CoalescentGenerator, DepthsAscendAndOnlyTheFirstRecordOfADepthCounts) {
    simtest::WriteFixtureScript(
        "echo 2 0.3 0.2\necho 0\necho 1 0.1\necho 2 0.1 0.1\necho 3 -0.4 0.1 0\n");
    auto rng = simtest::MakeMtRng(1);
    auto cols = Run(10, m_Ms, rng.get());
    // depth 1: 1 site; depth 2: 3 + 2 sites (not the second record's);
    // depth 3: negative share gives none, 1 site with one minor read.
    ASSERT_EQ(cols.size(), 7u);
    const std::vector<std::size_t> depths{1, 2, 2, 2, 2, 2, 3};
    const std::vector<bool> minor{false, false, false, false, true, true, true};
    for (std::size_t i = 0; i < cols.size(); ++i) {
        EXPECT_EQ(cols[i].reads.size(), depths[i]);
        EXPECT_EQ(cols[i].reads[0].minor, minor[i]) << "site " << i;
    }
}

TEST_F(CoalescentGenerator, EmptyScriptOutputGivesNoSites) {
    simtest::WriteFixtureScript("exit 0\n");
    auto rng = simtest::MakeMtRng(1);
    std::string err;
    {
        simtest::StderrCapture capture(err);
        EXPECT_TRUE(Run(10, m_Ms, rng.get()).empty());
    }
    EXPECT_NE(err.find("no sites are generated"), std::string::npos) << err;
}

TEST_F(CoalescentGenerator, MalformedScriptOutputIsAnError) {
    simtest::WriteFixtureScript("echo 3 0.5 0.1\n");
    auto rng = simtest::MakeMtRng(1);
    EXPECT_EQ(RuntimeErrorOf([&] { Run(10, m_Ms, rng.get()); }),
              "CFSms::GetSpectrum: malformed output of './ms2spectrum.pl -d 12.5 -n 10 -t 0.01 "
              "-r 0 -g 0.05': the record for depth 3 ends after 2 of its 3 numbers.");
    EXPECT_TRUE(Columns(m_Root).empty());
}

}  // namespace
