// qualscan as a whole: the same numbers from alignments, from qualpileup's
// document of them and from samtools' pileup text of them; qualfit's
// likelihood and fit on simulated data sets; windows whose likelihoods add up
// to the whole; bad input through the program.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "base/warnings.hpp"
#include "common/options.hpp"
#include "engine/batch_tabulator.hpp"
#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "estimator/fsmaximizer.hpp"
#include "estimator/qscores.hpp"
#include "io/xml_reader.hpp"
#include "model/tests/scan_fixture.hpp"
#include "scan/scan_options.hpp"
#include "scan/scan_run.hpp"
#include "simulator/simdriver.hpp"
#include "spectrum/freqspec.hpp"
#include "windows/windows.hpp"

namespace {

using scanfix::BinDir;
using scanfix::ReadFile;

class CQualscanTest : public scanfix::CScratchTest {};

std::vector<std::vector<std::string>> Rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream l(line);
        for (std::string f; std::getline(l, f, '\t');) {
            fields.push_back(f);
        }
        rows.push_back(fields);
    }
    return rows;
}

// The one contig of scripts/make_bench_bam, and its length below.
constexpr long kLength = 20000;

TEST_F(CQualscanTest, AlignmentsTheirDocumentAndTheirPileupTextGiveTheSameNumbers) {
    // About 15x of uniform qualities 2..41 with polymorphic sites, low
    // mapping qualities and duplicates; the reference names the ancestral
    // base, so --unfolded applies to every input.
    ASSERT_EQ(Run("'" + scanfix::SourceDir() + "/scripts/make_bench_bam' 3000 " +
                  std::to_string(kLength) + " x.bam")
                  .status,
              0);
    const SCmd doc = Run("'" + BinDir() + "/qualpileup' -P -f x.fa -o x.xml x.bam");
    ASSERT_EQ(doc.status, 0) << doc.err;
    const SCmd text =
        Run("samtools mpileup -B -Q 0 -q 20 -d 0 --ff UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY -f "
            "x.fa x.bam >x.pileup");
    ASSERT_EQ(text.status, 0) << text.err;

    const std::string inputs[] = {"-f x.fa x.bam", "-f x.fa -t 2 x.bam", "--contig chrB x.xml",
                                  "x.pileup"};
    for (const std::string options :
         {"", "--unfolded", "--windows 2000 -w w.tsv", "--windows 2000:700 -w w.tsv --unfolded",
          "--model growth --level 0.8"}) {
        SCOPED_TRACE(options);
        std::string table, windows;
        for (const std::string& input : inputs) {
            SCOPED_TRACE(input);
            std::remove(Path("w.tsv").c_str());
            const SCmd r = Run(m_Qualscan + options + " " + input);
            ASSERT_EQ(r.status, 0) << r.err;
            if (table.empty()) {
                // The first run, from the alignments, sets the numbers;
                // samtools counts the sites and reads.
                table = r.out;
                windows = ReadFile(Path("w.tsv"));
                const auto rows = Rows(table);
                ASSERT_GE(rows.size(), 2u);
                ASSERT_EQ(rows[1].size(), 12u);
                EXPECT_EQ(rows[1][10] + " " + rows[1][11] + "\n",
                          Run("awk '{ s += $4 } END { print NR, s }' x.pileup").out);
                if (options.find("--windows 2000 ") != std::string::npos) {
                    EXPECT_EQ(Rows(windows).size(), 2 + 10u);
                }
                continue;
            }
            EXPECT_EQ(r.out, table);
            if (options.find("2000:700") == std::string::npos ||
                input.find(".bam") != std::string::npos) {
                EXPECT_EQ(ReadFile(Path("w.tsv")), windows);
                continue;
            }
            // Only the alignments know the contig's length: windows that
            // reach past it end there, and elsewhere run their full size.
            const auto want = Rows(windows), got = Rows(ReadFile(Path("w.tsv")));
            ASSERT_EQ(got.size(), want.size());
            ASSERT_EQ(want.size(), 2 + 29u);  // starts 0, 700, ... 19600
            int clipped = 0;
            for (std::size_t i = 0; i < want.size(); ++i) {
                std::vector<std::string> fields = got[i];
                if (i > 1 && std::stol(fields[1]) + 2000 > kLength) {
                    EXPECT_EQ(std::stol(fields[2]), std::stol(fields[1]) + 2000);
                    fields[2] = std::to_string(kLength);
                    ++clipped;
                }
                EXPECT_EQ(fields, want[i]) << "window " << i;
            }
            EXPECT_EQ(clipped, 3);
        }
    }
}

