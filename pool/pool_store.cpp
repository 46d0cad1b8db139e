#include "pool/pool_store.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "base/qt_assert.hpp"
#include "pool/pool_record.hpp"

void CPoolStore::Append(int contig, std::int64_t pos, const unsigned char* bytes,
                        std::size_t size) {
    if (!m_Open || m_Chunks.back().m_Contig != contig ||
        m_Chunks.back().m_Offsets.size() >= kChunkSites ||
        pos - m_Chunks.back().m_FirstPos > std::numeric_limits<std::uint32_t>::max()) {
        x_Close();
        m_Chunks.emplace_back();
        m_Chunks.back().m_Contig = contig;
        m_Chunks.back().m_FirstPos = pos;
        m_Open = true;
        m_LastPos = -1;
    }
    SPoolChunk& c = m_Chunks.back();
    QT_ASSERT(pos > m_LastPos);
    m_LastPos = pos;
    m_Starts.push_back(static_cast<std::uint32_t>(c.m_Bytes.size()));
    c.m_Offsets.push_back(static_cast<std::uint32_t>(pos - c.m_FirstPos));
    c.m_Bytes.insert(c.m_Bytes.end(), bytes, bytes + size);
    ++m_Sites;
}

void CPoolStore::Finish() {
    x_Close();
}

void CPoolStore::x_Close() {
    if (!m_Open) {
        return;
    }
    m_Open = false;
    SPoolChunk& c = m_Chunks.back();
    const std::size_t n = c.m_Offsets.size();
    // Each site's key: (depth, position of the largest entry) per pool.
    std::vector<std::uint32_t> keys(n * m_Pools);
    SPoolRecordView v;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* p = c.m_Bytes.data() + m_Starts[i];
        for (std::size_t k = 0; k < m_Pools; ++k) {
            p = ReadPoolRecord(p, v);
            keys[i * m_Pools + k] = v.depth << 8 | (v.depth ? v.top : 0);
        }
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        for (std::size_t k = 0; k < m_Pools; ++k) {
            if (keys[a * m_Pools + k] != keys[b * m_Pools + k]) {
                return keys[a * m_Pools + k] < keys[b * m_Pools + k];
            }
        }
        return a < b;
    });
    std::vector<std::uint32_t> offsets(n);
    std::vector<unsigned char> bytes;
    bytes.reserve(c.m_Bytes.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t s = order[i];
        offsets[i] = c.m_Offsets[s];
        const std::size_t end = s + 1 < n ? m_Starts[s + 1] : c.m_Bytes.size();
        bytes.insert(bytes.end(), c.m_Bytes.begin() + m_Starts[s], c.m_Bytes.begin() + end);
    }
    c.m_Offsets = std::move(offsets);
    c.m_Bytes = std::move(bytes);
    m_Starts.clear();
}

std::uint64_t CPoolStore::Bytes() const {
    std::uint64_t bytes = 0;
    for (const SPoolChunk& c : m_Chunks) {
        bytes += c.m_Bytes.capacity() + 4 * c.m_Offsets.capacity() + sizeof(SPoolChunk);
    }
    return bytes;
}

CSiteBlocks::CSiteBlocks(const CPoolStore& store, std::int64_t blockSize) : m_Size(blockSize) {
    QT_ASSERT(blockSize > 0);
    int contig = -1;
    std::int64_t last = -1;
    for (const SPoolChunk& c : store.Chunks()) {
        std::vector<std::int64_t> numbers;
        for (std::uint32_t offset : c.m_Offsets) {
            numbers.push_back((c.m_FirstPos + offset) / m_Size);
        }
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        // A chunk's first block may be the one the chunk before ended in.
        const bool continues = !numbers.empty() && c.m_Contig == contig && numbers[0] == last;
        m_FirstBlock.push_back(continues ? m_Blocks - 1 : m_Blocks);
        m_Blocks += numbers.size() - (continues ? 1 : 0);
        if (!numbers.empty()) {
            contig = c.m_Contig;
            last = numbers.back();
        }
        m_Numbers.push_back(std::move(numbers));
    }
}

std::size_t CSiteBlocks::Block(std::size_t c, std::int64_t pos) const {
    const std::vector<std::int64_t>& numbers = m_Numbers[c];
    const auto it = std::lower_bound(numbers.begin(), numbers.end(), pos / m_Size);
    return m_FirstBlock[c] + static_cast<std::size_t>(it - numbers.begin());
}
