// Batches tabulated by a thread pool come back in input order, bit for bit
// the tables of a single thread, and an input error arrives after the sites
// before it; tables and records from the workers' caches are bit for bit
// those computed.

#include "engine/batch_tabulator.hpp"

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/warnings.hpp"
#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "estimator/qscores.hpp"
#include "io/xml_reader.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

using scanfix::CScratchTest;

// Sites from a list; throws after m_FailAfter sites when that is set.
class CListSource : public CSiteSource {
  public:
    explicit CListSource(const std::vector<SRawSite>& sites, std::size_t failAfter = SIZE_MAX)
        : m_Sites(sites), m_FailAfter(failAfter) {}
    bool Next(SRawSite& site) override {
        if (m_Next == m_FailAfter) {
            throw std::runtime_error("input broken at site " + std::to_string(m_Next));
        }
        if (m_Next == m_Sites.size()) {
            return false;
        }
        site = m_Sites[m_Next++];
        return true;
    }

  private:
    const std::vector<SRawSite>& m_Sites;
    std::size_t m_FailAfter;
    std::size_t m_Next = 0;
};

struct SPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

// Every tabulated site of a run, and its error ("" if none).
struct SRun {
    std::vector<STabulatedSite> m_Sites;
    std::string m_Error;
};

SRun Tabulate(CSiteSource& source, bool folded, int threads, std::size_t batch) {
    std::unique_ptr<hts_tpool, SPoolFree> pool(threads > 0 ? hts_tpool_init(threads) : nullptr);
    CBatchTabulator tab(source, folded, pool.get(), batch);
    SRun run;
    try {
        for (STabulatedBatch b = tab.NextBatch(); b.m_Count > 0; b = tab.NextBatch()) {
            run.m_Sites.insert(run.m_Sites.end(), b.m_Sites, b.m_Sites + b.m_Count);
        }
    } catch (const std::runtime_error& e) {
        run.m_Error = e.what();
    }
    return run;
}

bool BitIdentical(const STabulatedSite& a, const STabulatedSite& b) {
    return a.m_Contig == b.m_Contig && a.m_Pos == b.m_Pos && a.m_Depth == b.m_Depth &&
           a.m_MinorReads == b.m_MinorReads && a.m_Stored == b.m_Stored &&
           a.m_Table.size() == b.m_Table.size() &&
           std::memcmp(&a.m_LogScale, &b.m_LogScale, sizeof(double)) == 0 &&
           std::memcmp(a.m_Table.data(), b.m_Table.data(), a.m_Table.size() * sizeof(double)) == 0;
}

class CTabulateTest : public CScratchTest {};

TEST_F(CTabulateTest, ThreadsChangeNothingAndKeepTheOrder) {
    // Computed and stored tables, deep sites (scaled tables) among them.
    const std::string plain = Write("sim.xml", scanfix::SimulatedDocument(3000, 5));
    std::ostringstream written;
    {
        CQScores q;
        CScopedWarningSink quiet([](const std::string&) {});
        std::ifstream in(plain);
        q.LoadFromStream(in);
        q.WriteToStream(written);
    }
    std::vector<SRawSite> sites;
    for (const std::string& path : {plain, Write("stored.xml", written.str())}) {
        CXmlSiteReader reader(path, true);
        scanfix::SAll all = scanfix::ReadAll(reader);
        ASSERT_EQ(all.m_Error, "");
        sites.insert(sites.end(), all.m_Sites.begin(), all.m_Sites.end());
    }
    // Every site gets its own contig number, so order is checked too.
    for (std::size_t i = 0; i < sites.size(); ++i) {
        sites[i].m_Contig = static_cast<int>(i);
    }
    // A deep site whose table needs a log scale, in either class.
    SRawSite deep;
    deep.m_Scores[0].assign(900, 3);
    deep.m_Scores[1].assign(300, 20);
    sites.insert(sites.begin() + 10, deep);

    for (bool folded : {true, false}) {
        SCOPED_TRACE(folded ? "folded" : "unfolded");
        std::vector<STabulatedSite> expected(sites.size());
        CSiteTabulator one(folded);
        unsigned stored = 0, scaled = 0;
        for (std::size_t i = 0; i < sites.size(); ++i) {
            one.Tabulate(sites[i], expected[i]);
            stored += expected[i].m_Stored;
            scaled += expected[i].m_LogScale != 0.0;
        }
        // The reader chose the stored tables (for a folded run); the
        // tabulator takes whatever it is given.
        EXPECT_EQ(stored, 3000u);
        EXPECT_GE(scaled, 1u);
        for (int threads : {0, 1, 3}) {
            for (std::size_t batch : {std::size_t{7}, CBatchTabulator::kDefaultBatch}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, batches of " +
                             std::to_string(batch));
                CListSource source(sites);
                const SRun run = Tabulate(source, folded, threads, batch);
                EXPECT_EQ(run.m_Error, "");
                ASSERT_EQ(run.m_Sites.size(), expected.size());
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    ASSERT_TRUE(BitIdentical(run.m_Sites[i], expected[i])) << "site " << i;
                }
            }
        }
    }
}

