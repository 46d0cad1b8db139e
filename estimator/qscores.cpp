#include "estimator/qscores.hpp"

#include <libxml++/libxml++.h>

#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>

#include "common/qualxml.hpp"
#include "estimator/qscores_parser.hpp"

CQScores::CQScores() : m_Spectrum(new CFSNeutral) {}

// Columns first, then the model.
CQScores::~CQScores() {
    m_Columns.clear();
}

void CQScores::SetSpectrum(CFreqSpectrum* spectrum) {
    if (spectrum != m_Spectrum.get()) {
        m_Spectrum.reset(spectrum);
    }
}

void CQScores::LoadFromStream(std::istream& is) {
    if (is.fail()) {
        throw std::runtime_error("CQScores::LoadFromStream: stream not Good.");
    }
    // The parser reads until the stream stops delivering; a read error (a
    // directory, an I/O fault) must not pass for the end of the document.
    CParser parser(this);
    try {
        parser.Parse(is);
    } catch (...) {
        if (is.bad()) {
            throw std::runtime_error("CQScores::LoadFromStream: the input could not be read.");
        }
        throw;
    }
    if (is.bad()) {
        throw std::runtime_error("CQScores::LoadFromStream: the input could not be read.");
    }
}

void CQScores::WriteToStream(std::ostream& os) const {
    if (os.fail()) {
        throw std::runtime_error("CQScores::WriteToStream: stream not Good.");
    }
    xmlpp::Element* root = nullptr;
    std::unique_ptr<xmlpp::Document> doc = qualxml::NewDocument(root);
    for (const auto& column : m_Columns) {
        column->WriteXML(root, m_UseAll);
    }
    qualxml::AppendFSParams(root, m_Spectrum->GetName(), m_Spectrum->GetParams());
    os << qualxml::Serialize(*doc);
}

void CQScoreColumn::WriteXML(xmlpp::Element* parent, bool useAll) const {
    xmlpp::Element* column = parent->add_child(qualxml::kColumn);
    column->set_attribute(qualxml::kPos, std::to_string(m_Pos));
    for (int w = 0; w < 4; ++w) {
        const auto& scores = m_Scores[w];
        const auto& errors = m_Errors[w];
        for (std::size_t j = 0; j < scores.size(); ++j) {
            xmlpp::Element* chr = column->add_child(qualxml::kChr);
            chr->set_attribute(qualxml::kScore, std::to_string(unsigned(scores[j])));
            // A column built without flags (not from a document) has none
            // to write.
            if (j < errors.size() && errors[j]) {
                chr->set_attribute(qualxml::kError, "");
            }
            if (w == eOther1) {
                chr->set_attribute(qualxml::kOther, "1");
            } else if (w == eOther2) {
                chr->set_attribute(qualxml::kOther, "2");
            } else if (w == eMinor) {
                chr->set_attribute(qualxml::kMinor, "");
            }
        }
    }
    xmlpp::Element* table = column->add_child(qualxml::kPrObservedCond);
    std::string text;
    for (double p : m_PrObservedCond.m_Probs) {
        qualxml::AppendNumber(text, p);
    }
    table->add_child_text(text);
    if (useAll) {
        table->set_attribute(qualxml::kAnc, "");
    }
}
