#pragma once
// Where the sites of several pools come from: each pool's alignment files
// piled up apart and joined by position, or one samtools mpileup text with
// one sample column per pool.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"
#include "pool/pool_record.hpp"

struct htsThreadPool;
class CMpileupReader;
class CPileupSiteSource;

class CPoolSiteSource {
  public:
    virtual ~CPoolSiteSource() = default;
    // The next position where at least one pool has a read after the read
    // and base filters (depth limits are the caller's); false at the end.
    virtual bool Next(SPoolSite& site) = 0;
};

// The contigs of the alignments: names and lengths, the same for every file.
struct SPoolContigs {
    std::vector<std::string> m_Names;
    std::vector<std::int64_t> m_Lengths;
};

// Each pool's files (pooled as its lanes) piled up with the filters of
// filters (its inputs and depth limits are ignored), restricted to region
// (empty: all) and joined by position.
class CAlignmentPools : public CPoolSiteSource {
  public:
    // Throws CInputError (eMismatch) naming the file when a pool's files do
    // not share the first pool's contigs (names, lengths, order), and
    // whatever the pileup throws for a file it cannot read.
    CAlignmentPools(const std::vector<std::vector<std::string>>& pools,
                    const SPileupOptions& filters, const std::string& region,
                    std::vector<SPileupSummary>& summaries, htsThreadPool* threadPool);
    ~CAlignmentPools() override;

    bool Next(SPoolSite& site) override;

    const SPoolContigs& Contigs() const { return m_Contigs; }
    // The region's contig and 0-based half-open range, or false.
    bool Region(int& tid, std::int64_t& beg, std::int64_t& end) const;

  private:
    struct SPool;
    std::vector<std::unique_ptr<SPool>> m_Pools;
    SPoolContigs m_Contigs;
};

// The contigs of the first file of the first pool, checked against every
// other file of every pool (the same names, lengths and order), without
// piling anything up. Throws CInputError (eMismatch) naming the file that
// differs.
SPoolContigs CheckPoolReferences(const std::vector<std::vector<std::string>>& pools,
                                 const std::string& reference);

// samtools mpileup text whose sample columns are the pools, in order.
class CPileupTextPools : public CPoolSiteSource {
  public:
    // reader must outlive this; pools: the sample columns the text must have.
    CPileupTextPools(CMpileupReader& reader, std::size_t pools);
    bool Next(SPoolSite& site) override;

  private:
    CMpileupReader& m_Reader;
    std::size_t m_Pools;
};
