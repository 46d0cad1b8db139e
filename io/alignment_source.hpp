#pragma once
// qualscan's sites straight from alignment files: the pileup of qualpileup,
// with its filters, turned into raw sites without writing a document.
//
// Samples. The pileup knows the samples of the inputs (the SM of their read
// groups; a file without read groups is one sample named after the file;
// lanes of one sample are that sample) and tags every read with its
// sample. Next() pools every sample into one site, as qualscan always did;
// NextBySample() gives each sample's own site at the same position, with
// the classes (reference, minor allele, others) taken from that sample's
// reads alone, so that a sample's sites are those a run on that sample
// alone would see. A program that estimates per population should, when
// Samples() names more than one sample, refuse to pool them silently:
// qualscan is to run each sample apart (--per-sample, a sample column
// first in its tables) or pool them on request (--merge-samples, today's
// result). Depth limits per sample are the caller's business: give the
// source no depth limits (they would apply to the pooled depth) and filter
// each sample's site by its own depth.

#include <cstdint>
#include <string>
#include <vector>

#include "model/site_source.hpp"
#include "pileup/pileup_source.hpp"
#include "pileup/pileup_summary.hpp"

class CAlignmentSiteSource : public CSiteSource {
  public:
    // See CPileupSiteSource; every site that the depth filters leave out is
    // skipped (and counted in summary). With a pool of threads and an index
    // for every input, the pileup runs in chunks on the pool, ahead of the
    // sites delivered here in genome order; the sites are the same for
    // every pool. NextBySample() needs bySample: the pileup then hands over
    // each read's sample too, which costs a little.
    CAlignmentSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                         htsThreadPool* threadPool, bool bySample = false);

    // The next position with reads, every sample pooled.
    bool Next(SRawSite& site) override;

    // The samples of the inputs, in the order NextBySample() uses.
    const std::vector<std::string>& Samples() const { return m_Source.Samples(); }
    bool SamplesFromReadGroups() const { return m_Source.SamplesFromReadGroups(); }
    // The next position with reads of any sample: perSample (resized to
    // the number of samples) holds each sample's site there, with no reads
    // (Depth() 0) for a sample without reads at it. False at the end.
    bool NextBySample(std::vector<SRawSite>& perSample);

    int NumContigs() const { return m_Source.NumContigs(); }
    std::string ContigName(int tid) const { return m_Source.ContigName(tid); }
    std::int64_t ContigLength(int tid) const { return m_Source.ContigLength(tid); }
    // The region's contig and 0-based half-open range, or false for none.
    bool Region(int& tid, std::int64_t& beg, std::int64_t& end) const;

  private:
    CPileupSiteSource m_Source;
    bool m_BySample;
    SPileupColumn m_Column;
    SPileupSite m_Site;
    std::vector<std::vector<SBaseRead>> m_SampleReads;
};
