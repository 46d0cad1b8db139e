// qualscan's windows as a draft assembly needs them, through the program:
// windows of too few sites written as NA (--min-sites), windows of BED
// regions and of whole contigs against a brute-force sum over their sites,
// the warning when no window has blocks enough for a bootstrap interval,
// and overlapping windows' bootstrap intervals equal to those of the
// windows they coincide with.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "model/tests/scan_fixture.hpp"
#include "sitefile/site_file.hpp"

namespace {

using TRow = std::vector<std::string>;

// The rows of a windows file (or table) after its comment lines and
// header, split at tabs.
std::vector<TRow> Rows(const std::string& text) {
    std::vector<TRow> rows;
    std::istringstream in(text);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (header) {
            header = false;
            continue;
        }
        TRow fields;
        std::istringstream l(line);
        for (std::string f; std::getline(l, f, '\t');) {
            fields.push_back(f);
        }
        rows.push_back(fields);
    }
    return rows;
}

// Columns of qualscan's windows file (without --per-sample).
enum { kContig, kStart, kEnd, kSites, kReads, kCovered, kTheta, kLo, kHi, kLogLik };

class CWindowsKindsTest : public scanfix::CScratchTest {
  protected:
    // One pool of 20 chromosomes on a draft's contigs: two long, two short
    // scaffolds (1,500 and 300 bases).
    void MakeDraft() {
        ASSERT_EQ(Sh("'" + scanfix::BinDir() +
                     "/qualpoolsim' -o d -p 1 -n 20 -d 12 -l 24000,9000,1500,300 --seed 4"),
                  0);
    }
    SCmd Scan(const std::string& args) const {
        return Run(m_Qualscan + "-f d.fa --pool-size 20 " + args + " d.pool1.bam");
    }
};

// A window of fewer sites than --min-sites keeps its row, contig, range,
// sites, reads and covered, with NA for theta, its interval and loglik;
// every other window is the run's without the option, for profile and
// bootstrap intervals alike.
TEST_F(CWindowsKindsTest, WindowsOfTooFewSitesAreWrittenAsNA) {
    MakeDraft();
    for (const std::string ci : {"", "--ci bootstrap --block 100 --bootstrap 40 "}) {
        SCOPED_TRACE(ci);
        SCmd r = Scan(ci + "--windows 1000:500 -w all.tsv");
        ASSERT_EQ(r.status, 0) << r.err;
        r = Scan(ci + "--windows 1000:500 -w few.tsv --min-sites 700");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<TRow> all = Rows(scanfix::ReadFile(Path("all.tsv")));
        const std::vector<TRow> few = Rows(scanfix::ReadFile(Path("few.tsv")));
        ASSERT_EQ(all.size(), few.size());
        int na = 0, kept = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            SCOPED_TRACE(all[i][kContig] + ":" + all[i][kStart]);
            ASSERT_EQ(few[i].size(), all[i].size());
            for (int c = kContig; c <= kCovered; ++c) {
                EXPECT_EQ(few[i][c], all[i][c]);
            }
            const unsigned long sites = std::stoul(all[i][kSites]);
            if (sites >= 700) {
                EXPECT_EQ(few[i], all[i]);
                ++kept;
                continue;
            }
            for (int c = kTheta; c <= kLogLik; ++c) {
                EXPECT_EQ(few[i][c], "NA");
            }
            na += sites > 0 ? 1 : 0;
        }
        // The short scaffolds, and the last windows of the long ones.
        EXPECT_GE(na, 4);
        EXPECT_GE(kept, 40);
    }
    // Without windows the option has nothing to act on.
    const SCmd r = Scan("--min-sites 5");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--min-sites applies to the windows"), std::string::npos) << r.err;
}

// A site as the brute force sees it: from the run's summary file.
struct SSavedSite {
    std::string m_Contig;
    SWindowSite m_Site;
};

