#pragma once
// What an input of qualscan holds, told by its first bytes, never by its
// name. The input is opened once and only peeked at, so standard input and
// pipes lose nothing: the reader of the kind found continues from the same
// handle.
//
// A new kind (compressed XML, pileup text, summary files) is an enumerator
// and one entry of the recogniser table in input_kind.cpp, which sees
// htslib's view of the file (format and compression) and its first bytes.

#include <htslib/hts.h>

#include <string>
#include <vector>

struct hFILE;

enum class EInputKind {
    // SAM, BAM or CRAM (also SAM compressed with gzip or bgzip): open it
    // with hts_hopen() on the handle.
    eAlignment,
    // A qualtools XML data set: read it with CXmlSiteReader on the handle.
    eXmlDataSet,
    // Text of samtools mpileup with base qualities: read it with
    // CMpileupReader on the handle.
    eMpileupText,
    // Per-site summaries of qualscan --save-sites (BGZF): read them with
    // CSiteFileReader on the handles; several are fitted together.
    eSiteFile,
};

// An input opened and recognised; the handle is positioned at its start.
class CInputFile {
  public:
    // Opens path ("-" is standard input) and recognises it. Throws
    // CInputError naming the file when it cannot be opened or read (eOpen),
    // or when it is none of the kinds above (eFormat).
    explicit CInputFile(const std::string& path);
    ~CInputFile();
    CInputFile(CInputFile&& other) noexcept;
    CInputFile& operator=(CInputFile&& other) noexcept;
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    EInputKind Kind() const { return m_Kind; }
    // htslib's view of the content (format, compression).
    const htsFormat& Format() const { return m_Format; }
    const std::string& Path() const { return m_Path; }
    // 'path', or "standard input".
    const std::string& Name() const { return m_Name; }

    // Hands the open handle over to the caller, who must close it (the
    // readers of both kinds take it over); afterwards the object holds none.
    hFILE* Release();

  private:
    std::string m_Path;
    std::string m_Name;
    hFILE* m_File = nullptr;
    htsFormat m_Format{};
    EInputKind m_Kind = EInputKind::eAlignment;
};

// The kind of the file at path. It opens and closes the file: for standard
// input, whose bytes cannot be read twice, use CInputFile.
EInputKind DetectInputKind(const std::string& path);

// Opens every input of one run: either alignment files, which are pooled,
// or summary files, which are concatenated, or exactly one XML data set or
// pileup text. Standard input may be named once, and every file once however
// spelled (common/safe_output.hpp's CheckInputsDistinct). Throws CInputError
// (eMismatch) naming the file that breaks the rule.
std::vector<CInputFile> OpenInputs(const std::vector<std::string>& paths);

// Name of a kind for messages ("an alignment file", "an XML data set").
const char* InputKindName(EInputKind kind);
