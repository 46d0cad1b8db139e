#include "engine/fit.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/qt_assert.hpp"
#include "base/warnings.hpp"
#include "common/taskpool.hpp"
#include "engine/depthrows.hpp"
#include "engine/gsl_search.hpp"
#include "engine/priorrows.hpp"
#include "engine/thetalik.hpp"
#include "spectrum/freqspec.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// log10 of the growth library's stand-in for 0: the neutral limit.
constexpr double kMinLogGrowth = kNeutralLogGrowth;
// Share of the domain that the first build of a theta likelihood covers with
// its series (theta P_max <= phi); widened when a solution reaches it.
constexpr double kFirstPhi = 0.25;
// Tolerances on log10 g: the growth estimate and its interval ends, and the
// minimum of lo(g) (its value is flat there, so a coarser x suffices).
constexpr double kLogGrowthTol = 1e-3;
constexpr double kProfileTol = 1e-2;

SFitResult EmptyResult(const std::string& model, const CSiteStore& store) {
    SFitResult r;
    r.model = model;
    r.theta = r.thetaLo = r.thetaHi = kNaN;
    r.growth = r.growthLo = r.growthHi = kNaN;
    r.logLik = r.lrt = r.pValue = kNaN;
    r.sites = store.GetSites();
    r.reads = store.GetReads();
    return r;
}

// The spans of a fit and the sum of its sites' constants, weighted or not.
std::vector<SSpan> FitSpans(const CSiteStore& store, const std::vector<double>* weights) {
    return weights ? WeightedSpans(store, *weights) : WholeStore(store);
}

double FitConstant(const CSiteStore& store, const std::vector<double>* weights) {
    if (!weights) {
        return store.GetConstant();
    }
    double sum = 0.0;
    const std::vector<SSegment>& segments = store.GetSegments();
    for (std::size_t i = 0; i < segments.size(); ++i) {
        sum += (*weights)[i] * segments[i].constant;
    }
    return sum;
}

// The LRT of the growth row and its p-value under the boundary null: half
// chi-square with 0 and half with 1 degree of freedom (Self and Liang 1987),
// so p = 0.5 Q_chi2(lrt, 1) for lrt > 0 and 1 at lrt = 0.
void SetLrt(SFitResult& r, double neutralLogLik, bool neutralLimit) {
    r.lrt = neutralLimit ? 0.0 : std::max(0.0, 2.0 * (r.logLik - neutralLogLik));
    r.pValue = r.lrt > 0.0 ? 0.5 * gsl_cdf_chisq_Q(r.lrt, 1.0) : 1.0;
}

// Builds the theta likelihood of rows over spans and solves it, widening the
// range of the series until the solution lies inside it. phi is the share of
// the domain to start with; on return, the share the solution needed.
SThetaSolution FitAtRows(const CSiteStore& store, const std::vector<SSpan>& spans,
                         const CPriorRows& rows, double& phi, double guess, double threshold,
                         double drop, hts_tpool* pool, int& passes, bool& informative) {
    for (;;) {
        const double thetaQuiet = phi >= 1.0 ? kInf : phi * rows.ThetaMax();
        CThetaLik lik;
        lik.Build(store, spans, rows, thetaQuiet, false, pool);
        ++passes;
        informative = std::isfinite(lik.ThetaMax());
        if (!informative) {
            SThetaSolution s;
            s.theta = s.lo = s.hi = kNaN;
            s.logLik = lik.GetSites() > 0 ? lik.Eval(0.0) : 0.0;
            return s;
        }
        SThetaSolution s = SolveTheta(lik, guess, threshold, drop);
        if (!s.needWider) {
            const double reach = std::isfinite(s.hi) ? std::max(s.hi, s.theta) : s.theta;
            phi = std::min(1.0, reach / rows.ThetaMax());
            return s;
        }
        phi = phi >= 0.25 ? 1.0 : 4.0 * phi;
    }
}

