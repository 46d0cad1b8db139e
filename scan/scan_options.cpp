#include "scan/scan_options.hpp"

#include <getopt.h>
#include <htslib/hts.h>
#include <htslib/sam.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <stdexcept>

#ifndef QUALSCAN_VERSION
#define QUALSCAN_VERSION "unknown"
#endif

namespace {

enum ELongOnly {
    eWindows = kFirstProgramOption,
    eWindowsOnly,
    eModel,
    eLevel,
    ePoolSize,
    eUnfolded,
    eContig,
    eCi,
    eBlock,
    eBootstrap,
    eSeed,
    eSaveSites,
    eRegionsFile,
    eMask,
};

const char kShortOptions[] = ":o:w:t:r:f:q:Q:d:D:xPhV";

const struct option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"windows-file", required_argument, nullptr, 'w'},
    {"windows", required_argument, nullptr, eWindows},
    {"windows-only", no_argument, nullptr, eWindowsOnly},
    {"model", required_argument, nullptr, eModel},
    {"level", required_argument, nullptr, eLevel},
    {"pool-size", required_argument, nullptr, ePoolSize},
    {"unfolded", no_argument, nullptr, eUnfolded},
    {"contig", required_argument, nullptr, eContig},
    {"ci", required_argument, nullptr, eCi},
    {"block", required_argument, nullptr, eBlock},
    {"bootstrap", required_argument, nullptr, eBootstrap},
    {"seed", required_argument, nullptr, eSeed},
    {"save-sites", required_argument, nullptr, eSaveSites},
    {"regions-file", required_argument, nullptr, eRegionsFile},
    {"mask", required_argument, nullptr, eMask},
    {"threads", required_argument, nullptr, 't'},
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
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

const char kProgram[] = "qualscan";

[[noreturn]] void BadArgs(const std::string& what) {
    BadOption(kProgram, what);
}

long long ParseInt(const char* text, const char* option, long long lo, long long hi) {
    return ParseOptionInt(kProgram, text, option, lo, hi);
}

// SIZE or SIZE:STEP, whole numbers of bases, 1 <= STEP <= SIZE.
void ParseWindows(const char* text, SScanOptions& opts) {
    ParseWindowsOption(kProgram, text, "--windows", opts.m_WindowSize, opts.m_WindowStep);
}

double ParseLevel(const char* text) {
    return ParseOptionDouble(kProgram, text, "--level", 0.0, 1.0, true, true,
                             "a number between 0 and 1 (exclusive), such as 0.95");
}

}  // namespace

