#pragma once
// The qualfit run: load a data set, choose and fold the model, fit, tabulate,
// print the log-likelihood, write the data set back, print the reports.

#include <iosfwd>

#include "common/options.hpp"

// Option string, required letters and usage text of qualfit.
extern const char* const kQualfitOptions;
extern const char* const kQualfitRequired;
extern const char* const kQualfitUsage;

// One run with the parsed options; results go to out. Returns 0; every
// failure is a std::runtime_error (or the XML library's exception).
int Run(const TOptionMap& opts, std::ostream& out);
int Run(const TOptionMap& opts);