TEST_F(CTabulateTest, InputErrorFollowsTheSitesBeforeIt) {
    CXmlSiteReader reader(Write("sim.xml", scanfix::SimulatedDocument(500, 9)), true);
    const std::vector<SRawSite> sites = scanfix::ReadAll(reader).m_Sites;
    ASSERT_EQ(sites.size(), 500u);
    for (std::size_t failAfter : {std::size_t{0}, std::size_t{7}, std::size_t{345}}) {
        for (int threads : {0, 3}) {
            SCOPED_TRACE(std::to_string(failAfter) + " sites, " + std::to_string(threads) +
                         " threads");
            CListSource source(sites, failAfter);
            const SRun run = Tabulate(source, true, threads, 7);
            EXPECT_EQ(run.m_Error, "input broken at site " + std::to_string(failAfter));
            ASSERT_EQ(run.m_Sites.size(), failAfter);
            for (std::size_t i = 0; i < failAfter; ++i) {
                ASSERT_EQ(run.m_Sites[i].m_Pos, sites[i].m_Pos);
            }
        }
    }
    // A tabulator dropped with batches still at work waits for them.
    std::unique_ptr<hts_tpool, SPoolFree> pool(hts_tpool_init(3));
    CListSource source(sites);
    {
        CBatchTabulator tab(source, true, pool.get(), 7);
        EXPECT_EQ(tab.NextBatch().m_Count, 7u);
    }
}

// Sites and records of a run that encodes, with the cache counts.
struct SEncodedRun {
    std::vector<STabulatedSite> m_Sites;
    std::vector<unsigned char> m_Bytes;
    std::vector<SEncodedSite> m_Encoded;
    STableCacheCounts m_Counts;
};

SEncodedRun Encode(const std::vector<SRawSite>& sites, const SSiteOptions& options, int threads,
                   std::size_t batch, const STableCacheLimits& limits) {
    std::unique_ptr<hts_tpool, SPoolFree> pool(threads > 0 ? hts_tpool_init(threads) : nullptr);
    CListSource source(sites);
    CBatchTabulator tab(source, options.folded, pool.get(), batch, &options, limits);
    SEncodedRun run;
    for (STabulatedBatch b = tab.NextBatch(); b.m_Count > 0; b = tab.NextBatch()) {
        run.m_Sites.insert(run.m_Sites.end(), b.m_Sites, b.m_Sites + b.m_Count);
        run.m_Bytes.insert(run.m_Bytes.end(), b.m_Encoded->bytes.begin(), b.m_Encoded->bytes.end());
        run.m_Encoded.insert(run.m_Encoded.end(), b.m_Encoded->sites.begin(),
                             b.m_Encoded->sites.end());
    }
    run.m_Counts = tab.CacheCounts();
    return run;
}

bool SameRecord(const SEncodedSite& a, const SEncodedSite& b) {
    return a.contig == b.contig && a.pos == b.pos && a.reads == b.reads &&
           a.chromosomes == b.chromosomes && a.kept == b.kept && a.bytes == b.bytes &&
           std::memcmp(&a.constant, &b.constant, sizeof(double)) == 0 &&
           std::memcmp(&a.neutralA, &b.neutralA, sizeof(double)) == 0 &&
           std::memcmp(&a.neutralB, &b.neutralB, sizeof(double)) == 0 &&
           std::memcmp(&a.neutralU, &b.neutralU, sizeof(double)) == 0;
}