std::string ScanUsage() {
    SScanOptions d;
    const SPileupOptions& p = d.m_Pileup;
    return "Usage: qualscan [options] in1.bam [in2.bam ...]\n"
           "       qualscan [options] data.xml      (a data set of qualpileup, qualgen or\n"
           "                                         qualfit -o, plain or gzip; - reads\n"
           "                                         standard input)\n"
           "       qualscan [options] a.sites [b.sites ...]\n"
           "                                        (summary files of --save-sites, in genome\n"
           "                                         order, fitted as one run)\n"
           "\n"
           "Estimates theta of the neutral spectrum and theta and the growth rate of the\n"
           "exponential-growth spectrum from quality-scored reads, with profile-likelihood\n"
           "intervals and a likelihood-ratio test for growth, genome-wide and in windows.\n"
           "The kind of input is recognised by its content. Several alignment files are\n"
           "pooled as reads of one population sample.\n"
           "\n"
           "Output (default in brackets):\n"
           "  -o, --output FILE        the genome-wide table [standard output]\n"
           "      --model MODEL        neutral, growth or both [both]\n"
           "      --level L            confidence level of the intervals, 0 < L < 1 [0.95]\n"
           "      --windows SIZE[:STEP]\n"
           "                           neutral estimate in windows of SIZE bases, one every\n"
           "                           STEP bases [STEP = SIZE]; needs -w\n"
           "  -w, --windows-file FILE  where the windows go (BED-like, 0-based starts)\n"
           "      --windows-only       no genome-wide table: memory bounded by one window\n"
           "      --ci profile|bootstrap\n"
           "                           intervals from the profile likelihood, or the\n"
           "                           percentile interval of a block bootstrap, which\n"
           "                           accounts for linked sites [profile]\n"
           "      --block SIZE         bases per bootstrap block [" +
           std::to_string(d.m_BlockSize) +
           "]\n"
           "      --bootstrap B        bootstrap resamples [" +
           std::to_string(d.m_Replicates) +
           "]\n"
           "      --seed N             seed of the bootstrap's draws [" +
           std::to_string(d.m_Seed) +
           "]\n"
           "      --save-sites FILE    also write the per-site summaries to FILE (BGZF);\n"
           "                           qualscan reads such files, several at once, as if\n"
           "                           it had read all their sites in one run\n"
           "\n"
           "Model:\n"
           "      --pool-size N        the reads come from a pool of N >= 2 chromosomes\n"
           "                           [every read is a chromosome of its own]\n"
           "      --unfolded           the reference base is ancestral (-f for alignments,\n"
           "                           class 0 for a data set) [folded: the base seen most\n"
           "                           often is the reference]\n"
           "      --contig NAME        contig name of a data set's sites [.]\n"
           "  -t, --threads N          threads for tables, fits and decompression [1]\n"
           "\n"
           "Positions (any input):\n"
           "      --regions-file BED   only positions in these intervals (BED: contig, 0-based\n"
           "                           start, end; plain or gzip) [all]\n"
           "      --mask BED           never positions in these intervals [none]\n"
           "\n"
           "Alignments (as qualpileup):\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs an index [all contigs]\n"
           "  -f, --reference FILE     FASTA with .fai index; gives the reference base\n"
           "                           and decodes CRAM [none]\n"
           "  -q, --min-MQ INT         skip reads with mapping quality below INT [" +
           std::to_string(p.m_MinMapQ) +
           "]\n"
           "  -Q, --min-BQ INT         skip bases with quality below INT [" +
           std::to_string(p.m_MinBaseQ) +
           "]\n"
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS (number or names) [" +
           FlagNames(p.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS [none]\n"
           "  -d, --min-depth INT      leave out sites with fewer reads after filtering\n"
           "                           (any input) [" +
           std::to_string(p.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      leave out sites with more reads after filtering\n"
           "                           (any input); 0 means no limit [0]\n"
           "  -x, --ignore-overlaps    count both mates of a read pair where they overlap\n"
           "                           [off: the later mate is skipped there]\n"
           "  -P, --no-progress        no progress line, even on a terminal [shown on a\n"
           "                           terminal, at most once a second]\n"
           "  -h, --help               this text\n"
           "  -V, --version            version of qualscan and htslib\n";
}

std::string ScanVersion() {
    return std::string("qualscan ") + QUALSCAN_VERSION + "\nUsing htslib " + hts_version() + "\n";
}

EParseResult ParseScanArgs(int argc, char* argv[], SScanOptions& opts, std::ostream& out) {
    optind = 0;  // restart getopt's scan (GNU), so the parser can run more than once
    opterr = 0;  // errors are reported by us, with the option's name
    SPileupOptions& p = opts.m_Pileup;
    const char* bootstrapOnly = nullptr;  // a bootstrap option given
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        if (ApplyAlignmentOption(kProgram, c, optarg, p)) {
            continue;
        }
        switch (c) {
            case 'o':
                opts.m_Output = optarg;
                break;
            case 'w':
                opts.m_WindowsOutput = optarg;
                break;
            case eWindows:
                ParseWindows(optarg, opts);
                break;
            case eWindowsOnly:
                opts.m_WindowsOnly = true;
                break;
            case eModel: {
                const std::string m = optarg;
                if (m == "neutral") {
                    opts.m_Models = EScanModels::eNeutral;
                } else if (m == "growth") {
                    opts.m_Models = EScanModels::eGrowth;
                } else if (m == "both") {
                    opts.m_Models = EScanModels::eBoth;
                } else {
                    BadArgs("Invalid value '" + m +
                            "' for --model: expected neutral, growth or both.");
                }
                break;
            }
            case eLevel:
                opts.m_Level = ParseLevel(optarg);
                break;
            case ePoolSize:
                opts.m_PoolSize = static_cast<unsigned>(ParseInt(optarg, "--pool-size", 2, 100000));
                break;
            case eUnfolded:
                opts.m_Unfolded = true;
                break;
            case eContig:
                opts.m_Contig = optarg;
                if (opts.m_Contig.empty() ||
                    opts.m_Contig.find_first_of(" \t\n\r") != std::string::npos) {
                    BadArgs("Invalid value '" + opts.m_Contig +
                            "' for --contig: a contig name is one word without blanks.");
                }
                break;
            case eCi: {
                const std::string m = optarg;
                if (m != "profile" && m != "bootstrap") {
                    BadArgs("Invalid value '" + m + "' for --ci: expected profile or bootstrap.");
                }
                opts.m_Bootstrap = m == "bootstrap";
                break;
            }
            case eBlock:
                bootstrapOnly = "--block";
                opts.m_BlockSize = ParseInt(optarg, "--block", 1, 1LL << 40);
                break;
            case eBootstrap:
                bootstrapOnly = "--bootstrap";
                opts.m_Replicates = static_cast<int>(ParseInt(optarg, "--bootstrap", 1, 1000000));
                break;
            case eSeed:
                bootstrapOnly = "--seed";
                opts.m_Seed =
                    static_cast<unsigned long>(ParseInt(optarg, "--seed", 0, 4294967295LL));
                break;
            case eSaveSites:
                opts.m_SaveSites = optarg;
                if (opts.m_SaveSites.empty() || opts.m_SaveSites == "-") {
                    BadArgs(
                        "--save-sites needs a file name: the summaries are not written to "
                        "standard output, where the table goes.");
                }
                break;
            case eRegionsFile:
                opts.m_RegionsFile = optarg;
                break;
            case eMask:
                opts.m_MaskFile = optarg;
                break;
            case 't':
                opts.m_Threads = static_cast<unsigned>(ParseInt(optarg, "--threads", 1, 1024));
                break;
            case 'h':
                out << ScanUsage();
                return EParseResult::eHelp;
            case 'V':
                out << ScanVersion();
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
        p.m_Inputs.emplace_back(argv[i]);
    }
    CheckAlignmentOptions(kProgram, p);
    if (opts.m_WindowSize > 0 && opts.m_WindowsOutput.empty()) {
        BadArgs("--windows needs -w/--windows-file FILE for the windows.");
    }
    if (opts.m_WindowSize == 0 && !opts.m_WindowsOutput.empty()) {
        BadArgs("-w/--windows-file needs --windows SIZE[:STEP].");
    }
    if (bootstrapOnly && !opts.m_Bootstrap) {
        BadArgs(std::string(bootstrapOnly) +
                " applies to the block bootstrap: add --ci bootstrap.");
    }
    if (opts.m_WindowsOnly && opts.m_WindowSize == 0) {
        BadArgs("--windows-only needs --windows SIZE[:STEP] and -w FILE.");
    }
    return EParseResult::eRun;
}

SSiteFileSettings RunSettings(const SScanOptions& opts, const std::string& input) {
    const SPileupOptions& p = opts.m_Pileup;
    SSiteFileSettings s;
    s.version = QUALSCAN_VERSION;
    s.folded = !opts.m_Unfolded;
    s.poolSize = static_cast<int>(opts.m_PoolSize);
    s.blockSize = opts.m_BlockSize;
    s.minMapQ = p.m_MinMapQ;
    s.minBaseQ = p.m_MinBaseQ;
    s.skipFlags = p.m_SkipFlags;
    s.requireFlags = p.m_RequireFlags;
    s.minDepth = p.m_MinDepth;
    s.maxDepth = p.m_MaxDepth;
    s.keepOverlaps = p.m_KeepOverlaps;
    s.region = p.m_Region;
    s.reference = p.m_Reference;
    s.input = input;
    return s;
}

SSiteFileSettings SavedAgain(const SSiteFileSettings& first, const SScanOptions& opts,
                             std::size_t files) {
    SSiteFileSettings s = first;
    s.version = QUALSCAN_VERSION;
    s.blockSize = opts.m_BlockSize;
    if (files > 1) {
        s.region = "(" + std::to_string(files) + " summary files)";
    }
    s.input = "summary files";
    return s;
}
