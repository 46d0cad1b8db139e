// Inputs are recognised by their content, and standard input loses no byte
// to the recognition.

#include "io/input_kind.hpp"

#include <gtest/gtest.h>
#include <htslib/hfile.h>
#include <htslib/sam.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/input_error.hpp"
#include "io/bed.hpp"
#include "io/mpileup_reader.hpp"
#include "io/xml_reader.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

using scanfix::CScratchTest;

const char kSam[] =
    "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:c1\tLN:40\n"
    "r1\t0\tc1\t3\t60\t8M\t*\t0\t0\tACGTACGT\tIIIIIIII\n"
    "r2\t0\tc1\t5\t60\t8M\t*\t0\t0\tGTACGTAC\tIIIIIIII\n";
const char kFasta[] = ">c1\nGGACGTACGTACGTACGTACGTACGTACGTACGTACGTAC\n";

class CInputKindTest : public CScratchTest {
  protected:
    // The message of the error that opening path throws ("" if none).
    // The error of opening path: its kind, the file it names, its text.
    struct SError {
        EInputError m_Kind = EInputError::eUnknown;
        std::string m_File, m_What;
    };
    static SError OpenError(const std::string& path) {
        try {
            CInputFile in(path);
        } catch (const CInputError& e) {
            return {e.Kind(), e.Where().m_File, e.what()};
        }
        return {};
    }
};

TEST_F(CInputKindTest, TellsKindsByContentNotByName) {
    Write("in.sam", kSam);
    Write("ref.fa", kFasta);
    const std::string xml = scanfix::SimulatedDocument(3, 1);
    Write("data.bam", xml);
    // Names that say the opposite of what the files hold.
    ASSERT_EQ(Sh("samtools faidx ref.fa && samtools view -b -o aln.xml in.sam && "
                 "samtools view -C -T ref.fa -o aln.cram.xml in.sam && cp in.sam sam.xml && "
                 "gzip -c in.sam > sam.gz.xml"),
              0);
    ASSERT_EQ(Sh("gzip -c data.bam > xml.gz.sam"), 0);
    Write("bom.sam", "\xEF\xBB\xBF \n\t" + xml);
    struct SCase {
        const char* m_Name;
        EInputKind m_Kind;
        htsExactFormat m_Format;
    };
    for (const SCase& c : {SCase{"aln.xml", EInputKind::eAlignment, bam},
                           SCase{"aln.cram.xml", EInputKind::eAlignment, cram},
                           SCase{"sam.xml", EInputKind::eAlignment, sam},
                           SCase{"sam.gz.xml", EInputKind::eAlignment, sam},
                           SCase{"data.bam", EInputKind::eXmlDataSet, text_format},
                           SCase{"bom.sam", EInputKind::eXmlDataSet, text_format},
                           SCase{"xml.gz.sam", EInputKind::eXmlDataSet, text_format}}) {
        SCOPED_TRACE(c.m_Name);
        CInputFile in(Path(c.m_Name));
        EXPECT_EQ(in.Kind(), c.m_Kind);
        EXPECT_EQ(in.Format().format, c.m_Format);
        EXPECT_EQ(DetectInputKind(Path(c.m_Name)), c.m_Kind);
    }

    // Nothing else passes, and the message names the file.
    Write("garbage", std::string("\x01\x02garbage\xff", 11));
    Write("text.txt", "Contig pos=1\n");
    Write("empty", "");
    ASSERT_EQ(Sh("gzip -c garbage > garbage.gz && mkdir dir"), 0);
    const std::string neither =
        "is neither an alignment file (SAM, BAM, CRAM), nor a qualtools XML data set, nor "
        "samtools mpileup text, nor a qualscan summary file.";
    struct SBad {
        const char* m_Name;
        EInputError m_Kind;
        std::string m_Message;
    };
    for (const SBad& c :
         {SBad{"garbage", EInputError::eFormat, "'$/garbage': " + neither},
          SBad{"text.txt", EInputError::eFormat, "'$/text.txt': " + neither},
          SBad{"garbage.gz", EInputError::eFormat, "'$/garbage.gz': " + neither},
          SBad{"empty", EInputError::eFormat, "'$/empty': is empty: it " + neither},
          SBad{"dir", EInputError::eOpen, "'$/dir': cannot be read: Is a directory."},
          SBad{"missing", EInputError::eOpen,
               "'$/missing': cannot be opened: No such file or directory."}}) {
        std::string expected = c.m_Message;
        expected.replace(expected.find('$'), 1, m_Dir);
        const SError e = OpenError(Path(c.m_Name));
        EXPECT_EQ(e.m_Kind, c.m_Kind) << c.m_Name;
        EXPECT_EQ(e.m_File, Path(c.m_Name));
        EXPECT_EQ(e.m_What, expected);
    }
}

