#include "simulator/datagen.hpp"

#include <gtest/gtest.h>
#include <libxml++/libxml++.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "base/warnings.hpp"
#include "common/doc_writer.hpp"
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

    // The read letters of every column generated; the columns in m_Cols,
    // the document in m_Text.
    std::vector<std::string> Run(unsigned int numSites, const CFreqSpectrum& spectrum,
                                 gsl_rng* rng) {
        std::ostringstream out;
        CQualDocWriter writer(out, "test document");
        writer.Begin();
        m_Gen.m_Rng = rng;
        m_Gen.GenerateSites(numSites, spectrum, writer);
        writer.End();
        m_Text = out.str();
        m_Parser = std::make_unique<xmlpp::DomParser>();
        m_Parser->parse_memory(m_Text);
        m_Root = m_Parser->get_document()->get_root_node();
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
    std::string m_Text;
    std::unique_ptr<xmlpp::DomParser> m_Parser;
    xmlpp::Element* m_Root = nullptr;
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

TEST_F(DataGenerator, FarMoreSitesThanAskedForAreWarnedAboutWithTheirCause) {
    const CFixedSpectrum heavy({{2, {1.5, 1.5}}});
    CFSGrowth growth;
    growth.SetParams(std::string("10 5"));
    growth.SetFolded(false);
    const std::string exactCause =
        ", and with -e each minor count gets rint(probability x sites of "
        "its depth) sites.";
    struct Case {
        const CFreqSpectrum* model;
        TProbDist depths;
        unsigned int numSites;
        bool exact;
        std::string warning;  // "": none; "...": only its start is known
    };
    const Case cases[] = {
        {&m_Neutral,
         {{5, 255}},
         2,
         false,
         "Warning: 510 sites are generated for -n 2: the shares of the depth distribution sum to "
         "255."},
        {&m_Neutral,
         {{2, 2.2}},
         5,
         false,
         "Warning: 11 sites are generated for -n 5: the shares of the depth distribution sum to "
         "2.2."},
        {&heavy,
         {{2, 1.0}},
         10,
         true,
         "Warning: 30 sites are generated for -n 10: the Fixed model's probabilities at depth 2 "
         "sum to 3" +
             exactCause},
        {&heavy,
         {{2, 3.0}},
         10,
         true,
         "Warning: 90 sites are generated for -n 10: the shares of the depth distribution sum to "
         "3; the Fixed model's probabilities at depth 2 sum to 3" +
             exactCause},
        // The case: a growth theta of 10 spreads far more than one
        // site over the minor counts of every depth.
        {&growth, {{12, 1.0}}, 50, true, "...the Growth model's probabilities at depth 12 sum to "},
        // Twice -n is still within what rounding can give.
        {&m_Neutral, {{2, 2.0}}, 5, false, ""},
        {&heavy, {{2, 1.0}}, 10, false, ""},
        {&m_Neutral, {{4, 0.5}, {7, 0.5}}, 9, true, ""},
    };
    for (const Case& c : cases) {
        m_Depths = c.depths;
        m_Gen.m_Exact = c.exact;
        std::vector<std::string> warnings;
        auto rng = simtest::MakeMtRng(2);
        {
            CScopedWarningSink sink([&](const std::string& line) { warnings.push_back(line); });
            Run(c.numSites, *c.model, rng.get());
        }
        if (c.warning.empty()) {
            EXPECT_EQ(warnings, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u) << c.warning;
        if (c.warning.rfind("...", 0) == 0) {
            EXPECT_NE(warnings[0].find(c.warning.substr(3)), std::string::npos) << warnings[0];
            EXPECT_TRUE(simtest::EndsWith(warnings[0], exactCause)) << warnings[0];
        } else {
            EXPECT_EQ(warnings[0], c.warning);
        }
        // The count it gives is the count written.
        EXPECT_EQ(warnings[0].rfind("Warning: " + std::to_string(m_Cols.size()) + " sites are", 0),
                  0u)
            << warnings[0];
        EXPECT_GT(m_Cols.size(), 2 * c.numSites);
    }
}

TEST_F(DataGenerator, DataSetsThatCannotFitIntoMemoryAreRefusedBeforeAnythingIsDrawn) {
    const CFixedSpectrum halves({{2, {0.5, 0.5}}});
    constexpr std::uint64_t kKiB = 1024, kGiB = kKiB * kKiB * kKiB;
    struct Case {
        const CFreqSpectrum* model;
        TProbDist depths;
        unsigned int numSites;
        bool exact;
        std::uint64_t budget;
        const char* message;  // nullptr: the run fits
    };
    const Case cases[] = {
        // The depth: refused before the spectrum is evaluated at it,
        // whose memo row alone would need 48 bytes per minor count.
        {&m_Neutral,
         {{2147483647, 1.0}},
         1,
         false,
         kGiB,
         "CDataGenerator: with 1 site of depth 2147483647, the data set would take at least 156.0 "
         "GiB of memory, more than the 1.0 GiB available."},
        {&m_Neutral,
         {{2147483647, 1.0}},
         1,
         true,
         kGiB,
         "CDataGenerator: with sites of depth 2147483647, the data set would take at least 114.0 "
         "GiB of memory, more than the 1.0 GiB available."},
        // 1000 x 31 + 2000 x 21 + 2 x 57 bytes: 71.4 KiB.
        {&halves,
         {{2, 1.0}},
         1000,
         true,
         64 * kKiB,
         "CDataGenerator: the data set of 1000 sites and 2000 reads would take at least 71.4 KiB "
         "of memory, more than the 64.0 KiB available."},
        {&halves, {{2, 1.0}}, 1000, true, 72 * kKiB, nullptr},
        {&halves,
         {{2, 1.0}},
         1000,
         false,
         64 * kKiB,
         "CDataGenerator: with 1000 sites of depth 2, the data set would take at least 71.4 KiB "
         "of memory, more than the 64.0 KiB available."},
    };
    for (const Case& c : cases) {
        m_Depths = c.depths;
        m_Gen.m_Exact = c.exact;
        m_Gen.m_MemoryBudget = c.budget;
        auto rng = simtest::MakeScriptedRng(std::vector<double>(10000, 0.5));
        if (!c.message) {
            EXPECT_EQ(Run(c.numSites, *c.model, rng.get()).size(), c.numSites);
            // The bound is a lower one indeed.
            EXPECT_GE(m_Text.size(), 1000u * 31 + 2000 * 21);
            continue;
        }
        EXPECT_EQ(simtest::RuntimeErrorOf([&] { Run(c.numSites, *c.model, rng.get()); }),
                  c.message);
        EXPECT_EQ(Scripted::next, 0u) << c.message;
        EXPECT_EQ(m_Gen.m_NumColumns, 0) << c.message;
    }
}

TEST(AvailableMemory, IsBoundByTheProcessLimits) {
    const std::uint64_t machine = AvailableMemory();
    EXPECT_GT(machine, 64u << 20);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_DATA, &old), 0);
    rlimit lower = old;
    lower.rlim_cur = std::min<rlim_t>(old.rlim_cur, machine / 2);
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &lower), 0);
    const std::uint64_t limited = AvailableMemory();
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &old), 0);
    EXPECT_EQ(limited, lower.rlim_cur);
}

