#pragma once
// The pools' joint prior at a site, and the calls under it.
//
// Each pool's fitted spectrum (pool/pool_spectrum.hpp) is its prior on its
// own. Taken as independent, pools ignore one another: at a SNP two pools
// show plainly, the third pool's few reads of ALT (or none) are weighed as
// if the site were most likely monomorphic, its interval sits at 0 where
// its chromosomes carry the allele, and a rare allele read in one pool is
// held less likely than it is, as if the other pools, which do not show
// it, had to carry it as often as they carry the alleles of every other
// polymorphic site. Pools of one species share their populations'
// frequencies, up to drift; the joint prior says so while keeping each
// pool's spectrum as its margin.
//
// The margins. A pool is n chromosomes drawn from its population, so its
// spectrum is a binomial mixture phi(j) = sum_p g(p) Binom(j; n, p) over the
// population's frequencies p. The free fit does not know that: where the
// reads cannot tell neighbouring counts apart it puts the shares on some
// counts and none on their neighbours (a pool of 20 at depth 40: 0 at j = 3
// and 5, 628 sites at j = 4), and a prior of such spikes pulls every
// posterior onto them. Each pool's prior is therefore the binomial mixture
// nearest its fitted spectrum (NearestBinomialMixture), and its g the
// mixing weights.
//
// The coupling. With G_i the distribution function of pool i's g_i, the
// comonotone draw takes one u uniform on (0, 1) and gives every pool the
// frequency p_i = G_i^-1(u): the pools' frequencies as alike as their
// spectra allow (one population frequency for all when the spectra agree,
// as for pools of one population). Pools whose populations drifted apart
// share less: their monomorphic sites, and alleles at other frequencies.
// The joint prior mixes the two:
//   P(j_1..j_k) = r C(j) + (1 - r) [w prod_i [j_i = 0] + (1 - w) prod_i psi_i(j_i)],
//   C(j) = sum_s l_s prod_i Binom(j_i; n_i, p_i(s)),
//   psi_i = (phi_i - w [j = 0]) / (1 - w),
// s over the segments of (0, 1) on which every G_i^-1 is constant (l_s their
// lengths; at most the sum of the supports' sizes): a share r of the sites
// drawn comonotone, the others monomorphic in every pool together (a share w
// of them) or independent in each pool. Each pool's margin is phi_i
// whatever r and w are (0 <= r <= 1, 0 <= w <= min_i phi_i(0), so psi_i is
// a spectrum); r = w = 0 is independence.
//
// The fit of r and w by maximum likelihood over every site, the spectra
// held. With B_i = sum_j phi_i(j) P(reads_i | j), A_i = P(reads_i | j = 0)
// and L_i(p) = sum_j Binom(j; n_i, p) P(reads_i | j), a site's likelihood
// over prod_i B_i is r R + (1 - r) V(w) with R = sum_s l_s prod_i L_i(p_i(s))
// / prod_i B_i and, q_i = A_i / B_i, V(w) = w prod_i q_i + (1 - w)^(1-k)
// prod_i (1 - w q_i) (a pool that does not count has q_i = 1 and drops out).
// The fit keeps log R and the q_i of every site (floats), and maximises sum_s
// log(r R_s + (1 - r) V_s(w)): for each w, over r by Newton's method
// (concave in r) within [0, 1]; over w, on a grid of 9 points in [0, min_i
// phi_i(0)] and by golden sections around the best to 1e-4 of that range.
//
// At a site (pools that do not count left out, as if absent):
// P(no pool carries ALT | reads) = [r sum_s l_s prod_i (1 - p_i(s))^n_i A_i
// + (1 - r) (w prod_i A_i + (1 - w) prod_i psi_i(0) A_i)] / L, QUAL its -10
// log10 (at most 999, as site_posterior.hpp caps it); pool i's posterior
// P(j_i = j | reads) is proportional to P(reads_i | j) [r sum_s l_s Binom(j;
// n_i, p_i(s)) prod_{m != i} L_m(p_m(s)) + (1 - r) (w [j = 0] prod_{m != i}
// A_m + (1 - w) psi_i(j) prod_{m != i} C_m)], C_m = (B_m - w A_m) / (1 - w),
// whose mean of j/n and equal-tailed interval follow site_posterior.hpp's
// PoolPosterior. L_i(p) costs the record's kept entries per frequency of
// the support: sum_t tau[t] H(d, t, p), H(d, t, p) = sum_j Binom(j; n, p)
// Binom(t; d, j/n) kept per depth.

