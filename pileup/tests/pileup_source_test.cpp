#include "pileup/pileup_source.hpp"

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "pileup/samples.hpp"
#include "pileup_fixture.hpp"

namespace {

using fixture::Q;
using fixture::Read;

// A site as a comparison sees it: contig:position, reference base, and the
// reads as base letter and score.
struct SSeen {
    std::string where;
    int ref;
    std::vector<std::pair<char, int>> reads;
    bool operator==(const SSeen& o) const {
        return where == o.where && ref == o.ref && reads == o.reads;
    }
};

std::ostream& operator<<(std::ostream& os, const SSeen& s) {
    os << s.where << " ref " << s.ref << ":";
    for (const auto& r : s.reads) {
        os << ' ' << r.first << r.second;
    }
    return os;
}

// Every site of the source; depth-filtered ones are kept, with their flag in
// filtered.
std::vector<SSeen> Sites(const SPileupOptions& opts, htsThreadPool* pool,
                         std::vector<bool>* filtered = nullptr,
                         SPileupSummary* summaryOut = nullptr) {
    SPileupSummary summary;
    CPileupSiteSource source(opts, summary, pool);
    std::vector<SSeen> sites;
    SPileupSite site;
    while (source.Next(site)) {
        SSeen s{std::string(source.ContigName(site.m_Tid)) + ":" + std::to_string(site.m_Pos + 1),
                site.m_RefBase,
                {}};
        TBaseCounts counts{};
        for (const SPileupRead& r : site.m_Reads) {
            s.reads.emplace_back("ACGT"[r.m_Base], r.m_Score);
            ++counts[r.m_Base];
        }
        EXPECT_EQ(counts, site.m_Counts) << s;
        EXPECT_LT(site.m_Pos, source.ContigLength(site.m_Tid));
        sites.push_back(s);
        if (filtered) {
            filtered->push_back(site.m_DepthFiltered);
        }
    }
    if (summaryOut) {
        *summaryOut = summary;
    }
    return sites;
}

// samtools mpileup's text, read as the same sites: '.' and ',' are the
// reference base, deletions, reference skips and N are dropped, and so are
// sites left without reads.
std::vector<SSeen> MpileupSites(const std::string& text) {
    std::vector<SSeen> sites;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string contig, pos, ref, depth, bases, quals;
        std::getline(f, contig, '\t');
        std::getline(f, pos, '\t');
        std::getline(f, ref, '\t');
        std::getline(f, depth, '\t');
        std::getline(f, bases, '\t');
        std::getline(f, quals, '\t');
        SSeen s{contig + ":" + pos, BaseIndexOfLetter(ref[0]), {}};
        std::size_t q = 0;
        for (std::size_t i = 0; i < bases.size(); ++i) {
            char c = bases[i];
            if (c == '^') {
                ++i;  // the read's mapping quality follows
                continue;
            }
            if (c == '$') {
                continue;
            }
            if (c == '+' || c == '-') {  // an indel after this base: +3ACG
                std::size_t len = 0;
                while (i + 1 < bases.size() &&
                       std::isdigit(static_cast<unsigned char>(bases[i + 1]))) {
                    len = len * 10 + static_cast<std::size_t>(bases[++i] - '0');
                }
                i += len;
                continue;
            }
            const int score = quals[q++] - 33;
            if (c == '.' || c == ',') {
                c = ref[0];
            }
            const int base = BaseIndexOfLetter(c);
            if (base >= 0) {
                s.reads.emplace_back("ACGT"[base], score);
            }
        }
        EXPECT_EQ(q, quals.size()) << line;
        if (!s.reads.empty()) {
            sites.push_back(s);
        }
    }
    return sites;
}

class SiteSource : public fixture::CScratchTest {};

