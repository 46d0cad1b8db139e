#pragma once
// Sites read from a source and tabulated (model/tabulate.hpp) in batches by a
// thread pool, returned in input order, optionally encoded into site-store
// records on the same threads. When encoding, tables are bounded for the
// records' spectra and each worker keeps a cache of the tables (and records)
// of the sites it has seen, keyed on their exact content: with binned
// qualities many sites repeat the depth and scores of one seen shortly
// before.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/sitestore.hpp"
#include "model/site_source.hpp"
#include "model/tabulate.hpp"

struct hts_tpool;
struct hts_tpool_process;

// Size of each worker's cache: an index of at most slots entries and at
// most bytes of memory in all. Slots below 4: no cache.
struct STableCacheLimits {
    std::size_t slots = 32768;
    std::size_t bytes = std::size_t(8) << 20;
};

// Sites whose table was looked up in a cache, and found.
struct STableCacheCounts {
    std::uint64_t lookups = 0, hits = 0;
};

// Sites of a batch, in input order, and their records for a site store when
// the tabulator encodes them.
struct STabulatedBatch {
    const STabulatedSite* m_Sites = nullptr;
    std::size_t m_Count = 0;
    const SSiteBatch* m_Encoded = nullptr;
};

// Reads sites from a source in the calling thread, in batches, and has the
// pool's threads tabulate them; batches come back in input order, and every
// table is the same whatever the number of threads. With a null pool the
// calling thread tabulates as well.
class CBatchTabulator {
  public:
    static constexpr std::size_t kDefaultBatch = 4096;

    // The pool (if any) must outlive the tabulator; it may be shared, for
    // instance with htslib's decompression. With encode, the threads also
    // turn every table into a site store's record (CSiteEncoder), so that
    // work is shared out too; the tables are then those of
    // ComputeBoundedObsTable for the records' spectra, and cached within
    // cache's limits. Without encode every entry of every table is computed.
    CBatchTabulator(CSiteSource& source, bool folded, hts_tpool* pool,
                    std::size_t batchSites = kDefaultBatch, const SSiteOptions* encode = nullptr,
                    const STableCacheLimits& cache = STableCacheLimits());
    ~CBatchTabulator();
    CBatchTabulator(const CBatchTabulator&) = delete;
    CBatchTabulator& operator=(const CBatchTabulator&) = delete;

    // Names the input in the errors of its sites' tables (CInputError):
    // the encoder knows a site's position only. contigName is called on the
    // thread that calls NextBatch().
    void SetInputNames(std::string path, std::function<std::string(int)> contigName);

    // The next batch; m_Count is 0 at the end of the input. The sites stay
    // valid until the next call. An error of the source is thrown after the
    // sites read before it have been returned.
    STabulatedBatch NextBatch();

    // The source, which had no more sites, has more now (a queue refilled
    // between rounds): the next NextBatch() reads it again. Nothing changes
    // after an error of the source, which stays the last word.
    void Resume();

    // Lookups and hits of the workers' caches so far (every batch returned
    // has been counted).
    STableCacheCounts CacheCounts();

  private:
    struct SBatch;

    // Fills batch from the source; false when the source had nothing more.
    bool x_Fill(SBatch& batch);
    static void* x_Work(void* arg);
    void x_Tabulate(SBatch& batch);
    SBatch* x_FreeBatch();
    // Throws error, placed in the input when it is an input error of a
    // site of contig.
    [[noreturn]] void x_Throw(std::exception_ptr error, int contig) const;

    CSiteSource& m_Source;
    bool m_Folded;
    std::size_t m_BatchSites;
    hts_tpool* m_Pool;
    hts_tpool_process* m_Queue = nullptr;
    std::size_t m_MaxInFlight = 1;
    std::size_t m_InFlight = 0;
    bool m_SourceDone = false;
    std::exception_ptr m_SourceError;
    // Every batch ever made; the free ones are listed in m_Free.
    std::vector<std::unique_ptr<SBatch>> m_Batches;
    std::vector<SBatch*> m_Free;
    SBatch* m_Current = nullptr;
    // What a thread at work needs: a tabulator and, when encoding, an
    // encoder; handed out under the lock.
    class CCache;
    struct SWorker;
    bool m_Encode = false;
    STableCacheLimits m_CacheLimits;
    SSiteOptions m_EncodeOptions;
    std::mutex m_Lock;
    std::vector<std::unique_ptr<SWorker>> m_Workers;
    std::vector<SWorker*> m_IdleWorkers;
    std::string m_InputPath;
    std::function<std::string(int)> m_ContigName;
};
