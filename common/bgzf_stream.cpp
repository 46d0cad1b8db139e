#include "common/bgzf_stream.hpp"

#include <cerrno>
#include <cstdint>

namespace {

// The empty block that ends a BGZF file (the SAM/BAM format's EOF marker).
const unsigned char kEofBlock[28] = {0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff,
                                     0x06, 0x00, 0x42, 0x43, 0x02, 0x00, 0x1b, 0x00, 0x03, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

CBgzfOutBuf::CBgzfOutBuf(std::ostream& sink)
    : m_Sink(sink), m_Buffer(BGZF_BLOCK_SIZE), m_Block(BGZF_MAX_BLOCK_SIZE) {
    setp(m_Buffer.data(), m_Buffer.data() + m_Buffer.size());
}

bool CBgzfOutBuf::x_Block() {
    const std::size_t n = static_cast<std::size_t>(pptr() - pbase());
    if (n == 0 || m_Failed) {
        return !m_Failed;
    }
    std::size_t size = m_Block.size();
    if (bgzf_compress(m_Block.data(), &size, m_Buffer.data(), n, -1) != 0) {
        m_Failed = true;
        return false;
    }
    if (!x_Write(m_Block.data(), size)) {
        return false;
    }
    setp(m_Buffer.data(), m_Buffer.data() + m_Buffer.size());
    return true;
}

CBgzfOutBuf::int_type CBgzfOutBuf::overflow(int_type c) {
    if (!x_Block()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

bool CBgzfOutBuf::Finish() {
    if (!x_Block()) {
        return false;
    }
    return x_Write(reinterpret_cast<const char*>(kEofBlock), sizeof kEofBlock);
}

bool CBgzfOutBuf::x_Write(const char* data, std::size_t size) {
    const bool wasGood = m_Sink.good();
    errno = 0;
    if (!m_Sink.write(data, static_cast<std::streamsize>(size))) {
        m_Failed = true;
        m_Errno = wasGood ? errno : 0;
        return false;
    }
    return true;
}
