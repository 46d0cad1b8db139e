#include "poolsim/pool_sim.hpp"

#include <gsl/gsl_randist.h>
#include <htslib/faidx.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "base/split.hpp"
#include "base/whole_number.hpp"
#include "common/thread_pool.hpp"
#include "model/obstable.hpp"
#include "pileup/hts_handles.hpp"
#include "pool/pool_sheet.hpp"
#include "spectrum/pool_diversity.hpp"
#include "spectrum/sample_diversity.hpp"
#include "windows/window_policy.hpp"

#ifndef QUALPOOLSIM_VERSION
#define QUALPOOLSIM_VERSION "unknown"
#endif

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

constexpr unsigned kMaxQuality = 93;  // the largest quality SAM can write
const char kBases[] = "ACGT";

int BaseIndex(char b) {
    switch (b) {
        case 'A':
            return 0;
        case 'C':
            return 1;
        case 'G':
            return 2;
        default:
            return 3;
    }
}

struct SRngFree {
    void operator()(gsl_rng* r) const { gsl_rng_free(r); }
};
using TRng = std::unique_ptr<gsl_rng, SRngFree>;

TRng MakeRng(std::uint64_t seed, std::uint64_t stream) {
    TRng rng(gsl_rng_alloc(gsl_rng_mt19937));
    if (!rng) {
        Fail("Out of memory.");
    }
    gsl_rng_set(rng.get(), StreamSeed(seed, stream));
    return rng;
}

// Streams of draws: each part of the simulation has its own, so that, for
// instance, the populations do not change with the depth of the reads.
enum EStream : std::uint64_t {
    eSequence = 1,
    ePopulation = 2,
    ePoolCarriers = 3,
    eReads = 4,
};
std::uint64_t Stream(EStream kind, std::size_t contig, std::size_t pool = 0) {
    return (static_cast<std::uint64_t>(kind) << 56) ^ (static_cast<std::uint64_t>(contig) << 24) ^
           static_cast<std::uint64_t>(pool);
}

// A quality in 0..kMaxQuality, or -1.
long long Quality(const std::string& s) {
    std::uint64_t v = 0;
    return ParseWholeNumber(s, kMaxQuality, v) ? static_cast<long long>(v) : -1;
}

// A polymorphic site of the ancestral population and its pools.
struct SSimSite {
    std::int64_t m_Pos = 0;
    int m_Alt = 0;
    double m_Ancestral = 0.0;
    std::vector<double> m_Population;  // per pool
    std::vector<unsigned> m_Count;     // per pool: chromosomes with the alternative allele
    // Per pool: offset of the carriers' bit set in the contig's bit store,
    // or -1 when every chromosome or none carries the allele.
    std::vector<std::int64_t> m_Carriers;
};

// Sums of the population values of every pool and pair over some positions.
struct STruthSums {
    std::vector<double> m_Within;   // per pool: sum of 2 p (1 - p)
    std::vector<double> m_Between;  // per pair: sum of p1 (1 - p2) + p2 (1 - p1)
    explicit STruthSums(std::size_t pools = 0)
        : m_Within(pools, 0.0), m_Between(pools * (pools - 1) / 2, 0.0) {}
    void Add(const std::vector<double>& p) {
        std::size_t pair = 0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            m_Within[i] += 2.0 * p[i] * (1.0 - p[i]);
            for (std::size_t k = i + 1; k < p.size(); ++k) {
                m_Between[pair++] += p[i] * (1.0 - p[k]) + p[k] * (1.0 - p[i]);
            }
        }
    }
};

