#pragma once
// The records of every site of a run (pool_record.hpp), in chunks of
// consecutive sites of one contig: the unit of the parallel passes over the
// sites, whose sums are added chunk by chunk in order, so every result is
// the same for any number of threads.
//
// Within a chunk the sites are ordered by their pools' depths and largest
// table entries (then by position), not by position: a pass over them then
// meets the same depth pair many times in a row, and the small matrices of
// that pair stay in the cache. Every site keeps its position.

#include <cstddef>
#include <cstdint>
#include <vector>

struct SPoolChunk {
    int m_Contig = 0;
    std::int64_t m_FirstPos = 0;           // the chunk's first position in genome order
    std::vector<std::uint32_t> m_Offsets;  // position - m_FirstPos of each site
    std::vector<unsigned char> m_Bytes;    // each site's records, pools in order
};

class CPoolStore {
  public:
    static constexpr std::size_t kChunkSites = 65536;

    explicit CPoolStore(std::size_t pools) : m_Pools(pools) {}

    std::size_t Pools() const { return m_Pools; }

    // Appends a site (its records, bytes[0..size)); sites come in genome
    // order.
    void Append(int contig, std::int64_t pos, const unsigned char* bytes, std::size_t size);
    // Closes the last chunk (orders it and releases its spare capacity).
    void Finish();

    const std::vector<SPoolChunk>& Chunks() const { return m_Chunks; }
    std::uint64_t Sites() const { return m_Sites; }
    // Bytes held (records and positions).
    std::uint64_t Bytes() const;

  private:
    void x_Close();

    std::size_t m_Pools;
    std::vector<SPoolChunk> m_Chunks;
    std::vector<std::uint32_t> m_Starts;  // byte offset of each site of the open chunk
    bool m_Open = false;
    std::int64_t m_LastPos = -1;
    std::uint64_t m_Sites = 0;
};

// Blocks of blockSize bases per contig for resampling, numbered in genome
// order among the blocks that hold a site of the store.
class CSiteBlocks {
  public:
    CSiteBlocks(const CPoolStore& store, std::int64_t blockSize);
    std::size_t Blocks() const { return m_Blocks; }
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
