#include "estimator/gzip_input.hpp"

#include <htslib/bgzf.h>

#include <fstream>
#include <stdexcept>

CBgzfInBuf::CBgzfInBuf(BGZF* fp) : m_File(fp), m_Buffer(64 * 1024) {}

CBgzfInBuf::~CBgzfInBuf() {
    bgzf_close(m_File);
}

CBgzfInBuf::int_type CBgzfInBuf::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    const ssize_t n = bgzf_read(m_File, m_Buffer.data(), m_Buffer.size());
    if (n < 0) {
        throw std::runtime_error("the compressed input is truncated or corrupt");
    }
    if (n == 0) {
        return traits_type::eof();
    }
    setg(m_Buffer.data(), m_Buffer.data(), m_Buffer.data() + n);
    return traits_type::to_int_type(*gptr());
}

namespace {

bool StartsWithGzipMagic(const std::string& path) {
    std::ifstream probe(path, std::ios::binary);
    char magic[2];
    return probe.read(magic, 2) && static_cast<unsigned char>(magic[0]) == 0x1f &&
           static_cast<unsigned char>(magic[1]) == 0x8b;
}

}  // namespace

CInputDocument::CInputDocument(const std::string& path) {
    if (StartsWithGzipMagic(path)) {
        if (BGZF* fp = bgzf_open(path.c_str(), "r")) {
            m_Buf = std::make_unique<CBgzfInBuf>(fp);
            m_Stream = std::make_unique<std::istream>(m_Buf.get());
            return;
        }
    }
    m_Stream = std::make_unique<std::ifstream>(path);
}
