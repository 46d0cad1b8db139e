#pragma once
// Settings of one qualscan run and their command line.

#include <algorithm>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "io/input_kind.hpp"
#include "pileup/pileup_options.hpp"
#include "sitefile/site_file.hpp"
#include "windows/window_file.hpp"

enum class EScanModels { eNeutral, eGrowth, eBoth };

struct SScanOptions {
    // Inputs, alignment filters, region, reference, overlaps and progress,
    // with qualpileup's names and defaults.
    SPileupOptions m_Pileup;
    std::string m_Output;           // the genome-wide table; empty or "-": standard output
    std::string m_WindowsOutput;    // -w: the windows file
    std::int64_t m_WindowSize = 0;  // 0: no windows of fixed size
    std::int64_t m_WindowStep = 0;  // equal to the size unless given
    bool m_ContigWindows = false;   // --windows contig: one window per contig
    std::string m_WindowsBed;       // --windows-bed: one window per line of this BED file
    bool m_WindowsOnly = false;
    // --min-sites: windows of fewer sites are written with NA estimates
    // (windows/window_file.hpp).
    std::uint64_t m_MinSites = kDefaultMinSites;
    EScanModels m_Models = EScanModels::eBoth;
    double m_Level = 0.95;
    // --pool-size: one size for every sample, or one per sample in the
    // order of the samples; empty: every read is a chromosome of its own.
    std::vector<unsigned> m_PoolSizes;
    bool m_Unfolded = false;
    // Inputs of several samples: refused unless each is estimated apart
    // (--per-sample) or all are pooled (--merge-samples).
    bool m_PerSample = false;
    bool m_MergeSamples = false;
    std::vector<std::string> m_SampleNames;  // --samples: names of pileup text's columns
    // --pools: the pool sheet of every pool program (name, size, files);
    // its pools are the samples, kept apart, each with its size (the sheet
    // fills the inputs, the samples of the files and the pool sizes).
    std::string m_PoolsSheet;
    std::string m_Surface;       // --surface: the growth model's likelihood surface
    std::string m_Contig = ".";  // contig of an XML data set's sites
    std::string m_RegionsFile;   // BED: only these positions; empty: all
    std::string m_MaskFile;      // BED: never these positions; empty: none
    unsigned m_Threads = 1;
    // Intervals: profile likelihood, or the block bootstrap (bootstrap.hpp).
    bool m_Bootstrap = false;
    std::int64_t m_BlockSize = 1000000;
    int m_Replicates = 200;
    unsigned long m_Seed = 1;
    std::string m_SaveSites;  // --save-sites: the per-site summaries (site_file.hpp)
    // The codes of the options given, in order (getopt_long's values), so
    // that an option the input or the mode would ignore can be refused.
    std::vector<int> m_Given;
    bool Given(int code) const {
        return std::find(m_Given.begin(), m_Given.end(), code) != m_Given.end();
    }
    // Whether windows are written, of any kind.
    bool Windows() const { return m_WindowSize > 0 || m_ContigWindows || !m_WindowsBed.empty(); }
    // The pool size of sample s (0: none).
    unsigned PoolSize(std::size_t s) const {
        return m_PoolSizes.empty() ? 0 : m_PoolSizes[m_PoolSizes.size() == 1 ? 0 : s];
    }
};

// Fills opts from argv. --help and --version print their text to out and
// return eHelp / eVersion. A bad option or value throws std::runtime_error
// naming the option.
EParseResult ParseScanArgs(int argc, char* argv[], SScanOptions& opts, std::ostream& out);

// Fills the inputs, the files' samples, the pool sizes and --per-sample from
// opts.m_PoolsSheet; refuses (std::runtime_error naming the option) what
// the sheet gives given on the command line too. Throws CInputError naming
// the sheet for a sheet that does not parse.
void ApplyPoolsSheet(SScanOptions& opts);

// Windows on contigs of unknown length (every input but alignments) are
// written only where they hold a covered position (windows/windows.hpp); a
// sliding step may put one position into at most this many, so that the
// windows written stay in proportion to the input.
inline constexpr std::int64_t kMaxWindowsPerPosition = 1000;

// Refuses (std::runtime_error naming the option) every option given that an
// input of kind would ignore: the read filters of alignments on pileup
// text, a data set or summary files, -r where no index is read, --contig
// where the input names its contigs, and any filter on summary files, which
// hold the sites their runs kept; and windows that would put one position
// into more than kMaxWindowsPerPosition windows of a contig of unknown
// length.
void CheckOptionsForInput(const SScanOptions& opts, EInputKind kind);

// A run on summary files takes the pool size, the folding and the filters
// from them; an option given with another value than the file at path
// records (for the sample of index sample: its --pool-size) throws
// CInputError (eMismatch) naming the file, the setting and both values.
void CheckSiteFileSettings(const SScanOptions& opts, const SSiteFileSettings& file,
                           const std::string& path, std::size_t sample);

// Refuses (std::runtime_error naming both) two outputs that are one file
// however spelled, or an output that is one of the run's inputs
// (CheckOutputsDistinct), and the windows and the table both on standard
// output. Reads nothing and writes nothing.
void CheckOutputs(const SScanOptions& opts);

// The --help text.
std::string ScanUsage();

// "qualscan <version>" and the htslib version, one per line.
std::string ScanVersion();

// The settings of a run (model, filters, region, reference) for a sample
// (its pool size, its name: empty for none); input names what was read
// ("alignments", "pileup text", ...).
SSiteFileSettings RunSettings(const SScanOptions& opts, const std::string& input, unsigned poolSize,
                              const std::string& sample);
// The settings of a file saved again from files whose common settings are
// first: their filters, the run's block size.
SSiteFileSettings SavedAgain(const SSiteFileSettings& first, const SScanOptions& opts,
                             std::size_t files);
