// The per-pool records of a site: the rule that leaves out a site with a
// third allele against a brute-force sum over every error pattern, records
// of any depth, the bootstrap blocks of the store and its cursor.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "model/obstable.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

namespace {

using TRng = std::unique_ptr<gsl_rng, void (*)(gsl_rng*)>;

TRng MakeRng(unsigned long seed) {
    TRng rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    gsl_rng_set(rng.get(), seed);
    return rng;
}

// P(k or more of the reads show one named base by error), each read doing
// so with probability e/3: every subset of the reads summed, the slow way.
double BruteTail(const std::vector<double>& p, std::size_t k) {
    const std::size_t n = p.size();
    double tail = 0.0;
    for (unsigned long mask = 0; mask < (1ul << n); ++mask) {
        std::size_t ones = 0;
        double pr = 1.0;
        for (std::size_t r = 0; r < n; ++r) {
            const bool on = (mask >> r) & 1;
            ones += on;
            pr *= on ? p[r] : 1.0 - p[r];
        }
        if (ones >= k) {
            tail += pr;
        }
    }
    return tail;
}

}  // namespace

// Random sites of two pools with a few reads of a third base (G) among A
// and C: the encoder leaves a site out exactly when the brute-force chance
// of that many G reads as errors is below kThirdAllele.
TEST(PoolRecord, AThirdAlleleIsWhatErrorsCannotExplain) {
    TRng rng = MakeRng(3);
    const auto& errProb = ErrProbTable();
    int dropped = 0, kept = 0;
    for (int trial = 0; trial < 400; ++trial) {
        SPoolSite site;
        site.m_RefBase = 0;
        std::vector<double> p;
        unsigned g = 0;
        for (int pool = 0; pool < 2; ++pool) {
            std::vector<SBaseRead> reads;
            const unsigned depth = 2 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 6));
            for (unsigned r = 0; r < depth; ++r) {
                const unsigned char score =
                    static_cast<unsigned char>(10 + gsl_rng_uniform_int(rng.get(), 40));
                const double u = gsl_rng_uniform(rng.get());
                const unsigned char base = u < 0.5 ? 0 : u < 0.8 ? 1 : 2;
                g += base == 2;
                reads.push_back(SBaseRead{base, score});
                p.push_back(errProb[score] / 3.0);
            }
            site.m_Reads.push_back(reads);
        }
        // Make G the third base: C must have more reads (ties go to C).
        unsigned c = 0;
        for (const auto& reads : site.m_Reads) {
            for (const SBaseRead& r : reads) {
                c += r.m_Base == 1;
            }
        }
        if (g == 0 || c < g) {
            continue;
        }
        CPoolEncoder encoder(2, 1, 0, true);
        std::vector<unsigned char> bytes;
        SPoolEncodeCounts counts;
        std::uint64_t reads = 0;
        const unsigned counting = encoder.Encode(site, bytes, counts, reads);
        const bool third = BruteTail(p, g) < kThirdAllele;
        EXPECT_EQ(counts.m_MultiAllelic, third ? 1u : 0u) << trial;
        EXPECT_EQ(counting, third ? 0u : 2u) << trial;
        (third ? dropped : kept) += 1;
    }
    // Both answers were put to the test.
    EXPECT_GT(dropped, 10);
    EXPECT_GT(kept, 10);
}

// The fault's own site: one pool A/C 50:50, the other A/G 50:50, at depth
// 20 and Q30: left out; a single G read among them is an error.
TEST(PoolRecord, PoolsWithDifferentSecondAllelesAreNoBiallelicSite) {
    auto pool = [](unsigned char other, unsigned others) {
        std::vector<SBaseRead> reads(20, SBaseRead{0, 30});
        for (unsigned r = 0; r < others; ++r) {
            reads[r].m_Base = other;
        }
        return reads;
    };
    for (const bool reference : {false, true}) {
        CPoolEncoder encoder(2, 1, 0, reference);
        std::vector<unsigned char> bytes;
        SPoolEncodeCounts counts;
        std::uint64_t reads = 0;
        SPoolSite site;
        site.m_RefBase = 0;
        site.m_Reads = {pool(1, 10), pool(2, 10)};
        EXPECT_EQ(encoder.Encode(site, bytes, counts, reads), 0u);
        EXPECT_EQ(counts.m_MultiAllelic, 1u);
        site.m_Reads = {pool(1, 10), pool(2, 1)};
        bytes.clear();
        EXPECT_EQ(encoder.Encode(site, bytes, counts, reads), 2u);
        EXPECT_EQ(counts.m_MultiAllelic, 1u);
        // The G read counts with the C reads: not the first allele.
        EXPECT_EQ(encoder.LastSecondReads(1), 1u);
        EXPECT_EQ(encoder.LastAlleles().m_Second, 1);
    }
}

