#pragma once
// Streaming writer of the quality-score data-set document. It produces the
// same bytes as the XML library's formatted serialisation of the equivalent
// document tree (declaration, document type, two blanks of indentation per
// level, self-closing empty elements, a final line break), but holds only a
// small buffer, so memory does not grow with the number of sites.

#include <cstdint>
#include <iosfwd>
#include <string>

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
    // A Column start tag; Chr elements follow, then EndColumn(). A column is
    // only begun when it will hold at least one read.
    void BeginColumn(std::int64_t pos);
    void AddChr(unsigned score, EClass cls);
    void EndColumn();
    // FSParams with the default neutral model, the root end tag; flushes.
    // Throws std::runtime_error naming the output when any write failed.
    void End();

  private:
    void x_Flush();

    std::ostream& m_Out;
    std::string m_Name;
    std::string m_Buf;
    // Complete Chr lines for every score and class, built once.
    std::string m_ChrLines[256][4];
};
