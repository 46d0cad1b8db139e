// qualscan's windows as a draft assembly needs them, through the program:
// windows of too few sites written as NA (--min-sites), windows of BED
// regions and of whole contigs against a brute-force sum over their sites,
// the warning when no window has blocks enough for a bootstrap interval,
// and overlapping windows' bootstrap intervals equal to those of the
// windows they coincide with.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "model/tests/scan_fixture.hpp"

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

}  // namespace
