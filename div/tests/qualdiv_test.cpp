// qualdiv as a program, on pools simulated by qualpoolsim: a golden case
// with the same results for every thread count and from pileup text,
// checks that rest on no stored number (Tajima's D of the table's own sums,
// windows that add up to the genome, the spectrum read back as the prior,
// pools whose counts the reads leave certain against the statistics of
// those counts, reads of errors alone), and the inputs it must refuse.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "div/div_options.hpp"
#include "div/div_run.hpp"
#include "pool/tests/program_test_util.hpp"
#include "poolsim/pool_sim.hpp"

namespace {

using pooltest::Exists;
using pooltest::ExpectTablesNear;
using pooltest::kBin;
using pooltest::kSource;
using pooltest::Shell;
using pooltest::Slurp;
using pooltest::Table;

double Harmonic(unsigned n) {
    double a = 0.0;
    for (unsigned i = 1; i < n; ++i) {
        a += 1.0 / i;
    }
    return a;
}

// Tajima's D (1989, his equations 3, 38 and 39) of a sample of n with the
// sum of pairwise differences over its sites pi and S segregating sites:
// written out here, apart from the library's.
double Tajima(unsigned n, double pi, double s) {
    double a1 = 0.0, a2 = 0.0;
    for (unsigned i = 1; i < n; ++i) {
        a1 += 1.0 / i;
        a2 += 1.0 / (static_cast<double>(i) * i);
    }
    const double nn = n;
    const double b1 = (nn + 1) / (3 * (nn - 1));
    const double b2 = 2 * (nn * nn + nn + 3) / (9 * nn * (nn - 1));
    const double c1 = b1 - 1 / a1;
    const double c2 = b2 - (nn + 2) / (a1 * nn) + a2 / (a1 * a1);
    return (pi - s / a1) / std::sqrt(c1 / a1 * s + c2 / (a1 * a1 + a2) * s * (s - 1));
}

class QualDiv : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/qualdiv_test.XXXXXX";
        s_Dir = mkdtemp(pattern);
        // Two contigs, pools of 12 and 40 chromosomes at depth 20, the
        // second in two lanes.
        SPoolSimOptions o;
        o.m_Prefix = s_Dir + "/d";
        o.m_Names = {"north", "south"};
        o.m_PoolSizes = {12, 40};
        o.m_Depths = {20, 20};
        o.m_Lengths = {20000, 10000};
        o.m_Theta = 0.01;
        o.m_Fst = 0.1;
        o.m_ReadLength = 80;
        o.m_Lanes = 2;
        o.m_Seed = 21;
        RunPoolSim(o);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + s_Dir).c_str()); }

    static std::string s_Dir;
};

std::string QualDiv::s_Dir;

}  // namespace

// The golden case: the table and the windows of the small simulated data
// set (reviewed against the simulator's truth when they were made), the
// same for -t 1 and -t 3 byte for byte, and from samtools mpileup text of
// the same reads.
TEST_F(QualDiv, GoldenCaseThreadsAndPileupText) {
    const std::string d = s_Dir + "/d";
    const std::string common = kBin + "/qualdiv -P --pools " + d + ".pools.tsv --windows 10000 -w ";
    ASSERT_EQ(Shell(common + d + ".w1 -o " + d + ".t1 --sfs " + d + ".s1 -t 1"), 0);
    ASSERT_EQ(Shell(common + d + ".w3 -o " + d + ".t3 --sfs " + d + ".s3 -t 3"), 0);
    EXPECT_EQ(Slurp(d + ".t1"), Slurp(d + ".t3"));
    EXPECT_EQ(Slurp(d + ".w1"), Slurp(d + ".w3"));
    EXPECT_EQ(Slurp(d + ".s1.north.fs"), Slurp(d + ".s3.north.fs"));
    EXPECT_EQ(Slurp(d + ".s1.south.fs"), Slurp(d + ".s3.south.fs"));
    ExpectTablesNear(Slurp(d + ".t1"), Slurp(kSource + "/div/tests/golden/table.tsv"), 1e-6);
    ExpectTablesNear(Slurp(d + ".w1"), Slurp(kSource + "/div/tests/golden/windows.tsv"), 1e-6);
    EXPECT_EQ(Slurp(d + ".w1").rfind("#intervals=none\tlevel=0.95\n", 0), 0u);

    // The same reads as samtools mpileup text, one column per pool (the
    // second pool's lanes merged): the same numbers.
    const std::string pileup = d + ".pileup";
    ASSERT_EQ(Shell("samtools mpileup -B -Q 0 -q 20 -d 0 --ff UNMAP,SECONDARY,QCFAIL,DUP,"
                    "SUPPLEMENTARY -f " +
                    d + ".fa <(samtools merge -o - " + d + ".north.L1.bam " + d +
                    ".north.L2.bam) <(samtools merge -o - " + d + ".south.L1.bam " + d +
                    ".south.L2.bam) > " + pileup),
              0)
        << "needs bash for the process substitution";
    ASSERT_EQ(Shell(kBin + "/qualdiv -P --pool-size 12,40 " + pileup + " > " + d + ".tp"), 0);
    const auto table = Table(Slurp(d + ".t1"));
    const auto fromText = Table(Slurp(d + ".tp"));
    ASSERT_EQ(fromText.size(), 3u);
    EXPECT_EQ(fromText[1][0], "d.1");
    EXPECT_EQ(fromText[2][0], "d.2");
    for (std::size_t r = 1; r < 3; ++r) {
        for (std::size_t c = 1; c < fromText[r].size(); ++c) {
            EXPECT_EQ(fromText[r][c], table[r][c]) << "row " << r << " column " << c;
        }
    }
}

