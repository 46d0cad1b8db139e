#pragma once
// Pools simulated for the tests from known allele counts, and the pool
// likelihood straight from its definition (a brute force over every
// assignment of reads to chromosomes).

#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "model/obstable.hpp"
#include "model/site_classes.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

namespace pool_test {

using TRng = std::unique_ptr<gsl_rng, void (*)(gsl_rng*)>;

inline TRng MakeRng(unsigned long seed) {
    TRng rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    gsl_rng_set(rng.get(), seed);
    return rng;
}

// The alleles of the simulations: A first (the reference), G second.
constexpr unsigned char kFirst = 0, kSecond = 2;

// depth reads of a pool where j of n chromosomes carry the second allele:
// each from a random chromosome, with a score drawn from lo..hi, read wrong
// (as one of the three other bases) with the score's error probability.
inline std::vector<SBaseRead> PoolReads(gsl_rng* rng, unsigned j, unsigned n, unsigned depth,
                                        unsigned lo, unsigned hi) {
    std::vector<SBaseRead> reads;
    for (unsigned r = 0; r < depth; ++r) {
        const bool second = gsl_rng_uniform_int(rng, n) < j;
        const auto score = static_cast<unsigned char>(lo + gsl_rng_uniform_int(rng, hi - lo + 1));
        unsigned char base = second ? kSecond : kFirst;
        if (gsl_rng_uniform(rng) < ErrProbTable()[score]) {
            base = static_cast<unsigned char>((base + 1 + gsl_rng_uniform_int(rng, 3)) % 4);
        }
        reads.push_back(SBaseRead{base, score});
    }
    return reads;
}

// A count drawn from a spectrum.
inline unsigned Draw(gsl_rng* rng, const std::vector<double>& phi) {
    double u = gsl_rng_uniform(rng);
    for (unsigned j = 0; j + 1 < phi.size(); ++j) {
        if (u < phi[j]) {
            return j;
        }
        u -= phi[j];
    }
    return static_cast<unsigned>(phi.size() - 1);
}

// The neutral spectrum of n: theta / j for 0 < j < n (folded: the sum of j
// and n - j, halved onto both), the rest at 0.
inline std::vector<double> NeutralSpectrum(unsigned n, double theta) {
    std::vector<double> phi(n + 1, 0.0);
    double poly = 0.0;
    for (unsigned j = 1; j < n; ++j) {
        phi[j] = theta / j;
        poly += phi[j];
    }
    phi[0] = 1.0 - poly;
    return phi;
}

// The sites in a store of their pools, positions as given.
inline CPoolStore StoreOf(const std::vector<SPoolSite>& sites, bool useReference) {
    const std::size_t pools = sites.empty() ? 1 : sites[0].m_Reads.size();
    CPoolStore store(pools);
    CPoolEncoder encoder(pools, 1, 0, useReference);
    std::vector<unsigned char> bytes;
    SPoolEncodeCounts counts;
    for (const SPoolSite& site : sites) {
        bytes.clear();
        std::uint64_t reads = 0;
        encoder.Encode(site, bytes, counts, reads);
        store.Append(site.m_Contig, site.m_Pos, bytes.data(), bytes.size());
    }
    store.Finish();
    return store;
}

// The site's first allele as the encoder chooses it: the reference base, or
// without one the base with most reads over every pool.
inline int FirstAllele(const SPoolSite& site, bool useReference) {
    if (useReference) {
        return site.m_RefBase;
    }
    TBaseCounts total{};
    for (const auto& reads : site.m_Reads) {
        for (const SBaseRead& r : reads) {
            ++total[r.m_Base & 3];
        }
    }
    const TBaseClasses classes = ClassifyBases(total, -1);
    for (int b = 0; b < 4; ++b) {
        if (classes[static_cast<std::size_t>(b)] == 0) {
            return b;
        }
    }
    return 0;
}

// P(reads | j of n chromosomes carry the second allele) from the model's
// definition: chromosomes 0..j-1 carry it; every read comes from one of the
// n chromosomes with probability 1/n, and is read right with probability
// 1 - e (a read of any base but the first allele is a read of the second);
// summed over all n^d assignments of the d reads to chromosomes.
inline double BruteLikelihood(const std::vector<SBaseRead>& reads, int first, unsigned j,
                              unsigned n) {
    const std::size_t d = reads.size();
    std::vector<unsigned> c(d, 0);
    double total = 0.0;
    for (;;) {
        double product = 1.0;
        for (std::size_t r = 0; r < d; ++r) {
            const double e = ErrProbTable()[reads[r].m_Score];
            const bool readsFirst = reads[r].m_Base == first;
            const bool carriesSecond = c[r] < j;
            product *= readsFirst != carriesSecond ? 1.0 - e : e;
            product /= n;
        }
        total += product;
        std::size_t r = 0;
        while (r < d && ++c[r] == n) {
            c[r++] = 0;
        }
        if (r == d) {
            break;
        }
    }
    return total;
}

}  // namespace pool_test
