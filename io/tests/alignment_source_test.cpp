// qualscan's sites from alignments: clipped at contig ends, the same for
// every number of threads, and split by sample.

#include "io/alignment_source.hpp"

#include <gtest/gtest.h>

#include <htslib/thread_pool.h>

#include <algorithm>
#include <random>
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

// A site as text: contig index, position and the scores of each class.
std::string Text(const SRawSite& s) {
    std::string text = std::to_string(s.m_Contig) + ":" + std::to_string(s.m_Pos);
    for (const auto& scores : s.m_Scores) {
        text += " |";
        for (unsigned char q : scores) {
            text += " " + std::to_string(q);
        }
    }
    return text;
}

TEST_F(AlignmentSource, EachSamplesSitesAreThoseOfTheSampleAlone) {
    // Samples A and B of different allele frequencies, each in its own
    // file and both in one merged file; pairs overlap, and some reads fail
    // the filters.
    std::mt19937 rng(5150);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::string header = Header({{"c1", 300}, {"c2", 200}});
    std::string sam[2] = {header + "@RG\tID:la\tSM:A\n", header + "@RG\tID:lb\tSM:B\n"};
    for (int i = 0; i < 400; ++i) {
        const int sample = uniform(0, 1);
        const std::string contig = uniform(0, 2) ? "c1" : "c2";
        const int pos = uniform(1, 170);
        auto read = [&](int flag, int at, const std::string& mate, int matePos) {
            std::string seq, qual;
            for (int k = 0; k < 25; ++k) {
                // A carries C at a tenth of its reads, B at half.
                seq += uniform(0, 99) < (sample ? 50 : 10) ? 'C' : "AG"[(at + k) % 2];
                qual += fixture::Q(uniform(2, 41));
            }
            std::string line = Read("r" + std::to_string(i), flag, contig, at, uniform(15, 60),
                                    "25M", seq, qual, mate, matePos);
            return line.insert(line.size() - 1, sample ? "\tRG:Z:lb" : "\tRG:Z:la");
        };
        if (uniform(0, 1)) {
            const int matePos = pos + uniform(0, 30);
            sam[sample] +=
                read(0x1 | 0x40, pos, "=", matePos) + read(0x1 | 0x80, matePos, "=", pos);
        } else {
            sam[sample] += read(uniform(0, 9) ? 0 : 0x400, pos, "*", 0);
        }
    }
    fixture::WriteFile(dir / "a.sam", sam[0]);
    fixture::WriteFile(dir / "b.sam", sam[1]);
    auto made =
        Sh("samtools sort -o $/a.bam $/a.sam && samtools sort -o $/b.bam $/b.sam && samtools merge "
           "-o $/ab.bam $/a.bam $/b.bam && samtools index $/a.bam && samtools index $/b.bam && "
           "samtools index $/ab.bam");
    ASSERT_EQ(made.status, 0) << made.err;

    hts_tpool* threads = hts_tpool_init(2);
    ASSERT_NE(threads, nullptr);
    htsThreadPool pool{threads, 0};
    for (htsThreadPool* p : {static_cast<htsThreadPool*>(nullptr), &pool}) {
        auto opts = [&](std::vector<std::string> files) {
            SPileupOptions o = fixture::Inputs(std::move(files));
            o.m_Chunking = SPileupChunking{7, 20};  // boundaries everywhere on threads
            return o;
        };
        // Each sample alone.
        std::vector<std::string> alone[2];
        for (int sample = 0; sample < 2; ++sample) {
            SPileupSummary summary;
            CAlignmentSiteSource source(opts({dir / (sample ? "b.bam" : "a.bam")}), summary, p);
            SRawSite site;
            while (source.Next(site)) {
                alone[sample].push_back(Text(site));
            }
            ASSERT_GT(alone[sample].size(), 300u);
        }
        // Merged, or the two files given together: split by sample.
        for (const auto& files : {std::vector<std::string>{dir / "ab.bam"},
                                  std::vector<std::string>{dir / "a.bam", dir / "b.bam"}}) {
            SPileupSummary summary;
            CAlignmentSiteSource source(opts(files), summary, p, true);
            ASSERT_EQ(source.Samples(), (std::vector<std::string>{"A", "B"}));
            std::vector<std::string> split[2];
            std::vector<SRawSite> perSample;
            while (source.NextBySample(perSample)) {
                ASSERT_EQ(perSample.size(), 2u);
                for (int sample = 0; sample < 2; ++sample) {
                    if (perSample[static_cast<std::size_t>(sample)].Depth() > 0) {
                        split[sample].push_back(Text(perSample[static_cast<std::size_t>(sample)]));
                    }
                }
            }
            EXPECT_EQ(split[0], alone[0]) << files.size();
            EXPECT_EQ(split[1], alone[1]) << files.size();
        }
    }
    hts_tpool_destroy(threads);
}