std::string Number(double v) {
    if (std::isnan(v)) {
        return "NA";
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
}

// Rows "pool1 pool2 sites pi1 pi2 dxy fst" of the sums over `sites`
// positions, each pair (or the single pool) prefixed by prefix and followed
// by its suffix (suffixes: one per row, or none).
void WriteTruthRows(std::ostream& out, const std::string& prefix, const SPoolSimOptions& opts,
                    const STruthSums& sums, std::int64_t sites,
                    const std::vector<std::string>& suffixes = {}) {
    const std::size_t pools = opts.m_Names.size();
    const double n = static_cast<double>(sites);
    auto suffix = [&suffixes](std::size_t row) {
        return suffixes.empty() ? std::string() : suffixes[row];
    };
    if (pools == 1) {
        out << prefix << opts.m_Names[0] << "\tNA\t" << sites << '\t'
            << Number(sites > 0 ? sums.m_Within[0] / n : NAN) << "\tNA\tNA\tNA" << suffix(0)
            << '\n';
        return;
    }
    std::size_t pair = 0;
    for (std::size_t i = 0; i < pools; ++i) {
        for (std::size_t k = i + 1; k < pools; ++k, ++pair) {
            const double pi1 = sites > 0 ? sums.m_Within[i] / n : NAN;
            const double pi2 = sites > 0 ? sums.m_Within[k] / n : NAN;
            const double dxy = sites > 0 ? sums.m_Between[pair] / n : NAN;
            out << prefix << opts.m_Names[i] << '\t' << opts.m_Names[k] << '\t' << sites << '\t'
                << Number(pi1) << '\t' << Number(pi2) << '\t' << Number(dxy) << '\t'
                << Number(HudsonFst(pi1, pi2, dxy)) << suffix(pair) << '\n';
        }
    }
}

class CTextFile {
  public:
    explicit CTextFile(const std::string& path) : m_Path(path), m_Out(path) {
        if (!m_Out) {
            Fail("Cannot open " + Quoted(path) + " for writing.");
        }
    }
    std::ostream& Stream() { return m_Out; }
    void Close() {
        m_Out.close();
        if (!m_Out) {
            Fail("Cannot write " + Quoted(m_Path) + ".");
        }
    }

  private:
    std::string m_Path;
    std::ofstream m_Out;
};

struct SBamFree {
    void operator()(bam1_t* b) const { bam_destroy1(b); }
};

// One BAM output with its header.
struct SBamOut {
    std::string m_Path;
    std::string m_ReadGroup;
    THtsFile m_File;
};

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

unsigned long StreamSeed(std::uint64_t seed, std::uint64_t stream) {
    // splitmix64 (Steele, Lea and Flood 2014) of the pair; mt19937 takes 32 bits.
    std::uint64_t z = seed + 0x9e3779b97f4a7c15ULL * (stream + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<unsigned long>(z & 0xffffffffULL);
}

double DriftFrequency(gsl_rng* rng, double p, double fst) {
    if (fst <= 0.0 || p <= 0.0 || p >= 1.0) {
        return p;
    }
    const double scale = (1.0 - fst) / fst;
    // log Gamma(a) variate: Gamma(a) = Gamma(a + 1) U^(1/a) (Marsaglia and
    // Tsang 2000, their remark for a < 1), in logarithms.
    auto logGamma = [rng](double a) {
        if (a >= 1.0) {
            return std::log(gsl_ran_gamma(rng, a, 1.0));
        }
        const double g = gsl_ran_gamma(rng, a + 1.0, 1.0);
        double u = gsl_rng_uniform_pos(rng);
        return std::log(g) + std::log(u) / a;
    };
    const double lx = logGamma(p * scale);
    const double ly = logGamma((1.0 - p) * scale);
    // x / (x + y) = 1 / (1 + e^(ly - lx))
    return 1.0 / (1.0 + std::exp(ly - lx));
}

CQualityProfile::CQualityProfile(const std::string& spec) : m_Spec(spec) {
    std::string ranges = spec;
    if (spec == "clean") {
        ranges = "20-40";
    } else if (spec == "low5") {
        ranges = "2-19:5,20-40:95";
    } else if (spec == "binned") {
        ranges = "2:2,12:3,23:15,37:80";
    }
    std::vector<double> weight(kMaxQuality + 1, 0.0);
    for (const std::string& item : SplitAt(ranges, ',')) {
        const std::string bad = "Invalid quality profile '" + spec + "': ";
        const std::size_t colon = item.find(':');
        const std::string range = item.substr(0, colon);
        double w = 1.0;
        if (colon != std::string::npos) {
            const std::string text = item.substr(colon + 1);
            char* end = nullptr;
            w = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(w > 0.0) || !std::isfinite(w)) {
                Fail(bad + "the weight '" + text + "' is not a positive number.");
            }
        }
        const std::size_t dash = range.find('-');
        const long long lo = Quality(range.substr(0, dash));
        const long long hi = dash == std::string::npos ? lo : Quality(range.substr(dash + 1));
        if (lo < 0 || hi < 0 || hi < lo) {
            Fail(bad + "'" + range +
                 "' is not a quality or a range LO-HI of qualities from 0 to 93 (named profiles: "
                 "clean, low5, binned).");
        }
        for (long long q = lo; q <= hi; ++q) {
            weight[static_cast<std::size_t>(q)] += w / static_cast<double>(hi - lo + 1);
        }
    }
    double total = 0.0;
    m_Cumulative.resize(weight.size());
    for (std::size_t q = 0; q < weight.size(); ++q) {
        total += weight[q];
        m_Cumulative[q] = total;
    }
    for (double& c : m_Cumulative) {
        c /= total;
    }
    m_Cumulative.back() = 1.0;
}

std::uint8_t CQualityProfile::Draw(double u) const {
    const auto it = std::upper_bound(m_Cumulative.begin(), m_Cumulative.end(), u);
    return static_cast<std::uint8_t>(
        std::min<std::ptrdiff_t>(it - m_Cumulative.begin(), kMaxQuality));
}

double CQualityProfile::MeanError() const {
    double mean = 0.0, before = 0.0;
    for (std::size_t q = 0; q < m_Cumulative.size(); ++q) {
        mean += (m_Cumulative[q] - before) * ErrProbTable()[q];
        before = m_Cumulative[q];
    }
    return mean;
}

double CQualityProfile::ShareBelow(unsigned q) const {
    return q == 0 ? 0.0 : m_Cumulative[std::min<std::size_t>(q - 1, m_Cumulative.size() - 1)];
}

double AncestralWeight(unsigned k, double alpha) {
    // 1.0 / k for neutral runs, so that they draw what they always drew.
    return alpha == 1.0 ? 1.0 / k : std::pow(static_cast<double>(k), -alpha);
}

double PoolFst(const SPoolSimOptions& opts, std::size_t pool) {
    return opts.m_PoolFst.empty() ? opts.m_Fst : opts.m_PoolFst[pool];
}

double PolymorphicShare(const SPoolSimOptions& opts) {
    double harmonic = 0.0;
    for (unsigned k = 1; k < opts.m_AncestralSize; ++k) {
        harmonic += AncestralWeight(k, opts.m_SpectrumPower);
    }
    return opts.m_Theta * harmonic;
}

double AncestralDiversity(const SPoolSimOptions& opts) {
    const double a = opts.m_AncestralSize;
    if (opts.m_SpectrumPower == 1.0) {
        // theta sum_k (1/k) 2 (k/A)(1 - k/A) = theta 2/A sum_k (1 - k/A).
        return opts.m_Theta * (a - 1.0) / a;
    }
    double sum = 0.0;
    for (unsigned k = 1; k < opts.m_AncestralSize; ++k) {
        const double x = k / a;
        sum += AncestralWeight(k, opts.m_SpectrumPower) * 2.0 * x * (1.0 - x);
    }
    return opts.m_Theta * sum;
}

namespace {

// Expected words of carriers' bits per polymorphic site: a pool of n keeps
// ceil(n / 64) words where 0 < j < n. Without drift, j ~ Binomial(n, x) for
// the ancestral frequency x = k / A; drift only makes j = 0 or n likelier
// (E[(1 - p_i)^n] >= (1 - x)^n and E[p_i^n] >= x^n, both powers convex, with
// E[p_i] = x), so this bounds the drifted runs too. A terms per distinct pool
// size; beyond 10^8 terms in all every pool counts as polymorphic.
double CarrierWordsPerSite(const SPoolSimOptions& o) {
    std::vector<unsigned> sizes = o.m_PoolSizes;
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    const bool sum =
        static_cast<double>(o.m_AncestralSize) * static_cast<double>(sizes.size()) <= 1e8;
    double words = 0.0;
    for (unsigned n : sizes) {
        double polymorphic = 1.0;
        if (sum) {
            double weights = 0.0, segregating = 0.0;
            for (unsigned k = 1; k < o.m_AncestralSize; ++k) {
                const double x = static_cast<double>(k) / o.m_AncestralSize;
                const double w = AncestralWeight(k, o.m_SpectrumPower);
                weights += w;
                segregating += w * (1.0 - std::exp(n * std::log1p(-x)) - std::pow(x, n));
            }
            polymorphic = weights > 0.0 ? segregating / weights : 0.0;
        }
        words += polymorphic * std::ceil(n / 64.0) *
                 static_cast<double>(std::count(o.m_PoolSizes.begin(), o.m_PoolSizes.end(), n));
    }
    return words;
}

// Room above a mean of independent counts: six standard deviations of a
// Poisson variable of that mean, times the largest single count.
std::size_t Room(double mean, double largest) {
    return static_cast<std::size_t>(mean + 6.0 * std::sqrt(mean * largest) + largest);
}

// A block of b bytes from glibc's malloc: an 8-byte header, 16-byte steps,
// 32 bytes at least.
double HeapBlock(double b) {
    return b <= 0.0 ? 0.0 : std::max(32.0, std::ceil((b + 8.0) / 16.0) * 16.0);
}

// Room reserved for a contig's polymorphic sites, Binomial(length, share),
// and their carriers' bits: reserved at once, since doubling the capacity as
// they come would hold up to three times their bytes while it copies.
struct SContigRoom {
    SContigRoom(const SPoolSimOptions& o, std::int64_t length, double share, double words) {
        const double sites = static_cast<double>(length) * share;
        double most = 0.0;  // words of one site
        for (unsigned n : o.m_PoolSizes) {
            most += std::ceil(n / 64.0);
        }
        m_Sites = Room(sites, 1.0);
        m_Words = Room(sites * words, most);
    }
    std::size_t m_Sites = 0, m_Words = 0;
};

// What a run holds besides its contigs (the program, htslib's buffers), and
// per thread (a stack and its buffers).
constexpr double kFixedBytes = 32.0 * 1024 * 1024;
constexpr double kThreadBytes = 16.0 * 1024 * 1024;

}  // namespace

double PoolSimMemory(const SPoolSimOptions& o) {
    const double pools = static_cast<double>(o.m_Names.size());
    const double pairs = pools * (pools - 1.0) / 2.0;
    const double share = PolymorphicShare(o);
    // Per polymorphic site: its record, the heap blocks of its three lists
    // of one value per pool (grown one at a time: capacity the power of two
    // at or above the number of pools), and the carriers' bits. The sites
    // and the bits are reserved (SContigRoom); the windows are known.
    const double capacity = std::exp2(std::ceil(std::log2(std::max(pools, 1.0))));
    const double perSite = sizeof(SSimSite) + HeapBlock(capacity * sizeof(double)) +
                           HeapBlock(capacity * sizeof(unsigned)) +
                           HeapBlock(capacity * sizeof(std::int64_t));
    const double words = CarrierWordsPerSite(o);
    double largest = 0.0;
    for (std::int64_t length : o.m_Lengths) {
        const SContigRoom room(o, length, share, words);
        double bytes = HeapBlock(static_cast<double>(length) + 1.0) +
                       static_cast<double>(room.m_Sites) * perSite +
                       static_cast<double>(room.m_Words) * sizeof(std::uint64_t);
        if (o.m_WindowSize > 0 && o.m_WindowStep > 0) {
            const double windows =
                std::ceil(static_cast<double>(length) / static_cast<double>(o.m_WindowStep));
            bytes +=
                windows * (sizeof(std::int64_t) + sizeof(STruthSums) +
                           HeapBlock(pools * sizeof(double)) + HeapBlock(pairs * sizeof(double)));
        }
        largest = std::max(largest, bytes);
    }
    return kFixedBytes + kThreadBytes * o.m_Threads +
           static_cast<double>(o.m_AncestralSize) * sizeof(double) + largest;
}

void CheckPoolSimMemory(const SPoolSimOptions& opts, const SMemoryBound& bound) {
    const double need = PoolSimMemory(opts);
    if (need <= static_cast<double>(bound.m_Bytes)) {
        return;
    }
    const std::int64_t longest = *std::max_element(opts.m_Lengths.begin(), opts.m_Lengths.end());
    char perBase[32];
    std::snprintf(perBase, sizeof perBase, "%.3g", need / static_cast<double>(longest));
    Fail("The simulation needs about " + ByteSize(need) + " of memory (a contig is held whole: " +
         perBase + " bytes per base of the longest, " + std::to_string(longest) +
         " bases), more than the " + ByteSize(static_cast<double>(bound.m_Bytes)) + " of " +
         bound.m_What + ": simulate shorter contigs (-l, --contigs).");
}

void CheckPoolSimOptions(const SPoolSimOptions& o) {
    const std::size_t pools = o.m_Names.size();
    if (o.m_Prefix.empty()) {
        Fail("An output prefix is needed (-o PREFIX).");
    }
    if (pools == 0) {
        Fail("At least one pool is needed.");
    }
    if (o.m_PoolSizes.size() != pools || o.m_Depths.size() != pools) {
        Fail("The pool sizes and depths must be given once for all pools or once per pool (" +
             std::to_string(pools) + " pools).");
    }
    for (std::size_t i = 0; i < pools; ++i) {
        const std::string& name = o.m_Names[i];
        if (name.empty() || name.find_first_of(" \t\n\r,/") != std::string::npos) {
            Fail("Invalid pool name '" + name +
                 "': a name is one word without blanks, commas or slashes.");
        }
        if (std::find(o.m_Names.begin(), o.m_Names.begin() + static_cast<std::ptrdiff_t>(i),
                      name) != o.m_Names.begin() + static_cast<std::ptrdiff_t>(i)) {
            Fail("The pool name '" + name + "' is given twice.");
        }
        if (o.m_PoolSizes[i] < kMinPoolSize || o.m_PoolSizes[i] > kMaxPoolSize) {
            Fail("A pool holds " + std::to_string(kMinPoolSize) + " to " +
                 std::to_string(kMaxPoolSize) + " chromosomes (" + name + ": " +
                 std::to_string(o.m_PoolSizes[i]) + "), the range the pool programs read.");
        }
        if (!(o.m_Depths[i] > 0.0) || !std::isfinite(o.m_Depths[i])) {
            Fail("The depth of a pool must be a positive number.");
        }
    }
    if (o.m_Lengths.empty()) {
        Fail("At least one contig is needed.");
    }
    for (std::int64_t len : o.m_Lengths) {
        if (len < 1) {
            Fail("A contig is at least one base long.");
        }
    }
    if (o.m_AncestralSize < 2) {
        Fail("The ancestral population holds at least 2 chromosomes.");
    }
    if (!(o.m_SpectrumPower >= 0.0 && o.m_SpectrumPower <= 10.0)) {
        Fail("The spectrum's power ALPHA must be from 0 to 10.");
    }
    if (!(o.m_Theta >= 0.0) || PolymorphicShare(o) > 1.0) {
        Fail("theta " + Number(o.m_Theta) + " makes a site polymorphic with probability " +
             Number(PolymorphicShare(o)) + " (theta times the sum of 1/k^" +
             Number(o.m_SpectrumPower) + " for k from 1 to " +
             std::to_string(o.m_AncestralSize - 1) + "): it must be at most 1.");
    }
    if (!o.m_PoolFst.empty() && o.m_PoolFst.size() != pools) {
        Fail("F must be given once for all pools or once per pool (" + std::to_string(pools) +
             " pools).");
    }
    for (std::size_t i = 0; i < pools; ++i) {
        if (!(PoolFst(o, i) >= 0.0 && PoolFst(o, i) < 1.0)) {
            Fail("F must be at least 0 and below 1.");
        }
    }
    if (o.m_ReadLength < 1 || o.m_Lanes < 1) {
        Fail("Reads are at least one base long and a pool has at least one lane.");
    }
    if (o.m_WindowSize < 0 ||
        (o.m_WindowSize > 0 && (o.m_WindowStep < 1 || o.m_WindowStep > o.m_WindowSize))) {
        Fail("Windows need a size >= 1 and a step from 1 to the size.");
    }
    CQualityProfile check(o.m_Qualities);
}

namespace {

// One contig as drawn: its reference (the ancestral base of every
// position) and its polymorphic sites with the bits of their carriers. Held
// for one contig at a time (PoolSimMemory counts on it).
struct SContigDraw {
    std::size_t m_Index = 0;
    std::int64_t m_Length = 0;
    std::string m_Seq;
    std::vector<SSimSite> m_Sites;
    std::vector<std::uint64_t> m_Bits;
};

// The stages of one run: the outputs opened, every contig drawn (its
// reference, its sites and their pools, the truth, the reads of every
// pool), then the files closed and indexed and the sheet and the truth
// written. Each stage draws from its own streams (Stream), so the order of
// the draws within a stream is all that matters for the same files.
class CPoolSim {
  public:
    explicit CPoolSim(const SPoolSimOptions& opts)
        : m_Opts(opts),
          m_Pools(opts.m_Names.size()),
          m_Profile(opts.m_Qualities),
          m_ErrProb(ErrProbTable()) {}

    SPoolSimSummary Run();

  private:
    void x_Spectrum();
    void x_OpenBams();
    SBamOut x_OpenBam(std::size_t pool, unsigned lane, const std::string& headerText);
    void x_OpenTextFiles();
    void x_Contig(std::size_t c);
    void x_Reference(SContigDraw& contig);
    void x_DrawSites(SContigDraw& contig);
    void x_DrawCarriers(SSimSite& s, std::size_t pool, gsl_rng* rng, SContigDraw& contig);
    void x_Truth(const SContigDraw& contig);
    void x_WriteSite(const SContigDraw& contig, const SSimSite& s);
    void x_Reads(const SContigDraw& contig, std::size_t pool);
    void x_ReadBases(const SContigDraw& contig, std::size_t pool, std::size_t firstSite,
                     std::int64_t beg, std::int64_t end, unsigned chr, gsl_rng* rng);
    void x_WriteRead(std::size_t c, std::size_t pool, std::size_t lane, bool reverse,
                     std::int64_t beg, std::uint64_t serial);
    void x_CloseReads();
    void x_WriteSheet();
    void x_WriteTruth();
    void x_WriteDiversity();

    const SPoolSimOptions& m_Opts;
    const std::size_t m_Pools;
    const CQualityProfile m_Profile;
    const std::array<double, 256>& m_ErrProb;
    SPoolSimSummary m_Summary;
    std::vector<std::string> m_Contigs;
    // sum_{i<=k} 1/i^ALPHA at [k] (H_k when neutral)
    std::vector<double> m_Harmonic;
    double m_Polymorphic = 0.0, m_CarrierWords = 0.0;
    TThreadPool m_Threads;
    htsThreadPool m_HtsPool{nullptr, 0};
    std::vector<std::vector<SBamOut>> m_Bams;  // per pool, per lane
    std::vector<std::string> m_SheetFiles;     // per pool
    std::string m_FaPath;
    std::unique_ptr<CTextFile> m_Fasta, m_SitesFile, m_WindowsFile;
    STruthSums m_Genome;
    std::vector<CSampleDiversity> m_Diversity;  // of each pool's chromosomes
    std::unique_ptr<bam1_t, SBamFree> m_Record;
    std::string m_Bases, m_Qname;
    std::vector<std::uint8_t> m_Quals;
    std::vector<unsigned> m_Chromosomes;  // a pool's, shuffled to draw carriers
};

SPoolSimSummary CPoolSim::Run() {
    m_Summary.m_Reads.assign(m_Pools, 0);
    x_Spectrum();
    m_Threads = StartThreadPool(m_Opts.m_Threads);
    m_HtsPool = htsThreadPool{m_Threads.get(), 0};
    x_OpenBams();
    x_OpenTextFiles();
    m_Genome = STruthSums(m_Pools);
    for (unsigned n : m_Opts.m_PoolSizes) {
        m_Diversity.emplace_back(n);
    }
    m_Record.reset(bam_init1());
    for (std::size_t c = 0; c < m_Contigs.size(); ++c) {
        x_Contig(c);
    }
    x_CloseReads();
    x_WriteSheet();
    x_WriteTruth();
    x_WriteDiversity();
    if (m_WindowsFile) {
        m_WindowsFile->Close();
        m_Summary.m_Files.push_back(m_Opts.m_Prefix + ".truth.windows.tsv");
    }
    return m_Summary;
}

// Contig names and the inverse cumulative 1/k^ALPHA of the ancestral
// spectrum.
void CPoolSim::x_Spectrum() {
    for (std::size_t c = 0; c < m_Opts.m_Lengths.size(); ++c) {
        m_Contigs.push_back("chr" + std::to_string(c + 1));
    }
    m_Harmonic.assign(m_Opts.m_AncestralSize, 0.0);
    for (unsigned k = 1; k < m_Opts.m_AncestralSize; ++k) {
        m_Harmonic[k] = m_Harmonic[k - 1] + AncestralWeight(k, m_Opts.m_SpectrumPower);
    }
    m_Polymorphic = m_Opts.m_Theta * m_Harmonic.back();
    m_CarrierWords = CarrierWordsPerSite(m_Opts);
}

// The BAM files of every pool and lane, with the header they share and
// each its read group.
void CPoolSim::x_OpenBams() {
    std::string headerText = "@HD\tVN:1.6\tSO:coordinate\n";
    for (std::size_t c = 0; c < m_Contigs.size(); ++c) {
        headerText +=
            "@SQ\tSN:" + m_Contigs[c] + "\tLN:" + std::to_string(m_Opts.m_Lengths[c]) + "\n";
    }
    m_Bams.resize(m_Pools);
    m_SheetFiles.resize(m_Pools);
    for (std::size_t i = 0; i < m_Pools; ++i) {
        for (unsigned lane = 0; lane < m_Opts.m_Lanes; ++lane) {
            m_Bams[i].push_back(x_OpenBam(i, lane, headerText));
            m_SheetFiles[i] += (lane ? "," : "") + BaseName(m_Bams[i].back().m_Path);
        }
    }
}

// Lane lane of pool i: PREFIX.NAME.bam, or PREFIX.NAME.L1.bam, ... with
// several lanes (read group NAME.L1, sample NAME).
SBamOut CPoolSim::x_OpenBam(std::size_t i, unsigned lane, const std::string& headerText) {
    SBamOut out;
    const std::string tag = m_Opts.m_Lanes == 1
                                ? m_Opts.m_Names[i]
                                : m_Opts.m_Names[i] + ".L" + std::to_string(lane + 1);
    out.m_Path = m_Opts.m_Prefix + "." + tag + ".bam";
    out.m_ReadGroup = tag;
    out.m_File.reset(hts_open(out.m_Path.c_str(), "wb"));
    if (!out.m_File) {
        Fail("Cannot open " + Quoted(out.m_Path) + " for writing.");
    }
    if (m_HtsPool.pool && hts_set_thread_pool(out.m_File.get(), &m_HtsPool) != 0) {
        Fail("Cannot give " + Quoted(out.m_Path) + " its threads.");
    }
    const std::string text = headerText + "@RG\tID:" + tag + "\tSM:" + m_Opts.m_Names[i] +
                             "\n@PG\tID:qualpoolsim\tPN:qualpoolsim\tVN:" + QUALPOOLSIM_VERSION +
                             "\n";
    THeader header(sam_hdr_parse(text.size(), text.c_str()));
    if (!header || sam_hdr_write(out.m_File.get(), header.get()) < 0) {
        Fail("Cannot write the header of " + Quoted(out.m_Path) + ".");
    }
    return out;
}

// The reference, the sites with their header, and the windows' truth.
void CPoolSim::x_OpenTextFiles() {
    m_FaPath = m_Opts.m_Prefix + ".fa";
    m_Fasta = std::make_unique<CTextFile>(m_FaPath);
    m_SitesFile = std::make_unique<CTextFile>(m_Opts.m_Prefix + ".sites.tsv");
    std::ostream& sites = m_SitesFile->Stream();
    sites << "contig\tpos\tref\talt\tancestral";
    for (const std::string& name : m_Opts.m_Names) {
        sites << "\tp_" << name;
    }
    for (const std::string& name : m_Opts.m_Names) {
        sites << "\tn_" << name;
    }
    sites << '\n';
    if (m_Opts.m_WindowSize > 0) {
        m_WindowsFile = std::make_unique<CTextFile>(m_Opts.m_Prefix + ".truth.windows.tsv");
        m_WindowsFile->Stream() << "contig\tstart\tend\tpool1\tpool2\tsites\tpi1\tpi2\tdxy\tfst\n";
    }
}

// Contig c: its reference, its sites and their pools, the truth, and the
// reads of every pool.
void CPoolSim::x_Contig(std::size_t c) {
    SContigDraw contig;
    contig.m_Index = c;
    contig.m_Length = m_Opts.m_Lengths[c];
    m_Summary.m_Positions += static_cast<std::uint64_t>(contig.m_Length);
    x_Reference(contig);
    x_DrawSites(contig);
    m_Summary.m_AncestralPolymorphic += contig.m_Sites.size();
    x_Truth(contig);
    // The reads of every pool, in order of their start.
    for (std::size_t i = 0; i < m_Pools; ++i) {
        x_Reads(contig, i);
    }
}

// The reference: the ancestral base of every position, into the FASTA.
void CPoolSim::x_Reference(SContigDraw& contig) {
    contig.m_Seq.assign(static_cast<std::size_t>(contig.m_Length), 'A');
    TRng rng = MakeRng(m_Opts.m_Seed, Stream(eSequence, contig.m_Index));
    for (char& b : contig.m_Seq) {
        b = kBases[gsl_rng_uniform_int(rng.get(), 4)];
    }
    std::ostream& fasta = m_Fasta->Stream();
    fasta << '>' << m_Contigs[contig.m_Index] << '\n';
    for (std::size_t at = 0; at < contig.m_Seq.size(); at += 60) {
        fasta << contig.m_Seq.substr(at, 60) << '\n';
    }
}

// The polymorphic sites: where, the ancestral frequency and the derived
// base, each pool's population drifted from it, and each pool's carriers.
void CPoolSim::x_DrawSites(SContigDraw& contig) {
    const std::size_t c = contig.m_Index;
    const SContigRoom room(m_Opts, contig.m_Length, m_Polymorphic, m_CarrierWords);
    contig.m_Sites.reserve(room.m_Sites);
    contig.m_Bits.reserve(room.m_Words);
    TRng rng = MakeRng(m_Opts.m_Seed, Stream(ePopulation, c));
    std::vector<TRng> carrierRng;
    for (std::size_t i = 0; i < m_Pools; ++i) {
        carrierRng.push_back(MakeRng(m_Opts.m_Seed, Stream(ePoolCarriers, c, i)));
    }
    const std::vector<double>& harmonic = m_Harmonic;
    for (std::int64_t pos = 0; pos < contig.m_Length; ++pos) {
        if (gsl_rng_uniform(rng.get()) >= m_Polymorphic) {
            continue;
        }
        SSimSite s;
        s.m_Pos = pos;
        const double u = gsl_rng_uniform(rng.get()) * harmonic.back();
        const std::size_t k = static_cast<std::size_t>(
            std::upper_bound(harmonic.begin() + 1, harmonic.end(), u) - harmonic.begin());
        s.m_Ancestral = static_cast<double>(std::min<std::size_t>(k, harmonic.size() - 1)) /
                        m_Opts.m_AncestralSize;
        const int ref = BaseIndex(contig.m_Seq[static_cast<std::size_t>(pos)]);
        s.m_Alt = (ref + 1 + static_cast<int>(gsl_rng_uniform_int(rng.get(), 3))) % 4;
        for (std::size_t i = 0; i < m_Pools; ++i) {
            s.m_Population.push_back(DriftFrequency(rng.get(), s.m_Ancestral, PoolFst(m_Opts, i)));
        }
        for (std::size_t i = 0; i < m_Pools; ++i) {
            x_DrawCarriers(s, i, carrierRng[i].get(), contig);
        }
        contig.m_Sites.push_back(std::move(s));
    }
}

// Pool i's count of the alternative allele at site s, Binomial(n, p_i), and
// which of its chromosomes carry it (a bit set in the contig's store, none
// when all or none do).
void CPoolSim::x_DrawCarriers(SSimSite& s, std::size_t i, gsl_rng* rng, SContigDraw& contig) {
    const unsigned n = m_Opts.m_PoolSizes[i];
    const unsigned j = gsl_ran_binomial(rng, s.m_Population[i], n);
    s.m_Count.push_back(j);
    if (j == 0 || j == n) {
        s.m_Carriers.push_back(-1);
        return;
    }
    // j chromosomes of n, by a partial Fisher-Yates shuffle.
    std::vector<unsigned>& chromosomes = m_Chromosomes;
    chromosomes.resize(n);
    for (unsigned x = 0; x < n; ++x) {
        chromosomes[x] = x;
    }
    std::vector<std::uint64_t>& bits = contig.m_Bits;
    const std::int64_t offset = static_cast<std::int64_t>(bits.size());
    bits.resize(bits.size() + (n + 63) / 64, 0);
    for (unsigned x = 0; x < j; ++x) {
        const unsigned pick = x + static_cast<unsigned>(gsl_rng_uniform_int(rng, n - x));
        std::swap(chromosomes[x], chromosomes[pick]);
        const unsigned chr = chromosomes[x];
        bits[static_cast<std::size_t>(offset) + chr / 64] |= 1ULL << (chr % 64);
    }
    s.m_Carriers.push_back(offset);
}

// Truth: every site into the genome's sums, the pools' diversities, its
// windows and the sites file; then the contig's windows written.
void CPoolSim::x_Truth(const SContigDraw& contig) {
    const std::int64_t len = contig.m_Length;
    std::vector<std::int64_t> winStart;
    std::vector<STruthSums> winSums;
    if (m_Opts.m_WindowSize > 0) {
        const CWindowPolicy policy(m_Opts.m_WindowSize, m_Opts.m_WindowStep);
        const std::size_t windows = static_cast<std::size_t>((len - 1) / policy.Step() + 1);
        winStart.reserve(windows);
        winSums.reserve(windows);
        for (std::int64_t start = policy.FirstStart(0); start < len; start += policy.Step()) {
            winStart.push_back(start);
            winSums.emplace_back(m_Pools);
        }
    }
    for (const SSimSite& s : contig.m_Sites) {
        m_Genome.Add(s.m_Population);
        for (std::size_t i = 0; i < m_Pools; ++i) {
            m_Diversity[i].Add(s.m_Count[i]);
        }
        if (!winStart.empty()) {
            // Windows k with k step <= pos < k step + size.
            const std::int64_t step = m_Opts.m_WindowStep, size = m_Opts.m_WindowSize;
            std::int64_t first = s.m_Pos - size + 1 <= 0 ? 0 : (s.m_Pos - size + step) / step;
            for (std::int64_t k = first; k <= s.m_Pos / step; ++k) {
                winSums[static_cast<std::size_t>(k)].Add(s.m_Population);
            }
        }
        x_WriteSite(contig, s);
    }
    const std::string& name = m_Contigs[contig.m_Index];
    for (std::size_t w = 0; w < winStart.size(); ++w) {
        const std::int64_t end = std::min(winStart[w] + m_Opts.m_WindowSize, len);
        WriteTruthRows(
            m_WindowsFile->Stream(),
            name + '\t' + std::to_string(winStart[w]) + '\t' + std::to_string(end) + '\t', m_Opts,
            winSums[w], end - winStart[w]);
    }
}

// A row of the sites file.
void CPoolSim::x_WriteSite(const SContigDraw& contig, const SSimSite& s) {
    std::ostream& out = m_SitesFile->Stream();
    out << m_Contigs[contig.m_Index] << '\t' << s.m_Pos + 1 << '\t'
        << contig.m_Seq[static_cast<std::size_t>(s.m_Pos)] << '\t' << kBases[s.m_Alt] << '\t'
        << Number(s.m_Ancestral);
    for (double p : s.m_Population) {
        out << '\t' << Number(p);
    }
    for (unsigned j : s.m_Count) {
        out << '\t' << j;
    }
    out << '\n';
}

// Pool i's reads on the contig, in order of their start: a Poisson number
// at every start, each from a chromosome of the pool drawn uniformly, on
// a strand and a lane drawn likewise.
void CPoolSim::x_Reads(const SContigDraw& contig, std::size_t i) {
    const std::int64_t len = contig.m_Length;
    const std::int64_t readLen = m_Opts.m_ReadLength;
    TRng rng = MakeRng(m_Opts.m_Seed, Stream(eReads, contig.m_Index, i));
    const double perStart = m_Opts.m_Depths[i] / static_cast<double>(readLen);
    const unsigned n = m_Opts.m_PoolSizes[i];
    const std::vector<SSimSite>& sites = contig.m_Sites;
    std::size_t firstSite = 0;
    std::uint64_t serial = 0;
    for (std::int64_t start = 1 - readLen; start < len; ++start) {
        unsigned count = gsl_ran_poisson(rng.get(), perStart);
        if (count == 0) {
            continue;
        }
        const std::int64_t beg = std::max<std::int64_t>(start, 0);
        const std::int64_t end = std::min(start + readLen, len);
        while (firstSite < sites.size() && sites[firstSite].m_Pos < beg) {
            ++firstSite;
        }
        for (; count > 0; --count) {
            const unsigned chr = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), n));
            const bool reverse = gsl_rng_uniform(rng.get()) < 0.5;
            const std::size_t lane =
                m_Opts.m_Lanes == 1 ? 0 : gsl_rng_uniform_int(rng.get(), m_Opts.m_Lanes);
            x_ReadBases(contig, i, firstSite, beg, end, chr, rng.get());
            x_WriteRead(contig.m_Index, i, lane, reverse, beg, ++serial);
        }
    }
}

