#include "pileup/doc_writer.hpp"

#include <charconv>
#include <ostream>
#include <stdexcept>

#include "base/qt_assert.hpp"
#include "common/qualxml.hpp"

namespace {

constexpr std::size_t kFlushAt = 1 << 16;

// The neutral model with its default parameter, as the parameter string
// writes it (each number followed by one blank).
constexpr char kDefaultDist[] = "Neutral";
constexpr char kDefaultParams[] = "0.01 ";

}  // namespace

CQualDocWriter::CQualDocWriter(std::ostream& out, std::string name)
    : m_Out(out), m_Name(std::move(name)) {
    using namespace qualxml;
    m_Buf.reserve(kFlushAt + 4096);
    for (unsigned score = 0; score < 256; ++score) {
        std::string head =
            std::string("    <") + kChr + " " + kScore + "=\"" + std::to_string(score) + "\"";
        m_ChrLines[score][eMajor] = head + "/>\n";
        m_ChrLines[score][eMinor] = head + " " + kMinor + "=\"\"/>\n";
        m_ChrLines[score][eOther1] = head + " " + kOther + "=\"1\"/>\n";
        m_ChrLines[score][eOther2] = head + " " + kOther + "=\"2\"/>\n";
    }
}

void CQualDocWriter::Begin() {
    using namespace qualxml;
    m_Buf += "<?xml version=\"1.0\"?>\n<!DOCTYPE ";
    m_Buf += kRoot;
    m_Buf += " SYSTEM \"";
    m_Buf += kSystemId;
    m_Buf += "\">\n<";
    m_Buf += kRoot;
    m_Buf += ">\n";
}

void CQualDocWriter::BeginColumn(std::int64_t pos) {
    using namespace qualxml;
    char num[24];
    auto res = std::to_chars(num, num + sizeof num, pos);
    QT_ASSERT(res.ec == std::errc());
    m_Buf += "  <";
    m_Buf += kColumn;
    m_Buf += ' ';
    m_Buf += kPos;
    m_Buf += "=\"";
    m_Buf.append(num, res.ptr);
    m_Buf += "\">\n";
}

void CQualDocWriter::AddChr(unsigned score, EClass cls) {
    QT_ASSERT(score < 256);
    m_Buf += m_ChrLines[score][cls];
}

void CQualDocWriter::EndColumn() {
    m_Buf += "  </";
    m_Buf += qualxml::kColumn;
    m_Buf += ">\n";
    if (m_Buf.size() >= kFlushAt) {
        x_Flush();
    }
}

void CQualDocWriter::End() {
    using namespace qualxml;
    m_Buf += std::string("  <") + kFSParams + " " + kDist + "=\"" + kDefaultDist + "\" " + kParams +
             "=\"" + kDefaultParams + "\"/>\n</" + kRoot + ">\n";
    x_Flush();
    m_Out.flush();
    if (!m_Out) {
        throw std::runtime_error("Cannot write '" + m_Name + "'.");
    }
}

void CQualDocWriter::x_Flush() {
    m_Out.write(m_Buf.data(), static_cast<std::streamsize>(m_Buf.size()));
    m_Buf.clear();
    if (!m_Out) {
        throw std::runtime_error("Cannot write '" + m_Name + "'.");
    }
}
