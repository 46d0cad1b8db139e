#pragma once
// The command line of qualpoolsim.

#include <iosfwd>

#include "pileup/pileup_options.hpp"
#include "poolsim/pool_sim.hpp"

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParsePoolSimArgs(int argc, char* argv[], SPoolSimOptions& opts, std::ostream& out);

std::string PoolSimUsage();
