#pragma once
// The rules that both readers of data-set documents (qualfit's loader and
// qualscan's streaming reader) apply to XML from outside, in one place:
// - libxml2 refuses nested entity expansion, but not one large internal
//   entity referenced many times; the text that references add is bounded
//   here, against the bytes of the document itself;
// - an entity may stand for text only: elements from an entity would let a
//   few bytes make any number of sites and reads (documents of these
//   programs hold no entities at all);
// - libxml2 reports some faults (bytes that do not convert from the
//   document's encoding) through its global generic error function, which
//   writes to standard error before the parser's own error reaches the
//   reader; that channel is silenced while a reader parses, and the reader
//   names the fault itself.

#include <libxml/parser.h>

#include <string>

namespace xmlsafety {

// Text that entity references may add beyond the document's own size.
inline constexpr unsigned long long kFreeText = 10000000;
inline constexpr unsigned long long kMaxAmplification = 10;

// Whether textBytes, the text the parser has delivered (expansions
// included), is out of all proportion to consumed, the bytes of the
// document read so far: the document's own text never exceeds them, so
// only entity expansion can.
inline bool ExpansionTooLarge(unsigned long long textBytes, unsigned long long consumed) {
    return textBytes > kFreeText && textBytes / kMaxAmplification > consumed;
}

// Whether the parser is inside an entity's replacement text (its entity
// depth is positive): no element may start there.
inline bool InsideEntity(const xmlParserCtxt* ctxt) {
    return ctxt != nullptr && ctxt->depth > 0;
}

// Silences libxml2's generic error channel of this thread for its lifetime
// and restores what was there before. What libxml2 said there is kept (its
// first 200 bytes), for a reader whose parser stopped without an error of
// its own.
class CQuietGenericErrors {
  public:
    CQuietGenericErrors();
    ~CQuietGenericErrors();
    CQuietGenericErrors(const CQuietGenericErrors&) = delete;
    CQuietGenericErrors& operator=(const CQuietGenericErrors&) = delete;

    // The text libxml2 sent, on one line without its "...error : " prefix.
    std::string Text() const;

  private:
    static void Collect(void* self, const char* format, ...);

    xmlGenericErrorFunc m_Func;
    void* m_Context;
    std::string m_Text;
};

}  // namespace xmlsafety
