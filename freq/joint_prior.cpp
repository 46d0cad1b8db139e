#include "freq/joint_prior.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>

#include "base/input_error.hpp"
#include "common/taskpool.hpp"
#include "freq/stored_sites.hpp"
#include "pool/nonnegative_qp.hpp"
#include "pool/site_posterior.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
// The Newton steps of the nearest binomial mixture, and where they stop: no
// mixture is nearer than this (in the divergence).
constexpr int kMixtureSteps = 200;
constexpr double kMixtureGap = 1e-8;
constexpr double kBandCut = -36.84;  // ln 1e-16
constexpr double kSupport = 1e-12;
const char kSharedPrefix[] = "qualfreq joint prior: shared frequency share ";
const char kMonomorphicPrefix[] = "qualfreq joint prior: shared monomorphic share ";
// The fit of w: its grid, and where its golden sections stop (relative to
// the range); and Newton's steps for r.
constexpr int kGrid = 8;
constexpr double kTolerance = 1e-4;
constexpr int kNewtonSteps = 60;

// log(exp(a) + exp(b)).
double LogAdd(double a, double b) {
    if (a == kMinusInf) {
        return b;
    }
    if (b == kMinusInf) {
        return a;
    }
    const double m = std::max(a, b);
    return m + std::log(std::exp(a - m) + std::exp(b - m));
}

double LogOf(double x) {
    return x > 0.0 ? std::log(x) : kMinusInf;
}

// Binom(j; n, p) for j = 0..n.
std::vector<double> BinomialWeights(unsigned n, double p) {
    std::vector<double> w(n + 1, 0.0);
    if (p <= 0.0 || p >= 1.0) {
        w[p <= 0.0 ? 0 : n] = 1.0;
        return w;
    }
    const double lp = std::log(p), lq = std::log1p(-p);
    for (unsigned j = 0; j <= n; ++j) {
        w[j] = std::exp(std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0) +
                        j * lp + (n - j) * lq);
    }
    return w;
}

// One chunk's terms for the fit: per site log R, then each pool's q.
struct SFitChunk {
    std::vector<float> terms;
};

// V(w) = w prod_i q_i + (1 - w)^(1-k) prod_i (1 - w q_i) of every site.
void SecondPart(const std::vector<SFitChunk>& chunks, std::size_t k, double w,
                std::vector<double>& v) {
    v.clear();
    const double scale = std::pow(1.0 - w, 1.0 - static_cast<double>(k));
    for (const SFitChunk& c : chunks) {
        for (std::size_t s = 0; s < c.terms.size(); s += k + 1) {
            double common = w, independent = scale;
            for (std::size_t i = 0; i < k; ++i) {
                common *= c.terms[s + 1 + i];
                independent *= 1.0 - w * c.terms[s + 1 + i];
            }
            v.push_back(common + independent);
        }
    }
}

// R of every site (log R above 600 taken as 600: such a site is polymorphic
// for sure, and only the constant part of its term changes).
std::vector<double> Ratios(const std::vector<SFitChunk>& chunks, std::size_t k) {
    std::vector<double> r;
    for (const SFitChunk& c : chunks) {
        for (std::size_t s = 0; s < c.terms.size(); s += k + 1) {
            r.push_back(std::exp(std::min(600.0, static_cast<double>(c.terms[s]))));
        }
    }
    return r;
}

// sum_s log(r R_s + (1 - r) V_s), as a product in mantissa and exponent
// (pool_rows.hpp's CLogSum): one logarithm in all.
double ProfileValue(const std::vector<double>& R, const std::vector<double>& V, double r) {
    CLogSum sum;
    for (std::size_t s = 0; s < R.size(); ++s) {
        const double d = r * R[s] + (1.0 - r) * V[s];
        if (!(d > 0.0)) {
            return kMinusInf;
        }
        sum.Add(d);
    }
    return sum.Value();
}

