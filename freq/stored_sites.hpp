#pragma once
// The one place where qualfreq reads the layout of the pool store
// (pool/pool_store.hpp): the fit of the joint prior and the calls of the
// stored candidates visit the store's sites through these functions, chunk
// by chunk (the unit of the parallel passes), so that a change of how the
// store holds its records changes this file alone.

#include <cstddef>
#include <cstdint>

#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

// The chunks of store, and the sites of its chunk c.
inline std::size_t StoredChunks(const CPoolStore& store) {
    return store.Chunks().size();
}
inline std::size_t StoredSites(const CPoolStore& store, std::size_t c) {
    return store.Chunks()[c].Sites();
}

// The order of a visit: the store's own (sums over the sites add up in it,
// as the other pool programs add them), or by position (to join the sites
// with what is kept beside the store). The store keeps a chunk's sites in
// genome order, so both are one.
enum class EStoredOrder { eAsStored, eByPosition };

// Calls visit(contig, pos, records) for every site of chunk c of store in
// order; records[0..store.Pools()) are the site's records, pools in order,
// valid during the call.
template <class FVisit>
void VisitStoredSites(const CPoolStore& store, std::size_t c, EStoredOrder, FVisit&& visit) {
    for (CPoolSiteCursor site(store, c, c + 1); site.Next();) {
        visit(site.Contig(), site.Pos(), site.Records());
    }
}
