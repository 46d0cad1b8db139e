// Faults the pool programs once had, each on the input that showed it (the
// files of fst/tests/regression, or pools simulated here): every one either
// a refusal naming the file, or a sound result where a wrong one used to be
// written with exit status 0.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "fst/fst_options.hpp"
#include "fst/fst_run.hpp"
#include "pool/tests/program_test_util.hpp"
#include "poolsim/pool_sim.hpp"

namespace {

using pooltest::Exists;
using pooltest::kBin;
using pooltest::kSource;
using pooltest::Slurp;
using pooltest::Table;

struct SCmd {
    int status = -1;
    std::string out, err;
};

class PoolFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/pool_faults_test.XXXXXX";
        s_Dir = mkdtemp(pattern);
        // Three pools, two contigs, the first pool in two lanes.
        SPoolSimOptions o;
        o.m_Prefix = s_Dir + "/sim";
        o.m_Names = {"pool1", "pool2", "pool3"};
        o.m_PoolSizes = {20, 40, 30};
        o.m_Depths = {20, 20, 20};
        o.m_Lengths = {30000, 20000};
        o.m_Theta = 0.01;
        o.m_Fst = 0.15;
        o.m_ReadLength = 80;
        o.m_Lanes = 1;
        o.m_Seed = 7;
        RunPoolSim(o);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + s_Dir).c_str()); }

    // Runs command in the scratch folder with bash.
    static SCmd Run(const std::string& command) {
        const std::string out = s_Dir + "/cmd.out", err = s_Dir + "/cmd.err";
        const std::string full =
            "cd " + s_Dir + " && bash -c '" + command + "' >" + out + " 2>" + err;
        const int status = std::system(full.c_str());
        SCmd r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    static std::string Regression(const std::string& name) {
        return kSource + "/fst/tests/regression/" + name;
    }

    static std::string s_Dir;
};

std::string PoolFaults::s_Dir;

const std::string kFst = kBin + "/qualfst -P ";
const std::string kScan = kBin + "/qualscan -P ";

}  // namespace