TEST_F(SiteSource, AgreesWithSamtoolsMpileupOnRandomReadsInEveryEncoding) {
    // Two contigs with a few N; reads copied from them with substitutions,
    // N, insertions, deletions, reference skips, soft clips, random scores,
    // mapping qualities and flags.
    std::mt19937 rng(20260107);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::vector<std::pair<std::string, int>> contigs = {{"c1", 400}, {"c2", 250}};
    std::string fasta;
    std::vector<std::string> seqs;
    for (const auto& c : contigs) {
        std::string s;
        for (int i = 0; i < c.second; ++i) {
            s += uniform(0, 99) < 2 ? 'N' : "ACGT"[uniform(0, 3)];
        }
        seqs.push_back(s);
        fasta += ">" + c.first + "\n" + s + "\n";
    }
    const std::string ref = Fasta("ref.fa", fasta);
    std::string sam = fixture::Header({{"c1", 400}, {"c2", 250}});
    const int flags[] = {0, 16, 0x1 | 0x2 | 0x40, 0x1 | 0x80 | 0x10, 0x400, 0x100, 0x200, 0x800};
    for (int i = 0; i < 600; ++i) {
        const int c = uniform(0, 1);
        const std::string& refSeq = seqs[static_cast<std::size_t>(c)];
        int pos = uniform(0, static_cast<int>(refSeq.size()) - 60);
        std::string cigar, seq;
        int at = pos;
        auto add = [&](int len, char op) { cigar += std::to_string(len) + op; };
        if (uniform(0, 9) == 0) {
            add(3, 'S');
            seq += "ACG";
        }
        for (int block = 0; block < 3; ++block) {
            const int len = uniform(5, 15);
            add(len, 'M');
            for (int k = 0; k < len; ++k, ++at) {
                const int roll = uniform(0, 99);
                seq += roll < 3    ? 'N'
                       : roll < 10 ? "ACGT"[uniform(0, 3)]
                                   : refSeq[static_cast<std::size_t>(at)];
            }
            if (block < 2) {
                const int kind = uniform(0, 5);
                if (kind == 0) {
                    add(2, 'I');
                    seq += "TT";
                } else if (kind == 1) {
                    add(2, 'D');
                    at += 2;
                } else if (kind == 2) {
                    add(3, 'N');
                    at += 3;
                }
            }
        }
        std::string qual;
        for (std::size_t k = 0; k < seq.size(); ++k) {
            qual += Q(uniform(0, 45));
        }
        const int flag = flags[uniform(0, 7)];
        const bool paired = flag & 1;
        sam += Read("r" + std::to_string(i), flag, contigs[static_cast<std::size_t>(c)].first,
                    pos + 1, uniform(0, 60), cigar, seq, qual, paired ? "=" : "*",
                    paired ? pos + 1 + uniform(0, 40) : 0);
    }
    fixture::WriteFile(dir / "in.sam", sam);
    // The same reads sorted (BAM), with bases equal to the reference written
    // as '=' (samtools calmd -e), and as CRAM.
    auto made = Sh(
        "samtools sort -o $/s.bam $/in.sam && samtools calmd -e $/s.bam $/ref.fa >$/eq.sam "
        "2>/dev/null && samtools view -C -T $/ref.fa -o $/s.cram $/s.bam && "
        "grep -c '\t[=ACGTN]*=[=ACGTN]*\t' $/eq.sam && "
        "samtools mpileup -B -A -x -d 0 -q 20 -Q 13 --ff UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY "
        "-f $/ref.fa -o $/mpileup.txt $/s.bam");
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_GT(std::stoi(made.out), 100) << "calmd -e wrote few '=' bases";
    const std::vector<SSeen> expected = MpileupSites(fixture::ReadFile(dir / "mpileup.txt"));
    ASSERT_GT(expected.size(), 400u);

    SPileupOptions opts;
    opts.m_MinMapQ = 20;
    opts.m_MinBaseQ = 13;
    opts.m_KeepOverlaps = true;  // as samtools -x
    opts.m_Reference = ref;
    hts_tpool* threads = hts_tpool_init(2);
    ASSERT_NE(threads, nullptr);
    htsThreadPool pool{threads, 0};
    for (const char* file : {"s.bam", "eq.sam", "s.cram"}) {
        opts.m_Inputs = {dir / file};
        EXPECT_EQ(Sites(opts, nullptr), expected) << file;
        EXPECT_EQ(Sites(opts, &pool), expected) << file << " in threads";
    }
    hts_tpool_destroy(threads);

    // Depth limits flag sites instead of dropping them, and count them.
    opts.m_Inputs = {dir / "s.bam"};
    opts.m_MinDepth = 3;
    opts.m_MaxDepth = 8;
    std::vector<bool> filtered;
    SPileupSummary summary;
    ASSERT_EQ(Sites(opts, nullptr, &filtered, &summary), expected);
    std::uint64_t below = 0, above = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::size_t depth = expected[i].reads.size();
        below += depth < 3;
        above += depth > 8;
        EXPECT_EQ(filtered[i], depth < 3 || depth > 8) << expected[i];
    }
    EXPECT_GT(below, 0u);
    EXPECT_GT(above, 0u);
    EXPECT_EQ(summary.m_SitesBelowMinDepth, below);
    EXPECT_EQ(summary.m_SitesAboveMaxDepth, above);
}

