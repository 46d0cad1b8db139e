#include "pool/site_posterior.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "base/qt_assert.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
// The grid of each pool's search: p = sin^2(pi k / (2 kGrid)), k =
// 0..kGrid; the shared search's, kRangeGrid equal steps.
constexpr int kGrid = 16;
constexpr int kRangeGrid = 8;
constexpr double kSearchTolerance = 1e-10;

// ln C(n, j) for j = 0..n, kept per thread for every n seen.
const std::vector<double>& LogChoose(unsigned n) {
    thread_local std::map<unsigned, std::vector<double>> tables;
    std::vector<double>& t = tables[n];
    if (t.empty()) {
        for (unsigned j = 0; j <= n; ++j) {
            t.push_back(std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0));
        }
    }
    return t;
}

// log L(p) = log sum_j Binom(j; n, p) P(j) of one pool, by the binomial's
// recurrence from its mode: one multiplication per term.
class CPoolCurve {
  public:
    explicit CPoolCurve(const std::vector<double>& likelihood)
        : m_N(static_cast<unsigned>(likelihood.size() - 1)),
          m_P(likelihood),
          m_Up(m_N),
          m_Down(m_N) {
        double top = 0.0;
        for (double x : m_P) {
            top = std::max(top, x);
        }
        QT_ASSERT(top > 0.0);
        for (double& x : m_P) {
            x /= top;
        }
        m_LogTop = std::log(top);
        m_LogChoose = LogChoose(m_N).data();
        // Binom(j + 1) / Binom(j) = (n - j) / (j + 1) p / (1 - p), and its
        // inverse from j + 1 to j.
        for (unsigned j = 0; j < m_N; ++j) {
            m_Up[j] = static_cast<double>(m_N - j) / (j + 1.0);
            m_Down[j] = 1.0 / m_Up[j];
        }
    }

    double operator()(double p) const {
        if (p <= 0.0) {
            return std::log(m_P[0]) + m_LogTop;
        }
        if (p >= 1.0) {
            return std::log(m_P[m_N]) + m_LogTop;
        }
        const unsigned n = m_N;
        const unsigned mode = std::min(n, static_cast<unsigned>((n + 1) * p));
        const double lp = std::log(p), lq = std::log1p(-p);
        const double logMode = m_LogChoose[mode] + mode * lp + (n - mode) * lq;
        const double up = std::exp(lp - lq), down = 1.0 / up;
        double sum = m_P[mode];
        double b = 1.0;
        for (unsigned j = mode; j < n && b > 1e-300; ++j) {
            b *= up * m_Up[j];
            sum += b * m_P[j + 1];
        }
        b = 1.0;
        for (unsigned j = mode; j > 0 && b > 1e-300; --j) {
            b *= down * m_Down[j - 1];
            sum += b * m_P[j - 1];
        }
        return sum > 0.0 ? logMode + std::log(sum) + m_LogTop : kMinusInf;
    }

  private:
    unsigned m_N;
    std::vector<double> m_P;
    std::vector<double> m_Up, m_Down;
    const double* m_LogChoose = nullptr;
    double m_LogTop = 0.0;
};

double GridPoint(int k) {
    const double s = std::sin(M_PI * k / (2.0 * kGrid));
    return k == 0 ? 0.0 : k == kGrid ? 1.0 : s * s;
}

