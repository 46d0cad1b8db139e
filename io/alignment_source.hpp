#pragma once
// qualscan's sites straight from alignment files: the pileup of qualpileup,
// with its filters, turned into raw sites without writing a document.

#include <cstdint>
#include <string>
#include <vector>

#include "model/site_source.hpp"
#include "pileup/pileup_source.hpp"
#include "pileup/pileup_summary.hpp"

class CAlignmentSiteSource : public CSiteSource {
  public:
    // See CPileupSiteSource; every site that the depth filters leave out is
    // skipped (and counted in summary).
    CAlignmentSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                         htsThreadPool* threadPool);

    bool Next(SRawSite& site) override;

    int NumContigs() const { return m_Source.NumContigs(); }
    std::string ContigName(int tid) const { return m_Source.ContigName(tid); }
    std::int64_t ContigLength(int tid) const { return m_Source.ContigLength(tid); }
    // The region's contig and 0-based half-open range, or false for none.
    bool Region(int& tid, std::int64_t& beg, std::int64_t& end) const;

  private:
    CPileupSiteSource m_Source;
    SPileupSite m_Site;
    std::vector<SBaseRead> m_Reads;
};