std::vector<SSavedSite> SavedSites(const std::string& path, int poolSize) {
    SSiteOptions options;
    options.poolSize = poolSize;
    CSiteFileReader reader({path}, options);
    std::vector<SSavedSite> all;
    SSiteBatch batch;
    while (reader.Next(batch)) {
        for (const SEncodedSite& s : batch.sites) {
            SSavedSite saved;
            saved.m_Contig = reader.Contigs()[static_cast<std::size_t>(s.contig)];
            saved.m_Site.m_Pos = s.pos;
            saved.m_Site.m_A = s.neutralA;
            saved.m_Site.m_B = s.neutralB;
            saved.m_Site.m_LogScale = s.constant;
            saved.m_Site.m_Reads = static_cast<std::uint32_t>(s.reads);
            all.push_back(saved);
        }
    }
    return all;
}

// Windows of BED lines (genes, nested, overlapping, past a contig's end,
// in another contig order than the genome's) and of whole contigs: every
// row is the brute-force sum over the run's sites in its range (sites,
// reads, and the fit of exactly those sites), rows in the genome's contig
// order and each contig's lines in the file's order, the same from the
// run's summary file; a whole contig's window is the genome-wide neutral
// row of a run on that contig alone (-r). A file out of order, a contig
// the input lacks and two ways of cutting at once are refused.
TEST_F(CWindowsKindsTest, BedAndContigWindowsHoldTheSitesOfTheirRanges) {
    MakeDraft();
    // chr3 (1,500 bases) before chr1 in the file; an empty line dropped.
    Write("genes.bed",
          "track name=genes\n"
          "chr3\t200\t1400\tg1\n"
          "chr3\t900\t5000\tpast_the_end\n"
          "chr1\t100\t9000\tlong\n"
          "chr1\t2000\t2600\tnested\n"
          "chr1\t2500\t2500\tempty\n"
          "chr1\t8000\t15000\toverlapping\n"
          "chr4 0 300 whole_scaffold\n");
    SCmd r = Scan("--windows-bed genes.bed -w w.tsv --save-sites s.sites");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("; 6 windows of the lines of 'genes.bed' written to 'w.tsv'"),
              std::string::npos)
        << r.err;
    const std::vector<TRow> rows = Rows(scanfix::ReadFile(Path("w.tsv")));
    struct SWant {
        std::string m_Contig;
        std::int64_t m_Start, m_End;
    };
    const std::vector<SWant> want = {{"chr1", 100, 9000},   {"chr1", 2000, 2600},
                                     {"chr1", 8000, 15000}, {"chr3", 200, 1400},
                                     {"chr3", 900, 1500},   {"chr4", 0, 300}};
    ASSERT_EQ(rows.size(), want.size());
    const std::vector<SSavedSite> sites = SavedSites(Path("s.sites"), 20);
    ASSERT_GT(sites.size(), 30000u);
    SSiteOptions site;
    site.poolSize = 20;
    CWindowFitter fitter(site, SFitOptions());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const SWant& w = want[i];
        SCOPED_TRACE(w.m_Contig + ":" + std::to_string(w.m_Start));
        ASSERT_EQ(rows[i][kContig], w.m_Contig);
        ASSERT_EQ(std::stoll(rows[i][kStart]), w.m_Start);
        ASSERT_EQ(std::stoll(rows[i][kEnd]), w.m_End);
        std::vector<SWindowSite> inside;
        std::uint64_t reads = 0;
        for (const SSavedSite& s : sites) {
            if (s.m_Contig == w.m_Contig && s.m_Site.m_Pos >= w.m_Start &&
                s.m_Site.m_Pos < w.m_End) {
                inside.push_back(s.m_Site);
                reads += s.m_Site.m_Reads;
            }
        }
        ASSERT_GT(inside.size(), 100u);
        EXPECT_EQ(std::stoull(rows[i][kSites]), inside.size());
        EXPECT_EQ(std::stoull(rows[i][kReads]), reads);
        // Every position of the simulated contigs has reads.
        EXPECT_EQ(std::stoll(rows[i][kCovered]), w.m_End - w.m_Start);
        const SWindowEstimate e = fitter.Fit(inside.data(), inside.size());
        EXPECT_NEAR(std::stod(rows[i][kTheta]), e.theta, 1e-9 * e.theta);
        EXPECT_NEAR(std::stod(rows[i][kLogLik]), e.logLik, 1e-9 * std::fabs(e.logLik));
        EXPECT_NEAR(std::stod(rows[i][kHi]), e.thetaHi, 1e-9 * e.thetaHi);
    }
    // From the summary file: the same windows (coverage is not kept, nor
    // the contigs' lengths, so a line past a contig's end is not cut).
    r = Run(m_Qualscan + "--windows-bed genes.bed -w from_file.tsv s.sites");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<TRow> again = Rows(scanfix::ReadFile(Path("from_file.tsv")));
    ASSERT_EQ(again.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        TRow a = again[i], b = rows[i];
        EXPECT_EQ(a[kCovered], "NA");
        a[kCovered] = b[kCovered] = "";
        if (i == 4) {
            EXPECT_EQ(a[kEnd], "5000");
            a[kEnd] = b[kEnd];
        }
        EXPECT_EQ(a, b);
    }

    // Whole contigs: each the genome-wide neutral row of its contig alone.
    r = Scan("--windows contig -w c.tsv");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<TRow> whole = Rows(scanfix::ReadFile(Path("c.tsv")));
    ASSERT_EQ(whole.size(), 4u);
    const std::map<std::string, std::string> length = {
        {"chr1", "24000"}, {"chr2", "9000"}, {"chr3", "1500"}, {"chr4", "300"}};
    for (const TRow& w : whole) {
        SCOPED_TRACE(w[kContig]);
        EXPECT_EQ(w[kStart], "0");
        EXPECT_EQ(w[kEnd], length.at(w[kContig]));
        r = Scan("--model neutral -r " + w[kContig]);
        ASSERT_EQ(r.status, 0) << r.err;
        const TRow genome = Rows(r.out).at(0);
        // theta, theta_lo, theta_hi; loglik; sites; reads.
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(std::stod(w[kTheta + c]), std::stod(genome[1 + c]),
                        1e-9 * std::stod(genome[1 + c]));
        }
        EXPECT_NEAR(std::stod(w[kLogLik]), std::stod(genome[7]), 1e-9 * -std::stod(genome[7]));
        EXPECT_EQ(w[kSites], genome[10]);
        EXPECT_EQ(w[kReads], genome[11]);
    }

    // Refusals, each naming its cause.
    Write("unsorted.bed", "chr1\t500\t900\nchr2\t0\t10\nchr1\t100\t200\n");
    Write("unknown.bed", "chr1\t0\t10\nscaffold_9\t0\t10\n");
    struct SBad {
        std::string m_Args, m_Message;
    };
    for (const SBad& c : {
             SBad{"--windows-bed unsorted.bed -w x.tsv",
                  "'unsorted.bed', line 3, chr1:101: comes after chr1:501; the lines of a contig "
                  "must come in order of their starts"},
             SBad{"--windows-bed unknown.bed -w x.tsv",
                  "'unknown.bed', contig scaffold_9: names "
                  "the contig 'scaffold_9'"},
             SBad{"--windows-bed genes.bed --windows 1000 -w x.tsv",
                  "--windows and --windows-bed are two ways"},
             SBad{"--windows contig", "--windows contig needs -w/--windows-file FILE"},
         }) {
        SCOPED_TRACE(c.m_Args);
        r = Scan(c.m_Args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.m_Message), std::string::npos) << r.err;
        EXPECT_NE(Sh("test -e x.tsv"), 0);
    }
}

