#pragma once
// Settings of one qualfst run and their command line: the pool programs'
// shared options (pool/pool_options.hpp) and qualfst's own.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "pool/pool_options.hpp"

struct SFstOptions : SPoolRunOptions {
    // --matrix: the pairwise F_ST and d_xy as square matrices,
    // PREFIX.fst.tsv and PREFIX.dxy.tsv.
    std::string m_Matrix;
};

// The files of --matrix PREFIX (a trailing ".tsv" of PREFIX dropped).
std::string MatrixFileName(const std::string& prefix, const std::string& statistic);

// The largest joint spectrum of a pair (cells).
inline constexpr std::uint64_t kMaxSpectrumCells = 4000000;

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParseFstArgs(int argc, char* argv[], SFstOptions& opts, std::ostream& out);

// qualfst's getopt_long table (for the names of options in messages).
const std::vector<option>& FstOptionTable();

std::string FstUsage();
std::string FstVersion();
