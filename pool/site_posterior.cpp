#include "pool/site_posterior.hpp"

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/qt_assert.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
// The grid of the search: p = sin^2(pi k / (2 kGrid)), k = 0..kGrid.
constexpr int kGrid = 32;
constexpr double kSearchTolerance = 1e-10;

// log L(p) = log sum_j Binom(j; n, p) P(j) of one pool, by the binomial's
// recurrence from its mode: one multiplication per term.
class CPoolCurve {
  public:
    explicit CPoolCurve(const std::vector<double>& likelihood)
        : m_N(static_cast<unsigned>(likelihood.size() - 1)), m_P(likelihood) {
        double top = 0.0;
        for (double x : m_P) {
            top = std::max(top, x);
        }
        QT_ASSERT(top > 0.0);
        for (double& x : m_P) {
            x /= top;
        }
        m_LogTop = std::log(top);
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
        const double logMode =
            gsl_sf_lnchoose(n, mode) + mode * std::log(p) + (n - mode) * std::log1p(-p);
        const double up = p / (1.0 - p), down = (1.0 - p) / p;
        double sum = m_P[mode];
        double b = 1.0;
        for (unsigned j = mode; j < n && b > 1e-300; ++j) {
            b *= up * (n - j) / (j + 1.0);
            sum += b * m_P[j + 1];
        }
        b = 1.0;
        for (unsigned j = mode; j > 0 && b > 1e-300; --j) {
            b *= down * j / (n - j + 1.0);
            sum += b * m_P[j - 1];
        }
        return sum > 0.0 ? logMode + std::log(sum) + m_LogTop : kMinusInf;
    }

  private:
    unsigned m_N;
    std::vector<double> m_P;
    double m_LogTop = 0.0;
};

double GridPoint(int k) {
    const double s = std::sin(M_PI * k / (2.0 * kGrid));
    return k == 0 ? 0.0 : k == kGrid ? 1.0 : s * s;
}

// The maximum over [0, 1] of f (see the header): its value and where.
template <typename F>
std::pair<double, double> Maximise(const F& f, const std::vector<double>& grid,
                                   const std::vector<double>& values) {
    const int last = static_cast<int>(grid.size()) - 1;
    double best = values[0], at = grid[0];
    for (int k = 0; k <= last; ++k) {
        if (values[static_cast<std::size_t>(k)] > best) {
            best = values[static_cast<std::size_t>(k)];
            at = grid[static_cast<std::size_t>(k)];
        }
    }
    for (int k = 0; k <= last; ++k) {
        const double v = values[static_cast<std::size_t>(k)];
        const bool peak = (k == 0 || v >= values[static_cast<std::size_t>(k - 1)]) &&
                          (k == last || v >= values[static_cast<std::size_t>(k + 1)]);
        if (!peak || v == kMinusInf) {
            continue;
        }
        // Golden section on [a, b] around the grid point.
        double a = grid[static_cast<std::size_t>(std::max(k - 1, 0))];
        double b = grid[static_cast<std::size_t>(std::min(k + 1, last))];
        const double g = 0.5 * (std::sqrt(5.0) - 1.0);
        double c = b - g * (b - a), d = a + g * (b - a);
        double fc = f(c), fd = f(d);
        while (b - a > kSearchTolerance) {
            if (fc >= fd) {
                b = d;
                d = c;
                fd = fc;
                c = b - g * (b - a);
                fc = f(c);
            } else {
                a = c;
                c = d;
                fc = fd;
                d = a + g * (b - a);
                fd = f(d);
            }
        }
        if (fc > best) {
            best = fc;
            at = c;
        }
        if (fd > best) {
            best = fd;
            at = d;
        }
    }
    return {best, at};
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
    SDifferentiation r;
    r.pools = static_cast<unsigned>(likelihoods.size());
    if (r.pools < 2) {
        r.statistic = r.pValue = r.shared = r.logLikAlt = r.logLikNull = kNaN;
        return r;
    }
    std::vector<CPoolCurve> curves;
    curves.reserve(likelihoods.size());
    for (const auto& l : likelihoods) {
        curves.emplace_back(l);
    }
    std::vector<double> grid(kGrid + 1);
    for (int k = 0; k <= kGrid; ++k) {
        grid[static_cast<std::size_t>(k)] = GridPoint(k);
    }
    std::vector<double> shared(grid.size(), 0.0), own(grid.size());
    double alt = 0.0;
    for (const CPoolCurve& c : curves) {
        for (std::size_t k = 0; k < grid.size(); ++k) {
            own[k] = c(grid[k]);
            shared[k] += own[k];
        }
        alt += Maximise(c, grid, own).first;
    }
    const auto sum = [&](double p) {
        double s = 0.0;
        for (const CPoolCurve& c : curves) {
            s += c(p);
        }
        return s;
    };
    const std::pair<double, double> null = Maximise(sum, grid, shared);
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
}

void CSiteCaller::Likelihood(std::size_t i, const SPoolRecordView& record,
                             std::vector<double>& out) {
    out.resize(m_Priors[i].n + 1);
    m_Rows[i].Likelihood(record, out.data());
}

void CSiteCaller::Call(const SPoolRecordView* records, SSiteCall& out) {
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
        if (*std::max_element(m_Likelihoods[i].begin(), m_Likelihoods[i].end()) > 0.0) {
            counting.push_back(m_Likelihoods[i]);
        }
    }
    out.qual = SiteQual(m_Log10PZero);
    out.test = DifferentiationTest(counting);
}