#include <cstdint>
#include <string>
#include <vector>

#include "freq/snp_calls.hpp"
#include "pool/pool_rows.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/pool_store.hpp"

struct hts_tpool;

// A pool's mixing weights: the frequencies of g's support, ascending, and
// their weights (summing to 1).
struct SPoolMixture {
    std::vector<double> p, g;
};

// The binomial mixture nearest a fitted spectrum: the g on the grid p =
// sin^2(pi k / 2G), k = 0..G (p = 0 and 1 included; G = 2n, within 64 and
// 512), that minimises the Kullback-Leibler divergence sum_j phi(j) log(phi(j)
// / (B g)(j)) from the spectrum phi, by Newton steps on the simplex (the
// constrained Newton method of Wang 2007, as pool_spectrum.hpp fits) from
// the uniform g until no mixture can be nearer by 1e-8. Binomial shares
// below 1e-16 of a row's largest are left out. mixture, when given, gets
// g's support (weights above 1e-12).
SPoolSpectrum NearestBinomialMixture(const SPoolSpectrum& fitted, SPoolMixture* mixture = nullptr);

// A spectrum as it reads back from the file WritePoolSpectrum makes of it
// with sites (the entries sites * phi(j), over their sum): the run that
// writes --sfs calls with the very prior a run with --prior reads.
SPoolSpectrum AsReadBack(const SPoolSpectrum& s, double sites);

struct SJointPrior {
    std::vector<SPoolSpectrum> m_Pools;    // each pool's margin phi_i
    std::vector<SPoolMixture> m_Mixtures;  // g_i, with B g_i = phi_i
    double m_Shared = 0.0;                 // r
    double m_Monomorphic = 0.0;            // w
};

// The prior of pools with the spectra phi (binomial mixtures: each one's g
// is that of its nearest mixture), r and w.
SJointPrior MakeJointPrior(const std::vector<SPoolSpectrum>& phi, double shared,
                           double monomorphic);

// The comment lines of a spectrum file (--sfs) that carry r and w, so that
// --prior gives the very calls of the run that wrote it; and r and w read
// back from such a file's comment lines (false when it has neither; both or
// none). Throws CInputError naming the file and line for a value that is
// not a number in [0, 1], or one of the two alone.
std::string JointComment(double shared, double monomorphic);
bool ReadJointComment(const std::string& path, double& shared, double& monomorphic);

struct SJointFit {
    double m_Shared = 0.0;       // r
    double m_Monomorphic = 0.0;  // w
    double m_Gain = 0.0;         // the log-likelihood's rise over independence (r = w = 0)
    std::uint64_t m_Sites = 0;
};

// Fits r and w over every site of store (two pools or more; one pool: 0
// and 0). Identical for any number of threads.
SJointFit FitJointPrior(const CPoolStore& store, const SJointPrior& prior, hts_tpool* pool);

// One pool's terms at a site, from its record's kept entries: A = P(reads
// | j = 0), B = sum_j phi(j) P(reads | j) (u(d, t) = sum_j phi(j) Binom(t;
// d, j/n) kept per depth), L(p) at the frequencies of its mixture, and the
// whole P(reads | j); all on the record's scale.
class CPoolEvidence {
  public:
    CPoolEvidence(const SPoolSpectrum& prior, const SPoolMixture& mixture);
    void Terms(const SPoolRecordView& v, double& a, double& b);
    void FrequencyLikelihoods(const SPoolRecordView& v, std::vector<double>& out);
    void Likelihood(const SPoolRecordView& v, std::vector<double>& out);
    // Binom(j; n, p) for j = 0..n at the mixture's k-th frequency.
    const std::vector<double>& Binomials(std::size_t k) const { return m_Binomials[k]; }

