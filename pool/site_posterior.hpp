#pragma once
// What a site's reads say about each pool's allele count under its
// spectrum, and whether the pools differ there.
//
// Per pool of n chromosomes, with the pool likelihood P(reads | j) of
// pool_record.hpp (CBinomialRows::Likelihood) and the pool's spectrum phi
// as the prior: P(j | reads) = phi(j) P(reads | j) / sum_k phi(k) P(reads |
// k). Its mean of j/n; its equal-tailed credible interval at level 1 - a:
// [j_lo / n, j_hi / n] with j_lo the largest j such that P(J < j) <= a/2 and
// j_hi the smallest j such that P(J > j) <= a/2 (each tail summed from its
// own end), so it holds at least 1 - a of the posterior; and P(j = 0 |
// reads), exact where the record kept the entry t = 0 of its table, else 0
// (the true value is below phi(0) 1e-12 / L).
//
// QUAL of a site over its pools (each with its own prior, independent):
// -10 log10 prod_i P(j_i = 0 | reads_i), capped at kMaxQual (999, as
// bcftools caps it); a pool that does not count at the site adds nothing.
//
// The test of differentiation (a likelihood-ratio test): with one
// population allele frequency p behind every pool, j_i ~ Binom(n_i, p), and
// log L_i(p) = log sum_j Binom(j; n_i, p) P(reads_i | j). The statistic is
// 2 (sum_i max_{p_i} log L_i(p_i) - max_p sum_i log L_i(p)), compared with
// a chi-square of k - 1 degrees of freedom for the k pools that count
// (k >= 2; NaN otherwise). The maxima over [0, 1], endpoints included:
// each L_i(p) is unimodal in p (the binomial kernel is totally positive, so
// it inherits the unimodality of P(reads | j), which inherits that of the
// log-concave table), so its maximum p_i is found from the grid p =
// sin^2(pi k / 32), k = 0..16 (dense near 0 and 1, where a rare allele's
// peak is narrow) by Brent's (1973) search (golden sections and parabolic
// steps, to 1e-10) between the best grid point's neighbours. The product's
// maximum lies between the smallest and the largest p_i (outside, every
// factor falls away), where it may have several peaks: it is p_i itself
// when they agree, else the best of Brent's searches around each peak of 9
// equally spaced points over that range. Identical reads in two pools of
// one size give a statistic of exactly 0.

#include <vector>

#include "pool/pool_record.hpp"
#include "pool/pool_rows.hpp"
#include "pool/pool_spectrum.hpp"

inline constexpr double kMaxQual = 999.0;

struct SPoolPosterior {
    double mean;        // E[j / n | reads]
    double lo, hi;      // credible interval of j / n
    double pZero;       // P(j = 0 | reads)
    double log10PZero;  // its log10 (-inf when 0)
};

// The posterior of a pool with likelihood[0..n] (any common scale) under
// prior (n = prior.n); NaN everywhere when the likelihood is 0 under the
// prior.
SPoolPosterior PoolPosterior(const double* likelihood, const SPoolSpectrum& prior,
                             double level = 0.95);

// QUAL from the log10 P(j = 0 | reads) of the pools that count.
double SiteQual(const std::vector<double>& log10PZero);

struct SDifferentiation {
    unsigned pools = 0;     // k: the pools tested (likelihood not all 0)
    double statistic = 0;   // NaN for k < 2
    double pValue = 0;      // NaN for k < 2
    double shared = 0;      // the p of the best shared frequency
    double logLikAlt = 0;   // sum_i max log L_i
    double logLikNull = 0;  // max_p sum_i log L_i(p)
};

// The test over pools with likelihoods[i][0..n_i] (n_i + 1 values each, at
// any scale); a pool whose values are all 0 is left out.
SDifferentiation DifferentiationTest(const std::vector<std::vector<double>>& likelihoods);

// A site's calls over every pool, with the pools' fitted spectra as priors.
struct SSiteCall {
    std::vector<SPoolPosterior> pools;  // NaN for a pool that does not count
    double qual = 0.0;
    SDifferentiation test;
};

// Keeps each pool's binomial rows from site to site: one per thread.
class CSiteCaller {
  public:
    explicit CSiteCaller(std::vector<SPoolSpectrum> priors, double level = 0.95);

    // records[i]: pool i's record at the site (depth 0: it does not count).
    // Without test, out.test holds only the number of pools (the test costs
    // more than the rest: run it at the sites that are reported).
    void Call(const SPoolRecordView* records, SSiteCall& out, bool test = true);

    // The site's QUAL alone, as Call gives it (up to rounding), at the cost
    // of the records' kept entries: L = sum_t tau[t] u(d, t) with u(d, t) =
    // sum_j phi(j) Binom(t; d, j/n) kept per pool from site to site, and
    // P(j = 0 | reads) = phi(0) tau[0] / L. For choosing the sites to call.
    double Qual(const SPoolRecordView* records);

    // P(reads | j) of pool i's record into out (n_i + 1 values).
    void Likelihood(std::size_t i, const SPoolRecordView& record, std::vector<double>& out);

  private:
    std::vector<SPoolSpectrum> m_Priors;
    double m_Level;
    std::vector<CBinomialRows> m_Rows;
    // Per pool and depth: u(d, t) for the rows' run of t (empty: not yet).
    std::vector<std::vector<std::vector<double>>> m_U;
    std::vector<std::vector<double>> m_Likelihoods;
    std::vector<double> m_Log10PZero;
};
