// qualfst as a program, on pools simulated by qualpoolsim: a golden case,
// the same results for every thread count and every form of input, pools
// drawn from one population, a pool against itself, and the inputs it must
// refuse with nothing written.

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
#include "fst/joint_fit.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_store.hpp"
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

class QualFst : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/qualfst_test.XXXXXX";
        s_Dir = mkdtemp(pattern);
        // Two contigs, pools of 10 and 14 chromosomes at depth 20, the
        // second pool in two lanes.
        SPoolSimOptions o;
        o.m_Prefix = s_Dir + "/d";
        o.m_Names = {"north", "south"};
        o.m_PoolSizes = {10, 14};
        o.m_Depths = {20, 20};
        o.m_Lengths = {20000, 10000};
        o.m_Theta = 0.01;
        o.m_Fst = 0.15;
        o.m_ReadLength = 80;
        o.m_Lanes = 2;
        o.m_Seed = 11;
        RunPoolSim(o);
        // Two pools of one population (F = 0), 20 chromosomes each.
        SPoolSimOptions same = o;
        same.m_Prefix = s_Dir + "/same";
        same.m_Names = {"a", "b"};
        same.m_PoolSizes = {20, 20};
        same.m_Depths = {30, 30};
        same.m_Lengths = {80000};
        same.m_Fst = 0.0;
        same.m_Lanes = 1;
        same.m_Theta = 0.005;
        same.m_Seed = 12;
        RunPoolSim(same);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + s_Dir).c_str()); }

    static std::string s_Dir;
};

std::string QualFst::s_Dir;

}  // namespace

// The golden case: the table and the windows of the small simulated data
// set (reviewed against the simulator's truth when they were made: d_xy
// 0.009549 against the true 0.009558, F_ST 0.1450 against 0.1417), the same for
// -t 1 and -t 3 byte for byte, and from samtools mpileup text of the same
// reads.
TEST_F(QualFst, GoldenCaseThreadsAndPileupText) {
    const std::string d = s_Dir + "/d";
    const std::string common =
        kBin + "/qualfst -P --pools " + d + ".pools.tsv -f " + d + ".fa --windows 10000 -w ";
    ASSERT_EQ(Shell(common + d + ".w1 -o " + d + ".t1 --sfs " + d + ".s1 -t 1"), 0);
    ASSERT_EQ(Shell(common + d + ".w3 -o " + d + ".t3 --sfs " + d + ".s3 -t 3"), 0);
    EXPECT_EQ(Slurp(d + ".t1"), Slurp(d + ".t3"));
    EXPECT_EQ(Slurp(d + ".w1"), Slurp(d + ".w3"));
    EXPECT_EQ(Slurp(d + ".s1.north.south.fs"), Slurp(d + ".s3.north.south.fs"));
    ExpectTablesNear(Slurp(d + ".t1"), Slurp(kSource + "/fst/tests/golden/table.tsv"), 1e-6);
    ExpectTablesNear(Slurp(d + ".w1"), Slurp(kSource + "/fst/tests/golden/windows.tsv"), 1e-6);
    // Every program's windows file starts with one comment line: qualfst's
    // windows have no intervals.
    EXPECT_EQ(Slurp(d + ".w1").rfind("#intervals=none\tlevel=0.95\n", 0), 0u);
    // Windows of the whole genome: 2 on chr1, 1 on chr2, with their sites
    // adding up to the table's, and their sums to its values.
    const auto table = Table(Slurp(d + ".t1"));
    const auto windows = Table(Slurp(d + ".w1"));
    ASSERT_EQ(windows.size(), 4u);
    double sites = 0, dxy = 0;
    for (std::size_t r = 1; r < windows.size(); ++r) {
        sites += std::stod(windows[r][5]);
        dxy += std::stod(windows[r][5]) * std::stod(windows[r][8]);
    }
    EXPECT_EQ(sites, std::stod(table[1][2]));
    EXPECT_NEAR(dxy / sites, std::stod(table[1][5]), 1e-8 * std::stod(table[1][5]));
    // The spectrum file: dimensions, labels, and as many sites as the pair.
    const auto fs = Table(Slurp(d + ".s1.north.south.fs"));
    std::istringstream lines(Slurp(d + ".s1.north.south.fs"));
    std::string line, head, values;
    while (std::getline(lines, line)) {
        if (line[0] == '#') {
            continue;
        }
        if (head.empty()) {
            head = line;
        } else if (values.empty()) {
            values = line;
        }
    }
    EXPECT_EQ(head, "11 15 unfolded \"north\" \"south\"");
    std::istringstream v(values);
    double total = 0, x;
    int cells = 0;
    while (v >> x) {
        total += x;
        ++cells;
    }
    EXPECT_EQ(cells, 11 * 15);
    EXPECT_NEAR(total, std::stod(table[1][2]), 1e-6 * total);

    // The same reads as samtools mpileup text, one sample column per pool
    // (each pool's two lanes merged into one column): the same numbers.
    const std::string pileup = d + ".pileup";
    ASSERT_EQ(Shell("samtools mpileup -B -Q 0 -q 20 -d 0 --ff UNMAP,SECONDARY,QCFAIL,DUP,"
                    "SUPPLEMENTARY -f " +
                    d + ".fa <(samtools merge -o - " + d + ".north.L1.bam " + d +
                    ".north.L2.bam) <(samtools merge -o - " + d + ".south.L1.bam " + d +
                    ".south.L2.bam) > " + pileup),
              0)
        << "needs bash for the process substitution";
    ASSERT_EQ(
        Shell(kBin + "/qualfst -P --unfolded --pool-size 10,14 " + pileup + " > " + d + ".tp"), 0);
    auto fromText = Table(Slurp(d + ".tp"));
    ASSERT_EQ(fromText.size(), 2u);
    EXPECT_EQ(fromText[1][0], "d.1");
    for (std::size_t c = 2; c < fromText[1].size(); ++c) {
        EXPECT_EQ(fromText[1][c], table[1][c]) << "column " << c;
    }
}

