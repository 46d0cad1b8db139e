// The qualpileup program as a user runs it, alone and together with qualfit.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "pileup_fixture.hpp"

namespace {

using fixture::Q;
using fixture::Read;

// A scratch directory holding a.bam: sites with a majority, a minor allele
// and third and fourth bases, on two contigs.
class Qualpileup : public fixture::CScratchTest {
  protected:
    void SetUp() override {
        std::string sam = fixture::Header({{"c1", 100}, {"c2", 50}});
        for (int i = 0; i < 7; ++i) {
            sam += Read("r" + std::to_string(i), 0, "c1", 10, 60, "3M",
                        std::string(1, "AAACCGT"[i]) + "AC", Q(20 + i) + Q(30) + Q(35));
        }
        Bam("a.bam", sam + Read("s", 0, "c2", 7, 60, "2M", "GG", Q(25) + Q(12)));
    }

    const std::string prog = "'" + fixture::BinDir() + "/qualpileup' ";
    const std::string qualfit = "'" + fixture::BinDir() + "/qualfit' ";
};

TEST_F(Qualpileup, WritesTheDocumentAndASummaryLine) {
    auto r = Sh(prog + "$/a.bam");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fixture::LibraryDocument(
                         {{10, {{20, 0}, {21, 0}, {22, 0}, {23, 1}, {24, 1}, {25, 2}, {26, 3}}},
                          {11, {{30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}}},
                          {12, {{35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}}},
                          {7, {{25, 0}}, "c2"},
                          {8, {{12, 0}}}}));
    // Standard error is no terminal here: no progress line, only the summary
    // and the note that two contigs share the document.
    EXPECT_EQ(r.err,
              "qualpileup: 5 sites written; sites left out: 0 without reads after filtering, 0 "
              "below --min-depth 1, 0 above --max-depth (none); reads skipped: 0 by flags, 0 "
              "below --min-MQ 20, 0 without base qualities; bases skipped: 0 deletions, 0 "
              "reference skips, 0 N, 0 below --min-BQ 0, 0 in overlapping mates, 0 past their "
              "contig's end\n"
              "qualpileup: warning: the document holds sites of 2 contigs; Column positions "
              "restart with each contig, so a position alone does not name a site (--region "
              "keeps one contig).\n");
}

TEST_F(Qualpileup, ErrorsEndWithStatusOneAndAMessageHelpAndVersionWithZero) {
    auto r = Sh(prog + "$/none.bam");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              InDir("qualpileup: error: Cannot open '$/none.bam': No such file or directory.\n"));
    r = Sh(prog + "--min-MQ -3 x.bam");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "qualpileup: error: Invalid value '-3' for --min-MQ: expected an integer from 0 to "
              "255.\nTry 'qualpileup --help' for the options.\n");
    EXPECT_EQ(Sh(prog).status, 1);

    r = Sh(prog + "--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: qualpileup [options]", 0), 0u);
    r = Sh(prog + "--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("qualpileup ", 0), 0u);
}

// Inputs that once crashed the program, ran it out of memory, let htslib's
// own lines reach standard error first, or lost data; they live in
// pileup/tests/data, where the program runs for these cases.
TEST_F(Qualpileup, DamagedAndUnusualInputsFromTheFieldEndWithOneMessage) {
    const std::string data = fixture::SourceDir() + "/pileup/tests/data";
    const std::string exception = "qualpileup: error: ";
    const std::pair<std::string, std::string> cases[] = {
        // A coordinate past the 64-bit range: htslib's parser overflowed
        // into a query that crashed or ran away.
        {"-r chr1:99999999999999999999 pileup-region-segv.bam",
         "Region 'chr1:99999999999999999999' does not parse: expected chr, chr:beg or "
         "chr:beg-end with 1 <= beg <= end."},
        {"-r chr1:99999999999999999999 pileup-region-hang.bam",
         "Region 'chr1:99999999999999999999' does not parse: expected chr, chr:beg or "
         "chr:beg-end with 1 <= beg <= end."},
        // NUL bytes in a @CO line: htslib cannot parse the header's text, so
        // every contig looked absent.
        {"-r chr2:800-800 pileup-leak-region-badheader.sam",
         "'pileup-leak-region-badheader.sam' has a malformed header (a line that is no SAM "
         "header record, or stray bytes in one): the file is corrupt."},
        // A FASTA cut short of its index; a CRAM container damaged.
        {"-f pileup-stray-msg-truncref.fa pileup-stray-msg-truncref.cram",
         "Reference 'pileup-stray-msg-truncref.fa' ends before the end of its contig 'chr2' as "
         "its index (pileup-stray-msg-truncref.fa.fai) gives it: the file is truncated or the "
         "index is stale; recreate the index with 'samtools faidx "
         "pileup-stray-msg-truncref.fa'."},
        {"-f pileup-ref.fa pileup-stray-msg-varint.cram",
         "'pileup-stray-msg-varint.cram' is truncated or corrupt (or 'pileup-ref.fa' is not its "
         "reference)."},
        // A .bai announcing two billion chunks.
        {"-r chr1:100 pileup-asan-oom-badbai.bam",
         "Index 'pileup-asan-oom-badbai.bam.bai' of 'pileup-asan-oom-badbai.bam' ends before "
         "the 2080374786 chunks it announces; recreate it with 'samtools index "
         "pileup-asan-oom-badbai.bam'."},
        // Bases written as '=' need the reference they stand for.
        {"seq-equals.sam",
         "'seq-equals.sam' writes bases equal to the reference as '=' (read 'r1' at c1:2): it "
         "needs the reference FASTA (-f/--reference)."},
    };
    for (const auto& c : cases) {
        auto r = Sh("cd '" + data + "' && " + prog + c.first);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.out, "") << c.first;
        EXPECT_EQ(r.err, exception + c.second + "\n") << c.first;
    }
    // With its reference, a file written by 'samtools calmd -e' gives what
    // the file with every base spelled out gives.
    auto equals = Sh("cd '" + data + "' && " + prog + "-f seq-equals-ref.fa seq-equals.sam");
    auto plain = Sh("cd '" + data + "' && " + prog + "-f seq-equals-ref.fa seq-equals-plain.sam");
    EXPECT_EQ(equals.status, 0) << equals.err;
    EXPECT_EQ(equals.out, plain.out);
    EXPECT_EQ(equals.err, plain.err);
    EXPECT_NE(equals.err.find("qualpileup: 5 sites written;"), std::string::npos) << equals.err;
}

