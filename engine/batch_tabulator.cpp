#include "engine/batch_tabulator.hpp"

#include <htslib/thread_pool.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "base/input_error.hpp"

// A worker's tables (and records) of sites seen before, keyed on the sites'
// content (CSiteTabulator::Key). Entries are packed into two arenas, the
// current generation and the one before; when the current one is full, the
// older one is dropped and a new one begins. An index of sets of kWays
// entries, most recently used first, finds them; a hit in the older
// generation is copied into the current one, so entries in use survive:
// about least-recently-used, in bounded memory and without an allocation
// per entry. An entry is a pure function of its key, so a hit gives bit for
// bit what the worker would compute, and results do not depend on which
// worker saw which site first.
//
// Memory follows what is stored, up to the limits: the index starts with a
// few sets and doubles when it holds as many entries as it has ways, and
// the arenas grow as entries arrive. A run of many samples has a cache per
// sample and worker, most of them for a few sites: an index and arenas
// allocated in full would cost megabytes a sample whatever the data.
static_assert(std::is_trivially_copyable<SEncodedSite>::value, "records are copied as bytes");

class CBatchTabulator::CCache {
  public:
    static constexpr std::size_t kWays = 4;

    // What an entry holds, read back from an arena.
    struct SValue {
        unsigned depth = 0, minorReads = 0;
        double logScale = 0.0;
        const double* table = nullptr;  // the kept entries, unaligned
        std::size_t kept = 0;
        bool encoded = false;  // the site had a record
        SEncodedSite site;
        const unsigned char* record = nullptr;
        std::size_t recordBytes = 0;
    };

    // At most limits.slots entries in the index (a multiple of kWays), whose
    // array takes at most a quarter of limits.bytes; the arenas take the
    // rest, half each.
    explicit CCache(const STableCacheLimits& limits) {
        std::size_t sets = 1;
        while (2 * sets * kWays <= limits.slots &&
               2 * sets * kWays * sizeof(SWay) <= limits.bytes / 4) {
            sets <<= 1;
        }
        m_MaxSets = limits.slots >= kWays ? sets : 0;
        m_ArenaBytes =
            (limits.bytes - std::min(limits.bytes, m_MaxSets * kWays * sizeof(SWay))) / 2;
        // Offsets into an arena are 32-bit.
        m_ArenaBytes = std::min<std::size_t>(m_ArenaBytes, UINT32_MAX);
    }

