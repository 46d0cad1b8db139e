#include "estimator/qscores_parser.hpp"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/qualxml.hpp"
#include "common/xml_safety.hpp"

namespace {

// Element and attribute names are compared as raw bytes: Glib::ustring's
// operator== collates, which costs more than the whole parse.
bool Is(const Glib::ustring& s, const char* name) {
    return std::strcmp(s.c_str(), name) == 0;
}

long ReadInt(const Glib::ustring& s) {
    return std::strtol(s.c_str(), nullptr, 10);
}

}  // namespace

CQScores::CParser::CParser(CQScores* data) : m_Data(data) {}

CQScores::CParser::~CParser() = default;

void CQScores::CParser::Parse(std::istream& is) {
    // The parser's own error carries the fault (see xml_safety.hpp).
    const xmlsafety::CQuietGenericErrors quiet;
    try {
        parse_stream(is);
    } catch (const xmlpp::exception& e) {
        if (!m_Error) {
            x_ThrowClearer(e, is);
            throw;
        }
    } catch (...) {
        if (!m_Error) {
            throw;
        }
    }
    // A handler's own exception wins over whatever the library made of it.
    if (m_Error) {
        std::rethrow_exception(m_Error);
    }
}

void CQScores::CParser::x_ThrowClearer(const xmlpp::exception& e, const std::istream& is) const {
    // The library's last message line names the fault.
    std::string what = e.what();
    while (!what.empty() && what.back() == '\n') {
        what.pop_back();
    }
    what = what.substr(what.rfind('\n') + 1);
    // The push parser reports input that stops inside the document as
    // "Extra content at the end of the document" and binary data as an
    // empty document; both say the opposite of what happened.
    const bool endOfDocument = what == "Extra content at the end of the document";
    if (!m_SawElement && (endOfDocument || what == "Document is empty" ||
                          what == "Start tag expected, '<' not found")) {
        throw std::runtime_error("CQScores::LoadFromStream: the input holds no XML document.");
    }
    if (m_Depth > 0 && is.eof() && endOfDocument) {
        throw std::runtime_error("CQScores::LoadFromStream: the document ends before its " +
                                 m_Root + " element is closed: the input is truncated.");
    }
}

int CQScores::CParser::x_Line() const {
    return context_ ? xmlSAX2GetLineNumber(context_) : 0;
}

void CQScores::CParser::on_start_element(const Glib::ustring& name,
                                         const AttributeList& attributes) {
    try {
        // Inside an entity's replacement text the parser's entity depth is
        // positive. Entities that stand for elements would let a few bytes
        // make any number of sites and reads (documents of these programs
        // hold no entities), so only text may come from them.
        if (xmlsafety::InsideEntity(context_)) {
            throw std::runtime_error("CQScores::LoadFromStream: an entity reference at line " +
                                     std::to_string(x_Line()) +
                                     " stands for markup (the element <" + name.raw() +
                                     ">); entities may stand for text only.");
        }
        if (!m_SawElement) {
            m_SawElement = true;
            m_Root = name.raw();
        }
        ++m_Depth;
        if (Is(name, qualxml::kChr)) {
            x_StartChr(attributes);
        } else if (Is(name, qualxml::kColumn)) {
            x_StartColumn(attributes);
        } else if (Is(name, qualxml::kPrObservedCond)) {
            for (const auto& a : attributes) {
                if (Is(a.name, qualxml::kAnc)) {
                    m_ColAnc = true;
                }
            }
        } else if (Is(name, qualxml::kFSParams)) {
            x_StartFSParams(attributes);
        }
        m_InPrObservedCond = Is(name, qualxml::kPrObservedCond);
    } catch (...) {
        if (!m_Error) {
            m_Error = std::current_exception();
        }
        throw;
    }
}

void CQScores::CParser::x_StartFSParams(const AttributeList& attributes) {
    // Attributes act in document order: params before dist sets the
    // parameters of the model that dist then replaces.
    for (const auto& a : attributes) {
        if (Is(a.name, qualxml::kDist)) {
            if (Is(a.value, "Neutral")) {
                m_Data->SetSpectrum(new CFSNeutral);
            } else if (Is(a.value, "Growth")) {
                m_Data->SetSpectrum(new CFSGrowth);
            }
        } else if (Is(a.name, qualxml::kParams)) {
            m_Data->m_Spectrum->SetParams(a.value.raw());
        }
    }
}