TEST_F(Qualpileup, OutputFileIsReplacedOnlyByACompleteDocument) {
    fixture::WriteFile(dir / "out.xml", "old content\n");
    // A failing run leaves the old file and no temporary file.
    EXPECT_EQ(Sh(prog + "-o $/out.xml -r nowhere $/a.bam").status, 1);
    EXPECT_EQ(fixture::ReadFile(dir / "out.xml"), "old content\n");
    EXPECT_EQ(Sh("ls $ | grep -c tmp || true").out, "0\n");

    auto r = Sh(prog + "--output $/out.xml $/a.bam");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fixture::ReadFile(dir / "out.xml"), Sh(prog + "$/a.bam").out);
    // A device is written in place.
    r = Sh(prog + "-o /dev/null $/a.bam");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Qualpileup, AnOutputThatFailsIsNamedWithTheSystemsReason) {
    // A full disk, plain and compressed (through a link, the device), and
    // standard output on it; a directory that does not exist.
    Sh("ln -s /dev/full $/full.xml.gz");
    const std::pair<std::string, std::string> cases[] = {
        {"-o /dev/full $/a.bam", "Cannot write '/dev/full': No space left on device."},
        {"-o $/full.xml.gz $/a.bam", "Cannot write '$/full.xml.gz': No space left on device."},
        {"$/a.bam >/dev/full", "Cannot write 'standard output': No space left on device."},
        {"-o $/none/out.xml $/a.bam",
         "Cannot open '$/none/out.xml' for writing: No such file or directory."},
    };
    for (const auto& c : cases) {
        auto r = Sh(prog + c.first);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.err, InDir("qualpileup: error: " + c.second + "\n")) << c.first;
    }
}

TEST_F(Qualpileup, PipedIntoQualfitGivesAFiniteLogLikelihood) {
    auto r = Sh(prog + "$/a.bam 2>/dev/null | " + qualfit + "-i - -p");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tag = "LogLikelihood: ";
    ASSERT_EQ(r.out.rfind(tag, 0), 0u) << r.out;
    std::istringstream in(r.out.substr(tag.size()));
    double ll = NAN;
    in >> ll;
    ASSERT_TRUE(in) << r.out;
    EXPECT_TRUE(std::isfinite(ll)) << r.out;
    EXPECT_LT(ll, 0.0);
}

// doc without the tables qualfit -o adds (a line each); with merged, the
// marks of third and fourth bases become minor-allele marks.
// qualfit writes back what it read but the contig names (it ignores them).
std::string Normalised(const std::string& doc, bool merged) {
    std::istringstream in(doc);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const std::size_t contig = line.find(" contig=\"");
        if (contig != std::string::npos) {
            line.erase(contig, line.find('"', contig + 9) + 1 - contig);
        }
        std::size_t at = line.find(" other=\"");
        if (merged && at != std::string::npos) {
            line.replace(at, 10, " minor=\"\"");
        }
        if (line.find("<PrObservedCond") == std::string::npos) {
            out += line + "\n";
        }
    }
    return out;
}

TEST_F(Qualpileup, QualfitReadsTheDocumentAsWritten) {
    // A reference that makes the minority base C the reference at c1:10.
    Fasta("ref.fa", ">c1\n" + std::string(9, 'A') + "C" + std::string(90, 'A') + "\n>c2\n" +
                        std::string(50, 'G') + "\n");
    auto r = Sh(prog + "-f $/ref.fa -o $/doc.xml $/a.bam");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string written = fixture::ReadFile(dir / "doc.xml");
    ASSERT_NE(written.find("other=\"2\""), std::string::npos);

    // Unfolded, qualfit keeps the classes as given and merges the third and
    // fourth bases into the minor class, in the order they were written.
    r = Sh(qualfit + "-a -i $/doc.xml -o $/back.xml");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Normalised(fixture::ReadFile(dir / "back.xml"), false), Normalised(written, true));

    // Folded, without a reference and without third bases, the document
    // comes back unchanged.
    std::string sam = fixture::Header({{"c1", 100}});
    for (int i = 0; i < 5; ++i) {
        sam += Read("r" + std::to_string(i), 0, "c1", 3, 60, "2M", i < 3 ? "AG" : "TG",
                    Q(10 * i) + Q(33));
    }
    Bam("b.bam", sam);
    r = Sh(prog + "-o $/doc.xml $/b.bam && " + qualfit + "-i $/doc.xml -o $/back.xml");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Normalised(fixture::ReadFile(dir / "back.xml"), false),
              Normalised(fixture::ReadFile(dir / "doc.xml"), false));
}

}  // namespace