// Its first two derivatives in r.
void ProfileSlopes(const std::vector<double>& R, const std::vector<double>& V, double r, double& d1,
                   double& d2) {
    d1 = d2 = 0.0;
    for (std::size_t s = 0; s < R.size(); ++s) {
        const double d = r * R[s] + (1.0 - r) * V[s];
        if (!(d > 0.0)) {
            d1 += 1e300;
            continue;
        }
        const double x = (R[s] - V[s]) / d;
        d1 += x;
        d2 -= x * x;
    }
}

// The best r for V: the root of the slope (the profile is concave in r) by
// Newton's steps from start, kept inside a shrinking bracket, or an end of
// [0, 1]; f gets the profile there.
double BestShare(const std::vector<double>& R, const std::vector<double>& V, double start,
                 double& f) {
    double d1, d2;
    ProfileSlopes(R, V, 0.0, d1, d2);
    double r = 0.0;
    if (d1 > 0.0) {
        ProfileSlopes(R, V, 1.0, d1, d2);
        r = 1.0;
        if (d1 < 0.0) {
            double lo = 0.0, hi = 1.0;
            r = start > 0.0 && start < 1.0 ? start : 0.5;
            for (int step = 0; step < kNewtonSteps && hi - lo > 1e-12; ++step) {
                ProfileSlopes(R, V, r, d1, d2);
                (d1 > 0.0 ? lo : hi) = r;
                const double next = d2 < 0.0 ? r - d1 / d2 : 0.5 * (lo + hi);
                const double moved = std::fabs(next - r);
                r = next > lo && next < hi ? next : 0.5 * (lo + hi);
                if (moved < 1e-10) {
                    break;
                }
            }
        }
    }
    f = ProfileValue(R, V, r);
    return r;
}

}  // namespace

