// The per-pool records of a site: the rule that leaves out a site with a
// third allele against a brute-force sum over every error pattern, records
// of any depth, and the bootstrap blocks of the store.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>

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
            for (unsigned k = 0; k < v[i].count; ++k) {
                EXPECT_NEAR(v[i].Entry(k), table[v[i].lo + k], 1e-7 * table[v[i].lo + k]);
            }
        }
    }
}

// Blocks never run across a contig's end: four contigs shorter than a
// block are four blocks, however their positions compare.
TEST(PoolStore, BootstrapBlocksEndWithTheirContig) {
    CPoolStore store(1);
    const unsigned char record[2] = {0, 0};
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
