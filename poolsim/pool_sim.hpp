#pragma once
// Pools of chromosomes with known population allele frequencies, sequenced:
// the simulator behind qualpoolsim, which writes the reads as sorted and
// indexed BAM files with their reference FASTA, a pools sheet and the truth.
//
// The model, site by site (sites are independent):
//  - a position of the ancestral population of A chromosomes carries a
//    derived allele on k of them (0 < k < A) with probability theta / k^ALPHA:
//    ALPHA 1 is the neutral spectrum of the infinitely-many-sites model
//    (polymorphic with probability theta H_{A-1}, H the harmonic number, and
//    E[2 p (1 - p)] = theta (A - 1) / A); ALPHA > 1 gives more rare derived
//    alleles than neutral (as after growth or a sweep: Tajima's D < 0) and
//    ALPHA < 1 more common ones (D > 0);
//  - pool i's population drifts from the ancestral frequency p by its own
//    F_i (Balding-Nichols): p_i ~ Beta(p (1 - F_i) / F_i, (1 - p) (1 - F_i) /
//    F_i), so E[p_i] = p and E[p_i (1 - p_i)] = (1 - F_i) p (1 - p); two
//    populations drift independently, so E[p_i (1 - p_k) + p_k (1 - p_i)] =
//    2 p (1 - p), and Hudson's F_ST between pools i and k, 1 - (pi_i + pi_k)
//    / 2 / d_xy, is (F_i + F_k) / 2 in expectation (F when all are equal);
//  - pool i holds n_i chromosomes, of which j_i ~ Binomial(n_i, p_i) carry the
//    derived allele (a random subset, so that a read spanning several sites
//    reads one chromosome throughout);
//  - reads of R bases start at every position with probability depth / R
//    (Poisson numbers, reads clipped at the contig's ends, so every position
//    has depth Poisson(depth)), each read from a chromosome of the pool drawn
//    uniformly; every base gets a quality from the profile and is replaced by
//    one of the three other bases with probability 10^(-q/10).
// The reference carries the ancestral allele. Everything is drawn from
// explicit seeds: the same options give the same files.

#include <gsl/gsl_rng.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/memory_bound.hpp"

// Base qualities drawn from a mixture of uniform ranges.
class CQualityProfile {
  public:
    // SPEC is a named profile or comma-separated ranges LO[-HI][:WEIGHT]
    // (qualities 0..93, weight > 0, default 1), each uniform over LO..HI and
    // chosen with probability proportional to its weight. Names:
    //   clean    20-40
    //   low5     2-19:5,20-40:95 (5% of bases below Q20, about 1% errors)
    //   binned   2:2,12:3,23:15,37:80 (the bins of current instruments)
    // Throws std::runtime_error naming the fault.
    explicit CQualityProfile(const std::string& spec);

    const std::string& Spec() const { return m_Spec; }
    // A quality from u uniform on [0, 1).
    std::uint8_t Draw(double u) const;
    // Mean error probability 10^(-q/10) over the profile.
    double MeanError() const;
    // Share of qualities below q.
    double ShareBelow(unsigned q) const;

  private:
    std::string m_Spec;
    std::vector<double> m_Cumulative;  // over qualities 0..93
};

struct SPoolSimOptions {
    std::string m_Prefix;                 // outputs are PREFIX.*
    std::vector<std::string> m_Names;     // one per pool
    std::vector<unsigned> m_PoolSizes;    // chromosomes per pool (kMinPoolSize..kMaxPoolSize)
    std::vector<double> m_Depths;         // mean depth per pool (> 0)
    std::vector<std::int64_t> m_Lengths;  // contig lengths
    double m_Theta = 0.005;
    double m_SpectrumPower = 1.0;   // ALPHA of the ancestral spectrum theta / k^ALPHA
    double m_Fst = 0.1;             // drift of every pool's population ...
    std::vector<double> m_PoolFst;  // ... or of each pool's (one per pool)
    unsigned m_AncestralSize = 10000;
    std::string m_Qualities = "low5";
    unsigned m_ReadLength = 100;
    unsigned m_Lanes = 1;           // BAM files per pool
    std::int64_t m_WindowSize = 0;  // > 0: truth per window as well
    std::int64_t m_WindowStep = 0;
    std::uint64_t m_Seed = 1;
    unsigned m_Threads = 1;  // BGZF compression
};