TEST_F(AlignmentSource, ProgramsWriteTheSameBytesForEveryNumberOfThreads) {
    // Two lanes dense enough for several chunks of the default size on
    // c1, pairs overlapping everywhere (so across every chunk boundary),
    // duplicates, low mapping qualities and reads hanging off c2's end.
    std::mt19937 rng(777);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::string header = Header({{"c1", 150000}, {"c2", 40000}});
    std::string reference;
    for (const int length : {150000, 40000}) {
        std::string seq;
        for (int i = 0; i < length; ++i) {
            seq += "ACGT"[uniform(0, 3)];
        }
        reference += seq;
    }
    auto base = [&](const std::string& contig, int pos) {
        const char b = reference[static_cast<std::size_t>((contig == "c1" ? 0 : 150000) + pos - 1)];
        return uniform(0, 99) < 3 ? "ACGT"[uniform(0, 3)] : b;
    };
    for (int lane = 0; lane < 2; ++lane) {
        std::vector<std::pair<long, std::string>> lines;
        for (int i = 0; i < 24000; ++i) {
            const std::string contig = uniform(0, 3) ? "c1" : "c2";
            const int length = contig == "c1" ? 150000 : 40000;
            const int pos = uniform(1, length - 20);
            auto read = [&](int flag, int at, const std::string& mate, int matePos) {
                std::string seq, qual;
                for (int k = 0; k < 50; ++k) {
                    seq += at + k <= length ? base(contig, at + k) : 'A';
                    qual += fixture::Q(uniform(2, 41));
                }
                const std::string name = "l" + std::to_string(lane) + "r" + std::to_string(i);
                const long key = (contig == "c1" ? 0L : 1000000L) + at;
                lines.emplace_back(key, Read(name, flag, contig, at, uniform(0, 9) ? 60 : 5, "50M",
                                             seq, qual, mate, matePos));
            };
            if (uniform(0, 1)) {
                const int matePos = pos + uniform(0, 40);
                read(0x1 | 0x2 | 0x40, pos, "=", matePos);
                read(0x1 | 0x2 | 0x80 | 0x10, matePos, "=", pos);
            } else {
                read(uniform(0, 19) ? 0 : 0x400, pos, "*", 0);
            }
        }
        std::stable_sort(lines.begin(), lines.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::string sam = header + "@RG\tID:L" + std::to_string(lane) + "\tSM:pool\n";
        for (const auto& l : lines) {
            sam += l.second;
        }
        fixture::WriteFile(dir / ("lane" + std::to_string(lane) + ".sam"), sam);
    }
    auto made =
        Sh("samtools view -b -o $/lane0.bam $/lane0.sam && samtools index $/lane0.bam && "
           "samtools view -b -o $/lane1.bam $/lane1.sam && samtools index $/lane1.bam && "
           "cp $/lane0.bam $/noindex.bam");
    ASSERT_EQ(made.status, 0) << made.err;

    const std::string qualpileup = "'" + fixture::BinDir() + "/qualpileup' -P ";
    for (const std::string& inputs :
         {std::string("lane0.bam lane1.bam"), std::string("noindex.bam")}) {
        std::string first;
        for (int threads = 1; threads <= 3; ++threads) {
            const std::string t = " -t " + std::to_string(threads) + " ";
            auto scan = Sh("cd $ && " + m_Qualscan + t + "--windows 20000 -w w.tsv " + inputs);
            ASSERT_EQ(scan.status, 0) << scan.err;
            auto pile = Sh("cd $ && " + qualpileup + t + "-o doc.xml " + inputs);
            ASSERT_EQ(pile.status, 0) << pile.err;
            const std::string all = scan.out + scan.err + fixture::ReadFile(dir / "w.tsv") +
                                    pile.err + fixture::ReadFile(dir / "doc.xml");
            if (threads == 1) {
                first = all;
                // Every rule that chunks must keep is at work.
                EXPECT_EQ(pile.err.find(" 0 in overlapping mates"), std::string::npos) << pile.err;
                EXPECT_EQ(pile.err.find(" 0 by flags"), std::string::npos) << pile.err;
                EXPECT_EQ(pile.err.find(" 0 below --min-MQ"), std::string::npos) << pile.err;
                EXPECT_GT(all.size(), 1000000u);
            } else {
                EXPECT_TRUE(all == first) << inputs << " differ at " << threads << " threads";
            }
        }
    }
}

}  // namespace
