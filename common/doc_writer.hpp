#pragma once
// Streaming writer of the quality-score data-set document. It produces the
// same bytes as the XML library's formatted serialisation of the equivalent
// document tree (declaration, document type, two blanks of indentation per
// level, self-closing empty elements, a final line break), but holds only a
// small buffer and no node per element, so memory does not grow with the
// number of sites. qualpileup and qualgen both write through it.

#include <cstdint>
#include <iosfwd>
#include <string>

#include "base/params.hpp"

class CQualDocWriter {
  public:
    // Read classes as the document marks them: reference, minor allele,
    // first other base, second other base.
    enum EClass { eMajor = 0, eMinor = 1, eOther1 = 2, eOther2 = 3 };

    // Writes to out; name is the output's name for error messages.
    CQualDocWriter(std::ostream& out, std::string name);
    CQualDocWriter(const CQualDocWriter&) = delete;
    CQualDocWriter& operator=(const CQualDocWriter&) = delete;

    // The XML declaration, the document type and the root start tag.
    void Begin();
    // A Column; Chr elements follow, then EndColumn(). A column closed
    // without any Chr is written as an empty element.
    void BeginColumn(std::int64_t pos);
    // The same with the contig attribute after pos, for the first Column
    // of each contig (qualfit ignores it; qualscan names the contig by it).
    // Throws std::runtime_error for a name that an XML document cannot
    // carry (bytes that are not UTF-8, control characters other than TAB
    // and line breaks).
    void BeginColumn(std::int64_t pos, const std::string& contig);
    // A Chr with its score, its class mark (none for the reference), then,
    // for a read known to be wrong, the error mark.
    void AddChr(unsigned score, EClass cls, bool error = false);
    void EndColumn();
    // FSParams with the default neutral model, the root end tag; flushes.
    // Throws std::runtime_error naming the output when any write failed.
    void End();
    // The same with FSParams naming the model dist and holding the
    // parameter string of params.
    void End(const std::string& dist, const TParamVector& params);

  private:
    void x_Flush();
    // Runs write on the output; throws naming the output and the system's
    // reason when the output fails.
    template <typename TWrite>
    void x_Check(TWrite write);

    std::ostream& m_Out;
    std::string m_Name;
    std::string m_Buf;
    // The open column has no Chr yet: its start tag still lacks its '>'.
    bool m_ColumnEmpty = false;
    // Complete Chr lines for every score and class, at [score][class], the
    // erroneous ones at [score][class + 4], built once.
    std::string m_ChrLines[256][8];
};