// A data set as qualgen simulates it with the examples' score and depth
// distributions, from an explicit seed.
std::string Simulate(const std::string& model, const std::string& params, unsigned sites,
                     unsigned long seed) {
    const std::string examples = scanfix::SourceDir() + "/examples/";
    const std::string scores = examples + "score_dist.dat", depths = examples + "depth_dist.dat";
    const std::string n = std::to_string(sites);
    TOptionMap opts{{'f', model.c_str()},
                    {'p', params.c_str()},
                    {'n', n.c_str()},
                    {'s', scores.c_str()},
                    {'d', depths.c_str()}};
    std::ostringstream out;
    RunSimulator(opts, seed, out);
    return out.str();
}

// The document read, tabulated and encoded by qualscan's library; with
// windows, every encoded site is passed on as the program passes it.
CSiteStore Store(const std::string& path, const SSiteOptions& options,
                 CWindowStream<SWindowSite>* windows = nullptr) {
    CXmlSiteReader reader(path, options.folded);
    CSiteStore store(options);
    CBatchTabulator tabulator(reader, options.folded, nullptr, CBatchTabulator::kDefaultBatch,
                              &options);
    if (windows) {
        windows->BeginContig(0, 0, -1);
    }
    for (;;) {
        const STabulatedBatch batch = tabulator.NextBatch();
        if (batch.m_Count == 0) {
            break;
        }
        store.Append(*batch.m_Encoded);
        for (const SEncodedSite& s : batch.m_Encoded->sites) {
            if (windows) {
                SWindowSite w;
                w.m_Pos = s.pos;
                w.m_A = s.neutralA;
                w.m_B = s.neutralB;
                w.m_LogScale = s.constant;
                w.m_Reads = static_cast<std::uint32_t>(s.reads);
                windows->AddSite(w);
            }
        }
    }
    if (windows) {
        windows->EndContig();
    }
    return store;
}

TEST_F(CQualscanTest, LikelihoodAndNeutralFitAgreeWithQualfit) {
    struct SSet {
        std::string model, params;
        unsigned long seed;
    };
    int compared = 0;
    // With the examples' distributions, a qualgen data set of 3000 sites
    // always has sites too deep for qualfit's subset rules; of 1500 sites,
    // a few seeds in ten have none.
    for (const SSet& set : {SSet{"neutral", "0.01", 3}, SSet{"growth", "0.02 5", 8}}) {
        std::vector<std::string> warnings;
        CScopedWarningSink sink([&](const std::string& line) { warnings.push_back(line); });
        const std::string doc = Simulate(set.model, set.params, 1500, set.seed);
        const std::string path = Write(set.model + ".xml", doc);
        for (bool folded : {true, false}) {
            SCOPED_TRACE(set.model + (folded ? ", folded" : ", unfolded (-a)"));
            // qualfit -a: the mode is set before loading, as its driver does.
            CQScores data;
            data.SetUseAll(!folded);
            std::istringstream in(doc);
            data.LoadFromStream(in);
            // Where qualfit's subset rules cut a table, the two differ by
            // design; these data sets must have none.
            ASSERT_TRUE(warnings.empty()) << warnings.front();
            SSiteOptions options;
            options.folded = folded;
            const CSiteStore store = Store(path, options);
            ASSERT_EQ(store.GetSites(), data.GetColumns().size());

            data.SetSpectrum(new CFSNeutral);
            data.GetSpectrum().SetFolded(folded);
            const CPriorRows neutral = CPriorRows::Neutral(store);
            for (double theta : {0.002, 0.01, 0.021, 0.06}) {
                const double want = data.GetLogLike({{theta, true}});
                const double got = LogLikelihood(store, neutral, theta, nullptr);
                EXPECT_NEAR(got, want, 1e-9 * std::fabs(want)) << "theta " << theta;
                ++compared;
            }
            data.SetSpectrum(new CFSGrowth);
            data.GetSpectrum().SetFolded(folded);
            for (double g : {1e-3, 0.7, 5.0, 60.0, 2000.0}) {
                const CPriorRows growth = CPriorRows::Growth(store, g);
                for (double theta : {0.004, 0.02, 0.05}) {
                    const double want = data.GetLogLike({{theta, true}, {g, true}});
                    const double got = LogLikelihood(store, growth, theta, nullptr);
                    EXPECT_NEAR(got, want, 1e-9 * std::fabs(want))
                        << "theta " << theta << ", g " << g;
                    ++compared;
                }
            }

            // qualfit -f neutral -p: from theta 0.01 until the simplex is
            // smaller than its tolerance.
            data.SetSpectrum(new CFSNeutral);
            data.GetSpectrum().SetFolded(folded);
            CQScores::CFSMaximizer fit(&data);
            ASSERT_TRUE(fit.IsConverged());
            const SFitResult scan = FitNeutral(store, SFitOptions(), nullptr);
            EXPECT_NEAR(scan.theta, data.GetSpectrum().GetParam(0), CGSLSimplex::kSizeTolerance);
            // The simplex stops near the top; the engine finds the top.
            const double simplexTop = data.GetLogLike(data.GetSpectrum().GetParams());
            EXPECT_GE(scan.logLik, simplexTop - 1e-9 * std::fabs(simplexTop));
        }
    }
    EXPECT_EQ(compared, 2 * 2 * (4 + 15));
}