SPoolSpectrum NearestBinomialMixture(const SPoolSpectrum& fitted, SPoolMixture* mixture) {
    const unsigned n = fitted.n;
    const std::size_t cols = n + 1;
    const std::size_t grid = std::min(512u, std::max(64u, 2 * n));
    const std::size_t K = grid + 1;
    // B[k][j] = Binom(j; n, p_k), row-major, shares below 1e-16 of a row's
    // largest set to 0; per j the k where it is not 0.
    std::vector<double> B(K * cols, 0.0);
    for (std::size_t k = 0; k < K; ++k) {
        double* row = &B[k * cols];
        if (k == 0 || k == grid) {
            row[k == 0 ? 0 : n] = 1.0;
            continue;
        }
        const double s = std::sin(M_PI * static_cast<double>(k) / (2.0 * grid));
        const double lp = std::log(s * s), lq = std::log1p(-s * s);
        double top = kMinusInf;
        for (unsigned j = 0; j <= n; ++j) {
            row[j] = std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0) +
                     j * lp + (n - j) * lq;
            top = std::max(top, row[j]);
        }
        for (unsigned j = 0; j <= n; ++j) {
            row[j] = row[j] < top + kBandCut ? 0.0 : std::exp(row[j]);
        }
    }
    std::vector<std::vector<std::size_t>> nonzero(cols);
    for (std::size_t k = 0; k < K; ++k) {
        for (std::size_t j = 0; j < cols; ++j) {
            if (B[k * cols + j] > 0.0) {
                nonzero[j].push_back(k);
            }
        }
    }
    double total = 0.0;
    for (double x : fitted.phi) {
        total += x;
    }
    std::vector<double> phi(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        phi[j] = fitted.phi[j] / total;
    }
    // l(g) = sum_j phi(j) log (B g)(j), and B g into m.
    auto objective = [&](const std::vector<double>& g, std::vector<double>& m) {
        m.assign(cols, 0.0);
        for (std::size_t k = 0; k < K; ++k) {
            if (g[k] > 0.0) {
                for (std::size_t j = 0; j < cols; ++j) {
                    m[j] += g[k] * B[k * cols + j];
                }
            }
        }
        double l = 0.0;
        for (std::size_t j = 0; j < cols; ++j) {
            if (phi[j] > 0.0) {
                l += m[j] > 0.0 ? phi[j] * std::log(m[j]) : kMinusInf;
            }
        }
        return l;
    };
    std::vector<double> g(K, 1.0 / static_cast<double>(K)), m, trial, mTrial, grad(K), N(K * K);
    std::vector<double> s(K);
    double l = objective(g, m);
    for (int step = 0; step < kMixtureSteps; ++step) {
        // The gradient of l + 1 - sum g, and its curvature N = sum_j phi(j)
        // S_j S_j^T with S_j(k) = B[k][j] / m(j).
        std::fill(grad.begin(), grad.end(), 0.0);
        std::fill(N.begin(), N.end(), 0.0);
        for (std::size_t j = 0; j < cols; ++j) {
            if (!(phi[j] > 0.0)) {
                continue;
            }
            const std::vector<std::size_t>& ks = nonzero[j];
            for (std::size_t k : ks) {
                s[k] = B[k * cols + j] / m[j];
                grad[k] += phi[j] * s[k];
            }
            for (std::size_t x = 0; x < ks.size(); ++x) {
                const double weighted = phi[j] * s[ks[x]];
                double* row = &N[ks[x] * K];
                for (std::size_t y = x; y < ks.size(); ++y) {
                    row[ks[y]] += weighted * s[ks[y]];
                }
            }
        }
        double gap = 0.0, promised = 0.0;
        for (std::size_t k = 0; k < K; ++k) {
            gap = std::max(gap, grad[k] - 1.0);
        }
        if (gap <= kMixtureGap) {
            break;
        }
        for (std::size_t a = 0; a < K; ++a) {
            for (std::size_t b = 0; b < a; ++b) {
                N[a * K + b] = N[b * K + a];
            }
        }
        // The Newton step on the simplex (Wang 2007, as pool_spectrum.hpp
        // takes it), then the longest of 1, 1/2, ... that raises l.
        std::vector<double> c(K);
        for (std::size_t a = 0; a < K; ++a) {
            double ng = 0.0;
            for (std::size_t b = 0; b < K; ++b) {
                ng += N[a * K + b] * g[b];
            }
            c[a] = grad[a] - 1.0 + ng;
        }
        std::vector<double> target = NonNegativeQuadraticMinimum(N, c);
        double sum = 0.0;
        for (double x : target) {
            sum += x;
        }
        if (!(sum > 0.0)) {
            break;
        }
        for (std::size_t k = 0; k < K; ++k) {
            target[k] /= sum;
            promised += grad[k] * (target[k] - g[k]);
        }
        bool moved = false;
        trial.resize(K);
        for (double alpha = 1.0; alpha > 1e-12; alpha *= 0.5) {
            for (std::size_t k = 0; k < K; ++k) {
                trial[k] = g[k] + alpha * (target[k] - g[k]);
            }
            const double lt = objective(trial, mTrial);
            if (lt >= l + 1e-4 * alpha * promised && lt > l) {
                g.swap(trial);
                m.swap(mTrial);
                l = lt;
                moved = true;
                break;
            }
        }
        if (!moved) {
            break;
        }
    }
    SPoolSpectrum out = fitted;
    double sum = 0.0;
    for (double x : m) {
        sum += x;
    }
    for (std::size_t j = 0; j < cols; ++j) {
        out.phi[j] = m[j] / sum;
    }
    if (mixture) {
        // The support of g: frequencies whose weight is not negligible.
        *mixture = SPoolMixture();
        double kept = 0.0;
        for (std::size_t k = 0; k < K; ++k) {
            if (g[k] > kSupport) {
                kept += g[k];
            }
        }
        for (std::size_t k = 0; k < K; ++k) {
            if (g[k] > kSupport) {
                const double s = std::sin(M_PI * static_cast<double>(k) / (2.0 * grid));
                mixture->p.push_back(k == 0 ? 0.0 : k == grid ? 1.0 : s * s);
                mixture->g.push_back(g[k] / kept);
            }
        }
    }
    return out;
}

SPoolSpectrum AsReadBack(const SPoolSpectrum& s, double sites) {
    SPoolSpectrum out = s;
    double total = 0.0;
    for (double& x : out.phi) {
        x *= sites;
        total += x;
    }
    for (double& x : out.phi) {
        x /= total;
    }
    return out;
}

