// Which positions count: --regions-file, --mask and the depth limits give
// the windows' sites and covered positions a hand count gives, the same for
// alignments, pileup text and a data set; bad interval files and sites out
// of order end the run with status 1 and a message naming the file and the
// fault.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "model/tests/scan_fixture.hpp"

namespace {

using scanfix::CScratchTest;

std::string BinDir() {
    const char* env = std::getenv("QT_BIN_DIR");
    return env ? env : QT_BIN_DIR;
}

// Depth after filtering on c1 (0-based): 2-3: 1, 4-9: 2, 10-11: 1,
// 20-29: 1, 35-39: 2; on c2: 0-4: 1.
const char kSam[] =
    "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:c1\tLN:40\n@SQ\tSN:c2\tLN:20\n"
    "r1\t0\tc1\t3\t60\t8M\t*\t0\t0\tACGTACGT\tIIIIIIII\n"
    "r2\t0\tc1\t5\t60\t8M\t*\t0\t0\tGTACGTAC\tIIIIIIII\n"
    "r3\t0\tc1\t21\t60\t10M\t*\t0\t0\tACGTACGTAC\tIIIIIIIIII\n"
    "r4\t0\tc1\t36\t60\t5M\t*\t0\t0\tACGTA\tIIIII\n"
    "r5\t0\tc1\t36\t60\t5M\t*\t0\t0\tACGTA\tIIIII\n"
    "r6\t0\tc2\t1\t60\t5M\t*\t0\t0\tACGTA\tIIIII\n";

// A window's start, sites and covered positions.
struct SRow {
    std::string m_Contig;
    long m_Start;
    unsigned long m_Sites, m_Covered;
    bool operator==(const SRow& o) const {
        return m_Contig == o.m_Contig && m_Start == o.m_Start && m_Sites == o.m_Sites &&
               m_Covered == o.m_Covered;
    }
};

std::ostream& operator<<(std::ostream& os, const SRow& r) {
    return os << r.m_Contig << ':' << r.m_Start << " sites " << r.m_Sites << " covered "
              << r.m_Covered;
}

// The windows file, read by column names.
std::vector<SRow> ReadWindows(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "#intervals=profile\tlevel=0.95");
    std::getline(in, line);
    EXPECT_EQ(line, "contig\tstart\tend\tsites\treads\tcovered\ttheta\ttheta_lo\ttheta_hi\tloglik");
    std::vector<SRow> rows;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        SRow r;
        long end;
        unsigned long reads;
        f >> r.m_Contig >> r.m_Start >> end >> r.m_Sites >> reads >> r.m_Covered;
        rows.push_back(r);
    }
    return rows;
}

class CPositionsTest : public CScratchTest {
  protected:
    // Runs qualscan in the scratch directory; its status, and its standard
    // error in err.
    int Scan(const std::string& args, std::string& err) {
        const int status = Sh(BinDir() + "/qualscan -P " + args + " 2>err.txt >table.tsv; exit $?");
        err = scanfix::ReadFile(Path("err.txt"));
        return status;
    }
};

TEST_F(CPositionsTest, RegionsMaskAndDepthGiveTheHandCount) {
    Write("in.sam", kSam);
    ASSERT_EQ(Sh("samtools view -b -o in.bam in.sam && samtools index in.bam && "
                 "samtools mpileup -B -Q 0 -q 0 -r c1 -o c1.pileup in.bam && " +
                 BinDir() + "/qualpileup -P -r c1 -o c1.xml in.bam"),
              0);
    // Overlapping intervals merge: the regions are c1 0-38, the mask 5-9.
    Write("regions.bed", "track name=regions\n# c1 only\nc1\t0\t30\nc1 12 38 extra\n\n");
    Write("mask.bed", "browser position c1\nc1\t5\t8\nc1\t7\t9\n");
    struct SCase {
        const char* m_Args;
        std::vector<SRow> m_Rows;  // c1 only
    };
    const SCase cases[] = {
        {"", {{"c1", 0, 8, 8}, {"c1", 10, 2, 2}, {"c1", 20, 10, 10}, {"c1", 30, 5, 5}}},
        // Covered counts the positions -d leaves out.
        {"--regions-file regions.bed --mask mask.bed -d 2",
         {{"c1", 0, 2, 4}, {"c1", 10, 0, 2}, {"c1", 20, 0, 10}, {"c1", 30, 3, 3}}},
        {"--mask mask.bed -D 1",
         {{"c1", 0, 2, 4}, {"c1", 10, 2, 2}, {"c1", 20, 10, 10}, {"c1", 30, 0, 5}}},
    };
    for (const SCase& c : cases) {
        for (const char* input : {"in.bam -r c1", "c1.pileup", "c1.xml --contig c1"}) {
            SCOPED_TRACE(std::string(c.m_Args) + " on " + input);
            std::string err;
            ASSERT_EQ(Scan(std::string(input) + " --windows 10 -w w.tsv " + c.m_Args, err), 0)
                << err;
            const std::vector<SRow> rows = ReadWindows(scanfix::ReadFile(Path("w.tsv")));
            // Without a contig length, the windows of text inputs reach the
            // last covered position, here the contig's end.
            EXPECT_EQ(rows, c.m_Rows);
            // The genome-wide fit sees the same sites as the windows.
            unsigned long sum = 0;
            for (const SRow& r : rows) {
                sum += r.m_Sites;
            }
            std::istringstream table(scanfix::ReadFile(Path("table.tsv")));
            std::string line, last;
            while (std::getline(table, line)) {
                last = line;
            }
            const std::size_t tab = last.rfind('\t');
            const std::size_t before = last.rfind('\t', tab - 1);
            EXPECT_EQ(last.substr(before + 1, tab - before - 1), std::to_string(sum)) << last;
        }
    }

    // Both contigs of the alignments, every window of each.
    Write("both.bed", "c1\t0\t10\nc2\t1\t20\n");
    std::string err;
    ASSERT_EQ(Scan("in.bam --windows 10 -w w.tsv --regions-file both.bed --mask mask.bed", err), 0)
        << err;
    EXPECT_EQ(ReadWindows(scanfix::ReadFile(Path("w.tsv"))), (std::vector<SRow>{{"c1", 0, 4, 4},
                                                                                {"c1", 10, 0, 0},
                                                                                {"c1", 20, 0, 0},
                                                                                {"c1", 30, 0, 0},
                                                                                {"c2", 0, 4, 4},
                                                                                {"c2", 10, 0, 0}}));
}