// The largest value of f on [a, b] by Brent's (1973) method: golden-section
// steps, parabolic ones through the three best points where they fall
// well inside the bracket; starting from x (f(x) = fx), to within
// kSearchTolerance. Returns (value, where).
template <typename F>
std::pair<double, double> Brent(const F& f, double a, double b, double x, double fx) {
    const double golden = 0.5 * (3.0 - std::sqrt(5.0));
    double w = x, v = x, fw = fx, fv = fx;
    double d = 0.0, e = 0.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
        const double m = 0.5 * (a + b);
        const double tol1 = kSearchTolerance, tol2 = 2.0 * tol1;
        if (std::fabs(x - m) <= tol2 - 0.5 * (b - a)) {
            break;
        }
        bool parabolic = false;
        if (std::fabs(e) > tol1 && std::isfinite(fx) && std::isfinite(fw) && std::isfinite(fv)) {
            // The vertex of the parabola through (x, fx), (w, fw), (v, fv).
            double r = (x - w) * (fv - fx), q = (x - v) * (fw - fx);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) {
                p = -p;
            } else {
                q = -q;
            }
            if (std::fabs(p) < std::fabs(0.5 * q * e) && p > q * (a - x) && p < q * (b - x)) {
                e = d;
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2) {
                    d = m >= x ? tol1 : -tol1;
                }
                parabolic = true;
            }
        }
        if (!parabolic) {
            e = (x >= m ? a : b) - x;
            d = golden * e;
        }
        const double u = std::fabs(d) >= tol1 ? x + d : x + (d >= 0.0 ? tol1 : -tol1);
        const double fu = f(u);
        if (fu >= fx) {
            (u >= x ? a : b) = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            (u < x ? a : b) = u;
            if (fu >= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu >= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    return {fx, x};
}

// The maximum over [0, 1] of f (see the header): its value and where.
template <typename F>
std::pair<double, double> Maximise(const F& f, const std::vector<double>& grid,
                                   const std::vector<double>& values) {
    const int last = static_cast<int>(grid.size()) - 1;
    std::pair<double, double> best{values[0], grid[0]};
    for (int k = 0; k <= last; ++k) {
        const double v = values[static_cast<std::size_t>(k)];
        if (v > best.first) {
            best = {v, grid[static_cast<std::size_t>(k)]};
        }
    }
    for (int k = 0; k <= last; ++k) {
        const double v = values[static_cast<std::size_t>(k)];
        const bool peak = (k == 0 || v >= values[static_cast<std::size_t>(k - 1)]) &&
                          (k == last || v >= values[static_cast<std::size_t>(k + 1)]);
        if (!peak || v == kMinusInf) {
            continue;
        }
        const std::pair<double, double> local =
            Brent(f, grid[static_cast<std::size_t>(std::max(k - 1, 0))],
                  grid[static_cast<std::size_t>(std::min(k + 1, last))],
                  grid[static_cast<std::size_t>(k)], v);
        if (local.first > best.first) {
            best = local;
        }
    }
    return best;
}

}  // namespace

SPoolPosterior PoolPosterior(const double* likelihood, const SPoolSpectrum& prior, double level) {
    const unsigned n = prior.n;
    std::vector<double> post(n + 1);
    double total = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        post[j] = prior.phi[j] * likelihood[j];
        total += post[j];
    }
    if (!(total > 0.0) || !std::isfinite(total)) {
        return SPoolPosterior{kNaN, kNaN, kNaN, kNaN, kNaN};
    }
    double mean = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        post[j] /= total;
        mean += post[j] * j;
    }
    const double tail = 0.5 * (1.0 - level);
    // j_lo: the largest j with P(J < j) <= tail.
    unsigned lo = 0;
    double below = 0.0;
    while (lo < n && below + post[lo] <= tail) {
        below += post[lo];
        ++lo;
    }
    // j_hi: the smallest j with P(J > j) <= tail.
    unsigned hi = n;
    double above = 0.0;
    while (hi > 0 && above + post[hi] <= tail) {
        above += post[hi];
        --hi;
    }
    SPoolPosterior r;
    r.mean = mean / n;
    r.lo = static_cast<double>(lo) / n;
    r.hi = static_cast<double>(std::max(lo, hi)) / n;
    r.pZero = post[0];
    r.log10PZero = post[0] > 0.0 ? std::log10(post[0]) : kMinusInf;
    return r;
}

double SiteQual(const std::vector<double>& log10PZero) {
    double sum = 0.0;
    for (double x : log10PZero) {
        sum += x;
    }
    const double qual = -10.0 * sum;
    // -0 for a site every pool calls monomorphic for sure.
    return !(qual < kMaxQual) ? kMaxQual : qual > 0.0 ? qual : 0.0;
}

SDifferentiation DifferentiationTest(const std::vector<std::vector<double>>& likelihoods) {
    // A likelihood 0 for every count (reads beyond a double's range at an
    // extreme depth) says nothing: that pool is left out.
    std::vector<CPoolCurve> curves;
    curves.reserve(likelihoods.size());
    for (const auto& l : likelihoods) {
        if (*std::max_element(l.begin(), l.end()) > 0.0) {
            curves.emplace_back(l);
        }
    }
    SDifferentiation r;
    r.pools = static_cast<unsigned>(curves.size());
    if (r.pools < 2) {
        r.statistic = r.pValue = r.shared = r.logLikAlt = r.logLikNull = kNaN;
        return r;
    }
    // Each pool's maximum: the grid, then Brent between the best point's
    // neighbours (the curve is unimodal).
    std::vector<double> grid(kGrid + 1), values(grid.size());
    for (int k = 0; k <= kGrid; ++k) {
        grid[static_cast<std::size_t>(k)] = GridPoint(k);
    }
    double alt = 0.0, lo = 1.0, hi = 0.0;
    for (const CPoolCurve& c : curves) {
        for (std::size_t k = 0; k < grid.size(); ++k) {
            values[k] = c(grid[k]);
        }
        const std::pair<double, double> best = Maximise(c, grid, values);
        alt += best.first;
        lo = std::min(lo, best.second);
        hi = std::max(hi, best.second);
    }
    // The shared maximum lies between the pools' own: outside, every curve
    // falls away from it. One point when they agree; else a grid over that
    // range and Brent around each of its peaks.
    const auto sum = [&](double p) {
        double s = 0.0;
        for (const CPoolCurve& c : curves) {
            s += c(p);
        }
        return s;
    };
    std::pair<double, double> null{sum(lo), lo};
    if (hi > lo) {
        std::vector<double> range(kRangeGrid + 1), shared(range.size());
        for (int k = 0; k <= kRangeGrid; ++k) {
            range[static_cast<std::size_t>(k)] =
                k == kRangeGrid ? hi : lo + (hi - lo) * k / kRangeGrid;
            shared[static_cast<std::size_t>(k)] =
                k == 0 ? null.first : sum(range[static_cast<std::size_t>(k)]);
        }
        null = Maximise(sum, range, shared);
    }
    r.logLikAlt = alt;
    r.logLikNull = null.first;
    r.shared = null.second;
    r.statistic = std::max(0.0, 2.0 * (alt - null.first));
    r.pValue = r.statistic > 0.0 ? gsl_cdf_chisq_Q(r.statistic, r.pools - 1.0) : 1.0;
    return r;
}

