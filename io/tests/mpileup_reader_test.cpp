// samtools mpileup text as qualscan reads it: the base-quality threshold and
// 64-bit positions as the alignments' path has them, and every fault of the
// text an input error of its kind, at its line.

#include "io/mpileup_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

class CMpileupReaderTest : public scanfix::CScratchTest {
  protected:
    scanfix::SAll Read(const std::string& name, const std::string& text, int minBaseQ = 0,
                       bool needReference = false) {
        m_Summary = SPileupSummary();
        m_Options.m_MinBaseQ = minBaseQ;
        CMpileupReader reader(Write(name, text), m_Options, m_Summary, needReference);
        scanfix::SAll all = scanfix::ReadAll(reader);
        m_Contigs = reader.Contigs();
        return all;
    }

    SPileupOptions m_Options;
    SPileupSummary m_Summary;
    std::vector<std::string> m_Contigs;
};

// The quality character of a score.
std::string Q(int score) {
    return std::string(1, static_cast<char>(33 + score));
}

TEST_F(CMpileupReaderTest, KeepsABaseAtTheThresholdAndPositionsPast2To31) {
    // Scores 29, 30 and 31 against --min-BQ 30: the one at the threshold is
    // kept, as the alignments' pileup keeps it (samtools: q >= min).
    const std::string text = "c1\t3000000000\tA\t3\t.,G\t" + Q(29) + Q(30) + Q(31) + "\n" +
                             "c1\t4294967297\tA\t1\t.\t" + Q(30) + "\n" + "c2\t7\tC\t2\t.T\t" +
                             Q(40) + Q(2) + "\n";
    const scanfix::SAll all = Read("a.pileup", text, 30);
    ASSERT_EQ(all.m_Error, "");
    ASSERT_EQ(all.m_Sites.size(), 3u);
    const SRawSite& s = all.m_Sites[0];
    EXPECT_EQ(s.m_Contig, 0);
    EXPECT_EQ(s.m_Pos, 2999999999);
    EXPECT_EQ(s.m_Scores[0], std::vector<std::uint8_t>{30});  // the reference A
    EXPECT_EQ(s.m_Scores[1], std::vector<std::uint8_t>{31});  // G
    EXPECT_EQ(all.m_Sites[1].m_Pos, 4294967296);
    EXPECT_EQ(all.m_Sites[2].m_Contig, 1);
    EXPECT_EQ(all.m_Sites[2].m_Pos, 6);
    EXPECT_EQ(all.m_Sites[2].Depth(), 1u);
    EXPECT_EQ(m_Summary.m_BasesLowQuality, 2u);
    EXPECT_EQ(m_Contigs, (std::vector<std::string>{"c1", "c2"}));
    // Without the threshold every base counts.
    EXPECT_EQ(Read("a.pileup", text, 0).m_Sites[0].Depth(), 3u);
}

