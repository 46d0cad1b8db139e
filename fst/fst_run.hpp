#pragma once
// One qualfst run, in the stages every pool program has (pool/): the pools
// and their refusals, their sites read and tabulated into a store (in
// parallel pieces of the genome for indexed alignments), then each pair's
// joint spectrum fitted and the table, windows, spectra and bootstrap
// intervals written.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "fst/fst_options.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_sheet.hpp"

// What a run read and did; its sites are the positions where two or more
// pools count, m_PairSites those of each pair in the table's order.
struct SFstSummary : SPoolReadSummary {
    std::vector<std::uint64_t> m_PairSites;
    std::uint64_t m_Windows = 0;
    std::uint64_t m_Passes = 0;  // passes over the sites, every fit and resample
};

// What qualfst takes of the pool programs' command line and stages.
SPoolProgram FstProgram();

// Refuses (std::runtime_error naming both) a pair of pools whose joint
// spectrum would have more than kMaxSpectrumCells cells.
void CheckPairSizes(const std::vector<SPoolSpec>& specs);

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
