#pragma once
// The records of every site of a run (pool_record.hpp), in chunks of
// consecutive sites of one contig: the unit of the parallel passes over the
// sites, whose sums are added chunk by chunk in order, so every result is
// the same for any number of threads.
//
// Within a chunk the sites are in genome order and each pool's records form
// a column of their own: a pass over a pair of pools reads those two columns
// and never the others', so its cost does not grow with the number of
// pools.
//
// Reading the store. Two ways, and no reader walks the bytes itself:
//  - CPoolSiteCursor, site by site in genome order: the contig, the
//    position, the chunk and the records (SPoolRecordView) of every pool or
//    of one pool (which then reads that pool's column alone);
//  - a chunk's columns, for passes that decode one or two pools in a tight
//    loop (the pair fit): SPoolChunk::Column(pool) is the pool's first
//    record, the chunk's sites in order, each read with ReadPoolRecordHead
//    and then Entries / EntriesPadded (which return the next record) or
//    End(); Sites() and Pos(i) give the positions.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/pool_record.hpp"

struct SPoolChunk {
    int m_Contig = 0;
    std::int64_t m_FirstPos = 0;           // the chunk's first position
    std::vector<std::uint32_t> m_Offsets;  // position - m_FirstPos of each site, in order
    // Pool 0's column (a record per site, in order), pool 1's, ...; then 16
    // bytes of padding (SPoolRecordView::EntriesPadded).
    std::vector<unsigned char> m_Records;
    std::vector<std::size_t> m_Columns;  // where each pool's column starts

    std::size_t Sites() const { return m_Offsets.size(); }
    // The position of site i (0-based).
    std::int64_t Pos(std::size_t i) const { return m_FirstPos + m_Offsets[i]; }
    // Pool pool's first record; its records follow one another, a site each.
    const unsigned char* Column(std::size_t pool) const {
        return m_Records.data() + m_Columns[pool];
    }
};

class CPoolStore {
  public:
    static constexpr std::size_t kChunkSites = 65536;

    explicit CPoolStore(std::size_t pools) : m_Pools(pools), m_Open(pools) {}

    std::size_t Pools() const { return m_Pools; }

    // Appends a site (its records, one per pool in order,
    // bytes[0..size)); sites come in genome order.
    void Append(int contig, std::int64_t pos, const unsigned char* bytes, std::size_t size);
    // Closes the last chunk (its columns joined, spare capacity released).
    void Finish();

    const std::vector<SPoolChunk>& Chunks() const { return m_Chunks; }
    std::uint64_t Sites() const { return m_Sites; }
    // Bytes held (records and positions).
    std::uint64_t Bytes() const;

  private:
    void x_Close();

    std::size_t m_Pools;
    std::vector<SPoolChunk> m_Chunks;
    std::vector<std::vector<unsigned char>> m_Open;  // the open chunk's columns
    bool m_IsOpen = false;
    std::int64_t m_LastPos = -1;
    std::uint64_t m_Sites = 0;
};

// Walks sites of a store in genome order (see the top of this file).
//
//   for (CPoolSiteCursor s(store); s.Next();)
//       use(s.Contig(), s.Pos(), s.Record(0), s.Record(1), ...);
class CPoolSiteCursor {
  public:
    static constexpr std::size_t kEveryPool = static_cast<std::size_t>(-1);

    // Every site of the store, every pool's record.
    explicit CPoolSiteCursor(const CPoolStore& store)
        : CPoolSiteCursor(store, 0, store.Chunks().size()) {}
    // The sites of chunks [first, last), and the records of pool (or of
    // every pool: kEveryPool).
    CPoolSiteCursor(const CPoolStore& store, std::size_t first, std::size_t last,
                    std::size_t pool = kEveryPool);

    // Moves to the next site (the first, on the first call); false past the
    // last, after which the cursor holds nothing.
    bool Next();

    int Contig() const { return m_Chunks[m_Chunk].m_Contig; }
    std::int64_t Pos() const { return m_Chunks[m_Chunk].Pos(m_Site); }
    // The site's chunk (the store's index) and its index within it.
    std::size_t Chunk() const { return m_Chunk; }
    std::size_t Site() const { return m_Site; }
    // Pool i's record at the site (depth 0 where it does not count); only
    // the pool read where the cursor reads one.
    const SPoolRecordView& Record(std::size_t i) const { return m_Views[i]; }
    // Every pool's record, in pool order (a cursor over every pool).
    const SPoolRecordView* Records() const { return m_Views.data(); }

  private:
    const std::vector<SPoolChunk>& m_Chunks;
    std::size_t m_Chunk, m_Last;
    std::size_t m_Site = 0;
    bool m_Started = false;
    std::size_t m_First, m_End;                // the pools read: [m_First, m_End)
    std::vector<const unsigned char*> m_Next;  // per pool: its next record
    std::vector<SPoolRecordView> m_Views;
};

// Blocks of blockSize bases per contig for resampling, numbered in genome
// order among the blocks that hold a site of the store.
class CSiteBlocks {
  public:
    CSiteBlocks(const CPoolStore& store, std::int64_t blockSize);
    std::size_t Blocks() const { return m_Blocks; }
    // Bases per block: a block holds the positions of one pos / Size().
    std::int64_t Size() const { return m_Size; }
    // The block of the site of chunk c at pos.
    std::size_t Block(std::size_t c, std::int64_t pos) const;

  private:
    std::int64_t m_Size;
    std::size_t m_Blocks = 0;
    // Per chunk: the block of its first block number, and its block
    // numbers (pos / size) in order.
    std::vector<std::size_t> m_FirstBlock;
    std::vector<std::vector<std::int64_t>> m_Numbers;
};