TEST_F(CQualscanTest, WindowLikelihoodsAddUpToTheWholeRegion) {
    const std::string path = Write("sim.xml", Simulate("neutral", "0.02", 3000, 5));
    for (int pool : {0, 20}) {
        for (bool folded : {true, false}) {
            SCOPED_TRACE("pool " + std::to_string(pool) + (folded ? " folded" : " unfolded"));
            SSiteOptions options;
            options.folded = folded;
            options.poolSize = pool;
            // Tiling windows of a size that does not divide the positions.
            std::vector<std::vector<SWindowSite>> windows;
            std::int64_t nextStart = 0;
            CWindowStream<SWindowSite> stream(337, 337, [&](const SWindowSpan<SWindowSite>& w) {
                EXPECT_EQ(w.m_Start, nextStart);
                nextStart = w.m_End;
                windows.emplace_back(w.m_First, w.m_First + w.m_Count);
            });
            const CSiteStore store = Store(path, options, &stream);
            ASSERT_EQ(windows.size(), 9u);  // 3000 positions
            const CPriorRows rows = CPriorRows::Neutral(store);
            for (double theta : {0.0, 0.005, 0.02, 0.07}) {
                double sum = 0.0;
                std::uint64_t sites = 0;
                for (const std::vector<SWindowSite>& w : windows) {
                    double window = 0.0;
                    for (const SWindowSite& s : w) {
                        window += s.m_LogScale + std::log(s.m_A + theta * s.m_B);
                    }
                    sum += window;
                    sites += w.size();
                }
                EXPECT_EQ(sites, store.GetSites());
                const double whole = LogLikelihood(store, rows, theta, nullptr);
                EXPECT_NEAR(sum, whole, 1e-12 * std::fabs(whole)) << "theta " << theta;
            }
        }
    }
}

// Pileup text of 1200 positions of ten Q40 reads, all of one base but at
// the positions from varyFrom on, which have five of each.
std::string BlocksPileup(int varyFrom) {
    std::string text;
    for (int pos = 1; pos <= 1200; ++pos) {
        text += "c1\t" + std::to_string(pos) + "\tA\t10\t" +
                (pos >= varyFrom ? std::string(".....CCCCC") : std::string(10, '.')) + "\t" +
                std::string(10, 'I') + "\n";
    }
    return text;
}

TEST_F(CQualscanTest, LevelProfilesAndResamplesWithoutAnEstimateAreReportedAsSuch) {
    // Nothing varies: theta is 0 whatever the growth rate, which is NA.
    Write("quiet.pileup", BlocksPileup(100000));
    SCmd r = Run(m_Qualscan + "quiet.pileup");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<std::string>> rows = Rows(r.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][0], "growth");
    EXPECT_EQ(rows[2][1], "0");
    EXPECT_EQ(rows[2][4], "NA") << r.out;
    EXPECT_EQ(rows[2][8], "0");
    EXPECT_EQ(rows[2][9], "1");
    // Only the last of 30 blocks varies: a resample leaves it out with
    // probability (29/30)^30 = 0.362 and then has no growth estimate; of
    // 200, 72 +- 27 (4 standard deviations). The summary line counts them.
    Write("last.pileup", BlocksPileup(1161));
    r = Run(m_Qualscan + "--ci bootstrap --bootstrap 200 --block 40 last.pileup");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tail =
        "200 bootstrap resamples, left out of the intervals for want of an "
        "estimate: 0 of the neutral theta, ";
    const std::size_t at = r.err.find(tail);
    ASSERT_NE(at, std::string::npos) << r.err;
    const int failed = std::atoi(r.err.c_str() + at + tail.size());
    EXPECT_NEAR(failed, 72, 27) << r.err;
    EXPECT_NE(r.err.find(" of the growth rate", at), std::string::npos) << r.err;
    rows = Rows(r.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NE(rows[2][5], "NA");  // the resamples with an estimate give the ends
    EXPECT_NE(rows[2][6], "NA");
}

