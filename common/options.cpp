#include "common/options.hpp"

#include <htslib/hts.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/split.hpp"
#include "base/warnings.hpp"

void ParseCommandLine(int argc, char* argv[], const char* optstring, const char* required,
                      TOptionMap& opts, const char* usage) {
    // glibc re-initialises getopt completely when optind is 0, so the parser
    // can be used more than once in one process.
    optind = 0;
    bool invalid = false;
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        if (c == '?') {
            invalid = true;  // getopt has printed its own diagnostic
            continue;
        }
        opts[static_cast<char>(c)] = optarg;
    }

    if (!invalid) {
        bool complete = true;
        for (const char* r = required; *r; ++r) {
            if (opts.find(*r) == opts.end()) {
                complete = false;
            }
        }
        if (complete) {
            return;
        }
    }

    // A program started with an empty argument vector has no name; a null
    // pointer would put the error stream out of action for the messages
    // that follow.
    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    const std::string text = std::string("Usage:\n   ") + program + usage;
    std::string::size_type begin = 0;
    for (;;) {
        const std::string::size_type end = text.find('\n', begin);
        Warn(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    if (*required) {
        Warn(std::string("NOTE: Parameters '") + required + "' are required.");
    }
    throw std::runtime_error(invalid ? "Invalid arguments." : "Missing required argument.");
}

void StartOptionScan() {
    optind = 0;  // restart getopt's scan (GNU), so the parser can run more than once
    opterr = 0;  // errors are reported by us, with the option's name
}

std::string ProgramVersion(const std::string& program, const char* version) {
    return program + " " + version + "\nUsing htslib " + hts_version() + "\n";
}

void BadGetoptOption(const std::string& program, int c, char* argv[]) {
    if (c == ':') {
        BadOption(program, std::string("Option ") + argv[optind - 1] + " needs a value.");
    }
    // A code the program's table holds but the program does not apply is
    // named as written; optopt holds only what getopt_long refused.
    if (c == '?' && optopt != 0 && optopt < 256) {
        BadOption(program, std::string("Unknown option -") + static_cast<char>(optopt) + ".");
    }
    BadOption(program, std::string("Unknown option ") + argv[optind - 1] + ".");
}

std::string OptionName(const std::vector<option>& table, int c) {
    std::string name = c > 0 && c < 256 ? std::string("-") + static_cast<char>(c) : "";
    for (const option& o : table) {
        if (o.name && o.val == c) {
            return name.empty() ? std::string("--") + o.name : name + "/--" + o.name;
        }
    }
    return name;
}

void BadOption(const std::string& program, const std::string& what) {
    throw std::runtime_error(what + "\nTry '" + program + " --help' for the options.");
}

long long ParseOptionInt(const std::string& program, const char* text, const char* option,
                         long long lo, long long hi) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
        BadOption(program, std::string("Invalid value '") + text + "' for " + option +
                               ": expected an integer from " + std::to_string(lo) + " to " +
                               std::to_string(hi) + ".");
    }
    return v;
}

unsigned ParseThreadsOption(const std::string& program, const char* text) {
    return static_cast<unsigned>(ParseOptionInt(program, text, "--threads", 1, 1024));
}

std::uint32_t ParseSeedOption(const std::string& program, const char* text) {
    return static_cast<std::uint32_t>(ParseOptionInt(program, text, "--seed", 0, 4294967295LL));
}

std::vector<std::string> SplitOptionList(const std::string& program, const char* text,
                                         const char* option) {
    std::vector<std::string> items = SplitAt(text, ',');
    for (const std::string& item : items) {
        if (item.empty()) {
            BadOption(program, std::string("Invalid value '") + text + "' for " + option +
                                   ": an item of the comma-separated list is empty.");
        }
    }
    return items;
}

std::vector<long long> ParseOptionIntList(const std::string& program, const char* text,
                                          const char* option, long long lo, long long hi) {
    std::vector<long long> values;
    for (const std::string& item : SplitOptionList(program, text, option)) {
        values.push_back(ParseOptionInt(program, item.c_str(), option, lo, hi));
    }
    return values;
}

