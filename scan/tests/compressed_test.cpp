// A data set compressed with gzip or bgzip (qualpileup -o FILE.gz) gives
// qualscan and qualfit exactly what the plain document gives; a damaged one
// ends the run with status 1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "model/tests/scan_fixture.hpp"

namespace {

class CCompressedTest : public scanfix::CScratchTest {};

std::string Bin(const std::string& program) {
    const char* env = std::getenv("QT_BIN_DIR");
    return std::string(env ? env : QT_BIN_DIR) + "/" + program;
}

TEST_F(CCompressedTest, CompressedDataSetGivesWhatThePlainOneGives) {
    // Two contigs' worth of simulated reads, well over one BGZF block.
    std::string sam = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:c1\tLN:3000\n";
    const char bases[] = "ACGT";
    for (int i = 0; i < 2400; ++i) {
        std::string seq, qual;
        for (int j = 0; j < 50; ++j) {
            // A few reads differ from the rest at every seventh position.
            seq += bases[(j % 7 == 0 && i % 5 == 0) ? (i / 5) % 4 : j % 4];
            qual += static_cast<char>(33 + 10 + (i * 7 + j * 3) % 30);
        }
        sam += "r" + std::to_string(i) + "\t0\tc1\t" + std::to_string(1 + i) +
               "\t60\t50M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
    }
    Write("in.sam", sam);
    ASSERT_EQ(Sh("samtools view -b -o in.bam in.sam && " + Bin("qualpileup") +
                 " -P -o plain.xml in.bam && " + Bin("qualpileup") +
                 " -P -o bgzip.xml.gz in.bam && gzip -c plain.xml > gzip.gz"),
              0);
    // qualpileup -o FILE.gz writes BGZF: gzip members with the BC field.
    const std::string bgzf = scanfix::ReadFile(Path("bgzip.xml.gz"));
    ASSERT_GT(bgzf.size(), 28u);
    EXPECT_EQ(bgzf.substr(0, 4), std::string("\x1f\x8b\x08\x04", 4));
    EXPECT_EQ(bgzf.substr(12, 2), "BC");
    EXPECT_EQ(Sh("gzip -dc bgzip.xml.gz | cmp -s - plain.xml"), 0);
    EXPECT_GT(scanfix::ReadFile(Path("plain.xml")).size(), 4 * bgzf.size());

    const std::string scan = Bin("qualscan") + " -P --windows 500 -w ";
    ASSERT_EQ(Sh(scan + "plain.w plain.xml > plain.t"), 0);
    ASSERT_EQ(Sh(Bin("qualfit") + " -i plain.xml > plain.f"), 0);
    const std::string table = scanfix::ReadFile(Path("plain.t"));
    const std::string windows = scanfix::ReadFile(Path("plain.w"));
    const std::string fit = scanfix::ReadFile(Path("plain.f"));
    ASSERT_NE(table.find("neutral\t"), std::string::npos);
    ASSERT_NE(fit.find("LogLikelihood"), std::string::npos);
    for (const char* name : {"bgzip.xml.gz", "gzip.gz"}) {
        SCOPED_TRACE(name);
        const std::string n = name;
        ASSERT_EQ(Sh(scan + "a.w " + n + " > a.t && " + scan + "b.w - < " + n + " > b.t && " +
                     Bin("qualfit") + " -i " + n + " > a.f"),
                  0);
        EXPECT_EQ(scanfix::ReadFile(Path("a.t")), table);
        EXPECT_EQ(scanfix::ReadFile(Path("a.w")), windows);
        EXPECT_EQ(scanfix::ReadFile(Path("b.t")), table);
        EXPECT_EQ(scanfix::ReadFile(Path("b.w")), windows);
        EXPECT_EQ(scanfix::ReadFile(Path("a.f")), fit);
    }

    // Cut short: status 1 and a message, from both programs.
    scanfix::WriteFile(Path("cut.gz"), bgzf.substr(0, bgzf.size() / 2));
    ASSERT_EQ(Sh(Bin("qualscan") + " -P cut.gz > /dev/null 2> scan.err; test $? = 1 && " +
                 Bin("qualfit") + " -i cut.gz > /dev/null 2> fit.err; test $? = 1"),
              0);
    EXPECT_NE(scanfix::ReadFile(Path("scan.err"))
                  .find("'cut.gz': cannot be read: the compressed data are truncated or corrupt."),
              std::string::npos);
    EXPECT_NE(scanfix::ReadFile(Path("fit.err")).find("the input could not be read"),
              std::string::npos);
}

}  // namespace