TEST_F(CMpileupReaderTest, FaultsAreInputErrorsOfTheirKindAtTheirLine) {
    const std::string good = "c1\t5\tA\t1\t.\tI\n";
    struct SCase {
        const char* m_What;
        std::string m_Text;
        EInputError m_Kind;
        std::uint64_t m_Line;
        std::size_t m_SitesBefore;
        std::string m_Message;
    };
    const SCase cases[] = {
        {"five fields", good + "c1\t6\tA\t1\t.\n", EInputError::eFormat, 2, 1, "found 5 fields"},
        {"position in letters", good + "c1\tx6\tA\t1\t.\tI\n", EInputError::eRange, 2, 1,
         "the position 'x6' is not a whole number"},
        {"position 0", "c1\t0\tA\t1\t.\tI\n", EInputError::eRange, 1, 0, "'0'"},
        {"position back", good + "c1\t4\tA\t1\t.\tI\n", EInputError::eOrder, 2, 1,
         "c1:4: comes after c1:5"},
        {"position twice", good + good, EInputError::eOrder, 2, 1, "c1:5: comes after c1:5"},
        {"contig back", good + "c2\t1\tA\t1\t.\tI\n" + "c1\t9\tA\t1\t.\tI\n", EInputError::eOrder,
         3, 2, "c1:9: comes after c2:1; contig c1 comes back"},
        {"quality out of range", good + "c1\t6\tA\t1\t.\t\x7f\n", EInputError::eRange, 2, 1,
         "a base quality outside"},
        {"more bases than qualities", good + "c1\t6\tA\t2\t..\tI\n", EInputError::eFormat, 2, 1,
         "more bases than base qualities"},
        {"indel without bases", good + "c1\t6\tA\t1\t.+5AC\tI\n", EInputError::eFormat, 2, 1,
         "an indel '+' without a length"},
        {"carriage return in a contig name", good + "c\r1\t6\tA\t1\t.\tI\n", EInputError::eFormat,
         2, 1, "holds a carriage return"},
        // Ragged columns, with reads or without: pooled, the reads of one
        // column would mix with another's.
        {"a sample column more", good + "c1\t6\tA\t1\t.\tI\t1\t.\tI\n", EInputError::eFormat, 2, 1,
         "the line has 2 sample columns where the first line had 1."},
        {"a sample column less, no reads",
         "c1\t5\tA\t1\t.\tI\t1\t.\tI\nc1\t6\tA\t1\t.\tI\t0\t*\t*\nc1\t7\tA\t0\t*\t*\n",
         EInputError::eFormat, 3, 2, "the line has 1 sample columns where the first line had 2."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_What);
        const scanfix::SAll all = Read("bad.pileup", c.m_Text);
        ASSERT_TRUE(all.m_InputError) << all.m_Error;
        EXPECT_EQ(all.m_Kind, c.m_Kind) << all.m_Error;
        EXPECT_EQ(all.m_Where.m_File, Path("bad.pileup"));
        EXPECT_EQ(all.m_Where.m_Line, c.m_Line) << all.m_Error;
        EXPECT_EQ(all.m_Sites.size(), c.m_SitesBefore);
        EXPECT_NE(all.m_Error.find(c.m_Message), std::string::npos) << all.m_Error;
    }
}

// --unfolded takes the reference base as ancestral: text made without a
// reference (samtools mpileup without -f writes N everywhere) has none, and
// the majority base would silently stand in. An N where the text showed its
// reference before is a gap of the reference, treated as for alignments.
TEST_F(CMpileupReaderTest, UnfoldedNeedsTheReferenceColumn) {
    const std::string noReference = "c1\t5\tN\t2\tAA\tII\nc1\t6\tN\t1\tC\tI\n";
    scanfix::SAll all = Read("n.pileup", noReference, 0, true);
    ASSERT_TRUE(all.m_InputError) << all.m_Error;
    EXPECT_EQ(all.m_Kind, EInputError::eMismatch);
    EXPECT_EQ(all.m_Where.m_Line, 1u);
    EXPECT_NE(all.m_Error.find("samtools mpileup -f"), std::string::npos) << all.m_Error;
    // Folded, the same text is read.
    EXPECT_EQ(Read("n.pileup", noReference, 0, false).m_Sites.size(), 2u);
    all = Read("r.pileup", "c1\t4\tA\t1\t.\tI\n" + noReference, 0, true);
    EXPECT_EQ(all.m_Error, "");
    EXPECT_EQ(all.m_Sites.size(), 3u);
}

// Compressed text cut short: BGZF at a block boundary (every block checks,
// only the end block is missing) and gzip inside its stream.
TEST_F(CMpileupReaderTest, CompressedTextCutShortIsTruncated) {
    const std::string cut =
        scanfix::SourceDir() + "/fuzz/regression/pileup_text_fuzz/09_cut_noeof.pileup.gz";
    SPileupSummary summary;
    CMpileupReader reader(cut, m_Options, summary);
    scanfix::SAll all = scanfix::ReadAll(reader);
    ASSERT_TRUE(all.m_InputError) << all.m_Error;
    EXPECT_EQ(all.m_Kind, EInputError::eTruncated) << all.m_Error;
    EXPECT_EQ(all.m_Sites.size(), 200u);

    std::string text;
    for (int i = 1; i <= 20000; ++i) {
        text += "c1\t" + std::to_string(i) + "\tA\t3\t..,\tIII\n";
    }
    Write("g.pileup", text);
    ASSERT_EQ(Sh("gzip -c g.pileup | head -c 30000 > g.pileup.gz"), 0);
    SPileupSummary gzSummary;
    CMpileupReader gz(Path("g.pileup.gz"), m_Options, gzSummary);
    all = scanfix::ReadAll(gz);
    ASSERT_TRUE(all.m_InputError) << all.m_Error;
    EXPECT_EQ(all.m_Kind, EInputError::eTruncated) << all.m_Error;
    EXPECT_GT(all.m_Sites.size(), 1000u);
}

}  // namespace
