#pragma once
// The log-likelihood as a function of theta for one spectrum row set (the
// neutral spectrum, or growth at one rate), built in one pass over the sites.
//
// A site's likelihood is, up to its constant, a (1 - theta P) + theta u with
// u = sum_t beta_t z_t >= 0 (sitestore.hpp), P and beta those of the site's
// class. Most sites are "quiet": a = 1
// and u small, and for them
//   log(1 - theta P + theta u) = log(1 - theta P) + log1p(t u),
//   t = theta / (1 - theta P),
// and log1p(t u) = sum_{j=1..J} (-1)^(j+1) t^j u^j / j up to a remainder below
// (t u)^(J+1) / (J+1). So a quiet site adds 1 to a count and u^1..u^J to the
// moments of its class K, and a theta evaluation costs O(J) per class
// instead of O(1) per site. A site is quiet when t(thetaQuiet) u <= kQuietRho
// (remainder below 1e-18 per site for every theta <= thetaQuiet); the others
// are kept as (a, u, K) and evaluated exactly. The pass runs page by page on
// the thread pool; pages are merged in page order, so the sums do not depend
// on the number of threads.

#include <cstdint>
#include <vector>

#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"

struct hts_tpool;

// A run of records inside one page.
struct SSpan {
    std::uint32_t page = 0;
    std::uint32_t offset = 0;
    std::uint32_t bytes = 0;
    // Every site of the span counts this many times (a block bootstrap's
    // multiplicity, a whole number below 2^24); 1 leaves every sum bit for
    // bit as without weights.
    double weight = 1.0;
};

// One span per page: the whole store.
std::vector<SSpan> WholeStore(const CSiteStore& store);
// The spans of segments [first, last).
std::vector<SSpan> SegmentSpans(const CSiteStore& store, std::size_t first, std::size_t last);
// One span per segment with a positive weight, weighted by it; weights holds
// one number per segment of the store.
std::vector<SSpan> WeightedSpans(const CSiteStore& store, const std::vector<double>& weights);

// The series of log1p summed over sites: with m_j = sum_i y_i^j (j = 1..terms),
// s = sum_i log1p(x y_i) up to the terms kept = sum_j (-1)^(j+1) x^j m_j / j,
// and its first two derivatives in x.
void LogSeries(const double* m, int terms, double x, double& s, double& s1, double& s2);

// u = sum_k beta_k z_k of one record.
double SiteU(const SSiteView& view, const double* beta);
// What the likelihood in theta takes of the record at p: its class K, a,
// and u at the beta of rows (a neutral-only store, compact, keeps u itself,
// computed with the same rows). Returns the first byte after the record.
inline const unsigned char* ReadThetaTerms(const unsigned char* p, bool compact,
                                           const CPriorRows& rows, SNeutralView& terms) {
    if (compact) {
        return ReadNeutralRecord(p, terms);
    }
    SSiteView view;
    p = ReadSiteRecord(p, view);
    terms.chromosomes = view.chromosomes;
    terms.a = view.a;
    terms.u = SiteU(view, rows.Beta(view.chromosomes));
    return p;
}
// Log-likelihood of one record, its constant included, at theta.
double SiteLogLik(const SSiteView& view, double constant, const CPriorRows& rows, double theta);

class CThetaLik {
  public:
    static constexpr int kTerms = 12;
    static constexpr double kQuietRho = 0.05;

    // Builds from the sites of spans (one job per span). Sites are quiet
    // only if the series holds up to thetaQuiet (infinity: only sites with
    // u = 0); with exact set, no site with u > 0 is.
    // With a pool, Eval() also computes the exact sites' terms on it (the
    // pool must outlive the object, and Eval() must then be called from one
    // thread that is not one of the pool's); their sums run in site order,
    // so every value is bit for bit that without a pool.
    void Build(const CSiteStore& store, const std::vector<SSpan>& spans, const CPriorRows& rows,
               double thetaQuiet, bool exact, hts_tpool* pool);

    // One site given by its summary: class K, a and u, counted weight
    // times (a whole number below 2^24, as a span's weight).
    struct SSummary {
        int K;
        double a, u;
        double weight = 1.0;
    };
    // Builds from summaries; polymorphic[K] is P of class K and domain[K]
    // the P_K that bounds its domain.
    void Build(const std::vector<SSummary>& sites, const std::vector<double>& polymorphic,
               const std::vector<double>& domain, double thetaQuiet);

    // Largest theta of the domain for the classes present.
    double ThetaMax() const { return m_ThetaMax; }
    // Largest theta at which Eval is exact: min(thetaQuiet, ThetaMax()).
    double ThetaValid() const { return m_ThetaValid; }
    std::uint64_t GetSites() const { return m_Sites; }
    std::uint64_t GetExactSites() const { return m_Exact.size(); }

    // Log-likelihood without the sites' constants, and its first and second
    // derivatives, at 0 <= theta <= ThetaValid(). At a theta where a site
    // has likelihood 0 the value is -infinity (and d1 -infinity).
    void Eval(double theta, double& l, double& d1, double& d2) const;
    double Eval(double theta) const;

  private:
    struct SClass {
        int K = 0;
        double P = 0.0;
        double domain = 0.0;       // P_K: theta <= 1 / P_K
        double count = 0.0;        // quiet sites
        double m[kTerms] = {0.0};  // sum of u^j, j = 1..kTerms
    };
    struct SExact {
        double a, u;
        int cls;
        // A multiplicity (a whole number below 2^24, exact as a float), in
        // the padding, so the list of exact sites grows no larger.
        float weight;
    };
    // Files one site: into the moments of its class (acc, kStride numbers
    // per class) when quiet, else onto exact.
    static void x_Add(int cls, double a, double u, double tq, double weight, double* acc,
                      std::vector<SExact>& exact);
    // Keeps the classes with sites of acc and sets the domain.
    void x_Finish(const std::vector<SClass>& all, const std::vector<double>& acc, double thetaQuiet,
                  bool exact);

    std::vector<SClass> m_Classes;  // classes with sites, by K
    std::vector<SExact> m_Exact;
    hts_tpool* m_Pool = nullptr;
    std::uint64_t m_Sites = 0;
    double m_ThetaMax = 0.0, m_ThetaValid = 0.0;
};

// Maximum and interval of a theta log-likelihood.
struct SThetaSolution {
    double theta = 0.0;
    double logLik = 0.0;  // without constants
    double lo = 0.0, hi = 0.0;
    // The solution reaches ThetaValid() below ThetaMax(): build again with a
    // larger thetaQuiet.
    bool needWider = false;
};

// Maximises over [0, ThetaValid()] starting from guess (any value; clamped),
// then, when threshold is finite, finds the ends of {theta : l >= threshold}
// (threshold below the maximum; an end at the domain's edge is the edge).
// thresholdDrop > 0 instead sets threshold = max - thresholdDrop.
SThetaSolution SolveTheta(const CThetaLik& lik, double guess, double threshold,
                          double thresholdDrop);
