#pragma once
// One pool's frequency spectrum, fitted by maximum likelihood to every site
// where the pool counts, and the posterior expectations of its diversity
// terms (neutrality.hpp) under it.
//
// The model. phi(j), j = 0..n, is the share of sites where j of the pool's
// n chromosomes carry the site's second allele; a site's likelihood is
// L_s = sum_j phi(j) P_s(reads | j) with the pool likelihood of
// pool_record.hpp. Folded (no reference: the second allele is the rarer one
// in the reads, and the labels say nothing about which allele is
// ancestral) phi(j) = phi(n - j); unfolded (the reference base is the first
// allele) phi is free.
//
// The sums of a pass. With w_s a site's weight (1, or its block's in a
// bootstrap resample) and W = sum_s w_s, a pass at phi gives
//   log L = sum_s w_s log L_s,  g(j) = sum_s w_s P_s(j) / L_s,
//   M_d = sum_{s of depth d} w_s tau_s tau_s^T / L_s^2,
// in read-count space (pool_rows.hpp): u(d, t) = sum_j phi(j) Binom(t; d,
// j/n) once per row (d, t) any site uses, L_s = sum_t tau_s[t] u(d_s, t)
// over the site's kept entries, the site adds w_s tau_s[t] / L_s to v(d_s,
// t) and its outer product to the band of M_d, and g(j) = sum_{d,t}
// Binom(t; d, j/n) v(d, t). A site costs its kept entries squared; a pass,
// its sites plus twice the rows times n + 1. g is the gradient of log L;
// the EM map (Dempster, Laird and Rubin 1977) is phi'(j) = phi(j) g(j) / W.
//
// The fit: Newton steps on the simplex. EM is the natural map here, but it
// crawls wherever the likelihood is flat (low depth, where neighbouring
// counts look alike), brings a share back from near 0 only by a factor
// close to 1 per pass, and so stalled in our trials, accelerated (SQUAREM,
// Anderson) or not, with the likelihood still several units below its
// maximum. Each step instead maximises the second-order model of
// l(pi) = sum_s w_s log(S_s pi) - W sum_j pi_j + W, S_s = P_s / L_s (pi
// unnormalised; l's maximum over pi >= 0 lies on the simplex, where l is
// the log-likelihood), as the constrained Newton method of Wang (2007,
// "On fast computation of the nonparametric maximum likelihood estimate of
// a mixing distribution") does:
//   pi* = argmin_{pi >= 0} pi^T N pi / 2 - (g - W + N phi)^T pi,
//   N = sum_s w_s S_s S_s^T = sum_d Q_d^T M_d Q_d  (Q_d: depth d's rows),
// by nonnegative_qp.hpp, then moves from phi towards pi* by the largest of
// 1, 1/2, 1/4, ... whose log-likelihood (normalised) rises by at least
// 1e-4 of what the gradient promises. Folded, the free cells are k = 0..n/2
// (cell k standing for j = k and n - k, each half its share). The step
// works on at most 256 free cells: all if there are so few, else the 64
// whose gradient most favours growth and then those that carry most of
// the posterior (the others keep their shares). A depth whose curvature
// band would pass 4M doubles is left out of N (the model is then inexact,
// the halving keeps the step sound). Cells reach exactly 0 and come back
// as the gradient asks: no share is lost on the way. A start under which a
// site is impossible is first mixed with 1% of the default start.
//
// When to stop. The log-likelihood is concave in phi, so no spectrum beats
// phi by more than the gap max_v (g . v) - W, v over the corners of the
// feasible set (the cells, or folded each cell with its mirror, halved).
// The fit stops when the gap is at most options.gap (converged: no step
// can move the log-likelihood by more, and the estimands are then as the
// data decide them, within about sqrt(2 gap) standard errors); or when the
// Newton step's model, taken over every cell whose gradient favours growth,
// promises a rise of at most options.gap / 100 (converged: the gap is a
// linear bound, loose where the likelihood curves steeply towards the
// corner it names, and near the maximum the model is exact to third
// order); or when no step length raises the log-likelihood, or
// options.maxPasses passes are spent (not converged). A few sites of a
// large pool (one site of 1000 chromosomes) end in a few passes: their
// maximum puts every share on the counts the reads favour most, which
// one Newton step finds and EM nears ever more slowly.
//
// What the data decide. pi rests on the common classes and is well
// determined; S (so theta_W and D) rests on the rare ones, which a pool of
// many more chromosomes than reads barely shows: a singleton of 1000
// chromosomes gives a read of it at depth 60 once in 17 sites. There the
// maximum's S follows the noise (simulated pools of 1000 at depth 60: pi
// within 0.5% of the true counts', theta_W 0.0179 against their 0.0094 on
// 500000 sites, S per site 0.0535 against 0.0699 on 100000); at n = 200
// it was within 1%.
//
// The estimands. sum_s w_s E_s[h(j) | reads] under phi equals
// W sum_j phi'(j) h(j) with phi' the EM map of phi (the posterior spectrum,
// phi itself at the maximum): the genome's sums follow from it, and the
// per-site expectations under phi (Posterior) add up to them, so windows
// add up to the genome.
//
// A log-linear spectrum (a prior that must be smooth). Where the reads
// cannot tell neighbouring counts apart, the free maximum follows the
// noise (above). A model with an SPoolLogLinear family fits instead
//   phi(j) proportional to exp(c_j + a_j . theta),
// c the family's offsets, a_j its design rows (spectrum_smoothing.hpp
// makes a smooth one: log j phi(j) a cubic spline of the log-odds of j/n),
// by maximising the log-likelihood less theta^T R theta / 2 (R the
// family's penalty: a Gaussian prior on theta, Eilers and Marx's 1996
// difference penalty for a spline) over theta. Every cell is positive, so
// no site is impossible. Newton steps with the exact Hessian of that
// objective, with g and N of a pass at phi and J = d phi / d theta
// (J_jk = phi_j a_jk, phi normalised):
//   gradient  J^T (g - W) - R theta,
//   Hessian   -J^T N J + sum_j (g_j - W) phi_j a_j a_j^T
//             + W (J^T 1)(J^T 1)^T - R,
// its negative made positive definite where it is not (Levenberg and
// Marquardt: a multiple of the identity added until Cholesky's
// factorisation holds), the step halved until the objective rises by at
// least 1e-4 of what the gradient promises. The fit converges when the
// Newton step promises a rise of at most options.gap (the objective is
// then within about that of its maximum, the model being near quadratic
// there); result.gap is that promise. The estimands are still the
// posterior ones under the fitted spectrum (its EM map), so windows add up
// to the genome as before.
//
// Every pass splits the sites into a fixed number of parts (chunks of the
// store, independent of the number of threads), sums each part in order and
// adds the parts in order: results are identical for any thread count.
//
// A site whose likelihood is 0 under a spectrum (a spectrum with cells 0,
// and reads that only those cells explain) is counted in impossibleSites,
// left out of the sums, and makes the log-likelihood -infinity; its
// per-site expectations are NaN.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pool/neutrality.hpp"
#include "pool/pool_store.hpp"

