#pragma once
// One qualfst run: the pools' sites read (in parallel chunks of the genome
// for indexed alignments), tabulated and stored; each pair's joint spectrum
// fitted; the table, windows, spectra and bootstrap intervals written.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "fst/fst_options.hpp"

struct SFstSummary {
    std::vector<std::string> m_Names;  // the pools
    std::uint64_t m_Sites = 0;         // positions where two or more pools count
    std::vector<std::uint64_t> m_PairSites;
    std::uint64_t m_Reads = 0;    // reads of the pools that count at those sites
    std::uint64_t m_Contigs = 0;  // contigs with sites
    std::uint64_t m_Windows = 0;
    std::uint64_t m_Passes = 0;  // passes over the sites, every fit and resample
    // A pool's reads at a position out of the depth limits (the pool does
    // not count there).
    std::uint64_t m_PoolSitesBelowMinDepth = 0, m_PoolSitesAboveMaxDepth = 0;
    std::string m_InputKind;  // "alignments", "pileup text"
};

// Runs qualfst with opts: the table to opts.m_Output (or out), windows and
// spectra to their files, every file replaced only when the run is complete.
// progress, when not null, gets the progress (a line redrawn at most once a
// second on a terminal, a line a minute in a log).
// Input faults throw CInputError, other faults std::runtime_error; both name
// the file.
SFstSummary RunQualFst(const SFstOptions& opts, std::ostream& out, std::ostream* progress,
                       CProgressLine::EStyle style = CProgressLine::EStyle::eTerminal);

// The summary line (without line break).
std::string FormatFstSummary(const SFstSummary& summary, const SFstOptions& opts);

// The table's header and a row: 10 significant digits, NA where a value
// does not apply.
std::string FstTableHeader();
std::string FstWindowsHeader();
