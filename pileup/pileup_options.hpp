#pragma once
// Settings of one qualpileup run and their command line.

#include <getopt.h>

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/options.hpp"
#include "pileup/pileup_chunks.hpp"

// Reads with any of these SAM flags are skipped unless the user says
// otherwise: unmapped, secondary, QC-failed, duplicate, supplementary.
inline constexpr std::uint32_t kDefaultSkipFlags = 0x4 | 0x100 | 0x200 | 0x400 | 0x800;

struct SPileupOptions {
    std::vector<std::string> m_Inputs;  // alignment files, pooled
    // The samples of the inputs when a pool sheet names them: the names, and
    // for every input the index of its sample among them. Empty: the SM of
    // the read groups, or a file's name (samples.hpp).
    std::vector<std::string> m_SheetSamples;
    std::vector<int> m_FileSample;
    std::string m_Output;     // empty or "-": standard output
    std::string m_Region;     // empty: every contig
    std::string m_Reference;  // indexed FASTA; empty: none
    int m_MinMapQ = 20;
    int m_MinBaseQ = 0;
    std::uint32_t m_SkipFlags = kDefaultSkipFlags;
    std::uint32_t m_RequireFlags = 0;  // non-zero: a read needs at least one of these
    unsigned m_MinDepth = 1;
    unsigned m_MaxDepth = 0;      // 0: no limit
    bool m_KeepOverlaps = false;  // count both mates of a pair where they overlap
    bool m_Progress = true;       // only ever shown on a terminal
    unsigned m_Threads = 1;       // qualpileup -t: 1 reads in this thread alone
    // How a threaded pileup cuts the genome (not an option: tests make the
    // chunks tiny to put their boundaries everywhere).
    SPileupChunking m_Chunking;
    // htslib's generic pileup instead of the column pileup (not an option:
    // the reference the tests check the column pileup against).
    bool m_HtslibPileup = false;
};

// Fills opts from argv (getopt_long). --help and --version print their text
// to out and return eHelp / eVersion. A bad option or value throws
// std::runtime_error naming the option.
EParseResult ParsePileupArgs(int argc, char* argv[], SPileupOptions& opts, std::ostream& out);

// The --help text.
std::string PileupUsage();

// "qualpileup <version>" and the htslib version, one per line.
std::string PileupVersion();

// Pieces of the command line shared by every program that reads alignments
// (qualpileup, qualscan, qualfst). program names the program in "Try
// 'program --help'".

// The codes getopt_long returns for the long-only alignment options; a
// program's own long-only options start above them.
inline constexpr int kSkipFlagsOption = 256;
inline constexpr int kInclFlagsOption = 257;
inline constexpr int kFirstProgramOption = 258;

// The short options of the rows every such program shares: -o, the
// alignment options below, -t, -h and -V.
inline constexpr char kSharedShortOptions[] = "o:r:f:q:Q:d:D:xPt:hV";
// getopt_long's table of a program: its own rows, then the shared rows
// (--output, the alignment options with their samtools spellings,
// --threads, --help, --version), then the end row. Each program applies
// -o, -t, -h and -V itself.
std::vector<option> ProgramOptionTable(std::initializer_list<option> own);
// SAM flags as samtools accepts them (a number or names such as UNMAP,DUP).
std::uint32_t ParseOptionFlags(const std::string& program, const char* text, const char* option);
// Names of the flags, as samtools writes them.
std::string FlagNames(std::uint32_t flags);

// Lines of the --help texts of every program that reads alignments, in one
// wording: -q and -Q with their defaults; -x.
std::string ReadQualityUsage();
std::string OverlapsUsage();

// Applies one alignment option (-r, -f, -q, -Q, -d, -D, --skip-flags,
// --incl-flags, -x, -P; c as getopt_long returns it) with its argument;
// false when c is none of them. A region is one per run: -r given twice
// (the first would be lost) or empty is an error.
bool ApplyAlignmentOption(const std::string& program, int c, const char* arg, SPileupOptions& opts);
// After the options: at least one input, and CheckDepthOptions.
void CheckAlignmentOptions(const std::string& program, const SPileupOptions& opts);
// --max-depth not below --min-depth.
void CheckDepthOptions(const std::string& program, const SPileupOptions& opts);
