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

#include <cstddef>
#include <cstdint>
#include <vector>

struct SPoolChunk {
    int m_Contig = 0;
    std::int64_t m_FirstPos = 0;           // the chunk's first position
    std::vector<std::uint32_t> m_Offsets;  // position - m_FirstPos of each site, in order
    // Pool 0's column (a record per site, in order), pool 1's, ...; then 16
    // bytes of padding (SPoolRecordView::EntriesPadded).
    std::vector<unsigned char> m_Records;
    std::vector<std::size_t> m_Columns;  // where each pool's column starts

    std::size_t Sites() const { return m_Offsets.size(); }
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