// The bases of a read of chromosome chr of pool i over [beg, end): the
// reference with the chromosome's alleles, each base with a quality from
// the profile and replaced by another with its error probability.
void CPoolSim::x_ReadBases(const SContigDraw& contig, std::size_t i, std::size_t firstSite,
                           std::int64_t beg, std::int64_t end, unsigned chr, gsl_rng* rng) {
    const unsigned n = m_Opts.m_PoolSizes[i];
    const std::vector<SSimSite>& sites = contig.m_Sites;
    m_Bases.assign(contig.m_Seq, static_cast<std::size_t>(beg),
                   static_cast<std::size_t>(end - beg));
    for (std::size_t at = firstSite; at < sites.size() && sites[at].m_Pos < end; ++at) {
        const SSimSite& s = sites[at];
        const std::int64_t offset = s.m_Carriers[i];
        const bool carries =
            offset < 0
                ? s.m_Count[i] == n
                : (contig.m_Bits[static_cast<std::size_t>(offset) + chr / 64] >> (chr % 64)) & 1;
        if (carries) {
            m_Bases[static_cast<std::size_t>(s.m_Pos - beg)] = kBases[s.m_Alt];
        }
    }
    m_Quals.resize(m_Bases.size());
    for (std::size_t b = 0; b < m_Bases.size(); ++b) {
        const std::uint8_t q = m_Profile.Draw(gsl_rng_uniform(rng));
        m_Quals[b] = q;
        if (gsl_rng_uniform(rng) < m_ErrProb[q]) {
            const int truth = BaseIndex(m_Bases[b]);
            m_Bases[b] = kBases[(truth + 1 + static_cast<int>(gsl_rng_uniform_int(rng, 3))) % 4];
        }
    }
}