struct hts_tpool;

struct SPoolSpectrum {
    unsigned n = 0;
    bool folded = false;
    std::vector<double> phi;  // n + 1 shares summing to 1
};

// A log-linear family of spectra (see the header): phi(j) proportional to
// exp(offset[j] + sum_k design[j params + k] theta[k]), offset -inf for a
// cell the family leaves at 0; the penalty theta^T penalty theta / 2
// (params x params, symmetric, positive semi-definite); start: a theta to
// start from. A folded family must give phi(j) = phi(n - j).
struct SPoolLogLinear {
    std::size_t params = 0;
    std::vector<double> offset;   // n + 1
    std::vector<double> design;   // (n + 1) x params, row-major
    std::vector<double> penalty;  // params x params
    std::vector<double> start;    // params
};

// Sums of the terms of neutrality.hpp under the spectrum, times weight.
SSpectrumSums SpectrumSums(const SPoolSpectrum& s, double weight);

struct SPoolFitOptions {
    // See "When to stop" above.
    double gap = 1e-4;
    int maxPasses = 1000;
};

struct SPoolFitResult {
    SPoolSpectrum spectrum;   // the fitted spectrum: every site's prior
    SPoolSpectrum posterior;  // the EM map of spectrum (equal at the maximum)
    // The sites' posterior expectations under spectrum, summed: W times the
    // terms of posterior.
    SSpectrumSums sums;
    double logLik = 0.0;  // sum_s w_s log L_s, up to a constant per site
    double weight = 0.0;  // W: the sum of the weights of the possible sites
    double gap = 0.0;     // no spectrum's log-likelihood exceeds logLik + gap
    double gain = 0.0;    // the rise the last Newton model promised (inf: none)
    // A log-linear model's parameters at the fit (empty for free cells).
    std::vector<double> theta;
    std::uint64_t sites = 0;
    std::uint64_t impossibleSites = 0;  // sites of likelihood 0 under spectrum
    int passes = 0;
    bool converged = false;
};

