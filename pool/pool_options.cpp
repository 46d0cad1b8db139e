#include "pool/pool_options.hpp"

#include <algorithm>

#include "pool/pool_sheet.hpp"

namespace {

std::vector<unsigned> ParseSizes(const std::string& program, const char* text) {
    std::vector<unsigned> sizes;
    for (long long n :
         ParseOptionIntList(program, text, "--pool-size", kMinPoolSize, kMaxPoolSize)) {
        sizes.push_back(static_cast<unsigned>(n));
    }
    return sizes;
}

bool IsWindowOption(int c) {
    return c == 'w' || c == kWindowsOption || c == kWindowsOnlyOption || c == kMinSitesOption ||
           c == kWindowsBedOption;
}
bool IsSpectrumOption(int c) {
    return c == kSfsOption || c == kPriorOption;
}
bool IsBootstrapOption(int c) {
    return c == kCiOption || c == kBlockOption || c == kBootstrapOption || c == kSeedOption ||
           c == kLevelOption;
}

}  // namespace

std::vector<option> PoolOptionTable(const SPoolProgram& program,
                                    std::initializer_list<option> own) {
    std::vector<option> rows(own);
    const option shared[] = {
        {"pools", required_argument, nullptr, kPoolsOption},
        {"pool-size", required_argument, nullptr, kPoolSizeOption},
        {"regions-file", required_argument, nullptr, kRegionsFileOption},
        {"mask", required_argument, nullptr, kMaskOption},
        {"windows-file", required_argument, nullptr, 'w'},
        {"windows", required_argument, nullptr, kWindowsOption},
        {"windows-bed", required_argument, nullptr, kWindowsBedOption},
        {"windows-only", no_argument, nullptr, kWindowsOnlyOption},
        {"min-sites", required_argument, nullptr, kMinSitesOption},
        {"sfs", required_argument, nullptr, kSfsOption},
        {"prior", required_argument, nullptr, kPriorOption},
        {"ci", required_argument, nullptr, kCiOption},
        {"block", required_argument, nullptr, kBlockOption},
        {"bootstrap", required_argument, nullptr, kBootstrapOption},
        {"seed", required_argument, nullptr, kSeedOption},
        {"level", required_argument, nullptr, kLevelOption},
        {"unfolded", no_argument, nullptr, kUnfoldedOption},
    };
    for (const option& o : shared) {
        if ((IsWindowOption(o.val) && !program.m_Windows) ||
            (IsSpectrumOption(o.val) && !program.m_Spectra) ||
            (IsBootstrapOption(o.val) && !program.m_Bootstrap) ||
            (o.val == kUnfoldedOption && !program.m_UnfoldedOption)) {
            continue;
        }
        rows.push_back(o);
    }
    // The rows of every alignment program, and the end row.
    std::vector<option> table = ProgramOptionTable({});
    rows.insert(rows.end(), table.begin(), table.end());
    return rows;
}

std::string PoolShortOptions(const SPoolProgram& program) {
    return std::string(program.m_Windows ? "w:" : "") + kSharedShortOptions;
}

namespace {

// The options of the outputs: the table, the windows, the spectra, the
// threads.
bool ApplyOutputOption(const std::string& name, int c, const char* arg, SPoolRunOptions& opts) {
    switch (c) {
        case 'o':
            opts.m_Output = arg;
            return true;
        case 't':
            opts.m_Threads = ParseThreadsOption(name, arg);
            return true;
        case 'w':
            opts.m_WindowsOutput = arg;
            return true;
        case kWindowsOption:
            ParseWindowsOrContigOption(name, arg, opts.m_WindowSize, opts.m_WindowStep,
                                       opts.m_ContigWindows);
            return true;
        case kWindowsBedOption:
            SetBedFileOption(name, opts.m_WindowsBed, arg, "--windows-bed");
            return true;
        case kWindowsOnlyOption:
            opts.m_WindowsOnly = true;
            return true;
        case kMinSitesOption:
            opts.m_MinSites =
                static_cast<std::uint64_t>(ParseOptionInt(name, arg, "--min-sites", 1, 1LL << 40));
            return true;
        case kSfsOption:
            opts.m_Sfs = OutputFileOption(
                name, arg,
                "--sfs needs a file name: the spectra are written to files named after it.");
            return true;
        case kPriorOption:
            opts.m_Prior = OutputFileOption(
                name, arg, "--prior needs the file name an earlier run's --sfs was given.");
            return true;
        default:
            return false;
    }
}

// The options of the pools and the positions read.
bool ApplyInputOption(const std::string& name, int c, const char* arg, SPoolRunOptions& opts) {
    switch (c) {
        case kPoolsOption:
            // A second sheet would take the place of the first unseen.
            RefuseGivenTwice(name, "--pools", opts.m_PoolsSheet, arg, "a run reads one sheet.");
            opts.m_PoolsSheet = arg;
            return true;
        case kPoolSizeOption:
            opts.m_PoolSizes = ParseSizes(name, arg);
            return true;
        case kRegionsFileOption:
            SetBedFileOption(name, opts.m_RegionsFile, arg, "--regions-file");
            return true;
        case kMaskOption:
            SetBedFileOption(name, opts.m_MaskFile, arg, "--mask");
            return true;
        case kUnfoldedOption:
            opts.m_Unfolded = true;
            return true;
        default:
            return false;
    }
}

// The options of the block bootstrap and its intervals.
bool ApplyBootstrapOption(const std::string& name, int c, const char* arg, SPoolRunOptions& opts) {
    switch (c) {
        case kCiOption: {
            const std::string m = arg;
            if (m != "none" && m != "bootstrap") {
                BadOption(name, "Invalid value '" + m + "' for --ci: expected none or bootstrap.");
            }
            opts.m_Bootstrap = m == "bootstrap";
            return true;
        }
        case kBlockOption:
            opts.m_BlockSize = ParseOptionInt(name, arg, "--block", 1, 1LL << 40);
            return true;
        case kBootstrapOption:
            opts.m_Replicates =
                static_cast<int>(ParseOptionInt(name, arg, "--bootstrap", 1, 1000000));
            return true;
        case kSeedOption:
            opts.m_Seed = static_cast<unsigned long>(ParseSeedOption(name, arg));
            return true;
        case kLevelOption:
            opts.m_Level = ParseLevelOption(name, arg);
            return true;
        default:
            return false;
    }
}

}  // namespace