// Throws std::runtime_error when the options cannot be simulated (lists of
// different lengths, theta H_{A-1} above 1, ...).
void CheckPoolSimOptions(const SPoolSimOptions& opts);

// The drift F of pool i's population: m_PoolFst[i], or m_Fst without a list.
double PoolFst(const SPoolSimOptions& opts, std::size_t pool);

// Probability, over theta, that a position of the ancestral population has
// the derived count k: 1 / k^alpha (1 / k itself for the neutral alpha 1).
double AncestralWeight(unsigned k, double alpha);

// Probability that a position is polymorphic in the ancestral population:
// theta sum_{k=1}^{A-1} 1 / k^ALPHA.
double PolymorphicShare(const SPoolSimOptions& opts);

// E[2 p (1 - p)] per position of the ancestral population:
// theta sum_k 2 (k / A) (1 - k / A) / k^ALPHA, theta (A - 1) / A when neutral.
double AncestralDiversity(const SPoolSimOptions& opts);

// Bytes a run takes at its peak, about: the contigs are simulated one at a
// time, each holding its sequence (1 byte per base) and its polymorphic
// sites with their pools (about 200 bytes each with two pools of 50, more
// with more or larger pools), so the longest contig sets it (about 11 bytes
// per base with the defaults).
double PoolSimMemory(const SPoolSimOptions& opts);

// Throws std::runtime_error naming the memory a run needs when it is more
// than bound, before anything is allocated.
void CheckPoolSimMemory(const SPoolSimOptions& opts, const SMemoryBound& bound);

// What a run wrote.
struct SPoolSimSummary {
    std::uint64_t m_Positions = 0;
    std::uint64_t m_AncestralPolymorphic = 0;
    std::vector<std::uint64_t> m_Reads;  // per pool
    std::vector<std::string> m_Files;    // every file written
};

// Simulates and writes:
//   PREFIX.fa, PREFIX.fa.fai          the reference (ancestral alleles)
//   PREFIX.NAME.bam (+ .bai)          one pool's reads; with lanes,
//                                     PREFIX.NAME.L1.bam, ... (read group
//                                     ID NAME.L1, sample NAME)
//   PREFIX.pools.tsv                  name, size, files (relative to the
//                                     sheet's directory)
//   PREFIX.sites.tsv                  every ancestrally polymorphic site:
//                                     contig, pos (1-based), ref, alt, the
//                                     ancestral frequency, each pool's
//                                     population frequency p_NAME and pool
//                                     count n_NAME of the alternative allele
//   PREFIX.truth.tsv                  per pair of pools (per pool when there
//                                     is one): the population values over
//                                     every position, and the model's
//                                     expectations (F_ST (F_i + F_k) / 2)
//   PREFIX.truth.windows.tsv          with a window size: the same per window
//   PREFIX.diversity.tsv              per pool, of its own chromosomes over
//                                     every position: pi, theta_W, Tajima's
//                                     D, theta_H and Fay and Wu's H
//                                     (spectrum/sample_diversity.hpp)
// Throws std::runtime_error naming the file on any failure.
// Refuses a run that does not fit into the machine's physical memory or the
// process's limits (CheckPoolSimMemory) before it writes anything.
SPoolSimSummary RunPoolSim(const SPoolSimOptions& opts);

// One population's allele frequency drifted from p by F (see above); F = 0
// returns p. The two gamma variates are drawn in logarithms, so the tiny
// shapes of rare alleles neither underflow nor divide 0 by 0.
double DriftFrequency(gsl_rng* rng, double p, double fst);

// Seed of stream `stream` of a run seeded with seed (splitmix64), so that the
// draws of each part of the simulation do not depend on the options of the
// others (the populations are the same whatever the depth).
unsigned long StreamSeed(std::uint64_t seed, std::uint64_t stream);