// Runs body with standard input reading text from a pipe, fed by another
// thread, so the text may exceed the pipe's capacity.
template <class TBody>
void WithStandardInput(const std::string& text, TBody body) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(fds[0], 0), 0);
    ::close(fds[0]);
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    body();
    writer.join();
    ::dup2(saved, 0);
    ::close(saved);
}

TEST_F(CInputKindTest, StandardInputIsReadWhole) {
    // Far more than the handle's buffer and the pipe's capacity.
    const std::string xml = scanfix::SimulatedDocument(2000, 3);
    ASSERT_GT(xml.size(), 300000u);
    CXmlSiteReader fromFile(Write("d.xml", xml), true);
    const scanfix::SAll expected = scanfix::ReadAll(fromFile);
    ASSERT_EQ(expected.m_Error, "");

    WithStandardInput(xml, [&] {
        std::vector<CInputFile> inputs = OpenInputs({"-"});
        ASSERT_EQ(inputs.size(), 1u);
        ASSERT_EQ(inputs[0].Kind(), EInputKind::eXmlDataSet);
        EXPECT_EQ(inputs[0].Name(), "standard input");
        CXmlSiteReader reader(inputs[0].Release(), inputs[0].Path(), true);
        const scanfix::SAll all = scanfix::ReadAll(reader);
        EXPECT_EQ(all.m_Error, "");
        ASSERT_EQ(all.m_Sites.size(), expected.m_Sites.size());
        for (std::size_t i = 0; i < all.m_Sites.size(); ++i) {
            ASSERT_EQ(all.m_Sites[i].m_Pos, expected.m_Sites[i].m_Pos);
            ASSERT_EQ(all.m_Sites[i].m_Scores, expected.m_Sites[i].m_Scores);
        }
    });

    // An alignment file on standard input continues in htslib from the
    // same handle: header and both records.
    WithStandardInput(kSam, [&] {
        CInputFile in("-");
        ASSERT_EQ(in.Kind(), EInputKind::eAlignment);
        htsFile* fp = hts_hopen(in.Release(), "-", "r");
        ASSERT_NE(fp, nullptr);
        sam_hdr_t* hdr = sam_hdr_read(fp);
        ASSERT_NE(hdr, nullptr);
        EXPECT_EQ(sam_hdr_nref(hdr), 1);
        bam1_t* b = bam_init1();
        std::vector<long> starts;
        while (sam_read1(fp, hdr, b) >= 0) {
            starts.push_back(static_cast<long>(b->core.pos));
        }
        EXPECT_EQ(starts, (std::vector<long>{2, 4}));
        bam_destroy1(b);
        sam_hdr_destroy(hdr);
        hts_close(fp);
    });
}