void CQScores::CParser::x_StartColumn(const AttributeList& attributes) {
    m_ColAnc = false;
    m_ColText.clear();
    for (int w = 0; w < 4; ++w) {
        m_ColScores[w].clear();
        m_ColErrors[w].clear();
    }
    // The position is the first attribute, whatever its name; without one
    // the site has no position at all.
    if (attributes.empty()) {
        m_InColumn = false;
        throw std::runtime_error(
            "CQScores::LoadFromStream: Column element without attributes at line " +
            std::to_string(x_Line()) + ": the site has no position.");
    }
    m_ColPos = static_cast<int>(ReadInt(attributes.front().value));
    m_InColumn = true;
}

void CQScores::CParser::x_StartChr(const AttributeList& attributes) {
    CQScoreColumn::EWhichScores cls = CQScoreColumn::eMajor;
    bool error = false;
    bool haveScore = false;
    long score = 0;
    for (const auto& a : attributes) {
        const char* n = a.name.c_str();
        if (std::strcmp(n, qualxml::kScore) == 0) {
            score = ReadInt(a.value);
            haveScore = true;
        } else if (std::strcmp(n, qualxml::kMinor) == 0) {
            cls = CQScoreColumn::eMinor;
        } else if (std::strcmp(n, qualxml::kOther) == 0) {
            cls = Is(a.value, "1") ? CQScoreColumn::eOther1 : CQScoreColumn::eOther2;
        } else if (std::strcmp(n, qualxml::kError) == 0) {
            error = true;
        }
    }
    if (!haveScore) {
        std::string where = m_InColumn ? "in the Column at position " + std::to_string(m_ColPos)
                                       : "outside any Column";
        throw std::runtime_error("CQScores::LoadFromStream: Chr element without score at line " +
                                 std::to_string(x_Line()) + " (" + where + ").");
    }
    // A score is an 8-bit value: only the low byte of the number counts.
    m_ColScores[cls].push_back(
        static_cast<std::uint8_t>(static_cast<unsigned long>(score) & 0xFFu));
    m_ColErrors[cls].push_back(error);
}

void CQScores::CParser::on_end_element(const Glib::ustring& name) {
    try {
        --m_Depth;
        m_InPrObservedCond = false;
        if (Is(name, qualxml::kColumn)) {
            x_EndColumn();
        }
    } catch (...) {
        if (!m_Error) {
            m_Error = std::current_exception();
        }
        throw;
    }
}

void CQScores::CParser::x_EndColumn() {
    m_InColumn = false;
    // A table computed for the other folding mode is not reused.
    if (m_ColAnc != m_Data->m_UseAll) {
        m_ColText.clear();
    }
    m_Data->m_Columns.push_back(std::make_unique<CQScoreColumn>(m_ColPos, m_ColScores, m_ColText,
                                                                m_Data->m_UseAll, &m_ColErrors));
}

void CQScores::CParser::on_characters(const Glib::ustring& text) {
    try {
        m_TextBytes += text.bytes();
        x_CheckExpansion();
        // The library may hand one text over in several pieces.
        if (m_InPrObservedCond) {
            m_ColText += text.raw();
        }
    } catch (...) {
        if (!m_Error) {
            m_Error = std::current_exception();
        }
        throw;
    }
}

void CQScores::CParser::x_CheckExpansion() {
    // Text of the document itself never exceeds the bytes consumed, so only
    // entity expansion can: stop it before it costs memory and time out of
    // all proportion to the input.
    if (m_TextBytes <= xmlsafety::kFreeText) {
        return;
    }
    const long consumed = context_ ? xmlByteConsumed(context_) : 0;
    if (xmlsafety::ExpansionTooLarge(m_TextBytes,
                                     static_cast<unsigned long long>(std::max(consumed, 0L)))) {
        throw std::runtime_error("CQScores::LoadFromStream: entity references at line " +
                                 std::to_string(x_Line()) +
                                 " expand the text to more than ten times the size of the "
                                 "document; the input is refused.");
    }
}
