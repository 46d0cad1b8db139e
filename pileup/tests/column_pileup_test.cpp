// The column pileup against htslib's generic pileup, its reference: the same
// sites, reads in the same order, the same counts of every filter, on
// random lanes with everything the filters and the CIGAR walk meet.

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "pileup/pileup_source.hpp"
#include "pileup_fixture.hpp"

namespace {

using fixture::Q;
using fixture::Read;

// Every site of a source, one line each, then the summary line: in reads
// (bases, scores and samples in order) or in columns (scores by base).
std::string Everything(SPileupOptions opts, bool htslib, htsThreadPool* pool, EPileupForm form) {
    opts.m_HtslibPileup = htslib;
    SPileupSummary summary;
    CPileupSiteSource source(opts, summary, pool, form);
    std::string text;
    auto where = [&](int tid, std::int64_t pos, int ref, bool out) {
        text += std::string(source.ContigName(tid)) + ":" + std::to_string(pos + 1) + " ref " +
                std::to_string(ref) + (out ? " out" : "") + ":";
    };
    if (form == EPileupForm::eReads) {
        SPileupSite site;
        while (source.Next(site)) {
            where(site.m_Tid, site.m_Pos, site.m_RefBase, site.m_DepthFiltered);
            for (const SPileupRead& r : site.m_Reads) {
                text += std::string(" ") + "ACGT"[r.m_Base] + std::to_string(r.m_Score) + "/" +
                        std::to_string(r.m_Sample);
            }
            text += "\n";
        }
    } else {
        SPileupColumn column;
        while (source.NextColumn(column)) {
            where(column.m_Tid, column.m_Pos, column.m_RefBase, column.m_DepthFiltered);
            for (int b = 0; b < 4; ++b) {
                text += std::string(" ") + "ACGT"[b];
                for (std::uint8_t score : column.m_Scores[static_cast<std::size_t>(b)]) {
                    text += "," + std::to_string(score);
                }
            }
            text += "\n";
        }
    }
    return text + FormatSummary(summary, opts);
}

// What a run throws ("" for nothing).
std::string Thrown(const SPileupOptions& opts, bool htslib) {
    try {
        Everything(opts, htslib, nullptr, EPileupForm::eReads);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

class ColumnPileup : public fixture::CScratchTest {};

TEST_F(ColumnPileup, AgreesWithHtslibsPileupPositionByPosition) {
    std::mt19937 rng(20260512);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::vector<std::pair<std::string, long long>> contigs = {
        {"c1", 600}, {"c2", 80}, {"c3", 300}};
    std::string fasta;
    std::vector<std::string> seqs;
    for (const auto& c : contigs) {
        std::string s;
        for (long long i = 0; i < c.second; ++i) {
            s += uniform(0, 99) < 2 ? 'N' : "ACGT"[uniform(0, 3)];
        }
        seqs.push_back(s);
        fasta += ">" + c.first + "\n" + s + "\n";
    }
    const std::string ref = Fasta("ref.fa", fasta);
    // A random read at pos (1-based) of contig c: CIGAR, bases, scores.
    struct SRandomRead {
        std::string cigar, seq, qual;
        int span = 0;  // on the reference
    };
    auto randomRead = [&](std::size_t c, int pos) {
        SRandomRead r;
        const std::string& refSeq = seqs[c];
        auto bases = [&](int len, int at) {
            for (int k = 0; k < len; ++k, ++at) {
                const int roll = uniform(0, 99);
                r.seq += roll < 4 || at < 0 || at >= static_cast<int>(refSeq.size())
                             ? "ACGTN"[uniform(0, 4)]
                         : roll < 10 ? "ACGT"[uniform(0, 3)]
                                     : refSeq[static_cast<std::size_t>(at)];
                r.qual += Q(uniform(0, 9) == 0 ? uniform(0, 12) : uniform(13, 45));
            }
        };
        const int special = uniform(0, 39);
        if (special == 0) {  // no reference length: clipped and inserted bases only
            r.cigar = "3S2I";
            bases(5, 0);
            return r;
        }
        if (special == 1) {  // a deletion or skip alone
            r.cigar = uniform(0, 1) ? "4D" : "6N";
            r.seq = r.qual = "*";
            r.span = r.cigar[1] == 'D' ? 4 : 6;
            return r;
        }
        if (uniform(0, 5) == 0) {
            r.cigar += "2H";
        }
        if (uniform(0, 4) == 0) {
            r.cigar += "3S";
            bases(3, 0);
        }
        int at = pos - 1;
        const int blocks = uniform(1, 4);
        for (int block = 0; block < blocks; ++block) {
            const int len = uniform(1, 20);
            r.cigar += std::to_string(len) + "M=X"[uniform(0, 9) < 8 ? 0 : uniform(1, 2)];
            bases(len, at);
            at += len;
            if (block + 1 < blocks) {
                const int kind = uniform(0, 9);
                if (kind == 0) {
                    r.cigar += "2I";
                    bases(2, 0);
                } else if (kind == 1) {
                    const int len2 = uniform(1, 4);
                    r.cigar += std::to_string(len2) + "D";
                    at += len2;
                } else if (kind == 2) {
                    const int len2 = uniform(0, 3) == 0 ? uniform(100, 250) : uniform(1, 6);
                    r.cigar += std::to_string(len2) + "N";
                    at += len2;
                } else if (kind == 3) {
                    r.cigar += "1P1I";
                    bases(1, 0);
                }
            }
        }
        if (uniform(0, 4) == 0) {
            r.cigar += "2S";
            bases(2, 0);
        }
        r.span = at - (pos - 1);
        return r;
    };
    // Lane 0 holds samples A and B (read groups x, y), lanes 1 and 2 no
    // read groups.
    std::vector<std::string> lanes(3, fixture::Header(contigs));
    lanes[0] += "@RG\tID:x\tSM:A\n@RG\tID:y\tSM:B\n";
    auto add = [&](std::size_t lane, std::string line) {
        if (lane == 0) {
            line.insert(line.size() - 1, std::string("\tRG:Z:") + "xy"[uniform(0, 1)]);
        }
        lanes[lane] += line;
    };
    const int flags[] = {0, 16, 0, 0x400, 0x100, 0x200, 0x4, 0};
    for (int i = 0; i < 900; ++i) {
        const std::size_t c = static_cast<std::size_t>(uniform(0, 2));
        const int length = static_cast<int>(contigs[c].second);
        const int pos = uniform(1, length + 4);  // some reads hang off the end
        const std::size_t lane = static_cast<std::size_t>(uniform(0, 2));
        const std::string name = "r" + std::to_string(i);
        const SRandomRead a = randomRead(c, pos);
        const std::string& contig = contigs[c].first;
        if (uniform(0, 1) == 0) {
            // A pair whose second mate starts within the first (or not; or
            // is filtered out), sometimes with supplementary pieces of the
            // same name: one anywhere, or a pair of them from about where
            // the first mate ends, whose second piece finds the first's
            // record, or the first mate's, as mates come and go.
            const int matePos = pos + uniform(0, 30);
            const SRandomRead b = randomRead(c, matePos);
            add(lane, Read(name, 0x1 | 0x2 | 0x40, contig, pos, uniform(0, 4) == 0 ? 10 : 60,
                           a.cigar, a.seq, a.qual, "=", matePos));
            add(lane,
                Read(name, 0x1 | 0x2 | 0x80 | 0x10 | (uniform(0, 3) == 0 ? 0x200 : 0), contig,
                     matePos, uniform(0, 4) == 0 ? 10 : 60, b.cigar, b.seq, b.qual, "=", pos));
            const int extra = uniform(0, 5);
            if (extra == 0) {
                const int at = std::max(1, pos + uniform(-10, 20));
                const SRandomRead s = randomRead(c, at);
                add(lane, Read(name, 0x1 | 0x800 | 0x40, contig, at, 60, s.cigar, s.seq, s.qual,
                               "=", matePos));
            } else if (extra == 1) {
                const int at = pos + a.span + uniform(-1, 2);
                const int at2 = at + uniform(0, 6);
                const SRandomRead s1 = randomRead(c, at);
                const SRandomRead s2 = randomRead(c, at2);
                add(lane, Read(name, 0x1 | 0x800 | 0x40, contig, at, 60, s1.cigar, s1.seq, s1.qual,
                               "=", at2));
                add(lane, Read(name, 0x1 | 0x800 | 0x80, contig, at2, 60, s2.cigar, s2.seq, s2.qual,
                               "=", at));
            }
        } else {
            add(lane, Read(name, flags[uniform(0, 7)], contig, pos, uniform(0, 60), a.cigar, a.seq,
                           a.qual));
        }
    }
    for (std::size_t l = 0; l < lanes.size(); ++l) {
        const std::string lane = "$/lane" + std::to_string(l);
        fixture::WriteFile(dir / ("lane" + std::to_string(l) + ".sam"), lanes[l]);
        auto made = Sh("samtools sort -o " + lane + ".bam " + lane +
                       ".sam 2>&1 && samtools index " + lane + ".bam");
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }
    // Lane 1 again with the bases equal to the reference written as '='.
    auto made =
        Sh("samtools calmd -e -b $/lane1.bam $/ref.fa >$/eq.bam 2>/dev/null && samtools index "
           "$/eq.bam && samtools view $/eq.bam | cut -f 10 | grep -c =");
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_GT(std::stoi(made.out), 50);

    SPileupOptions usual;
    usual.m_Reference = ref;
    SPileupOptions loose = usual;  // every mate, supplementary and duplicate reads
    loose.m_KeepOverlaps = true;
    loose.m_MinBaseQ = 13;
    loose.m_MinMapQ = 0;
    loose.m_SkipFlags = 0x4 | 0x100 | 0x200;
    loose.m_MinDepth = 2;
    loose.m_MaxDepth = 9;
    SPileupOptions mates = loose;  // the overlapping mates' rule among them
    mates.m_KeepOverlaps = false;
    hts_tpool* threads = hts_tpool_init(2);
    ASSERT_NE(threads, nullptr);
    htsThreadPool pool{threads, 0};
    const std::vector<std::vector<std::string>> inputs = {
        {dir / "lane0.bam"},
        {dir / "lane0.bam", dir / "lane1.bam", dir / "lane2.bam"},
        {dir / "eq.bam", dir / "lane2.bam"}};
    for (SPileupOptions opts : {usual, loose, mates}) {
        for (const auto& files : inputs) {
            opts.m_Inputs = files;
            for (const char* region : {"", "c1:100-400", "c3"}) {
                opts.m_Region = region;
                for (const SPileupChunking size : {SPileupChunking{5, 7}, SPileupChunking{}}) {
                    opts.m_Chunking = size;
                    for (htsThreadPool* p : {static_cast<htsThreadPool*>(nullptr), &pool}) {
                        for (EPileupForm form : {EPileupForm::eReads, EPileupForm::eColumns}) {
                            const std::string reference = Everything(opts, true, p, form);
                            EXPECT_EQ(Everything(opts, false, p, form), reference)
                                << files.size() << " files, region '" << region << "', "
                                << (p ? "threads" : "one pass") << ", chunks of " << size.m_Reads
                                << ", " << (form == EPileupForm::eReads ? "reads" : "columns");
                        }
                    }
                }
            }
        }
    }
    hts_tpool_destroy(threads);

    // Every filter and every kind of base was at work.
    for (int which = 0; which < 2; ++which) {
        SPileupOptions opts = which == 0 ? usual : mates;
        opts.m_Inputs = inputs[1];
        SPileupSummary summary;
        {
            CPileupSiteSource source(opts, summary);
            SPileupSite site;
            while (source.Next(site)) {
            }
        }
        for (std::uint64_t count :
             {summary.m_ReadsSkippedFlags, summary.m_BasesDeletion, summary.m_BasesRefSkip,
              summary.m_BasesN, summary.m_BasesOverlap, summary.m_BasesPastEnd}) {
            EXPECT_GT(count, 0u) << FormatSummary(summary, opts);
        }
        EXPECT_GT(which == 0 ? summary.m_ReadsSkippedMapQ : summary.m_BasesLowQuality, 0u);
    }

    // '=' without the reference: the same error from both, naming the read.
    SPileupOptions bare;
    bare.m_Inputs = {dir / "eq.bam"};
    const std::string error = Thrown(bare, true);
    EXPECT_NE(error.find("writes bases equal to the reference as '='"), std::string::npos) << error;
    EXPECT_EQ(Thrown(bare, false), error);
}

TEST_F(ColumnPileup, OperationsOfLengthZeroSayNothing) {
    // htslib's pileup takes a deletion of length 0 for a deleted base (and
    // shifts the read's bases after it); the column pileup reads the bases
    // as the rest of the CIGAR places them.
    const std::string ref = Fasta("ref.fa", ">c1\nACGTACGTACGTACGTACGT\n");
    const std::string bam = Bam(
        "z.bam",
        fixture::Header({{"c1", 20}}) +
            Read("a", 0, "c1", 3, 60, "4M0D3M0N2M0I1M", "GTACGTACGT",
                 Q(30) + Q(31) + Q(32) + Q(33) + Q(34) + Q(35) + Q(36) + Q(37) + Q(38) + Q(39)));
    SPileupOptions opts;
    opts.m_Inputs = {bam};
    opts.m_Reference = ref;
    const std::string sites = Everything(opts, false, nullptr, EPileupForm::eReads);
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        expected += "c1:" + std::to_string(3 + i) + " ref " + std::to_string((2 + i) % 4) + ": " +
                    "ACGT"[(2 + i) % 4] + std::to_string(30 + i) + "/0\n";
    }
    EXPECT_EQ(sites.substr(0, expected.size()), expected);
    EXPECT_NE(sites.find("sites left out: 0 without reads"), std::string::npos) << sites;
    EXPECT_NE(sites.find("bases skipped: 0 deletions, 0 reference skips"), std::string::npos)
        << sites;
}

}  // namespace