SJointPrior MakeJointPrior(const std::vector<SPoolSpectrum>& phi, double shared,
                           double monomorphic) {
    SJointPrior prior;
    prior.m_Pools = phi;
    prior.m_Shared = shared;
    prior.m_Monomorphic = monomorphic;
    for (const SPoolSpectrum& s : phi) {
        SPoolMixture mixture;
        NearestBinomialMixture(s, &mixture);
        prior.m_Mixtures.push_back(mixture);
    }
    return prior;
}

CPoolEvidence::CPoolEvidence(const SPoolSpectrum& prior, const SPoolMixture& mixture)
    : m_Prior(prior), m_Mixture(mixture), m_Rows(prior.n) {
    for (double p : mixture.p) {
        m_Binomials.push_back(BinomialWeights(prior.n, p));
    }
}

void CPoolEvidence::x_Cover(const SPoolRecordView& v) {
    m_Rows.Cover(v.depth, v.lo, v.count);
    if (m_U.size() <= v.depth) {
        m_U.resize(v.depth + 1);
        m_H.resize(v.depth + 1);
    }
    std::vector<double>& u = m_U[v.depth];
    const unsigned first = m_Rows.First(v.depth), count = m_Rows.Count(v.depth);
    if (u.size() == count) {
        return;
    }
    // The depth's run grew (or is new): its u and H afresh.
    const std::vector<double>& phi = m_Prior.phi;
    const std::size_t K = m_Mixture.p.size();
    const std::vector<std::vector<double>>& binomials = m_Binomials;
    std::vector<double>& h = m_H[v.depth];
    u.assign(count, 0.0);
    h.assign(static_cast<std::size_t>(count) * K, 0.0);
    for (unsigned t = 0; t < count; ++t) {
        const double* row = m_Rows.Row(v.depth, first + t);
        for (std::size_t j = 0; j < phi.size(); ++j) {
            u[t] += row[j] * phi[j];
        }
        for (std::size_t k = 0; k < K; ++k) {
            double x = 0.0;
            for (std::size_t j = 0; j < phi.size(); ++j) {
                x += row[j] * binomials[k][j];
            }
            h[t * K + k] = x;
        }
    }
}

void CPoolEvidence::Terms(const SPoolRecordView& v, double& a, double& b) {
    x_Cover(v);
    const std::vector<double>& u = m_U[v.depth];
    const unsigned first = m_Rows.First(v.depth);
    RecordEntries(v, m_Tau);
    b = 0.0;
    for (unsigned k = 0; k < v.count; ++k) {
        b += m_Tau[k] * u[v.lo - first + k];
    }
    a = v.lo == 0 ? m_Tau[0] : 0.0;
}

void CPoolEvidence::FrequencyLikelihoods(const SPoolRecordView& v, std::vector<double>& out) {
    x_Cover(v);
    const std::size_t K = m_Mixture.p.size();
    const std::vector<double>& h = m_H[v.depth];
    const unsigned first = m_Rows.First(v.depth);
    RecordEntries(v, m_Tau);
    out.assign(K, 0.0);
    for (unsigned t = 0; t < v.count; ++t) {
        const double* row = &h[(v.lo - first + t) * K];
        for (std::size_t k = 0; k < K; ++k) {
            out[k] += m_Tau[t] * row[k];
        }
    }
}

void CPoolEvidence::Likelihood(const SPoolRecordView& v, std::vector<double>& out) {
    out.resize(m_Prior.n + 1);
    m_Rows.Likelihood(v, out.data());
}

std::string JointComment(double shared, double monomorphic) {
    char a[32], b[32];
    std::snprintf(a, sizeof a, "%.17g", shared);
    std::snprintf(b, sizeof b, "%.17g", monomorphic);
    return kSharedPrefix + std::string(a) + "\n" + kMonomorphicPrefix + b;
}