TEST_F(CQualscanTest, BadInputEndsWithStatusOneAndAMessageNamingIt) {
    const std::string good = "  <Column pos=\"7\">\n    <Chr score=\"30\"/>\n  </Column>\n";
    Write("good.xml", scanfix::Document(good));
    Write("pos.xml", scanfix::Document(good + "  <Column pos=\"12abc\">\n  </Column>\n"));
    Write("score.xml", scanfix::Document(good + "  <Column pos=\"8\">\n    <Chr score=\"30\"/>\n"
                                                "    <Chr score=\"256\"/>\n  </Column>\n"));
    // A document that names its contig, then goes back without naming
    // another (a document without names would start a new contig there).
    Write("two.xml",
          scanfix::Document(
              std::string("  <Column pos=\"7\" contig=\"c1\">\n    <Chr score=\"30\"/>\n  ") +
              "</Column>\n  <Column pos=\"9\">\n    <Chr score=\"30\"/>\n  </Column>\n" +
              "  <Column pos=\"2\">\n    <Chr score=\"30\"/>\n  </Column>\n"));
    Write("zero.xml", scanfix::ReadFile(scanfix::SourceDir() +
                                        "/fuzz/regression/xml_reader_fuzz/11_zero_table.xml"));
    const std::string help = "\nTry 'qualscan --help' for the options.\n";
    struct SCase {
        std::string args, message;
    };
    const SCase cases[] = {
        {"--windows 0 -w w.tsv good.xml",
         "Invalid value '0' for --windows (size): expected an integer from 1 to 1099511627776." +
             help},
        {"--windows 10:20 -w w.tsv good.xml",
         "Invalid value '10:20' for --windows: the step 20 is larger than the window 10, so "
         "positions between windows would not count." +
             help},
        {"--pool-size 1 good.xml",
         "Invalid value '1' for --pool-size: expected an integer from 2 to 100000." + help},
        {"--level 0 good.xml",
         "Invalid value '0' for --level: expected a number between 0 and 1 (exclusive), such as "
         "0.95." +
             help},
        {"--level 1.5 good.xml",
         "Invalid value '1.5' for --level: expected a number between 0 and 1 (exclusive), such "
         "as 0.95." +
             help},
        {"--windows 1000 good.xml",
         "--windows needs -w/--windows-file FILE for the windows." + help},
        {"missing.bam", "'missing.bam': cannot be opened: No such file or directory.\n"},
        // The encoder refuses the stored table; the run names the file and
        // the 1-based position.
        {"zero.xml",
         "'zero.xml', .:5: the observation table gives the site probability 0 under every "
         "spectrum.\n"},
        {"pos.xml",
         "'pos.xml', line 7: the pos of Column, \"12abc\", is not a whole number from 1 to "
         "9223372036854775807.\n"},
        {"score.xml",
         "'score.xml', line 9: the score of Chr, \"256\", is not a whole number from 0 to 255.\n"},
        {"two.xml --windows 100 -w w.tsv --windows-only",
         "'two.xml', line 10, c1:2: comes after c1:9; the sites of a data set must be in genome "
         "order, each position once (qualpileup names each contig on its first Column).\n"},
        {"two.xml",
         "'two.xml', line 10, c1:2: comes after c1:9; the sites of a data set must be in genome "
         "order, each position once (qualpileup names each contig on its first Column).\n"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.args);
        // --windows-only writes no table, and refuses -o.
        const bool windowsOnly = c.args.find("--windows-only") != std::string::npos;
        const SCmd r = Run(m_Qualscan + (windowsOnly ? "" : "-o t.tsv ") + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qualscan: error: " + c.message);
        EXPECT_EQ(r.out, "");
        // Nothing is left behind as if it were a result.
        EXPECT_NE(Run("test -e t.tsv || test -e w.tsv").status, 0);
    }
    // The same document without the fault is read.
    const SCmd r = Run(m_Qualscan + "good.xml");
    EXPECT_EQ(r.status, 0) << r.err;
}

// A fault found where only the position is known (the encoder refuses a
// stored table) is placed in the input by the run, whether the tables are
// made on the reading thread or on the pool's.
TEST_F(CQualscanTest, EncoderFaultsNameTheFileTheContigAndThe1BasedPosition) {
    const std::string path =
        Write("zero.xml", scanfix::ReadFile(scanfix::SourceDir() +
                                            "/fuzz/regression/xml_reader_fuzz/11_zero_table.xml"));
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        SScanOptions opts;
        opts.m_Pileup.m_Inputs = {path};
        opts.m_Threads = threads;
        opts.m_Contig = "chrZ";
        std::ostringstream out;
        try {
            RunQualScan(opts, out, nullptr);
            ADD_FAILURE() << "the table was taken";
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), EInputError::eRange);
            EXPECT_EQ(e.Where().m_File, path);
            EXPECT_EQ(e.Where().m_Contig, "chrZ");
            EXPECT_EQ(e.Where().m_Pos, 5);
        }
    }
}

}  // namespace
