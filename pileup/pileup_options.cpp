#include "pileup/pileup_options.hpp"

#include <htslib/hts.h>
#include <htslib/sam.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <ostream>
#include <stdexcept>

#ifndef QUALPILEUP_VERSION
#define QUALPILEUP_VERSION "unknown"
#endif

namespace {

const std::string kShortOptions = std::string(":") + kSharedShortOptions;

const std::vector<option> kLongOptions = ProgramOptionTable({});

const char kProgram[] = "qualpileup";

}  // namespace

std::vector<option> ProgramOptionTable(std::initializer_list<option> own) {
    std::vector<option> table(own);
    const option shared[] = {
        {"output", required_argument, nullptr, 'o'},
        {"region", required_argument, nullptr, 'r'},
        {"reference", required_argument, nullptr, 'f'},
        {"fasta-ref", required_argument, nullptr, 'f'},
        {"min-MQ", required_argument, nullptr, 'q'},
        {"min-mq", required_argument, nullptr, 'q'},
        {"min-BQ", required_argument, nullptr, 'Q'},
        {"min-bq", required_argument, nullptr, 'Q'},
        {"min-depth", required_argument, nullptr, 'd'},
        {"max-depth", required_argument, nullptr, 'D'},
        {"skip-flags", required_argument, nullptr, kSkipFlagsOption},
        {"ff", required_argument, nullptr, kSkipFlagsOption},
        {"incl-flags", required_argument, nullptr, kInclFlagsOption},
        {"rf", required_argument, nullptr, kInclFlagsOption},
        {"ignore-overlaps", no_argument, nullptr, 'x'},
        {"no-progress", no_argument, nullptr, 'P'},
        {"threads", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
    };
    table.insert(table.end(), std::begin(shared), std::end(shared));
    table.push_back(option{nullptr, 0, nullptr, 0});
    return table;
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

std::vector<std::string> SplitOptionList(const std::string& program, const char* text,
                                         const char* option) {
    std::vector<std::string> items;
    const std::string spec = text;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = spec.find(',', start);
        items.push_back(spec.substr(start, comma - start));
        if (items.back().empty()) {
            BadOption(program, std::string("Invalid value '") + text + "' for " + option +
                                   ": an item of the comma-separated list is empty.");
        }
        if (comma == std::string::npos) {
            return items;
        }
        start = comma + 1;
    }
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

std::uint32_t ParseOptionFlags(const std::string& program, const char* text, const char* option) {
    const int v = bam_str2flag(text);
    if (*text == '\0' || v < 0 || v > 0xffff) {
        BadOption(program, std::string("Invalid flags '") + text + "' for " + option +
                               ": expected a number or names such as "
                               "UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY.");
    }
    return static_cast<std::uint32_t>(v);
}

std::string FlagNames(std::uint32_t flags) {
    char* s = bam_flag2str(static_cast<int>(flags));
    std::string names = s ? s : "";
    std::free(s);
    return names;
}

bool ApplyAlignmentOption(const std::string& program, int c, const char* arg,
                          SPileupOptions& opts) {
    switch (c) {
        case 'r':
            if (!opts.m_Region.empty()) {
                BadOption(program, "-r/--region is given twice ('" + opts.m_Region + "' and '" +
                                       arg + "'): a run reads one region.");
            }
            if (*arg == '\0') {
                BadOption(program,
                          "Invalid value '' for --region: expected chr, chr:beg or "
                          "chr:beg-end.");
            }
            opts.m_Region = arg;
            return true;
        case 'f':
            opts.m_Reference = arg;
            return true;
        case 'q':
            opts.m_MinMapQ = static_cast<int>(ParseOptionInt(program, arg, "--min-MQ", 0, 255));
            return true;
        case 'Q':
            opts.m_MinBaseQ = static_cast<int>(ParseOptionInt(program, arg, "--min-BQ", 0, 255));
            return true;
        case 'd':
            opts.m_MinDepth =
                static_cast<unsigned>(ParseOptionInt(program, arg, "--min-depth", 0, 1000000000));
            return true;
        case 'D':
            opts.m_MaxDepth =
                static_cast<unsigned>(ParseOptionInt(program, arg, "--max-depth", 0, 1000000000));
            return true;
        case kSkipFlagsOption:
            opts.m_SkipFlags = ParseOptionFlags(program, arg, "--skip-flags");
            return true;
        case kInclFlagsOption:
            opts.m_RequireFlags = ParseOptionFlags(program, arg, "--incl-flags");
            return true;
        case 'x':
            opts.m_KeepOverlaps = true;
            return true;
        case 'P':
            opts.m_Progress = false;
            return true;
        default:
            return false;
    }
}

void CheckAlignmentOptions(const std::string& program, const SPileupOptions& opts) {
    if (opts.m_Inputs.empty()) {
        BadOption(program, "No input file given.");
    }
    if (opts.m_MaxDepth != 0 && opts.m_MaxDepth < opts.m_MinDepth) {
        BadOption(program, "--max-depth " + std::to_string(opts.m_MaxDepth) +
                               " is below --min-depth " + std::to_string(opts.m_MinDepth) + ".");
    }
}

std::string PileupUsage() {
    SPileupOptions d;
    return "Usage: qualpileup [options] in1.bam [in2.bam ...]\n"
           "\n"
           "Turns aligned reads (SAM, BAM or CRAM, sorted by coordinate) into the\n"
           "quality-score data-set document that qualfit reads. Several input files are\n"
           "pooled as reads of one population sample.\n"
           "\n"
           "Options (default in brackets):\n"
           "  -o, --output FILE        write the document to FILE, replaced only when\n"
           "                           complete; FILE.gz is compressed (BGZF)\n"
           "                           [standard output]\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs an index [all contigs]\n"
           "  -f, --reference FILE     FASTA with .fai index; gives the reference base\n"
           "                           and decodes CRAM [none: the most common base at a\n"
           "                           site is the reference base]\n"
           "  -q, --min-MQ INT         skip reads with mapping quality below INT [" +
           std::to_string(d.m_MinMapQ) +
           "]\n"
           "  -Q, --min-BQ INT         skip bases with quality below INT [" +
           std::to_string(d.m_MinBaseQ) +
           "]\n"
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS (number or names) [" +
           FlagNames(d.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS\n"
           "                           [none: no flag required]\n"
           "  -d, --min-depth INT      leave out sites with fewer reads after filtering\n"
           "                           [" +
           std::to_string(d.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      leave out sites with more reads after filtering;\n"
           "                           0 means no limit [0]\n"
           "  -x, --ignore-overlaps    count both mates of a read pair where they overlap\n"
           "                           [off: the later mate is skipped there]\n"
           "  -P, --no-progress        no progress line, even on a terminal [shown on a\n"
           "                           terminal, at most once a second]\n"
           "  -t, --threads INT        threads for the pileup and decompression; indexed\n"
           "                           inputs are piled up in chunks, one per thread at a\n"
           "                           time; the document is the same for every INT [" +
           std::to_string(d.m_Threads) +
           "]\n"
           "      --fasta-ref, --min-mq, --min-bq\n"
           "                           the same as --reference, --min-MQ, --min-BQ\n"
           "  -h, --help               this text\n"
           "  -V, --version            version of qualpileup and htslib\n"
           "\n"
           "Unmapped reads, deletions, reference skips and N bases never count. Reads\n"
           "without base qualities ('*') are skipped. A summary of what was written and\n"
           "left out goes to standard error.\n";
}

std::string PileupVersion() {
    return std::string("qualpileup ") + QUALPILEUP_VERSION + "\nUsing htslib " + hts_version() +
           "\n";
}

EParseResult ParsePileupArgs(int argc, char* argv[], SPileupOptions& opts, std::ostream& out) {
    optind = 0;  // restart getopt's scan (GNU), so the parser can run more than once
    opterr = 0;  // errors are reported by us, with the option's name
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions.c_str(), kLongOptions.data(), nullptr)) !=
           -1) {
        if (ApplyAlignmentOption(kProgram, c, optarg, opts)) {
            continue;
        }
        switch (c) {
            case 'o':
                opts.m_Output = optarg;
                break;
            case 't':
                opts.m_Threads =
                    static_cast<unsigned>(ParseOptionInt(kProgram, optarg, "--threads", 1, 1024));
                break;
            case 'h':
                out << PileupUsage();
                return EParseResult::eHelp;
            case 'V':
                out << PileupVersion();
                return EParseResult::eVersion;
            case ':':
                BadOption(kProgram, std::string("Option ") + argv[optind - 1] + " needs a value.");
            default:
                if (optopt != 0 && optopt < 256) {
                    BadOption(kProgram,
                              std::string("Unknown option -") + static_cast<char>(optopt) + ".");
                }
                BadOption(kProgram, std::string("Unknown option ") + argv[optind - 1] + ".");
        }
    }
    for (int i = optind; i < argc; ++i) {
        opts.m_Inputs.emplace_back(argv[i]);
    }
    CheckAlignmentOptions(kProgram, opts);
    return EParseResult::eRun;
}