bool ReadJointComment(const std::string& path, double& shared, double& monomorphic) {
    std::ifstream in(path);
    std::string line;
    bool found[2] = {false, false};
    std::uint64_t number = 0;
    for (; std::getline(in, line) && !line.empty() && line[0] == '#';) {
        ++number;
        for (int which = 0; which < 2; ++which) {
            const std::string prefix =
                std::string("# ") + (which == 0 ? kSharedPrefix : kMonomorphicPrefix);
            if (line.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            const std::string value = line.substr(prefix.size());
            char* end = nullptr;
            const double x = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(x >= 0.0 && x <= 1.0)) {
                throw CInputError(EInputError::eRange, SInputWhere{path, number, 0, "", 0},
                                  "gives the joint prior's share '" + value +
                                      "': a number from 0 to 1 is expected.");
            }
            (which == 0 ? shared : monomorphic) = x;
            found[which] = true;
        }
    }
    if (found[0] != found[1]) {
        throw CInputError(EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
                          "gives one of the joint prior's two shares without the other.");
    }
    return found[0];
}

SJointFit FitJointPrior(const CPoolStore& store, const SJointPrior& prior, hts_tpool* pool) {
    SJointFit fit;
    const std::size_t k = prior.m_Pools.size();
    if (k < 2) {
        return fit;
    }
    double limit = 1.0 - 1e-9;
    for (const SPoolSpectrum& s : prior.m_Pools) {
        limit = std::min(limit, s.phi[0]);
    }
    // Every site's log R and q_i, chunk by chunk.
    const std::size_t chunks = StoredChunks(store);
    std::vector<SFitChunk> terms(chunks);
    const SJointPrior independent = [&] {
        SJointPrior p = prior;
        p.m_Shared = p.m_Monomorphic = 0.0;
        return p;
    }();
    const std::function<SFitChunk(std::size_t)> job = [&](std::size_t c) {
        CJointCaller caller(independent);
        std::vector<double> q(k);
        SFitChunk out;
        out.terms.reserve(StoredSites(store, c) * (k + 1));
        VisitStoredSites(
            store, c, EStoredOrder::eAsStored, [&](int, std::int64_t, const SPoolRecordView* v) {
                double logR = 0.0;
                caller.FitTerms(v, logR, q.data());
                out.terms.push_back(static_cast<float>(std::max(-1e30, std::min(1e30, logR))));
                for (double x : q) {
                    out.terms.push_back(static_cast<float>(x));
                }
            });
        return out;
    };
    const std::function<void(std::size_t, SFitChunk&)> keep = [&](std::size_t c, SFitChunk& r) {
        terms[c].terms.swap(r.terms);
        fit.m_Sites += terms[c].terms.size() / (k + 1);
    };
    RunOrdered<SFitChunk>(pool, chunks, job, keep);
    const std::vector<double> R = Ratios(terms, k);
    std::vector<double> V;
    // The profile over w: each w's best r.
    double last = 0.5;
    auto profile = [&](double w, double& r) {
        SecondPart(terms, k, w, V);
        double f;
        r = last = BestShare(R, V, last, f);
        return f;
    };
    std::vector<double> grid(kGrid + 1), values(kGrid + 1), shares(kGrid + 1);
    std::size_t best = 0;
    for (int g = 0; g <= kGrid; ++g) {
        const std::size_t i = static_cast<std::size_t>(g);
        grid[i] = limit > 0.0 ? limit * g / kGrid : 0.0;
        values[i] = profile(grid[i], shares[i]);
        if (values[i] > values[best]) {
            best = i;
        }
    }
    double lo = grid[best > 0 ? best - 1 : 0], hi = grid[std::min<std::size_t>(best + 1, kGrid)];
    double x = grid[best], fx = values[best], rx = shares[best];
    const double golden = 0.5 * (3.0 - std::sqrt(5.0));
    while (hi - lo > kTolerance * limit) {
        const bool right = hi - x > x - lo;
        const double y = right ? x + golden * (hi - x) : x - golden * (x - lo);
        double ry;
        const double fy = profile(y, ry);
        if (fy > fx) {
            (right ? lo : hi) = x;
            x = y;
            fx = fy;
            rx = ry;
        } else {
            (right ? hi : lo) = y;
        }
    }
    fit.m_Shared = rx;
    fit.m_Monomorphic = x;
    // Independence has V = 1 and r = 0: a log-likelihood of 0.
    fit.m_Gain = fx;
    return fit;
}

