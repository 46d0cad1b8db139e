#pragma once
// Settings of one qualfst run and their command line.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "pileup/pileup_options.hpp"

struct SFstOptions {
    // Alignment filters, region, reference, overlaps and progress, with
    // qualpileup's names and defaults (m_Inputs is not used: see m_PoolArgs).
    SPileupOptions m_Pileup;
    // The POOL arguments: each one pool's files, joined by commas; or one
    // samtools mpileup text with one sample column per pool.
    std::vector<std::string> m_PoolArgs;
    std::string m_PoolsSheet;           // --pools: name, size, files
    std::vector<unsigned> m_PoolSizes;  // --pool-size: one for all, or one per pool
    std::string m_Output;               // the table; empty or "-": standard output
    std::string m_WindowsOutput;        // -w
    std::int64_t m_WindowSize = 0;      // 0: no windows
    std::int64_t m_WindowStep = 0;
    bool m_WindowsOnly = false;
    std::string m_Sfs;    // --sfs: the fitted spectra, FILE with each pair's names
    std::string m_Prior;  // --prior: spectra of an earlier --sfs instead of a fit
    std::string m_RegionsFile;
    std::string m_MaskFile;
    unsigned m_Threads = 1;
    bool m_Bootstrap = false;
    std::int64_t m_BlockSize = 1000000;
    int m_Replicates = 200;
    unsigned long m_Seed = 1;
    double m_Level = 0.95;
};

// The largest joint spectrum of a pair (cells).
inline constexpr std::uint64_t kMaxSpectrumCells = 4000000;

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParseFstArgs(int argc, char* argv[], SFstOptions& opts, std::ostream& out);

std::string FstUsage();
std::string FstVersion();
