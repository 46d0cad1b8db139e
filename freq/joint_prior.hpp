#pragma once
// The pools' joint prior at a site, and the calls under it.
//
// Each pool's fitted spectrum phi_i (pool/pool_spectrum.hpp) is its prior
// on its own. Taken as independent, pools would ignore one another: at a
// SNP that two pools show plainly, the third pool's few reads of ALT (or
// none) would be weighed as if the site were most likely monomorphic
// everywhere, and its interval would sit at 0 where its chromosomes carry
// the allele; reads of ALT in several pools would each be weighed alone.
// Pools of one species share their monomorphic sites, so the joint prior
// is the simplest one with the pools' spectra as its margins that says so:
//   P(j_1..j_k) = w prod_i [j_i = 0] + (1 - w) prod_i psi_i(j_i),
//   psi_i = (phi_i - w [j = 0]) / (1 - w),
// a share w of the sites monomorphic in every pool for a common cause, the
// pools independent at the others (0 <= w <= min_i phi_i(0), so psi_i is a
// spectrum; w = 0 is independence). w is fitted by maximum likelihood over
// every site, the spectra held. With A_i = P(reads_i | j_i = 0) and B_i =
// sum_j phi_i(j) P(reads_i | j), a site's likelihood is
//   L = w prod_i A_i + (1 - w) prod_i C_i,  C_i = (B_i - w A_i) / (1 - w),
// and with q_i = A_i / B_i, L / prod_i B_i = w prod_i q_i + (1 - w)^(1-k)
// prod_i (1 - w q_i) (a pool that does not count has q_i = 1 and drops
// out). The fit keeps q_i of every site (a float per pool) and maximises
// sum_s log of that over w in [0, min_i phi_i(0)] by a grid of 33 points
// and golden sections around the best.
//
// At a site: P(no pool carries ALT | reads) = [w prod_i A_i + (1 - w)
// prod_i psi_i(0) A_i] / L, QUAL its -10 log10 (at most 999, as
// site_posterior.hpp caps it); the site's share of the common monomorphic
// cause, v = w prod_i A_i / L; and pool i's posterior
//   P(j_i = j | reads) = v [j = 0] + (1 - v) psi_i(j) P(reads_i | j) / C_i,
// whose mean of j/n and equal-tailed interval follow site_posterior.hpp's
// PoolPosterior. With w = 0 all of this is site_posterior.hpp's per-pool
// calls.

#include <cstdint>
#include <string>
#include <vector>

#include "freq/snp_calls.hpp"
#include "pool/pool_rows.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/pool_store.hpp"

struct hts_tpool;

// The binomial mixture nearest a pool's fitted spectrum. A pool is n
// chromosomes drawn from its population, so its spectrum is a mixture
// sum_p g(p) Binom(j; n, p) over the population's frequencies p. The free
// fit (pool_spectrum.hpp) does not know that: where the reads cannot tell
// neighbouring counts apart it puts the shares on some counts and none on
// their neighbours (a pool of 20 at depth 40: 0 at j = 3 and 5, 628 sites
// at j = 4), and a prior of such spikes pulls every posterior onto them.
// The mixture is the g on the grid p = sin^2(pi k / 2G), k = 0..G (p = 0
// and 1 included; G = 4n, within 64 and 1024), that minimises the
// Kullback-Leibler divergence sum_j phi(j) log(phi(j) / (B g)(j)) from the
// fitted spectrum phi, by its EM map g(p) <- g(p) sum_j Binom(j; n, p)
// phi(j) / (B g)(j) from the uniform g, until no share of B g moves by
// more than 1e-9 of itself (at most 20000 steps). Shares below 1e-300 of a
// binomial row's largest are left out of it.
SPoolSpectrum NearestBinomialMixture(const SPoolSpectrum& fitted);

struct SJointPrior {
    std::vector<SPoolSpectrum> m_Pools;  // each pool's spectrum: its prior on its own
    double m_Shared = 0.0;               // w
};

// A = P(reads | j = 0) and B = sum_j phi(j) P(reads | j) of one pool's
// records, on the records' scale, from their kept entries: B = sum_t
// tau[t] u(d, t) with u(d, t) = sum_j phi(j) Binom(t; d, j/n) kept per
// depth, and A = tau[0] (0 where the record did not keep it: below 1e-12
// of the largest entry).
class CPoolEvidence {
  public:
    explicit CPoolEvidence(const SPoolSpectrum& prior);
    void Terms(const SPoolRecordView& v, double& a, double& b);
    // P(reads | j) for j = 0..n into out, on the same scale.
    void Likelihood(const SPoolRecordView& v, std::vector<double>& out);

  private:
    SPoolSpectrum m_Prior;
    CBinomialRows m_Rows;
    std::vector<std::vector<double>> m_U;  // per depth, over the rows' run of t
    double m_Tau[kMaxRecordEntries];
};

struct SSharedFit {
    double m_Shared = 0.0;  // w
    double m_Limit = 0.0;   // min_i phi_i(0)
    double m_LogLik = 0.0;  // sum_s log (L / prod_i B_i) at w
    double m_Gain = 0.0;    // its rise over w = 0 (independent pools)
    std::uint64_t m_Sites = 0;
};

// The comment line of a spectrum file (--sfs) that carries w, so that
// --prior gives the very calls of the run that wrote it; and w read back
// from such a file's comment lines (false when it has none). Throws
// CInputError naming the file for a value that is not a number in [0, 1).
std::string SharedComment(double w);
bool ReadSharedComment(const std::string& path, double& w);

// Fits w over every site of store under the pools' spectra (two pools or
// more; one pool: w = 0). Identical for any number of threads.
SSharedFit FitSharedMonomorphic(const CPoolStore& store, const std::vector<SPoolSpectrum>& pools,
                                hts_tpool* pool);

// Calls sites under a joint prior: one per thread.
class CJointCaller {
  public:
    explicit CJointCaller(const SJointPrior& prior);

    // The site's QUAL (at most 999); keeps the pools' terms for Call.
    double Qual(const SPoolRecordView* records);
    // Each pool's posterior at the site last given to Qual (NaN for a pool
    // that does not count), and with test the test of differentiation
    // (site_posterior.hpp) over the pools' likelihoods.
    void Call(const SPoolRecordView* records, std::vector<SPoolPosterior>& out,
              SDifferentiation* test);

  private:
    SJointPrior m_Prior;
    std::vector<SPoolSpectrum> m_Psi;   // psi_i
    std::vector<SPoolSpectrum> m_Flat;  // uniform, to summarise a posterior
    std::vector<CPoolEvidence> m_Evidence;
    std::vector<double> m_A, m_B;
    double m_Common = 0.0;                           // v of the last site
    std::vector<std::vector<double>> m_Likelihoods;  // of the pools that count
    std::vector<double> m_Post;
};