CJointCaller::CJointCaller(const SJointPrior& prior) : m_Prior(prior) {
    const std::size_t pools = prior.m_Pools.size();
    const double w = prior.m_Monomorphic;
    for (std::size_t i = 0; i < pools; ++i) {
        const SPoolSpectrum& phi = prior.m_Pools[i];
        const SPoolMixture& mixture = prior.m_Mixtures[i];
        SPoolSpectrum psi = phi;
        psi.phi[0] = std::max(0.0, phi.phi[0] - w);
        for (double& x : psi.phi) {
            x /= 1.0 - w;
        }
        m_Psi.push_back(psi);
        SPoolSpectrum flat = phi;
        std::fill(flat.phi.begin(), flat.phi.end(), 1.0 / (phi.n + 1));
        m_Flat.push_back(flat);
        m_Evidence.emplace_back(phi, mixture);
        std::vector<double> zero;
        for (double p : mixture.p) {
            zero.push_back(p >= 1.0 ? kMinusInf : phi.n * std::log1p(-p));
        }
        m_ZeroFactor.push_back(zero);
        std::vector<double> linear;
        for (double z : zero) {
            linear.push_back(std::exp(z));
        }
        m_ZeroLinear.push_back(linear);
    }
    // The comonotone coupling's segments: every pool's distribution function
    // walked at once.
    std::vector<std::size_t> k(pools, 0);
    std::vector<double> ends(pools);
    for (std::size_t i = 0; i < pools; ++i) {
        const std::vector<double>& g = prior.m_Mixtures[i].g;
        ends[i] = g.size() == 1 ? 1.0 : g[0];
    }
    double at = 0.0;
    while (at < 1.0) {
        const double next = std::min(1.0, *std::min_element(ends.begin(), ends.end()));
        if (next > at) {
            m_Segments.push_back(SSegment{std::log(next - at), next - at, k});
        }
        at = next;
        for (std::size_t i = 0; i < pools && at < 1.0; ++i) {
            const std::vector<double>& g = prior.m_Mixtures[i].g;
            if (ends[i] <= at) {
                ++k[i];
                ends[i] = k[i] + 1 == g.size() ? 1.0 : ends[i] + g[k[i]];
            }
        }
    }
    m_A.resize(pools);
    m_B.resize(pools);
    m_LogL.resize(pools);
    m_Scaled.resize(pools);
    m_ScaledA.resize(pools);
    m_SegmentLog.resize(m_Segments.size());
}

bool CJointCaller::x_Terms(const SPoolRecordView* records) {
    const double w = m_Prior.m_Monomorphic, r = m_Prior.m_Shared;
    bool any = false;
    m_ProdA = m_ProdB = m_ProdC = 1.0;
    for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
        m_A[i] = m_B[i] = kNaN;
        std::vector<double>& L = m_Scaled[i];
        if (records[i].depth == 0) {
            L.assign(m_Prior.m_Mixtures[i].p.size(), 1.0);
            continue;
        }
        double a, b;
        m_Evidence[i].Terms(records[i], a, b);
        if (!(b > 0.0)) {
            // The pool's prior gives its reads no chance: it says nothing.
            L.assign(m_Prior.m_Mixtures[i].p.size(), 1.0);
            continue;
        }
        m_A[i] = a;
        m_B[i] = b;
        m_Evidence[i].FrequencyLikelihoods(records[i], L);
        // Each pool on a scale of its own, its largest term 1: the scales
        // cancel from every ratio the calls take.
        double scale = b;
        for (double x : L) {
            scale = std::max(scale, x);
        }
        for (double& x : L) {
            x /= scale;
        }
        m_ScaledA[i] = a / scale;
        m_ProdA *= a / scale;
        m_ProdB *= b / scale;
        m_ProdC *= std::max(0.0, b - w * a) / (1.0 - w) / scale;
        any = true;
    }
    m_T = 0.0;
    for (const SSegment& seg : m_Segments) {
        double x = seg.length;
        for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
            x *= m_Scaled[i][seg.k[i]];
        }
        m_T += x;
    }
    m_L = r * m_T + (1.0 - r) * (w * m_ProdA + (1.0 - w) * m_ProdC);
    // Many pools, deep sites: the products may leave a double's range,
    // and the site takes the logarithms' way.
    m_Linear = m_L > 1e-250 && m_L < 1e250 && m_ProdB > 1e-250;
    return any;
}

