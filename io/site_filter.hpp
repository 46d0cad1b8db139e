#pragma once
// Which positions count: the sites of a source restricted to the regions of
// a BED file, outside the intervals of a mask, and within the depth limits
// (reads after the read and base filters), and the positions the windows
// report as covered (in the regions, outside the mask, with at least one
// read, whatever the depth limits say).

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "io/bed.hpp"
#include "model/site_source.hpp"

// Covered positions in genome order, kept as runs of consecutive positions
// until the windows that count them have been written.
class CCoverageRuns {
  public:
    // Positions arrive in order: contigs by increasing index, positions
    // increasing within one.
    void Add(int contig, std::int64_t pos);
    // Covered positions of contig in [beg, end). Queries come in window
    // order; every run before (contig, beg) is dropped as no later window
    // needs it, so the runs kept span the windows not yet written.
    std::uint64_t CountAndDrop(int contig, std::int64_t beg, std::int64_t end);
    // The first covered position of contig at or after pos, or INT64_MAX
    // when none has come yet. Queries must not reach before the runs that
    // CountAndDrop has dropped.
    std::int64_t NextCovered(int contig, std::int64_t pos) const;
    // One past the last covered position of contig so far; 0 for none.
    std::int64_t End(int contig) const {
        return contig >= 0 && static_cast<std::size_t>(contig) < m_End.size()
                   ? m_End[static_cast<std::size_t>(contig)]
                   : 0;
    }

  private:
    struct SRun {
        int m_Contig;
        std::int64_t m_Beg, m_End;
        std::uint64_t m_Before;  // covered positions before the run
    };
    // Covered positions before (contig, pos).
    std::uint64_t x_Before(int contig, std::int64_t pos) const;

    std::deque<SRun> m_Runs;
    std::uint64_t m_Total = 0;
    std::vector<std::int64_t> m_End;  // End() of every contig
};

struct SSiteFilterOptions {
    const CBedFile* m_Regions = nullptr;  // null: every position
    const CBedFile* m_Mask = nullptr;     // null: none
    unsigned m_MinDepth = 1;
    unsigned m_MaxDepth = 0;  // 0: no limit
};

class CSiteFilter : public CSiteSource {
  public:
    // Reads the sites of source, which must deliver every position with at
    // least one read (it applies no depth limits of its own). contigName
    // gives the name of a contig index of the source when its first site
    // comes. covered, when not null, receives every covered position.
    // The intervals, the coverage, the windows and the site store need the
    // sites in genome order: a site that does not follow the one before
    // throws CInputError (eOrder) naming the input (inputPath as the user
    // named it; empty for alignments, which have no one name) and both
    // sites.
    CSiteFilter(CSiteSource& source, const SSiteFilterOptions& opts,
                std::function<std::string(int)> contigName, CCoverageRuns* covered,
                const std::string& inputPath);

    bool Next(SRawSite& site) override;

  private:
    CSiteSource& m_Source;
    SSiteFilterOptions m_Opts;
    std::function<std::string(int)> m_ContigName;
    CCoverageRuns* m_Covered;
    std::string m_InputPath;
    int m_Contig = -1;
    std::int64_t m_LastPos = -1;
    CBedCursor m_InRegions, m_InMask;
};
