#pragma once
// The records of every site of a run (pool_record.hpp), in genome order, in
// chunks of one contig: the unit of the parallel passes over the sites,
// whose sums are added chunk by chunk in order, so every result is the same
// for any number of threads.

#include <cstddef>
#include <cstdint>
#include <vector>

struct SPoolChunk {
    int m_Contig = 0;
    std::int64_t m_FirstPos = 0;
    std::vector<std::uint32_t> m_Offsets;  // position - m_FirstPos of each site
    std::vector<unsigned char> m_Bytes;    // each site's records, pools in order
};

class CPoolStore {
  public:
    static constexpr std::size_t kChunkSites = 8192;

    explicit CPoolStore(std::size_t pools) : m_Pools(pools) {}

    std::size_t Pools() const { return m_Pools; }

    // Appends a site (its records, bytes[0..size)); sites come in genome
    // order.
    void Append(int contig, std::int64_t pos, const unsigned char* bytes, std::size_t size);
    // Releases the spare capacity of the last chunk.
    void Finish();

    const std::vector<SPoolChunk>& Chunks() const { return m_Chunks; }
    std::uint64_t Sites() const { return m_Sites; }
    // Bytes held (records and positions).
    std::uint64_t Bytes() const;

  private:
    std::size_t m_Pools;
    std::vector<SPoolChunk> m_Chunks;
    std::uint64_t m_Sites = 0;
};
