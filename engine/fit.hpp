#pragma once
// Fits of the neutral and the exponential-growth spectrum to a site store,
// with profile-likelihood intervals and the growth test, and neutral fits of
// windows.
//
// Every fit works on CThetaLik (thetalik.hpp): for a fixed spectrum (neutral,
// or growth at rate g) one pass over the sites gives the log-likelihood as an
// exact function of theta, which is concave, so its maximum and the ends of
// {theta : l >= c} follow from safeguarded Newton steps without touching the
// sites again.
//
// Growth. The profile l_p(g) = max_theta l(theta, g) is searched on
// x = log10 g over [-10, log10(growthCap)]: a scan of the decades from 1e-3
// up, GSL's Brent minimiser around the best scan point, and GSL's Brent root
// finder for growth_lo and growth_hi (l_p = l_hat - q/2). The lower edge
// g = 1e-10 is the neutral limit and is evaluated with the neutral spectrum
// (the growth spectrum approaches it to 2e-10 there), so the growth fit is
// never below the neutral one and lrt >= 0. theta_lo = min_g lo(g) and
// theta_hi = max_g hi(g) over the g where l_p >= l_hat - q/2, lo(g) and hi(g)
// being the ends of the theta interval at g. growth_hi is infinity when l_p
// is still above the threshold at growthCap, and theta_hi is infinity when in
// addition hi(g) is largest there. Every evaluated g is kept, so the searches
// share their passes.
//
// Edges. Profile values closer than the arithmetic resolves (2e-10 |l|: each
// site's log-likelihood is exact to 1e-10 relative) are ties, and ties go to
// the neutral limit (lrt 0, p 1). A profile level over the whole range means
// the data cannot tell growth from none: growth is NaN. An interval end whose
// root search finds no bracket is NaN, with a warning.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sitestore.hpp"

struct hts_tpool;
class CPriorRows;

struct SFitOptions {
    double level = 0.95;     // of the profile-likelihood intervals, in (0, 1)
    double growthCap = 1e6;  // largest growth rate searched (> 1e-3)
    // false: the estimates alone, no interval (the refits of a bootstrap).
    bool intervals = true;
};

// Throws std::invalid_argument when the options are unusable.
void CheckFitOptions(const SFitOptions& options);

// One row of qualscan's output. NaN marks "not applicable" (and every
// estimate of a store without a site that tells anything about theta).
struct SFitResult {
    std::string model;  // "neutral" or "growth"
    double theta, thetaLo, thetaHi;
    double growth, growthLo, growthHi;
    double logLik;
    double lrt, pValue;
    std::uint64_t sites = 0, reads = 0;
    int passes = 0;  // passes over the sites the fit made
};

// weights, when given, holds one multiplicity per segment of the store (a
// block bootstrap's resample): every sum over sites counts each site that
// many times. Without it every site counts once.
SFitResult FitNeutral(const CSiteStore& store, const SFitOptions& options, hts_tpool* pool,
                      const std::vector<double>* weights = nullptr);
// neutral: FitNeutral's result for the same store, options and weights.
SFitResult FitGrowth(const CSiteStore& store, const SFitOptions& options, const SFitResult& neutral,
                     hts_tpool* pool, const std::vector<double>* weights = nullptr);

// What a window fit needs of a site: its likelihood under the neutral model,
// e^logScale (a + theta b), and its number of reads (filled from
// SEncodedSite: m_A = neutralA, m_B = neutralB, m_LogScale = constant,
// m_Reads = reads).
struct SWindowSite {
    std::int64_t m_Pos = 0;  // 0-based
    double m_A = 0.0, m_B = 0.0, m_LogScale = 0.0;
    std::uint32_t m_Reads = 0;
};

// Neutral estimate of a window from its sites' neutral summaries. A
// workspace: one per thread; it keeps the rows of the classes it has seen.
struct SWindowEstimate {
    double theta, thetaLo, thetaHi, logLik;  // NaN without a site that tells about theta
};

class CWindowFitter {
  public:
    CWindowFitter(const SSiteOptions& site, const SFitOptions& fit);
    ~CWindowFitter();
    CWindowFitter(const CWindowFitter&) = delete;
    CWindowFitter& operator=(const CWindowFitter&) = delete;

    SWindowEstimate Fit(const SWindowSite* sites, std::size_t count);
    // The estimate alone (no interval) with site i counted weights[i] times
    // (whole numbers below 2^24; 0 leaves the site out): a block
    // bootstrap's refit of the window. NaN when no site left tells about
    // theta.
    double Refit(const SWindowSite* sites, const double* weights, std::size_t count);

  private:
    SWindowEstimate x_Fit(const SWindowSite* sites, const double* weights, std::size_t count,
                          bool interval);
    // P and P_K of class n, kept in m_P and m_Domain.
    double x_Polymorphic(int n);

    SSiteOptions m_Site;
    double m_Drop;
    std::unique_ptr<class CDepthRows> m_Rows;
    std::vector<double> m_P, m_Domain;
};

// The drop below the maximum that bounds a profile-likelihood interval at
// level: half the chi-square quantile of one degree of freedom (Wilks).
double ChiSquareDrop(double level);

// log10 of the growth rate that stands for the neutral limit.
constexpr double kNeutralLogGrowth = -10.0;

// Two values of a profile log-likelihood closer than this cannot be told
// apart (ties): the arithmetic resolves l to 2e-10 |l|.
double ProfileTieTolerance(double logLik);

// The maximum over theta of the log-likelihood at one spectrum, its
// constants included, with the sites weighted as in FitNeutral; theta is
// NaN when no site tells anything about theta (logLik then at theta 0).
struct SThetaMaximum {
    double theta = 0.0, logLik = 0.0;
};
SThetaMaximum MaximizeTheta(const CSiteStore& store, const CPriorRows& rows,
                            const std::vector<double>* weights, hts_tpool* pool);

// Exact log-likelihood of the whole store at theta for the given rows
// (every site evaluated on its own; for checks and single evaluations).
double LogLikelihood(const CSiteStore& store, const CPriorRows& rows, double theta,
                     hts_tpool* pool);