TEST(TableCache, CachedTablesAndRecordsAreThoseComputedWhateverTheThreadsOrLimits) {
    // Pool-like sites: few distinct contents (binned scores, depth 20..27,
    // at most two minor reads of any class), each arriving with its reads
    // in a new order, so the cache hits, collides, is replaced and, with a
    // small memory limit, is emptied again; plus a deep site and sites
    // without reads.
    std::mt19937 rng(41);
    std::discrete_distribution<int> bin({0.02, 0.04, 0.14, 0.80});
    const std::uint8_t value[] = {2, 12, 23, 37};
    std::vector<SRawSite> distinct;
    for (int d = 0; d < 300; ++d) {
        SRawSite s;
        const int depth = 20 + d % 8;
        const int minor = d % 3;
        for (int r = 0; r < depth; ++r) {
            const int cls = r < minor ? 1 + (d + r) % 3 : 0;
            s.m_Scores[static_cast<std::size_t>(cls)].push_back(value[bin(rng)]);
        }
        distinct.push_back(s);
    }
    std::vector<SRawSite> sites;
    std::vector<std::size_t> origin;
    for (int i = 0; i < 6000; ++i) {
        origin.push_back(std::uniform_int_distribution<std::size_t>(0, 299)(rng));
        SRawSite s = distinct[origin.back()];
        for (auto& scores : s.m_Scores) {
            std::shuffle(scores.begin(), scores.end(), rng);
        }
        s.m_Contig = i / 2000;
        s.m_Pos = i % 2000;
        sites.push_back(s);
    }
    sites[100].m_Scores[0].assign(700, 30);
    sites[100].m_Scores[2].assign(40, 20);
    sites[200] = SRawSite();
    sites[200].m_Pos = 200;

    for (int pool : {0, 50}) {
        SSiteOptions options;
        options.poolSize = pool;
        SCOPED_TRACE("pool " + std::to_string(pool));
        const SEncodedRun plain = Encode(sites, options, 0, 7, STableCacheLimits{0, 0});
        EXPECT_EQ(plain.m_Counts.lookups, 0u);
        ASSERT_EQ(plain.m_Sites.size(), sites.size());
        ASSERT_EQ(plain.m_Encoded.size(), sites.size() - 1);  // no record without reads
        // The read order does not matter: equal contents, equal bits.
        std::vector<std::size_t> firstOf(300, SIZE_MAX);
        for (std::size_t i = 0; i < sites.size(); ++i) {
            if (i == 100 || i == 200) {
                continue;
            }
            std::size_t& first = firstOf[origin[i]];
            if (first == SIZE_MAX) {
                first = i;
            }
            STabulatedSite same = plain.m_Sites[first];
            same.m_Contig = sites[i].m_Contig;
            same.m_Pos = sites[i].m_Pos;
            ASSERT_TRUE(BitIdentical(plain.m_Sites[i], same)) << i << " and " << first;
        }
        const STableCacheLimits limits[] = {{}, {4, std::size_t(1) << 20}, {8192, 64 * 1024}};
        for (const STableCacheLimits& limit : limits) {
            for (int threads : {0, 1, 3}) {
                for (std::size_t batch : {std::size_t{7}, CBatchTabulator::kDefaultBatch}) {
                    SCOPED_TRACE(std::to_string(limit.slots) + " slots, " +
                                 std::to_string(limit.bytes) + " bytes, " +
                                 std::to_string(threads) + " threads, batches of " +
                                 std::to_string(batch));
                    const SEncodedRun run = Encode(sites, options, threads, batch, limit);
                    ASSERT_EQ(run.m_Sites.size(), plain.m_Sites.size());
                    for (std::size_t i = 0; i < sites.size(); ++i) {
                        ASSERT_TRUE(BitIdentical(run.m_Sites[i], plain.m_Sites[i])) << i;
                        ASSERT_EQ(run.m_Sites[i].m_Kept, plain.m_Sites[i].m_Kept) << i;
                    }
                    ASSERT_EQ(run.m_Bytes, plain.m_Bytes);
                    ASSERT_EQ(run.m_Encoded.size(), plain.m_Encoded.size());
                    for (std::size_t i = 0; i < run.m_Encoded.size(); ++i) {
                        ASSERT_TRUE(SameRecord(run.m_Encoded[i], plain.m_Encoded[i])) << i;
                    }
                    // 300 contents in 6000 sites: with room for them all,
                    // most sites hit (each worker misses each content once,
                    // and a few contents share a slot), and every site is
                    // looked up; a cache too small to hit rests between
                    // probes, which the bits above do not see.
                    if (limit.slots >= 8192 && limit.bytes >= (std::size_t(1) << 20)) {
                        EXPECT_EQ(run.m_Counts.lookups, sites.size());
                        EXPECT_GE(run.m_Counts.hits, sites.size() * 7 / 10);
                    } else {
                        EXPECT_LE(run.m_Counts.lookups, sites.size());
                        EXPECT_GT(run.m_Counts.hits, 0u);
                    }
                }
            }
        }
    }
}