// Checks that rest on no stored number: each row's D is Tajima's of its own
// pi and theta_W; the windows (every pool a row in every window) add up to
// the genome in sites, pi and segregating sites; a spectrum written with
// --sfs holds the pool's sites and, read back with --prior, gives the same
// table and, with --windows-only, the same windows.
TEST_F(QualDiv, TableWindowsAndSpectraAgree) {
    const std::string d = s_Dir + "/d";
    const std::string run = kBin + "/qualdiv -P --pools " + d + ".pools.tsv ";
    ASSERT_EQ(Shell(run + "--windows 10000 -w " + d + ".cw --sfs " + d + ".cs -o " + d + ".ct"), 0);
    const auto table = Table(Slurp(d + ".ct"));
    const auto windows = Table(Slurp(d + ".cw"));
    ASSERT_EQ(table.size(), 3u);
    ASSERT_EQ(windows.size(), 1u + 2 * 3);  // 2 + 1 windows, two pools each
    const std::map<std::string, unsigned> size = {{"north", 12}, {"south", 40}};
    for (std::size_t r = 1; r < 3; ++r) {
        const std::string pool = table[r][0];
        const unsigned n = size.at(pool);
        const double sites = std::stod(table[r][1]), pi = std::stod(table[r][2]);
        const double s = std::stod(table[r][5]) * Harmonic(n) * sites;
        EXPECT_EQ(sites, 30000.0);
        EXPECT_NEAR(std::stod(table[r][8]), Tajima(n, pi * sites, s), 1e-8) << pool;
        double wSites = 0, wPi = 0, wS = 0;
        for (std::size_t w = 1; w < windows.size(); ++w) {
            if (windows[w][3] != pool) {
                continue;
            }
            const double ws = std::stod(windows[w][4]);
            wSites += ws;
            wPi += ws * std::stod(windows[w][5]);
            wS += ws * std::stod(windows[w][6]) * Harmonic(n);
            EXPECT_NEAR(std::stod(windows[w][7]),
                        Tajima(n, ws * std::stod(windows[w][5]),
                               ws * std::stod(windows[w][6]) * Harmonic(n)),
                        1e-8);
        }
        EXPECT_EQ(wSites, sites) << pool;
        EXPECT_NEAR(wPi, pi * sites, 1e-8 * pi * sites) << pool;
        EXPECT_NEAR(wS, s, 1e-8 * s) << pool;
        // The spectrum file: n + 1 entries, folded, summing to the sites.
        std::istringstream lines(Slurp(d + ".cs." + pool + ".fs"));
        std::string line, head, values;
        while (std::getline(lines, line)) {
            if (line[0] == '#') {
                continue;
            }
            (head.empty() ? head : values.empty() ? values : line) = line;
        }
        EXPECT_EQ(head, std::to_string(n + 1) + " folded \"" + pool + "\"");
        std::istringstream v(values);
        double total = 0, x;
        unsigned cells = 0;
        while (v >> x) {
            total += x;
            ++cells;
        }
        EXPECT_EQ(cells, n + 1);
        EXPECT_NEAR(total, sites, 1e-9 * sites);
    }
    // The spectra as priors: the same table (no intervals), the same
    // windows from the spectra alone.
    ASSERT_EQ(Shell(run + "--prior " + d + ".cs -o " + d + ".cp"), 0);
    ExpectTablesNear(Slurp(d + ".cp"), Slurp(d + ".ct"), 1e-9);
    ASSERT_EQ(Shell(run + "--prior " + d + ".cs --windows-only --windows 10000 -w " + d + ".cwo"),
              0);
    ExpectTablesNear(Slurp(d + ".cwo"), Slurp(d + ".cw"), 1e-9);
    // The bootstrap: every interval holds its estimate, ends in order.
    ASSERT_EQ(Shell(run + "--ci bootstrap --block 1000 --bootstrap 50 -o " + d + ".cb"), 0);
    const auto boot = Table(Slurp(d + ".cb"));
    for (std::size_t r = 1; r < 3; ++r) {
        for (std::size_t c : {2u, 5u, 8u}) {
            EXPECT_EQ(boot[r][c], table[r][c]);
            EXPECT_LE(std::stod(boot[r][c + 1]), std::stod(boot[r][c])) << r << c;
            EXPECT_LE(std::stod(boot[r][c]), std::stod(boot[r][c + 2])) << r << c;
        }
    }
}

