#include "scan/scan_options.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <stdexcept>

#include "base/input_error.hpp"
#include "common/safe_output.hpp"
#include "io/input_options.hpp"
#include "pool/pool_sheet.hpp"

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
    ePerSample,
    eMergeSamples,
    eSamples,
    eSurface,
    eMinSites,
    eWindowsBed,
    ePools,
};

const std::string kShortOptions = std::string("w:") + kSharedShortOptions;

const std::vector<option> kLongOptions = ProgramOptionTable({
    {"windows-file", required_argument, nullptr, 'w'},
    {"pools", required_argument, nullptr, ePools},
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
    {"per-sample", no_argument, nullptr, ePerSample},
    {"merge-samples", no_argument, nullptr, eMergeSamples},
    {"samples", required_argument, nullptr, eSamples},
    {"surface", required_argument, nullptr, eSurface},
    {"min-sites", required_argument, nullptr, eMinSites},
    {"windows-bed", required_argument, nullptr, eWindowsBed},
});

const char kProgram[] = "qualscan";

[[noreturn]] void BadArgs(const std::string& what) {
    BadOption(kProgram, what);
}

long long ParseInt(const char* text, const char* option, long long lo, long long hi) {
    return ParseOptionInt(kProgram, text, option, lo, hi);
}

}  // namespace

void ApplyPoolsSheet(SScanOptions& opts) {
    // What the sheet gives may not come from the command line too: two
    // sources of one setting would leave one silently unused.
    const std::pair<int, const char*> twice[] = {
        {ePoolSize, "--pools gives every pool's size: --pool-size does not apply."},
        {eSamples, "--pools names the pools: --samples does not apply."},
        {eMergeSamples,
         "--pools keeps every pool of the sheet apart: --merge-samples does not apply (a pool "
         "of the sheet may have many files, its lanes)."},
    };
    for (const auto& [code, why] : twice) {
        if (opts.Given(code)) {
            BadArgs(why);
        }
    }
    if (!opts.m_Pileup.m_Inputs.empty()) {
        BadArgs("--pools names the pools' files: give no input files with it.");
    }
    SPileupOptions& p = opts.m_Pileup;
    for (const SPoolSpec& pool : ReadPoolSheet(opts.m_PoolsSheet, 1, kProgram)) {
        p.m_SheetSamples.push_back(pool.m_Name);
        opts.m_PoolSizes.push_back(pool.m_Size);
        for (const std::string& f : pool.m_Files) {
            p.m_Inputs.push_back(f);
            p.m_FileSample.push_back(static_cast<int>(p.m_SheetSamples.size()) - 1);
        }
    }
    opts.m_PerSample = true;
}

