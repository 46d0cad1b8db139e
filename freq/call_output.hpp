#pragma once
// Where qualfreq's calls go: a VCF 4.3 through htslib (plain text, BGZF with
// a CSI index, or BCF with a CSI index, chosen by the file's name; standard
// output for "" or "-"), the same records as a tab-separated table, and a
// spool that holds records until the VCF's header can be written.
//
// A VCF file is written as a temporary file beside it and renamed into
// place when complete, then its index beside it (built while writing, into
// a temporary file of its own); a device, a pipe or a name of an open
// descriptor (/dev/..., /proc/...) is written directly, without an index.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/safe_output.hpp"
#include "freq/snp_calls.hpp"

// What the VCF's header says.
struct SCallHeader {
    std::vector<std::string> m_Contigs;
    std::vector<std::int64_t> m_Lengths;  // -1: not known (pileup text)
    std::vector<std::string> m_Pools;
    std::vector<unsigned> m_Sizes;
    std::string m_Reference;  // the FASTA (-f), or empty
    std::string m_Version;
    std::string m_CommandLine;
    bool m_Differentiation = false;  // PDIFF: two pools or more
};

enum class EVcfKind { ePlain, eBgzf, eBcf };

// The kind of VCF a name asks for: ".bcf" BCF, ".gz" or ".bgz" BGZF, any
// other name (and standard output) plain text.
EVcfKind VcfKindOf(const std::string& path);

// The index a VCF output gets: path + ".csi" for BGZF and BCF files, else
// empty.
std::string VcfIndexPath(const std::string& path);

class CVcfWriter {
  public:
    // Opens path (or standard output) for writing. Throws
    // std::runtime_error naming the file when it cannot be opened. The
    // records are compressed on the calling thread: htslib's index built
    // while writing comes out wrong when a thread pool compresses (1.16:
    // bcftools view -r then fails), and the records are few beside the
    // reads.
    explicit CVcfWriter(const std::string& path);
    // Removes the temporary files unless Commit() succeeded.
    ~CVcfWriter();
    CVcfWriter(const CVcfWriter&) = delete;
    CVcfWriter& operator=(const CVcfWriter&) = delete;

    void WriteHeader(const SCallHeader& header);
    bool HeaderWritten() const;
    // One record; throws std::runtime_error naming the file when the write
    // fails.
    void Write(const SSnpCall& call);
    // Closes the file and renames it (and its index) into place.
    void Commit();

  private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
};

// The table of --table: contig pos ref alt qual pdiff, then per pool
// NAME.af NAME.af_lo NAME.af_hi NAME.ref_reads NAME.alt_reads; pos 1-based,
// numbers with 10 significant digits, NA where a value does not apply.
class CCallTable {
  public:
    CCallTable(const std::string& path, std::ostream& standardOutput,
               const std::vector<std::string>& contigNames, const std::vector<std::string>& pools);
    void Write(const SSnpCall& call);
    void Commit() { m_Target.Commit(); }

  private:
    COutputTarget m_Target;
    const std::vector<std::string>& m_ContigNames;
};

// Records held in a temporary file until the header can be written (pileup
// text names its contigs only as it goes), then handed back in order.
class CCallSpool {
  public:
    explicit CCallSpool(std::size_t pools);
    ~CCallSpool();
    CCallSpool(const CCallSpool&) = delete;
    CCallSpool& operator=(const CCallSpool&) = delete;

    void Put(const SSnpCall& call);
    // Every record put, in order, to sink; then the spool is empty.
    template <typename TSink>
    void Drain(TSink sink) {
        x_Rewind();
        SSnpCall call;
        while (x_Next(call)) {
            sink(call);
        }
        x_Reset();
    }

  private:
    void x_Rewind();
    bool x_Next(SSnpCall& call);
    void x_Reset();

    std::size_t m_Pools;
    std::FILE* m_File = nullptr;
};
