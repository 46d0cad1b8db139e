#pragma once
// The qualgen run: options -> distributions, model, generated document on
// standard output.

#include <ostream>

#include "common/options.hpp"

// Option string, required letters and usage text handed to ParseCommandLine.
extern const char kQualgenOptions[];
extern const char kQualgenRequired[];
extern const char kQualgenUsage[];

// One run seeded from the clock, document on standard output. Returns 0;
// every failure is a std::runtime_error, and then nothing has been written
// to standard output.
int RunSimulator(TOptionMap& opts);

// The same with a given seed and output stream, so that a run can be
// repeated exactly.
int RunSimulator(TOptionMap& opts, unsigned long seed, std::ostream& out);