// The read of m_Bases and m_Quals as a record of its pool's lane, named
// POOL:CONTIG:SERIAL, with its read group.
void CPoolSim::x_WriteRead(std::size_t c, std::size_t i, std::size_t lane, bool reverse,
                           std::int64_t beg, std::uint64_t serial) {
    m_Qname = m_Opts.m_Names[i] + ":" + m_Contigs[c] + ":" + std::to_string(serial);
    const std::uint32_t cigar = bam_cigar_gen(m_Bases.size(), BAM_CMATCH);
    SBamOut& out = m_Bams[i][lane];
    if (bam_set1(m_Record.get(), m_Qname.size(), m_Qname.c_str(), reverse ? BAM_FREVERSE : 0,
                 static_cast<int32_t>(c), beg, 60, 1, &cigar, -1, -1, 0, m_Bases.size(),
                 m_Bases.c_str(), reinterpret_cast<const char*>(m_Quals.data()), 0) < 0 ||
        bam_aux_append(m_Record.get(), "RG", 'Z', static_cast<int>(out.m_ReadGroup.size() + 1),
                       reinterpret_cast<const std::uint8_t*>(out.m_ReadGroup.c_str())) != 0 ||
        sam_write1(out.m_File.get(), nullptr, m_Record.get()) < 0) {
        Fail("Cannot write " + Quoted(out.m_Path) + ".");
    }
    ++m_Summary.m_Reads[i];
}