TEST_F(CPositionsTest, BadIntervalFilesAndUnsortedSitesEndTheRun) {
    Write("in.sam", kSam);
    ASSERT_EQ(Sh("samtools view -b -o in.bam in.sam && samtools index in.bam && "
                 "samtools mpileup -B -Q 0 -q 0 -o "
                 "in.pileup in.bam && " +
                 BinDir() + "/qualpileup -P -r c1 -o c1.xml in.bam"),
              0);
    Write("unknown.bed", "c1\t0\t5\nchr9\t3\t4\n");
    Write("ok.bed", "c1\t0\t5\n");
    struct SCase {
        const char* m_Args;
        std::string m_Message;
    };
    const SCase cases[] = {
        {"in.bam --regions-file unknown.bed",
         "'unknown.bed', contig chr9: names the contig 'chr9', which the alignments' header does "
         "not name."},
        {"in.pileup --mask unknown.bed",
         "'unknown.bed', contig chr9: names the contig 'chr9', which does not occur in "
         "'in.pileup'."},
        // qualpileup names the contig in the document.
        {"c1.xml --regions-file unknown.bed",
         "'unknown.bed', contig chr9: names the contig 'chr9', which does not occur in 'c1.xml'."},
        {"in.bam --mask start.bed", "'start.bed', line 2: the start 9 is after the end 3."},
        {"in.bam --mask word.bed",
         "'word.bed', line 1: the end '5x' is not a whole number from 0 to "},
        {"in.bam --mask negative.bed",
         "'negative.bed', line 1: the start '-1' is not a whole number from 0 to "},
        {"in.bam --regions-file short.bed",
         "'short.bed', line 3: expected a contig, a start and an end (0-based, half-open), "
         "separated by tabs or spaces."},
        {"in.bam --regions-file missing.bed",
         "'missing.bed': cannot be opened: No such file or directory."},
        // Windows alone once aborted on a site before the last. A position
        // that goes back in a document with contig names is out of order.
        {"unsorted.xml --windows-only",
         "'unsorted.xml', line 5, c1:3: comes after c1:5; the sites of a data set must be in "
         "genome order"},
        {"unsorted.xml --mask ok.bed", "'unsorted.xml', line 5, c1:3: comes after c1:5"},
    };
    Write("unsorted.xml",
          scanfix::Document("<Column pos=\"5\" contig=\"c1\"><Chr score=\"30\"/></Column>\n"
                            "<Column pos=\"3\"><Chr score=\"30\"/></Column>\n"));
    Write("start.bed", "c1\t0\t5\nc1\t9\t3\n");
    Write("word.bed", "c1\t0\t5x\n");
    Write("negative.bed", "c1\t-1\t5\n");
    Write("short.bed", "#\n\nc1\t4\n");
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Args);
        std::string err;
        EXPECT_EQ(Scan(std::string(c.m_Args) + " --windows 10 -w w.tsv", err), 1);
        EXPECT_NE(err.find(c.m_Message), std::string::npos) << err;
        // Nothing half-written is left behind.
        EXPECT_NE(Sh("test -e w.tsv"), 0);
    }
}

}  // namespace