// A pool of 6 read 600 times at every site with scores of 60 (away from the
// contig's ends, where fewer reads cover it): every count is certain, so
// pi, theta_W, Tajima's D, theta_H and Fay and Wu's H are those of the
// simulated counts (PREFIX.sites.tsv, unfolded: the reference is
// ancestral), worked out here; and reads of a pool where nothing
// segregates, 5% of them below Q20, add next to no diversity (a few sites
// where errors of low scores pile up may pass for rare alleles), where
// counting every read would find a minor read at a fifth of the sites.
TEST_F(QualDiv, CertainCountsAndErrorsAlone) {
    SPoolSimOptions o;
    o.m_Prefix = s_Dir + "/k";
    o.m_Names = {"deep"};
    o.m_PoolSizes = {6};
    o.m_Depths = {600};
    o.m_Lengths = {6000};
    o.m_Theta = 0.02;
    o.m_Fst = 0.0;
    o.m_Qualities = "60";
    o.m_Seed = 5;
    RunPoolSim(o);
    const std::string k = s_Dir + "/k";
    ASSERT_EQ(Shell(kBin + "/qualdiv -P --pools " + k + ".pools.tsv -f " + k +
                    ".fa --unfolded -r chr1:201-5800 -o " + k + ".t"),
              0);
    const auto t = Table(Slurp(k + ".t"));
    ASSERT_EQ(t[0].size(), 13u);
    EXPECT_EQ(t[0][11], "theta_h");
    const unsigned n = 6;
    double pi = 0, s = 0, h = 0;
    for (const auto& row : Table(Slurp(k + ".sites.tsv"))) {
        if (row[0] == "contig") {
            continue;
        }
        const double j = std::stod(row[6]);
        const long pos = std::stol(row[1]);  // 1-based
        if (j > 0 && j < n && pos > 200 && pos <= 5800) {
            pi += 2 * j * (n - j) / (n * (n - 1.0));
            s += 1;
            h += 2 * j * j / (n * (n - 1.0));
        }
    }
    const double sites = 5600;
    ASSERT_EQ(std::stod(t[1][1]), sites);
    ASSERT_GT(s, 100);
    EXPECT_NEAR(std::stod(t[1][2]), pi / sites, 1e-4 * pi / sites);
    EXPECT_NEAR(std::stod(t[1][5]), s / Harmonic(n) / sites, 1e-4 * s / sites);
    EXPECT_NEAR(std::stod(t[1][8]), Tajima(n, pi, s), 2e-3);
    EXPECT_NEAR(std::stod(t[1][11]), h / sites, 1e-4 * h / sites);
    EXPECT_NEAR(std::stod(t[1][12]), (pi - h) / sites, 1e-4 * h / sites);

    o.m_Prefix = s_Dir + "/e";
    o.m_Names = {"clean"};
    o.m_PoolSizes = {30};
    o.m_Depths = {30};
    o.m_Lengths = {20000};
    o.m_Theta = 0.0;
    o.m_Qualities = "low5";
    RunPoolSim(o);
    const std::string e = s_Dir + "/e";
    ASSERT_EQ(Shell(kBin + "/qualdiv -P --pools " + e + ".pools.tsv -o " + e + ".t"), 0);
    const auto none = Table(Slurp(e + ".t"));
    EXPECT_LT(std::stod(none[1][2]), 1e-4);
    EXPECT_LT(std::stod(none[1][5]), 5e-4);
    // Counted, the errors would be alleles at many sites.
    ASSERT_EQ(
        Shell("samtools mpileup -B -Q 0 -f " + e + ".fa " + e + ".clean.bam | awk -F\"\\t\" " +
              "\"\\$5 ~ /[ACGTacgt]/ { n++ } END { exit n < 3000 }\""),
        0);
}

