// qualscan on the inputs of real assemblies, through the program: reads past
// a contig's end and regions beyond it, positions up to 2^63 - 1, windows of
// contigs of unknown length in proportion to the input, many contigs giving
// one result whatever the order of work, and the refusals of options an
// input would ignore and of outputs that would collide (status 1, a message
// naming the option, nothing written).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "model/tests/scan_fixture.hpp"

namespace {

using scanfix::ReadFile;

// A file of scan/tests/regression: inputs that once broke qualscan.
std::string Regression(const std::string& name) {
    return scanfix::SourceDir() + "/scan/tests/regression/" + name;
}

// The lines of a table after its header, each cut to its first n columns
// joined by spaces.
std::vector<std::string> Lines(const std::string& text, int n) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    // The header (after the windows file's comment line).
    while (std::getline(in, line) && line.compare(0, 1, "#") == 0) {
    }
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string cut, f;
        for (int i = 0; i < n && std::getline(l, f, '\t'); ++i) {
            cut += (i ? " " : "") + f;
        }
        lines.push_back(cut);
    }
    return lines;
}

// The sites column of a genome-wide table's first row.
std::string TableSites(const std::string& table) {
    const std::string row = Lines(table, 11).at(0);
    return row.substr(row.rfind(' ') + 1);
}

class CRunEdgesTest : public scanfix::CScratchTest {};

const char kTwoContigs[] =
    "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:c1\tLN:40\n@SQ\tSN:c2\tLN:30\n"
    "r1\t0\tc1\t3\t60\t10M\t*\t0\t0\tACGTACGTAC\tIIIIIIIIII\n"
    "r2\t0\tc1\t8\t60\t10M\t*\t0\t0\tACGTTCGTAC\tIIIIIIIIII\n"
    "r3\t0\tc2\t1\t60\t10M\t*\t0\t0\tACGTACGTAC\tIIIIIIIIII\n";