// The growth profile: every evaluated x = log10 g with its maximum and, for
// the threshold in force, its theta interval.
class CGrowthSearch {
  public:
    struct SPoint {
        double lp = kNaN, theta = kNaN, lo = kNaN, hi = kNaN;
        double threshold = kNaN;  // of lo and hi
        double share = kNaN;      // theta / ThetaMax of the rows
    };

    CGrowthSearch(const CSiteStore& store, const SFitResult& neutral, hts_tpool* pool,
                  const std::vector<double>* weights)
        : m_Store(store),
          m_Spans(FitSpans(store, weights)),
          m_Constant(FitConstant(store, weights)),
          m_Pool(pool),
          m_Binomials(std::max(2, store.GetOptions().poolSize)) {
        // The neutral limit is known without a pass until an interval is asked.
        SPoint p;
        p.lp = neutral.logLik;
        p.theta = neutral.theta;
        p.share = neutral.theta / CPriorRows::Neutral(store).ThetaMax();
        m_Points[kMinLogGrowth] = p;
    }

    // The point at x; with a finite threshold, its interval for it.
    const SPoint& At(double x, double threshold = kNaN) {
        auto it = m_Points.find(x);
        if (it != m_Points.end() &&
            (!std::isfinite(threshold) || it->second.threshold == threshold)) {
            return it->second;
        }
        const CPriorRows rows = x <= kMinLogGrowth
                                    ? CPriorRows::Neutral(m_Store, &m_Binomials)
                                    : CPriorRows::Growth(m_Store, std::pow(10.0, x), &m_Binomials);
        const double constant = m_Constant;
        // A neighbour's maximum, on the scale of the domain, starts Newton.
        auto near = m_Points.lower_bound(x);
        if (near == m_Points.end()) {
            --near;
        }
        const double guess = near->second.share * rows.ThetaMax();
        bool informative = true;
        const SThetaSolution s =
            FitAtRows(m_Store, m_Spans, rows, m_Phi, guess, threshold - constant, 0.0, m_Pool,
                      m_Passes, informative);
        // Start the next build a little wider than this one needed.
        m_Phi = std::min(1.0, std::max(1.5 * m_Phi, 0.02));
        SPoint& p = m_Points[x];
        p.lp = constant + s.logLik;
        p.theta = s.theta;
        p.lo = s.lo;
        p.hi = s.hi;
        p.threshold = threshold;
        p.share = s.theta / rows.ThetaMax();
        return p;
    }

    const std::map<double, SPoint>& Points() const { return m_Points; }
    int Passes() const { return m_Passes; }

  private:
    const CSiteStore& m_Store;
    std::vector<SSpan> m_Spans;
    double m_Constant;
    hts_tpool* m_Pool;
    CBinomialCache m_Binomials;
    std::map<double, SPoint> m_Points;
    double m_Phi = kFirstPhi;
    int m_Passes = 0;
};

// Minimum of f over [a, b], m a likely place of it: GSL's Brent when f(m)
// lies below both ends; else the lower end e, unless a point between it and
// m lies lower still, which then brackets the minimum. The probes come ever
// closer to e, since the ends of the theta interval over g turn sharply just
// inside the ends of the growth interval, where the interval at g shrinks to
// a point.
double MinOver(const std::function<double(double)>& f, double a, double m, double b, double tol) {
    const double fa = f(a), fb = f(b);
    if (!(a < m && m < b)) {
        m = 0.5 * (a + b);
    }
    const double fm = f(m);
    if (fm < fa && fm < fb) {
        return BrentMin(f, a, m, b, fa, fm, fb, tol);
    }
    const double e = fa <= fb ? a : b;
    const double fe = std::min(fa, fb);
    for (double share : {0.3, 0.05, 0.01, 2e-3}) {
        const double p = e + share * (m - e);
        if (std::fabs(p - e) < 0.5 * tol) {
            break;
        }
        const double fp = f(p);
        if (fp < fe) {
            const double lo = std::min(e, m), hi = std::max(e, m);
            return BrentMin(f, lo, p, hi, lo == e ? fe : fm, fp, hi == e ? fe : fm, tol);
        }
    }
    return fe;
}

}  // namespace