namespace {

// Runs qualdiv in this process with args.
void RunArgs(std::vector<std::string> args) {
    args.insert(args.begin(), "qualdiv");
    args.insert(args.begin() + 1, "-P");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    SDivOptions opts;
    std::ostringstream out;
    if (ParseDivArgs(static_cast<int>(argv.size()), argv.data(), opts, out) == EParseResult::eRun) {
        RunQualDiv(opts, out, nullptr);
    }
}

// Whether ParseDivArgs refuses args (before any file is read).
bool Refused(std::vector<std::string> args) {
    args.insert(args.begin(), "qualdiv");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    SDivOptions opts;
    std::ostringstream out;
    try {
        ParseDivArgs(static_cast<int>(argv.size()), argv.data(), opts, out);
    } catch (const std::runtime_error&) {
        return true;
    }
    return false;
}

EInputError KindOf(const std::vector<std::string>& args) {
    try {
        RunArgs(args);
    } catch (const CInputError& e) {
        return e.Kind();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not an input error: " << e.what();
    }
    ADD_FAILURE() << "no error";
    return EInputError::eUnknown;
}

}  // namespace

// What must be refused, with a clear error and nothing written.
TEST_F(QualDiv, BadInputsEndWithAnErrorAndNoOutput) {
    const std::string d = s_Dir + "/d";
    const std::string north = d + ".north.L1.bam," + d + ".north.L2.bam";
    const std::string out = s_Dir + "/bad.tsv";
    // Options: --smooth's splines and penalty; windows alone need a prior;
    // --unfolded needs the reference.
    EXPECT_FALSE(Refused({"--pool-size", "12", "--smooth", "12:50", north}));
    EXPECT_FALSE(Refused({"--pool-size", "12", "--smooth", "0", north}));
    for (const char* bad : {"3", "x", "8:", "8:-1", "8:inf", "-4", ":5"}) {
        EXPECT_TRUE(Refused({"--pool-size", "12", "--smooth", bad, north})) << bad;
    }
    EXPECT_TRUE(
        Refused({"--pool-size", "12", "--windows", "1000", "-w", out, "--windows-only", north}));
    EXPECT_THROW(RunArgs({"--pool-size", "12", "--unfolded", "-o", out, north}),
                 std::runtime_error);
    // Priors of another size or folding, and one no site can come from.
    ASSERT_EQ(Shell(kBin + "/qualdiv -P --pools " + d + ".pools.tsv --sfs " + s_Dir +
                    "/prior -o /dev/null"),
              0);
    {
        std::ofstream sheet(s_Dir + "/resized.tsv");
        sheet << "name\tsize\tfiles\nnorth\t14\td.north.L1.bam\n";
        std::ofstream mono(s_Dir + "/mono.north.fs");
        mono << "13 folded \"north\"\n1 0 0 0 0 0 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 1 1 1 1 1 1\n";
    }
    EXPECT_EQ(KindOf({"--pools", s_Dir + "/resized.tsv", "--prior", s_Dir + "/prior", "-o", out}),
              EInputError::eMismatch);
    EXPECT_EQ(KindOf({"--pool-size", "12", "-f", d + ".fa", "--unfolded", "--prior",
                      s_Dir + "/prior", "-o", out, north}),
              EInputError::eMismatch);
    EXPECT_EQ(KindOf({"--pool-size", "12", "--prior", s_Dir + "/mono", "-o", out, north}),
              EInputError::eMismatch);
    EXPECT_EQ(KindOf({"--pool-size", "12", "--prior", s_Dir + "/mono", "--windows", "10000", "-w",
                      out, "--windows-only", north}),
              EInputError::eMismatch);
    // A qualscan summary file is no pool's reads (its records are
    // qualscan's, made for another model).
    ASSERT_EQ(Shell(kBin + "/qualscan -P --pool-size 12 --save-sites " + s_Dir + "/n.sites.gz " +
                    d + ".north.L1.bam > /dev/null"),
              0);
    EXPECT_EQ(KindOf({"--pool-size", "12", "-o", out, s_Dir + "/n.sites.gz"}),
              EInputError::eFormat);
    // Pileup text with more columns than sizes.
    ASSERT_EQ(Shell("samtools mpileup -B " + d + ".north.L1.bam " + d + ".south.L1.bam > " + s_Dir +
                    "/two.pileup"),
              0);
    EXPECT_EQ(KindOf({"--pool-size", "12,40,10", "-o", out, s_Dir + "/two.pileup"}),
              EInputError::eMismatch);
    EXPECT_FALSE(Exists(out));
    // The program: status 1, a message, no output; the table may not
    // overwrite an input, nor a spectrum the prior.
    EXPECT_EQ(Shell(kBin + "/qualdiv -P --pool-size 12 -o " + d + ".north.L1.bam " + north), 1);
    EXPECT_EQ(Shell(kBin + "/qualdiv -P --pool-size 12 --prior " + s_Dir + "/prior --sfs " + s_Dir +
                    "/prior " + north),
              1);
    EXPECT_EQ(Shell(kBin + "/qualdiv --help > /dev/null"), 0);
    EXPECT_EQ(Shell(kBin + "/qualdiv --version > /dev/null"), 0);
}