// The reference closed and indexed, the sites closed, every BAM file closed
// and indexed.
void CPoolSim::x_CloseReads() {
    m_Fasta->Close();
    if (fai_build(m_FaPath.c_str()) != 0) {
        Fail("Cannot index " + Quoted(m_FaPath) + ".");
    }
    m_SitesFile->Close();
    m_Summary.m_Files.push_back(m_FaPath);
    m_Summary.m_Files.push_back(m_FaPath + ".fai");
    m_Summary.m_Files.push_back(m_Opts.m_Prefix + ".sites.tsv");
    for (auto& lanes : m_Bams) {
        for (SBamOut& out : lanes) {
            if (hts_close(out.m_File.release()) != 0) {
                Fail("Cannot write " + Quoted(out.m_Path) + ".");
            }
            if (sam_index_build(out.m_Path.c_str(), 0) != 0) {
                Fail("Cannot index " + Quoted(out.m_Path) + ".");
            }
            m_Summary.m_Files.push_back(out.m_Path);
            m_Summary.m_Files.push_back(out.m_Path + ".bai");
        }
    }
}

// The sheet every pool program reads: name, size, files.
void CPoolSim::x_WriteSheet() {
    CTextFile sheet(m_Opts.m_Prefix + ".pools.tsv");
    sheet.Stream() << "name\tsize\tfiles\n";
    for (std::size_t i = 0; i < m_Pools; ++i) {
        sheet.Stream() << m_Opts.m_Names[i] << '\t' << m_Opts.m_PoolSizes[i] << '\t'
                       << m_SheetFiles[i] << '\n';
    }
    sheet.Close();
    m_Summary.m_Files.push_back(m_Opts.m_Prefix + ".pools.tsv");
}