    static std::uint64_t Hash(const std::vector<std::uint64_t>& key) {
        // splitmix64's finaliser over the words.
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

    // Starts fetching the set where hash would be found: the index is larger
    // than the caches of the processor, and a lookup otherwise waits for it.
    void Prefetch(std::uint64_t hash) const {
        if (!m_Ways.empty()) {
            __builtin_prefetch(&m_Ways[x_Index(hash)]);
        }
    }

    // Finds key; true and value filled on a hit.
    bool Find(const std::vector<std::uint64_t>& key, std::uint64_t hash, SValue& value) {
        if (m_Ways.empty()) {
            return false;
        }
        SWay* set = &m_Ways[(hash & (m_Sets - 1)) * kWays];
        for (std::size_t w = 0; w < kWays; ++w) {
            if (!x_Live(set[w]) || set[w].hash != hash) {
                continue;
            }
            const unsigned char* p = x_Arena(set[w].generation).data() + set[w].offset;
            if (!x_Read(p, key, value)) {
                continue;
            }
            const bool old = set[w].generation != m_Generation;
            std::rotate(set, set + w, set + w + 1);  // most recent first
            if (old) {
                // Into the current generation (the value is copied first:
                // making room may drop the older one).
                m_Scratch.assign(p, p + set[0].bytes);
                set[0].generation = 0;  // dead until stored again
                x_Store(hash, m_Scratch.data(), m_Scratch.size());
                x_Read(x_Arena(m_Generation).data() + m_Ways[x_Index(hash)].offset, key, value);
            }
            return true;
        }
        return false;
    }

    void Store(const std::vector<std::uint64_t>& key, std::uint64_t hash,
               const STabulatedSite& site, const SEncodedSite* encoded, const unsigned char* record,
               std::size_t recordBytes) {
        if (m_MaxSets == 0) {
            return;
        }
        // Layout: key words, depth, minor reads, kept, record bytes (one
        // word each), log scale, the site's record summary when encoded,
        // the kept entries, the record.
        m_Scratch.clear();
        auto put = [&](const void* data, std::size_t bytes) {
            const auto* b = static_cast<const unsigned char*>(data);
            m_Scratch.insert(m_Scratch.end(), b, b + bytes);
        };
        const std::uint64_t head[] = {key.size(), site.m_Depth, site.m_MinorReads, site.m_Kept,
                                      encoded ? recordBytes + 1 : 0};
        put(head, sizeof head);
        put(key.data(), key.size() * sizeof(std::uint64_t));
        put(&site.m_LogScale, sizeof(double));
        if (encoded) {
            put(encoded, sizeof(SEncodedSite));
        }
        put(site.m_Table.data(), site.m_Kept * sizeof(double));
        put(record, recordBytes);
        x_Store(hash, m_Scratch.data(), m_Scratch.size());
    }

  private:
    struct SWay {
        std::uint64_t hash = 0;
        std::uint32_t generation = 0;  // 0: empty
        std::uint32_t offset = 0;
        std::uint32_t bytes = 0;
    };

    bool x_Live(const SWay& w) const {
        return w.generation != 0 &&
               (w.generation == m_Generation || w.generation + 1 == m_Generation);
    }
    std::vector<unsigned char>& x_Arena(std::uint32_t generation) {
        return m_Arenas[generation & 1];
    }
    // The way that holds hash in the current generation (after x_Store).
    std::size_t x_Index(std::uint64_t hash) const { return (hash & (m_Sets - 1)) * kWays; }

    static bool x_Read(const unsigned char* p, const std::vector<std::uint64_t>& key,
                       SValue& value) {
        std::uint64_t head[5];
        std::memcpy(head, p, sizeof head);
        p += sizeof head;
        if (head[0] != key.size() ||
            std::memcmp(p, key.data(), key.size() * sizeof(std::uint64_t)) != 0) {
            return false;
        }
        p += key.size() * sizeof(std::uint64_t);
        value.depth = static_cast<unsigned>(head[1]);
        value.minorReads = static_cast<unsigned>(head[2]);
        value.kept = static_cast<std::size_t>(head[3]);
        value.encoded = head[4] != 0;
        value.recordBytes = value.encoded ? static_cast<std::size_t>(head[4] - 1) : 0;
        std::memcpy(&value.logScale, p, sizeof(double));
        p += sizeof(double);
        if (value.encoded) {
            std::memcpy(&value.site, p, sizeof(SEncodedSite));
            p += sizeof(SEncodedSite);
        }
        value.table = reinterpret_cast<const double*>(p);
        p += value.kept * sizeof(double);
        value.record = p;
        return true;
    }

    void x_Store(std::uint64_t hash, const unsigned char* entry, std::size_t bytes) {
        if (bytes > m_ArenaBytes) {
            return;  // too large to keep
        }
        if (m_Ways.empty()) {
            m_Sets = std::min(kFirstSets, m_MaxSets);
            m_Ways.resize(m_Sets * kWays);
            m_Generation = 1;
        } else if (m_Stored >= m_Ways.size() && m_Sets < m_MaxSets) {
            x_Grow();
        }
        std::vector<unsigned char>* arena = &x_Arena(m_Generation);
        if (arena->size() + bytes > m_ArenaBytes) {
            // A new generation in the older one's memory (clear() keeps it).
            ++m_Generation;
            arena = &x_Arena(m_Generation);
            arena->clear();
        }
        if (arena->size() + bytes > arena->capacity()) {
            // Doubling, but never past the limit.
            arena->reserve(std::min(m_ArenaBytes, std::max({arena->size() + bytes,
                                                            2 * arena->capacity(), kFirstArena})));
        }
        ++m_Stored;
        SWay* set = &m_Ways[x_Index(hash)];
        SWay way;
        way.hash = hash;
        way.generation = m_Generation;
        way.offset = static_cast<std::uint32_t>(arena->size());
        way.bytes = static_cast<std::uint32_t>(bytes);
        arena->insert(arena->end(), entry, entry + bytes);
        // Newest first; the least recently used (or a dead way) goes.
        std::size_t drop = kWays - 1;
        for (std::size_t w = 0; w < kWays; ++w) {
            if (!x_Live(set[w])) {
                drop = w;
                break;
            }
        }
        std::rotate(set, set + drop, set + drop + 1);
        set[0] = way;
    }

    // Twice the sets, every live entry moved to its set in the larger
    // index. An entry of set s goes to set s or s + m_Sets, the entries of
    // a new set come from one old set, and taking them newest first keeps
    // their order.
    void x_Grow() {
        std::vector<SWay> ways(2 * m_Sets * kWays);
        std::vector<std::size_t> filled(2 * m_Sets, 0);
        m_Stored = 0;
        for (const SWay& w : m_Ways) {
            if (!x_Live(w)) {
                continue;
            }
            const std::size_t set = w.hash & (2 * m_Sets - 1);
            ways[set * kWays + filled[set]++] = w;
            ++m_Stored;
        }
        m_Ways.swap(ways);
        m_Sets *= 2;
    }

    // The index's first size, and the arenas' first allocation.
    static constexpr std::size_t kFirstSets = 16;
    static constexpr std::size_t kFirstArena = 4096;

    std::size_t m_MaxSets = 0;  // the index's limit; 0: no cache
    std::size_t m_Sets = 0;     // the index's sets now (a power of two)
    std::size_t m_Stored = 0;   // entries stored since the index last grew, or live then
    std::size_t m_ArenaBytes = 0;
    std::vector<SWay> m_Ways;  // allocated on first use
    std::uint32_t m_Generation = 0;
    std::vector<unsigned char> m_Arenas[2];
    std::vector<unsigned char> m_Scratch;
};

// What a thread at work needs: a tabulator, when encoding an encoder, and a
// cache; handed out under the lock.
struct CBatchTabulator::SWorker {
    SWorker(bool folded, const SSiteOptions* encode, const STableCacheLimits& limits)
        : m_Tabulators{MakeTabulator(folded, encode), MakeTabulator(folded, encode)},
          m_Cache(limits) {
        if (encode) {
            m_Encoder = std::make_unique<CSiteEncoder>(*encode);
        }
    }
    static CSiteTabulator MakeTabulator(bool folded, const SSiteOptions* encode) {
        return encode ? CSiteTabulator(folded, SSpectrumClass{encode->folded, encode->poolSize})
                      : CSiteTabulator(folded);
    }
    // Two, so that the next site's key is made while this site is tabulated
    // (a key lives in its tabulator until that site is done).
    CSiteTabulator m_Tabulators[2];
    std::unique_ptr<CSiteEncoder> m_Encoder;
    CCache m_Cache;
    STableCacheCounts m_Counts;
    // Where contents do not repeat (qualities spread over 2..41) a lookup
    // is a key, a hash and a copy into the arena for nothing: after a probe
    // of kProbeSites lookups with fewer than kProbeHits hits, the next
    // kRestSites sites skip the cache, then it is probed again. A cached
    // table is the table the site would get anyway, so this changes no
    // result.
    static constexpr std::uint32_t kProbeSites = 1024, kProbeHits = 16, kRestSites = 16384;
    std::uint32_t m_Probed = 0, m_ProbeHitCount = 0, m_Resting = 0;
    bool UseCache() {
        if (m_Resting == 0) {
            return true;
        }
        --m_Resting;
        return false;
    }
    void Looked(bool hit) {
        ++m_Probed;
        m_ProbeHitCount += hit;
        if (m_Probed == kProbeSites) {
            if (m_ProbeHitCount < kProbeHits) {
                m_Resting = kRestSites;
            }
            m_Probed = m_ProbeHitCount = 0;
        }
    }
};

struct CBatchTabulator::SBatch {
    CBatchTabulator* m_Owner = nullptr;
    std::vector<SRawSite> m_Raw;
    std::vector<STabulatedSite> m_Sites;
    std::size_t m_Count = 0;
    SSiteBatch m_Encoded;
    // A failure of the worker (memory, a table the encoder refuses),
    // carried to the reading thread, and the contig of the site it concerns.
    std::exception_ptr m_Error;
    int m_ErrorContig = -1;
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
        // The slots grow with the sites read: a source of a few sites (one
        // sample of many) costs a few slots, not a batch's worth.
        while (batch.m_Count < m_BatchSites) {
            if (batch.m_Count == batch.m_Raw.size()) {
                batch.m_Raw.emplace_back();
            }
            if (!m_Source.Next(batch.m_Raw[batch.m_Count])) {
                break;
            }
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
    if (batch.m_Sites.size() < batch.m_Count) {
        batch.m_Sites.resize(batch.m_Count);
    }
    CCache& cache = worker->m_Cache;
    const bool caching = m_CacheLimits.slots > 0;
    batch.m_ErrorContig = -1;
    // Each site's key and hash are made one site ahead, and its set of the
    // cache fetched while the site before it is tabulated.
    auto keyOf = [&](std::size_t i, std::uint64_t& hash) -> const std::vector<std::uint64_t>* {
        if (!caching || i >= batch.m_Count || !worker->UseCache()) {
            return nullptr;
        }
        batch.m_ErrorContig = batch.m_Raw[i].m_Contig;
        const std::vector<std::uint64_t>* key = worker->m_Tabulators[i & 1].Key(batch.m_Raw[i]);
        if (key) {
            hash = CCache::Hash(*key);
            cache.Prefetch(hash);
        }
        return key;
    };
    std::uint64_t nextHash = 0;
    const std::vector<std::uint64_t>* nextKey = keyOf(0, nextHash);
    for (std::size_t i = 0; i < batch.m_Count; ++i) {
        const std::vector<std::uint64_t>* key = nextKey;
        const std::uint64_t hash = nextHash;
        nextKey = keyOf(i + 1, nextHash);
        CSiteTabulator& tabulator = worker->m_Tabulators[i & 1];
        const SRawSite& raw = batch.m_Raw[i];
        STabulatedSite& site = batch.m_Sites[i];
        // The contig of a site whose table or record fails, for the message.
        batch.m_ErrorContig = raw.m_Contig;
        if (!key) {
            tabulator.Tabulate(raw, site);
            if (worker->m_Encoder) {
                batch.m_Encoded.Add(*worker->m_Encoder, site.m_Contig, site.m_Pos,
                                    static_cast<int>(site.m_Depth), site.m_Table.data(),
                                    site.m_LogScale, site.m_Kept);
            }
            continue;
        }
        ++giveBack.counts.lookups;
        CCache::SValue hit;
        const bool found = cache.Find(*key, hash, hit);
        worker->Looked(found);
        if (found) {
            ++giveBack.counts.hits;
            site.m_Contig = raw.m_Contig;
            site.m_Pos = raw.m_Pos;
            site.m_Depth = hit.depth;
            site.m_MinorReads = hit.minorReads;
            site.m_Table.assign(hit.depth + std::size_t{1}, 0.0);
            std::memcpy(site.m_Table.data(), hit.table, hit.kept * sizeof(double));
            site.m_Kept = hit.kept;
            site.m_LogScale = hit.logScale;
            site.m_Stored = false;
            if (hit.encoded) {
                batch.m_Encoded.bytes.insert(batch.m_Encoded.bytes.end(), hit.record,
                                             hit.record + hit.recordBytes);
                batch.m_Encoded.sites.push_back(hit.site);
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
                                site.m_LogScale, site.m_Kept);
        }
        const bool encoded = batch.m_Encoded.sites.size() > sitesBefore;
        cache.Store(*key, hash, site, encoded ? &batch.m_Encoded.sites.back() : nullptr,
                    batch.m_Encoded.bytes.data() + bytesBefore,
                    batch.m_Encoded.bytes.size() - bytesBefore);
    }
    batch.m_ErrorContig = -1;
}

void CBatchTabulator::SetInputNames(std::string path, std::function<std::string(int)> contigName) {
    m_InputPath = std::move(path);
    m_ContigName = std::move(contigName);
}

void CBatchTabulator::x_Throw(std::exception_ptr error, int contig) const {
    try {
        std::rethrow_exception(error);
    } catch (const CInputError& e) {
        if (!m_ContigName || contig < 0) {
            throw;
        }
        SInputWhere where;
        where.m_File = m_InputPath;
        where.m_Contig = m_ContigName(contig);
        throw Placed(e, where);
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

void CBatchTabulator::Resume() {
    if (!m_SourceError) {
        m_SourceDone = false;
    }
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
                try {
                    x_Tabulate(*b);
                } catch (...) {
                    x_Throw(std::current_exception(), b->m_ErrorContig);
                }
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
        x_Throw(b->m_Error, b->m_ErrorContig);
    }
    return {b->m_Sites.data(), b->m_Count, m_Encode ? &b->m_Encoded : nullptr};
}