bool CJointCaller::x_TermsLog(const SPoolRecordView* records) {
    const double w = m_Prior.m_Monomorphic;
    bool any = false;
    m_LogB = m_LogA = m_LogC = 0.0;
    for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
        m_A[i] = m_B[i] = kNaN;
        m_LogL[i].assign(m_Prior.m_Mixtures[i].p.size(), 0.0);
        if (records[i].depth == 0) {
            continue;
        }
        double a, b;
        m_Evidence[i].Terms(records[i], a, b);
        if (!(b > 0.0)) {
            // The pool's prior gives its reads no chance: it says nothing.
            continue;
        }
        m_A[i] = a;
        m_B[i] = b;
        m_LogA += LogOf(a);
        m_LogB += std::log(b);
        m_LogC += LogOf(std::max(0.0, b - w * a) / (1.0 - w));
        m_Evidence[i].FrequencyLikelihoods(records[i], m_LogL[i]);
        for (double& x : m_LogL[i]) {
            x = LogOf(x);
        }
        any = true;
    }
    m_LogT = kMinusInf;
    for (std::size_t s = 0; s < m_Segments.size(); ++s) {
        double x = m_Segments[s].logLength;
        for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
            x += m_LogL[i][m_Segments[s].k[i]];
        }
        m_SegmentLog[s] = x;
        m_LogT = LogAdd(m_LogT, x);
    }
    m_LogI = LogAdd(LogOf(w) + m_LogA, LogOf(1.0 - w) + m_LogC);
    const double r = m_Prior.m_Shared;
    m_LogL0 = LogAdd(LogOf(r) + m_LogT, LogOf(1.0 - r) + m_LogI);
    return any;
}

void CJointCaller::FitTerms(const SPoolRecordView* records, double& logR, double* q) {
    logR = 0.0;
    if (x_Terms(records)) {
        if (m_Linear) {
            logR = LogOf(m_T) - std::log(m_ProdB);
        } else {
            x_TermsLog(records);
            logR = m_LogT - m_LogB;
        }
    }
    for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
        q[i] = std::isnan(m_A[i]) ? 1.0 : m_A[i] / m_B[i];
    }
}

double CJointCaller::Qual(const SPoolRecordView* records) {
    if (!x_Terms(records)) {
        return 0.0;
    }
    const double r = m_Prior.m_Shared, w = m_Prior.m_Monomorphic;
    if (m_Linear) {
        double coupled = 0.0, independent = 1.0;
        for (const SSegment& seg : m_Segments) {
            double x = seg.length;
            for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
                if (!std::isnan(m_A[i])) {
                    x *= m_ZeroLinear[i][seg.k[i]] * m_ScaledA[i];
                }
            }
            coupled += x;
        }
        for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
            if (!std::isnan(m_A[i])) {
                independent *= m_Psi[i].phi[0] * m_ScaledA[i];
            }
        }
        const double none = r * coupled + (1.0 - r) * (w * m_ProdA + (1.0 - w) * independent);
        const double qual = none > 0.0 ? -10.0 * std::log10(none / m_L) : kMaxQual;
        return !(qual < kMaxQual) ? kMaxQual : qual > 0.0 ? qual : 0.0;
    }
    x_TermsLog(records);
    // No pool carries ALT: the comonotone part's segments with every
    // counting pool at j = 0, and the second part's.
    double coupled = kMinusInf, independent = 0.0;
    for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
        if (!std::isnan(m_A[i])) {
            independent += LogOf(m_Psi[i].phi[0] * m_A[i]);
        }
    }
    for (const SSegment& seg : m_Segments) {
        double x = seg.logLength;
        for (std::size_t i = 0; i < m_Evidence.size(); ++i) {
            if (!std::isnan(m_A[i])) {
                x += m_ZeroFactor[i][seg.k[i]] + LogOf(m_A[i]);
            }
        }
        coupled = LogAdd(coupled, x);
    }
    const double second = LogAdd(LogOf(w) + m_LogA, LogOf(1.0 - w) + independent);
    const double logNone = LogAdd(LogOf(r) + coupled, LogOf(1.0 - r) + second);
    const double qual = -10.0 * (logNone - m_LogL0) / M_LN10;
    return !(qual < kMaxQual) ? kMaxQual : qual > 0.0 ? qual : 0.0;
}

