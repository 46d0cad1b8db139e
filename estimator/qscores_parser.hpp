#pragma once
// SAX handler that reads a quality-score document into a CQScores.

#include <libxml++/parsers/saxparser.h>

#include <exception>
#include <string>

#include "estimator/qscores.hpp"

class CQScores::CParser : public xmlpp::SaxParser {
  public:
    explicit CParser(CQScores* data);
    ~CParser() override;

    // Parses the whole stream; rethrows the first exception raised by a
    // handler (the parse stops there) or the XML library's parse error.
    void Parse(std::istream& is);

  protected:
    void on_start_element(const Glib::ustring& name, const AttributeList& attributes) override;
    void on_end_element(const Glib::ustring& name) override;
    void on_characters(const Glib::ustring& text) override;

  private:
    void x_StartFSParams(const AttributeList& attributes);
    void x_StartColumn(const AttributeList& attributes);
    void x_StartChr(const AttributeList& attributes);
    void x_EndColumn();
    // Throws a clearer message for the push parser's misleading reports of
    // input that is no document or stops inside one; returns otherwise.
    void x_ThrowClearer(const xmlpp::exception& e, const std::istream& is) const;
    // Line of the document being parsed, for messages.
    int x_Line() const;
    // Throws once the text delivered outgrows the document (see there).
    void x_CheckExpansion();

    // Whether the element most recently started is PrObservedCond; cleared
    // at the end of every element, so only its own text is collected.
    bool m_InPrObservedCond = false;
    CQScores* m_Data;
    int m_ColPos = 0;
    std::string m_ColText;
    bool m_ColAnc = false;
    CQScoreColumn::TScores m_ColScores;
    CQScoreColumn::TErrors m_ColErrors;
    // Inside a Column element (only for messages).
    bool m_InColumn = false;
    // Nesting depth and the first element's name (only for messages).
    bool m_SawElement = false;
    int m_Depth = 0;
    std::string m_Root;
    // Bytes of text delivered so far, entity expansions included.
    unsigned long long m_TextBytes = 0;
    // First exception thrown by a handler; the library's callbacks swallow
    // foreign exceptions in some versions, so it is carried out here.
    std::exception_ptr m_Error;
};