// A file given twice, however spelled, would be read twice: every read
// counted twice (pi and F_ST moved, exit 0). Each program refuses it,
// naming the file; a copy of the file (other device or inode) is another
// file and is read.
TEST_F(PoolFaults, TheSameFileTwiceIsRefusedInEveryProgram) {
    const char* sheet =
        "name\tsize\tfiles\npool1\t20\tsim.pool1.bam,./sim.pool1.bam\n"
        "pool2\t40\tsim.pool2.bam\n";
    std::ofstream(s_Dir + "/dup.tsv") << sheet;
    const std::string cases[] = {
        kFst + "--pool-size 20,40 sim.pool1.bam,sim.pool1.bam sim.pool2.bam",
        kFst + "--pool-size 20,40 sim.pool1.bam ./sim.pool1.bam",
        kFst + "--pools dup.tsv",
        kScan + "--model neutral sim.pool1.bam sim.pool1.bam",
        kScan + "--model neutral sim.pool1.bam ../" + s_Dir.substr(s_Dir.rfind('/') + 1) +
            "/sim.pool1.bam",
    };
    for (const std::string& c : cases) {
        const SCmd r = Run(c);
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_NE(r.err.find("sim.pool1.bam'"), std::string::npos) << c << "\n" << r.err;
        EXPECT_NE(r.err.find("read twice"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c;
    }
    ASSERT_EQ(Run("cp sim.pool1.bam copy.bam && cp sim.pool1.bam.bai copy.bam.bai").status, 0);
    EXPECT_EQ(Run(kScan + "--model neutral --merge-samples sim.pool1.bam copy.bam").status, 0);
}

// Outputs that name an input's index, a prior, or an input are refused
// before anything is read or written; the index survives.
TEST_F(PoolFaults, OutputsNeverOverwriteAnIndexOrAPrior) {
    ASSERT_EQ(Run(kFst + "--pools sim.pools.tsv --sfs fold -o /dev/null").status, 0);
    const std::string fai = Slurp(s_Dir + "/sim.fa.fai");
    const std::string bai = Slurp(s_Dir + "/sim.pool1.bam.bai");
    const std::string prior = Slurp(s_Dir + "/fold.pool1.pool2.fs");
    ASSERT_FALSE(prior.empty());
    const std::string cases[] = {
        kFst + "--pools sim.pools.tsv -f sim.fa -o sim.fa.fai",
        kFst + "--pools sim.pools.tsv -o sim.pool1.bam.bai",
        kFst + "--pools sim.pools.tsv -o sim.pool1.bai",
        kFst + "--pools sim.pools.tsv --prior fold -o fold.pool1.pool2.fs",
        kFst + "--pools sim.pools.tsv --prior fold --windows 5000 -w fold.pool2.pool3.fs",
        kScan + "sim.pool1.bam -o sim.pool1.bam.bai",
        kScan + "-f sim.fa sim.pool1.bam -o sim.fa.fai",
    };
    for (const std::string& c : cases) {
        const SCmd r = Run(c);
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_NE(r.err.find(": error: '"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Slurp(s_Dir + "/sim.fa.fai"), fai);
    EXPECT_EQ(Slurp(s_Dir + "/sim.pool1.bam.bai"), bai);
    EXPECT_EQ(Slurp(s_Dir + "/fold.pool1.pool2.fs"), prior);
    EXPECT_FALSE(Exists(s_Dir + "/sim.pool1.bai"));
}

// One table of which options each input honours: on pileup text qualfst
// ignored -r, -q, --ff and -x where qualscan refused them. Both refuse
// them now, in the same words.
TEST_F(PoolFaults, OptionsPileupTextWouldIgnoreAreRefusedAlikeByEveryProgram) {
    const std::string text = Regression("two.pileup");
    for (const char* option : {"-r chr1:1-100", "-q 30", "--ff DUP", "-x", "-f sim.fa"}) {
        const SCmd fst = Run(kFst + "--pool-size 10 " + std::string(option) + " " + text);
        const SCmd scan = Run(kScan + "--model neutral " + std::string(option) + " " + text);
        EXPECT_EQ(fst.status, 1) << option;
        EXPECT_EQ(scan.status, 1) << option;
        // The first line after "PROGRAM: "; the second names each
        // program's --help.
        auto message = [](const std::string& err) {
            const std::string line = err.substr(0, err.find('\n'));
            return line.substr(line.find("error: "));
        };
        const std::string what = message(fst.err);
        EXPECT_EQ(what, message(scan.err)) << option;
        EXPECT_NE(what.find("does not apply to samtools mpileup text"), std::string::npos) << what;
    }
    // -Q and the depth limits apply to pileup text.
    EXPECT_EQ(Run(kFst + "--pool-size 10 -Q 20 -d 2 -D 100 " + text).status, 0);
}

// One naming rule: without a sheet a pool is named after the SM of its
// files' read groups (qualpoolsim's pool1...), else after its first file;
// names with control characters or quotes are refused wherever they come
// from (a tab or a line break split the table's rows; NUL cut the
// spectrum files' names so that three pairs went to one file).
TEST_F(PoolFaults, PoolNamesFollowOneRuleAndNeverBreakATable) {
    const SCmd sm = Run(kFst + "--pool-size 20,40 sim.pool1.bam sim.pool2.bam");
    ASSERT_EQ(sm.status, 0) << sm.err;
    EXPECT_EQ(Table(sm.out)[1][0], "pool1");
    // Without read groups: the file's name.
    ASSERT_EQ(Run("samtools view -h sim.pool1.bam | grep -v ^@RG | sed \"s/\\tRG:Z:[^\\t]*//\" "
                  "| samtools view -b -o north.bam - && samtools index north.bam")
                  .status,
              0);
    const SCmd file = Run(kFst + "--pool-size 20,40 north.bam sim.pool2.bam");
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(Table(file.out)[1][0], "north");
    // A file name with a tab, a line break or a quote: refused, naming it.
    for (const char* bad : {"a\tb", "c\nd", "e\"f"}) {
        const std::string name = s_Dir + "/" + std::string(bad) + ".bam";
        ASSERT_EQ(std::system(("cp " + s_Dir + "/north.bam \"$(printf '%s' '" + name +
                               "')\" 2>/dev/null || true")
                                  .c_str()),
                  0);
        std::ifstream probe(name);
        if (!probe) {
            continue;  // the file system refuses the name itself
        }
        // In this process: a shell would read the name in its own way.
        std::vector<std::string> args = {
            "qualfst",        "-P", "--pool-size",           "20,40", "-o",
            s_Dir + "/t.tsv", name, s_Dir + "/sim.pool2.bam"};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        SFstOptions opts;
        std::ostringstream out;
        ASSERT_EQ(ParseFstArgs(static_cast<int>(argv.size()), argv.data(), opts, out),
                  EParseResult::eRun);
        try {
            RunQualFst(opts, out, nullptr);
            ADD_FAILURE() << "no error for " << name;
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), EInputError::eFormat);
            EXPECT_EQ(e.Where().m_File, name);
            EXPECT_NE(std::string(e.what()).find("holds a"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(Exists(s_Dir + "/t.tsv"));
    }
    // A sheet with NUL and CR in its names (found by fuzzing), and one with
    // a quote.
    for (const std::string& sheet :
         {Regression("sheet_fuzz_cr_in_name.tsv"), std::string("quote.tsv")}) {
        std::ofstream(s_Dir + "/quote.tsv")
            << "name\tsize\tfiles\nno\"rth\t20\tsim.pool1.bam\nsouth\t40\tsim.pool2.bam\n";
        const SCmd r = Run(kFst + "--pools " + sheet + " --sfs nulsfs");
        EXPECT_EQ(r.status, 1) << sheet;
        EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
        EXPECT_EQ(Run("ls nulsfs* 2>/dev/null").out, "");
    }
}

// Pileup text of three pools, one without reads past chr1:15000: every
// pair gets a row for every window, in one order, NA where it has no site
// (rows went missing and the pair order rotated).
TEST_F(PoolFaults, EveryPairHasARowForEveryWindowInOneOrder) {
    ASSERT_EQ(Run("samtools mpileup -B -Q 0 -q 0 sim.pool1.bam sim.pool2.bam sim.pool3.bam "
                  "2>/dev/null | awk -F\"\\t\" \"BEGIN{OFS=\\\"\\t\\\"} \\$1==\\\"chr1\\\" && "
                  "\\$2>15000 {\\$10=0; \\$11=\\\"*\\\"; \\$12=\\\"*\\\"} {print}\" > gap.txt")
                  .status,
              0);
    const SCmd r =
        Run(kFst + "--pool-size 20,40,30 gap.txt --windows 5000 -w gap.w.tsv -o gap.t.tsv");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = Table(Slurp(s_Dir + "/gap.w.tsv"));
    ASSERT_GT(rows.size(), 1u);
    const std::string pairs[3][2] = {{"gap.1", "gap.2"}, {"gap.1", "gap.3"}, {"gap.2", "gap.3"}};
    // Header, then window after window, each the three pairs in order.
    ASSERT_EQ((rows.size() - 1) % 3, 0u);
    const std::size_t windows = (rows.size() - 1) / 3;
    EXPECT_EQ(windows, 10u);  // 6 on chr1, 4 on chr2: all hold sites of pools 1 and 2
    for (std::size_t w = 0; w < windows; ++w) {
        for (std::size_t p = 0; p < 3; ++p) {
            const auto& row = rows[1 + 3 * w + p];
            EXPECT_EQ(row[3], pairs[p][0]) << w;
            EXPECT_EQ(row[4], pairs[p][1]) << w;
            EXPECT_EQ(row[0], rows[1 + 3 * w][0]);
            EXPECT_EQ(row[1], rows[1 + 3 * w][1]);
            const bool gap = row[0] == "chr1" && std::stol(row[1]) >= 15000 && p > 0;
            EXPECT_EQ(row[5] == "0", gap) << row[0] << ":" << row[1] << " " << p;
            EXPECT_EQ(row[9] == "NA", gap) << row[0] << ":" << row[1] << " " << p;
        }
    }
}

// A third allele was counted as the second: one pool A/C, the other A/G,
// looked alike (d_xy 0.05, F_ST -0.11). Such sites are left out and
// counted; the monomorphic rest stays.
TEST_F(PoolFaults, AThirdAlleleLeavesItsSiteOut) {
    const SCmd r = Run(kFst + "--pool-size 10 " + Regression("tri.pileup"));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto t = Table(r.out);
    EXPECT_EQ(t[1][2], "180");  // 200 sites, every tenth with a third allele
    EXPECT_LT(std::stod(t[1][5]), 1e-9);
    EXPECT_NE(r.err.find("20 sites with a third allele left out"), std::string::npos) << r.err;
}

// Priors that cannot be this run's: entries that overflow, a spectrum under
// which the sites are impossible (monomorphic mass only), spectra of other
// pools; all used to give NA everywhere with status 0. A spectrum of the
// pair written the other way round is read transposed.
TEST_F(PoolFaults, PriorsThatCannotHoldAreRefusedNamingTheFile) {
    ASSERT_EQ(Run(kFst + "--pools sim.pools.tsv --sfs good -o fit.tsv").status, 0);
    const std::string text = Slurp(s_Dir + "/good.pool1.pool2.fs");
    std::vector<std::string> lines;
    {
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) {
            lines.push_back(l);
        }
    }
    std::size_t head = 0;
    while (lines[head][0] == '#') {
        ++head;
    }
    std::istringstream entries(lines[head + 1]);
    std::vector<std::string> cells;
    for (std::string x; entries >> x;) {
        cells.push_back(x);
    }
    auto write = [&](const std::string& prefix, const std::vector<std::string>& c,
                     const std::string& dims) {
        for (const char* other : {".pool1.pool3.fs", ".pool2.pool3.fs"}) {
            Run("cp good" + std::string(other) + " " + prefix + other);
        }
        std::ofstream out(s_Dir + "/" + prefix + ".pool1.pool2.fs");
        out << dims << "\n";
        for (std::size_t i = 0; i < c.size(); ++i) {
            out << (i ? " " : "") << c[i];
        }
        out << "\n" << lines[head + 2] << "\n";
    };
    std::vector<std::string> huge = cells;
    huge[0] = huge[1] = huge[2] = "1e308";
    write("huge", huge, lines[head]);
    std::vector<std::string> mono(cells.size(), "0");
    mono[0] = "5";
    write("mono", mono, lines[head]);
    write("other", cells, "21 41 folded \"north\" \"south\"");
    for (const std::string& prefix : std::vector<std::string>{"huge", "mono", "other"}) {
        const SCmd r = Run(kFst + "--pools sim.pools.tsv --prior " + prefix + " -o p.tsv");
        EXPECT_EQ(r.status, 1) << prefix;
        EXPECT_NE(r.err.find(prefix + ".pool1.pool2.fs'"), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(s_Dir + "/p.tsv"));
    }
    // The pair's spectrum as (pool2, pool1): the same values as the file
    // of (pool1, pool2).
    std::vector<std::string> transposed(cells.size());
    for (unsigned j1 = 0; j1 <= 20; ++j1) {
        for (unsigned j2 = 0; j2 <= 40; ++j2) {
            transposed[j2 * 21 + j1] = cells[j1 * 41 + j2];
        }
    }
    write("swap", transposed, "41 21 folded \"pool2\" \"pool1\"");
    const SCmd a = Run(kFst + "--pools sim.pools.tsv --prior good");
    const SCmd b = Run(kFst + "--pools sim.pools.tsv --prior swap");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
}

// A pool without a read: a warning naming it, NA for its pairs, status 0.
TEST_F(PoolFaults, APoolWithoutReadsIsNamedInAWarning) {
    const SCmd r = Run(kFst + "--pool-size 10 " + Regression("zero.pileup"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("pool 'zero.2' has no site"), std::string::npos) << r.err;
    EXPECT_EQ(Table(r.out)[1][3], "NA");
}

// Fits on few sites ran to the pass limit, at a cost of about N^2 per pass
// (one site at --pool-size 1000: minutes). The passes now follow the data.
TEST_F(PoolFaults, AFitOnFewSitesStopsWhenItCannotMove) {
    for (const std::string& c : {"--pool-size 1000 " + Regression("slow_fit_1line.pileup"),
                                 "--pool-size 400 " + Regression("slow_fit_5lines.pileup")}) {
        const SCmd r = Run(kFst + c);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::size_t at = r.err.find(" passes over the sites");
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::size_t from = r.err.rfind(' ', at - 1) + 1;
        EXPECT_LT(std::stoi(r.err.substr(from, at - from)), 50) << r.err;
        EXPECT_EQ(r.err.find("stopped after"), std::string::npos) << r.err;
    }
}

// A pool with 65,536 reads at a site was dropped as "above -D" even with
// -D 0: the records hold any depth now.
TEST_F(PoolFaults, DeepSitesAreKeptWithoutADepthLimit) {
    {
        std::ofstream out(s_Dir + "/deep.txt");
        for (int pos = 1; pos <= 3; ++pos) {
            const int depth = pos == 2 ? 65536 : 30;
            out << "chr1\t" << pos << "\tA\t" << depth << '\t' << std::string(depth - 3, '.')
                << "CCC\t" << std::string(depth, 'I') << '\t' << 30 << '\t' << std::string(27, '.')
                << "CCC\t" << std::string(30, 'I') << '\n';
        }
    }
    const SCmd r = Run(kFst + "--pool-size 10 -D 0 deep.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Table(r.out)[1][2], "3");
    EXPECT_EQ(r.err.find("above -D"), std::string::npos) << r.err;
    const SCmd limited = Run(kFst + "--pool-size 10 -D 1000 deep.txt");
    EXPECT_EQ(Table(limited.out)[1][2], "2");
    EXPECT_NE(limited.err.find("1 above -D"), std::string::npos) << limited.err;
}

// Messages name pileup text once, in single quotes (it was quoted twice).
TEST_F(PoolFaults, MessagesQuoteAFileOnce) {
    const std::string text = Regression("quote_doubled.pileup");
    const SCmd r = Run(kFst + "--pool-size 10 " + text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("qualfst: error: '" + text + "', line 1", 0), 0u) << r.err;
}

// --matrix: every pair's F_ST and d_xy of the table, in square matrices
// with the pools' names, symmetric, F_ST 0 and d_xy NA on the diagonal.
TEST_F(PoolFaults, TheMatricesHoldTheTablesValues) {
    const SCmd r = Run(kFst + "--pools sim.pools.tsv --matrix mat.tsv");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto table = Table(r.out);
    const auto fst = Table(Slurp(s_Dir + "/mat.fst.tsv"));
    const auto dxy = Table(Slurp(s_Dir + "/mat.dxy.tsv"));
    const std::vector<std::string> names = {"pool", "pool1", "pool2", "pool3"};
    ASSERT_EQ(fst.size(), 4u);
    EXPECT_EQ(fst[0], names);
    EXPECT_EQ(dxy[0], names);
    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(fst[i][0], names[i]);
        EXPECT_EQ(fst[i][i], "0");
        EXPECT_EQ(dxy[i][i], "NA");
    }
    ASSERT_EQ(table.size(), 4u);
    for (std::size_t row = 1; row < table.size(); ++row) {
        const std::size_t a = std::stoul(table[row][0].substr(4));
        const std::size_t b = std::stoul(table[row][1].substr(4));
        EXPECT_EQ(fst[a][b], table[row][8]);
        EXPECT_EQ(fst[b][a], table[row][8]);
        EXPECT_EQ(dxy[a][b], table[row][5]);
        EXPECT_EQ(dxy[b][a], table[row][5]);
    }
}

// One pool sheet for every program: qualscan --pools takes qualfst's sheet
// and estimates every pool apart with its size, as a --per-sample run does
// on files whose read groups name the pools; the sheet's name wins over the
// files' (a file without read groups is the pool the sheet says). What the
// sheet gives is refused on the command line too.
TEST_F(PoolFaults, QualscanTakesThePoolSheet) {
    const SCmd sheet = Run(kScan + "--model neutral -f sim.fa --pools sim.pools.tsv");
    ASSERT_EQ(sheet.status, 0) << sheet.err;
    const SCmd bySm = Run(kScan +
                          "--model neutral -f sim.fa --per-sample --pool-size 20,40,30 "
                          "sim.pool1.bam sim.pool2.bam sim.pool3.bam");
    ASSERT_EQ(bySm.status, 0) << bySm.err;
    EXPECT_EQ(sheet.out, bySm.out);
    // Pool sizes matched by order are shown beside the names.
    EXPECT_NE(sheet.err.find("pool1 (pool of 20)"), std::string::npos) << sheet.err;
    // A pool of two files, one without read groups, renamed by the sheet.
    ASSERT_EQ(Run("samtools view -h sim.pool1.bam | grep -v ^@RG | sed \"s/\\tRG:Z:[^\\t]*//\" "
                  "| samtools view -b -o bare.bam - && samtools index bare.bam")
                  .status,
              0);
    std::ofstream(s_Dir + "/renamed.tsv") << "name\tsize\tfiles\nnorth\t20\tbare.bam\n"
                                          << "south\t40\tsim.pool2.bam\n";
    const SCmd renamed = Run(kScan + "--model neutral -f sim.fa --pools renamed.tsv");
    ASSERT_EQ(renamed.status, 0) << renamed.err;
    const auto a = Table(renamed.out), b = Table(bySm.out);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[1][0], "north");
    EXPECT_EQ(a[2][0], "south");
    for (std::size_t c = 1; c < a[1].size(); ++c) {
        EXPECT_EQ(a[1][c], b[1][c]) << c;
        EXPECT_EQ(a[2][c], b[2][c]) << c;
    }
    for (const char* bad :
         {"--pools sim.pools.tsv sim.pool1.bam", "--pools sim.pools.tsv --pool-size 20",
          "--pools sim.pools.tsv --merge-samples", "--pools sim.pools.tsv --samples a,b,c"}) {
        const SCmd r = Run(kScan + "--model neutral " + std::string(bad));
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("--pools"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// Windows of whole contigs and of BED lines, through the one window stream
// of windows/: a contig's window is its BED line covering the whole contig,
// row for row; a pair's contig windows add up to its genome-wide values;
// --min-sites turns a window of too few sites into NA, its row and sites
// kept.
TEST_F(PoolFaults, WindowsOfContigsAndBedLines) {
    const SCmd contig = Run(kFst + "--pools sim.pools.tsv --windows contig -w c.tsv");
    ASSERT_EQ(contig.status, 0) << contig.err;
    std::ofstream(s_Dir + "/whole.bed") << "chr1\t0\t30000\nchr2\t0\t20000\n";
    const SCmd bed = Run(kFst + "--pools sim.pools.tsv --windows-bed whole.bed -w b.tsv");
    ASSERT_EQ(bed.status, 0) << bed.err;
    EXPECT_EQ(Slurp(s_Dir + "/c.tsv"), Slurp(s_Dir + "/b.tsv"));
    const auto windows = Table(Slurp(s_Dir + "/c.tsv"));
    const auto table = Table(contig.out);
    ASSERT_EQ(windows.size(), 1u + 2 * 3);
    for (std::size_t p = 0; p < 3; ++p) {
        double sites = 0, pi1 = 0;
        for (std::size_t c = 0; c < 2; ++c) {
            const auto& row = windows[1 + 3 * c + p];
            EXPECT_EQ(row[3], table[1 + p][0]);
            sites += std::stod(row[5]);
            pi1 += std::stod(row[5]) * std::stod(row[6]);
        }
        EXPECT_EQ(sites, std::stod(table[1 + p][2]));
        EXPECT_NEAR(pi1 / sites, std::stod(table[1 + p][3]), 1e-8 * std::stod(table[1 + p][3]));
    }
    // A short BED line of 40 positions has fewer sites than 50.
    std::ofstream(s_Dir + "/genes.bed") << "chr1\t100\t140\nchr2\t0\t20000\n";
    const SCmd few =
        Run(kFst + "--pools sim.pools.tsv --windows-bed genes.bed --min-sites 50 -w g.tsv");
    ASSERT_EQ(few.status, 0) << few.err;
    const auto genes = Table(Slurp(s_Dir + "/g.tsv"));
    ASSERT_EQ(genes.size(), 1u + 2 * 3);
    EXPECT_EQ(genes[1][5], "40");
    EXPECT_EQ(genes[1][6], "NA");
    EXPECT_NE(genes[4][6], "NA");
}

// Pileup text of two pools at depth 1,400, whose first line is longer than
// the bytes an input's kind is told by, is qualfst's input like any other
// (it was refused as neither alignments nor pileup text); a ragged text (2
// columns, then 3) is refused naming its line, as every program does.
TEST_F(PoolFaults, LongAndRaggedPileupTextAsEveryProgramReadsIt) {
    const std::string io = kSource + "/io/tests/regression/";
    const SCmd longLine = Run(kFst + "--pool-size 20 " + io + "first_line_1400x2.pileup");
    EXPECT_EQ(longLine.status, 0) << longLine.err;
    EXPECT_EQ(Table(longLine.out).size(), 2u);
    const SCmd ragged =
        Run(kFst + "--pool-size 20 " + kSource + "/scan/tests/regression/ragged_min.pileup");
    EXPECT_EQ(ragged.status, 1);
    EXPECT_NE(ragged.err.find("line 2"), std::string::npos) << ragged.err;
    EXPECT_EQ(ragged.out, "");
}

// 200 pools of pileup text named all 19,900 pairs on the summary line
// (half a megabyte on standard error): beyond ten pairs the line gives
// their number and the range of their sites; fewer are named one by one.
TEST(PoolSummary, ManyPairsAreSummarisedNotListed) {
    SFstSummary s;
    SFstOptions opts;
    for (int i = 0; i < 12; ++i) {
        s.m_Names.push_back("p" + std::to_string(i));
    }
    for (std::uint64_t p = 0; p < 66; ++p) {
        s.m_PairSites.push_back(100 + (p * 37) % 66);  // 100..165, shuffled
    }
    const std::string many = FormatFstSummary(s, opts);
    EXPECT_NE(many.find("sites per pair (66 pairs): 100 to 165, median 133"), std::string::npos)
        << many;
    EXPECT_EQ(many.find("p0/p1"), std::string::npos) << many;

    s.m_Names.resize(3);
    s.m_PairSites = {5, 6, 7};
    const std::string few = FormatFstSummary(s, opts);
    EXPECT_NE(few.find("sites per pair: p0/p1 5, p0/p2 6, p1/p2 7"), std::string::npos) << few;
}
