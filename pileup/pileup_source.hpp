#pragma once
// Sites straight from alignments: the pooled reads of the input files, piled
// up position by position, filtered as the options say, each site with its
// reads, base counts and reference base. qualpileup writes these sites as a
// document; a program can equally compute on them directly.

#include <htslib/hts.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "model/site_classes.hpp"
#include "pileup/hts_quiet.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"

// One read's base at a site: base 0..3 for A, C, G, T, and its quality.
struct SPileupRead {
    unsigned char m_Base;
    unsigned char m_Score;
};

struct SPileupSite {
    int m_Tid = -1;          // contig index in the first input's header
    std::int64_t m_Pos = 0;  // 0-based position
    // Reference base 0..3; -1 without a reference FASTA, or where it holds
    // another letter (N, an ambiguity code).
    int m_RefBase = -1;
    // Reads passing every read and base filter, in input order (files in
    // the order given, reads in the order the pileup engine holds them).
    std::vector<SPileupRead> m_Reads;
    TBaseCounts m_Counts{};  // reads per base
    // True when --min-depth/--max-depth leave the site out; the summary
    // already counts it.
    bool m_DepthFiltered = false;
};

class CPileupSiteSource {
  public:
    // Opens every input of opts (pooled: the same contigs in the same
    // order), the reference FASTA when given, and restricts to the region
    // when given. threadPool, when not null, decompresses the inputs (BGZF
    // and CRAM); it must outlive the source. The source keeps a copy of
    // opts and counts what its filters leave out in summary, which must
    // outlive it. Every bad input throws std::runtime_error naming the file,
    // here or from Next(). While the source exists, htslib's own lines on
    // standard error are dropped (see hts_quiet.hpp).
    CPileupSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                      htsThreadPool* threadPool = nullptr);
    ~CPileupSiteSource();
    CPileupSiteSource(const CPileupSiteSource&) = delete;
    CPileupSiteSource& operator=(const CPileupSiteSource&) = delete;

    // The next position (in the region) with at least one read after the
    // read and base filters; false at the end. Positions at or past their
    // contig's length (reads hanging off a scaffold) are never delivered:
    // their bases are counted in the summary's m_BasesPastEnd. site's
    // vector keeps its capacity from call to call.
    bool Next(SPileupSite& site);

    // The number of chunks the work is cut into, 0 when the inputs are read
    // in one pass.
    std::size_t NumChunks() const;

    int NumContigs() const;
    const char* ContigName(int tid) const;
    std::int64_t ContigLength(int tid) const;
    // The region of --region: its contig and 0-based half-open range
    // (the end clipped to the contig), or false without a region.
    bool GetRegion(int& tid, std::int64_t& beg, std::int64_t& end) const;

  private:
    struct SImpl;
    // First member: installed before any input opens, removed last.
    CHtsStderrFilter m_Filter;
    std::unique_ptr<SImpl> m_Impl;
};