// A depth of 65,535 or more is written in the long form and read back
// whole (such sites were dropped as "above -D" with no limit set).
TEST(PoolRecord, RecordsHoldAnyDepth) {
    for (const unsigned depth : {30u, 65535u}) {
        SPoolSite site;
        site.m_Reads.assign(2, std::vector<SBaseRead>(depth, SBaseRead{0, 35}));
        for (unsigned r = 0; r < depth / 3; ++r) {
            site.m_Reads[1][r].m_Base = 1;
        }
        CPoolEncoder encoder(2, 1, 0, false);
        std::vector<unsigned char> bytes;
        SPoolEncodeCounts counts;
        std::uint64_t reads = 0;
        ASSERT_EQ(encoder.Encode(site, bytes, counts, reads), 2u) << depth;
        EXPECT_EQ(reads, 2ull * depth);
        SPoolRecordView v[2];
        const unsigned char* p = bytes.data();
        for (auto& view : v) {
            p = ReadPoolRecord(p, view);
        }
        EXPECT_EQ(p, bytes.data() + bytes.size());
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(v[i].depth, depth);
            // The record's largest entry is the table's (1), where the
            // encoder's full table has it.
            const std::vector<double>& table = encoder.LastTable(i);
            ASSERT_EQ(table.size(), depth + std::size_t{1});
            EXPECT_EQ(table[v[i].lo + v[i].top], 1.0);
            // Each entry within 2^-24 of itself, or 2^-41 of the largest
            // where it is small (pool_record.hpp).
            std::vector<double> entries(v[i].count);
            v[i].Entries(entries.data());
            for (unsigned k = 0; k < v[i].count; ++k) {
                const double want = table[v[i].lo + k];
                EXPECT_NEAR(entries[k], want, std::max(0x1p-24 * want, 0x1p-41));
            }
        }
    }
}

// Records of random sites, three pools (one often without reads), depths
// 1 to 300 (the long head from 128 on), minor reads from none to all (top
// and lo above 0), scores 2..41, read back from the store's columns: every
// entry within 2^-24 of the table's or 2^-41 of its largest, the padded
// reading equal to the plain one bit for bit (zeros past count), and every
// record ending where the next begins.
TEST(PoolStore, ColumnsReadBackEveryRecord) {
    TRng rng = MakeRng(17);
    const std::size_t pools = 3;
    CPoolEncoder encoder(pools, 1, 0, true);
    CPoolStore store(pools);
    std::vector<std::vector<std::vector<double>>> tables;
    std::vector<unsigned char> bytes;
    SPoolEncodeCounts counts;
    int longHeads = 0, tops = 0;
    for (int s = 0; s < 3000; ++s) {
        SPoolSite site;
        site.m_Pos = s;
        site.m_RefBase = 0;
        const double share = s % 4 == 0 ? gsl_rng_uniform(rng.get()) : 0.0;
        for (std::size_t k = 0; k < pools; ++k) {
            const unsigned depth =
                k == 2 && s % 3 == 0
                    ? 0
                    : 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), s % 10 ? 60 : 300));
            std::vector<SBaseRead> reads;
            for (unsigned r = 0; r < depth; ++r) {
                const unsigned char base = gsl_rng_uniform(rng.get()) < share ? 1 : 0;
                const auto score =
                    static_cast<unsigned char>(2 + gsl_rng_uniform_int(rng.get(), 40));
                reads.push_back(SBaseRead{base, score});
            }
            site.m_Reads.push_back(reads);
        }
        bytes.clear();
        std::uint64_t reads = 0;
        if (encoder.Encode(site, bytes, counts, reads) == 0) {
            continue;
        }
        store.Append(0, s, bytes.data(), bytes.size());
        tables.emplace_back();
        for (std::size_t k = 0; k < pools; ++k) {
            tables.back().push_back(encoder.LastTable(k));
        }
    }
    store.Finish();
    std::size_t site = 0;
    for (const SPoolChunk& chunk : store.Chunks()) {
        for (std::size_t k = 0; k < pools; ++k) {
            const unsigned char* p = chunk.Column(k);
            for (std::size_t i = 0; i < chunk.Sites(); ++i) {
                const std::vector<double>& table = tables[site + i][k];
                SPoolRecordView v;
                const unsigned char* coded = ReadPoolRecordHead(p, v);
                ASSERT_EQ(v.count == 0, table.empty()) << i;
                if (v.count == 0) {
                    p = v.End();
                    ASSERT_EQ(p, coded);
                    continue;
                }
                longHeads += p[1] >= 0x80;
                tops += v.top > 0;
                ASSERT_EQ(v.depth + std::size_t{1}, table.size());
                std::vector<double> plain(std::max(v.count, 8u)), padded(plain.size(), -1.0);
                const unsigned char* end = v.Entries(plain.data());
                ASSERT_EQ(v.EntriesPadded(padded.data()), end);
                ASSERT_EQ(v.End(), end);
                for (unsigned t = 0; t < plain.size(); ++t) {
                    ASSERT_EQ(padded[t], t < v.count ? plain[t] : 0.0) << i << " " << t;
                }
                EXPECT_EQ(plain[v.top], 1.0);
                for (unsigned t = 0; t < v.count; ++t) {
                    const double want = table[v.lo + t];
                    ASSERT_GE(want, kKeep);
                    EXPECT_NEAR(plain[t], want, std::max(0x1p-24 * want, 0x1p-41)) << i << " " << t;
                }
                p = end;
            }
            ASSERT_EQ(p, chunk.Column(k + 1));
        }
        site += chunk.Sites();
    }
    EXPECT_EQ(site, tables.size());
    EXPECT_GT(longHeads, 100);
    EXPECT_GT(tops, 100);
}