class CPoolSpectrumModel {
  public:
    // Pool `pool` of store with n >= 2 chromosomes; folded: phi(j) =
    // phi(n - j). Scans the store once.
    CPoolSpectrumModel(const CPoolStore& store, std::size_t pool, unsigned n, bool folded);
    // The same for spectra of a log-linear family (see the header; params
    // 0: the free cells, as above).
    CPoolSpectrumModel(const CPoolStore& store, std::size_t pool, unsigned n, bool folded,
                       SPoolLogLinear family);
    ~CPoolSpectrumModel();
    CPoolSpectrumModel(const CPoolSpectrumModel&) = delete;
    CPoolSpectrumModel& operator=(const CPoolSpectrumModel&) = delete;

    unsigned N() const;
    bool Folded() const;
    // Sites where the pool counts.
    std::uint64_t Sites() const;

    // Fits the spectrum from start (null: DefaultStart()), every site
    // weighted by (*weights)[blocks->Block(...)] when weights is given (0:
    // left out). A log-linear model starts from the theta whose log
    // spectrum is nearest start's (least squares over the cells the family
    // keeps: start's own theta when start is of the family, as a fit's
    // spectrum is), or from the family's start when start has a cell at 0.
    SPoolFitResult Fit(const SPoolFitOptions& options, hts_tpool* pool,
                       const SPoolSpectrum* start = nullptr, const CSiteBlocks* blocks = nullptr,
                       const std::vector<double>* weights = nullptr) const;

    // No fit: spectrum as given, and one EM map of it (its posterior sums).
    SPoolFitResult Evaluate(const SPoolSpectrum& spectrum, hts_tpool* pool) const;

    // Posterior expectations under spectrum of the terms at every site of
    // the pool, in genome order: sink(contig, pos, terms) with terms.sites
    // 1 (NaN terms where the site is impossible).
    using TSiteSink = std::function<void(int, std::int64_t, const SSpectrumSums&)>;
    void Posterior(const SPoolSpectrum& spectrum, hts_tpool* pool, const TSiteSink& sink) const;

    // The default start: 90% of the sites monomorphic for the first allele
    // (folded: 45% for either), the rest spread as the neutral spectrum
    // (1/j; folded 1/j + 1/(n - j)), every cell positive. A log-linear
    // model's: its family's start.
    SPoolSpectrum DefaultStart() const;

  private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
    SPoolFitResult x_FitLogLinear(const SPoolFitOptions& options, hts_tpool* pool,
                                  const SPoolSpectrum* start, const CSiteBlocks* blocks,
                                  const std::vector<double>* weights) const;
};