double ChiSquareDrop(double level) {
    return 0.5 * gsl_cdf_chisq_Pinv(level, 1.0);
}

double ProfileTieTolerance(double logLik) {
    // Every site's log-likelihood is exact to 1e-10 relative (sitestore.hpp),
    // so a sum l is exact to 1e-10 |l| and the difference of two such sums
    // to 2e-10 |l|; the absolute part covers the rounding of sums near 0.
    return 2e-10 * std::fabs(logLik) + 1e-12;
}

SThetaMaximum MaximizeTheta(const CSiteStore& store, const CPriorRows& rows,
                            const std::vector<double>* weights, hts_tpool* pool) {
    SThetaMaximum m;
    double phi = kFirstPhi;
    int passes = 0;
    bool informative = true;
    const SThetaSolution s = FitAtRows(store, FitSpans(store, weights), rows, phi, kNaN, kNaN, 0.0,
                                       pool, passes, informative);
    m.theta = informative ? s.theta : kNaN;
    m.logLik = FitConstant(store, weights) + s.logLik;
    return m;
}

void CheckFitOptions(const SFitOptions& options) {
    if (!(options.level > 0.0 && options.level < 1.0)) {
        throw std::invalid_argument("The confidence level must lie strictly between 0 and 1 (got " +
                                    std::to_string(options.level) + ").");
    }
    if (!(options.growthCap > 1e-3) || !std::isfinite(options.growthCap)) {
        throw std::invalid_argument(
            "The largest growth rate searched must be finite and above 1e-3.");
    }
}

SFitResult FitNeutral(const CSiteStore& store, const SFitOptions& options, hts_tpool* pool,
                      const std::vector<double>* weights) {
    CheckFitOptions(options);
    SFitResult r = EmptyResult("neutral", store);
    if (store.GetSites() == 0) {
        r.logLik = 0.0;
        return r;
    }
    const CPriorRows rows = CPriorRows::Neutral(store);
    double phi = kFirstPhi;
    bool informative = true;
    const SThetaSolution s = FitAtRows(store, FitSpans(store, weights), rows, phi, kNaN, kNaN,
                                       options.intervals ? ChiSquareDrop(options.level) : 0.0, pool,
                                       r.passes, informative);
    r.logLik = FitConstant(store, weights) + s.logLik;
    if (informative) {
        r.theta = s.theta;
        r.thetaLo = s.lo;
        r.thetaHi = s.hi;
    }
    return r;
}