  private:
    // The depth's run of u and H, computed afresh when the rows' run grew.
    void x_Cover(const SPoolRecordView& v);

    SPoolSpectrum m_Prior;
    SPoolMixture m_Mixture;
    std::vector<std::vector<double>> m_Binomials;
    CBinomialRows m_Rows;
    std::vector<std::vector<double>> m_U;  // per depth, over the rows' run of t
    std::vector<std::vector<double>> m_H;  // per depth: t-major, the mixture's frequencies
    double m_Tau[kMaxRecordEntries];
};

// Calls sites under a joint prior: one per thread.
class CJointCaller {
  public:
    explicit CJointCaller(const SJointPrior& prior);

    // The site's QUAL (at most 999); keeps the pools' terms for Call.
    double Qual(const SPoolRecordView* records);
    // The site's terms for the fit: log R and each pool's q (0 and 1s
    // where no pool counts).
    void FitTerms(const SPoolRecordView* records, double& logR, double* q);
    // Each pool's posterior at the site last given to Qual (NaN for a pool
    // that does not count), and with test the test of differentiation
    // (site_posterior.hpp) over the pools' likelihoods.
    void Call(const SPoolRecordView* records, std::vector<SPoolPosterior>& out,
              SDifferentiation* test);

  private:
    struct SSegment {
        double logLength, length;
        std::vector<std::size_t> k;  // per pool: its frequency's index in its mixture
    };
    // The pools' terms at the site, each pool scaled to its largest term
    // (m_Linear: the products within a double's range); false when no pool
    // counts. x_TermsLog: the same as logarithms, for the sites whose
    // products leave that range and for the posteriors.
    bool x_Terms(const SPoolRecordView* records);
    bool x_TermsLog(const SPoolRecordView* records);

    SJointPrior m_Prior;
    std::vector<SPoolSpectrum> m_Psi;  // psi_i
    std::vector<SSegment> m_Segments;
    std::vector<SPoolSpectrum> m_Flat;  // uniform, to summarise a posterior
    std::vector<CPoolEvidence> m_Evidence;
    std::vector<std::vector<double>> m_ZeroFactor;  // per pool and frequency: n log(1 - p)
    std::vector<std::vector<double>> m_ZeroLinear;  // (1 - p)^n
    // The last site's scaled terms: per pool L(p) and A, products of A, B
    // and C, T and L.
    std::vector<std::vector<double>> m_Scaled;
    std::vector<double> m_ScaledA;
    double m_ProdA = 1.0, m_ProdB = 1.0, m_ProdC = 1.0, m_T = 0.0, m_L = 0.0;
    bool m_Linear = false;
    // The last site's terms: per pool A, B (NaN where the pool says
    // nothing: it does not count, or its prior rules its reads out), log
    // L(p), and per segment the log of l_s prod_i L_i(p_i(s)).
    std::vector<double> m_A, m_B;
    std::vector<std::vector<double>> m_LogL;
    std::vector<double> m_SegmentLog;
    // log of T = sum_s l_s prod_i L_i, of prod_i B_i, of prod_i A_i, of
    // prod_i C_i, of the second part w prod A + (1 - w) prod C, and of L.
    double m_LogT = 0.0, m_LogB = 0.0, m_LogA = 0.0, m_LogC = 0.0, m_LogI = 0.0, m_LogL0 = 0.0;
    std::vector<std::vector<double>> m_Likelihoods;  // of the pools that count
    std::vector<double> m_Post, m_Weights;
};
