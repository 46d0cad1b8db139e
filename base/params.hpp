#pragma once
// The parameter vector of a spectrum model and its one text form, the
// parameter string. They live below the model and the document format, so
// that both can use them without depending on each other.

#include <string>
#include <utility>
#include <vector>

// Parameter vector: (value, given) pairs indexed by parameter number.
using TParamVector = std::vector<std::pair<double, bool>>;

// Number of entries whose given flag is set.
unsigned int CountGivenParams(const TParamVector& params);

// Parameter string of entries 0..CountGivenParams()-1, each value in default
// stream format followed by one blank.
std::string FormatParamString(const TParamVector& params);
