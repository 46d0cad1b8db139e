#include "pileup/pileup_options.hpp"

#include <getopt.h>
#include <htslib/hts.h>
#include <htslib/sam.h>

#include <cerrno>
#include <cstdlib>
#include <ostream>
#include <stdexcept>

#ifndef QUALPILEUP_VERSION
#define QUALPILEUP_VERSION "unknown"
#endif

namespace {

enum ELongOnly { eSkipFlags = 256, eInclFlags };

const char kShortOptions[] = ":o:r:f:q:Q:d:D:xPhV";

const struct option kLongOptions[] = {
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
    {"skip-flags", required_argument, nullptr, eSkipFlags},
    {"ff", required_argument, nullptr, eSkipFlags},
    {"incl-flags", required_argument, nullptr, eInclFlags},
    {"rf", required_argument, nullptr, eInclFlags},
    {"ignore-overlaps", no_argument, nullptr, 'x'},
    {"no-progress", no_argument, nullptr, 'P'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void BadArgs(const std::string& what) {
    throw std::runtime_error(what + "\nTry 'qualpileup --help' for the options.");
}

// A whole decimal integer within [lo, hi]; anything else is an error naming
// the option.
long ParseInt(const char* text, const char* option, long lo, long hi) {
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
        BadArgs(std::string("Invalid value '") + text + "' for " + option +
                ": expected an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
                ".");
    }
    return v;
}

// Flags as samtools accepts them: a number (decimal, 0x hex or 0 octal) or a
// comma-separated list of names such as UNMAP,DUP.
std::uint32_t ParseFlags(const char* text, const char* option) {
    int v = bam_str2flag(text);
    if (*text == '\0' || v < 0 || v > 0xffff) {
        BadArgs(std::string("Invalid flags '") + text + "' for " + option +
                ": expected a number or names such as UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY.");
    }
    return static_cast<std::uint32_t>(v);
}

std::string FlagNames(std::uint32_t flags) {
    char* s = bam_flag2str(static_cast<int>(flags));
    std::string names = s ? s : "";
    std::free(s);
    return names;
}

}  // namespace

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
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'o':
                opts.m_Output = optarg;
                break;
            case 'r':
                opts.m_Region = optarg;
                break;
            case 'f':
                opts.m_Reference = optarg;
                break;
            case 'q':
                opts.m_MinMapQ = static_cast<int>(ParseInt(optarg, "--min-MQ", 0, 255));
                break;
            case 'Q':
                opts.m_MinBaseQ = static_cast<int>(ParseInt(optarg, "--min-BQ", 0, 255));
                break;
            case 'd':
                opts.m_MinDepth =
                    static_cast<unsigned>(ParseInt(optarg, "--min-depth", 0, 1000000000));
                break;
            case 'D':
                opts.m_MaxDepth =
                    static_cast<unsigned>(ParseInt(optarg, "--max-depth", 0, 1000000000));
                break;
            case eSkipFlags:
                opts.m_SkipFlags = ParseFlags(optarg, "--skip-flags");
                break;
            case eInclFlags:
                opts.m_RequireFlags = ParseFlags(optarg, "--incl-flags");
                break;
            case 'x':
                opts.m_KeepOverlaps = true;
                break;
            case 'P':
                opts.m_Progress = false;
                break;
            case 'h':
                out << PileupUsage();
                return EParseResult::eHelp;
            case 'V':
                out << PileupVersion();
                return EParseResult::eVersion;
            case ':':
                BadArgs(std::string("Option ") + argv[optind - 1] + " needs a value.");
            default:
                if (optopt != 0 && optopt < 256) {
                    BadArgs(std::string("Unknown option -") + static_cast<char>(optopt) + ".");
                }
                BadArgs(std::string("Unknown option ") + argv[optind - 1] + ".");
        }
    }
    for (int i = optind; i < argc; ++i) {
        opts.m_Inputs.emplace_back(argv[i]);
    }
    if (opts.m_Inputs.empty()) {
        BadArgs("No input file given.");
    }
    if (opts.m_MaxDepth != 0 && opts.m_MaxDepth < opts.m_MinDepth) {
        BadArgs("--max-depth " + std::to_string(opts.m_MaxDepth) + " is below --min-depth " +
                std::to_string(opts.m_MinDepth) + ".");
    }
    return EParseResult::eRun;
}
