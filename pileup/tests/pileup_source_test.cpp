#include "pileup/pileup_source.hpp"

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

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
