#include "scan/scan_options.hpp"

#include <htslib/hts.h>
#include <htslib/sam.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <stdexcept>

#include "common/safe_output.hpp"

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

const std::string kShortOptions = std::string(":w:") + kSharedShortOptions;

const std::vector<option> kLongOptions = ProgramOptionTable({
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
});

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

// A BED file given twice would silently lose the first: one per run, the
// user merges them (intervals of one file may overlap).
void SetOnce(std::string& file, const char* value, const char* option) {
    if (!file.empty()) {
        BadArgs(std::string(option) + " is given twice ('" + file + "' and '" + value +
                "'): a run takes one such BED file; join them into one (cat a.bed b.bed).");
    }
    if (*value == '\0') {
        BadArgs(std::string("Invalid value '' for ") + option + ": expected a BED file.");
    }
    file = value;
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
           "  -t, --threads N          threads for the pileup of alignments, the tables,\n"
           "                           the fits and decompression [1]\n"
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
    while ((c = getopt_long(argc, argv, kShortOptions.c_str(), kLongOptions.data(), nullptr)) !=
           -1) {
        if (c != ':' && c != '?') {
            opts.m_Given.push_back(c);
        }
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
                SetOnce(opts.m_RegionsFile, optarg, "--regions-file");
                break;
            case eMask:
                SetOnce(opts.m_MaskFile, optarg, "--mask");
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
    if (opts.m_WindowsOnly) {
        // Options of the genome-wide table, which this mode does not write.
        for (int given : {static_cast<int>('o'), static_cast<int>(eModel)}) {
            if (opts.Given(given)) {
                BadArgs(OptionName(kLongOptions, given) +
                        " applies to the genome-wide table, which --windows-only does not "
                        "write (the windows, neutral estimates, go to -w).");
            }
        }
        if (opts.m_Bootstrap) {
            BadArgs(
                "--ci bootstrap applies to the genome-wide table, which --windows-only does not "
                "write (the windows have profile-likelihood intervals).");
        }
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

void CheckOptionsForInput(const SScanOptions& opts, EInputKind kind) {
    // Where each option that not every input takes applies; a summary file
    // takes none of them (its runs applied their filters).
    struct SRule {
        int m_Code;
        bool m_Alignments, m_PileupText, m_DataSet;
        const char* m_Why;  // why it does not apply to pileup text or a data set
    };
    const SRule rules[] = {
        {'r', true, false, false,
         "a region is read through the index of alignments; give the positions with "
         "--regions-file BED"},
        {'f', true, false, false,
         "pileup text carries its reference base and a data set its ancestral class"},
        {'q', true, false, false,
         "it holds no mapping qualities; filter the reads where it is made (samtools mpileup -q)"},
        {kSkipFlagsOption, true, false, false,
         "it holds no flags; filter the reads where it is made (samtools mpileup --ff)"},
        {kInclFlagsOption, true, false, false,
         "it holds no flags; filter the reads where it is made (samtools mpileup --rf)"},
        {'x', true, false, false,
         "it holds no read pairs; choose the overlap rule where it is made (samtools mpileup "
         "-x)"},
        {'Q', true, true, false, "a data set's scores are taken as they are"},
        {'d', true, true, true, ""},
        {'D', true, true, true, ""},
        {eRegionsFile, true, true, true, ""},
        {eMask, true, true, true, ""},
        {eContig, false, false, true,
         "only a data set's sites lack a contig name; the other inputs name their contigs"},
    };
    if (kind != EInputKind::eAlignment && opts.m_WindowSize > 0 &&
        (opts.m_WindowSize - 1) / opts.m_WindowStep + 1 > kMaxWindowsPerPosition) {
        BadArgs("--windows " + std::to_string(opts.m_WindowSize) + ":" +
                std::to_string(opts.m_WindowStep) + " puts each position into up to " +
                std::to_string((opts.m_WindowSize - 1) / opts.m_WindowStep + 1) + " windows; " +
                InputKindName(kind) + " gives no contig lengths, so at most " +
                std::to_string(kMaxWindowsPerPosition) +
                " are allowed: take a larger step (or read the alignments, whose header gives "
                "the lengths).");
    }
    for (const SRule& r : rules) {
        if (!opts.Given(r.m_Code)) {
            continue;
        }
        const bool applies = kind == EInputKind::eAlignment     ? r.m_Alignments
                             : kind == EInputKind::eMpileupText ? r.m_PileupText
                             : kind == EInputKind::eXmlDataSet  ? r.m_DataSet
                                                                : false;
        if (applies) {
            continue;
        }
        const std::string why =
            kind == EInputKind::eSiteFile
                ? "summary files hold the sites their runs kept, so give it to those runs"
                : r.m_Why;
        BadArgs(OptionName(kLongOptions, r.m_Code) + " does not apply to " + InputKindName(kind) +
                ": " + why + ".");
    }
}

namespace {

// Whether output to path goes where standard output goes (its name, or the
// pipe, file or terminal behind descriptor 1). The null device takes any
// number of outputs.
bool IsStandardOutput(const std::string& path) {
    if (path == "-") {
        return true;
    }
    struct stat named, standard, null;
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &standard) == 0 &&
           named.st_dev == standard.st_dev && named.st_ino == standard.st_ino &&
           !(S_ISCHR(named.st_mode) && ::stat("/dev/null", &null) == 0 &&
             null.st_rdev == named.st_rdev);
}

}  // namespace

void CheckOutputs(const SScanOptions& opts) {
    const bool tableToStandardOutput =
        !opts.m_WindowsOnly && (opts.m_Output.empty() || opts.m_Output == "-");
    if (tableToStandardOutput && opts.m_WindowSize > 0 && IsStandardOutput(opts.m_WindowsOutput)) {
        BadArgs("The windows (-w " + opts.m_WindowsOutput +
                ") and the table both go to standard output, where they would mix: give one of "
                "them a file (-w FILE or -o FILE).");
    }
    std::vector<std::string> inputs = opts.m_Pileup.m_Inputs;
    for (const std::string& read :
         {opts.m_Pileup.m_Reference, opts.m_RegionsFile, opts.m_MaskFile}) {
        inputs.push_back(read);
    }
    CheckOutputsDistinct({{"the table (-o)", opts.m_WindowsOnly ? std::string() : opts.m_Output},
                          {"the windows file (-w)", opts.m_WindowsOutput},
                          {"the summary file (--save-sites)", opts.m_SaveSites}},
                         inputs);
}
