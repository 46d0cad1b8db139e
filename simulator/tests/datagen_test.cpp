#include "simulator/datagen.hpp"

#include <gtest/gtest.h>
#include <libxml++/libxml++.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <stdexcept>

#include "common/qualxml.hpp"
#include "simulator/fsms.hpp"
#include "simulator/tests/simtest_util.hpp"
#include "spectrum/freqspec.hpp"

namespace {

using simtest::Column;
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

CFSNeutral Neutral(const char* theta) {
    CFSNeutral model;
    model.SetParams(std::string(theta));
    model.SetFolded(false);
    return model;
}

// The read letters of consecutive columns: {{2, "rr"}, {1, "mrr"}} is two
// columns "rr" then one "mrr".
std::vector<std::string> Expand(const std::vector<std::pair<int, std::string>>& runs) {
    std::vector<std::string> out;
    for (const auto& [count, reads] : runs) {
        out.insert(out.end(), static_cast<std::size_t>(count), reads);
    }
    return out;
}

// A generator drawing from its own distributions into a fresh document on
// every run.
class DataGenerator : public ::testing::Test {
  protected:
    DataGenerator() {
        m_Gen.m_ScoreDist = &m_Scores;
        m_Gen.m_DepthDist = &m_Depths;
        m_Gen.m_ScoreDistName = "score distribution (file 'scores.dat')";
    }

    // The read letters of every column generated; the columns in m_Cols.
    std::vector<std::string> Run(unsigned int numSites, const CFreqSpectrum& spectrum,
                                 gsl_rng* rng) {
        m_Doc = qualxml::NewDocument(m_Root);
        m_Gen.m_Rng = rng;
        m_Gen.GenerateSites(numSites, spectrum, m_Root);
        m_Cols = simtest::Columns(m_Root);
        std::vector<std::string> reads;
        for (const auto& c : m_Cols) {
            reads.push_back(c.reads);
        }
        return reads;
    }

    // Sites of one depth from theta 0.01 drawn with the given uniforms, all
    // of which must be used.
    std::vector<std::string> RunScripted(unsigned int depth, unsigned int numSites,
                                         const std::vector<double>& uniforms) {
        m_Depths = {{depth, 1.0}};
        auto rng = simtest::MakeScriptedRng(uniforms);
        const auto reads = Run(numSites, m_Neutral, rng.get());
        EXPECT_EQ(Scripted::next, uniforms.size());
        EXPECT_FALSE(Scripted::overrun);
        return reads;
    }

    TProbDist m_Scores{{255, 1.0}};  // error probability 10^-25.5: never an error
    TProbDist m_Depths;
    CDataGenerator m_Gen;
    CFSNeutral m_Neutral = Neutral("0.01");
    xmlpp::Element* m_Root = nullptr;
    std::unique_ptr<xmlpp::Document> m_Doc;
    std::vector<Column> m_Cols;
};

TEST_F(DataGenerator, SiteCountsPerDepthAndMinorCountRoundHalvesToEven) {
    const CFSNeutral theta02 = Neutral("0.2");
    const CFixedSpectrum fixed({{3, {0.25, 0.35, 0.4}}, {2, {0.05, 0.95}}});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const CFreqSpectrum* model;
        TProbDist depths;
        unsigned int numSites;
        bool exact;
        std::vector<std::pair<int, std::string>> want;
    };
    const Case cases[] = {
        // Depth 4, theta 0.01: 0.98167, 0.01, 0.005, 0.00333 -> 10, 0, 0, 0.
        {&m_Neutral, {{4, 1.0}}, 10, true, {{10, "rrrr"}}},
        // theta 0.2, depth 3: 0.7, 0.2, 0.1 -> 70, 20, 10, the first j reads
        // carrying the minor allele.
        {&theta02, {{3, 1.0}}, 100, true, {{70, "rrr"}, {20, "mrr"}, {10, "mmr"}}},
        // 2.5 -> 2, 3.5 -> 4, 4.0 -> 4 sites of depth 3; 0.5 -> 0, 9.5 -> 10
        // sites of depth 2.
        {&fixed, {{3, 0.5}, {2, 0.5}}, 20, true, {{2, "rrr"}, {4, "mrr"}, {4, "mmr"}, {10, "mr"}}},
        // 2.5 -> 2 sites of depth 2, 7.5 -> 8 of depth 3, in that order.
        {&m_Neutral, {{2, 0.25}, {3, 0.75}}, 10, false, {{2, "rr"}, {8, "rrr"}}},
        {&m_Neutral, {{2, 0.25}, {3, 0.75}}, 10, true, {{2, "rr"}, {8, "rrr"}}},
        // Negative, NaN and below-one-site shares give no sites.
        {&m_Neutral, {{2, -0.5}, {3, nan}, {4, 0.04}, {5, 0.5}}, 10, false, {{5, "rrrrr"}}},
        {&m_Neutral, {{2, -0.5}, {3, nan}, {4, 0.04}, {5, 0.5}}, 10, true, {{5, "rrrrr"}}},
        // Exact mode has no minor count to draw at depth 0 and gives no site.
        {&m_Neutral, {{0, 0.5}, {3, 0.5}}, 4, true, {{2, "rrr"}}},
        {&m_Neutral, {}, 100, false, {}},
        {&m_Neutral, {{4, 1.0}}, 0, false, {}},
    };
    for (const Case& c : cases) {
        m_Depths = c.depths;
        m_Gen.m_Exact = c.exact;
        auto rng = simtest::MakeScriptedRng(std::vector<double>(1000, 0.5));
        const auto want = Expand(c.want);
        EXPECT_EQ(Run(c.numSites, *c.model, rng.get()), want)
            << c.numSites << " sites, exact " << c.exact;
        EXPECT_EQ(m_Gen.m_NumColumns, static_cast<int>(want.size()));
        // Per site: a number for the minor count unless exact, then per read
        // a score and an error decision.
        std::size_t draws = c.exact ? 0 : want.size();
        for (std::size_t i = 0; i < m_Cols.size(); ++i) {
            EXPECT_EQ(m_Cols[i].pos, std::to_string(i + 1));
            draws += 2 * m_Cols[i].reads.size();
        }
        EXPECT_EQ(Scripted::next, draws) << c.numSites << " sites, exact " << c.exact;
    }
}

