// Batches tabulated by a thread pool come back in input order, bit for bit
// the tables of a single thread, and an input error arrives after the sites
// before it.

#include "engine/batch_tabulator.hpp"

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/warnings.hpp"
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

}  // namespace