TEST_F(CInputKindTest, PoolsAlignmentsOrReadsOneDataSet) {
    Write("in.sam", kSam);
    ASSERT_EQ(Sh("samtools view -b -o a.bam in.sam"), 0);
    Write("d.xml", scanfix::SimulatedDocument(2, 1));
    Write("e.xml", scanfix::SimulatedDocument(2, 1));
    EXPECT_EQ(OpenInputs({Path("a.bam"), Path("in.sam")}).size(), 2u);
    EXPECT_EQ(OpenInputs({Path("d.xml")}).size(), 1u);
    struct SCase {
        std::vector<std::string> m_Paths;
        std::string m_File;  // the input the error names
        std::string m_Message;
    };
    for (const SCase& c :
         {SCase{{Path("a.bam"), Path("d.xml")},
                Path("d.xml"),
                "is an XML data set: it is read alone, not pooled with alignment files."},
          SCase{{Path("d.xml"), Path("a.bam")},
                Path("d.xml"),
                "is an XML data set: it is read alone, not pooled with alignment files."},
          SCase{{Path("d.xml"), Path("e.xml")},
                Path("e.xml"),
                "is an XML data set, as '" + Path("d.xml") +
                    "' is: qualscan reads one XML data set at a time."},
          SCase{{"-", Path("a.bam"), "-"}, "-", "is named more than once."}}) {
        try {
            OpenInputs(c.m_Paths);
            ADD_FAILURE() << "taken: " << c.m_Message;
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), EInputError::eMismatch);
            EXPECT_EQ(e.Where().m_File, c.m_File);
            EXPECT_EQ(e.What(), c.m_Message);
        }
    }
}

// Text of samtools mpileup whose first line is longer than the bytes the
// recogniser sees (the handle's buffer; 4 KB on a pipe): two pools at depth
// 1,400 or one at 4,100 were refused as "neither ... nor samtools mpileup
// text". Deep lines are recognised whatever their length, from a file, a
// compressed file and standard input, and the reader then has every read;
// a line that breaks its columns before the cut is still refused.
TEST_F(CInputKindTest, PileupTextIsRecognisedHoweverLongItsFirstLine) {
    // Depth depth: bases '.' and 'C', qualities '5' and 'I'.
    auto column = [](int depth) {
        std::string bases, quals;
        for (int i = 0; i < depth; ++i) {
            bases += i % 7 == 0 ? 'C' : '.';
            quals += i % 3 == 0 ? '5' : 'I';
        }
        return std::to_string(depth) + "\t" + bases + "\t" + quals;
    };
    const std::string deep = "chr1\t1\tA\t" + column(100000) + "\t" + column(60000) +
                             "\nchr1\t2\tA\t" + column(3) + "\t" + column(4) + "\n";
    Write("deep.pileup", deep);
    ASSERT_EQ(Sh("gzip -c deep.pileup > deep.pileup.gz"), 0);
    const std::string regression = scanfix::SourceDir() + "/io/tests/regression/";
    struct SCase {
        std::string m_Path;
        std::size_t m_Reads;  // every read of the text
    };
    for (const SCase& c :
         {SCase{regression + "first_line_1400x2.pileup", 1400 * 2 + 5 * 2},
          SCase{regression + "first_line_4100x1.pileup", 4100 + 3},
          SCase{Path("deep.pileup"), 160007}, SCase{Path("deep.pileup.gz"), 160007}}) {
        SCOPED_TRACE(c.m_Path);
        CInputFile in(c.m_Path);
        ASSERT_EQ(in.Kind(), EInputKind::eMpileupText);
        SPileupOptions filters;
        SPileupSummary summary;
        CMpileupReader reader(in.Release(), in.Path(), filters, summary);
        const scanfix::SAll all = scanfix::ReadAll(reader);
        ASSERT_EQ(all.m_Error, "");
        std::size_t reads = 0;
        for (const SRawSite& site : all.m_Sites) {
            reads += site.Depth();
        }
        EXPECT_EQ(reads, c.m_Reads);
    }
    // From a pipe, which cannot be read twice: nothing lost to the look.
    WithStandardInput(deep, [&] {
        CInputFile in("-");
        ASSERT_EQ(in.Kind(), EInputKind::eMpileupText);
        SPileupOptions filters;
        SPileupSummary summary;
        CMpileupReader reader(in.Release(), in.Path(), filters, summary);
        const scanfix::SAll all = scanfix::ReadAll(reader);
        ASSERT_EQ(all.m_Error, "");
        ASSERT_EQ(all.m_Sites.size(), 2u);
        EXPECT_EQ(all.m_Sites[0].Depth() + all.m_Sites[1].Depth(), 160007u);
    });
    // Cut lines whose seen fields break their columns: not pileup text.
    const std::string bases(9000, '.');
    for (const std::string& bad :
         {"chr1\t1\tA\tx\t" + bases, "chr1\tp1\tA\t9000\t" + bases, "chr1\t1\tAC\t9000\t" + bases,
          "chr1\t1\tA\t9000\t..... " + bases, "chr1\t1\tA\t" + bases,
          "chr1\t1\tA\t5\t.....\tIIIII\t5x\t" + bases,
          "chr1\t1\tA\t5\t.....\tIII\x01I\t" + bases}) {
        SCOPED_TRACE(bad.substr(0, 40));
        Write("bad.pileup", bad + "\n");
        EXPECT_EQ(OpenError(Path("bad.pileup")).m_Kind, EInputError::eFormat);
    }
}