TEST_F(DataGenerator, StochasticSiteUsesOneNumberForTheCountThenScoresThenErrors) {
    // Depth 2, unfolded theta 0.01: (0, 0.99), (1, 0.01).
    m_Scores = {{10, 0.5}, {20, 0.5}};
    EXPECT_EQ(RunScripted(2, 1,
                          {
                              0.999,  // minor count 1
                              0.1,    // read 0: score 10, error probability 0.1
                              0.9,    // read 1: score 20, error probability 0.01
                              0.5,    // read 0: no error, shows the minor allele
                              0.005,  // read 1: error in [e/3, 2e/3): base 2, kept as written
                          }),
              (std::vector<std::string>{"mA"}));
    EXPECT_EQ(m_Cols.at(0).scores, (std::vector<std::string>{"10", "20"}));
}

TEST_F(DataGenerator, AttributesAreWrittenScoreThenClassThenError) {
    m_Scores = {{0, 1.0}};
    RunScripted(1, 1, {0.0, 0.5, 0.1});  // count 0; score 0; error -> base 1
    const auto* col = dynamic_cast<const xmlpp::Element*>(m_Root->get_children("Column").front());
    const auto* chr = dynamic_cast<const xmlpp::Element*>(col->get_children("Chr").front());
    std::vector<std::string> names;
    for (const auto* a : chr->get_attributes()) {
        names.push_back(a->get_name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"score", "minor", "error"}));
    EXPECT_EQ(col->get_attributes().front()->get_name(), "pos");
}

TEST_F(DataGenerator, ErroneousReadsAreLabelledByTheFirstNonReferenceBasePresent) {
    using Reads = std::vector<std::string>;
    // True count 0; two reads turn into base 2, which becomes the minor
    // allele; the score-40 read stays reference.
    m_Scores = {{0, 0.5}, {40, 0.5}};
    EXPECT_EQ(RunScripted(3, 1, {0.0, 0.1, 0.1, 0.9, 0.5, 0.4, 0.5}), Reads{"MMr"});
    // Site 1 shows bases 1, 2, 3 and is kept; site 2 follows with three reads
    // turned into the other allele.
    m_Scores = {{0, 1.0}};
    EXPECT_EQ(
        RunScripted(3, 2, {0.0, 0.5, 0.5, 0.5, 0.1, 0.5, 0.9, 0.0, 0.5, 0.5, 0.5, 0.1, 0.2, 0.3}),
        (Reads{"MAB", "MMM"}));
    // True count 1, every read erroneous: with -b the minor read shows the
    // reference and the reference read the minor allele, whatever u is.
    m_Gen.m_Biallelic = true;
    EXPECT_EQ(RunScripted(2, 1, {0.999, 0.5, 0.5, 0.9, 0.9}), Reads{"RM"});
}

TEST_F(DataGenerator, BiallelicRunNeverWritesOther) {
    m_Depths = {{5, 0.5}, {12, 0.5}};
    m_Scores = {{0, 0.3}, {3, 0.3}, {30, 0.4}};
    m_Gen.m_Biallelic = true;
    auto rng = simtest::MakeMtRng(11);
    const auto cols = Run(400, m_Neutral, rng.get());
    ASSERT_EQ(cols.size(), 400u);
    int errors = 0;
    for (const auto& reads : cols) {
        EXPECT_EQ(reads.find_first_not_of("rmRM"), std::string::npos) << reads;
        errors += static_cast<int>(std::count_if(reads.begin(), reads.end(), ::isupper));
    }
    EXPECT_GT(errors, 1000);  // the run did exercise errors
}

