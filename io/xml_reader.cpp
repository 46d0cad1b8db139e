#include "io/xml_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/qt_assert.hpp"
#include "common/qualxml.hpp"

namespace {

// Bytes handed to the parser at a time. The sites a chunk completes wait in
// a queue until Next() takes them, so this bounds that queue (a site takes
// at least 17 bytes: <Column pos="1"/>).
constexpr std::size_t kChunk = 64 * 1024;

// Text that entity references may add beyond the document's own size (the
// bound of qualfit's loader): libxml2 refuses nested expansion, but not one
// large entity referenced many times.
constexpr unsigned long long kFreeText = 10000000;
constexpr unsigned long long kMaxAmplification = 10;

// Longest number of a stored table; the writers use at most 12 characters.
constexpr std::size_t kMaxToken = 64;

enum class EElement : unsigned char { eContig, eColumn, eChr, eTable, eFSParams, eOther };

bool IsBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool Is(const xmlChar* name, const char* what) {
    return std::strcmp(reinterpret_cast<const char*>(name), what) == 0;
}

// An attribute value for a message: quoted, cut after 40 bytes.
std::string Shown(const xmlChar* begin, const xmlChar* end) {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    std::string s(reinterpret_cast<const char*>(begin), std::min<std::size_t>(n, 40));
    return "\"" + s + (n > 40 ? "...\"" : "\"");
}

// A whole decimal number (digits only, no sign, no blanks) up to max, into
// value; false for anything else.
bool ParseWhole(const xmlChar* begin, const xmlChar* end, std::uint64_t max, std::uint64_t& value) {
    if (begin == end) {
        return false;
    }
    std::uint64_t v = 0;
    for (const xmlChar* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (v > (max - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    value = v;
    return true;
}

}  // namespace

std::string InputDisplayName(const std::string& path) {
    return path == "-" ? std::string("standard input") : "'" + path + "'";
}

struct CXmlSiteReader::SImpl {
    SImpl(BGZF* fp, const std::string& name, bool folded);
    ~SImpl();

    bool Next(SRawSite& site);

    // Reads one chunk and parses it; at the end of the input, finishes the
    // document.
    void x_Feed();
    void x_Fail(const std::string& message);
    [[noreturn]] void x_Throw(const std::string& message) const;
    int x_Line() const { return m_Ctxt ? xmlSAX2GetLineNumber(m_Ctxt) : 0; }
    std::string x_At() const { return m_Name + ", line " + std::to_string(x_Line()) + ": "; }
    // The message for the parser's own first error.
    // The message for the parser's own first error; last tells whether the
    // input had ended.
    std::string x_ParserMessage(bool last) const;

    void x_StartElement(const xmlChar* name, const xmlChar* prefix, int nAttributes,
                        const xmlChar** attributes);
    void x_EndElement();
    void x_Text(const xmlChar* text, int len);
    void x_StartColumn(int nAttributes, const xmlChar** attributes);
    void x_StartChr(int nAttributes, const xmlChar** attributes);
    void x_StartTable(int nAttributes, const xmlChar** attributes);
    void x_TableText(const xmlChar* text, int len);
    void x_TableNumber();
    void x_EndTable();
    void x_EndColumn();
    void x_CheckExpansion();

    // Runs a callback's work unless the parse has failed. An exception must
    // not cross libxml2's C frames: it is kept, the parse stopped, and
    // Next() throws it.
    template <class TWork>
    void x_Guarded(TWork work) noexcept {
        if (!m_Error.empty() || m_Exception) {
            return;
        }
        try {
            work();
        } catch (...) {
            m_Exception = std::current_exception();
            if (m_Ctxt) {
                xmlStopParser(m_Ctxt);
            }
        }
    }

    // The reader behind a parser context handed to a callback.
    static SImpl* Self(void* ctx) {
        return static_cast<SImpl*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    }
    static void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix,
                               const xmlChar* uri, int nNamespaces, const xmlChar** namespaces,
                               int nAttributes, int nDefaulted, const xmlChar** attributes);
    static void OnEndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix,
                             const xmlChar* uri);
    static void OnText(void* ctx, const xmlChar* text, int len);
    static void OnError(void* ctx, xmlErrorPtr error);
    static void OnReference(void* ctx, const xmlChar* name);
    static xmlEntityPtr OnGetParameterEntity(void* ctx, const xmlChar* name);
    static xmlParserInputPtr OnResolveEntity(void* ctx, const xmlChar* publicId,
                                             const xmlChar* systemId);

    // Plain, gzip or bgzip: BGZF reads all three.
    BGZF* m_File = nullptr;
    std::string m_Name;
    bool m_Folded;
    xmlSAXHandler m_Sax;
    xmlParserCtxtPtr m_Ctxt = nullptr;
    std::vector<char> m_Buffer;
    unsigned long long m_BytesRead = 0;
    // Bytes of text the parser delivered, entity expansions included.
    unsigned long long m_TextBytes = 0;
    // The input is exhausted and the document finished (or failed).
    bool m_Done = false;
    // First error, thrown once the sites before it are taken.
    std::string m_Error;
    // An exception raised in a callback (memory), thrown at once.
    std::exception_ptr m_Exception;
    // The parser's first error of its own.
    std::string m_ParserError;
    int m_ParserErrorCode = 0;
    int m_ParserErrorLine = 0;

    // Sites completed and not yet taken: m_Ready[m_Head .. m_Count). The
    // site being read, if any, is m_Ready[m_Count].
    std::vector<SRawSite> m_Ready;
    std::size_t m_Head = 0;
    std::size_t m_Count = 0;

    std::vector<EElement> m_Stack;
    bool m_SawRoot = false;
    bool m_RootClosed = false;
    // Position (0-based) of the last Column, -1 before the first.
    std::int64_t m_LastPos = -1;
    // State of the Column being read.
    bool m_SawTable = false;
    bool m_TableUnfolded = false;
    std::size_t m_TableEntries = 0;
    char m_Token[kMaxToken + 1];
    std::size_t m_TokenLen = 0;
};

CXmlSiteReader::SImpl::SImpl(BGZF* fp, const std::string& name, bool folded)
    : m_File(fp), m_Name(name), m_Folded(folded), m_Buffer(kChunk) {
    // libxml2's SAX2 handlers keep the DTD's entity declarations (so that
    // internal entities expand) but build no tree; ours take the elements.
    std::memset(&m_Sax, 0, sizeof m_Sax);
    xmlSAXVersion(&m_Sax, 2);
    m_Sax.startElement = nullptr;
    m_Sax.endElement = nullptr;
    m_Sax.startElementNs = OnStartElement;
    m_Sax.endElementNs = OnEndElement;
    m_Sax.characters = OnText;
    m_Sax.ignorableWhitespace = OnText;
    m_Sax.cdataBlock = OnText;
    m_Sax.reference = OnReference;
    m_Sax.comment = nullptr;
    m_Sax.processingInstruction = nullptr;
    // Never an external subset or entity: not even the named qual.dtd.
    m_Sax.externalSubset = nullptr;
    m_Sax.resolveEntity = OnResolveEntity;
    m_Sax.getParameterEntity = OnGetParameterEntity;
    // Every message of the parser comes here instead of standard error.
    m_Sax.serror = OnError;
    m_Sax.warning = nullptr;
    m_Sax.error = nullptr;
    m_Sax.fatalError = nullptr;
    m_Ready.resize(1);
}

CXmlSiteReader::SImpl::~SImpl() {
    if (m_Ctxt) {
        if (m_Ctxt->myDoc) {
            xmlFreeDoc(m_Ctxt->myDoc);
            m_Ctxt->myDoc = nullptr;
        }
        xmlFreeParserCtxt(m_Ctxt);
    }
    if (m_File) {
        bgzf_close(m_File);
    }
}

void CXmlSiteReader::SImpl::x_Throw(const std::string& message) const {
    throw std::runtime_error(message);
}

void CXmlSiteReader::SImpl::x_Fail(const std::string& message) {
    // The first fault counts; the parser stops delivering events.
    if (m_Error.empty()) {
        m_Error = message;
    }
    if (m_Ctxt) {
        xmlStopParser(m_Ctxt);
    }
}

bool CXmlSiteReader::SImpl::Next(SRawSite& site) {
    while (m_Head == m_Count) {
        if (m_Exception) {
            std::rethrow_exception(m_Exception);
        }
        if (!m_Error.empty()) {
            x_Throw(m_Error);
        }
        if (m_Done) {
            return false;
        }
        // Everything before the site being read has been taken: move that
        // site to the front, so the queue starts over.
        if (m_Count > 0) {
            std::swap(m_Ready[0], m_Ready[m_Count]);
            m_Head = m_Count = 0;
        }
        x_Feed();
    }
    std::swap(site, m_Ready[m_Head]);
    ++m_Head;
    return true;
}

void CXmlSiteReader::SImpl::x_Feed() {
    errno = 0;
    const ssize_t n = bgzf_read(m_File, m_Buffer.data(), m_Buffer.size());
    if (n < 0) {
        m_Done = true;
        const bool compressed = m_File->is_compressed;
        const int err = errno;
        x_Fail("Cannot read " + m_Name + ": " +
               (compressed ? std::string("the compressed data are truncated or corrupt")
                           : std::strerror(err ? err : EIO)) +
               ".");
        return;
    }
    m_BytesRead += static_cast<unsigned long long>(n);
    const char* data = m_Buffer.data();
    int size = static_cast<int>(n);
    if (!m_Ctxt) {
        // The parser guesses the encoding from the first bytes it is given.
        const int head = std::min(size, 4);
        // libxml2's own handlers expect the parser context as their user
        // data; ours find this object through it (entity expansions run in
        // a context of their own that inherits _private).
        m_Ctxt = xmlCreatePushParserCtxt(&m_Sax, nullptr, data, head, nullptr);
        if (!m_Ctxt) {
            throw std::bad_alloc();
        }
        m_Ctxt->_private = this;
        xmlCtxtUseOptions(m_Ctxt, XML_PARSE_NONET);
        data += head;
        size -= head;
    }
    const bool last = n == 0;
    m_Done = last;
    xmlParseChunk(m_Ctxt, data, size, last ? 1 : 0);
    if (m_Exception) {
        m_Done = true;
        std::rethrow_exception(m_Exception);
    }
    if (!m_Error.empty()) {
        m_Done = true;
        return;
    }
    if (!m_ParserError.empty()) {
        m_Done = true;
        m_Error = x_ParserMessage(last);
        return;
    }
    if (last && !m_RootClosed) {
        // Only reached when the parser has not complained itself.
        m_Error = m_Name + " holds no qualtools data set (no Contig element).";
    }
}

std::string CXmlSiteReader::SImpl::x_ParserMessage(bool last) const {
    const std::string at = m_Name + ", line " + std::to_string(m_ParserErrorLine) + ": ";
    // The push parser reports a document that stops inside its root as
    // "extra content at the end", and input without any element as an
    // empty document; say what happened instead.
    if (!m_SawRoot && (m_ParserErrorCode == XML_ERR_DOCUMENT_END ||
                       m_ParserErrorCode == XML_ERR_DOCUMENT_EMPTY)) {
        return m_Name + " holds no XML document.";
    }
    // The last call hands the parser no new bytes, so what it finds wrong
    // then is the unfinished end of the input.
    if (m_SawRoot && !m_RootClosed && last) {
        return at +
               "the document ends before its Contig element is closed: the input is "
               "truncated.";
    }
    return at + "the document is not well-formed XML: " + m_ParserError + ".";
}

void CXmlSiteReader::SImpl::OnError(void* ctx, xmlErrorPtr error) {
    SImpl* self = Self(ctx);
    if (!error || error->level < XML_ERR_ERROR || !self->m_ParserError.empty()) {
        return;
    }
    self->x_Guarded([&] {
        std::string message = error->message ? error->message : "";
        while (!message.empty() && IsBlank(static_cast<unsigned char>(message.back()))) {
            message.pop_back();
        }
        self->m_ParserError = message.empty() ? "unknown error" : message;
        self->m_ParserErrorCode = error->code;
        // The line in the document: libxml2 counts the lines of an
        // entity's text from its own start.
        self->m_ParserErrorLine = self->x_Line();
        // Errors that libxml2 does not deem fatal would let the parse go
        // on; the first fault of any kind ends it.
        xmlStopParser(self->m_Ctxt);
    });
}

void CXmlSiteReader::SImpl::OnReference(void* ctx, const xmlChar* name) {
    // Called after an internal entity's text has been delivered, and
    // instead of the text of an external entity, which is never loaded:
    // then the reference would silently stand for nothing.
    SImpl* self = Self(ctx);
    self->x_Guarded([&] {
        xmlEntityPtr entity = xmlGetDocEntity(self->m_Ctxt->myDoc, name);
        const std::string ref =
            std::string("the entity &") + reinterpret_cast<const char*>(name) + ";";
        if (!entity) {
            self->x_Fail(self->x_At() + ref +
                         " is not declared in the document (an external DTD is never loaded).");
        } else if (entity->etype != XML_INTERNAL_GENERAL_ENTITY) {
            self->x_Fail(self->x_At() + ref + " is external; external entities are never loaded.");
        }
    });
}

xmlEntityPtr CXmlSiteReader::SImpl::OnGetParameterEntity(void* ctx, const xmlChar* name) {
    // libxml2 skips an external parameter entity it does not load; the
    // declarations it would have brought are then missing without a word.
    SImpl* self = Self(ctx);
    xmlEntityPtr entity = xmlSAX2GetParameterEntity(ctx, name);
    if (entity && entity->etype == XML_EXTERNAL_PARAMETER_ENTITY) {
        self->x_Guarded([&] {
            self->x_Fail(self->x_At() + "the parameter entity %" +
                         reinterpret_cast<const char*>(name) +
                         "; is external; external entities are never loaded.");
        });
    }
    return entity;
}

xmlParserInputPtr CXmlSiteReader::SImpl::OnResolveEntity(void*, const xmlChar*, const xmlChar*) {
    return nullptr;
}

void CXmlSiteReader::SImpl::OnStartElement(void* ctx, const xmlChar* localname,
                                           const xmlChar* prefix, const xmlChar*, int,
                                           const xmlChar**, int nAttributes, int,
                                           const xmlChar** attributes) {
    SImpl* self = Self(ctx);
    self->x_Guarded([&] { self->x_StartElement(localname, prefix, nAttributes, attributes); });
}

void CXmlSiteReader::SImpl::OnEndElement(void* ctx, const xmlChar*, const xmlChar*,
                                         const xmlChar*) {
    SImpl* self = Self(ctx);
    self->x_Guarded([&] { self->x_EndElement(); });
}

void CXmlSiteReader::SImpl::OnText(void* ctx, const xmlChar* text, int len) {
    SImpl* self = Self(ctx);
    self->x_Guarded([&] { self->x_Text(text, len); });
}

void CXmlSiteReader::SImpl::x_StartElement(const xmlChar* name, const xmlChar* prefix,
                                           int nAttributes, const xmlChar** attributes) {
    // Inside an entity's replacement text the parser's entity depth is
    // positive.
    if (m_Ctxt->depth > 0) {
        return x_Fail(x_At() + "an entity reference stands for markup (the element <" +
                      reinterpret_cast<const char*>(name) +
                      ">); entities may stand for text only.");
    }
    EElement kind = EElement::eOther;
    if (prefix == nullptr) {
        if (Is(name, qualxml::kChr)) {
            kind = EElement::eChr;
        } else if (Is(name, qualxml::kColumn)) {
            kind = EElement::eColumn;
        } else if (Is(name, qualxml::kPrObservedCond)) {
            kind = EElement::eTable;
        } else if (Is(name, qualxml::kFSParams)) {
            kind = EElement::eFSParams;
        } else if (Is(name, qualxml::kRoot)) {
            kind = EElement::eContig;
        }
    }
    const EElement parent = m_Stack.empty() ? EElement::eOther : m_Stack.back();
    if (kind == EElement::eContig && !m_Stack.empty()) {
        return x_Fail(x_At() + "<Contig> inside the document's Contig element.");
    }
    if (m_Stack.empty()) {
        if (kind != EElement::eContig) {
            return x_Fail(x_At() + "the root element is <" + reinterpret_cast<const char*>(name) +
                          ">, not <Contig>: this is not a qualtools data set.");
        }
        m_SawRoot = true;
    } else {
        // Each other element the format names has one place.
        static const char* const kPlace[] = {"", "a child of Contig", "a child of Column",
                                             "a child of Column", "a child of Contig"};
        static const EElement kParent[] = {EElement::eOther, EElement::eContig, EElement::eColumn,
                                           EElement::eColumn, EElement::eContig};
        if (kind != EElement::eOther && parent != kParent[static_cast<int>(kind)]) {
            return x_Fail(x_At() + "<" + reinterpret_cast<const char*>(name) +
                          "> is out of place: it must be " + kPlace[static_cast<int>(kind)] + ".");
        }
    }
    m_Stack.push_back(kind);
    switch (kind) {
        case EElement::eColumn:
            return x_StartColumn(nAttributes, attributes);
        case EElement::eChr:
            return x_StartChr(nAttributes, attributes);
        case EElement::eTable:
            return x_StartTable(nAttributes, attributes);
        default:
            return;
    }
}

void CXmlSiteReader::SImpl::x_EndElement() {
    const EElement kind = m_Stack.back();
    m_Stack.pop_back();
    if (kind == EElement::eTable) {
        x_EndTable();
    } else if (kind == EElement::eColumn) {
        x_EndColumn();
    } else if (m_Stack.empty()) {
        m_RootClosed = true;
    }
}

void CXmlSiteReader::SImpl::x_StartColumn(int nAttributes, const xmlChar** attributes) {
    SRawSite& site = m_Ready[m_Count];
    for (auto& s : site.m_Scores) {
        s.clear();
    }
    site.m_StoredTable.clear();
    site.m_Contig = 0;
    m_SawTable = false;
    bool havePos = false;
    for (int i = 0; i < nAttributes; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (a[1] == nullptr && Is(a[0], qualxml::kPos)) {
            std::uint64_t pos = 0;
            if (!ParseWhole(a[3], a[4], std::numeric_limits<std::int64_t>::max(), pos) ||
                pos == 0) {
                return x_Fail(x_At() + "the pos of Column, " + Shown(a[3], a[4]) +
                              ", is not a whole number from 1 to 9223372036854775807.");
            }
            site.m_Pos = static_cast<std::int64_t>(pos) - 1;
            // Windows and the site store take the sites in position order;
            // a document of several contigs (qualpileup without -r)
            // restarts its positions, and its sites would be mixed up.
            if (site.m_Pos < m_LastPos) {
                return x_Fail(x_At() + "the pos of Column, " + Shown(a[3], a[4]) +
                              ", comes after pos " + std::to_string(m_LastPos + 1) +
                              ": the sites must be in position order, on one contig (a "
                              "document of several contigs restarts its positions; write one "
                              "per contig with qualpileup -r).");
            }
            m_LastPos = site.m_Pos;
            havePos = true;
        }
    }
    if (!havePos) {
        x_Fail(x_At() + "Column has no pos attribute.");
    }
}

void CXmlSiteReader::SImpl::x_StartChr(int nAttributes, const xmlChar** attributes) {
    if (m_SawTable) {
        return x_Fail(x_At() +
                      "Chr after the Column's PrObservedCond: the table must follow "
                      "every read of its site.");
    }
    int cls = 0;
    bool minor = false;
    bool other = false;
    bool haveScore = false;
    std::uint64_t score = 0;
    for (int i = 0; i < nAttributes; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (a[1] != nullptr) {
            continue;
        }
        if (Is(a[0], qualxml::kScore)) {
            if (!ParseWhole(a[3], a[4], 255, score)) {
                return x_Fail(x_At() + "the score of Chr, " + Shown(a[3], a[4]) +
                              ", is not a whole number from 0 to 255.");
            }
            haveScore = true;
        } else if (Is(a[0], qualxml::kMinor)) {
            minor = true;
        } else if (Is(a[0], qualxml::kOther)) {
            if (a[4] - a[3] != 1 || (a[3][0] != '1' && a[3][0] != '2')) {
                return x_Fail(x_At() + "the other of Chr, " + Shown(a[3], a[4]) +
                              ", is neither \"1\" nor \"2\".");
            }
            other = true;
            cls = a[3][0] == '1' ? 2 : 3;
        }
    }
    if (!haveScore) {
        return x_Fail(x_At() + "Chr has no score attribute.");
    }
    if (minor && other) {
        return x_Fail(x_At() + "Chr is marked both minor and other.");
    }
    if (minor) {
        cls = 1;
    }
    m_Ready[m_Count].m_Scores[static_cast<std::size_t>(cls)].push_back(
        static_cast<std::uint8_t>(score));
}

void CXmlSiteReader::SImpl::x_StartTable(int nAttributes, const xmlChar** attributes) {
    if (m_SawTable) {
        return x_Fail(x_At() + "a second PrObservedCond in one Column.");
    }
    m_SawTable = true;
    m_TableUnfolded = false;
    for (int i = 0; i < nAttributes; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (a[1] == nullptr && Is(a[0], qualxml::kAnc)) {
            m_TableUnfolded = true;
        }
    }
    m_TableEntries = m_Ready[m_Count].Depth() + std::size_t{1};
    m_Ready[m_Count].m_StoredTable.clear();
    m_TokenLen = 0;
}

void CXmlSiteReader::SImpl::x_Text(const xmlChar* text, int len) {
    m_TextBytes += static_cast<unsigned long long>(len);
    x_CheckExpansion();
    if (!m_Error.empty()) {
        return;
    }
    const EElement where = m_Stack.empty() ? EElement::eOther : m_Stack.back();
    if (where == EElement::eTable) {
        return x_TableText(text, len);
    }
    if (where == EElement::eOther) {
        return;  // text of elements the format does not name
    }
    for (int i = 0; i < len; ++i) {
        if (!IsBlank(text[i])) {
            const xmlChar* end = text + len;
            while (end > text + i && IsBlank(end[-1])) {
                --end;
            }
            return x_Fail(x_At() + "text " + Shown(text + i, end) +
                          " where the format has none (only PrObservedCond holds text).");
        }
    }
}

void CXmlSiteReader::SImpl::x_TableText(const xmlChar* text, int len) {
    // The text may come in several pieces, cut anywhere: a number is
    // complete at the next blank or at the end of the element.
    for (int i = 0; i < len && m_Error.empty(); ++i) {
        const unsigned char c = text[i];
        if (IsBlank(c)) {
            x_TableNumber();
        } else if (m_TokenLen == kMaxToken) {
            x_Fail(x_At() + "a number of PrObservedCond is longer than " +
                   std::to_string(kMaxToken) + " characters.");
        } else {
            m_Token[m_TokenLen++] = static_cast<char>(c);
        }
    }
}

void CXmlSiteReader::SImpl::x_TableNumber() {
    if (m_TokenLen == 0) {
        return;
    }
    m_Token[m_TokenLen] = '\0';
    const std::string shown = std::string("\"") + m_Token + "\"";
    m_TokenLen = 0;
    // Decimal notation only: strtod alone would also take "nan", "inf" and
    // hexadecimal numbers.
    bool plain = true;
    for (const char* p = m_Token; *p; ++p) {
        plain = plain && (std::strchr("0123456789.eE+-", *p) != nullptr);
    }
    char* end = nullptr;
    const double v = plain ? std::strtod(m_Token, &end) : 0.0;
    if (!plain || *end != '\0' || !(v >= 0.0 && v <= 1.0)) {
        return x_Fail(x_At() + "PrObservedCond holds " + shown +
                      ", which is not a probability (a decimal number from 0 to 1).");
    }
    std::vector<double>& table = m_Ready[m_Count].m_StoredTable;
    if (table.size() == m_TableEntries) {
        return x_Fail(x_At() + "PrObservedCond holds more than the " +
                      std::to_string(m_TableEntries) +
                      " numbers of its site (one more than its reads).");
    }
    table.push_back(v);
}

void CXmlSiteReader::SImpl::x_EndTable() {
    x_TableNumber();
    if (!m_Error.empty()) {
        return;
    }
    std::vector<double>& table = m_Ready[m_Count].m_StoredTable;
    if (table.size() != m_TableEntries) {
        return x_Fail(x_At() + "PrObservedCond holds " + std::to_string(table.size()) +
                      " numbers; its site needs " + std::to_string(m_TableEntries) +
                      " (one more than its reads).");
    }
    // A table computed for the other folding mode is not used.
    if (m_TableUnfolded == m_Folded) {
        table.clear();
    }
}

void CXmlSiteReader::SImpl::x_EndColumn() {
    ++m_Count;
    if (m_Ready.size() == m_Count) {
        m_Ready.emplace_back();
    }
}

void CXmlSiteReader::SImpl::x_CheckExpansion() {
    // The document's own text never exceeds the bytes read, so only entity
    // expansion can: stop it before it costs memory and time out of all
    // proportion to the input.
    if (m_TextBytes <= kFreeText || m_TextBytes / kMaxAmplification <= m_BytesRead) {
        return;
    }
    x_Fail(x_At() +
           "entity references expand the text to more than ten times the size of the "
           "document; the input is refused.");
}

CXmlSiteReader::CXmlSiteReader(hFILE* fp, const std::string& name, bool folded) {
    QT_ASSERT(fp != nullptr);
    errno = 0;
    BGZF* in = bgzf_hopen(fp, "r");
    if (!in) {
        const int err = errno;
        hclose_abruptly(fp);
        throw std::runtime_error("Cannot read " + name + ": " +
                                 (err ? std::strerror(err) : "unknown error") + ".");
    }
    try {
        m_Impl = std::make_unique<SImpl>(in, name, folded);
    } catch (...) {
        bgzf_close(in);
        throw;
    }
}

namespace {

hFILE* OpenOrThrow(const std::string& path) {
    errno = 0;
    hFILE* fp = hopen(path.c_str(), "r");
    if (!fp) {
        throw std::runtime_error("Cannot open " + InputDisplayName(path) + ": " +
                                 (errno ? std::strerror(errno) : "unknown error") + ".");
    }
    return fp;
}

}  // namespace

CXmlSiteReader::CXmlSiteReader(const std::string& path, bool folded)
    : CXmlSiteReader(OpenOrThrow(path), InputDisplayName(path), folded) {}

CXmlSiteReader::~CXmlSiteReader() = default;

void CXmlSiteReader::UseThreadPool(hts_tpool* pool) {
    if (pool) {
        bgzf_thread_pool(m_Impl->m_File, pool, 0);
    }
}

bool CXmlSiteReader::Next(SRawSite& site) {
    return m_Impl->Next(site);
}

unsigned long long CXmlSiteReader::BytesRead() const {
    return m_Impl->m_BytesRead;
}