SFitResult FitGrowth(const CSiteStore& store, const SFitOptions& options, const SFitResult& neutral,
                     hts_tpool* pool, const std::vector<double>* weights) {
    CheckFitOptions(options);
    SFitResult r = EmptyResult("growth", store);
    if (store.GetSites() == 0 || !std::isfinite(neutral.theta)) {
        r.logLik = neutral.logLik;
        r.passes = 0;
        return r;
    }
    CGslErrorGuard guard;
    CGrowthSearch search(store, neutral, pool, weights);
    const double xMin = kMinLogGrowth;
    const double xMax = std::log10(options.growthCap);
    auto lp = [&](double x) { return search.At(x).lp; };
    const double tie = ProfileTieTolerance(neutral.logLik);

    // Scan: the neutral limit, then every decade from 1e-3 to the cap.
    std::vector<double> grid{xMin};
    for (double x = -3.0; x < xMax; x += 1.0) {
        grid.push_back(x);
    }
    grid.push_back(xMax);
    std::size_t best = 0;
    double lowest = lp(xMin);
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (lp(grid[i]) > lp(grid[best])) {
            best = i;
        }
        lowest = std::min(lowest, lp(grid[i]));
    }
    // A profile level from the neutral limit to the cap: the data cannot
    // tell growth from none (a single site of two reads unfolded, or sites
    // without a polymorphism), and its maximum would be rounding noise.
    const bool level = !(lp(grid[best]) - lowest > tie);
    if (!level && best > 0 && best + 1 < grid.size()) {
        const double a = grid[best - 1], m = grid[best], b = grid[best + 1];
        BrentMin([&](double x) { return -lp(x); }, a, m, b, -lp(a), -lp(m), -lp(b), kLogGrowthTol);
    }
    // The best evaluated point; a rise above the neutral limit that the
    // arithmetic cannot resolve is a tie, and ties go to the neutral limit.
    double xHat = xMin;
    for (const auto& kv : search.Points()) {
        if (kv.second.lp > search.Points().at(xHat).lp) {
            xHat = kv.first;
        }
    }
    if (!(lp(xHat) - lp(xMin) > tie)) {
        xHat = xMin;
    }
    const double lHat = lp(xHat);
    r.growth = level ? kNaN : std::pow(10.0, xHat);
    r.logLik = lHat;
    SetLrt(r, neutral.logLik, xHat == xMin);
    if (!options.intervals) {
        r.theta = search.At(xHat).theta;
        r.passes = search.Passes();
        return r;
    }
    const double threshold = lHat - ChiSquareDrop(options.level);
    auto below = [&](double x) { return lp(x) - threshold; };
    auto unbracketed = [](const char* end) {
        Warn(std::string("qualscan: the root search for growth_") + end +
             " found no bracket where the profile likelihood crosses its threshold; growth_" + end +
             " is NA.");
    };

    // growth_lo and growth_hi: the tightest evaluated brackets, then roots.
    // [xLo, xHi] is where theta is profiled: where a root is missing, up to
    // the point of the bracket outside the interval.
    double xLo = xMin, xHi = xMax;
    r.growthLo = std::pow(10.0, xMin);
    if (lp(xMin) < threshold) {
        double a = xMin, b = xHat;
        for (const auto& kv : search.Points()) {
            if (kv.first < xHat && kv.second.lp < threshold) {
                a = std::max(a, kv.first);
            }
        }
        for (const auto& kv : search.Points()) {
            if (kv.first > a && kv.first <= xHat && kv.second.lp >= threshold) {
                b = std::min(b, kv.first);
            }
        }
        xLo = BrentRoot(below, a, b, kLogGrowthTol);
        if (std::isnan(xLo)) {
            unbracketed("lo");
            xLo = a;
            r.growthLo = kNaN;
        } else {
            r.growthLo = std::pow(10.0, xLo);
        }
    }
    const bool hiOpen = lp(xMax) >= threshold;
    r.growthHi = kInf;
    if (!hiOpen) {
        double a = xHat, b = xMax;
        for (const auto& kv : search.Points()) {
            if (kv.first > xHat && kv.second.lp < threshold) {
                b = std::min(b, kv.first);
            }
        }
        for (const auto& kv : search.Points()) {
            if (kv.first >= xHat && kv.first < b && kv.second.lp >= threshold) {
                a = std::max(a, kv.first);
            }
        }
        xHi = BrentRoot(below, a, b, kLogGrowthTol);
        if (std::isnan(xHi)) {
            unbracketed("hi");
            xHi = b;
            r.growthHi = kNaN;
        } else {
            r.growthHi = std::pow(10.0, xHi);
        }
    }

    // theta_lo = min lo(g), theta_hi = max hi(g) over [xLo, xHi].
    auto loAt = [&](double x) { return search.At(x, threshold).lo; };
    auto negHiAt = [&](double x) { return -search.At(x, threshold).hi; };
    double thetaLo = loAt(xHat), thetaHi = -negHiAt(xHat);
    if (xLo < xHi) {
        thetaLo = MinOver(loAt, xLo, xHat, xHi, kProfileTol);
        thetaHi = -MinOver(negHiAt, xLo, xHat, xHi, kProfileTol);
        if (hiOpen && thetaHi <= search.At(xMax, threshold).hi) {
            thetaHi = kInf;  // still growing at the cap
        }
    }

    r.theta = search.At(xHat).theta;
    r.thetaLo = thetaLo;
    r.thetaHi = thetaHi;
    r.passes = search.Passes();
    return r;
}

