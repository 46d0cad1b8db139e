#pragma once
// Settings of one qualfreq run and their command line: the pool programs'
// shared options (pool/pool_options.hpp) and qualfreq's own.

#include <iosfwd>
#include <string>
#include <vector>

#include "pool/pool_options.hpp"

struct SFreqOptions : SPoolRunOptions {
    // A site is written when its QUAL reaches this (0: every site where a
    // base other than the reference was read).
    double m_MinQual = 20.0;
    std::string m_Table;  // --table: the records as a tab-separated table
    // The command line as given, for the VCF's header.
    std::string m_CommandLine;
};

// What qualfreq takes of the pool programs' command line and stages.
SPoolProgram FreqProgram();

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParseFreqArgs(int argc, char* argv[], SFreqOptions& opts, std::ostream& out);

// qualfreq's getopt_long table (for the names of options in messages).
const std::vector<option>& FreqOptionTable();

// One pool's spectrum file of --sfs / --prior FILE: FILE (without a
// trailing ".fs") + ".NAME.fs".
std::string PoolSpectrumPath(const std::string& prefix, const std::string& name);

std::string FreqUsage();
std::string FreqVersion();
