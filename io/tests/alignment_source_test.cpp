// qualscan's sites from alignments: clipped at contig ends, the same for
// every number of threads, and split by sample.

#include "io/alignment_source.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pileup/tests/pileup_fixture.hpp"

namespace {

using fixture::Header;
using fixture::Read;

// Every site of the source as contig:position (1-based) and depth.
std::vector<std::string> Sites(CAlignmentSiteSource& source) {
    std::vector<std::string> seen;
    SRawSite site;
    while (source.Next(site)) {
        EXPECT_LT(site.m_Pos, source.ContigLength(site.m_Contig));
        seen.push_back(source.ContigName(site.m_Contig) + ":" + std::to_string(site.m_Pos + 1) +
                       "x" + std::to_string(site.Depth()));
    }
    return seen;
}

class AlignmentSource : public fixture::CScratchTest {
  protected:
    const std::string m_Qualscan = "'" + fixture::BinDir() + "/qualscan' -P ";
};

TEST_F(AlignmentSource, NeverDeliversAPositionPastItsContigsEnd) {
    // c1 has 20 bases, and reads hang 5 and 6 bases off its end.
    auto made = Sh("samtools sort -o $/o.bam " + fixture::SourceDir() +
                   "/pileup/tests/data/past-end-two-contigs.sam && samtools index $/o.bam");
    ASSERT_EQ(made.status, 0) << made.err;
    std::vector<std::string> c1;
    for (int pos = 11; pos <= 20; ++pos) {
        c1.push_back("c1:" + std::to_string(pos) + (pos == 11 ? "x1" : "x2"));
    }
    SPileupOptions opts = fixture::Inputs({dir / "o.bam"});
    opts.m_Region = "c1:1-1000000";
    SPileupSummary summary;
    CAlignmentSiteSource source(opts, summary, nullptr);
    int tid = -1;
    std::int64_t beg = -1, end = -1;
    ASSERT_TRUE(source.Region(tid, beg, end));
    EXPECT_EQ(end, 20);
    EXPECT_EQ(Sites(source), c1);
    EXPECT_EQ(summary.m_BasesPastEnd, 11u);

    // The windows of the whole program stop at each contig's end (they ran
    // into an assertion on the sites past it).
    for (const std::string& input :
         {std::string("o.bam"),
          fixture::SourceDir() + "/pileup/tests/data/past-end-one-contig.sam"}) {
        auto r = Sh("cd $ && " + m_Qualscan + "--windows 10 -w w.tsv '" + input + "'");
        ASSERT_EQ(r.status, 0) << input << r.err;
        const std::string windows = fixture::ReadFile(dir / "w.tsv");
        EXPECT_EQ(windows.find("c1\t20\t30"), std::string::npos) << windows;
        EXPECT_NE(windows.find(input == "o.bam" ? "c1\t10\t20\t10\t19" : "c0\t0\t5\t5\t5"),
                  std::string::npos)
            << windows;
    }
}

}  // namespace