// With --ci bootstrap, a BED window is refitted to the genome-wide
// resamples from its own sites, whatever other windows hold them: nested
// and overlapping lines get the values and intervals of the fixed windows
// they coincide with.
TEST_F(CWindowsKindsTest, BedWindowsTakeTheBootstrapOfTheFixedWindowsTheyCoincideWith) {
    MakeDraft();
    const std::string ci = "--ci bootstrap --block 200 --bootstrap 50 --seed 3 ";
    Write("nested.bed",
          "chr1\t0\t24000\n"
          "chr1\t0\t12000\n"
          "chr1\t6000\t18000\n"
          "chr1\t12000\t24000\n"
          "chr2\t0\t9000\n");
    SCmd r = Scan(ci + "--windows-bed nested.bed -w bed.tsv");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<TRow> bed = Rows(scanfix::ReadFile(Path("bed.tsv")));
    ASSERT_EQ(bed.size(), 5u);
    // The fixed windows of 24,000, 12,000 and 6,000:6,000 bases.
    std::map<std::string, TRow> fixed;
    for (const std::string windows : {"24000", "12000", "12000:6000"}) {
        r = Scan(ci + "--windows " + windows + " -w fixed.tsv");
        ASSERT_EQ(r.status, 0) << r.err;
        for (const TRow& row : Rows(scanfix::ReadFile(Path("fixed.tsv")))) {
            fixed[row[kContig] + ":" + row[kStart] + "-" + row[kEnd]] = row;
        }
    }
    for (const TRow& row : bed) {
        const std::string key = row[kContig] + ":" + row[kStart] + "-" + row[kEnd];
        SCOPED_TRACE(key);
        ASSERT_EQ(fixed.count(key), 1u);
        EXPECT_NE(row[kLo], "NA");
        EXPECT_EQ(row, fixed[key]);
    }
}