// Blocks never run across a contig's end: four contigs shorter than a
// block are four blocks, however their positions compare.
TEST(PoolStore, BootstrapBlocksEndWithTheirContig) {
    CPoolStore store(1);
    const unsigned char record[1] = {0};  // the pool does not count here
    for (int contig = 0; contig < 4; ++contig) {
        for (std::int64_t pos = 0; pos < 300; pos += 7) {
            store.Append(contig, pos, record, sizeof record);
        }
    }
    store.Finish();
    const CSiteBlocks blocks(store, 1000);
    EXPECT_EQ(blocks.Blocks(), 4u);
    // Two blocks on one contig, then one on the next at the same numbers.
    CPoolStore two(1);
    for (std::int64_t pos : {10, 1500}) {
        two.Append(0, pos, record, sizeof record);
    }
    two.Append(1, 1500, record, sizeof record);
    two.Finish();
    const CSiteBlocks more(two, 1000);
    EXPECT_EQ(more.Blocks(), 3u);
    ASSERT_EQ(two.Chunks().size(), 2u);
    EXPECT_NE(more.Block(0, 1500), more.Block(1, 1500));
}

// The cursor gives back every appended site in order, with each pool's
// depth, over chunk ends and contig ends, reading every pool or one pool of
// any range of chunks.
TEST(PoolStore, CursorGivesBackTheSitesInOrder) {
    const std::size_t pools = 3;
    struct SSite {
        int contig;
        std::int64_t pos;
        unsigned depth[pools];
    };
    std::vector<SSite> sites;
    CPoolStore store(pools);
    TRng rng = MakeRng(23);
    std::int64_t pos = 0;
    int contig = 0;
    for (int s = 0; s < 150000; ++s) {
        if (s == 70000 || s == 70001 || s == 140000) {
            ++contig;
            pos = 0;
        }
        pos += 1 + static_cast<std::int64_t>(gsl_rng_uniform_int(rng.get(), 3));
        SSite site{contig, pos, {}};
        std::vector<unsigned char> bytes;
        for (std::size_t k = 0; k < pools; ++k) {
            // A record of one entry (count 1, depth below 128) or none.
            site.depth[k] = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 128));
            if (site.depth[k] == 0) {
                bytes.push_back(0);
            } else {
                bytes.push_back(1);
                bytes.push_back(static_cast<unsigned char>(site.depth[k]));
            }
        }
        store.Append(contig, pos, bytes.data(), bytes.size());
        sites.push_back(site);
    }
    store.Finish();
    ASSERT_GE(store.Chunks().size(), 5u);
    std::size_t i = 0;
    for (CPoolSiteCursor s(store); s.Next(); ++i) {
        ASSERT_LT(i, sites.size());
        ASSERT_EQ(s.Contig(), sites[i].contig) << i;
        ASSERT_EQ(s.Pos(), sites[i].pos) << i;
        ASSERT_EQ(store.Chunks()[s.Chunk()].Pos(s.Site()), s.Pos());
        for (std::size_t k = 0; k < pools; ++k) {
            ASSERT_EQ(s.Records()[k].depth, sites[i].depth[k]) << i << " " << k;
            ASSERT_EQ(s.Record(k).count, sites[i].depth[k] > 0 ? 1u : 0u);
        }
    }
    EXPECT_EQ(i, sites.size());
    // One pool, the chunks in two ranges (one of them empty).
    const std::size_t chunks = store.Chunks().size(), middle = chunks / 2;
    i = 0;
    for (auto range : {std::make_pair(std::size_t{0}, middle), std::make_pair(middle, middle),
                       std::make_pair(middle, chunks)}) {
        for (CPoolSiteCursor s(store, range.first, range.second, 1); s.Next(); ++i) {
            ASSERT_LT(i, sites.size());
            ASSERT_EQ(s.Pos(), sites[i].pos) << i;
            ASSERT_EQ(s.Record(1).depth, sites[i].depth[1]) << i;
        }
    }
    EXPECT_EQ(i, sites.size());
}