CSiteCaller::CSiteCaller(std::vector<SPoolSpectrum> priors, double level)
    : m_Priors(std::move(priors)), m_Level(level) {
    for (const SPoolSpectrum& s : m_Priors) {
        m_Rows.emplace_back(s.n);
    }
    m_Likelihoods.resize(m_Priors.size());
    m_U.resize(m_Priors.size());
}

double CSiteCaller::Qual(const SPoolRecordView* records) {
    m_Log10PZero.clear();
    double tau[kMaxRecordEntries];
    for (std::size_t i = 0; i < m_Priors.size(); ++i) {
        const SPoolRecordView& v = records[i];
        if (v.depth == 0) {
            continue;
        }
        CBinomialRows& rows = m_Rows[i];
        rows.Cover(v.depth, v.lo, v.count);
        std::vector<std::vector<double>>& byDepth = m_U[i];
        if (byDepth.size() <= v.depth) {
            byDepth.resize(v.depth + 1);
        }
        std::vector<double>& u = byDepth[v.depth];
        const unsigned first = rows.First(v.depth), count = rows.Count(v.depth);
        if (u.size() != count) {
            // The depth's run grew (or is new): its u afresh.
            const std::vector<double>& phi = m_Priors[i].phi;
            u.assign(count, 0.0);
            for (unsigned k = 0; k < count; ++k) {
                const double* q = rows.Row(v.depth, first + k);
                for (std::size_t j = 0; j < phi.size(); ++j) {
                    u[k] += q[j] * phi[j];
                }
            }
        }
        RecordEntries(v, tau);
        double z = 0.0;
        for (unsigned k = 0; k < v.count; ++k) {
            z += tau[k] * u[v.lo - first + k];
        }
        if (!(z > 0.0)) {
            continue;
        }
        const double zero = v.lo == 0 ? m_Priors[i].phi[0] * tau[0] / z : 0.0;
        m_Log10PZero.push_back(zero > 0.0 ? std::log10(zero) : kMinusInf);
    }
    return SiteQual(m_Log10PZero);
}

void CSiteCaller::Likelihood(std::size_t i, const SPoolRecordView& record,
                             std::vector<double>& out) {
    out.resize(m_Priors[i].n + 1);
    m_Rows[i].Likelihood(record, out.data());
}

void CSiteCaller::Call(const SPoolRecordView* records, SSiteCall& out, bool test) {
    const std::size_t pools = m_Priors.size();
    out.pools.assign(pools, SPoolPosterior{kNaN, kNaN, kNaN, kNaN, kNaN});
    m_Log10PZero.clear();
    std::vector<std::vector<double>> counting;
    for (std::size_t i = 0; i < pools; ++i) {
        if (records[i].depth == 0) {
            continue;
        }
        Likelihood(i, records[i], m_Likelihoods[i]);
        out.pools[i] = PoolPosterior(m_Likelihoods[i].data(), m_Priors[i], m_Level);
        if (!std::isnan(out.pools[i].mean)) {
            m_Log10PZero.push_back(out.pools[i].log10PZero);
        }
        counting.push_back(m_Likelihoods[i]);
    }
    out.qual = SiteQual(m_Log10PZero);
    if (test) {
        out.test = DifferentiationTest(counting);
    } else {
        unsigned pools = 0;
        for (const auto& l : counting) {
            pools += *std::max_element(l.begin(), l.end()) > 0.0;
        }
        out.test = SDifferentiation{pools, kNaN, kNaN, kNaN, kNaN, kNaN};
    }
}