TEST_F(DataGenerator, EveryColumnHasAsManyReadsAsItsDepthAndMinorReadsComeFirst) {
    m_Depths = {{1, 0.1}, {4, 0.2}, {7, 0.3}, {15, 0.4}};
    CFSGrowth growth;
    growth.SetParams(std::string("0.1 2"));
    growth.SetFolded(false);
    auto rng = simtest::MakeMtRng(5);
    Run(1000, growth, rng.get());
    std::map<std::size_t, int> depths;
    int polymorphic = 0;
    for (const auto& c : m_Cols) {
        ++depths[c.reads.size()];
        // No errors, so the written minor reads are the true ones.
        EXPECT_EQ(c.reads.find_first_not_of('r', c.reads.find_first_not_of('m')), std::string::npos)
            << c.reads;
        EXPECT_EQ(c.scores, std::vector<std::string>(c.reads.size(), "255"));
        polymorphic += c.reads[0] == 'm';
    }
    EXPECT_EQ(depths, (std::map<std::size_t, int>{{1, 100}, {4, 200}, {7, 300}, {15, 400}}));
    EXPECT_GT(polymorphic, 20);
}

TEST_F(DataGenerator, ImpossibleDrawsAreNamedErrors) {
    auto errorOf = [this](TProbDist depths, TProbDist scores, unsigned int numSites) {
        m_Depths = std::move(depths);
        m_Scores = std::move(scores);
        auto rng = simtest::MakeMtRng(1);
        return simtest::RuntimeErrorOf([&] { Run(numSites, m_Neutral, rng.get()); });
    };
    EXPECT_EQ(errorOf({{3, 1.0}}, {}, 5),
              "Cannot draw a value: the score distribution (file 'scores.dat') is empty.");
    EXPECT_EQ(errorOf({{0, 0.5}, {3, 0.5}}, {{40, 1.0}}, 4),
              "Cannot draw a value: the distribution of minor-allele counts at depth 0 is empty.");
    EXPECT_EQ(errorOf({{1, 1.0}}, {{256, 1.0}}, 1),
              "CDataGenerator: score 256 of the score distribution (file 'scores.dat') is above "
              "255, the largest score a document can hold.");
    EXPECT_EQ(errorOf({{3, 1e300}}, {{40, 1.0}}, 10),
              "CDataGenerator: depth 3 asks for 1e+301 sites, more than can be generated.");
}

// The coalescent branch reads its site table from ./ms2spectrum.pl and takes
// no number for a minor count.
TEST_F(DataGenerator, CoalescentBranchTruncatesTheScriptSharesAndPassesTheMeanDepth) {
    simtest::ScratchDir dir;
    CFSms ms;
    ms.SetParams(std::string("0.01 0.05 0"));
    ms.SetFolded(false);
    m_Depths = {{10, 0.5}, {15, 0.5}};  // mean 12.5
    const std::pair<const char*, std::vector<std::pair<int, std::string>>> cases[] = {
        // 5 sites with no minor read, 1.9 -> 1 site with one, 0.5 -> none.
        {"echo 3 0.5 0.19 0.05\n", {{5, "rrr"}, {1, "mrr"}}},
        // Depths ascend; a record of depth 0 is skipped; only the first
        // record of depth 2 counts; a negative share gives no sites.
        {"echo 2 0.3 0.2\necho 0\necho 1 0.1\necho 2 0.1 0.1\necho 3 -0.4 0.1 0\n",
         {{1, "r"}, {3, "rr"}, {2, "mr"}, {1, "mrr"}}},
        {"exit 0\n", {}},
    };
    for (const auto& [script, runs] : cases) {
        simtest::WriteFixtureScript("echo \"$@\" > args.txt\n" + std::string(script));
        auto rng = simtest::MakeScriptedRng(std::vector<double>(100, 0.5));
        std::string err;
        std::vector<std::string> got;
        {
            simtest::StderrCapture capture(err);
            got = Run(10, ms, rng.get());
        }
        EXPECT_EQ(simtest::ReadFile("args.txt"), "-d 12.5 -n 10 -t 0.01 -r 0 -g 0.05\n");
        const auto want = Expand(runs);
        EXPECT_EQ(got, want) << script;
        std::size_t reads = 0;
        for (const auto& s : want) {
            reads += s.size();
        }
        EXPECT_EQ(Scripted::next, 2 * reads) << script;
        EXPECT_EQ(err.find("no sites are generated") != std::string::npos, want.empty()) << err;
    }
}

}  // namespace