bool ApplyPoolOption(const SPoolProgram& program, int c, const char* arg, SPoolRunOptions& opts) {
    const std::string& name = program.m_Name;
    if (!ApplyAlignmentOption(name, c, arg, opts.m_Pileup) &&
        !ApplyOutputOption(name, c, arg, opts) && !ApplyInputOption(name, c, arg, opts) &&
        !ApplyBootstrapOption(name, c, arg, opts)) {
        return false;
    }
    opts.m_Given.push_back(c);
    return true;
}

void FinishPoolOptions(const SPoolProgram& program, int argc, char* argv[], int first,
                       SPoolRunOptions& opts) {
    const std::string& name = program.m_Name;
    auto bad = [&](const std::string& what) { BadOption(name, what); };
    auto given = [&](int code) {
        return std::find(opts.m_Given.begin(), opts.m_Given.end(), code) != opts.m_Given.end();
    };
    for (int i = first; i < argc; ++i) {
        opts.m_PoolArgs.emplace_back(argv[i]);
    }
    const std::string some = program.m_MinPools > 1 ? "two or more pools'" : "the pools'";
    if (!opts.m_PoolsSheet.empty()) {
        if (!opts.m_PoolArgs.empty()) {
            bad("--pools names the pools' files: give no POOL arguments with it.");
        }
        if (!opts.m_PoolSizes.empty()) {
            bad("--pools gives every pool's size: --pool-size does not apply.");
        }
    } else {
        if (opts.m_PoolArgs.empty()) {
            bad("No pools given: name " + some + " files, or --pools SHEET.");
        }
        if (opts.m_PoolSizes.empty()) {
            bad("--pool-size N[,N...] is needed: the number of chromosomes in each pool.");
        }
        if (opts.m_PoolSizes.size() > 1 && opts.m_PoolArgs.size() > 1 &&
            opts.m_PoolSizes.size() != opts.m_PoolArgs.size()) {
            bad("--pool-size gives " + std::to_string(opts.m_PoolSizes.size()) + " sizes for " +
                std::to_string(opts.m_PoolArgs.size()) +
                " pools: give one size for all, or one per pool.");
        }
    }
    CheckDepthOptions(name, opts.m_Pileup);
    const char* bootstrapOnly = given(kBlockOption)       ? "--block"
                                : given(kBootstrapOption) ? "--bootstrap"
                                : given(kSeedOption)      ? "--seed"
                                                          : nullptr;
    if (!opts.m_WindowsBed.empty() && given(kWindowsOption)) {
        bad("--windows and --windows-bed are two ways to cut the genome into windows: give one.");
    }
    // Any kind of windows is windows to the shared check (-w needs them).
    CheckWindowAndBootstrapOptions(
        name, opts.Windows() ? std::max<std::int64_t>(opts.m_WindowSize, 1) : 0,
        opts.m_WindowsOutput, bootstrapOnly, opts.m_Bootstrap);
    if (given(kMinSitesOption) && !opts.Windows()) {
        bad("--min-sites applies to windows: add --windows SIZE[:STEP] and -w FILE.");
    }
    if (opts.m_WindowsOnly) {
        if (!opts.Windows()) {
            bad("--windows-only needs --windows SIZE[:STEP] and -w FILE.");
        }
        if (opts.m_Prior.empty()) {
            bad("--windows-only keeps no sites to fit, so the windows need the spectra of an "
                "earlier run: add --prior FILE (that run's --sfs FILE).");
        }
        if (opts.m_Bootstrap || !opts.m_Sfs.empty() || !opts.m_Output.empty()) {
            bad("--windows-only writes the windows alone: --ci bootstrap, --sfs and -o do not "
                "apply.");
        }
    }
    if (!opts.m_Prior.empty() && opts.m_Bootstrap) {
        bad("--ci bootstrap refits the spectra to resamples: it does not apply with --prior.");
    }
    if (program.m_ReferenceUnfolds && !opts.m_Pileup.m_Reference.empty()) {
        opts.m_Unfolded = true;
    }
}

