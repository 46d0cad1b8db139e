#pragma once
// A spectrum prior as weights on a site's observation table, one row per
// depth: the exchange of the two sums of a pooled site's likelihood.
//
// A site of n reads has the table T[t] (the probability of its reads given t
// of them truly minor). Its likelihood under a prior pi(k) over the minor
// count k of K chromosomes is sum_k pi(k) lambda(k), lambda(k) =
// sum_t T[t] Pr(t | k). Without a pool every read is a chromosome (K = n,
// Pr(t | k) = [t = k]); a pool of N chromosomes is read n times with
// replacement (K = N, Pr(t | k) = Binom(t; n, k/N)). Computing lambda costs
// O(N n) per site; the same sum taken the other way,
//   L = sum_t T[t] w(t),   w(t) = sum_k pi(k) Binom(t; n, k/N),
// needs weights that depend on the depth and the prior only, O(N n) once per
// depth, after which a site costs O(n). Folded, pi is symmetric, so w(t) =
// w(n - t) and the table collapses to d[t] = T[t] + T[n-t] (t < n/2),
// d[n/2] = T[n/2].
//
// In the form the site records use (sitestore.hpp), with p0 the prior of no
// minor copy at theta 0 (1 unfolded, 1/2 folded) and f1(k) the library's
// (folded or unfolded) spectrum at theta 1 for k = 1..K-1, which sums to the
// polymorphic mass P_K:
//   L = p0 d[0] [ (1 - theta P) + theta sum_{t>=1} beta_t z_t ],
//   z_t = d[t] / d[0],   beta_t = sum_{k=1}^{K-1} f1(k) Pr(t | k) / p0,
//   P = P_K - beta_0 = sum_{k=1}^{K-1} f1(k) (1 - Pr(0 | k) - [folded] Pr(n | k)),
// the last form free of cancellation. P_K bounds the domain: theta <= 1/P_K.
// Without a pool beta_0 = 0, P = P_K and beta_t = f1(t) / p0.
//
// The envelope sigma_t = sum_{k=1}^{K-1} Pr(t | k) (without a pool 1 for
// t >= 1 and 0 at t = 0) bounds how the weights of any spectrum whose f1 is
// non-increasing over 1..K/2 (folded) or 1..K-1 (unfolded) may grow with t;
// see CSiteEncoder for the bound it gives.

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/sitestore.hpp"

class CFreqSpectrum;

// The binomial terms Binom(t; n, k/N), k = 1..N-1, t = 0..last, of the
// depths asked, kept within a memory budget, so that the rows of the many
// spectra a growth search evaluates mix them without recomputing them.
class CBinomialCache {
  public:
    explicit CBinomialCache(int N, std::size_t budgetBytes = std::size_t(16) << 20)
        : m_N(N), m_Budget(budgetBytes) {}
    // The terms of depth n, k - 1 major with rows of stride entries (at
    // least last + 1); null when they do not fit the budget.
    const double* Terms(int n, int last, std::size_t& stride);
    // 1 - Pr(0 | k) - [folded] Pr(n | k) at depth n for k = 1..N-1 (entry
    // k - 1), which the polymorphic mass of every spectrum weighs: the same
    // for every rate of a growth search.
    const std::vector<double>& NotEnds(int n, bool folded);

  private:
    struct SDepth {
        int last = -1;
        std::vector<double> terms;
        std::vector<double> notEnds[2];  // unfolded, folded
    };
    int m_N;
    std::size_t m_Budget, m_Used = 0;
    std::unordered_map<int, SDepth> m_Depths;
};

// out[t] = sum_{k=1}^{N-1} h[k] Binom(t; n, k/N) for t = 0..last (h indexed
// by k, h[0] unused), summed over k in increasing order. The binomial terms
// come from the recurrence in t, started at t = 0 or, where (1 - k/N)^n is
// not a normal double, at the mode; every term is the same whatever last,
// and taken from cache (when given, for the same N) bit for bit.
void MixBinomial(const double* h, int N, int n, int last, double* out,
                 CBinomialCache* cache = nullptr);

// The rows of one spectrum (given at theta 1) for the classes of a store:
// class n is a site's depth. Built on demand and kept; one per thread.
class CDepthRows {
  public:
    struct SRow {
        double polymorphic = 0.0;  // P
        double domain = 0.0;       // P_K: theta <= 1 / P_K
        std::vector<double> beta;  // beta_0, beta_1, ..., as far as asked
    };

    // unit: the spectrum at theta 1; its folding is set from options.
    // cache, when given, must outlive the rows.
    CDepthRows(const SSiteOptions& options, std::unique_ptr<CFreqSpectrum> unit,
               CBinomialCache* cache = nullptr);
    ~CDepthRows();
    CDepthRows(CDepthRows&&) noexcept;
    CDepthRows& operator=(CDepthRows&&) noexcept;

    // The row of class n with beta up to index last at least.
    const SRow& Row(int n, int last);
    // sigma_0..sigma_T of class n, T the last index of a record of depth n.
    const std::vector<double>& Envelope(int n);
    // Drops the rows and the spectrum's memo, keeping the settings.
    void Clear();

  private:
    SSiteOptions m_Options;
    double m_P0;
    std::unique_ptr<CFreqSpectrum> m_Unit;
    CBinomialCache* m_Cache;
    std::vector<double> m_PoolPrior;  // f1(k), k = 0..N (pool only)
    double m_PoolDomain = 0.0;
    // By depth, for the depths seen (a hash: depths may be large and few).
    std::unordered_map<int, SRow> m_Rows;
    std::unordered_map<int, std::vector<double>> m_Envelopes;
};

// The last index of the table a record of depth n keeps entries for: n/2
// folded; unfolded n - 1 without a pool (all n reads minor has prior 0) and
// n with one.
int LastEntry(const SSiteOptions& options, int n);
