#pragma once
// qualscan's windows: the sites of one sample streamed into windows
// (windows/windows.hpp), fitted in parallel in groups and written in
// order; with the block bootstrap, held until the genome-wide resamples
// are known.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "io/site_filter.hpp"
#include "scan/scan_options.hpp"
#include "scan/scan_report.hpp"
#include "windows/windows.hpp"

struct hts_tpool;
class CBedFile;

// The contigs of a run: names and, where known, lengths. The names are the
// run's own (an alignments' header, a data set's --contig) or a reader's,
// which grows as its input names new contigs; never copied per batch.
struct SContigs {
    SContigs() = default;
    SContigs(const SContigs&) = delete;
    SContigs& operator=(const SContigs&) = delete;

    std::vector<std::string> m_Own;
    const std::vector<std::string>* m_Names = &m_Own;
    std::vector<std::int64_t> m_Lengths;  // of the first contigs; the others unknown
    // -r: only this contig and range get windows.
    int m_RegionTid = -1;
    std::int64_t m_RegionBeg = 0, m_RegionEnd = -1;

    std::size_t Count() const { return m_Names->size(); }
    const std::string& Name(int c) const { return (*m_Names)[static_cast<std::size_t>(c)]; }
    // -1: unknown.
    std::int64_t Length(int c) const {
        return static_cast<std::size_t>(c) < m_Lengths.size()
                   ? m_Lengths[static_cast<std::size_t>(c)]
                   : -1;
    }
};

class CWindowWriter {
  public:
    // input names the input in messages; sample, when not empty, fills the
    // sample column. Without coveredKnown (summary files) the windows of a
    // contig of unknown length are those with sites. The windows are those
    // of opts (fixed, whole contigs) or, with windowsBed (--windows-bed,
    // read keeping its lines), one per line. With opts.m_Bootstrap the rows
    // wait for WriteBootstrap(). The header is the caller's.
    CWindowWriter(const SScanOptions& opts, const SSiteOptions& site, const SFitOptions& fit,
                  hts_tpool* pool, std::ostream& out, const SContigs& contigs,
                  CCoverageRuns& covered, bool coveredKnown, const std::string& input,
                  const std::string& sample, const CBedFile* windowsBed = nullptr);
    ~CWindowWriter();
    CWindowWriter(const CWindowWriter&) = delete;
    CWindowWriter& operator=(const CWindowWriter&) = delete;

    // Sites of contig tid follow; every contig before it without sites gets
    // its windows (NA) when its length is known.
    void EnterContig(int tid);
    void Add(const SEncodedSite& s);
    // Closes the last contig and gives the remaining known contigs their
    // windows.
    void Finish();

    // The block bootstrap: every window of at least kMinBootstrapBlocks
    // blocks gets the percentile interval of its refits to the resamples of
    // the genome-wide interval (DrawResamples(blocks, replicates, seed),
    // blocks being those of the sample's store), the others NA; then every
    // row is written. blocks must be the number of blocks the sites added
    // lie in (numbered as SegmentBlocks numbers them). progress is called
    // with (windows done, windows) on this thread.
    void WriteBootstrap(std::size_t blocks, int replicates, unsigned long seed,
                        const std::function<void(std::size_t, std::size_t)>& progress);

    std::uint64_t Count() const { return m_Written; }
    // With the bootstrap: windows with an estimate, and those of them that
    // hold blocks enough for an interval.
    std::uint64_t Estimated() const { return m_Estimated; }
    std::uint64_t WithBootstrap() const { return m_WithBootstrap; }
    // The blocks the sites added lie in.
    std::size_t Blocks() const { return m_Blocks; }

  private:
    // A site as the stream keeps it: the window fit's summary and its block.
    struct SSite {
        std::int64_t m_Pos = 0;
        SWindowSite m_Site;
        std::uint32_t m_Block = 0;
    };
    struct SPending {
        int m_Contig;
        std::int64_t m_Start, m_End;
        std::vector<SWindowSite> m_Sites;
        std::vector<std::uint32_t> m_SiteBlocks;
        std::uint64_t m_Covered;
    };
    // A row of the bootstrap, waiting for the resamples; its sites (when it
    // has blocks enough) are m_Held[m_First, m_First + m_Count).
    struct SHeldRow {
        SWindowRow m_Row;
        std::size_t m_First = 0, m_Count = 0;
        bool m_Refit = false;
    };
    static constexpr std::size_t kGroup = 256;
    static constexpr std::size_t kGroupSites = 1 << 16;

    bool x_Clip(int tid, std::int64_t& beg, std::int64_t& end) const;
    // The policy of opts and windowsBed (see the constructor).
    CWindowPolicy x_Policy(const SScanOptions& opts, const CBedFile* windowsBed);
    void x_CloseCurrent();
    void x_EmptyContig(int tid);
    void x_Collect(const SWindowSpan<SSite>& w);
    void x_Flush();
    // Keeps the sites of a window that the bootstrap refits, sharing those
    // of the window before.
    void x_Hold(const SPending& p, SHeldRow& held);

    CCoverageRuns& m_Covered;
    bool m_CoveredKnown;
    // --windows-bed: the file's lines by contig index, as the windows take
    // them (filled as contigs come).
    SSiteOptions m_Site;
    SFitOptions m_Fit;
    hts_tpool* m_Pool;
    std::ostream& m_Out;
    const SContigs& m_Contigs;
    std::string m_Input, m_Sample;
    bool m_Bootstrap;
    std::uint64_t m_MinSites;
    CWindowStream<SSite> m_Stream;
    int m_Current = -1;
    std::vector<SPending> m_Pending;
    std::size_t m_PendingSites = 0;
    std::uint64_t m_Written = 0;
    std::uint64_t m_Estimated = 0, m_WithBootstrap = 0;
    // Blocks as the store numbers them: a new one where the contig or
    // pos / blockSize changes.
    std::size_t m_Blocks = 0;
    int m_BlockContig = -1;
    std::int64_t m_BlockIndex = -1;
    // The bootstrap's rows and the sites of those it refits.
    std::vector<SHeldRow> m_Rows;
    std::vector<SWindowSite> m_Held;
    std::vector<std::uint32_t> m_HeldBlocks;
};
