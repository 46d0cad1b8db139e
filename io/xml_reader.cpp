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
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/input_error.hpp"
#include "base/qt_assert.hpp"
#include "base/whole_number.hpp"
#include "common/bgzf_stream.hpp"
#include "common/qualxml.hpp"
#include "common/xml_safety.hpp"

namespace {

// Bytes handed to the parser at a time. The sites a chunk completes wait in
// a queue until Next() takes them, so this bounds that queue (a site takes
// at least 17 bytes: <Column pos="1"/>).
constexpr std::size_t kChunk = 64 * 1024;

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

bool ParseWhole(const xmlChar* begin, const xmlChar* end, std::uint64_t max, std::uint64_t& value) {
    return ParseWholeNumber(reinterpret_cast<const char*>(begin),
                            reinterpret_cast<const char*>(end), max, value);
}

}  // namespace

struct CXmlSiteReader::SImpl {
    SImpl(BGZF* fp, const std::string& path, bool folded, const std::string& fallbackContig);
    ~SImpl();

    bool Next(SRawSite& site);

    // Reads one chunk and parses it; at the end of the input, finishes the
    // document.
    void x_Feed();
    // Records the first fault, at the parser's line, and stops the parser.
    void x_Fail(EInputError kind, const std::string& what);
    void x_Fail(CInputError error);
    int x_Line() const { return m_Ctxt ? xmlSAX2GetLineNumber(m_Ctxt) : 0; }
    SInputWhere x_Where(int line) const {
        SInputWhere where;
        where.m_File = m_Path;
        where.m_Line = line > 0 ? static_cast<std::uint64_t>(line) : 0;
        return where;
    }
    // The error for the parser's own first fault; last tells whether the
    // input had ended.
    CInputError x_ParserError(bool last) const;
    // Why the parser stopped without an error of its own: what libxml2
    // said on its generic channel, or the error it kept in the context.
    std::string x_StopReason(const std::string& generic) const;
    // The contig of a Column that has (or lacks) a contig attribute, and
    // the checks of its position against the Column before.
    void x_PlaceColumn(const xmlChar* contig, const xmlChar* contigEnd, std::int64_t pos);

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
        if (m_Error || m_Exception) {
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
    // Null while xmlCreatePushParserCtxt runs: it may report an error of
    // the first bytes before the reader can mark the context as its own;
    // the reader finds that error in the context afterwards.
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
    CBgzfEnd m_End;
    std::string m_Path;
    bool m_Folded;
    std::string m_FallbackContig;
    xmlSAXHandler m_Sax;
    xmlParserCtxtPtr m_Ctxt = nullptr;
    std::vector<char> m_Buffer;
    unsigned long long m_BytesRead = 0;
    // Bytes of text the parser delivered, entity expansions included.
    unsigned long long m_TextBytes = 0;
    // The input is exhausted and the document finished (or failed).
    bool m_Done = false;
    // First error, thrown once the sites before it are taken.
    std::optional<CInputError> m_Error;
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
    // Contigs in order of appearance, their names, whether any Column
    // named one, and the contig and position (0-based) of the last Column.
    std::vector<std::string> m_Contigs;
    std::unordered_set<std::string> m_ContigNames;
    bool m_Named = false;
    int m_Contig = -1;
    std::int64_t m_LastPos = -1;
    // State of the Column being read.
    bool m_SawTable = false;
    bool m_TableUnfolded = false;
    std::size_t m_TableEntries = 0;
    char m_Token[kMaxToken + 1];
    std::size_t m_TokenLen = 0;
};

CXmlSiteReader::SImpl::SImpl(BGZF* fp, const std::string& path, bool folded,
                             const std::string& fallbackContig)
    : m_File(fp),
      m_Path(path),
      m_Folded(folded),
      m_FallbackContig(fallbackContig),
      m_Buffer(kChunk) {
    m_End.Start(m_File);
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

void CXmlSiteReader::SImpl::x_Fail(CInputError error) {
    // The first fault counts; the parser stops delivering events.
    if (!m_Error) {
        m_Error.emplace(std::move(error));
    }
    if (m_Ctxt) {
        xmlStopParser(m_Ctxt);
    }
}

void CXmlSiteReader::SImpl::x_Fail(EInputError kind, const std::string& what) {
    x_Fail(CInputError(kind, x_Where(x_Line()), what));
}

bool CXmlSiteReader::SImpl::Next(SRawSite& site) {
    while (m_Head == m_Count) {
        if (m_Exception) {
            std::rethrow_exception(m_Exception);
        }
        if (m_Error) {
            throw *m_Error;
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
        x_Fail(CInputError(
            compressed ? EInputError::eDamaged : EInputError::eOpen, x_Where(0),
            "cannot be read: " +
                (compressed ? std::string("the compressed data are truncated or corrupt")
                            : std::strerror(err ? err : EIO)) +
                "."));
        return;
    }
    const bool last = n == 0;
    if (last && m_End.Missing(m_File)) {
        m_Done = true;
        x_Fail(CInputError(EInputError::eTruncated, x_Where(0),
                           "the BGZF data end without BGZF's end-of-file block: the file is "
                           "truncated."));
        return;
    }
    m_BytesRead += static_cast<unsigned long long>(n);
    const char* data = m_Buffer.data();
    int size = static_cast<int>(n);
    // libxml2 would print some faults itself; the parser's error (or ours)
    // names them.
    const xmlsafety::CQuietGenericErrors quiet;
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
    m_Done = last;
    xmlParseChunk(m_Ctxt, data, size, last ? 1 : 0);
    if (m_Exception) {
        m_Done = true;
        std::rethrow_exception(m_Exception);
    }
    if (m_Error) {
        m_Done = true;
        return;
    }
    if (!m_ParserError.empty()) {
        m_Done = true;
        m_Error.emplace(x_ParserError(last));
        return;
    }
    if (!m_Ctxt->wellFormed || (m_Ctxt->instate == XML_PARSER_EOF && !(last && m_RootClosed))) {
        // A fault the parser reported only on the generic channel (bytes
        // that do not convert from the document's encoding): it stopped
        // without an error of its own.
        m_Done = true;
        m_Error.emplace(EInputError::eFormat, x_Where(x_Line()),
                        "the document cannot be read as XML: " + x_StopReason(quiet.Text()) + ".");
        return;
    }
    if (last && !m_RootClosed) {
        // Only reached when the parser has not complained itself.
        m_Error.emplace(EInputError::eFormat, x_Where(0),
                        "holds no qualtools data set (no Contig element).");
    }
}

std::string CXmlSiteReader::SImpl::x_StopReason(const std::string& generic) const {
    if (!generic.empty()) {
        return generic;
    }
    // An error reported before the context was the reader's.
    std::string message = m_Ctxt->lastError.message ? m_Ctxt->lastError.message : "";
    while (!message.empty() && IsBlank(static_cast<unsigned char>(message.back()))) {
        message.pop_back();
    }
    return message.empty() ? std::string("the parser stopped") : message;
}

CInputError CXmlSiteReader::SImpl::x_ParserError(bool last) const {
    const int line = m_ParserErrorLine > 0 ? m_ParserErrorLine : x_Line();
    // The push parser reports a document that stops inside its root as
    // "extra content at the end", and input without any element as an
    // empty document; say what happened instead.
    if (!m_SawRoot && (m_ParserErrorCode == XML_ERR_DOCUMENT_END ||
                       m_ParserErrorCode == XML_ERR_DOCUMENT_EMPTY)) {
        return CInputError(EInputError::eFormat, x_Where(0), "holds no XML document.");
    }
    // The last call hands the parser no new bytes, so what it finds wrong
    // then is the unfinished end of the input.
    if (m_SawRoot && !m_RootClosed && last) {
        return CInputError(EInputError::eTruncated, x_Where(line),
                           "the document ends before its Contig element is closed: the input "
                           "is truncated.");
    }
    return CInputError(EInputError::eFormat, x_Where(line),
                       "the document is not well-formed XML: " + m_ParserError + ".");
}

void CXmlSiteReader::SImpl::OnError(void* ctx, xmlErrorPtr error) {
    SImpl* self = Self(ctx);
    if (!self || !error || error->level < XML_ERR_ERROR || !self->m_ParserError.empty()) {
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
    if (!self) {
        return;
    }
    self->x_Guarded([&] {
        xmlEntityPtr entity = xmlGetDocEntity(self->m_Ctxt->myDoc, name);
        const std::string ref =
            std::string("the entity &") + reinterpret_cast<const char*>(name) + ";";
        if (!entity) {
            self->x_Fail(
                EInputError::eFormat,
                ref + " is not declared in the document (an external DTD is never loaded).");
        } else if (entity->etype != XML_INTERNAL_GENERAL_ENTITY) {
            self->x_Fail(EInputError::eFormat,
                         ref + " is external; external entities are never loaded.");
        }
    });
}

xmlEntityPtr CXmlSiteReader::SImpl::OnGetParameterEntity(void* ctx, const xmlChar* name) {
    // libxml2 skips an external parameter entity it does not load; the
    // declarations it would have brought are then missing without a word.
    SImpl* self = Self(ctx);
    xmlEntityPtr entity = xmlSAX2GetParameterEntity(ctx, name);
    if (self && entity && entity->etype == XML_EXTERNAL_PARAMETER_ENTITY) {
        self->x_Guarded([&] {
            self->x_Fail(EInputError::eFormat,
                         std::string("the parameter entity %") +
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
    if (!self) {
        return;
    }
    self->x_Guarded([&] { self->x_StartElement(localname, prefix, nAttributes, attributes); });
}

void CXmlSiteReader::SImpl::OnEndElement(void* ctx, const xmlChar*, const xmlChar*,
                                         const xmlChar*) {
    SImpl* self = Self(ctx);
    if (!self) {
        return;
    }
    self->x_Guarded([&] { self->x_EndElement(); });
}

void CXmlSiteReader::SImpl::OnText(void* ctx, const xmlChar* text, int len) {
    SImpl* self = Self(ctx);
    if (!self) {
        return;
    }
    self->x_Guarded([&] { self->x_Text(text, len); });
}

void CXmlSiteReader::SImpl::x_StartElement(const xmlChar* name, const xmlChar* prefix,
                                           int nAttributes, const xmlChar** attributes) {
    // Inside an entity's replacement text the parser's entity depth is
    // positive.
    if (xmlsafety::InsideEntity(m_Ctxt)) {
        return x_Fail(EInputError::eFormat,
                      std::string("an entity reference stands for markup (the element <") +
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
        return x_Fail(EInputError::eFormat, "<Contig> inside the document's Contig element.");
    }
    if (m_Stack.empty()) {
        if (kind != EElement::eContig) {
            return x_Fail(EInputError::eFormat,
                          std::string("the root element is <") +
                              reinterpret_cast<const char*>(name) +
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
            return x_Fail(EInputError::eFormat, std::string("<") +
                                                    reinterpret_cast<const char*>(name) +
                                                    "> is out of place: it must be " +
                                                    kPlace[static_cast<int>(kind)] + ".");
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
    m_SawTable = false;
    const xmlChar** pos = nullptr;
    const xmlChar** contig = nullptr;
    for (int i = 0; i < nAttributes; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (a[1] == nullptr && Is(a[0], qualxml::kPos)) {
            pos = a;
        } else if (a[1] == nullptr && Is(a[0], qualxml::kContig)) {
            contig = a;
        }
    }
    if (!pos) {
        return x_Fail(EInputError::eFormat, "Column has no pos attribute.");
    }
    std::uint64_t value = 0;
    if (!ParseWhole(pos[3], pos[4], std::numeric_limits<std::int64_t>::max(), value) ||
        value == 0) {
        return x_Fail(EInputError::eRange, "the pos of Column, " + Shown(pos[3], pos[4]) +
                                               ", is not a whole number from 1 to "
                                               "9223372036854775807.");
    }
    x_PlaceColumn(contig ? contig[3] : nullptr, contig ? contig[4] : nullptr,
                  static_cast<std::int64_t>(value) - 1);
}

void CXmlSiteReader::SImpl::x_PlaceColumn(const xmlChar* contig, const xmlChar* contigEnd,
                                          std::int64_t pos) {
    // Windows, intervals and the site store take the sites in genome order,
    // each position once.
    const std::string rule =
        "the sites of a data set must be in genome order, each position once (qualpileup "
        "names each contig on its first Column)";
    auto start = [&](const std::string& name) {
        m_Contig = static_cast<int>(m_Contigs.size());
        m_Contigs.push_back(name);
        m_ContigNames.insert(name);
        m_LastPos = -1;
    };
    if (contig) {
        const std::string name(reinterpret_cast<const char*>(contig),
                               static_cast<std::size_t>(contigEnd - contig));
        const std::string fault = ContigNameFault(name);
        if (!fault.empty()) {
            return x_Fail(EInputError::eFormat, "the contig of Column: " + fault + ".");
        }
        m_Named = true;
        if (m_Contig < 0 || name != m_Contigs[static_cast<std::size_t>(m_Contig)]) {
            if (m_ContigNames.count(name) != 0) {
                SInputWhere where = x_Where(x_Line());
                where.m_Contig = name;
                where.m_Pos = pos + 1;
                return x_Fail(
                    OutOfOrder(where, m_Contigs[static_cast<std::size_t>(m_Contig)], m_LastPos + 1,
                               "contig " + name + " comes back after another one; " + rule));
            }
            start(name);
        }
    } else if (m_Contig < 0) {
        start(m_FallbackContig);
    } else if (pos < m_LastPos && !m_Named) {
        // A document without names: qualpileup's positions restart with
        // each contig.
        start(m_FallbackContig + "_" + std::to_string(m_Contigs.size() + 1));
    }
    if (pos <= m_LastPos) {
        SInputWhere where = x_Where(x_Line());
        where.m_Contig = m_Contigs[static_cast<std::size_t>(m_Contig)];
        where.m_Pos = pos + 1;
        return x_Fail(
            OutOfOrder(where, where.m_Contig, m_LastPos + 1,
                       pos == m_LastPos ? "a position may come only once; " + rule : rule));
    }
    SRawSite& site = m_Ready[m_Count];
    site.m_Contig = m_Contig;
    site.m_Pos = pos;
    m_LastPos = pos;
}

void CXmlSiteReader::SImpl::x_StartChr(int nAttributes, const xmlChar** attributes) {
    if (m_SawTable) {
        return x_Fail(EInputError::eFormat,
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
                return x_Fail(EInputError::eRange, "the score of Chr, " + Shown(a[3], a[4]) +
                                                       ", is not a whole number from 0 to 255.");
            }
            haveScore = true;
        } else if (Is(a[0], qualxml::kMinor)) {
            minor = true;
        } else if (Is(a[0], qualxml::kOther)) {
            if (a[4] - a[3] != 1 || (a[3][0] != '1' && a[3][0] != '2')) {
                return x_Fail(EInputError::eRange, "the other of Chr, " + Shown(a[3], a[4]) +
                                                       ", is neither \"1\" nor \"2\".");
            }
            other = true;
            cls = a[3][0] == '1' ? 2 : 3;
        }
    }
    if (!haveScore) {
        return x_Fail(EInputError::eFormat, "Chr has no score attribute.");
    }
    if (minor && other) {
        return x_Fail(EInputError::eFormat, "Chr is marked both minor and other.");
    }
    if (minor) {
        cls = 1;
    }
    m_Ready[m_Count].m_Scores[static_cast<std::size_t>(cls)].push_back(
        static_cast<std::uint8_t>(score));
}

void CXmlSiteReader::SImpl::x_StartTable(int nAttributes, const xmlChar** attributes) {
    if (m_SawTable) {
        return x_Fail(EInputError::eFormat, "a second PrObservedCond in one Column.");
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
    if (m_Error) {
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
            return x_Fail(EInputError::eFormat,
                          "text " + Shown(text + i, end) +
                              " where the format has none (only PrObservedCond holds text).");
        }
    }
}

void CXmlSiteReader::SImpl::x_TableText(const xmlChar* text, int len) {
    // The text may come in several pieces, cut anywhere: a number is
    // complete at the next blank or at the end of the element.
    for (int i = 0; i < len && !m_Error; ++i) {
        const unsigned char c = text[i];
        if (IsBlank(c)) {
            x_TableNumber();
        } else if (m_TokenLen == kMaxToken) {
            x_Fail(EInputError::eFormat, "a number of PrObservedCond is longer than " +
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
        return x_Fail(EInputError::eRange,
                      "PrObservedCond holds " + shown +
                          ", which is not a probability (a decimal number from 0 to 1).");
    }
    std::vector<double>& table = m_Ready[m_Count].m_StoredTable;
    if (table.size() == m_TableEntries) {
        return x_Fail(EInputError::eDamaged, "PrObservedCond holds more than the " +
                                                 std::to_string(m_TableEntries) +
                                                 " numbers of its site (one more than its reads).");
    }
    table.push_back(v);
}

void CXmlSiteReader::SImpl::x_EndTable() {
    x_TableNumber();
    if (m_Error) {
        return;
    }
    std::vector<double>& table = m_Ready[m_Count].m_StoredTable;
    if (table.size() != m_TableEntries) {
        return x_Fail(EInputError::eDamaged,
                      "PrObservedCond holds " + std::to_string(table.size()) +
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
    if (!xmlsafety::ExpansionTooLarge(m_TextBytes, m_BytesRead)) {
        return;
    }
    x_Fail(EInputError::eRange,
           "entity references expand the text to more than ten times the size of the "
           "document; the input is refused.");
}

CXmlSiteReader::CXmlSiteReader(hFILE* fp, const std::string& path, bool folded,
                               const std::string& fallbackContig) {
    QT_ASSERT(fp != nullptr);
    errno = 0;
    BGZF* in = bgzf_hopen(fp, "r");
    if (!in) {
        const int err = errno;
        hclose_abruptly(fp);
        throw CannotOpen(path, err);
    }
    try {
        m_Impl = std::make_unique<SImpl>(in, path, folded, fallbackContig);
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
        throw CannotOpen(path, errno);
    }
    return fp;
}

}  // namespace

CXmlSiteReader::CXmlSiteReader(const std::string& path, bool folded,
                               const std::string& fallbackContig)
    : CXmlSiteReader(OpenOrThrow(path), path, folded, fallbackContig) {}

CXmlSiteReader::~CXmlSiteReader() = default;

void CXmlSiteReader::UseThreadPool(hts_tpool* pool) {
    // A pipe read ahead on the pool could not show a missing end block.
    if (pool && m_Impl->m_End.CheckedAtStart()) {
        bgzf_thread_pool(m_Impl->m_File, pool, 0);
    }
}

bool CXmlSiteReader::Next(SRawSite& site) {
    return m_Impl->Next(site);
}

const std::vector<std::string>& CXmlSiteReader::Contigs() const {
    return m_Impl->m_Contigs;
}

unsigned long long CXmlSiteReader::BytesRead() const {
    return m_Impl->m_BytesRead;
}
