#include "fst/fst_options.hpp"

#include <ostream>

#include "pool/pool_sheet.hpp"

#ifndef QUALFST_VERSION
#define QUALFST_VERSION "unknown"
#endif

namespace {

const char kProgram[] = "qualfst";

enum ELongOnly {
    ePools = kFirstProgramOption,
    ePoolSize,
    eWindows,
    eWindowsOnly,
    eSfs,
    ePrior,
    eRegionsFile,
    eMask,
    eCi,
    eBlock,
    eBootstrap,
    eSeed,
    eLevel,
};

const std::string kShortOptions = std::string("w:") + kSharedShortOptions;

const std::vector<option> kLongOptions = ProgramOptionTable({
    {"windows-file", required_argument, nullptr, 'w'},
    {"windows", required_argument, nullptr, eWindows},
    {"windows-only", no_argument, nullptr, eWindowsOnly},
    {"pools", required_argument, nullptr, ePools},
    {"pool-size", required_argument, nullptr, ePoolSize},
    {"sfs", required_argument, nullptr, eSfs},
    {"prior", required_argument, nullptr, ePrior},
    {"regions-file", required_argument, nullptr, eRegionsFile},
    {"mask", required_argument, nullptr, eMask},
    {"ci", required_argument, nullptr, eCi},
    {"block", required_argument, nullptr, eBlock},
    {"bootstrap", required_argument, nullptr, eBootstrap},
    {"seed", required_argument, nullptr, eSeed},
    {"level", required_argument, nullptr, eLevel},
});

[[noreturn]] void BadArgs(const std::string& what) {
    BadOption(kProgram, what);
}

std::vector<unsigned> ParseSizes(const char* text) {
    std::vector<unsigned> sizes;
    for (long long n :
         ParseOptionIntList(kProgram, text, "--pool-size", kMinPoolSize, kMaxPoolSize)) {
        sizes.push_back(static_cast<unsigned>(n));
    }
    return sizes;
}

}  // namespace

