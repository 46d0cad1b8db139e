#include "fst/pool_store.hpp"

#include <limits>

#include "base/qt_assert.hpp"

void CPoolStore::Append(int contig, std::int64_t pos, const unsigned char* bytes,
                        std::size_t size) {
    if (m_Chunks.empty() || m_Chunks.back().m_Contig != contig ||
        m_Chunks.back().m_Offsets.size() >= kChunkSites ||
        pos - m_Chunks.back().m_FirstPos > std::numeric_limits<std::uint32_t>::max()) {
        Finish();
        m_Chunks.emplace_back();
        m_Chunks.back().m_Contig = contig;
        m_Chunks.back().m_FirstPos = pos;
    }
    SPoolChunk& c = m_Chunks.back();
    QT_ASSERT(pos >= c.m_FirstPos + (c.m_Offsets.empty() ? 0 : c.m_Offsets.back()));
    c.m_Offsets.push_back(static_cast<std::uint32_t>(pos - c.m_FirstPos));
    c.m_Bytes.insert(c.m_Bytes.end(), bytes, bytes + size);
    ++m_Sites;
}

void CPoolStore::Finish() {
    if (!m_Chunks.empty()) {
        m_Chunks.back().m_Offsets.shrink_to_fit();
        m_Chunks.back().m_Bytes.shrink_to_fit();
    }
}

std::uint64_t CPoolStore::Bytes() const {
    std::uint64_t bytes = 0;
    for (const SPoolChunk& c : m_Chunks) {
        bytes += c.m_Bytes.capacity() + 4 * c.m_Offsets.capacity() + sizeof(SPoolChunk);
    }
    return bytes;
}
