#pragma once
// One qualdiv run, in the stages every pool program has (pool/): the pools
// and their refusals, their sites read and tabulated into a store (in
// parallel pieces of the genome for indexed alignments), then each pool's
// spectrum fitted and the table, windows, spectra and bootstrap intervals
// written.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "div/div_options.hpp"
#include "pool/pool_reader.hpp"

// What a run read and did; its sites are the positions where a pool counts.
struct SDivSummary : SPoolReadSummary {
    std::vector<std::uint64_t> m_PoolSites;  // per pool: sites where it counts
    std::uint64_t m_Windows = 0;
    std::uint64_t m_Passes = 0;  // passes over the sites, every fit and resample
};

// Runs qualdiv with opts: the table to opts.m_Output (or out), windows and
// spectra to their files, every file replaced only when the run is complete.
// progress, when not null, gets the progress (a line redrawn at most once a
// second on a terminal, a line a minute in a log). Input faults throw
// CInputError, other faults std::runtime_error; both name the file.
SDivSummary RunQualDiv(const SDivOptions& opts, std::ostream& out, std::ostream* progress,
                       CProgressLine::EStyle style = CProgressLine::EStyle::eTerminal);

// The summary line (without line break).
std::string FormatDivSummary(const SDivSummary& summary, const SDivOptions& opts);

// The file of a pool's spectrum: FILE (without a trailing ".fs") +
// ".NAME.fs".
std::string PoolSpectrumFileName(const std::string& prefix, const std::string& name);

// The table's and the windows' headers (with --unfolded, theta_h and
// fay_wu_h at the end).
std::string DivTableHeader(bool unfolded);
std::string DivWindowsHeader(bool unfolded);
