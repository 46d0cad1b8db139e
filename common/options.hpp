#pragma once
// Command-line parsing shared by the programs: a thin layer over getopt.

#include <map>

// Option letter -> argument (points into argv; null for flags).
using TOptionMap = std::map<char, const char*>;

// Fills opts from argv with getopt(optstring). On an unknown option or a
// missing argument, or when a letter of `required` is absent, reports
// "Usage:\n   <argv[0]><usage>\n" (and a NOTE line naming `required`) line
// by line through Warn() and throws std::runtime_error "Invalid arguments." or
// "Missing required argument.".
void ParseCommandLine(int argc, char* argv[], const char* optstring, const char* required,
                      TOptionMap& opts, const char* usage);
