#pragma once
// The pools of a run: names, sizes and files, from a sheet or from the
// command line.

#include <cstddef>
#include <string>
#include <vector>

// Chromosomes a pool may have, in every pool program and in the sheets
// qualpoolsim writes: a pool of one chromosome has no diversity to measure.
inline constexpr unsigned kMinPoolSize = 2;
inline constexpr unsigned kMaxPoolSize = 10000;

struct SPoolSpec {
    std::string m_Name;
    unsigned m_Size = 0;
    std::vector<std::string> m_Files;
};

// Reads a tab-separated sheet with a header naming the columns name, size
// and files (in any order; other columns are ignored); blank lines and lines
// starting with '#' are skipped. files are comma-separated; a relative path
// is taken relative to the sheet's directory. Throws CInputError naming the
// sheet and the line: a missing column, a name that is empty, repeated,
// not one word (blanks, slashes) or that breaks base/input_error.hpp's
// SampleNameFault (control characters, quotes), a size that is not a whole
// number from kMinPoolSize to kMaxPoolSize, a pool without files, fewer
// than minPools pools (program names the program that needs them).
std::vector<SPoolSpec> ReadPoolSheet(const std::string& path, std::size_t minPools,
                                     const std::string& program);

// Splits "a.bam,b.bam" into its files (no empty ones).
std::vector<std::string> SplitFiles(const std::string& list);