CWindowFitter::CWindowFitter(const SSiteOptions& site, const SFitOptions& fit) : m_Site(site) {
    CheckFitOptions(fit);
    CheckSiteOptions(site);
    std::unique_ptr<CFreqSpectrum> unit(new CFSNeutral);
    unit->SetParam(0) = 1.0;
    m_Rows.reset(new CDepthRows(site, std::move(unit)));
    m_Drop = ChiSquareDrop(fit.level);
}

CWindowFitter::~CWindowFitter() = default;

double CWindowFitter::x_Polymorphic(int n) {
    const std::size_t k = static_cast<std::size_t>(n);
    if (m_P.size() <= k) {
        m_P.resize(k + 1, kNaN);
        m_Domain.resize(k + 1, kNaN);
    }
    if (std::isnan(m_P[k])) {
        const CDepthRows::SRow& row = m_Rows->Row(n, 0);
        m_P[k] = row.polymorphic;
        m_Domain[k] = row.domain;
    }
    return m_P[k];
}

SWindowEstimate CWindowFitter::Fit(const SWindowSite* sites, std::size_t count) {
    return x_Fit(sites, nullptr, count, true);
}

double CWindowFitter::Refit(const SWindowSite* sites, const double* weights, std::size_t count) {
    return x_Fit(sites, weights, count, false).theta;
}

SWindowEstimate CWindowFitter::x_Fit(const SWindowSite* sites, const double* weights,
                                     std::size_t count, bool interval) {
    SWindowEstimate e{kNaN, kNaN, kNaN, kNaN};
    // Back from (a, b) to (a, u): b = u - a P_n.
    std::vector<CThetaLik::SSummary> summaries;
    summaries.reserve(count);
    double constant = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double w = weights ? weights[i] : 1.0;
        if (w == 0.0) {
            continue;  // not drawn: as if the site were not there
        }
        const SWindowSite& s = sites[i];
        const int n = static_cast<int>(s.m_Reads);
        const double p = x_Polymorphic(n);
        summaries.push_back(CThetaLik::SSummary{n, s.m_A, std::max(0.0, s.m_B + s.m_A * p), w});
        constant += w * s.m_LogScale;
    }
    if (summaries.empty()) {
        return e;
    }
    double thetaMax = kInf;
    for (const auto& s : summaries) {
        const double domain = m_Domain[static_cast<std::size_t>(s.K)];
        if (domain > 0.0) {
            thetaMax = std::min(thetaMax, 1.0 / domain);
        }
    }
    CThetaLik lik;
    for (double phi = kFirstPhi;; phi = phi >= 0.25 ? 1.0 : 4.0 * phi) {
        lik.Build(summaries, m_P, m_Domain, phi >= 1.0 ? kInf : phi * thetaMax);
        if (!std::isfinite(lik.ThetaMax())) {
            e.logLik = constant + lik.Eval(0.0);
            return e;
        }
        const SThetaSolution s = SolveTheta(lik, kNaN, kNaN, interval ? m_Drop : 0.0);
        if (!s.needWider) {
            e.theta = s.theta;
            e.thetaLo = interval ? s.lo : kNaN;
            e.thetaHi = interval ? s.hi : kNaN;
            e.logLik = constant + s.logLik;
            return e;
        }
    }
}

double LogLikelihood(const CSiteStore& store, const CPriorRows& rows, double theta,
                     hts_tpool* pool) {
    CThetaLik lik;
    lik.Build(store, WholeStore(store), rows, kInf, true, pool);
    return store.GetConstant() + lik.Eval(theta);
}
