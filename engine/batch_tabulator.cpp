#include "engine/batch_tabulator.hpp"

#include <htslib/thread_pool.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

// A worker's tables (and records) of sites seen before, keyed on the sites'
// content (CSiteTabulator::Key): direct-mapped, one entry per slot, the
// newest one kept. The entries' memory is counted; past the limit every
// entry is dropped and the cache fills again. An entry is a pure function of
// its key, so a hit gives bit for bit what the worker would compute, and
// results do not depend on which worker saw which site first.
class CBatchTabulator::CCache {
  public:
    struct SEntry {
        bool m_Used = false;
        std::uint64_t m_Hash = 0;
        std::vector<std::uint64_t> m_Key;
        unsigned m_Depth = 0, m_MinorReads = 0;
        double m_LogScale = 0.0;
        std::vector<double> m_Table;  // the kept entries
        // The record, when the site had one.
        bool m_Encoded = false;
        SEncodedSite m_Site;
        std::vector<unsigned char> m_Record;

        std::size_t Bytes() const {
            return sizeof(SEntry) + m_Key.capacity() * sizeof(std::uint64_t) +
                   m_Table.capacity() * sizeof(double) + m_Record.capacity();
        }
    };

    explicit CCache(const STableCacheLimits& limits) : m_Limits(limits) {
        std::size_t slots = 1;
        while (slots < limits.slots) {
            slots <<= 1;
        }
        m_Mask = slots - 1;
    }

    static std::uint64_t Hash(const std::vector<std::uint64_t>& key) {
        // Multiply-xorshift mixing of each word (splitmix64's finaliser).
        std::uint64_t h = key.size();
        for (std::uint64_t w : key) {
            h ^= w + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
            h ^= h >> 30;
            h *= 0xbf58476d1ce4e5b9ULL;
            h ^= h >> 27;
            h *= 0x94d049bb133111ebULL;
            h ^= h >> 31;
        }
        return h;
    }

    const SEntry* Find(const std::vector<std::uint64_t>& key, std::uint64_t hash) const {
        if (m_Slots.empty()) {
            return nullptr;
        }
        const SEntry& e = m_Slots[hash & m_Mask];
        if (e.m_Used && e.m_Hash == hash && e.m_Key == key) {
            return &e;
        }
        return nullptr;
    }

    // The slot of hash, emptied, for a new entry; Filled() afterwards.
    SEntry& Take(std::uint64_t hash) {
        if (m_Slots.empty()) {
            m_Slots.resize(m_Mask + 1);
            m_Bytes = m_Slots.size() * sizeof(SEntry);
        }
        SEntry& e = m_Slots[hash & m_Mask];
        m_Bytes -= e.Bytes();
        e.m_Used = false;
        e.m_Hash = hash;
        return e;
    }

    void Filled(SEntry& e) {
        e.m_Used = true;
        m_Bytes += e.Bytes();
        if (m_Bytes > m_Limits.bytes) {
            std::vector<SEntry>().swap(m_Slots);
            m_Bytes = 0;
        }
    }

  private:
    STableCacheLimits m_Limits;
    std::size_t m_Mask = 0;
    std::vector<SEntry> m_Slots;  // allocated on first use
    std::size_t m_Bytes = 0;
};

// What a thread at work needs: a tabulator, when encoding an encoder, and a
// cache; handed out under the lock.
struct CBatchTabulator::SWorker {
    SWorker(bool folded, const SSiteOptions* encode, const STableCacheLimits& limits)
        : m_Tabulator(encode
                          ? CSiteTabulator(folded, SSpectrumClass{encode->folded, encode->poolSize})
                          : CSiteTabulator(folded)),
          m_Cache(limits) {
        if (encode) {
            m_Encoder = std::make_unique<CSiteEncoder>(*encode);
        }
    }
    CSiteTabulator m_Tabulator;
    std::unique_ptr<CSiteEncoder> m_Encoder;
    CCache m_Cache;
    STableCacheCounts m_Counts;
};

struct CBatchTabulator::SBatch {
    CBatchTabulator* m_Owner = nullptr;
    std::vector<SRawSite> m_Raw;
    std::vector<STabulatedSite> m_Sites;
    std::size_t m_Count = 0;
    SSiteBatch m_Encoded;
    // A failure of the worker (memory), carried to the reading thread.
    std::exception_ptr m_Error;
};

