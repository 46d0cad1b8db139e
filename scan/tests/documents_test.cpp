// One toolkit: qualscan reads every document qualpileup, qualfit -o and
// qualgen write. Golden end to end: the alignments of several contigs, the
// document qualpileup writes of them and samtools' pileup text of them give
// one table (and the same windows); qualfit reads the document as if it
// named no contig.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "model/tests/scan_fixture.hpp"

namespace {

std::string Bin(const std::string& program) {
    const char* env = std::getenv("QT_BIN_DIR");
    return "'" + std::string(env ? env : QT_BIN_DIR) + "/" + program + "'";
}

class CDocumentsTest : public scanfix::CScratchTest {
  protected:
    // Runs cmd in the scratch directory; its standard output goes to
    // out.txt, its standard error to err.txt.
    int Run(const std::string& cmd) const {
        return std::system(("cd '" + m_Dir + "' && (" + cmd + ") > out.txt 2> err.txt").c_str());
    }
    std::string Out() const { return scanfix::ReadFile(Path("out.txt")); }
    std::string Err() const { return scanfix::ReadFile(Path("err.txt")); }
};

TEST_F(CDocumentsTest, SeveralContigsGiveOneTableFromAlignmentsTheirDocumentAndTheirText) {
    // Three contigs of lengths that the windows divide, each with its own
    // reads, polymorphic sites and reference, in one sorted BAM.
    const std::string make = "'" + scanfix::SourceDir() + "/scripts/make_bench_bam' ";
    ASSERT_EQ(Run(make + "600 6000 a.bam chrA 11 && " + make + "800 8000 b.bam chrB 12 && " + make +
                  "400 4000 c.bam chrC 13"),
              0)
        << Err();
    ASSERT_EQ(Run("{ samtools view -H a.bam | grep -v '^@PG'; samtools view -H b.bam | grep "
                  "'^@SQ'; samtools view -H c.bam | grep '^@SQ'; for f in a b c; do samtools view "
                  "$f.bam; done; } | samtools view -b -o x.bam - && samtools index x.bam && cat "
                  "a.fa b.fa c.fa > x.fa && samtools faidx x.fa"),
              0)
        << Err();
    ASSERT_EQ(Run(Bin("qualpileup") + " -P -f x.fa -o x.xml x.bam"), 0) << Err();
    ASSERT_EQ(Run("grep -c 'contig=' x.xml"), 0);
    EXPECT_EQ(Out(), "3\n");
    ASSERT_EQ(Run("samtools mpileup -B -Q 0 -q 20 -d 0 --ff UNMAP,SECONDARY,QCFAIL,DUP,"
                  "SUPPLEMENTARY -f x.fa x.bam > x.pileup"),
              0)
        << Err();

    const std::string qualscan = Bin("qualscan") + " -P ";
    struct SOptions {
        std::string m_Options;
        bool m_Document;  // the document applies them too (-Q filters reads it does not have)
    };
    for (const SOptions& o :
         {SOptions{"", true}, SOptions{"--unfolded", true}, SOptions{"-Q 20", false},
          SOptions{"--windows 2000 -w w.tsv", true},
          SOptions{"--unfolded --model growth --windows 1000:500 -w w.tsv -Q 30", false}}) {
        SCOPED_TRACE(o.m_Options);
        ASSERT_EQ(Run(qualscan + o.m_Options + " -f x.fa x.bam"), 0) << Err();
        const std::string table = Out();
        const std::string windows = scanfix::ReadFile(Path("w.tsv"));
        EXPECT_NE(Err().find("on 3 contigs"), std::string::npos) << Err();
        for (const std::string input : {"x.pileup", "x.xml"}) {
            if (input == "x.xml" && !o.m_Document) {
                continue;
            }
            SCOPED_TRACE(input);
            std::remove(Path("w.tsv").c_str());
            ASSERT_EQ(Run(qualscan + o.m_Options + " " + input), 0) << Err();
            EXPECT_EQ(Out(), table);
            EXPECT_NE(Err().find("on 3 contigs"), std::string::npos) << Err();
            // Only the alignments know the contigs' lengths, where the last
            // sliding windows end.
            ASSERT_EQ(Run("test ! -e w.tsv || awk -F '\\t' -v OFS='\\t' 'BEGIN { n[\"chrA\"] = "
                          "6000; n[\"chrB\"] = 8000; n[\"chrC\"] = 4000 } NR > 2 && $3 > n[$1] "
                          "{ $3 = n[$1] } { print }' w.tsv"),
                      0);
            EXPECT_EQ(Out(), windows);
        }
        std::remove(Path("w.tsv").c_str());
    }

    // qualfit ignores the names: the same fit with or without them.
    ASSERT_EQ(Run("sed 's/ contig=\"[^\"]*\"//' x.xml > nameless.xml && ! grep -q contig= "
                  "nameless.xml"),
              0);
    ASSERT_EQ(Run(Bin("qualfit") + " -i x.xml"), 0) << Err();
    const std::string fit = Out();
    ASSERT_EQ(Run(Bin("qualfit") + " -i nameless.xml"), 0) << Err();
    EXPECT_EQ(Out(), fit);

    // Without names, a position that goes back starts the next contig:
    // the same table, the contigs named after --contig.
    ASSERT_EQ(Run(qualscan + "-f x.fa x.bam"), 0) << Err();
    const std::string table = Out();
    ASSERT_EQ(Run(qualscan + "--contig chrA --windows 2000 -w w.tsv nameless.xml"), 0) << Err();
    EXPECT_EQ(Out(), table);
    ASSERT_EQ(Run("grep -v '^#' w.tsv | cut -f 1 | uniq | tr '\\n' ' '"), 0);
    EXPECT_EQ(Out(), "contig chrA chrA_2 chrA_3 ");

    // What qualfit -o writes (tables stored, no names) is read as well.
    ASSERT_EQ(Run(Bin("qualfit") + " -i x.xml -o back.xml && " + qualscan + "back.xml"), 0)
        << Err();
    EXPECT_NE(Err().find("on 3 contigs"), std::string::npos) << Err();
}

}  // namespace