// Everything a source delivers, one line per site, and its summary line:
// the same text for the same sites, reads, flags and counts.
std::string Everything(const SPileupOptions& opts, htsThreadPool* pool,
                       std::size_t* chunks = nullptr) {
    SPileupSummary summary;
    CPileupSiteSource source(opts, summary, pool);
    if (chunks) {
        *chunks = source.NumChunks();
    }
    std::string text;
    SPileupSite site;
    while (source.Next(site)) {
        text += std::string(source.ContigName(site.m_Tid)) + ":" + std::to_string(site.m_Pos + 1) +
                " ref " + std::to_string(site.m_RefBase) + (site.m_DepthFiltered ? " out" : "") +
                ":";
        for (const SPileupRead& r : site.m_Reads) {
            text += std::string(" ") + "ACGT"[r.m_Base] + std::to_string(r.m_Score) + "/" +
                    std::to_string(r.m_Sample);
        }
        text += "\n";
    }
    return text + FormatSummary(summary, opts);
}

TEST_F(SiteSource, ChunksOnThreadsDeliverWhatOnePassDelivers) {
    // Lanes of random reads with every filter at work: pairs overlapping
    // (also across chunk boundaries), duplicates, secondary and unmapped
    // reads, low mapping qualities, deletions, reference skips, reads
    // hanging off their contig, a contig without reads, one shorter than
    // most reads, and unplaced reads at the end of the files.
    std::mt19937 rng(20260311);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::vector<std::pair<std::string, int>> contigs = {
        {"c1", 400}, {"c2", 60}, {"c3", 5}, {"empty", 300}, {"c5", 250}};
    std::string fasta;
    for (const auto& c : contigs) {
        fasta += ">" + c.first + "\n";
        for (int i = 0; i < c.second; ++i) {
            fasta += "ACGTN"[uniform(0, 99) < 3 ? 4 : uniform(0, 3)];
        }
        fasta += "\n";
    }
    const std::string ref = Fasta("ref.fa", fasta);
    // A read of length bases: its CIGAR, bases, scores and span on the
    // reference.
    struct SRandomRead {
        std::string cigar, seq, qual;
        int span = 0;
    };
    auto randomRead = [&](int length) {
        SRandomRead r;
        for (int left = length; left > 0;) {
            const int len = std::min(left, uniform(1, 12));
            r.cigar += std::to_string(len) + "M";
            r.span += len;
            for (int k = 0; k < len; ++k) {
                r.seq += "ACGTN"[uniform(0, 99) < 4 ? 4 : uniform(0, 3)];
                r.qual += Q(uniform(0, 41));
            }
            left -= len;
            const int gap = uniform(0, 9);
            if (left > 0 && gap < 2) {
                const int skip = uniform(1, 3);
                r.cigar += std::to_string(skip) + (gap == 0 ? "D" : "N");
                r.span += skip;
            }
        }
        return r;
    };
    // Lanes 0 to 2 are BAM; lane 3 becomes CRAM, whose decoder cannot take
    // reads past the reference's end, so it holds none. Lane 0 holds reads
    // of samples A and B, lane 1 more of A, lanes 2 and 3 have no read
    // groups (each its own sample).
    std::vector<std::string> lanes(
        4, fixture::Header({{"c1", 400}, {"c2", 60}, {"c3", 5}, {"empty", 300}, {"c5", 250}}));
    lanes[0] += "@RG\tID:x\tSM:A\n@RG\tID:y\tSM:B\n";
    lanes[1] += "@RG\tID:z\tSM:A\n";
    const std::string groups[] = {"xy", "z", "", ""};
    auto tagged = [&](std::string line, std::size_t lane, int pick) {
        if (!groups[lane].empty()) {
            line.insert(line.size() - 1,
                        std::string("\tRG:Z:") +
                            groups[lane][static_cast<std::size_t>(pick) % groups[lane].size()]);
        }
        return line;
    };
    const int flags[] = {0, 16, 0, 0x400, 0x100, 0x4, 0x200, 0};
    for (int i = 0; i < 700; ++i) {
        const std::size_t c = static_cast<std::size_t>(uniform(0, 4) == 3 ? 4 : uniform(0, 4));
        const int length = contigs[c].second;
        const int pos = uniform(1, length + 3);
        const std::size_t l = static_cast<std::size_t>(uniform(0, 3));
        const std::string name = "r" + std::to_string(i);
        const SRandomRead a = randomRead(uniform(5, 40));
        if (uniform(0, 2) == 0) {
            // A pair whose second mate starts within the first (or not).
            const int matePos = pos + uniform(0, 45);
            const SRandomRead b = randomRead(uniform(5, 40));
            const int mq = uniform(0, 3) == 0 ? 10 : 60;
            if (l == 3 && std::max(pos + a.span, matePos + b.span) - 1 > length) {
                continue;
            }
            const int group = uniform(0, 1);
            lanes[l] += tagged(Read(name, 0x1 | 0x2 | 0x40, contigs[c].first, pos, mq, a.cigar,
                                    a.seq, a.qual, "=", matePos),
                               l, group);
            lanes[l] += tagged(Read(name, 0x1 | 0x2 | 0x80 | 0x10, contigs[c].first, matePos, 60,
                                    b.cigar, b.seq, b.qual, "=", pos),
                               l, group);
        } else if (l != 3 || pos + a.span - 1 <= length) {
            lanes[l] += tagged(Read(name, flags[uniform(0, 7)], contigs[c].first, pos,
                                    uniform(0, 60), a.cigar, a.seq, a.qual),
                               l, uniform(0, 1));
        }
    }
    for (std::size_t l = 0; l < lanes.size(); ++l) {
        lanes[l] += "u" + std::to_string(l) + "\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n";
        fixture::WriteFile(dir / ("lane" + std::to_string(l) + ".sam"), lanes[l]);
        const std::string bam = "$/lane" + std::to_string(l) + ".bam";
        auto made = Sh("samtools sort -o " + bam + " $/lane" + std::to_string(l) +
                       ".sam && samtools index " + bam);
        ASSERT_EQ(made.status, 0) << made.err;
    }
    auto made =
        Sh("samtools view -C -T $/ref.fa -o $/lane3.cram $/lane3.bam && "
           "samtools index $/lane3.cram && cp $/lane1.bam $/noindex.bam");
    ASSERT_EQ(made.status, 0) << made.err;

    hts_tpool* threads[] = {hts_tpool_init(1), hts_tpool_init(2), hts_tpool_init(3)};
    SPileupOptions opts;
    opts.m_Reference = ref;
    opts.m_MinBaseQ = 5;
    opts.m_MinDepth = 2;
    opts.m_MaxDepth = 6;
    const std::vector<std::vector<std::string>> inputs = {
        {dir / "lane0.bam"},
        {dir / "lane0.bam", dir / "lane1.bam", dir / "lane2.bam"},
        {dir / "lane3.cram", dir / "lane2.bam"},
    };
    for (const auto& files : inputs) {
        opts.m_Inputs = files;
        for (const char* region : {"", "c1", "c1:50-250", "c2:30-1000000", "c3:6-9"}) {
            opts.m_Region = region;
            opts.m_Chunking = SPileupChunking{};
            const std::string onePass = Everything(opts, nullptr);
            ASSERT_NE(onePass.find(" in overlapping mates"), std::string::npos);
            for (const auto size : {SPileupChunking{1, 1}, SPileupChunking{5, 7},
                                    SPileupChunking{40, 64}, SPileupChunking{}}) {
                opts.m_Chunking = size;
                for (hts_tpool* t : threads) {
                    htsThreadPool pool{t, 0};
                    std::size_t chunks = 0;
                    EXPECT_EQ(Everything(opts, &pool, &chunks), onePass)
                        << files.size() << " files, region '" << region << "', " << size.m_Reads
                        << " reads and " << size.m_MinBases << " bases a chunk, "
                        << hts_tpool_size(t) << " threads";
                    // A region past its contig's end is empty: no chunk.
                    EXPECT_EQ(chunks > 0, std::string(region) != "c3:6-9") << region;
                }
            }
        }
    }
    // The counts of every filter are at work in the whole.
    opts.m_Inputs = inputs[1];
    opts.m_Region = "";
    SPileupSummary summary;
    {
        // The samples in order of first appearance: lane 0's two, lane 1's
        // one of them again, lane 2 by its name; each has reads.
        CPileupSiteSource source(opts, summary);
        EXPECT_EQ(source.Samples(), (std::vector<std::string>{"A", "B", "lane2"}));
        std::vector<std::size_t> reads(3);
        SPileupSite site;
        while (source.Next(site)) {
            for (const SPileupRead& r : site.m_Reads) {
                ++reads.at(r.m_Sample);
            }
        }
        EXPECT_GT(*std::min_element(reads.begin(), reads.end()), 50u);
    }
    for (std::uint64_t count :
         {summary.m_SitesBelowMinDepth, summary.m_SitesAboveMaxDepth, summary.m_ReadsSkippedFlags,
          summary.m_ReadsSkippedMapQ, summary.m_BasesDeletion, summary.m_BasesRefSkip,
          summary.m_BasesN, summary.m_BasesLowQuality, summary.m_BasesOverlap,
          summary.m_BasesPastEnd}) {
        EXPECT_GT(count, 0u) << FormatSummary(summary, opts);
    }

    // Without an index, or with one older than its file, one reader
    // decompressing on the threads reads the same.
    opts.m_Inputs = {dir / "lane1.bam"};
    opts.m_Chunking = SPileupChunking{1, 1};
    const std::string indexed = Everything(opts, nullptr);
    Sh("touch -d '2001-01-01' $/lane1.bam.bai");
    for (const std::string& file : {dir / "noindex.bam", dir / "lane1.bam"}) {
        opts.m_Inputs = {file};
        htsThreadPool pool{threads[1], 0};
        std::size_t chunks = 1;
        EXPECT_EQ(Everything(opts, &pool, &chunks), indexed) << file;
        EXPECT_EQ(chunks, 0u) << file;
    }
    for (hts_tpool* t : threads) {
        hts_tpool_destroy(t);
    }
}