std::string PoolUsagePools(const SPoolProgram& program) {
    const std::string atLeast = program.m_MinPools > 1 ? "two" : "one";
    return "Pools (default in brackets):\n"
           "      --pools SHEET        names, sizes and files of the pools (a tab-separated\n"
           "                           sheet with the columns name, size and files)\n"
           "      --pool-size N[,N...] chromosomes per pool (" +
           std::to_string(kMinPoolSize) + " to " + std::to_string(kMaxPoolSize) +
           "), one for all pools\n"
           "                           or one per pool; needed without a sheet\n"
           "  Without a sheet a pool is named after the SM of its files' read groups,\n"
           "  else after its first file (pileup text: the file and the column). At\n"
           "  least " +
           atLeast + (program.m_MinPools > 1 ? " pools" : " pool") +
           "; no file may be named twice.\n\n";
}

std::string PoolUsageShared(const SPoolProgram& program, const std::string& spectraWhat) {
    SPoolRunOptions d;
    std::string s;
    if (program.m_Windows) {
        s += "      --windows SIZE[:STEP]\n"
             "                           the same in windows of SIZE bases, one every\n"
             "                           STEP bases [STEP = SIZE]; needs -w\n"
             "      --windows contig     one window per contig, the whole of it\n"
             "      --windows-bed BED    one window per line of BED (genes, say), the rows\n"
             "                           in the genome's order\n"
             "  -w, --windows-file FILE  where the windows go (BED coordinates)\n"
             "      --windows-only       no table: windows only, with the spectra of\n"
             "                           --prior, memory bounded by one window\n"
             "      --min-sites N        a window with fewer sites gets NA values [" +
             std::to_string(d.m_MinSites) + "]\n";
    }
    if (program.m_Spectra) {
        s += "      --sfs FILE           " + spectraWhat +
             "\n"
             "      --prior FILE         the spectra of an earlier --sfs FILE take the\n"
             "                           place of the fit\n";
    }
    if (program.m_Bootstrap) {
        s += "      --ci none|bootstrap  intervals from a block bootstrap [none: NA]\n" +
             BootstrapUsage(d.m_BlockSize, d.m_Replicates, d.m_Seed) +
             "      --level L            level of the intervals, 0 < L < 1 [0.95]\n";
    }
    s += "  -t, --threads N          threads; results are the same for every N [1]\n\n";
    return s;
}

std::string PoolUsagePositions() {
    return "Positions:\n"
           "      --regions-file BED   only positions in these intervals [all]\n"
           "      --mask BED           never positions in these intervals [none]\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs indexed alignments [all]\n\n";
}

std::string PoolUsageReads(const SPoolProgram& program) {
    SPileupOptions p;
    std::string reference =
        program.m_ReferenceUnfolds
            ? "  -f, --reference FILE     FASTA with .fai index; its base is one of a site's\n"
              "                           two alleles, and the spectra are unfolded [none:\n"
              "                           the alleles are the two bases with most reads,\n"
              "                           and the spectra folded]\n"
            : "  -f, --reference FILE     FASTA with .fai index (CRAM's reference, and the\n"
              "                           reference base of each site) [none]\n";
    if (program.m_UnfoldedOption) {
        reference += program.m_ReferenceUnfolds
                         ? "      --unfolded           pileup text: its reference column is the\n"
                           "                           first allele, as -f for alignments [off]\n"
                         : "      --unfolded           the reference base (-f, or pileup text's\n"
                           "                           reference column) is the ancestral allele:\n"
                           "                           unfolded spectra [off: folded]\n";
    }
    return "Reads (as qualpileup and qualscan; pileup text was filtered when made):\n" + reference +
           ReadQualityUsage() +
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS [" +
           FlagNames(p.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS [none]\n"
           "  -d, --min-depth INT      a pool counts at a site with at least INT reads\n"
           "                           after filtering [" +
           std::to_string(p.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      ... and at most INT reads; 0: no limit [0]\n" +
           OverlapsUsage() + "  -P, --no-progress        no progress line, even on a terminal\n" +
           HelpVersionUsage(program.m_Name);
}