// Checks of the golden case that do not rest on stored numbers: F_ST is
// Hudson's ratio of the row's own averages (and of each window's), the
// pools keep their own sizes whichever comes first, the windows of a
// --windows-only run under the fitted spectra are those of the full run,
// and the fit has converged: a fit to 1e-10 of the same sites, made here
// from the pool library's stages, gives the same values within 1e-3 (a
// fit stopped at 1e-5 moves by 2e-4 at most: docs/qualfst.md).
TEST_F(QualFst, GoldenCaseAgreesWithIndependentChecks) {
    const std::string d = s_Dir + "/d";
    const std::string run =
        kBin + "/qualfst -P -f " + d + ".fa --windows 10000 -w " + d + ".cw --sfs " + d + ".cs ";
    ASSERT_EQ(Shell(run + "--pools " + d + ".pools.tsv -o " + d + ".ct"), 0);
    const auto table = Table(Slurp(d + ".ct"));
    const auto windows = Table(Slurp(d + ".cw"));
    auto hudson = [](const std::vector<std::string>& row, std::size_t pi1) {
        const double p1 = std::stod(row[pi1]), p2 = std::stod(row[pi1 + 1]);
        const double dxy = std::stod(row[pi1 + 2]);
        return 1.0 - 0.5 * (p1 + p2) / dxy;
    };
    EXPECT_NEAR(std::stod(table[1][8]), hudson(table[1], 3), 1e-8);
    for (std::size_t r = 1; r < windows.size(); ++r) {
        EXPECT_NEAR(std::stod(windows[r][9]), hudson(windows[r], 6), 1e-8) << r;
    }
    // The spectrum written holds the pair's sites, no more, no less.
    {
        std::istringstream lines(Slurp(d + ".cs.north.south.fs"));
        std::string line;
        int data = 0;
        double total = 0.0;
        while (std::getline(lines, line)) {
            if (line[0] != '#' && ++data == 2) {
                std::istringstream v(line);
                for (double x; v >> x;) {
                    total += x;
                }
            }
        }
        EXPECT_NEAR(total, std::stod(table[1][2]), 1e-9 * total);
    }
    // The sheet the other way round: the same pair, its columns swapped.
    {
        std::ifstream in(d + ".pools.tsv");
        std::string header, first, second;
        std::getline(in, header);
        std::getline(in, first);
        std::getline(in, second);
        std::ofstream(d + ".swapped.tsv") << header << '\n' << second << '\n' << first << '\n';
    }
    ASSERT_EQ(Shell(kBin + "/qualfst -P -f " + d + ".fa --pools " + d + ".swapped.tsv -o " + d +
                    ".cswap"),
              0);
    const auto swapped = Table(Slurp(d + ".cswap"));
    EXPECT_EQ(swapped[1][0], table[1][1]);
    EXPECT_NEAR(std::stod(swapped[1][3]), std::stod(table[1][4]), 1e-7 * std::stod(table[1][4]));
    EXPECT_NEAR(std::stod(swapped[1][4]), std::stod(table[1][3]), 1e-7 * std::stod(table[1][3]));
    EXPECT_NEAR(std::stod(swapped[1][5]), std::stod(table[1][5]), 1e-7 * std::stod(table[1][5]));
    // The windows again, from the fitted spectra alone.
    ASSERT_EQ(Shell(kBin + "/qualfst -P -f " + d + ".fa --pools " + d + ".pools.tsv --prior " + d +
                    ".cs --windows-only --windows 10000 -w " + d + ".cwo"),
              0);
    ExpectTablesNear(Slurp(d + ".cwo"), Slurp(d + ".cw"), 1e-9);
    // A fit to 1e-10 of the same sites.
    SFstOptions opts;
    opts.m_PoolsSheet = d + ".pools.tsv";
    opts.m_Pileup.m_Reference = d + ".fa";
    opts.m_Unfolded = true;
    const SPoolProgram program = FstProgram();
    SPoolInputs inputs = ResolvePoolInputs(program, opts, FstOptionTable());
    CProgressLine bar(nullptr, "test");
    SPoolReadOptions read;
    read.m_MinCounting = 2;
    CPoolReader reader(program, opts, inputs, read, nullptr, bar);
    CPoolStore store(2);
    reader.Run([](const std::vector<SPoolSpec>&) {},
               [&](SPoolBatch& b) {
                   std::size_t offset = 0;
                   for (std::size_t i = 0; i < b.Sites(); ++i) {
                       store.Append(b.m_Contig[i], b.m_Pos[i], &b.m_Bytes[offset], b.m_Size[i]);
                       offset += b.m_Size[i];
                   }
               });
    store.Finish();
    const CPairModel model(store, 0, 1, inputs.m_Specs[0].m_Size, inputs.m_Specs[1].m_Size, false);
    SJointFitOptions tight;
    tight.tolerance = 1e-10;
    tight.maxPasses = 5000;
    const SJointFitResult fit = model.Fit(tight, nullptr);
    ASSERT_TRUE(fit.converged);
    EXPECT_NEAR(std::stod(table[1][3]), fit.values.pi1, 1e-3 * fit.values.pi1);
    EXPECT_NEAR(std::stod(table[1][4]), fit.values.pi2, 1e-3 * fit.values.pi2);
    EXPECT_NEAR(std::stod(table[1][5]), fit.values.dxy, 1e-3 * fit.values.dxy);
    EXPECT_NEAR(std::stod(table[1][8]), fit.values.fst, 1e-3 * fit.values.fst);
    double sum = 0.0;
    for (double x : fit.spectrum.phi) {
        sum += x;
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
}

// Pools of one population give F_ST near 0 (its interval holds 0). A pool
// against itself (the same reads twice) has the same diversity on both sides
// to every digit, and the F_ST of identical chromosomes: d_xy compares the
// very same chromosomes, so it lacks the n / (n - 1) by which pi corrects
// for drawing n of them, and 1 - n / (n - 1) = -1 / (n - 1).
TEST_F(QualFst, SamePopulationAndAPoolAgainstItself) {
    const std::string d = s_Dir + "/same";
    ASSERT_EQ(Shell(kBin + "/qualfst -P --pools " + d + ".pools.tsv -f " + d +
                    ".fa --ci bootstrap --block 2000 --bootstrap 100 -o " + d + ".t"),
              0);
    const auto t = Table(Slurp(d + ".t"));
    const double fst = std::stod(t[1][8]);
    EXPECT_LT(std::fabs(fst), 0.02);
    EXPECT_LT(std::stod(t[1][9]), 0.0);
    EXPECT_GT(std::stod(t[1][10]), 0.0);
    // Every interval holds its estimate, ends in order.
    for (std::size_t c : {5u, 8u}) {
        EXPECT_LE(std::stod(t[1][c + 1]), std::stod(t[1][c])) << c;
        EXPECT_LE(std::stod(t[1][c]), std::stod(t[1][c + 2])) << c;
    }

    // The same file twice would be refused (it would be read twice); a
    // copy of it holds the same reads.
    ASSERT_EQ(Shell("cp " + d + ".a.bam " + d + ".copy.bam && cp " + d + ".a.bam.bai " + d +
                    ".copy.bam.bai"),
              0);
    {
        std::ofstream sheet(d + ".self.tsv");
        sheet << "name\tsize\tfiles\none\t20\tsame.a.bam\ntwo\t20\tsame.copy.bam\n";
    }
    ASSERT_EQ(Shell(kBin + "/qualfst -P --pools " + d + ".self.tsv -o " + d + ".self"), 0);
    const auto self = Table(Slurp(d + ".self"));
    EXPECT_EQ(self[1][3], self[1][4]);  // pi1 and pi2, to every digit
    EXPECT_NEAR(std::stod(self[1][8]), -1.0 / 19, 0.004);
}

namespace {

// Runs qualfst in this process with args; returns what it threw.
void RunArgs(std::vector<std::string> args) {
    args.insert(args.begin(), "qualfst");
    args.insert(args.begin() + 1, "-P");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    SFstOptions opts;
    std::ostringstream out;
    if (ParseFstArgs(static_cast<int>(argv.size()), argv.data(), opts, out) == EParseResult::eRun) {
        RunQualFst(opts, out, nullptr);
    }
}

// Whether ParseFstArgs refuses args (before any file is read).
bool Refused(std::vector<std::string> args) {
    args.insert(args.begin(), "qualfst");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    SFstOptions opts;
    std::ostringstream out;
    try {
        ParseFstArgs(static_cast<int>(argv.size()), argv.data(), opts, out);
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
TEST_F(QualFst, BadInputsEndWithAnErrorAndNoOutput) {
    const std::string d = s_Dir + "/d";
    const std::string north = d + ".north.L1.bam," + d + ".north.L2.bam";
    const std::string south = d + ".south.L1.bam," + d + ".south.L2.bam";
    const std::string out = s_Dir + "/bad.tsv";
    // A BED file option given twice would lose the first; an empty one
    // names no file.
    for (const char* option : {"--regions-file", "--mask"}) {
        EXPECT_FALSE(Refused({"--pool-size", "10", option, "a.bed", north, south})) << option;
        EXPECT_TRUE(Refused({"--pool-size", "10", option, "a.bed", option, "b.bed", north, south}))
            << option;
        EXPECT_TRUE(Refused({"--pool-size", "10", option, "", north, south})) << option;
    }
    // A second sheet would take the place of the first unseen, as a second
    // -r would.
    EXPECT_FALSE(Refused({"--pools", "a.tsv"}));
    EXPECT_TRUE(Refused({"--pools", "a.tsv", "--pools", "b.tsv"}));
    EXPECT_TRUE(Refused({"-r", "chr1", "-r", "chr2", "--pool-size", "10", north, south}));
    // One pool.
    EXPECT_EQ(KindOf({"--pool-size", "10", "-o", out, north}), EInputError::eFormat);
    // Sizes that do not match the pools, and a pool of one chromosome.
    EXPECT_THROW(RunArgs({"--pool-size", "10,14,16", north, south}), std::runtime_error);
    EXPECT_THROW(RunArgs({"--pool-size", "1", north, south}), std::runtime_error);
    EXPECT_THROW(RunArgs({north, south}), std::runtime_error);  // no sizes
    // Pools on different references: the other simulation has one contig of
    // another length.
    EXPECT_EQ(KindOf({"--pool-size", "10", "-o", out, north, s_Dir + "/same.a.bam"}),
              EInputError::eMismatch);
    // A sheet with a pool of one chromosome, and one without its columns.
    {
        std::ofstream sheet(s_Dir + "/one.tsv");
        sheet << "name\tsize\tfiles\nn\t1\td.north.L1.bam\ns\t14\td.south.L1.bam\n";
        std::ofstream bad(s_Dir + "/cols.tsv");
        bad << "name\tfiles\nn\td.north.L1.bam\n";
    }
    EXPECT_EQ(KindOf({"--pools", s_Dir + "/one.tsv", "-o", out}), EInputError::eRange);
    EXPECT_EQ(KindOf({"--pools", s_Dir + "/cols.tsv", "-o", out}), EInputError::eFormat);
    // A prior for pools of other sizes.
    ASSERT_EQ(Shell(kBin + "/qualfst -P --pools " + s_Dir + "/same.pools.tsv --sfs " + s_Dir +
                    "/prior -o /dev/null"),
              0);
    {
        std::ofstream sheet(s_Dir + "/renamed.tsv");
        sheet << "name\tsize\tfiles\na\t10\td.north.L1.bam\nb\t14\td.south.L1.bam\n";
    }
    EXPECT_EQ(KindOf({"--pools", s_Dir + "/renamed.tsv", "--prior", s_Dir + "/prior", "-o", out}),
              EInputError::eMismatch);
    // Not an alignment file among a pool's files.
    EXPECT_EQ(KindOf({"--pool-size", "10", "-o", out, north, d + ".truth.tsv"}),
              EInputError::eFormat);
    EXPECT_FALSE(Exists(out));
    // The program: status 1, a message naming the file, no output.
    EXPECT_EQ(Shell(kBin + "/qualfst -P --pool-size 10 -o " + out + " " + north + " " + s_Dir +
                    "/same.a.bam"),
              1);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(
        Shell(kBin + "/qualfst -P --pool-size 10 -o " + d + ".north.L1.bam " + north + " " + south),
        1);  // the table would overwrite an input
    EXPECT_EQ(Shell(kBin + "/qualfst --help > /dev/null"), 0);
    EXPECT_EQ(Shell(kBin + "/qualfst --version > /dev/null"), 0);
}
