#pragma once
// The text qualscan writes: the genome-wide table, the windows file and the
// likelihood surface, tab-separated with a header line, numbers with 10
// significant digits, NA where a value does not apply. A run that keeps its
// samples apart (--per-sample) puts a sample column first in each.

#include <cstdint>
#include <string>

#include "common/table_format.hpp"

// One row of the genome-wide table. NaN stands for "does not apply".
struct SModelRow {
    std::string m_Sample;  // empty: no sample column
    std::string m_Model;   // "neutral" or "growth"
    double m_Theta, m_ThetaLo, m_ThetaHi;
    double m_Growth, m_GrowthLo, m_GrowthHi;
    double m_LogLik, m_Lrt, m_PValue;
    std::uint64_t m_Sites = 0, m_Reads = 0;
};

// One line of the windows file.
struct SWindowRow {
    std::string m_Sample;  // empty: no sample column
    std::string m_Contig;
    std::int64_t m_Start = 0, m_End = 0;  // 0-based, half-open
    std::uint64_t m_Sites = 0, m_Reads = 0;
    // Positions in the regions, outside the mask, with at least one read.
    std::uint64_t m_Covered = 0;
    bool m_CoveredKnown = true;  // false: written as NA (summary files keep no coverage)
    double m_Theta, m_ThetaLo, m_ThetaHi, m_LogLik;  // NaN without sites
};

std::string TableHeader(bool sample);
std::string FormatTableRow(const SModelRow& row);
// The windows file's first line, a comment that says what the intervals
// are (windows/window_file.hpp: "#intervals=profile<TAB>level=0.95" or
// "#intervals=bootstrap<TAB>level=0.95"; scripts/plot_windows reads it),
// then the column header.
std::string WindowsHeader(bool bootstrap, double level, bool sample);
std::string FormatWindowRow(const SWindowRow& row);