// The coalescent branch reads its site table from ./ms2spectrum.pl and takes
// no number for a minor count.
TEST_F(DataGenerator, CoalescentBranchTruncatesTheScriptSharesAndPassesTheMeanDepth) {
    simtest::ScratchDir dir;
    CFSms ms;
    ms.SetParams(std::string("0.01 0.05 0"));
    ms.SetFolded(false);
    m_Depths = {{10, 0.5}, {15, 0.5}};  // mean 12.5
    struct Case {
        const char* script;
        std::vector<std::pair<int, std::string>> runs;
        std::string err;
    };
    const Case cases[] = {
        // 5 sites with no minor read, 1.9 -> 1 site with one, 0.5 -> none.
        {"echo 3 0.5 0.19 0.05\n", {{5, "rrr"}, {1, "mrr"}}, ""},
        // Depths ascend; a record of depth 0 is skipped; only the first
        // record of depth 2 counts; a negative share gives no sites.
        {"echo 2 0.3 0.2\necho 0\necho 1 0.1\necho 2 0.1 0.1\necho 3 -0.4 0.1 0\n",
         {{1, "r"}, {3, "rr"}, {2, "mr"}, {1, "mrr"}},
         ""},
        {"echo 1 2.5\n",
         {{25, "r"}},
         "Warning: 25 sites are generated for -n 10: the shares of the coalescent table sum to "
         "2.5.\n"},
        {"exit 0\n",
         {},
         "Warning: './ms2spectrum.pl -d 12.5 -n 10 -t 0.01 -r 0 -g 0.05' gave no spectrum table "
         "(exit status 0); no sites are generated.\n"},
    };
    for (const Case& c : cases) {
        simtest::WriteFixtureScript("echo \"$@\" > args.txt\n" + std::string(c.script));
        auto rng = simtest::MakeScriptedRng(std::vector<double>(100, 0.5));
        std::string err;
        std::vector<std::string> got;
        {
            simtest::StderrCapture capture(err);
            got = Run(10, ms, rng.get());
        }
        EXPECT_EQ(simtest::ReadFile("args.txt"), "-d 12.5 -n 10 -t 0.01 -r 0 -g 0.05\n");
        const auto want = Expand(c.runs);
        EXPECT_EQ(got, want) << c.script;
        std::size_t reads = 0;
        for (const auto& s : want) {
            reads += s.size();
        }
        EXPECT_EQ(Scripted::next, 2 * reads) << c.script;
        EXPECT_EQ(err, c.err) << c.script;
    }
}

}  // namespace