// A reader is given the input's name as the user wrote it and quotes it
// once in its messages; qualfst gave the pileup reader CInputFile::Name(),
// quoted already, and every message read ''quote_doubled.pileup''. Each
// reader of text, from a file and from standard input.
TEST_F(CInputKindTest, EveryReaderQuotesTheNameItIsGivenOnce) {
    const std::string pileup = scanfix::SourceDir() + "/io/tests/regression/quote_doubled.pileup";
    Write("bad.xml", scanfix::Document("  <Column pos=\"x\"/>\n"));
    Write("bad.bed", "chr1\t9\t3\n");
    // The message of what reading path throws, or "".
    auto message = [](const std::function<void()>& read) {
        try {
            read();
        } catch (const CInputError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    auto readPileup = [](CInputFile& in) {
        SPileupOptions filters;
        SPileupSummary summary;
        CMpileupReader reader(in, filters, summary);
        SRawSite site;
        while (reader.Next(site)) {
        }
    };
    auto readXml = [](CInputFile& in) {
        CXmlSiteReader reader(in.Release(), in.Path(), true);
        SRawSite site;
        while (reader.Next(site)) {
        }
    };
    struct SCase {
        std::string m_Path;
        std::function<void()> m_Read;
        std::string m_Start;  // how the message starts
    };
    const std::vector<SCase> cases = {
        {pileup,
         [&] {
             CInputFile in(pileup);
             readPileup(in);
         },
         "'" + pileup + "', line 1, chr1:1: an indel"},
        {pileup,
         [&] {
             SPileupOptions filters;
             SPileupSummary summary;
             CMpileupReader reader(pileup, filters, summary);
             SRawSite site;
             reader.Next(site);
         },
         "'" + pileup + "', line 1, chr1:1: an indel"},
        {Path("bad.xml"),
         [&] {
             CInputFile in(Path("bad.xml"));
             readXml(in);
         },
         "'" + Path("bad.xml") + "', line "},
        {Path("bad.bed"), [&] { CBedFile bed(Path("bad.bed")); },
         "'" + Path("bad.bed") + "', line 1: the start 9 is after the end 3."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Start);
        const std::string m = message(c.m_Read);
        EXPECT_EQ(m.compare(0, c.m_Start.size(), c.m_Start), 0) << m;
        EXPECT_EQ(m.find("''"), std::string::npos) << m;
        EXPECT_EQ(m.find(c.m_Path, c.m_Path.size()), std::string::npos) << m;
    }
    // Standard input is named in words, unquoted.
    WithStandardInput(scanfix::ReadFile(pileup), [&] {
        CInputFile in("-");
        const std::string m = message([&] { readPileup(in); });
        EXPECT_EQ(m.compare(0, 35, "standard input, line 1, chr1:1: an "), 0) << m;
        EXPECT_EQ(m.find("'standard input"), std::string::npos) << m;
    });
}

}  // namespace