namespace {

// The blocks of the --help text, each ending with a blank line but the last.
std::string ScanUsageOutput() {
    const SScanOptions d;
    return "Output (default in brackets):\n"
           "  -o, --output FILE        the genome-wide table [standard output]\n"
           "      --model MODEL        neutral, growth or both [both]\n"
           "      --level L            confidence level of the intervals, 0 < L < 1 [0.95]\n"
           "      --windows SIZE[:STEP]\n"
           "                           neutral estimate in windows of SIZE bases, one every\n"
           "                           STEP bases [STEP = SIZE]; needs -w\n"
           "      --windows contig     one window per contig, the whole of it\n"
           "      --windows-bed BED    one window per line of BED (genes, say: contig,\n"
           "                           0-based start, end; each contig's lines in order of\n"
           "                           their starts), the rows in the genome's order\n"
           "  -w, --windows-file FILE  where the windows go (BED-like, 0-based starts)\n"
           "      --windows-only       no genome-wide table: memory bounded by one window\n"
           "      --min-sites N        a window of fewer sites is written with NA estimates\n"
           "                           (its row and site count kept), so that a scaffold's\n"
           "                           few sites do not stand out as outliers [" +
           std::to_string(d.m_MinSites) +
           ": every\n"
           "                           window with a site, as before the option; its\n"
           "                           interval shows how little a few sites say]\n"
           "      --ci profile|bootstrap\n"
           "                           intervals from the profile likelihood, or the\n"
           "                           percentile interval of a block bootstrap, which\n"
           "                           accounts for linked sites [profile]\n" +
           BootstrapUsage(d.m_BlockSize, d.m_Replicates, d.m_Seed) +
           "      --save-sites FILE    also write the per-site summaries to FILE (BGZF);\n"
           "                           qualscan reads such files, several at once, as if\n"
           "                           it had read all their sites in one run, with the\n"
           "                           pool size, folding and filters they record; with\n"
           "                           --per-sample one file per sample, FILE with the\n"
           "                           sample's name before its extension (a.sites:\n"
           "                           a.NAME.sites), each open until the end (2 open\n"
           "                           files a sample: see ulimit -n)\n"
           "      --surface FILE       the growth model's log-likelihood on a grid of theta\n"
           "                           and growth rate around its estimate (for\n"
           "                           scripts/plot_landscape)\n"
           "\n";
}

std::string ScanUsageModel() {
    return "Samples:\n"
           "      --per-sample         estimate every sample apart: a sample column first in\n"
           "                           the table, the windows and the surface, one row per\n"
           "                           sample and model in the order of the samples\n"
           "      --merge-samples      pool every sample into one estimate\n"
           "      --samples NAME,...   names of the pileup text's sample columns\n"
           "                           [sample1, sample2, ...]\n"
           "\n"
           "Model:\n"
           "      --pool-size N[,N...] the reads come from a pool of N >= 2 chromosomes; one\n"
           "                           size for all samples or one per sample (--per-sample)\n"
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
           "\n";
}

std::string ScanUsageAlignments() {
    const SPileupOptions p;
    return "Alignments (as qualpileup):\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs an index [all contigs]\n"
           "  -f, --reference FILE     FASTA with .fai index; gives the reference base\n"
           "                           and decodes CRAM [none]\n" +
           ReadQualityUsage() +
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS (number or names) [" +
           FlagNames(p.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS [none]\n"
           "  -d, --min-depth INT      leave out sites with fewer reads after filtering\n"
           "                           (any input; per sample with --per-sample) [" +
           std::to_string(p.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      leave out sites with more reads after filtering\n"
           "                           (any input); 0 means no limit [0]\n" +
           OverlapsUsage() +
           "  -P, --no-progress        no progress line, even on a terminal [shown on a\n"
           "                           terminal, at most once a second]\n" +
           HelpVersionUsage("qualscan");
}

}  // namespace

std::string ScanUsage() {
    return "Usage: qualscan [options] in1.bam [in2.bam ...]\n"
           "       qualscan [options] --pools SHEET (pools of alignments, each estimated\n"
           "                                         apart: name, size, files)\n"
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
           "The kind of input is recognised by its content. A sample is the SM of a read\n"
           "group: lanes of one sample, and files without read groups, are pooled as one\n"
           "population sample; alignments of several samples need --per-sample or\n"
           "--merge-samples.\n"
           "\n" +
           ScanUsageOutput() + ScanUsageModel() + ScanUsageAlignments();
}

std::string ScanVersion() {
    return ProgramVersion("qualscan", QUALSCAN_VERSION);
}

namespace {

// The options of the outputs: the table, the windows, the surface and the
// summary files.
bool ApplyOutputOption(int c, const char* arg, SScanOptions& opts) {
    switch (c) {
        case 'o':
            opts.m_Output = arg;
            return true;
        case 'w':
            opts.m_WindowsOutput = arg;
            return true;
        case eWindows:
            ParseWindowsOrContigOption(kProgram, arg, opts.m_WindowSize, opts.m_WindowStep,
                                       opts.m_ContigWindows);
            return true;
        case eWindowsOnly:
            opts.m_WindowsOnly = true;
            return true;
        case eWindowsBed:
            SetBedFileOption(kProgram, opts.m_WindowsBed, arg, "--windows-bed");
            return true;
        case eMinSites:
            opts.m_MinSites =
                static_cast<std::uint64_t>(ParseInt(arg, "--min-sites", 1, 1LL << 40));
            return true;
        case eSurface:
            opts.m_Surface = OutputFileOption(kProgram, arg,
                                              "--surface needs a file name: the surface is not "
                                              "written to standard output, where the table goes.");
            return true;
        case eSaveSites:
            opts.m_SaveSites =
                OutputFileOption(kProgram, arg,
                                 "--save-sites needs a file name: the summaries are not written "
                                 "to standard output, where the table goes.");
            return true;
        default:
            return false;
    }
}

// --model NAME.
EScanModels ParseModels(const std::string& m) {
    if (m == "neutral") {
        return EScanModels::eNeutral;
    }
    if (m == "growth") {
        return EScanModels::eGrowth;
    }
    if (m != "both") {
        BadArgs("Invalid value '" + m + "' for --model: expected neutral, growth or both.");
    }
    return EScanModels::eBoth;
}

// The options of the model and its intervals, and the threads.
// bootstrapOnly becomes the bootstrap option given last (it needs --ci
// bootstrap).
bool ApplyModelOption(int c, const char* arg, SScanOptions& opts, const char*& bootstrapOnly) {
    switch (c) {
        case eModel:
            opts.m_Models = ParseModels(arg);
            return true;
        case eLevel:
            opts.m_Level = ParseLevelOption(kProgram, arg);
            return true;
        case ePoolSize:
            opts.m_PoolSizes.clear();
            for (long long n : ParseOptionIntList(kProgram, arg, "--pool-size", 2, 100000)) {
                opts.m_PoolSizes.push_back(static_cast<unsigned>(n));
            }
            return true;
        case eUnfolded:
            opts.m_Unfolded = true;
            return true;
        case eContig:
            opts.m_Contig = arg;
            if (opts.m_Contig.empty() ||
                opts.m_Contig.find_first_of(" \t\n\r") != std::string::npos) {
                BadArgs("Invalid value '" + opts.m_Contig +
                        "' for --contig: a contig name is one word without blanks.");
            }
            return true;
        case eCi: {
            const std::string m = arg;
            if (m != "profile" && m != "bootstrap") {
                BadArgs("Invalid value '" + m + "' for --ci: expected profile or bootstrap.");
            }
            opts.m_Bootstrap = m == "bootstrap";
            return true;
        }
        case eBlock:
            bootstrapOnly = "--block";
            opts.m_BlockSize = ParseInt(arg, "--block", 1, 1LL << 40);
            return true;
        case eBootstrap:
            bootstrapOnly = "--bootstrap";
            opts.m_Replicates = static_cast<int>(ParseInt(arg, "--bootstrap", 1, 1000000));
            return true;
        case eSeed:
            bootstrapOnly = "--seed";
            opts.m_Seed = static_cast<unsigned long>(ParseSeedOption(kProgram, arg));
            return true;
        case 't':
            opts.m_Threads = ParseThreadsOption(kProgram, arg);
            return true;
        default:
            return false;
    }
}

// --samples: names of one word each, none twice.
std::vector<std::string> ParseSampleNames(const char* arg) {
    std::vector<std::string> names = SplitOptionList(kProgram, arg, "--samples");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.find_first_of(" \t\n\r/") != std::string::npos) {
            BadArgs("Invalid sample name '" + name +
                    "' in --samples: a name is one word without blanks or '/'.");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (names[j] == name) {
                BadArgs("--samples names '" + name + "' twice.");
            }
        }
    }
    return names;
}

// The options of the samples and the positions read.
bool ApplyInputOption(int c, const char* arg, SScanOptions& opts) {
    switch (c) {
        case ePerSample:
            opts.m_PerSample = true;
            return true;
        case eMergeSamples:
            opts.m_MergeSamples = true;
            return true;
        case eSamples:
            opts.m_SampleNames = ParseSampleNames(arg);
            return true;
        case ePools:
            RefuseGivenTwice(kProgram, "--pools", opts.m_PoolsSheet, arg, "a run reads one sheet.");
            opts.m_PoolsSheet = arg;
            return true;
        case eRegionsFile:
            SetBedFileOption(kProgram, opts.m_RegionsFile, arg, "--regions-file");
            return true;
        case eMask:
            SetBedFileOption(kProgram, opts.m_MaskFile, arg, "--mask");
            return true;
        default:
            return false;
    }
}

// The windows of one kind, with their file; the bootstrap options with
// --ci bootstrap.
void CheckWindowOptions(const SScanOptions& opts, const char* bootstrapOnly) {
    if (!opts.m_WindowsBed.empty() && opts.Given(eWindows)) {
        BadArgs(
            "--windows and --windows-bed are two ways to cut the genome into windows: give "
            "one.");
    }
    if ((opts.m_ContigWindows || !opts.m_WindowsBed.empty()) && opts.m_WindowsOutput.empty()) {
        BadArgs(std::string(opts.m_ContigWindows ? "--windows contig" : "--windows-bed") +
                " needs -w/--windows-file FILE for the windows.");
    }
    // Any kind of windows is windows to the shared check (-w needs them).
    CheckWindowAndBootstrapOptions(
        kProgram, opts.Windows() ? std::max<std::int64_t>(opts.m_WindowSize, 1) : 0,
        opts.m_WindowsOutput, bootstrapOnly, opts.m_Bootstrap);
}

// Samples kept apart or pooled, not both; names and sizes that fit.
void CheckSampleOptions(const SScanOptions& opts) {
    if (opts.m_PerSample && opts.m_MergeSamples) {
        BadArgs(
            "--per-sample and --merge-samples exclude each other: keep the samples apart, or "
            "pool them.");
    }
    if (!opts.m_SampleNames.empty() && !opts.m_PerSample) {
        BadArgs("--samples names the samples that --per-sample keeps apart: add --per-sample.");
    }
    if (opts.m_PoolSizes.size() > 1 && opts.m_MergeSamples) {
        BadArgs(
            "--pool-size gives one size per sample, but --merge-samples pools the samples "
            "as one: give one size, that of the pooled sample.");
    }
}

// The options that need windows, and those --windows-only leaves without
// an output.
void CheckModeOptions(const SScanOptions& opts) {
    if (!opts.m_Surface.empty() && opts.m_Models == EScanModels::eNeutral) {
        BadArgs(
            "--surface draws the growth model's likelihood: it does not apply with --model "
            "neutral.");
    }
    if (opts.Given(eMinSites) && !opts.Windows()) {
        BadArgs("--min-sites applies to the windows: add --windows SIZE[:STEP] and -w FILE.");
    }
    if (opts.m_WindowsOnly && !opts.Windows()) {
        BadArgs("--windows-only needs --windows SIZE[:STEP] and -w FILE.");
    }
    if (!opts.m_WindowsOnly) {
        return;
    }
    // Options of the genome-wide table, which this mode does not write.
    for (int given :
         {static_cast<int>('o'), static_cast<int>(eModel), static_cast<int>(eSurface)}) {
        if (opts.Given(given)) {
            BadArgs(OptionName(kLongOptions, given) +
                    " applies to the genome-wide table, which --windows-only does not write (the "
                    "windows, neutral estimates, go to -w).");
        }
    }
    if (opts.m_Bootstrap) {
        BadArgs(
            "--ci bootstrap draws its resamples from the whole genome's blocks, which "
            "--windows-only does not keep (its windows have profile-likelihood intervals): "
            "leave out --windows-only.");
    }
}

}  // namespace

EParseResult ParseScanArgs(int argc, char* argv[], SScanOptions& opts, std::ostream& out) {
    SPileupOptions& p = opts.m_Pileup;
    const char* bootstrapOnly = nullptr;  // a bootstrap option given
    const EParseResult result = ParseProgramOptions(
        kProgram, argc, argv, kShortOptions, kLongOptions.data(), out, ScanUsage, ScanVersion,
        [&](int c, const char* arg) {
            opts.m_Given.push_back(c);
            return ApplyAlignmentOption(kProgram, c, arg, p) || ApplyOutputOption(c, arg, opts) ||
                   ApplyModelOption(c, arg, opts, bootstrapOnly) || ApplyInputOption(c, arg, opts);
        });
    if (result != EParseResult::eRun) {
        return result;
    }
    for (int i = optind; i < argc; ++i) {
        p.m_Inputs.emplace_back(argv[i]);
    }
    if (!opts.m_PoolsSheet.empty()) {
        ApplyPoolsSheet(opts);
    }
    CheckAlignmentOptions(kProgram, p);
    CheckWindowOptions(opts, bootstrapOnly);
    CheckSampleOptions(opts);
    CheckModeOptions(opts);
    return EParseResult::eRun;
}

SSiteFileSettings RunSettings(const SScanOptions& opts, const std::string& input, unsigned poolSize,
                              const std::string& sample) {
    const SPileupOptions& p = opts.m_Pileup;
    SSiteFileSettings s;
    s.version = QUALSCAN_VERSION;
    s.folded = !opts.m_Unfolded;
    s.poolSize = static_cast<int>(poolSize);
    s.sample = sample;
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
    // Where each option of qualscan's own that not every input takes
    // applies; the alignment options follow the rows every program shares.
    // Summary files take the filters their runs applied (the run checks
    // that a filter given has the value they record), and no other.
    const std::vector<SInputOptionRule> own = {
        {eRegionsFile, true, true, true, false,
         "summary files hold the sites their runs kept, so give it to those runs"},
        {eMask, true, true, true, false,
         "summary files hold the sites their runs kept, so give it to those runs"},
        {eContig, false, false, true, false,
         "only a data set's sites lack a contig name; the other inputs name their contigs"},
        {eSamples, false, true, true, false,
         "alignments name their samples (the SM of their read groups) and summary files record "
         "theirs"},
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
    RefuseIgnoredOptions(kProgram, kLongOptions, opts.m_Given, kind, own,
                         "summary files hold the sites their runs kept, so give it to those runs");
}

void CheckSiteFileSettings(const SScanOptions& opts, const SSiteFileSettings& file,
                           const std::string& path, std::size_t sample) {
    const SPileupOptions& p = opts.m_Pileup;
    auto refuse = [&](int code, const std::string& recorded, const std::string& given) {
        throw CInputError(EInputError::eMismatch, SInputWhere{path, 0, 0, "", 0},
                          "records " + recorded + ", but " + OptionName(kLongOptions, code) +
                              " gives " + given +
                              ": a run on summary files takes their settings; leave the option "
                              "out, or give the value the file records.");
    };
    auto number = [&](int code, const char* name, long long recorded, long long given) {
        if (opts.Given(code) && recorded != given) {
            refuse(code, std::string(name) + " " + std::to_string(recorded), std::to_string(given));
        }
    };
    if (opts.Given(ePoolSize) && static_cast<int>(opts.PoolSize(sample)) != file.poolSize) {
        refuse(ePoolSize,
               file.poolSize > 0 ? "pool size " + std::to_string(file.poolSize) : "no pool size",
               std::to_string(opts.PoolSize(sample)));
    }
    if (opts.m_Unfolded && file.folded) {
        refuse(eUnfolded, "the folded spectrum", "the unfolded one");
    }
    number('q', "min-MQ", file.minMapQ, p.m_MinMapQ);
    number('Q', "min-BQ", file.minBaseQ, p.m_MinBaseQ);
    number(kSkipFlagsOption, "skip-flags", file.skipFlags, p.m_SkipFlags);
    number(kInclFlagsOption, "incl-flags", file.requireFlags, p.m_RequireFlags);
    number('d', "min-depth", file.minDepth, p.m_MinDepth);
    number('D', "max-depth", file.maxDepth, p.m_MaxDepth);
    if (p.m_KeepOverlaps && !file.keepOverlaps) {
        refuse('x', "that overlapping mates were counted once", "both mates");
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
    if (tableToStandardOutput && opts.Windows() && IsStandardOutput(opts.m_WindowsOutput)) {
        BadArgs("The windows (-w " + opts.m_WindowsOutput +
                ") and the table both go to standard output, where they would mix: give one of "
                "them a file (-w FILE or -o FILE).");
    }
    std::vector<std::string> inputs = opts.m_Pileup.m_Inputs;
    for (const std::string& read :
         {opts.m_Pileup.m_Reference, opts.m_RegionsFile, opts.m_MaskFile, opts.m_WindowsBed}) {
        inputs.push_back(read);
    }
    CheckOutputsDistinct({{"the table (-o)", opts.m_WindowsOnly ? std::string() : opts.m_Output},
                          {"the windows file (-w)", opts.m_WindowsOutput},
                          {"the summary file (--save-sites)", opts.m_SaveSites},
                          {"the surface (--surface)", opts.m_Surface}},
                         inputs);
}
