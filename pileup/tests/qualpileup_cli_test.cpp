// The qualpileup program as a user runs it, alone and together with qualfit.

#include <gtest/gtest.h>
#include <htslib/faidx.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "pileup_fixture.hpp"

namespace {

using fixture::CTempDir;
using fixture::Q;
using fixture::Read;
using fixture::SamTextToBam;
using fixture::Shell;

std::string Prog() {
    return "'" + fixture::BinDir() + "/qualpileup'";
}
std::string Qualfit() {
    return fixture::BinDir() + "/qualfit";
}

// Sites with a majority, a minor allele and third and fourth bases, on two
// contigs.
std::string Sample() {
    std::string sam = fixture::Header({{"c1", 100}, {"c2", 50}});
    const char* bases[] = {"A", "A", "A", "C", "C", "G", "T"};
    for (int i = 0; i < 7; ++i) {
        sam += Read("r" + std::to_string(i), 0, "c1", 10, 60, "3M", std::string(bases[i]) + "AC",
                    Q(20 + i) + Q(30) + Q(35));
    }
    sam += Read("s", 0, "c2", 7, 60, "2M", "GG", Q(25) + Q(12));
    return sam;
}

TEST(QualpileupProgram, WritesTheDocumentAndASummaryLine) {
    CTempDir dir;
    SamTextToBam(Sample(), dir / "a.bam");
    auto r = Shell(dir, Prog() + " '" + (dir / "a.bam") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fixture::LibraryDocument({
                         {10, {{20, 0}, {21, 0}, {22, 0}, {23, 1}, {24, 1}, {25, 2}, {26, 3}}},
                         {11, {{30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}}},
                         {12, {{35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}, {35, 0}}},
                         {7, {{25, 0}}},
                         {8, {{12, 0}}},
                     }));
    // Standard error is no terminal here: no progress line, only the summary
    // and the note that two contigs share the document.
    EXPECT_EQ(r.err,
              "qualpileup: 5 sites written; sites left out: 0 without reads after filtering, 0 "
              "below --min-depth 1, 0 above --max-depth (none); reads skipped: 0 by flags, 0 "
              "below --min-MQ 20, 0 without base qualities; bases skipped: 0 deletions, 0 "
              "reference skips, 0 N, 0 below --min-BQ 0, 0 in overlapping mates\n"
              "qualpileup: warning: the document holds sites of 2 contigs; Column positions "
              "restart with each contig, so a position alone does not name a site (--region "
              "keeps one contig).\n");
}

TEST(QualpileupProgram, ErrorsEndWithStatusOneAndAMessage) {
    CTempDir dir;
    auto r = Shell(dir, Prog() + " '" + (dir / "none.bam") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Exception:\n\tCannot open '" + (dir / "none.bam") +
                         "': No such file or directory.\n");

    r = Shell(dir, Prog() + " --min-MQ -3 x.bam");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Exception:\n\tInvalid value '-3' for --min-MQ: expected an integer from 0 to "
              "255.\nTry 'qualpileup --help' for the options.\n");

    r = Shell(dir, Prog());
    EXPECT_EQ(r.status, 1);
}

TEST(QualpileupProgram, HelpAndVersionSucceed) {
    CTempDir dir;
    auto r = Shell(dir, Prog() + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: qualpileup [options]", 0), 0u);
    r = Shell(dir, Prog() + " --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("qualpileup ", 0), 0u);
}

TEST(QualpileupProgram, OutputFileIsReplacedOnlyByACompleteDocument) {
    CTempDir dir;
    SamTextToBam(Sample(), dir / "a.bam");
    std::string out = dir / "out.xml";
    fixture::WriteFile(out, "old content\n");

    // A failing run leaves the old file and no temporary file.
    auto r = Shell(dir, Prog() + " -o '" + out + "' -r nowhere '" + (dir / "a.bam") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fixture::ReadFile(out), "old content\n");
    auto ls = Shell(dir, "ls '" + dir.Path() + "' | grep -c tmp || true");
    EXPECT_EQ(ls.out, "0\n");

    r = Shell(dir, Prog() + " --output '" + out + "' '" + (dir / "a.bam") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    auto stdoutRun = Shell(dir, Prog() + " '" + (dir / "a.bam") + "'");
    EXPECT_EQ(fixture::ReadFile(out), stdoutRun.out);
    EXPECT_EQ(r.out, "");

    // A device is written in place.
    r = Shell(dir, Prog() + " -o /dev/null '" + (dir / "a.bam") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
}

bool HaveQualfit() {
    return ::access(Qualfit().c_str(), X_OK) == 0;
}

TEST(QualpileupWithQualfit, FittedLogLikelihoodIsFinite) {
    if (!HaveQualfit()) {
        GTEST_SKIP() << "qualfit is not built";
    }
    CTempDir dir;
    SamTextToBam(Sample(), dir / "a.bam");
    auto r =
        Shell(dir, Prog() + " '" + (dir / "a.bam") + "' 2>/dev/null | '" + Qualfit() + "' -i - -p");
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

// The document without the tables qualfit adds.
std::string WithoutTables(const std::string& doc) {
    std::istringstream in(doc);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.find("<PrObservedCond") == std::string::npos) {
            out += line + "\n";
        }
    }
    return out;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

TEST(QualpileupWithQualfit, QualfitReadsTheDocumentAsWritten) {
    if (!HaveQualfit()) {
        GTEST_SKIP() << "qualfit is not built";
    }
    CTempDir dir;
    SamTextToBam(Sample(), dir / "a.bam");
    // A reference that makes the minority base C the reference at c1:10.
    fixture::WriteFile(dir / "ref.fa", ">c1\n" + std::string(9, 'A') + "C" + std::string(90, 'A') +
                                           "\n>c2\n" + std::string(50, 'G') + "\n");
    ASSERT_EQ(fai_build((dir / "ref.fa").c_str()), 0);
    std::string doc = dir / "doc.xml";
    auto r = Shell(
        dir, Prog() + " -f '" + (dir / "ref.fa") + "' -o '" + doc + "' '" + (dir / "a.bam") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string written = fixture::ReadFile(doc);
    ASSERT_NE(written.find("other=\"2\""), std::string::npos);

    // Unfolded, qualfit keeps the classes as given and merges the third and
    // fourth bases into the minor class, in the order they were written.
    r = Shell(dir, "'" + Qualfit() + "' -a -i '" + doc + "' -o '" + (dir / "back.xml") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string merged =
        Replace(Replace(written, " other=\"1\"", " minor=\"\""), " other=\"2\"", " minor=\"\"");
    EXPECT_EQ(WithoutTables(fixture::ReadFile(dir / "back.xml")), merged);

    // Folded, without a reference and without third bases, the document
    // comes back unchanged.
    std::string sam = fixture::Header({{"c1", 100}});
    for (int i = 0; i < 5; ++i) {
        sam += Read("r" + std::to_string(i), 0, "c1", 3, 60, "2M", i < 3 ? "AG" : "TG",
                    Q(10 * i) + Q(33));
    }
    SamTextToBam(sam, dir / "b.bam");
    r = Shell(dir, Prog() + " -o '" + doc + "' '" + (dir / "b.bam") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Shell(dir, "'" + Qualfit() + "' -i '" + doc + "' -o '" + (dir / "back.xml") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(WithoutTables(fixture::ReadFile(dir / "back.xml")), fixture::ReadFile(doc));
}

}  // namespace
