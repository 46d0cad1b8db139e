#pragma once
// The joint frequency spectrum of two pools, fitted by maximum likelihood to
// every site where both pools count, and the posterior expectations of the
// pools' diversities under it.
//
// The model. Cell (j1, j2) of the spectrum phi is the share of sites where j1
// of pool 1's n1 chromosomes and j2 of pool 2's n2 carry the site's second
// allele; a site's likelihood is L = sum_c phi(c) P1(reads | j1) P2(reads |
// j2) with the pool likelihoods of pool_record.hpp. Without the reference
// the second allele is the rarer one in the reads, whose labels say nothing
// about which allele is ancestral: the spectrum is then symmetric under
// (j1, j2) -> (n1 - j1, n2 - j2) (folded).
//
// The fit is EM (Dempster, Laird and Rubin 1977), phi'(c) = phi(c) / W
// sum_s w_s P1_s(j1) P2_s(j2) / L_s, accelerated by Anderson acceleration of
// the EM map over its last ten steps (Walker and Ni 2011; for EM, Henderson
// and Varadhan 2019), where a step that would lower the log-likelihood gives
// way to the plain EM step. It stops when a pass moves no diversity by more
// than the tolerance of its value, or of one site's worth where the value
// falls towards 0, and the log-likelihood by less than the tolerance per
// site. The sums over sites are taken in read-count space: with
// P_i(reads | j) = sum_t tau_i[t] Binom(t; d_i, j/n_i) and the rows
// Q_i[(d, t)][j] = Binom(t; d, j/n_i),
//   L_s = sum_{t1, t2} tau1[t1] G_{d1 d2}[t1][t2] tau2[t2],
//   G_{d1 d2} = Q1[d1 rows] phi Q2[d2 rows]^T,
// so a site costs the product of its tables' kept lengths (pool_record.hpp)
// and the spectrum enters through matrix products done once per pass:
//   W1 = Q1 phi (every row (d1, t1) any site uses), and
//   phi'(c) = phi(c) / W (Q1^T V1)(c),
// where V1[(d1, t1)] collects sum_s w_s tau1[t1] P2_s / L_s. Sites whose
// kept entries of both pools start at 0 and are short ("quiet": most of a
// genome) share per depth pair the block G[0..k1)[0..k2) and add
// w_s tau1 tau2^T / L_s into a block H of the same shape (V1 gains
// H Q2 rows once per pass); the others go through W1 and V1 directly.
//
// The estimands at the fixed point. The posterior expectation of any h(c)
// summed over the sites, sum_s sum_c phi(c) h(c) P_s(c) / L_s, equals
// W sum_c phi'(c) h(c): at the EM fixed point (phi' = phi) the genome's
// values follow from the spectrum, and window sums of per-site posterior
// expectations add up to them. h is the population-level diversity of
// spectrum/pool_diversity.hpp: 2 j (n - j) / (n (n - 1)) within a pool,
// x1 (1 - x2) + x2 (1 - x1) between.
//
// Every pass splits the sites into a fixed number of parts (chunks of the
// store, independent of the number of threads), sums each part in order and
// adds the parts in order: results are identical for any thread count.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "pool/pool_store.hpp"

struct hts_tpool;

struct SJointSpectrum {
    unsigned n1 = 0, n2 = 0;
    bool folded = false;
    // (n1 + 1) x (n2 + 1) shares, summing to 1: phi[j1 * (n2 + 1) + j2].
    std::vector<double> phi;

    double At(unsigned j1, unsigned j2) const { return phi[j1 * (n2 + 1) + j2]; }
};

// Diversities of a pair (population level), and Hudson's F_ST of them.
struct SPairValues {
    double pi1 = 0.0, pi2 = 0.0, dxy = 0.0, fst = 0.0;
};

// The expectation of the three diversities under the spectrum.
SPairValues SpectrumValues(const SJointSpectrum& s);

struct SJointFitOptions {
    // Converged when a step changes no diversity of the posterior spectrum
    // by more than this share of its value, and the log-likelihood by less
    // than this share of the number of sites.
    double tolerance = 1e-6;
    // Passes over the sites at most.
    int maxPasses = 1000;
    // Earlier steps the acceleration combines.
    std::size_t memory = 10;
    // Only every stride-th chunk of sites (a subsample for a first fit).
    std::size_t stride = 1;
};

struct SJointFitResult {
    SJointSpectrum spectrum;  // the fitted spectrum, the prior of every site
    // The sites' posterior expectations summed, over the weight: one EM map
    // of spectrum. Its diversities are the sums of the per-site posterior
    // expectations (so windows add up to them); at the fixed point it is the
    // spectrum itself.
    SJointSpectrum posterior;
    SPairValues values;   // SpectrumValues(posterior)
    double logLik = 0.0;  // sum_s w_s log L_s, up to a constant per site
    double weight = 0.0;  // sum of the sites' weights
    std::uint64_t sites = 0;
    int passes = 0;
    bool converged = false;
};

class CPairModel {
  public:
    // The pair of pools a, b of store with n1 and n2 chromosomes (>= 2);
    // folded: the spectrum is symmetric. Scans the store once.
    CPairModel(const CPoolStore& store, std::size_t a, std::size_t b, unsigned n1, unsigned n2,
               bool folded);
    ~CPairModel();
    CPairModel(const CPairModel&) = delete;
    CPairModel& operator=(const CPairModel&) = delete;

    // Sites where both pools count.
    std::uint64_t Sites() const;

    // Fits the spectrum from start (null: a default start), every site
    // weighted by weights[blocks->Block(...)] when weights is given.
    SJointFitResult Fit(const SJointFitOptions& options, hts_tpool* pool,
                        const SJointSpectrum* start = nullptr, const CSiteBlocks* blocks = nullptr,
                        const std::vector<double>* weights = nullptr) const;

    // No fit: spectrum as given, and the posterior of the sites under it.
    SJointFitResult Evaluate(const SJointSpectrum& spectrum, hts_tpool* pool) const;

    // Posterior expectations, under spectrum, of the three diversities at
    // every site of the store, in genome order: sink(contig, pos, e) with
    // e = {pi1, pi2, dxy} where both pools count, null where they do not
    // (the site is another pair's).
    using TSiteSink = std::function<void(int, std::int64_t, const double*)>;
    void Posterior(const SJointSpectrum& spectrum, hts_tpool* pool, const TSiteSink& sink) const;

    // The likelihood of the spectrum at every site of the pair, relative to
    // the product of the pools' largest table entries, as (position,
    // likelihood) in genome order (tests compare it with the full tables).
    std::vector<std::pair<std::int64_t, double>> SiteLikelihoods(
        const SJointSpectrum& spectrum) const;

    // The default start: 95% of the sites monomorphic, the rest spread over
    // the cells as the neutral spectrum of each pool would (1/j), mirrored
    // when folded.
    SJointSpectrum DefaultStart() const;

  private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
};