// A SAM line with a read group tag.
std::string InGroup(std::string line, const std::string& group) {
    return line.insert(line.size() - 1, "\tRG:Z:" + group);
}

TEST_F(SiteSource, SamplesAreTheSMsOfReadGroupsAndLanesOfOneSampleAreOne) {
    using TNames = std::vector<std::string>;
    // Read groups a and c are lanes of popA, b is popB.
    const std::string groups = "@RG\tID:a\tSM:popA\n@RG\tID:b\tSM:popB\n@RG\tID:c\tSM:popA\n";
    const std::string header = fixture::Header({{"c1", 100}});
    const std::string merged =
        Bam("merged.bam", header + groups + InGroup(Read("r1", 0, "c1", 10, 60, "1M", "A"), "a") +
                              InGroup(Read("r2", 0, "c1", 10, 60, "1M", "C"), "b") +
                              InGroup(Read("r3", 0, "c1", 10, 60, "1M", "A"), "c") +
                              InGroup(Read("r4", 0, "c1", 10, 60, "1M", "G"), "b"));
    Bam("l1.bam",
        header + "@RG\tID:L1\tSM:S\n" + InGroup(Read("s1", 0, "c1", 5, 60, "1M", "T"), "L1"));
    // A lane of one sample whose reads lack their tag: they are of it.
    Bam("l2.bam", header + "@RG\tID:L2\tSM:S\n" + Read("s2", 0, "c1", 5, 60, "1M", "T"));
    Bam("pool_C.sorted.bam", header + Read("p", 0, "c1", 5, 60, "1M", "G"));
    Bam("lane9.bam", header + "@RG\tID:q\n" + InGroup(Read("q", 0, "c1", 5, 60, "1M", "G"), "q"));

    hts_tpool* threads = hts_tpool_init(2);
    ASSERT_NE(threads, nullptr);
    htsThreadPool pool{threads, 0};
    for (htsThreadPool* p : {static_cast<htsThreadPool*>(nullptr), &pool}) {
        // The reads of a site carry their samples; split, each sample keeps
        // its reads in the site's order.
        SPileupOptions opts = fixture::Inputs({merged});
        SPileupSummary summary;
        {
            CPileupSiteSource source(opts, summary, p);
            EXPECT_EQ(source.Samples(), (TNames{"popA", "popB"}));
            SPileupSite site;
            ASSERT_TRUE(source.Next(site));
            std::vector<int> samples;
            for (const SPileupRead& r : site.m_Reads) {
                samples.push_back(r.m_Sample);
            }
            EXPECT_EQ(samples, (std::vector<int>{0, 1, 0, 1}));
            std::vector<SPileupSite> split;
            SplitBySample(site, source.Samples().size(), split);
            ASSERT_EQ(split.size(), 2u);
            EXPECT_EQ(split[0].m_Reads.size(), 2u);
            EXPECT_EQ(split[0].m_Counts, (TBaseCounts{2, 0, 0, 0}));
            EXPECT_EQ(split[1].m_Counts, (TBaseCounts{0, 1, 1, 0}));
            EXPECT_EQ(split[1].m_Reads[0].m_Base, 1);
            EXPECT_EQ(split[1].m_Pos, 9);
            EXPECT_FALSE(source.Next(site));
        }
        // Lanes of one sample are one sample; a file without read groups,
        // or a read group without SM, is a sample named after the file.
        const std::pair<std::vector<std::string>, TNames> cases[] = {
            {{dir / "l1.bam", dir / "l2.bam"}, {"S"}},
            {{merged, dir / "pool_C.sorted.bam", dir / "l1.bam"},
             {"popA", "popB", "pool_C.sorted", "S"}},
            {{dir / "lane9.bam", merged}, {"lane9", "popA", "popB"}},
        };
        for (const auto& c : cases) {
            CPileupSiteSource source(fixture::Inputs(c.first), summary, p);
            EXPECT_EQ(source.Samples(), c.second);
            // Every sample has its reads.
            std::vector<int> reads(c.second.size());
            SPileupSite site;
            while (source.Next(site)) {
                for (const SPileupRead& r : site.m_Reads) {
                    ++reads.at(r.m_Sample);
                }
            }
            EXPECT_EQ(std::count(reads.begin(), reads.end(), 0), 0) << c.second.back();
        }
    }

    // Where the read groups name several samples, a read of none of them
    // has no sample: an error of its kind, also on threads.
    for (const std::string& bad : {Read("r5", 0, "c1", 20, 60, "1M", "A"),
                                   InGroup(Read("r5", 0, "c1", 20, 60, "1M", "A"), "zz")}) {
        const std::string file =
            Bam("bad.bam",
                header + groups + InGroup(Read("r1", 0, "c1", 10, 60, "1M", "A"), "a") + bad);
        for (htsThreadPool* p : {static_cast<htsThreadPool*>(nullptr), &pool}) {
            SPileupSummary summary;
            CPileupSiteSource source(fixture::Inputs({file}), summary, p);
            SPileupSite site;
            try {
                while (source.Next(site)) {
                }
                ADD_FAILURE() << "no error for " << bad;
            } catch (const CInputError& e) {
                EXPECT_EQ(e.Kind(), EInputError::eUnknown);
                EXPECT_EQ(e.Where().m_Pos, 20);
                EXPECT_EQ(e.Where().m_File, file);
            }
        }
    }
    hts_tpool_destroy(threads);

    EXPECT_EQ(SampleOfFile("lanes/A_1.bam"), "A_1");
    EXPECT_EQ(SampleOfFile("x.sam.gz"), "x");
    EXPECT_EQ(SampleOfFile("/d.v2/plain"), "plain");
    EXPECT_EQ(SampleOfFile(".hidden"), ".hidden");
}

TEST_F(SiteSource, NamesContigsAndGivesNoReferenceBaseWithoutAFasta) {
    SPileupOptions opts =
        fixture::Inputs({Bam("a.bam", fixture::Header({{"c1", 100}, {"chrB", 2000}}) +
                                          Read("a", 0, "chrB", 7, 60, "1M", "G"))});
    SPileupSummary summary;
    CPileupSiteSource source(opts, summary);
    EXPECT_EQ(source.NumContigs(), 2);
    EXPECT_STREQ(source.ContigName(1), "chrB");
    EXPECT_EQ(source.ContigLength(1), 2000);
    SPileupSite site;
    ASSERT_TRUE(source.Next(site));
    EXPECT_EQ(site.m_Tid, 1);
    EXPECT_EQ(site.m_Pos, 6);
    EXPECT_EQ(site.m_RefBase, -1);
    EXPECT_FALSE(site.m_DepthFiltered);
    EXPECT_FALSE(source.Next(site));
}

}  // namespace