// Sites whose contents never repeat (scores spread over 2..41, as most
// Pool-seq data have them): the cache stops looking after a probe that
// finds nothing and looks again later, and every table and record is the
// one computed without a cache.
TEST(TableCache, ACacheThatNeverHitsRestsAndChangesNothing) {
    std::mt19937 rng(43);
    std::vector<SRawSite> sites;
    for (int i = 0; i < 40000; ++i) {
        SRawSite s;
        s.m_Contig = 0;
        s.m_Pos = i;
        for (int r = 0; r < 30; ++r) {
            s.m_Scores[r < i % 2 ? 1 : 0].push_back(static_cast<std::uint8_t>(2 + rng() % 40));
        }
        sites.push_back(s);
    }
    SSiteOptions options;
    options.poolSize = 20;
    const SEncodedRun plain = Encode(sites, options, 0, 4096, STableCacheLimits{0, 0});
    const SEncodedRun cached = Encode(sites, options, 0, 4096, STableCacheLimits());
    EXPECT_LT(cached.m_Counts.lookups, sites.size() / 4);
    EXPECT_GT(cached.m_Counts.lookups, 0u);
    ASSERT_EQ(cached.m_Sites.size(), plain.m_Sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i) {
        ASSERT_TRUE(BitIdentical(cached.m_Sites[i], plain.m_Sites[i])) << i;
    }
    EXPECT_EQ(cached.m_Bytes, plain.m_Bytes);
}

TEST(BoundedTables, PooledGenomesKeepTheirLikelihoodWithCachedBoundedTables) {
    // Simulated pools (the pool's minor count from a 1/k spectrum, each read
    // minor with probability k/N, wrong with its score's probability),
    // binned and full-range scores: the store of the bounded, cached tables
    // and the store of the exact tables give the same log-likelihood of the
    // whole genome, neutral and growth, to 1e-10 of itself (each site's is
    // within that of its own, and all have one sign).
    const auto& err = ErrProbTable();
    for (int pool : {20, 200}) {
        for (bool folded : {true, false}) {
            for (bool binned : {true, false}) {
                SCOPED_TRACE("pool " + std::to_string(pool) + (folded ? " folded" : " unfolded") +
                             (binned ? ", binned" : ", scores 2..40"));
                std::mt19937 rng(pool + 2 * folded + binned);
                std::uniform_real_distribution<double> unif(0.0, 1.0);
                std::discrete_distribution<int> bin({0.02, 0.03, 0.15, 0.80});
                const std::uint8_t value[] = {2, 12, 23, 37};
                std::vector<SRawSite> sites(1000);
                for (std::size_t i = 0; i < sites.size(); ++i) {
                    SRawSite& s = sites[i];
                    s.m_Pos = static_cast<std::int64_t>(i);
                    int k = 0;
                    if (unif(rng) < 0.1) {
                        k = std::min(pool - 1,
                                     static_cast<int>(std::exp(unif(rng) * std::log(pool))));
                    }
                    const int depth = 10 + static_cast<int>(unif(rng) * 90);
                    for (int r = 0; r < depth; ++r) {
                        const std::uint8_t q =
                            binned ? value[bin(rng)] : static_cast<std::uint8_t>(2 + rng() % 39);
                        int base = unif(rng) < static_cast<double>(k) / pool ? 1 : 0;
                        if (unif(rng) < err[q]) {
                            base = (base + 1 + static_cast<int>(rng() % 3)) % 4;
                        }
                        s.m_Scores[static_cast<std::size_t>(base)].push_back(q);
                    }
                }
                SSiteOptions options;
                options.folded = folded;
                options.poolSize = pool;
                CSiteStore bounded(options), exact(options);
                const SEncodedRun run =
                    Encode(sites, options, 0, CBatchTabulator::kDefaultBatch, STableCacheLimits());
                if (binned) {
                    EXPECT_GT(run.m_Counts.hits, 0u);
                }
                std::size_t shorter = 0;
                CSiteTabulator full(folded);
                STabulatedSite t;
                for (std::size_t i = 0; i < sites.size(); ++i) {
                    const STabulatedSite& b = run.m_Sites[i];
                    bounded.Append(b.m_Contig, b.m_Pos, static_cast<int>(b.m_Depth),
                                   b.m_Table.data(), b.m_LogScale);
                    full.Tabulate(sites[i], t);
                    exact.Append(t.m_Contig, t.m_Pos, static_cast<int>(t.m_Depth), t.m_Table.data(),
                                 t.m_LogScale);
                    shorter += b.m_Kept < b.m_Table.size();
                }
                EXPECT_GT(shorter, sites.size() / 2);
                const CPriorRows neutral = CPriorRows::Neutral(exact);
                for (double theta : {1e-4, 0.01, 0.05}) {
                    const double want = LogLikelihood(exact, neutral, theta, nullptr);
                    EXPECT_NEAR(
                        LogLikelihood(bounded, CPriorRows::Neutral(bounded), theta, nullptr), want,
                        1e-10 * std::fabs(want))
                        << theta;
                }
                for (double g : {0.5, 50.0}) {
                    const double want =
                        LogLikelihood(exact, CPriorRows::Growth(exact, g), 0.01, nullptr);
                    EXPECT_NEAR(
                        LogLikelihood(bounded, CPriorRows::Growth(bounded, g), 0.01, nullptr), want,
                        1e-10 * std::fabs(want))
                        << g;
                }
            }
        }
    }
}

}  // namespace
