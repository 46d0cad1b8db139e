// Summary files end to end through the program: parts saved apart give the
// table of one run over everything, byte for byte; bad summary files and
// bad bootstrap options end with status 1 and a message naming the problem.

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "model/tests/scan_fixture.hpp"
#include "scan/scan_options.hpp"

namespace {

class CSiteFileTest : public scanfix::CScratchTest {
  protected:
    static std::string Bin() {
        const char* env = std::getenv("QT_BIN_DIR");
        return std::string(env ? env : QT_BIN_DIR) + "/qualscan";
    }
    // Runs qualscan with args in the scratch directory, standard output to
    // out.tsv and standard error to err.txt; returns its status.
    int Scan(const std::string& args) const {
        return Sh("'" + Bin() + "' -P " + args + " > out.tsv 2> err.txt");
    }
    std::string Out() const { return scanfix::ReadFile(Path("out.tsv")); }
    std::string Err() const { return scanfix::ReadFile(Path("err.txt")); }
};

TEST_F(CSiteFileTest, PartsSavedApartGiveTheTableOfOneRun) {
    ASSERT_EQ(Sh("'" + scanfix::SourceDir() + "/scripts/make_bench_bam' 2000 24000 x.bam"), 0);
    for (const std::string& ci :
         {std::string(), std::string(" --ci bootstrap --bootstrap 20 --block 3000")}) {
        const std::string opts = "-t 2" + ci;
        ASSERT_EQ(Scan(opts + " x.bam"), 0) << Err();
        const std::string whole = Out();
        ASSERT_NE(whole.find("growth"), std::string::npos);
        ASSERT_EQ(Scan(opts + " -r chrB:1-10000 --save-sites a.sites x.bam"), 0) << Err();
        const std::string partA = Out();
        ASSERT_EQ(Scan(opts + " -r chrB:10001-24000 --save-sites b.sites x.bam"), 0) << Err();
        // The saved part alone is its run again; both together the whole.
        ASSERT_EQ(Scan(opts + " a.sites"), 0) << Err();
        EXPECT_EQ(Out(), partA);
        ASSERT_EQ(Scan(opts + " a.sites b.sites"), 0) << Err();
        EXPECT_EQ(Out(), whole) << ci;
        EXPECT_NE(Err().find("from summary files"), std::string::npos) << Err();
        // One thread reads and fits them the same.
        ASSERT_EQ(Scan("-t 1" + ci + " a.sites b.sites"), 0) << Err();
        EXPECT_EQ(Out(), whole) << ci;
    }
    // Out of genome order: refused, naming the file.
    EXPECT_EQ(Scan("b.sites a.sites"), 1);
    EXPECT_NE(Err().find("'a.sites', record "), std::string::npos) << Err();
    EXPECT_NE(Err().find("give summary files in genome order"), std::string::npos) << Err();
}

TEST_F(CSiteFileTest, BadSummaryFilesAndOptionsEndWithStatusOne) {
    ASSERT_EQ(Sh("'" + scanfix::SourceDir() + "/scripts/make_bench_bam' 500 6000 x.bam"), 0);
    ASSERT_EQ(Scan("--save-sites a.sites x.bam"), 0) << Err();
    ASSERT_EQ(Scan("--pool-size 40 --save-sites pool.sites x.bam"), 0) << Err();
    ASSERT_EQ(Scan("--unfolded -f x.fa --save-sites unfolded.sites x.bam"), 0) << Err();
    // Truncated: the end-of-file marker cut off, and a file cut in its middle
    // with a marker after it.
    ASSERT_EQ(Sh("head -c $(( $(stat -c %s a.sites) - 28 )) a.sites > short.sites"), 0);
    {
        BGZF* in = bgzf_open(Path("a.sites").c_str(), "r");
        BGZF* out = bgzf_open(Path("cut.sites").c_str(), "w");
        ASSERT_TRUE(in && out);
        std::vector<char> head(30000);
        ASSERT_EQ(bgzf_read(in, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        ASSERT_EQ(bgzf_write(out, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        bgzf_close(in);
        ASSERT_EQ(bgzf_close(out), 0);
    }
    // A file of the first format, whose records meant something else.
    {
        BGZF* out = bgzf_open(Path("old.sites").c_str(), "w");
        ASSERT_TRUE(out);
        const std::string text = "##qualscan-sites\t1\nversion\told\n\nC\x01xS";
        ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ASSERT_EQ(bgzf_close(out), 0);
    }
    struct SCase {
        std::string m_Args;
        std::string m_Message;
    };
    for (const SCase& c : {
             SCase{"short.sites",
                   "'short.sites': is truncated: its BGZF end-of-file marker is "
                   "missing."},
             SCase{"cut.sites", "is truncated"},
             SCase{"old.sites",
                   "'old.sites': is a summary file of format '1', which this qualscan does not "
                   "read (it reads format 2): save the sites again"},
             SCase{"a.sites pool.sites",
                   "'pool.sites': differs from 'a.sites' in its pool size (--pool-size 40 against "
                   "no --pool-size)"},
             SCase{"a.sites unfolded.sites",
                   "'unfolded.sites': differs from 'a.sites' in its folding (--unfolded against "
                   "folded)"},
             // The files' settings are the run's: a value given must agree.
             SCase{"--pool-size 30 pool.sites",
                   "'pool.sites': records pool size 40, but --pool-size gives 30"},
             SCase{"--unfolded a.sites",
                   "'a.sites': records the folded spectrum, but --unfolded gives the unfolded"},
             SCase{"-d 3 a.sites", "'a.sites': records min-depth 1, but -d/--min-depth gives 3"},
             SCase{"a.sites x.bam", "summary files are fitted only with other summary files"},
             SCase{"--block 0 a.sites", "Invalid value '0' for --block"},
             SCase{"--bootstrap 0 a.sites", "Invalid value '0' for --bootstrap"},
             SCase{"--ci jackknife a.sites", "Invalid value 'jackknife' for --ci"},
             SCase{"--seed -1 a.sites", "Invalid value '-1' for --seed"},
             SCase{"--bootstrap 50 a.sites",
                   "--bootstrap applies to the block bootstrap: add --ci bootstrap."},
         }) {
        EXPECT_EQ(Scan(c.m_Args), 1) << c.m_Args;
        EXPECT_NE(Err().find(c.m_Message), std::string::npos) << c.m_Args << ": " << Err();
        EXPECT_EQ(Out(), "") << c.m_Args;
    }
    // The pool size the file records is the run's, given again or not.
    ASSERT_EQ(Scan("pool.sites"), 0) << Err();
    const std::string taken = Out();
    ASSERT_EQ(Scan("--pool-size 40 -d 1 pool.sites"), 0) << Err();
    EXPECT_EQ(Out(), taken);
    // A pool's summary keeps the reads' table, not the pool's: well under
    // 64 bytes a site (format 1 took 187).
    const std::uint64_t sites = std::stoull(Err().substr(Err().find("qualscan: ") + 10));
    ASSERT_GT(sites, 5000u);
    struct stat st;
    ASSERT_EQ(::stat(Path("pool.sites").c_str(), &st), 0);
    EXPECT_LT(static_cast<double>(st.st_size) / static_cast<double>(sites), 64.0);
}

// A summary file on standard input is read from the handle already open,
// from a file or a pipe; through a pipe, a missing end shows at the end.
TEST_F(CSiteFileTest, StandardInputIsReadFromTheOpenHandle) {
    ASSERT_EQ(Sh("'" + scanfix::SourceDir() + "/scripts/make_bench_bam' 500 6000 x.bam"), 0);
    ASSERT_EQ(Scan("--save-sites a.sites x.bam"), 0) << Err();
    ASSERT_EQ(Scan("a.sites"), 0) << Err();
    const std::string table = Out();
    ASSERT_EQ(Scan("- < a.sites"), 0) << Err();
    EXPECT_EQ(Out(), table);
    ASSERT_EQ(Sh("cat a.sites | '" + Bin() + "' -P - > out.tsv 2> err.txt"), 0) << Err();
    EXPECT_EQ(Out(), table);
    EXPECT_EQ(Sh("head -c -28 a.sites | '" + Bin() + "' -P - > out.tsv 2> err.txt"), 1);
    EXPECT_NE(Err().find("standard input, record "), std::string::npos) << Err();
    EXPECT_NE(Err().find("is truncated: its BGZF end-of-file marker is missing"), std::string::npos)
        << Err();
}

// A run on summary files takes their settings; an option given with
// another value than a file records is refused, naming the file, for every
// setting a file records and the command line can give (two files are
// compared in sitefile/tests). The values recorded, given again, pass.
TEST(CSiteFileSettingsTest, EverySettingGivenOtherThanTheFileRecordsIsRefused) {
    SSiteFileSettings file;
    file.poolSize = 20;
    file.minMapQ = 5;
    file.minBaseQ = 7;
    file.skipFlags = 0x704;
    file.requireFlags = 2;
    file.minDepth = 2;
    file.maxDepth = 50;
    file.keepOverlaps = false;
    // The refusal for args, or "" when they pass.
    auto check = [](const std::string& args, const SSiteFileSettings& recorded) {
        std::vector<std::string> words{"qualscan"};
        std::istringstream in(args + " f.sites");
        for (std::string w; in >> w;) {
            words.push_back(w);
        }
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(&w[0]);
        }
        SScanOptions opts;
        std::ostringstream out;
        ParseScanArgs(static_cast<int>(argv.size()), argv.data(), opts, out);
        try {
            CheckSiteFileSettings(opts, recorded, "f.sites", 0);
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), EInputError::eMismatch);
            EXPECT_EQ(e.Where().m_File, "f.sites");
            return std::string(e.what());
        }
        return std::string();
    };
    struct SCase {
        std::string m_Args, m_Message;
    };
    for (const SCase& c : {
             SCase{"--pool-size 30", "records pool size 20, but --pool-size gives 30"},
             SCase{"--unfolded", "records the folded spectrum, but --unfolded gives"},
             SCase{"-q 6", "records min-MQ 5, but -q/--min-MQ gives 6"},
             SCase{"-Q 8", "records min-BQ 7, but -Q/--min-BQ gives 8"},
             SCase{"--ff 4", "records skip-flags 1796, but --skip-flags gives 4"},
             SCase{"--rf 1", "records incl-flags 2, but --incl-flags gives 1"},
             SCase{"-d 3", "records min-depth 2, but -d/--min-depth gives 3"},
             SCase{"-D 51", "records max-depth 50, but -D/--max-depth gives 51"},
             SCase{"-D 0", "records max-depth 50, but -D/--max-depth gives 0"},
             SCase{"-x", "records that overlapping mates were counted once, but"},
         }) {
        SCOPED_TRACE(c.m_Args);
        const std::string refusal = check(c.m_Args, file);
        EXPECT_EQ(refusal.find("'f.sites': " + c.m_Message), 0u) << refusal;
    }
    EXPECT_EQ(check("--pool-size 20 -q 5 -Q 7 --ff 0x704 --rf 2 -d 2 -D 50", file), "");
    EXPECT_EQ(check("", file), "");
    SSiteFileSettings other = file;
    other.folded = false;
    other.keepOverlaps = true;
    EXPECT_EQ(check("--unfolded -x", other), "");
}

}  // namespace