double ParseOptionDouble(const std::string& program, const char* text, const char* option,
                         double lo, double hi, bool openLo, bool openHi,
                         const std::string& expected) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    const bool inRange =
        (openLo ? v > lo : v >= lo) && (openHi ? v < hi : v <= hi) && std::isfinite(v);
    if (end == text || *end != '\0' || errno == ERANGE || !inRange) {
        BadOption(program, std::string("Invalid value '") + text + "' for " + option +
                               ": expected " + expected + ".");
    }
    return v;
}

void ParseWindowsOption(const std::string& program, const char* text, const char* option,
                        std::int64_t& size, std::int64_t& step) {
    const std::string spec = text;
    const std::size_t colon = spec.find(':');
    const long long kMax = 1LL << 40;
    const std::string sizeText = spec.substr(0, colon);
    size = ParseOptionInt(program, sizeText.c_str(), (std::string(option) + " (size)").c_str(), 1,
                          kMax);
    step = size;
    if (colon != std::string::npos) {
        const std::string stepText = spec.substr(colon + 1);
        step = ParseOptionInt(program, stepText.c_str(), (std::string(option) + " (step)").c_str(),
                              1, kMax);
        if (step > size) {
            BadOption(program, "Invalid value '" + spec + "' for " + option + ": the step " +
                                   stepText + " is larger than the window " + sizeText +
                                   ", so positions between windows would not count.");
        }
    }
}

void ParseWindowsOrContigOption(const std::string& program, const char* text, std::int64_t& size,
                                std::int64_t& step, bool& wholeContigs) {
    wholeContigs = std::string(text) == "contig";
    if (wholeContigs) {
        size = step = 0;
        return;
    }
    ParseWindowsOption(program, text, "--windows", size, step);
}

double ParseLevelOption(const std::string& program, const char* text) {
    return ParseOptionDouble(program, text, "--level", 0.0, 1.0, true, true,
                             "a number between 0 and 1 (exclusive), such as 0.95");
}

void RefuseGivenTwice(const std::string& program, const std::string& option,
                      const std::string& first, const char* second, const std::string& why) {
    if (!first.empty()) {
        BadOption(program,
                  option + " is given twice ('" + first + "' and '" + second + "'): " + why);
    }
}

std::string OutputFileOption(const std::string& program, const char* value,
                             const std::string& ifNone) {
    const std::string file = value;
    if (file.empty() || file == "-") {
        BadOption(program, ifNone);
    }
    return file;
}

void SetBedFileOption(const std::string& program, std::string& file, const char* value,
                      const char* option) {
    RefuseGivenTwice(program, option, file, value,
                     "a run takes one such BED file; join them into one (cat a.bed b.bed).");
    if (*value == '\0') {
        BadOption(program,
                  std::string("Invalid value '' for ") + option + ": expected a BED file.");
    }
    file = value;
}

void CheckWindowAndBootstrapOptions(const std::string& program, std::int64_t windowSize,
                                    const std::string& windowsFile, const char* bootstrapOnly,
                                    bool bootstrap) {
    if (windowSize > 0 && windowsFile.empty()) {
        BadOption(program, "--windows needs -w/--windows-file FILE for the windows.");
    }
    if (windowSize == 0 && !windowsFile.empty()) {
        BadOption(program, "-w/--windows-file needs --windows SIZE[:STEP].");
    }
    if (bootstrapOnly && !bootstrap) {
        BadOption(program, std::string(bootstrapOnly) +
                               " applies to the block bootstrap: add --ci bootstrap.");
    }
}

std::string BootstrapUsage(std::int64_t blockSize, int replicates, unsigned long seed) {
    return "      --block SIZE         bases per bootstrap block [" + std::to_string(blockSize) +
           "]\n"
           "      --bootstrap B        bootstrap resamples [" +
           std::to_string(replicates) +
           "]\n"
           "      --seed N             seed of the bootstrap's draws [" +
           std::to_string(seed) + "]\n";
}

std::string HelpVersionUsage(const std::string& program) {
    return "  -h, --help               this text\n"
           "  -V, --version            version of " +
           program + " and htslib\n";
}