CBatchTabulator::CBatchTabulator(CSiteSource& source, bool folded, hts_tpool* pool,
                                 std::size_t batchSites, const SSiteOptions* encode,
                                 const STableCacheLimits& cache)
    : m_Source(source),
      m_Folded(folded),
      m_BatchSites(std::max<std::size_t>(batchSites, 1)),
      m_Pool(pool),
      m_Encode(encode != nullptr),
      m_CacheLimits(cache) {
    if (encode) {
        m_EncodeOptions = *encode;
    }
    if (m_Pool) {
        // Enough batches in flight to keep every thread busy while the
        // reading thread fills the next; the queue holds them all, so a
        // dispatch never waits on a result nobody collects.
        m_MaxInFlight = 2 * static_cast<std::size_t>(std::max(hts_tpool_size(m_Pool), 1)) + 1;
        m_Queue = hts_tpool_process_init(m_Pool, static_cast<int>(m_MaxInFlight), 0);
        if (!m_Queue) {
            throw std::bad_alloc();
        }
    }
}

CBatchTabulator::~CBatchTabulator() {
    if (m_Queue) {
        // Batches still at work point into this object: wait for them.
        for (; m_InFlight > 0; --m_InFlight) {
            hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
            if (!r) {
                break;
            }
            hts_tpool_delete_result(r, 0);
        }
        hts_tpool_process_destroy(m_Queue);
    }
}

CBatchTabulator::SBatch* CBatchTabulator::x_FreeBatch() {
    if (m_Free.empty()) {
        m_Batches.push_back(std::make_unique<SBatch>());
        SBatch* b = m_Batches.back().get();
        b->m_Owner = this;
        b->m_Raw.resize(m_BatchSites);
        b->m_Sites.resize(m_BatchSites);
        return b;
    }
    SBatch* b = m_Free.back();
    m_Free.pop_back();
    return b;
}

bool CBatchTabulator::x_Fill(SBatch& batch) {
    batch.m_Count = 0;
    batch.m_Error = nullptr;
    try {
        while (batch.m_Count < m_BatchSites && m_Source.Next(batch.m_Raw[batch.m_Count])) {
            ++batch.m_Count;
        }
    } catch (...) {
        // The sites before the fault are still delivered, then the error.
        m_SourceError = std::current_exception();
        m_SourceDone = true;
        return batch.m_Count > 0;
    }
    if (batch.m_Count < m_BatchSites) {
        m_SourceDone = true;
    }
    return batch.m_Count > 0;
}

void CBatchTabulator::x_Tabulate(SBatch& batch) {
    SWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_IdleWorkers.empty()) {
            m_Workers.push_back(std::make_unique<SWorker>(
                m_Folded, m_Encode ? &m_EncodeOptions : nullptr, m_CacheLimits));
            m_IdleWorkers.push_back(m_Workers.back().get());
        }
        worker = m_IdleWorkers.back();
        m_IdleWorkers.pop_back();
    }
    // The worker goes back to the list however this ends, with the counts
    // of this batch.
    struct SReturn {
        CBatchTabulator* owner;
        SWorker* worker;
        STableCacheCounts counts;
        ~SReturn() {
            std::lock_guard<std::mutex> lock(owner->m_Lock);
            worker->m_Counts.lookups += counts.lookups;
            worker->m_Counts.hits += counts.hits;
            owner->m_IdleWorkers.push_back(worker);
        }
    } giveBack{this, worker, {}};
    batch.m_Encoded.Clear();
    CSiteTabulator& tabulator = worker->m_Tabulator;
    CCache& cache = worker->m_Cache;
    const bool caching = m_CacheLimits.slots > 0;
    for (std::size_t i = 0; i < batch.m_Count; ++i) {
        const SRawSite& raw = batch.m_Raw[i];
        STabulatedSite& site = batch.m_Sites[i];
        const std::vector<std::uint64_t>* key = caching ? tabulator.Key(raw) : nullptr;
        if (!key) {
            tabulator.Tabulate(raw, site);
            if (worker->m_Encoder) {
                batch.m_Encoded.Add(*worker->m_Encoder, site.m_Contig, site.m_Pos,
                                    static_cast<int>(site.m_Depth), site.m_Table.data(),
                                    site.m_LogScale);
            }
            continue;
        }
        ++giveBack.counts.lookups;
        const std::uint64_t hash = CCache::Hash(*key);
        if (const CCache::SEntry* hit = cache.Find(*key, hash)) {
            ++giveBack.counts.hits;
            site.m_Contig = raw.m_Contig;
            site.m_Pos = raw.m_Pos;
            site.m_Depth = hit->m_Depth;
            site.m_MinorReads = hit->m_MinorReads;
            site.m_Table.assign(hit->m_Depth + std::size_t{1}, 0.0);
            std::copy(hit->m_Table.begin(), hit->m_Table.end(), site.m_Table.begin());
            site.m_Kept = hit->m_Table.size();
            site.m_LogScale = hit->m_LogScale;
            site.m_Stored = false;
            if (hit->m_Encoded) {
                batch.m_Encoded.bytes.insert(batch.m_Encoded.bytes.end(), hit->m_Record.begin(),
                                             hit->m_Record.end());
                batch.m_Encoded.sites.push_back(hit->m_Site);
                batch.m_Encoded.sites.back().contig = raw.m_Contig;
                batch.m_Encoded.sites.back().pos = raw.m_Pos;
            }
            continue;
        }
        tabulator.TabulateKeyed(raw, site);
        const std::size_t bytesBefore = batch.m_Encoded.bytes.size();
        const std::size_t sitesBefore = batch.m_Encoded.sites.size();
        if (worker->m_Encoder) {
            batch.m_Encoded.Add(*worker->m_Encoder, site.m_Contig, site.m_Pos,
                                static_cast<int>(site.m_Depth), site.m_Table.data(),
                                site.m_LogScale);
        }
        CCache::SEntry& entry = cache.Take(hash);
        entry.m_Key = *key;
        entry.m_Depth = site.m_Depth;
        entry.m_MinorReads = site.m_MinorReads;
        entry.m_LogScale = site.m_LogScale;
        entry.m_Table.assign(site.m_Table.begin(),
                             site.m_Table.begin() + static_cast<std::ptrdiff_t>(site.m_Kept));
        entry.m_Encoded = batch.m_Encoded.sites.size() > sitesBefore;
        entry.m_Record.clear();
        if (entry.m_Encoded) {
            entry.m_Site = batch.m_Encoded.sites.back();
            entry.m_Record.assign(
                batch.m_Encoded.bytes.begin() + static_cast<std::ptrdiff_t>(bytesBefore),
                batch.m_Encoded.bytes.end());
        }
        cache.Filled(entry);
    }
}

