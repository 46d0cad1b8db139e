#include "poolsim/pool_sim_options.hpp"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "base/split.hpp"
#include "pool/pool_sheet.hpp"

#ifndef QUALPOOLSIM_VERSION
#define QUALPOOLSIM_VERSION "unknown"
#endif

namespace {

const char kProgram[] = "qualpoolsim";

enum ELongOnly {
    eNames = kFirstProgramOption,
    eContigs,
    eTheta,
    eSpectrum,
    eFst,
    eAncestral,
    eQualities,
    eReadLength,
    eLanes,
    eWindows,
};

const char kShortOptions[] = "o:p:n:d:l:s:t:hV";

const struct option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"pools", required_argument, nullptr, 'p'},
    {"names", required_argument, nullptr, eNames},
    {"pool-size", required_argument, nullptr, 'n'},
    {"depth", required_argument, nullptr, 'd'},
    {"length", required_argument, nullptr, 'l'},
    {"contigs", required_argument, nullptr, eContigs},
    {"theta", required_argument, nullptr, eTheta},
    {"spectrum", required_argument, nullptr, eSpectrum},
    {"fst", required_argument, nullptr, eFst},
    {"ancestral-size", required_argument, nullptr, eAncestral},
    {"qualities", required_argument, nullptr, eQualities},
    {"read-length", required_argument, nullptr, eReadLength},
    {"lanes", required_argument, nullptr, eLanes},
    {"windows", required_argument, nullptr, eWindows},
    {"seed", required_argument, nullptr, 's'},
    {"threads", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// One value for every pool, or one per pool (resolved once the number of
// pools is known).
template <typename T>
void Resolve(std::vector<T>& values, std::size_t pools, const char* option) {
    if (values.size() == 1 && pools > 1) {
        values.assign(pools, values.front());
    }
    if (values.size() != pools) {
        BadOption(kProgram, std::string(option) + " gives " + std::to_string(values.size()) +
                                " values for " + std::to_string(pools) +
                                (pools == 1 ? " pool" : " pools") +
                                ": give one value, or one per pool.");
    }
}

// --spectrum neutral|power:ALPHA: ALPHA of the spectrum theta / k^ALPHA.
double ParseSpectrum(const std::string& text) {
    if (text == "neutral") {
        return 1.0;
    }
    const std::string power = "power:";
    if (text.compare(0, power.size(), power) == 0) {
        return ParseOptionDouble(kProgram, text.c_str() + power.size(), "--spectrum power:ALPHA",
                                 0.0, 10.0, false, false, "a number from 0 to 10");
    }
    BadOption(kProgram,
              "Invalid value '" + text + "' for --spectrum: expected neutral or power:ALPHA.");
}

std::string Short(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

}  // namespace

std::string PoolSimUsage() {
    SPoolSimOptions d;
    return "Usage: qualpoolsim [options] -o PREFIX\n"
           "\n"
           "Simulates pools of chromosomes drawn from populations that drifted apart from\n"
           "one ancestral population, and their sequencing reads with base qualities and\n"
           "the errors those imply. Writes PREFIX.fa (+ .fai, the ancestral alleles),\n"
           "PREFIX.NAME.bam (+ .bai) per pool, the sheet PREFIX.pools.tsv (name, size,\n"
           "files) for qualfst --pools, the sites PREFIX.sites.tsv (population frequency\n"
           "and pool count of the alternative allele at every polymorphic site) and the\n"
           "population values PREFIX.truth.tsv (pi per pool, dxy, F_ST per pair; with\n"
           "--windows also PREFIX.truth.windows.tsv), and the diversity of each pool's\n"
           "own chromosomes PREFIX.diversity.tsv (pi, theta_W, Tajima's D, theta_H, Fay\n"
           "and Wu's H). The same options and seed give the same files. Each contig is\n"
           "held whole in memory (about 11 bytes per base with the defaults): a run that\n"
           "would not fit is refused before it starts.\n"
           "\n"
           "Options (default in brackets; N[,N...]: one value for all pools or one each):\n"
           "  -o, --output PREFIX      prefix of the files written (required)\n"
           "  -p, --pools K            number of pools [2]\n"
           "      --names A,B,...      pool names [pool1,pool2,...]\n"
           "  -n, --pool-size N[,N...] chromosomes per pool, " +
           std::to_string(kMinPoolSize) + " to " + std::to_string(kMaxPoolSize) +
           " (the pool programs'\n"
           "                           range) [50]\n"
           "  -d, --depth D[,D...]     mean read depth per pool [30]\n"
           "  -l, --length L[,L...]    contig lengths, one contig per value [1000000]\n"
           "      --contigs K          K contigs of the (single) length given [1]\n"
           "      --theta T            population mutation rate per site [" +
           Short(d.m_Theta) +
           "]\n"
           "      --spectrum neutral|power:ALPHA\n"
           "                           the ancestral spectrum: a derived allele on k of\n"
           "                           the A chromosomes with probability theta / k^ALPHA;\n"
           "                           neutral is power:1, ALPHA > 1 more rare alleles\n"
           "                           (Tajima's D < 0), ALPHA < 1 more common ones (D > 0)\n"
           "                           [neutral]\n"
           "      --fst F[,F...]       drift of each pool's population from the ancestral\n"
           "                           one, 0 <= F < 1; the true F_ST of pools i and k is\n"
           "                           (F_i + F_k) / 2, F with one value (fst_model in\n"
           "                           PREFIX.truth.tsv) [" +
           Short(d.m_Fst) +
           "]\n"
           "      --ancestral-size A   chromosomes of the ancestral population [" +
           std::to_string(d.m_AncestralSize) +
           "]\n"
           "      --qualities SPEC     base qualities: clean (20-40), low5 (5% of bases\n"
           "                           2-19, the rest 20-40), binned (2, 12, 23, 37), or\n"
           "                           ranges LO[-HI][:WEIGHT],... [" +
           d.m_Qualities +
           "]\n"
           "      --read-length R      bases per read [" +
           std::to_string(d.m_ReadLength) +
           "]\n"
           "      --lanes K            BAM files per pool (read groups NAME.L1, ...) [1]\n"
           "      --windows SIZE[:STEP]\n"
           "                           also the population values per window\n"
           "  -s, --seed N             seed of every draw [1]\n"
           "  -t, --threads N          threads for compressing the BAM files [1]\n" +
           HelpVersionUsage("qualpoolsim");
}

std::string PoolSimVersion() {
    return ProgramVersion("qualpoolsim", QUALPOOLSIM_VERSION);
}

namespace {

// What the command line gives per pool or per contig, as text until the
// number of pools is known (one value for all, or one each).
struct SPoolSimLists {
    long long m_Pools = 0;  // --pools; 0: not given
    long long m_Contigs = 1;
    std::vector<std::string> m_Sizes{"50"}, m_Depths{"30"}, m_Lengths{"1000000"}, m_Fsts;
};

// The options of the pools and their populations.
bool ApplyPopulationOption(int c, const char* arg, SPoolSimOptions& opts, SPoolSimLists& lists) {
    switch (c) {
        case 'p':
            lists.m_Pools = ParseOptionInt(kProgram, arg, "--pools", 1, 1000);
            return true;
        case eNames:
            opts.m_Names = SplitAt(arg, ',');
            return true;
        case 'n':
            lists.m_Sizes = SplitAt(arg, ',');
            return true;
        case eTheta:
            opts.m_Theta = ParseOptionDouble(kProgram, arg, "--theta", 0.0, 1.0, false, false,
                                             "a number from 0 to 1");
            return true;
        case eSpectrum:
            opts.m_SpectrumPower = ParseSpectrum(arg);
            return true;
        case eFst:
            lists.m_Fsts = SplitAt(arg, ',');
            return true;
        case eAncestral:
            opts.m_AncestralSize = static_cast<unsigned>(
                ParseOptionInt(kProgram, arg, "--ancestral-size", 2, 100000000));
            return true;
        default:
            return false;
    }
}

// The options of the genome, the reads and the run.
bool ApplySequencingOption(int c, const char* arg, SPoolSimOptions& opts, SPoolSimLists& lists) {
    switch (c) {
        case 'o':
            opts.m_Prefix = arg;
            return true;
        case 'd':
            lists.m_Depths = SplitAt(arg, ',');
            return true;
        case 'l':
            lists.m_Lengths = SplitAt(arg, ',');
            return true;
        case eContigs:
            lists.m_Contigs = ParseOptionInt(kProgram, arg, "--contigs", 1, 100000);
            return true;
        case eQualities:
            opts.m_Qualities = arg;
            return true;
        case eReadLength:
            opts.m_ReadLength =
                static_cast<unsigned>(ParseOptionInt(kProgram, arg, "--read-length", 1, 100000));
            return true;
        case eLanes:
            opts.m_Lanes = static_cast<unsigned>(ParseOptionInt(kProgram, arg, "--lanes", 1, 100));
            return true;
        case eWindows:
            ParseWindowsOption(kProgram, arg, "--windows", opts.m_WindowSize, opts.m_WindowStep);
            return true;
        case 's':
            opts.m_Seed = static_cast<std::uint64_t>(ParseSeedOption(kProgram, arg));
            return true;
        case 't':
            opts.m_Threads = ParseThreadsOption(kProgram, arg);
            return true;
        default:
            return false;
    }
}

// The number of pools: --pools, else the names, else the longest list of
// sizes or depths; two when nothing says. The names default to pool1,
// pool2, ...
std::size_t ResolvePools(const SPoolSimLists& lists, SPoolSimOptions& opts) {
    std::size_t n = static_cast<std::size_t>(lists.m_Pools);
    if (n == 0) {
        n = !opts.m_Names.empty() ? opts.m_Names.size()
                                  : std::max(lists.m_Sizes.size(), lists.m_Depths.size());
        if (n == 1 && opts.m_Names.empty()) {
            n = 2;
        }
    }
    if (opts.m_Names.empty()) {
        for (std::size_t i = 0; i < n; ++i) {
            opts.m_Names.push_back("pool" + std::to_string(i + 1));
        }
    }
    if (opts.m_Names.size() != n) {
        BadOption(kProgram, "--names gives " + std::to_string(opts.m_Names.size()) + " names for " +
                                std::to_string(n) + " pools.");
    }
    return n;
}

// The lists as numbers, one per pool (F_ST only when given) and one per
// contig.
void ResolveLists(SPoolSimLists& lists, std::size_t n, SPoolSimOptions& opts) {
    Resolve(lists.m_Sizes, n, "--pool-size");
    Resolve(lists.m_Depths, n, "--depth");
    if (!lists.m_Fsts.empty()) {
        Resolve(lists.m_Fsts, n, "--fst");
    }
    opts.m_PoolFst.clear();
    for (const std::string& s : lists.m_Fsts) {
        opts.m_PoolFst.push_back(ParseOptionDouble(kProgram, s.c_str(), "--fst", 0.0, 1.0, false,
                                                   true, "a number from 0 to below 1"));
    }
    opts.m_PoolSizes.clear();
    opts.m_Depths.clear();
    for (const std::string& s : lists.m_Sizes) {
        // The pool programs' range, so that every sheet written is one they read.
        opts.m_PoolSizes.push_back(static_cast<unsigned>(
            ParseOptionInt(kProgram, s.c_str(), "--pool-size", kMinPoolSize, kMaxPoolSize)));
    }
    for (const std::string& s : lists.m_Depths) {
        opts.m_Depths.push_back(ParseOptionDouble(kProgram, s.c_str(), "--depth", 0.0, 1e6, true,
                                                  false,
                                                  "a positive number of reads per position"));
    }
    opts.m_Lengths.clear();
    for (const std::string& s : lists.m_Lengths) {
        opts.m_Lengths.push_back(ParseOptionInt(kProgram, s.c_str(), "--length", 1, 1LL << 40));
    }
    if (lists.m_Contigs > 1) {
        if (opts.m_Lengths.size() != 1) {
            BadOption(kProgram, "--contigs repeats one length: give a single --length.");
        }
        opts.m_Lengths.assign(static_cast<std::size_t>(lists.m_Contigs), opts.m_Lengths.front());
    }
}

}  // namespace

EParseResult ParsePoolSimArgs(int argc, char* argv[], SPoolSimOptions& opts, std::ostream& out) {
    SPoolSimLists lists;
    const EParseResult result =
        ParseProgramOptions(kProgram, argc, argv, kShortOptions, kLongOptions, out, PoolSimUsage,
                            PoolSimVersion, [&](int c, const char* arg) {
                                return ApplyPopulationOption(c, arg, opts, lists) ||
                                       ApplySequencingOption(c, arg, opts, lists);
                            });
    if (result != EParseResult::eRun) {
        return result;
    }
    if (optind < argc) {
        BadOption(kProgram, std::string("Unexpected argument '") + argv[optind] +
                                "': qualpoolsim reads no input.");
    }
    if (opts.m_Prefix.empty()) {
        BadOption(kProgram, "An output prefix is needed (-o PREFIX).");
    }
    ResolveLists(lists, ResolvePools(lists, opts), opts);
    return EParseResult::eRun;
}
