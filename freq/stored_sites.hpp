#pragma once
// The one place where qualfreq reads the layout of the pool store
// (pool/pool_store.hpp): the fit of the joint prior and the calls of the
// stored candidates visit the store's sites through these functions, chunk
// by chunk (the unit of the parallel passes), so that a change of how the
// store holds its records changes this file alone.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

// The chunks of store, and the sites of its chunk c.
inline std::size_t StoredChunks(const CPoolStore& store) {
    return store.Chunks().size();
}
inline std::size_t StoredSites(const CPoolStore& store, std::size_t c) {
    return store.Chunks()[c].m_Offsets.size();
}

// The order of a visit: the store's own (sums over the sites add up in it,
// as the other pool programs add them), or by position (to join the sites
// with what is kept beside the store).
enum class EStoredOrder { eAsStored, eByPosition };

// Calls visit(contig, pos, records) for every site of chunk c of store in
// order; records[0..store.Pools()) are the site's records, pools in order,
// valid during the call.
template <class FVisit>
void VisitStoredSites(const CPoolStore& store, std::size_t c, EStoredOrder order, FVisit&& visit) {
    const SPoolChunk& chunk = store.Chunks()[c];
    const std::size_t pools = store.Pools();
    // The store orders a chunk's sites by their records, not by position:
    // each site's first byte found in one pass, then sorted when asked.
    struct SSite {
        std::int64_t pos;
        const unsigned char* bytes;
    };
    std::vector<SSite> sites;
    sites.reserve(chunk.m_Offsets.size());
    const unsigned char* p = chunk.m_Bytes.data();
    SPoolRecordView skip;
    for (std::uint32_t offset : chunk.m_Offsets) {
        sites.push_back(SSite{chunk.m_FirstPos + offset, p});
        for (std::size_t k = 0; k < pools; ++k) {
            p = ReadPoolRecord(p, skip);
        }
    }
    if (order == EStoredOrder::eByPosition) {
        std::sort(sites.begin(), sites.end(),
                  [](const SSite& a, const SSite& b) { return a.pos < b.pos; });
    }
    std::vector<SPoolRecordView> records(pools);
    for (const SSite& site : sites) {
        const unsigned char* q = site.bytes;
        for (std::size_t k = 0; k < pools; ++k) {
            q = ReadPoolRecord(q, records[k]);
        }
        visit(chunk.m_Contig, site.pos, static_cast<const SPoolRecordView*>(records.data()));
    }
}