// The truth over the genome, beside the model's expectations.
void CPoolSim::x_WriteTruth() {
    CTextFile truth(m_Opts.m_Prefix + ".truth.tsv");
    truth.Stream() << "pool1\tpool2\tsites\tpi1\tpi2\tdxy\tfst\tpi1_model\tpi2_model\tdxy_model\t"
                      "fst_model\n";
    // E[2 p (1 - p)] of the ancestral spectrum. Drift keeps (1 - F_i) of it
    // within pool i and all of it between two pools, so a pair's F_ST is
    // (F_i + F_k) / 2.
    const double ancestral = AncestralDiversity(m_Opts);
    auto within = [&](std::size_t i) { return (1.0 - PoolFst(m_Opts, i)) * ancestral; };
    std::vector<std::string> model;
    if (m_Pools == 1) {
        model.push_back("\t" + Number(within(0)) + "\tNA\tNA\tNA");
    }
    for (std::size_t i = 0; i < m_Pools; ++i) {
        for (std::size_t k = i + 1; k < m_Pools; ++k) {
            model.push_back("\t" + Number(within(i)) + "\t" + Number(within(k)) + "\t" +
                            Number(ancestral) + "\t" +
                            Number(HudsonFst(within(i), within(k), ancestral)));
        }
    }
    WriteTruthRows(truth.Stream(), "", m_Opts, m_Genome,
                   static_cast<std::int64_t>(m_Summary.m_Positions), model);
    truth.Close();
    m_Summary.m_Files.push_back(m_Opts.m_Prefix + ".truth.tsv");
}

