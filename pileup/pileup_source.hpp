#pragma once
// Sites straight from alignments: the pooled reads of the input files, piled
// up position by position, filtered as the options say, each site with its
// reads, base counts and reference base. qualpileup writes these sites as a
// document; a program can equally compute on them directly.

#include <htslib/hts.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/site_classes.hpp"
#include "pileup/hts_quiet.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"

// One read's base at a site: base 0..3 for A, C, G, T, its quality, and the
// index of its sample in the source's Samples().
struct SPileupRead {
    unsigned char m_Base;
    unsigned char m_Score;
    std::uint16_t m_Sample;
};

struct SPileupSite {
    int m_Tid = -1;          // contig index in the first input's header
    std::int64_t m_Pos = 0;  // 0-based position
    // Reference base 0..3; -1 without a reference FASTA, or where it holds
    // another letter (N, an ambiguity code).
    int m_RefBase = -1;
    // Reads passing every read and base filter, of every sample, in input
    // order (files in the order given, reads in the order the pileup
    // engine holds them).
    std::vector<SPileupRead> m_Reads;
    TBaseCounts m_Counts{};  // reads per base
    // True when --min-depth/--max-depth leave the site out; the summary
    // already counts it. The limits apply to the reads of all samples.
    bool m_DepthFiltered = false;
};

// A site's reads grouped by base, for what needs neither the order of the
// reads of different bases nor their samples (a document's classes, a raw
// site): m_Scores[b] holds the scores of the reads of base b (0..3 for A,
// C, G, T), in input order.
struct SPileupColumn {
    int m_Tid = -1;
    std::int64_t m_Pos = 0;
    int m_RefBase = -1;
    std::array<std::vector<std::uint8_t>, 4> m_Scores;
    bool m_DepthFiltered = false;

    TBaseCounts Counts() const {
        return {
            static_cast<unsigned>(m_Scores[0].size()), static_cast<unsigned>(m_Scores[1].size()),
            static_cast<unsigned>(m_Scores[2].size()), static_cast<unsigned>(m_Scores[3].size())};
    }
};

// The reads of site split by sample: perSample (resized to numSamples)
// gets, for each sample, the site with only that sample's reads, in the
// site's order, and their counts; a sample without reads there gets none.
// Depth limits per sample are the caller's: m_DepthFiltered is false.
void SplitBySample(const SPileupSite& site, std::size_t numSamples,
                   std::vector<SPileupSite>& perSample);

// What a source's sites carry: the reads with their samples (Next()), or
// only their scores grouped by base (NextColumn()), which is less to hand
// over from the pileup's threads.
enum class EPileupForm { eReads, eColumns };

class CPileupSiteSource {
  public:
    // Opens every input of opts (pooled: the same contigs in the same
    // order), the reference FASTA when given, and restricts to the region
    // when given. threadPool, when not null, must outlive the source; when
    // every input is BAM or CRAM with an index (not older than its file),
    // the pileup runs in chunks of the genome (pileup_chunks.hpp) on the
    // pool's threads, each with its own file handles, ahead of Next(),
    // which delivers them in genome order: sites and counts are the same
    // as in one pass, whatever the pool. Otherwise one pass reads the
    // inputs, decompressing on the pool. The source keeps a copy of opts
    // and counts what its filters leave out in summary, which must outlive
    // it. Every bad input throws std::runtime_error naming the file, here
    // or from Next() (after the sites before the fault). While the source
    // exists, htslib's own lines on standard error are dropped (see
    // hts_quiet.hpp).
    // form says what the sites carry: Next() needs eReads, NextColumn()
    // takes either.
    CPileupSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                      htsThreadPool* threadPool = nullptr, EPileupForm form = EPileupForm::eReads);
    ~CPileupSiteSource();
    CPileupSiteSource(const CPileupSiteSource&) = delete;
    CPileupSiteSource& operator=(const CPileupSiteSource&) = delete;

    // The next position (in the region) with at least one read after the
    // read and base filters; false at the end. Positions at or past their
    // contig's length (reads hanging off a scaffold) are never delivered:
    // their bases are counted in the summary's m_BasesPastEnd. site's
    // vector keeps its capacity from call to call.
    bool Next(SPileupSite& site);
    // The same site with its reads grouped by base; the vectors of column
    // keep their capacity from call to call.
    bool NextColumn(SPileupColumn& column);

    // The samples of the inputs (see pileup/samples.hpp): the SM of their
    // read groups, or the file's name for a file without read groups, in
    // order of first appearance over the inputs' headers. A read's
    // m_Sample indexes this list. A file whose read groups name several
    // samples must tag each read with one of them (RG): a read without a
    // read group, or with one its header lacks, ends the pileup with a
    // CInputError (eUnknown). In a file of one sample such reads are of
    // that sample.
    const std::vector<std::string>& Samples() const;
    // Whether some input has read groups (else every sample is a file
    // named after itself).
    bool SamplesFromReadGroups() const;

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
