#pragma once
// One qualscan run: inputs to sites, sites to tables and records, records to
// the genome-wide fits and the windows.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "common/progress.hpp"
#include "scan/scan_options.hpp"

// What a run read and fitted, for the summary line.
struct SScanSummary {
    std::uint64_t m_Sites = 0;
    std::uint64_t m_Reads = 0;
    std::uint64_t m_Windows = 0;
    std::uint64_t m_Contigs = 0;  // contigs with sites
    // Bases of reads that run past their contig's end, which the alignment
    // source clips.
    std::uint64_t m_BasesPastEnd = 0;
    std::string m_InputKind;  // "alignments", "an XML data set", "pileup text"
    // The block bootstrap: resamples refitted, and how many of them gave no
    // neutral theta or no growth rate (left out of those intervals).
    int m_Resamples = 0;
    int m_ResamplesNoNeutral = 0, m_ResamplesNoGrowth = 0;
    // Samples pooled into one estimate (alignments of several samples with
    // --merge-samples or without read groups, the columns of pileup text).
    std::size_t m_PooledSamples = 0;
    // --per-sample: each sample's name and sites, in order.
    std::vector<std::pair<std::string, std::uint64_t>> m_SampleSites;
};

// Runs qualscan with opts: the table to opts.m_Output (or out when that is
// empty or "-"), windows to opts.m_WindowsOutput; files are replaced only
// when complete. progress, when not null, gets the progress in the given
// style (common/progress.hpp). Every bad input throws std::runtime_error
// naming the file (CInputError for a fault of the input, such as
// alignments of several samples without --per-sample or --merge-samples).
// Samples kept apart are read in one pass: each has its own filter,
// tables, store and windows, and its rows equal those of a run on it
// alone, for every number of threads.
SScanSummary RunQualScan(const SScanOptions& opts, std::ostream& out, std::ostream* progress,
                         CProgressLine::EStyle progressStyle = CProgressLine::EStyle::eTerminal);

// The summary line (without line break).
std::string FormatScanSummary(const SScanSummary& summary, const SScanOptions& opts);
