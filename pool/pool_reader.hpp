#pragma once
// The second stage of every pool program: the pools' reads piled up and
// turned into per-pool records (pool_record.hpp), handed on in genome order
// in batches. Indexed alignments are read in parallel pieces of the genome
// (the pieces merged in order, so every result is the same for any number
// of threads); alignments without an index in one pass, decompressed on the
// pool; pileup text is read on this thread and tabulated on all. Only
// positions in --regions-file and outside --mask are kept, and only sites
// where enough pools count.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "pileup/pileup_summary.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

struct hts_tpool;

// Sites read and encoded by one job, in genome order.
struct SPoolBatch {
    std::vector<int> m_Contig;
    std::vector<std::int64_t> m_Pos;
    std::vector<std::uint32_t> m_Size;  // bytes of each site's records
    std::vector<unsigned char> m_Bytes;
    // With alleles asked for: each site's alleles, and per site and pool
    // the reads of the first and the second allele (pools per site).
    std::vector<SSiteAlleles> m_Alleles;
    std::vector<std::uint32_t> m_AlleleReads;  // first, other, per pool
    SPoolEncodeCounts m_Counts;
    std::uint64_t m_Reads = 0;
    std::vector<SPileupSummary> m_Summaries;

    std::size_t Sites() const { return m_Pos.size(); }
};

// Where a contig's windows lie: [beg, end), end -1 while unknown (pileup
// text: its contigs end at their last site).
struct SContigRange {
    bool m_Windows = true;
    std::int64_t m_Beg = 0, m_End = -1;
};

// What the reading saw, for the summary line.
struct SPoolReadCounts {
    std::uint64_t m_Sites = 0;  // sites handed on
    std::uint64_t m_Reads = 0;  // reads of the pools that count there
    std::uint64_t m_Contigs = 0;
    SPoolEncodeCounts m_Encoded;
    std::vector<std::uint64_t> m_PoolReads;  // per pool: reads at the sites handed on
    std::vector<std::uint64_t> m_PoolSites;  // per pool: sites where it counts
};

struct SPoolReadOptions {
    // A site is handed on where at least this many pools count.
    unsigned m_MinCounting = 1;
    // Fill SPoolBatch's alleles.
    bool m_Alleles = false;
};

// What every pool program's summary line says of the reading.
struct SPoolReadSummary {
    std::vector<std::string> m_Names;  // the pools
    std::uint64_t m_Sites = 0;         // positions handed on (what counts is the program's)
    std::uint64_t m_Reads = 0;         // reads of the pools that count at those sites
    std::uint64_t m_Contigs = 0;       // contigs with sites
    // A pool's reads at a position out of the depth limits (the pool does
    // not count there).
    std::uint64_t m_PoolSitesBelowMinDepth = 0, m_PoolSitesAboveMaxDepth = 0;
    // Sites with a third allele, left out (pool_record.hpp).
    std::uint64_t m_MultiAllelic = 0;
    std::vector<std::string> m_EmptyPools;  // pools without a site
    std::string m_InputKind;                // "alignments", "pileup text"
};

class CPoolReader {
  public:
    // inputs: the first stage's; the pools of pileup text are added to it
    // at the text's first line. bar gets the position read.
    CPoolReader(const SPoolProgram& program, const SPoolRunOptions& opts, SPoolInputs& inputs,
                const SPoolReadOptions& read, hts_tpool* pool, CProgressLine& bar);

    // Reads everything: onPools(specs) once the pools are known (before any
    // batch; for pileup text at its first line), then take(batch) for every
    // batch in genome order. Throws what the readers throw (CInputError
    // naming the file), and CInputError (eFormat) for pileup text without a
    // line with reads.
    void Run(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
             const std::function<void(SPoolBatch&)>& take);

    // The contigs as the input names them, and where their windows lie
    // (after Run, complete; during Run, those seen so far).
    const std::vector<std::string>& ContigNames() const { return m_ContigNames; }
    const std::vector<SContigRange>& Ranges() const { return m_Ranges; }
    // Per contig, the last position handed on (-1: none).
    const std::vector<std::int64_t>& LastPositions() const { return m_LastPos; }
    const SPoolReadCounts& Counts() const { return m_Counts; }
    // "alignments" or "pileup text".
    std::string InputKind() const;

  private:
    void x_Alignments(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
                      const std::function<void(SPoolBatch&)>& take);
    void x_Text(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
                const std::function<void(SPoolBatch&)>& take);
    // Counts batch and hands it on.
    void x_Take(SPoolBatch& batch, const std::function<void(SPoolBatch&)>& take);

    const SPoolProgram& m_Program;
    const SPoolRunOptions& m_Opts;
    SPoolInputs& m_Inputs;
    SPoolReadOptions m_Read;
    hts_tpool* m_Pool;
    CProgressLine& m_Bar;
    std::vector<std::string> m_ContigNames;
    std::vector<SContigRange> m_Ranges;
    std::vector<std::int64_t> m_LastPos;
    SPoolReadCounts m_Counts;
    int m_LastContig = -1;
};

// A batch's sites appended to store where a run keeps every site; without
// a store (--windows-only) they go into a store of their own, finished and
// returned, so that their windows can be written at once.
std::unique_ptr<CPoolStore> StoreBatch(const SPoolBatch& batch, std::size_t pools,
                                       CPoolStore* store);

// The reader's counts into summary (whose m_Names are the pools), the pools
// without a site named in m_EmptyPools; returns those pools' indices, for
// the warning each program words for what its values then are.
std::vector<std::size_t> SummariseReading(const CPoolReader& reader, SPoolReadSummary& summary);