// Each pool's own chromosomes, whose derived alleles the sites file counts
// (the reference is ancestral).
void CPoolSim::x_WriteDiversity() {
    CTextFile divFile(m_Opts.m_Prefix + ".diversity.tsv");
    divFile.Stream() << "pool\tn\tsites\tpi\ttheta_w\ttajima_d\ttheta_h\tfay_wu_h\n";
    const double positions = static_cast<double>(m_Summary.m_Positions);
    for (std::size_t i = 0; i < m_Pools; ++i) {
        const CSampleDiversity& d = m_Diversity[i];
        divFile.Stream() << m_Opts.m_Names[i] << '\t' << d.SampleSize() << '\t'
                         << m_Summary.m_Positions << '\t' << Number(d.Pi(positions)) << '\t'
                         << Number(d.ThetaW(positions)) << '\t' << Number(d.TajimaD()) << '\t'
                         << Number(d.ThetaH(positions)) << '\t' << Number(d.FayWuH(positions))
                         << '\n';
    }
    divFile.Close();
    m_Summary.m_Files.push_back(m_Opts.m_Prefix + ".diversity.tsv");
}

}  // namespace

SPoolSimSummary RunPoolSim(const SPoolSimOptions& opts) {
    CheckPoolSimOptions(opts);
    CheckPoolSimMemory(opts, MemoryBound(false));
    CPoolSim run(opts);
    return run.Run();
}
