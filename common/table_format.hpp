#pragma once
// Numbers in the programs' tab-separated tables: 10 significant digits, NA
// where a value does not apply (NaN), "inf"/"-inf" for infinities.

#include <string>

std::string FormatNumber(double v);
