#include "common/doc_writer.hpp"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
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

// Text of any bytes as an attribute value the way libxml2 escapes it when
// the document declares no encoding: the characters above of ASCII as
// hexadecimal character references of their code points. False (and out
// unchanged) when text is not UTF-8 or holds a character XML 1.0 does not
// allow.
bool AppendAttributeText(std::string& out, const std::string& text) {
    std::string escaped;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                return false;
            }
            AppendAttributeValue(escaped, std::string(1, static_cast<char>(c)));
            ++i;
            continue;
        }
        // The length of the sequence and the bits of its first byte.
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || c >= 0xF8 || i + static_cast<std::size_t>(length) > text.size()) {
            return false;
        }
        std::uint32_t code = c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const unsigned char d =
                static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond Unicode are not
        // characters; U+FFFE and U+FFFF are not allowed in XML.
        static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
            code == 0xFFFE || code == 0xFFFF) {
            return false;
        }
        char ref[16];
        std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(code));
        escaped += ref;
        i += static_cast<std::size_t>(length);
    }
    out += escaped;
    return true;
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

void CQualDocWriter::BeginColumn(std::int64_t pos, const std::string& contig) {
    BeginColumn(pos);
    m_Buf += ' ';
    m_Buf += qualxml::kContig;
    m_Buf += "=\"";
    if (!AppendAttributeText(m_Buf, contig)) {
        throw std::runtime_error("The contig name '" + contig.substr(0, 80) +
                                 "' holds bytes that a data-set document cannot carry (it is "
                                 "not UTF-8, or it holds a control character).");
    }
    m_Buf += '"';
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
