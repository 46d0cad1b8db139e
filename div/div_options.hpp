#pragma once
// Settings of one qualdiv run and their command line: the pool programs'
// shared options (pool/pool_options.hpp) and qualdiv's own.

#include <iosfwd>
#include <string>
#include <vector>

#include "pool/pool_options.hpp"
#include "pool/spectrum_smoothing.hpp"

struct SDivOptions : SPoolRunOptions {
    // --smooth K[:LAMBDA]: the pool's spectrum smooth, log j phi(j) a
    // spline of K coefficients with the penalty LAMBDA on its bends
    // (pool/spectrum_smoothing.hpp); K 0: the free spectrum.
    unsigned m_Splines = kDefaultSplines;
    double m_Smoothing = kDefaultSmoothing;
};

// What qualdiv takes of the pool programs' command line and stages: one
// pool or more, windows, spectra, the bootstrap; folded unless --unfolded
// (-f alone does not unfold: the reference base is often not ancestral).
SPoolProgram DivProgram();

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParseDivArgs(int argc, char* argv[], SDivOptions& opts, std::ostream& out);

// qualdiv's getopt_long table (for the names of options in messages).
const std::vector<option>& DivOptionTable();

std::string DivUsage();
std::string DivVersion();