TEST_F(CRunEdgesTest, OptionsAnInputIgnoresAndOutputsThatCollideAreRefusedBeforeAnyWork) {
    Write("good.xml", scanfix::Document("  <Column pos=\"7\">\n    <Chr score=\"30\"/>\n"
                                        "    <Chr score=\"30\" minor=\"\"/>\n  </Column>\n"));
    Write("a.pileup",
          "scaffold_049\t5\tA\t2\t.,\tII\nscaffold_049\t6\tC\t2\t.T\tII\n"
          "scaffold_051\t9\tG\t2\t.,\tII\n");
    Write("x.sam", kTwoContigs);
    Write("old.tsv", "keep\n");
    ASSERT_EQ(Sh("samtools sort -o x.bam x.sam && samtools index x.bam && ln -s old.tsv link.tsv "
                 "&& mkdir sub && cp '" +
                 Regression("10_valid_one.sites") + "' a.sites && cp '" + Regression("10_one.bed") +
                 "' one.bed"),
              0);
    struct SCase {
        std::string m_Args;
        std::string m_Start;  // how the message starts: the option and the rule
    };
    const SCase cases[] = {
        // Outputs that lead to one file, however spelled.
        {"--windows 10 -w t.tsv -o t.tsv good.xml",
         "'t.tsv' is named as the table (-o) and as the windows file (-w)"},
        {"--windows 10 -w ./sub/../t.tsv -o t.tsv good.xml",
         "'t.tsv' and './sub/../t.tsv' are one file"},
        {"--windows 10 -w link.tsv -o old.tsv good.xml", "'old.tsv' and 'link.tsv' are one file"},
        {"--windows 10 -w - good.xml", "The windows (-w -) and the table both go to standard"},
        {"-o good.xml good.xml", "'good.xml' is named as the table (-o) and as an input"},
        // Options of the table with --windows-only.
        {"--windows-only --windows 10 -w w.tsv -o t.tsv good.xml", "-o/--output applies to"},
        {"--windows-only --windows 10 -w w.tsv --model growth good.xml", "--model applies to"},
        // Options the input kind ignores.
        {"-r scaffold_050 a.pileup", "-r/--region does not apply to samtools mpileup text"},
        {"-q 30 a.pileup", "-q/--min-MQ does not apply to samtools mpileup text"},
        {"--contig c1 x.bam", "--contig does not apply to an alignment file"},
        {"-Q 20 good.xml", "-Q/--min-BQ does not apply to an XML data set"},
        {"-f x.fa a.sites", "-f/--reference does not apply to a qualscan summary file"},
        {"--mask one.bed a.sites", "--mask does not apply to a qualscan summary file"},
        {"-r c1 -r c2 x.bam", "-r/--region is given twice ('c1' and 'c2')"},
        {"--mask one.bed --mask two.bed good.xml", "--mask is given twice ('one.bed' and"},
        {"--regions-file one.bed --regions-file one.bed good.xml",
         "--regions-file is given twice ('one.bed' and"},
        // More windows per position than a contig of unknown length allows.
        {"--windows 2001:2 -w w.tsv a.pileup", "--windows 2001:2 puts each position into up to"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Args);
        const SCmd r = Run(m_Qualscan + c.m_Args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(0, 17 + c.m_Start.size()), "qualscan: error: " + c.m_Start) << r.err;
        EXPECT_EQ(r.out, "");
        // Nothing written, nothing replaced.
        EXPECT_NE(Run("test -e t.tsv || test -e w.tsv").status, 0);
        EXPECT_EQ(ReadFile(Path("old.tsv")), "keep\n");
        EXPECT_EQ(Run("test -L link.tsv && grep -q Column good.xml").status, 0);
    }
    // The same inputs where the options apply, and outputs apart, are read.
    for (const std::string args :
         {"-Q 20 -d 2 a.pileup", "-d 2 good.xml", "--windows 2000:2 -w w.tsv a.pileup",
          "-q 30 -r c1 x.bam", "--windows 10 -w w.tsv -o t.tsv --save-sites s.sites good.xml",
          "--windows-only --windows 10 -w - good.xml",
          "-o /dev/null --windows 10 -w /dev/null good.xml", "--level 0.9 s.sites"}) {
        SCOPED_TRACE(args);
        const SCmd r = Run(m_Qualscan + args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(Lines(ReadFile(Path("t.tsv")), 1), (std::vector<std::string>{"neutral", "growth"}));
    EXPECT_EQ(Lines(ReadFile(Path("w.tsv")), 4), std::vector<std::string>{". 0 10 1"});
}

// Pileup text of 2 sample columns on one line and 3 on the next was pooled
// ("2 sample columns pooled") where --per-sample refused it: every run now
// gets the reader's refusal, naming the file and the line.
TEST_F(CRunEdgesTest, RaggedPileupTextIsRefusedPooledOrKeptApart) {
    const std::string ragged = Regression("ragged_min.pileup");
    for (const std::string mode : {"", "--per-sample ", "--per-sample --samples a,b "}) {
        SCOPED_TRACE(mode);
        const SCmd r = Run(m_Qualscan + mode + "'" + ragged + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "qualscan: error: '" + ragged +
                             "', line 2, chr1:2: the line has 3 sample columns where the first "
                             "line had 2.\n");
    }
}

TEST_F(CRunEdgesTest, PositionsUpToTheLastOneAndContigsOfUnknownLength) {
    // A covered stretch far from the sites, left out of the fit by -d 2,
    // keeps its window; the empty windows between are not written.
    Write("gap.pileup",
          "c1\t1\tA\t2\t.,\tII\nc1\t2\tA\t2\t.,\tII\nc1\t3\tA\t2\t.,\tII\n"
          "c1\t5001\tA\t1\t.\tI\nc1\t5002\tA\t1\t.\tI\nc1\t5003\tA\t1\t.\tI\n"
          "c2\t9\tA\t1\t.\tI\nc3\t7\tA\t2\t.,\tII\n");
    const std::string far = "'" + Regression("05_bigpos.pileup") + "'";
    struct SCase {
        std::string m_Args;
        std::vector<std::string> m_Windows;  // contig start end sites reads covered
    };
    const SCase cases[] = {
        // A site at 2^63 - 1 with windows of 2^40: the window ends at 2^63 - 1
        // instead of overflowing, and the 2^23 windows before it are not walked.
        {"--windows 1099511627776 -w w.tsv '" + Regression("04_bigpos.xml") + "'",
         {". 9223370937343148032 9223372036854775807 1 2 1"}},
        // One line at 2^40 with windows of one base: one window, not 2^40.
        {"--windows 1 -w w.tsv " + far, {"chr1 1099511627775 1099511627776 1 1 1"}},
        {"-d 2 --windows 100 -w w.tsv gap.pileup",
         {"c1 0 100 3 6 3", "c1 5000 5100 0 0 3", "c2 0 100 0 0 1", "c3 0 100 1 2 1"}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Args);
        const SCmd r = Run(m_Qualscan + c.m_Args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Lines(ReadFile(Path("w.tsv")), 6), c.m_Windows);
    }
    // Sliding windows: each holds the site, SIZE/STEP of them.
    ASSERT_EQ(Run(m_Qualscan + "--windows 1000:1 -w w.tsv " + far).status, 0);
    EXPECT_EQ(Lines(ReadFile(Path("w.tsv")), 1).size(), 1000u);
}

TEST_F(CRunEdgesTest, ReadsPastAContigsEndAndRegionsBeyondItNeverAbort) {
    ASSERT_EQ(
        Sh("cp '" + Regression("02_past_end.sam") + "' past.sam && samtools sort -o two.bam '" +
           Regression("12_over_end_two_contigs.sam") + "' && samtools index two.bam"),
        0);
    // The reads are clipped at the contig's end and the bases clipped are
    // counted; the windows end there. Before, an assertion (status 134).
    struct SCase {
        std::string m_Args;
        std::vector<std::string> m_Windows;  // contig start end sites
        std::string m_Sites, m_Clipped;
    };
    const SCase cases[] = {
        {"--windows 10 -w w.tsv past.sam", {"c0 0 5 5"}, "5", "5 bases"},
        {"past.sam", {}, "5", "5 bases"},
        {"--windows 10 -w w.tsv two.bam",
         {"c1 0 10 0", "c1 10 20 10", "c2 0 10 10", "c2 10 20 0", "c2 20 30 0"},
         "20",
         "11 bases"},
        {"-r c1:1-1000000 --windows 10 -w w.tsv two.bam",
         {"c1 0 10 0", "c1 10 20 10"},
         "10",
         "11 bases"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Args);
        std::remove(Path("w.tsv").c_str());
        const SCmd r = Run(m_Qualscan + c.m_Args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(TableSites(r.out), c.m_Sites);
        const std::string tail =
            "; " + c.m_Clipped + " of reads past their contig's end left out\n";
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail);
        EXPECT_EQ(Lines(ReadFile(Path("w.tsv")), 4), c.m_Windows);
    }
    // A region beyond the contig's end is empty: no site, no window.
    const SCmd r = Run(m_Qualscan + "-r c2:100-200 --windows 10 -w w.tsv two.bam");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(TableSites(r.out), "0");
    EXPECT_EQ(Lines(ReadFile(Path("w.tsv")), 4), std::vector<std::string>{});
}

// Many contigs of varied lengths, some without reads: the table and the
// windows of one run equal those of two threads, and those gathered from
// one run per contig (-r, --save-sites), which is how the workflow cuts a
// genome.
TEST_F(CRunEdgesTest, ManyContigsGiveOneResultWhateverTheOrderOfWork) {
    const int contigs = 60;
    // Lengths 60..359, 1..12 reads of 40 bases with random bases and
    // qualities; every seventh contig has none.
    Write("many.awk",
          "BEGIN { srand(3); OFS = \"\\t\"; print \"@HD\", \"VN:1.6\", \"SO:coordinate\"\n"
          "  for (i = 0; i < n; i++) { len[i] = 60 + int(rand() * 300)\n"
          "    printf \"@SQ\\tSN:ctg%03d\\tLN:%d\\n\", i, len[i] }\n"
          "  for (i = 0; i < n; i++) { if (i % 7 == 3) continue\n"
          "    reads = 1 + int(rand() * 12)\n"
          "    for (r = 0; r < reads; r++) { seq = \"\"; q = \"\"\n"
          "      for (j = 0; j < 40; j++) { seq = seq substr(\"ACGT\", 1 + int(rand() * 4), 1)\n"
          "        q = q sprintf(\"%c\", 35 + int(rand() * 40)) }\n"
          "      printf \"r%d_%d\\t0\\tctg%03d\\t%d\\t60\\t40M\\t*\\t0\\t0\\t%s\\t%s\\n\",\n"
          "        i, r, i, 1 + int(rand() * (len[i] - 40)), seq, q } } }\n");
    ASSERT_EQ(Sh("awk -v n=" + std::to_string(contigs) +
                 " -f many.awk > many.sam && samtools sort -o many.bam many.sam && "
                 "samtools index many.bam"),
              0);
    const std::string windows = "--windows 50:20 ";
    SCmd one = Run(m_Qualscan + windows + "-w w1.tsv many.bam");
    ASSERT_EQ(one.status, 0) << one.err;
    const SCmd two = Run(m_Qualscan + windows + "-t 2 -w w2.tsv many.bam");
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(two.out, one.out);
    EXPECT_EQ(ReadFile(Path("w2.tsv")), ReadFile(Path("w1.tsv")));
    EXPECT_GT(std::stoul(TableSites(one.out)), 500u);

    // One run per contig, joined in the header's order: the comment line
    // and the header once.
    const std::string w1 = ReadFile(Path("w1.tsv"));
    std::string joined = w1.substr(0, w1.find('\n', w1.find('\n') + 1) + 1);
    std::string sites;
    for (int i = 0; i < contigs; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ctg%03d", i);
        const SCmd r = Run(m_Qualscan + windows + "--windows-only -w part.tsv -r " + name +
                           " --save-sites " + name + ".sites many.bam");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string part = ReadFile(Path("part.tsv"));
        joined += part.substr(part.find('\n', part.find('\n') + 1) + 1);
        sites += std::string(" ") + name + ".sites";
    }
    EXPECT_EQ(joined, ReadFile(Path("w1.tsv")));
    const SCmd gathered = Run(m_Qualscan + sites);
    ASSERT_EQ(gathered.status, 0) << gathered.err;
    EXPECT_EQ(gathered.out, one.out);
}

}  // namespace