void CJointCaller::Call(const SPoolRecordView* records, std::vector<SPoolPosterior>& out,
                        SDifferentiation* test) {
    const std::size_t pools = m_Evidence.size();
    out.assign(pools, SPoolPosterior{kNaN, kNaN, kNaN, kNaN, kNaN});
    const double r = m_Prior.m_Shared, w = m_Prior.m_Monomorphic;
    // The reported sites are few: their posteriors take the logarithms'
    // way, whatever the depth.
    x_TermsLog(records);
    std::size_t counting = 0;
    for (std::size_t i = 0; i < pools; ++i) {
        if (records[i].depth == 0) {
            continue;
        }
        if (m_Likelihoods.size() <= counting) {
            m_Likelihoods.resize(counting + 1);
        }
        std::vector<double>& likelihood = m_Likelihoods[counting++];
        m_Evidence[i].Likelihood(records[i], likelihood);
        if (std::isnan(m_A[i])) {
            continue;
        }
        // The weight of each of the pool's frequencies in the comonotone
        // part, the other pools' likelihoods taken in, relative to L.
        const SPoolMixture& mixture = m_Prior.m_Mixtures[i];
        m_Weights.assign(mixture.p.size(), 0.0);
        for (const SSegment& seg : m_Segments) {
            double x = LogOf(r) + seg.logLength - m_LogL0;
            for (std::size_t m = 0; m < pools; ++m) {
                if (m != i) {
                    x += m_LogL[m][seg.k[m]];
                }
            }
            m_Weights[seg.k[i]] += std::exp(x);
        }
        // The second part: monomorphic in every pool, or independent.
        double othersA = 0.0, othersC = 0.0;
        for (std::size_t m = 0; m < pools; ++m) {
            if (m != i && !std::isnan(m_A[m])) {
                othersA += LogOf(m_A[m]);
                othersC += LogOf(std::max(0.0, m_B[m] - w * m_A[m]) / (1.0 - w));
            }
        }
        const double together = std::exp(LogOf(1.0 - r) + LogOf(w) + othersA - m_LogL0);
        const double apart = std::exp(LogOf(1.0 - r) + LogOf(1.0 - w) + othersC - m_LogL0);
        const std::vector<double>& psi = m_Psi[i].phi;
        m_Post.assign(psi.size(), 0.0);
        for (std::size_t k = 0; k < mixture.p.size(); ++k) {
            if (m_Weights[k] > 0.0) {
                const std::vector<double>& b = m_Evidence[i].Binomials(k);
                for (std::size_t j = 0; j < psi.size(); ++j) {
                    m_Post[j] += m_Weights[k] * b[j];
                }
            }
        }
        m_Post[0] += together;
        for (std::size_t j = 0; j < psi.size(); ++j) {
            m_Post[j] = (m_Post[j] + apart * psi[j]) * likelihood[j];
        }
        out[i] = PoolPosterior(m_Post.data(), m_Flat[i]);
    }
    if (test) {
        m_Likelihoods.resize(counting);
        *test = DifferentiationTest(m_Likelihoods);
    }
}
