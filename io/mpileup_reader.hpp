#pragma once
// Reads the text that `samtools mpileup` writes (with base qualities, one or
// more samples per line, plain or compressed) as qualscan's raw sites, with
// qualpileup's classes and base and depth filters.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/input_error.hpp"
#include "common/bgzf_stream.hpp"
#include "common/kstring.hpp"
#include "model/raw_site.hpp"
#include "model/site_source.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"

struct BGZF;
struct hFILE;
struct hts_tpool;

// One line of the text with its reads kept apart by sample column.
struct SMpileupSamples {
    int m_Contig = 0;
    std::int64_t m_Pos = 0;                       // 0-based
    int m_RefBase = -1;                           // 0..3, or -1 for another letter
    std::vector<std::vector<SBaseRead>> m_Reads;  // per sample column
};

class CInputFile;

// Names in messages: path is always the input as the user named it, as it
// would be opened ("-": standard input), never quoted: every message
// quotes it once, through InputName() (base/input_error.hpp). Pass
// CInputFile::Path(), not CInputFile::Name(), which is quoted already (or
// take the CInputFile whole).
class CMpileupReader : public CSiteSource {
  public:
    // Opens path ("-": standard input). filters supplies --min-BQ (a base
    // at exactly the threshold is kept, as for alignments) and the depth
    // limits; summary counts what they leave out. needReference: the run
    // takes the reference base as ancestral (--unfolded), so the text must
    // carry it (samtools mpileup -f). Throws CInputError naming the file
    // when it cannot be opened.
    CMpileupReader(const std::string& path, const SPileupOptions& filters, SPileupSummary& summary,
                   bool needReference = false);
    // Reads from fp, which it takes over; path (unquoted, see above) names
    // it in messages.
    CMpileupReader(hFILE* fp, const std::string& path, const SPileupOptions& filters,
                   SPileupSummary& summary, bool needReference = false);
    // Reads an input recognised as pileup text: takes over its handle
    // (in.Release()) and names it by in.Path().
    CMpileupReader(CInputFile& in, const SPileupOptions& filters, SPileupSummary& summary,
                   bool needReference = false);
    ~CMpileupReader() override;
    CMpileupReader(const CMpileupReader&) = delete;
    CMpileupReader& operator=(const CMpileupReader&) = delete;

    // Decompresses bgzip-compressed text on pool's threads from now on
    // (nothing for plain or gzip input, or a null pool).
    void UseThreadPool(hts_tpool* pool);

    // Next position with reads that pass the filters; false at the end.
    // Throws CInputError naming the file and line for text that is not
    // mpileup output (eFormat; also a line with another number of sample
    // columns than the first line), numbers out of range (eRange), positions
    // out of order (eOrder), compressed text that is cut or damaged
    // (eTruncated, eDamaged), and text without reference bases where they
    // are needed (eMismatch).
    bool Next(SRawSite& site) override;

    // The next line with at least one read after the base filter, its reads
    // kept apart by sample column; the depth limits are not applied (they
    // are the caller's, per sample). Throws as Next().
    bool NextSamples(SMpileupSamples& samples);

    // The sample columns of the text (those of its first line; 0 before
    // a line has been read).
    std::size_t SampleColumns() const { return m_Samples; }

    // Contigs in the order they appeared.
    const std::vector<std::string>& Contigs() const { return m_Contigs; }

  private:
    [[noreturn]] void x_Fail(EInputError kind, const std::string& what);
    // Reads the next line with at least one read into m_Reads (the samples'
    // reads one after the other, sample k ending at m_SampleEnds[k]);
    // false at the end.
    bool x_NextLine(int& contig, std::int64_t& pos, int& refBase);
    // Parses one line; false when no read there passes the base filters.
    bool x_ParseLine(const char* text, std::size_t size, int& contig, std::int64_t& pos,
                     int& refBase);
    // Parses the reads of one sample (bases and qualities) into m_Reads.
    void x_Sample(const char* bases, std::size_t nBases, const char* quals, std::size_t nQuals,
                  int refBase);

    std::string m_Path;
    const SPileupOptions& m_Filters;
    SPileupSummary& m_Summary;
    bool m_NeedReference;
    // A line with a reference base (A, C, G or T) was seen.
    bool m_SawReference = false;
    BGZF* m_File = nullptr;
    CBgzfEnd m_End;
    std::uint64_t m_Line = 0;
    std::vector<std::string> m_Contigs;
    std::unordered_map<std::string, int> m_ContigIndex;
    int m_LastContig = -1;
    std::int64_t m_LastPos = -1;
    // The place of the line being read, for messages.
    std::string m_LineContig;
    std::int64_t m_LinePos = 0;
    std::vector<SBaseRead> m_Reads;
    std::vector<std::size_t> m_SampleEnds;
    CKString m_Text;            // the line being read, its buffer kept from line to line
    std::size_t m_Samples = 0;  // sample columns of the first line
    std::vector<std::string> m_Fields;
};
