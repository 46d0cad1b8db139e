#include "pool/pool_store.hpp"

#include <algorithm>
#include <limits>

#include "base/qt_assert.hpp"
#include "pool/pool_record.hpp"

void CPoolStore::Append(int contig, std::int64_t pos, const unsigned char* bytes,
                        std::size_t size) {
    if (!m_IsOpen || m_Chunks.back().m_Contig != contig ||
        m_Chunks.back().m_Offsets.size() >= kChunkSites ||
        pos - m_Chunks.back().m_FirstPos > std::numeric_limits<std::uint32_t>::max()) {
        x_Close();
        m_Chunks.emplace_back();
        m_Chunks.back().m_Contig = contig;
        m_Chunks.back().m_FirstPos = pos;
        m_IsOpen = true;
        m_LastPos = -1;
    }
    SPoolChunk& c = m_Chunks.back();
    QT_ASSERT(pos > m_LastPos);
    m_LastPos = pos;
    c.m_Offsets.push_back(static_cast<std::uint32_t>(pos - c.m_FirstPos));
    const unsigned char* p = bytes;
    SPoolRecordView v;
    for (std::size_t k = 0; k < m_Pools; ++k) {
        const unsigned char* next = ReadPoolRecord(p, v);
        QT_ASSERT(next > p && next <= bytes + size);
        m_Open[k].insert(m_Open[k].end(), p, next);
        p = next;
    }
    QT_ASSERT(p == bytes + size);
    ++m_Sites;
}

void CPoolStore::Finish() {
    x_Close();
}

void CPoolStore::x_Close() {
    if (!m_IsOpen) {
        return;
    }
    m_IsOpen = false;
    SPoolChunk& c = m_Chunks.back();
    c.m_Offsets.shrink_to_fit();
    std::size_t total = 0;
    for (const auto& column : m_Open) {
        total += column.size();
    }
    // Readers may load a few bytes past a record's end.
    constexpr std::size_t kPadding = 16;
    c.m_Records.reserve(total + kPadding);
    for (auto& column : m_Open) {
        c.m_Columns.push_back(c.m_Records.size());
        c.m_Records.insert(c.m_Records.end(), column.begin(), column.end());
        column.clear();
    }
    c.m_Columns.push_back(c.m_Records.size());
    c.m_Records.resize(total + kPadding, 0);
}

std::uint64_t CPoolStore::Bytes() const {
    std::uint64_t bytes = 0;
    for (const SPoolChunk& c : m_Chunks) {
        bytes += c.m_Records.capacity() + 4 * c.m_Offsets.capacity() +
                 sizeof(std::size_t) * c.m_Columns.capacity() + sizeof(SPoolChunk);
    }
    return bytes;
}

CPoolSiteCursor::CPoolSiteCursor(const CPoolStore& store, std::size_t first, std::size_t last,
                                 std::size_t pool)
    : m_Chunks(store.Chunks()),
      m_Chunk(first),
      m_Last(last),
      m_First(pool == kEveryPool ? 0 : pool),
      m_End(pool == kEveryPool ? store.Pools() : pool + 1),
      m_Next(store.Pools(), nullptr),
      m_Views(store.Pools()) {
    QT_ASSERT(first <= last && last <= m_Chunks.size());
    QT_ASSERT(m_First < m_End && m_End <= store.Pools());
}

bool CPoolSiteCursor::Next() {
    if (m_Started) {
        ++m_Site;
    } else {
        m_Started = true;
        m_Site = 0;
        if (m_Chunk < m_Last) {
            for (std::size_t k = m_First; k < m_End; ++k) {
                m_Next[k] = m_Chunks[m_Chunk].Column(k);
            }
        }
    }
    while (m_Chunk < m_Last && m_Site >= m_Chunks[m_Chunk].Sites()) {
        ++m_Chunk;
        m_Site = 0;
        if (m_Chunk < m_Last) {
            for (std::size_t k = m_First; k < m_End; ++k) {
                m_Next[k] = m_Chunks[m_Chunk].Column(k);
            }
        }
    }
    if (m_Chunk >= m_Last) {
        return false;
    }
    for (std::size_t k = m_First; k < m_End; ++k) {
        m_Next[k] = ReadPoolRecord(m_Next[k], m_Views[k]);
    }
    return true;
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
