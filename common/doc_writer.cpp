#include "common/doc_writer.hpp"

#include <cerrno>
#include <charconv>
#include <ostream>
#include <stdexcept>

#include "base/qt_assert.hpp"
#include "common/qualxml.hpp"
#include "common/safe_output.hpp"

namespace {

constexpr std::size_t kFlushAt = 1 << 16;

// The neutral model with its default parameter.
constexpr char kDefaultDist[] = "Neutral";
constexpr double kDefaultTheta = 0.01;

// An attribute value as libxml2 escapes it when the document declares no
// encoding. Only ASCII comes here (model names and parameter strings), so
// the character references libxml2 writes for other characters are not
// needed.
void AppendAttributeValue(std::string& out, const std::string& value) {
    for (const char c : value) {
        QT_ASSERT(static_cast<unsigned char>(c) < 0x80);
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\t':
                out += "&#9;";
                break;
            default:
                out += c;
        }
    }
}

}  // namespace

CQualDocWriter::CQualDocWriter(std::ostream& out, std::string name)
    : m_Out(out), m_Name(std::move(name)) {
    using namespace qualxml;
    m_Buf.reserve(kFlushAt + 4096);
    const std::string error = std::string(" ") + kError + "=\"\"";
    for (unsigned score = 0; score < 256; ++score) {
        const std::string head =
            std::string("    <") + kChr + " " + kScore + "=\"" + std::to_string(score) + "\"";
        const std::string marks[4] = {"", std::string(" ") + kMinor + "=\"\"",
                                      std::string(" ") + kOther + "=\"1\"",
                                      std::string(" ") + kOther + "=\"2\""};
        for (int cls = 0; cls < 4; ++cls) {
            m_ChrLines[score][cls] = head + marks[cls] + "/>\n";
            m_ChrLines[score][cls + 4] = head + marks[cls] + error + "/>\n";
        }
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
    m_Buf += '"';
    m_ColumnEmpty = true;
}

void CQualDocWriter::AddChr(unsigned score, EClass cls, bool error) {
    QT_ASSERT(score < 256);
    if (m_ColumnEmpty) {
        m_Buf += ">\n";
        m_ColumnEmpty = false;
    }
    m_Buf += m_ChrLines[score][cls + (error ? 4 : 0)];
}

void CQualDocWriter::EndColumn() {
    if (m_ColumnEmpty) {
        m_Buf += "/>\n";
        m_ColumnEmpty = false;
    } else {
        m_Buf += "  </";
        m_Buf += qualxml::kColumn;
        m_Buf += ">\n";
    }
    if (m_Buf.size() >= kFlushAt) {
        x_Flush();
    }
}

void CQualDocWriter::End() {
    End(kDefaultDist, TParamVector{{kDefaultTheta, true}});
}

void CQualDocWriter::End(const std::string& dist, const TParamVector& params) {
    using namespace qualxml;
    m_Buf += std::string("  <") + kFSParams + " " + kDist + "=\"";
    AppendAttributeValue(m_Buf, dist);
    m_Buf += std::string("\" ") + kParams + "=\"";
    AppendAttributeValue(m_Buf, FormatParamString(params));
    m_Buf += std::string("\"/>\n</") + kRoot + ">\n";
    x_Flush();
    x_Check([this] { m_Out.flush(); });
}

void CQualDocWriter::x_Flush() {
    x_Check([this] { m_Out.write(m_Buf.data(), static_cast<std::streamsize>(m_Buf.size())); });
    m_Buf.clear();
}

template <typename TWrite>
void CQualDocWriter::x_Check(TWrite write) {
    // The system's reason (a full disk) names the fault only when this very
    // write set it: a stream that had failed before keeps no reason.
    const bool wasGood = m_Out.good();
    errno = 0;
    write();
    if (!m_Out) {
        throw std::runtime_error(WriteFailure(m_Name, wasGood ? errno : 0));
    }
}
