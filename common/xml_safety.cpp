#include "common/xml_safety.hpp"

#include <libxml/xmlerror.h>

#include <cstdarg>
#include <cstdio>

namespace xmlsafety {

namespace {

constexpr std::size_t kKeep = 200;

}  // namespace

CQuietGenericErrors::CQuietGenericErrors()
    : m_Func(xmlGenericError), m_Context(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(this, Collect);
}

CQuietGenericErrors::~CQuietGenericErrors() {
    xmlSetGenericErrorFunc(m_Context, m_Func);
}

void CQuietGenericErrors::Collect(void* self, const char* format, ...) {
    auto* me = static_cast<CQuietGenericErrors*>(self);
    if (me == nullptr || me->m_Text.size() >= kKeep) {
        return;
    }
    char piece[kKeep + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) {
        me->m_Text.append(piece, std::min<std::size_t>(static_cast<std::size_t>(n), kKeep));
    }
}

std::string CQuietGenericErrors::Text() const {
    // libxml2 writes "<domain> error : <message>\n" and may add more lines;
    // the first message is what counts.
    std::string text = m_Text;
    const std::size_t colon = text.find(" : ");
    if (colon != std::string::npos) {
        text.erase(0, colon + 3);
    }
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) {
        text.erase(end);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace xmlsafety
