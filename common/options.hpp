#pragma once
// Command-line parsing shared by the programs: a thin layer over getopt
// (qualfit, qualgen) and getopt_long (the programs with long options).

#include <getopt.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

// Option letter -> argument (points into argv; null for flags).
using TOptionMap = std::map<char, const char*>;

// Fills opts from argv with getopt(optstring). On an unknown option or a
// missing argument, or when a letter of `required` is absent, reports
// "Usage:\n   <argv[0]><usage>\n" (and a NOTE line naming `required`) line
// by line through Warn() and throws std::runtime_error "Invalid arguments." or
// "Missing required argument.".
void ParseCommandLine(int argc, char* argv[], const char* optstring, const char* required,
                      TOptionMap& opts, const char* usage);

// The programs with long options follow samtools' habits: -h/--help and
// -V/--version print their text to standard output and end the run; a bad
// option or value throws std::runtime_error naming the option, then a line
// pointing to --help. program names the program in "Try 'program --help'".

enum class EParseResult { eRun, eHelp, eVersion };

// Runs getopt_long over argv with shortOptions (without the leading ':',
// which is added) and table (ended by a null row). Each option but -h and
// -V goes to apply(c, optarg), which sets it and returns true, or returns
// false for a code that is not the program's. -h and -V print usage() or
// version() to out and return eHelp or eVersion at once. An unknown option,
// or one without its value, is an error naming it. On eRun, optind is the
// index of the first operand. The parser can run more than once in a
// process.
template <typename TApply>
EParseResult ParseProgramOptions(const std::string& program, int argc, char* argv[],
                                 const std::string& shortOptions, const option* table,
                                 std::ostream& out, std::string (*usage)(),
                                 std::string (*version)(), TApply apply);

// "<program> <version>" and the htslib version, one per line: the
// --version text of the programs built on htslib.
std::string ProgramVersion(const std::string& program, const char* version);

// Throws the error for getopt_long's answer c (':' or '?') to the option
// argv[optind - 1]: it needs a value, or it is unknown.
[[noreturn]] void BadGetoptOption(const std::string& program, int c, char* argv[]);

// The name of option code c of table as messages show it: "-q/--min-MQ",
// or "--mask" for an option without a short form.
std::string OptionName(const std::vector<option>& table, int c);

// Throws std::runtime_error: what, then a line pointing to --help.
[[noreturn]] void BadOption(const std::string& program, const std::string& what);
// A whole decimal integer within [lo, hi]; anything else is an error naming
// the option.
long long ParseOptionInt(const std::string& program, const char* text, const char* option,
                         long long lo, long long hi);
// -t/--threads (1 to 1024) and --seed (0 to 2^32 - 1), the same range in
// every program.
unsigned ParseThreadsOption(const std::string& program, const char* text);
std::uint32_t ParseSeedOption(const std::string& program, const char* text);
// The items of a comma-separated list ("a,b,c"); an empty item is an error
// naming the option.
std::vector<std::string> SplitOptionList(const std::string& program, const char* text,
                                         const char* option);
// A comma-separated list of whole decimal integers within [lo, hi]
// (ParseOptionInt's rule for each).
std::vector<long long> ParseOptionIntList(const std::string& program, const char* text,
                                          const char* option, long long lo, long long hi);
// A finite decimal number within lo..hi, an end left out where its flag says
// so; anything else is an error naming the option and saying what was
// expected ("a number between 0 and 1 (exclusive), such as 0.95").
double ParseOptionDouble(const std::string& program, const char* text, const char* option,
                         double lo, double hi, bool openLo, bool openHi,
                         const std::string& expected);
// Windows SIZE or SIZE:STEP, whole numbers of bases with 1 <= STEP <= SIZE
// (option names it in messages, e.g. "--windows").
void ParseWindowsOption(const std::string& program, const char* text, const char* option,
                        std::int64_t& size, std::int64_t& step);

// --windows SIZE[:STEP] (ParseWindowsOption), or "contig": one window per
// contig, wholeContigs set and size and step 0.
void ParseWindowsOrContigOption(const std::string& program, const char* text, std::int64_t& size,
                                std::int64_t& step, bool& wholeContigs);
// --level: the confidence level of intervals, strictly between 0 and 1.
double ParseLevelOption(const std::string& program, const char* text);

// Refuses (BadOption) an option of one value per run given a second time,
// whose value would silently take the place of the first: "OPTION is given
// twice ('FIRST' and 'SECOND'): WHY". first is the value so far, empty
// when the option was not given yet.
void RefuseGivenTwice(const std::string& program, const std::string& option,
                      const std::string& first, const char* second, const std::string& why);
// The file an option names for an output that never goes to standard
// output (the table does): value, unless it is empty or "-", which is the
// error ifNone (it names the option and says what is written).
std::string OutputFileOption(const std::string& program, const char* value,
                             const std::string& ifNone);
// A BED file option (--regions-file, --mask): one per run, since a second
// would silently take the place of the first (the user joins them, whose
// intervals may overlap), and not empty.
void SetBedFileOption(const std::string& program, std::string& file, const char* value,
                      const char* option);
// After the options of a program with windows and a block bootstrap:
// --windows SIZE and -w FILE come together, and bootstrapOnly (the
// bootstrap option given last, null for none) needs --ci bootstrap.
void CheckWindowAndBootstrapOptions(const std::string& program, std::int64_t windowSize,
                                    const std::string& windowsFile, const char* bootstrapOnly,
                                    bool bootstrap);

// Lines of the --help texts, each ending with a line break, in the wording
// every program shares: the block bootstrap's --block, --bootstrap and
// --seed with their defaults; -h and -V (program names what -V prints).
std::string BootstrapUsage(std::int64_t blockSize, int replicates, unsigned long seed);
std::string HelpVersionUsage(const std::string& program);

// Reads the options one by one; getopt_long's state is global.
void StartOptionScan();

template <typename TApply>
EParseResult ParseProgramOptions(const std::string& program, int argc, char* argv[],
                                 const std::string& shortOptions, const option* table,
                                 std::ostream& out, std::string (*usage)(),
                                 std::string (*version)(), TApply apply) {
    StartOptionScan();
    const std::string optstring = ":" + shortOptions;
    int c;
    while ((c = getopt_long(argc, argv, optstring.c_str(), table, nullptr)) != -1) {
        if (c == 'h') {
            out << usage();
            return EParseResult::eHelp;
        }
        if (c == 'V') {
            out << version();
            return EParseResult::eVersion;
        }
        if (c == ':' || c == '?' || !apply(c, optarg)) {
            BadGetoptOption(program, c, argv);
        }
    }
    return EParseResult::eRun;
}