STableCacheCounts CBatchTabulator::CacheCounts() {
    std::lock_guard<std::mutex> lock(m_Lock);
    STableCacheCounts all;
    for (const auto& w : m_Workers) {
        all.lookups += w->m_Counts.lookups;
        all.hits += w->m_Counts.hits;
    }
    return all;
}

void* CBatchTabulator::x_Work(void* arg) {
    auto* batch = static_cast<SBatch*>(arg);
    try {
        batch->m_Owner->x_Tabulate(*batch);
    } catch (...) {
        batch->m_Error = std::current_exception();
    }
    return batch;
}

STabulatedBatch CBatchTabulator::NextBatch() {
    if (m_Current) {
        m_Free.push_back(m_Current);
        m_Current = nullptr;
    }
    if (!m_Pool) {
        if (!m_SourceDone) {
            SBatch* b = x_FreeBatch();
            if (x_Fill(*b)) {
                x_Tabulate(*b);
                m_Current = b;
                return {b->m_Sites.data(), b->m_Count, m_Encode ? &b->m_Encoded : nullptr};
            }
            m_Free.push_back(b);
        }
        if (m_SourceError) {
            std::rethrow_exception(std::exchange(m_SourceError, nullptr));
        }
        return {};
    }

    while (!m_SourceDone && m_InFlight < m_MaxInFlight) {
        SBatch* b = x_FreeBatch();
        if (!x_Fill(*b)) {
            m_Free.push_back(b);
            break;
        }
        if (hts_tpool_dispatch(m_Pool, m_Queue, x_Work, b) != 0) {
            m_Free.push_back(b);
            throw std::runtime_error("Cannot hand work to the thread pool.");
        }
        ++m_InFlight;
    }
    if (m_InFlight == 0) {
        if (m_SourceError) {
            std::rethrow_exception(std::exchange(m_SourceError, nullptr));
        }
        return {};
    }
    hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
    if (!r) {
        throw std::runtime_error("The thread pool stopped before its work was done.");
    }
    auto* b = static_cast<SBatch*>(hts_tpool_result_data(r));
    hts_tpool_delete_result(r, 0);
    --m_InFlight;
    m_Current = b;
    if (b->m_Error) {
        std::rethrow_exception(b->m_Error);
    }
    return {b->m_Sites.data(), b->m_Count, m_Encode ? &b->m_Encoded : nullptr};
}