// When no window holds blocks enough for a bootstrap interval, every
// interval of the windows file is NA: standard error says so once (not once
// a sample), naming the block size and what to change; when some window
// has blocks enough, it says nothing.
TEST_F(CWindowsKindsTest, NoWindowWithBlocksEnoughIsSaidOnce) {
    ASSERT_EQ(
        Sh("'" + scanfix::BinDir() + "/qualpoolsim' -o two -n 20,30 -d 10 -l 12000,3000 --seed 6"),
        0);
    const std::string run = m_Qualscan +
                            "-f two.fa --per-sample --pool-size 20,30 --ci bootstrap "
                            "--bootstrap 30 -w w.tsv two.pool1.bam two.pool2.bam ";
    const std::string said =
        "qualscan: no window holds the 20 blocks of --block 300 bases that a "
        "bootstrap interval needs, so every window's theta_lo and theta_hi "
        "are NA: take a smaller --block";
    SCmd r = Run(run + "--block 300 --windows 3000");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t at = r.err.find(said);
    EXPECT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(said, at + 1), std::string::npos) << "said twice: " << r.err;
    for (const TRow& row : Rows(scanfix::ReadFile(Path("w.tsv")))) {
        EXPECT_EQ(row[kLo + 1], "NA");  // after the sample column
    }
    // Windows of 40 blocks have their intervals, and nothing is said.
    r = Run(run + "--block 300 --windows 12000");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("no window holds"), std::string::npos) << r.err;
    EXPECT_NE(Rows(scanfix::ReadFile(Path("w.tsv"))).at(0).at(kLo + 1), "NA");
}

// Overlapping windows share their sites in the bootstrap's refits: a site
// on a boundary that two windows share must be held once and refitted in
// each (a planted fault took it into both twice and no test saw it). The
// windows of a SIZE:SIZE/2 run that start at multiples of SIZE are those of
// a --windows SIZE run, values and intervals alike, for every thread count.
TEST_F(CWindowsKindsTest, OverlappingWindowsBootstrapAsTheTiledWindowsTheyCoincideWith) {
    MakeDraft();
    const std::string ci = "--ci bootstrap --block 100 --bootstrap 60 --seed 9 ";
    for (const std::string threads : {"-t 1 ", "-t 3 "}) {
        SCOPED_TRACE(threads);
        SCmd r = Scan(ci + threads + "--windows 3000 -w tiled.tsv");
        ASSERT_EQ(r.status, 0) << r.err;
        r = Scan(ci + threads + "--windows 3000:1500 -w sliding.tsv");
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, TRow> sliding;
        for (const TRow& row : Rows(scanfix::ReadFile(Path("sliding.tsv")))) {
            sliding[row[kContig] + ":" + row[kStart] + "-" + row[kEnd]] = row;
        }
        int compared = 0;
        for (const TRow& row : Rows(scanfix::ReadFile(Path("tiled.tsv")))) {
            const std::string key = row[kContig] + ":" + row[kStart] + "-" + row[kEnd];
            SCOPED_TRACE(key);
            ASSERT_EQ(sliding.count(key), 1u);
            EXPECT_EQ(sliding[key], row);
            compared += row[kLo] != "NA" ? 1 : 0;
        }
        EXPECT_GE(compared, 10);
    }
}

}  // namespace