std::string FstUsage() {
    SFstOptions d;
    const SPileupOptions& p = d.m_Pileup;
    return "Usage: qualfst [options] --pool-size N[,N...] POOL POOL [POOL...]\n"
           "       qualfst [options] --pools SHEET\n"
           "       qualfst [options] --pool-size N[,N...] pileup.txt\n"
           "\n"
           "Compares pools of chromosomes sequenced together (Pool-seq): the diversity\n"
           "within each pool (pi), the divergence between two (dxy) and Hudson's F_ST,\n"
           "at the population level, from the joint frequency spectrum of each pair\n"
           "fitted to every read weighted by its base quality. A POOL is one pool's\n"
           "alignment files (SAM, BAM, CRAM), lanes joined by commas (a1.bam,a2.bam),\n"
           "all on the same reference. A SHEET is tab-separated with a header and the\n"
           "columns name, size and files (comma-separated, relative to the sheet's\n"
           "directory). samtools mpileup text holds one sample column per pool.\n"
           "\n"
           "Pools (default in brackets):\n"
           "      --pools SHEET        names, sizes and files of the pools\n"
           "      --pool-size N[,N...] chromosomes per pool (>= 2), one for all pools\n"
           "                           or one per pool; needed without a sheet\n"
           "\n"
           "Output:\n"
           "  -o, --output FILE        the table, one row per pair [standard output]\n"
           "      --windows SIZE[:STEP]\n"
           "                           the same in windows of SIZE bases, one every\n"
           "                           STEP bases [STEP = SIZE]; needs -w\n"
           "  -w, --windows-file FILE  where the windows go (BED coordinates)\n"
           "      --windows-only       no table: windows only, with the spectra of\n"
           "                           --prior, memory bounded by one window\n"
           "      --sfs FILE           the fitted joint spectrum of each pair, as dadi\n"
           "                           and moments read it: FILE.NAME1.NAME2.fs\n"
           "      --prior FILE         the spectra FILE.NAME1.NAME2.fs of an earlier\n"
           "                           --sfs take the place of the fit\n"
           "      --ci none|bootstrap  intervals of dxy and F_ST from a block bootstrap\n"
           "                           [none: NA]\n"
           "      --block SIZE         bases per bootstrap block [" +
           std::to_string(d.m_BlockSize) +
           "]\n"
           "      --bootstrap B        bootstrap resamples [" +
           std::to_string(d.m_Replicates) +
           "]\n"
           "      --seed N             seed of the bootstrap's draws [" +
           std::to_string(d.m_Seed) +
           "]\n"
           "      --level L            level of the intervals, 0 < L < 1 [0.95]\n"
           "  -t, --threads N          threads; results are the same for every N [1]\n"
           "\n"
           "Positions:\n"
           "      --regions-file BED   only positions in these intervals [all]\n"
           "      --mask BED           never positions in these intervals [none]\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs indexed alignments [all]\n"
           "\n"
           "Reads (as qualpileup and qualscan):\n"
           "  -f, --reference FILE     FASTA with .fai index; its base is one of a site's\n"
           "                           two alleles, and the spectra are unfolded [none:\n"
           "                           the alleles are the two bases with most reads,\n"
           "                           and the spectra folded]\n"
           "  -q, --min-MQ INT         skip reads with mapping quality below INT [" +
           std::to_string(p.m_MinMapQ) +
           "]\n"
           "  -Q, --min-BQ INT         skip bases with quality below INT [" +
           std::to_string(p.m_MinBaseQ) +
           "]\n"
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS [" +
           FlagNames(p.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS [none]\n"
           "  -d, --min-depth INT      a pool counts at a site with at least INT reads\n"
           "                           after filtering; a pair's sites are those where\n"
           "                           both count [" +
           std::to_string(p.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      ... and at most INT reads; 0: no limit [0]\n"
           "  -x, --ignore-overlaps    count both mates of a read pair where they overlap\n"
           "                           [off: the later mate is skipped there]\n"
           "  -P, --no-progress        no progress line, even on a terminal\n"
           "  -h, --help               this text\n"
           "  -V, --version            version of qualfst and htslib\n"
           "\n"
           "Standard output: pool1 pool2 sites pi1 pi2 dxy dxy_lo dxy_hi fst fst_lo\n"
           "fst_hi. Windows: contig start end pool1 pool2 sites pi1 pi2 dxy fst.\n";
}

std::string FstVersion() {
    return ProgramVersion("qualfst", QUALFST_VERSION);
}

EParseResult ParseFstArgs(int argc, char* argv[], SFstOptions& opts, std::ostream& out) {
    SPileupOptions& p = opts.m_Pileup;
    const char* bootstrapOnly = nullptr;
    const EParseResult result = ParseProgramOptions(
        kProgram, argc, argv, kShortOptions, kLongOptions.data(), out, FstUsage, FstVersion,
        [&](int c, const char* arg) {
            if (ApplyAlignmentOption(kProgram, c, arg, p)) {
                return true;
            }
            switch (c) {
                case 'o':
                    opts.m_Output = arg;
                    return true;
                case 'w':
                    opts.m_WindowsOutput = arg;
                    return true;
                case eWindows:
                    ParseWindowsOption(kProgram, arg, "--windows", opts.m_WindowSize,
                                       opts.m_WindowStep);
                    return true;
                case eWindowsOnly:
                    opts.m_WindowsOnly = true;
                    return true;
                case ePools:
                    opts.m_PoolsSheet = arg;
                    return true;
                case ePoolSize:
                    opts.m_PoolSizes = ParseSizes(arg);
                    return true;
                case eSfs:
                    opts.m_Sfs = arg;
                    if (opts.m_Sfs.empty() || opts.m_Sfs == "-") {
                        BadArgs("--sfs needs a file name: one file is written per pair of pools.");
                    }
                    return true;
                case ePrior:
                    opts.m_Prior = arg;
                    return true;
                case eRegionsFile:
                    SetBedFileOption(kProgram, opts.m_RegionsFile, arg, "--regions-file");
                    return true;
                case eMask:
                    SetBedFileOption(kProgram, opts.m_MaskFile, arg, "--mask");
                    return true;
                case eCi: {
                    const std::string m = arg;
                    if (m != "none" && m != "bootstrap") {
                        BadArgs("Invalid value '" + m + "' for --ci: expected none or bootstrap.");
                    }
                    opts.m_Bootstrap = m == "bootstrap";
                    return true;
                }
                case eBlock:
                    bootstrapOnly = "--block";
                    opts.m_BlockSize = ParseOptionInt(kProgram, arg, "--block", 1, 1LL << 40);
                    return true;
                case eBootstrap:
                    bootstrapOnly = "--bootstrap";
                    opts.m_Replicates =
                        static_cast<int>(ParseOptionInt(kProgram, arg, "--bootstrap", 1, 1000000));
                    return true;
                case eSeed:
                    bootstrapOnly = "--seed";
                    opts.m_Seed = static_cast<unsigned long>(ParseSeedOption(kProgram, arg));
                    return true;
                case eLevel:
                    opts.m_Level =
                        ParseOptionDouble(kProgram, arg, "--level", 0.0, 1.0, true, true,
                                          "a number between 0 and 1 (exclusive), such as 0.95");
                    return true;
                case 't':
                    opts.m_Threads = ParseThreadsOption(kProgram, arg);
                    return true;
                default:
                    return false;
            }
        });
    if (result != EParseResult::eRun) {
        return result;
    }
    for (int i = optind; i < argc; ++i) {
        opts.m_PoolArgs.emplace_back(argv[i]);
    }
    if (!opts.m_PoolsSheet.empty()) {
        if (!opts.m_PoolArgs.empty()) {
            BadArgs("--pools names the pools' files: give no POOL arguments with it.");
        }
        if (!opts.m_PoolSizes.empty()) {
            BadArgs("--pools gives every pool's size: --pool-size does not apply.");
        }
    } else {
        if (opts.m_PoolArgs.empty()) {
            BadArgs("No pools given: name two or more pools' files, or --pools SHEET.");
        }
        if (opts.m_PoolSizes.empty()) {
            BadArgs("--pool-size N[,N...] is needed: the number of chromosomes in each pool.");
        }
        if (opts.m_PoolSizes.size() > 1 && opts.m_PoolArgs.size() > 1 &&
            opts.m_PoolSizes.size() != opts.m_PoolArgs.size()) {
            BadArgs("--pool-size gives " + std::to_string(opts.m_PoolSizes.size()) + " sizes for " +
                    std::to_string(opts.m_PoolArgs.size()) +
                    " pools: give one size for all, or one per pool.");
        }
    }
    CheckDepthOptions(kProgram, p);
    CheckWindowAndBootstrapOptions(kProgram, opts.m_WindowSize, opts.m_WindowsOutput, bootstrapOnly,
                                   opts.m_Bootstrap);
    if (opts.m_WindowsOnly) {
        if (opts.m_WindowSize == 0) {
            BadArgs("--windows-only needs --windows SIZE[:STEP] and -w FILE.");
        }
        if (opts.m_Prior.empty()) {
            BadArgs(
                "--windows-only keeps no sites to fit, so the windows need the spectra of "
                "an earlier run: add --prior FILE (that run's --sfs FILE).");
        }
        if (opts.m_Bootstrap || !opts.m_Sfs.empty() || !opts.m_Output.empty()) {
            BadArgs(
                "--windows-only writes the windows alone: --ci bootstrap, --sfs and -o do "
                "not apply.");
        }
    }
    if (!opts.m_Prior.empty() && opts.m_Bootstrap) {
        BadArgs("--ci bootstrap refits the spectra to resamples: it does not apply with --prior.");
    }
    return EParseResult::eRun;
}
