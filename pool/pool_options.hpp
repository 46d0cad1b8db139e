#pragma once
// The command line every pool program shares (qualfst, qualfreq, qualdiv):
// the pools (POOL arguments, --pools SHEET or one samtools mpileup text,
// --pool-size), the alignment filters with qualpileup's names, the
// positions (-r, --regions-file, --mask), the outputs and, for the
// programs that have them, windows, spectra, priors and the block
// bootstrap. A program keeps its own options (codes from
// kFirstPoolProgramOption up) and its usage text, which takes the shared
// blocks from here, so that an option means the same in every program.

#include <getopt.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/options.hpp"
#include "pileup/pileup_options.hpp"

struct SPoolRunOptions {
    // Alignment filters, region, reference, overlaps and progress, with
    // qualpileup's names and defaults (m_Inputs is not used: see m_PoolArgs).
    SPileupOptions m_Pileup;
    // The POOL arguments: each one pool's files, joined by commas; or one
    // samtools mpileup text with one sample column per pool.
    std::vector<std::string> m_PoolArgs;
    std::string m_PoolsSheet;           // --pools: name, size, files
    std::vector<unsigned> m_PoolSizes;  // --pool-size: one for all, or one per pool
    std::string m_Output;               // the table; empty or "-": standard output
    std::string m_WindowsOutput;        // -w
    std::int64_t m_WindowSize = 0;      // 0: no fixed windows
    std::int64_t m_WindowStep = 0;
    bool m_ContigWindows = false;  // --windows contig: one window per contig
    std::string m_WindowsBed;      // --windows-bed: one window per line of this BED file
    bool m_WindowsOnly = false;
    // Windows with fewer sites than this get NA values (their rows stay).
    std::uint64_t m_MinSites = 1;
    std::string m_Sfs;    // --sfs: the fitted spectra
    std::string m_Prior;  // --prior: spectra of an earlier --sfs instead of a fit
    std::string m_RegionsFile;
    std::string m_MaskFile;
    // The reference base is a site's first allele (with -f, or pileup
    // text's reference column): the spectra are unfolded.
    bool m_Unfolded = false;
    unsigned m_Threads = 1;
    bool m_Bootstrap = false;
    std::int64_t m_BlockSize = 1000000;
    int m_Replicates = 200;
    unsigned long m_Seed = 1;
    double m_Level = 0.95;
    // The codes of the options given, in order, so that an option the
    // input would ignore is refused (io/input_options.hpp).
    std::vector<int> m_Given;

    // Windows of any kind: fixed, whole contigs or BED lines.
    bool Windows() const { return m_WindowSize > 0 || m_ContigWindows || !m_WindowsBed.empty(); }
};

// What a program takes of the shared command line.
struct SPoolProgram {
    std::string m_Name;          // "qualfst"
    std::size_t m_MinPools = 1;  // pools a run needs
    bool m_Windows = false;      // --windows, -w, --windows-only, --min-sites
    bool m_Spectra = false;      // --sfs, --prior
    bool m_Bootstrap = false;    // --ci, --block, --bootstrap, --seed, --level
    // -f alone makes the spectra unfolded (qualfst: the reference base is
    // always the first allele when it is known); otherwise --unfolded says so.
    bool m_ReferenceUnfolds = false;
    bool m_UnfoldedOption = true;  // --unfolded is an option of the program
};

// The codes of the shared long-only options; a program's own start at
// kFirstPoolProgramOption.
enum EPoolOption {
    kPoolsOption = kFirstProgramOption,
    kPoolSizeOption,
    kWindowsOption,
    kWindowsOnlyOption,
    kMinSitesOption,
    kSfsOption,
    kPriorOption,
    kRegionsFileOption,
    kMaskOption,
    kCiOption,
    kBlockOption,
    kBootstrapOption,
    kSeedOption,
    kLevelOption,
    kUnfoldedOption,
    kWindowsBedOption,
    kFirstPoolProgramOption
};

// getopt_long's table of a program: its own rows, the shared pool rows it
// takes, then the rows every alignment program shares.
std::vector<option> PoolOptionTable(const SPoolProgram& program, std::initializer_list<option> own);
// The short options of the table ("w:" with windows, then the shared ones).
std::string PoolShortOptions(const SPoolProgram& program);

// Applies one shared option (c as getopt_long returns it) with its
// argument; false when c is not one of them. Records c in opts.m_Given.
bool ApplyPoolOption(const SPoolProgram& program, int c, const char* arg, SPoolRunOptions& opts);

// After the options: the POOL operands (argv[first..argc)), then every rule
// between options that needs no file: sheet or sizes, windows and their
// file, bootstrap options without --ci bootstrap, --windows-only's needs,
// --prior with --ci bootstrap, the depth limits. Throws BadOption's error.
void FinishPoolOptions(const SPoolProgram& program, int argc, char* argv[], int first,
                       SPoolRunOptions& opts);

// Blocks of the --help text, each ending with a blank line: the pools,
// the outputs a program shares (windows, spectra, bootstrap, threads),
// the positions, and the reads. The reads' block names the program's
// folding rule.
std::string PoolUsagePools(const SPoolProgram& program);
std::string PoolUsageShared(const SPoolProgram& program, const std::string& spectraWhat);
std::string PoolUsagePositions();
std::string PoolUsageReads(const SPoolProgram& program);
