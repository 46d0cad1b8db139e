#include "freq/joint_prior.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>

#include "base/input_error.hpp"

#include "common/taskpool.hpp"
#include "pool/nonnegative_qp.hpp"
#include "pool/site_posterior.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
// The grid of the fit of w, and where its golden sections stop (relative
// to the range).
constexpr int kGrid = 32;
constexpr double kTolerance = 1e-6;
// The Newton steps of the nearest binomial mixture, and where they stop: no
// mixture is nearer than this (in the divergence).
constexpr int kMixtureSteps = 200;
constexpr double kMixtureGap = 1e-8;
constexpr double kBandCut = -36.84;  // ln 1e-16
const char kSharedPrefix[] = "qualfreq joint prior: shared monomorphic share ";

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

// sum_s log(w prod q + (1 - w)^(1-k) prod (1 - w q)) over one chunk's q's.
double ChunkLogLik(const std::vector<float>& q, std::size_t k, double w) {
    CLogSum sum;
    const double scale = std::pow(1.0 - w, 1.0 - static_cast<double>(k));
    for (std::size_t s = 0; s < q.size(); s += k) {
        double common = w, independent = scale;
        for (std::size_t i = 0; i < k; ++i) {
            common *= q[s + i];
            independent *= 1.0 - w * q[s + i];
        }
        sum.Add(common + independent);
    }
    return sum.Value();
}

}  // namespace

SPoolSpectrum NearestBinomialMixture(const SPoolSpectrum& fitted) {
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
    return out;
}

CPoolEvidence::CPoolEvidence(const SPoolSpectrum& prior) : m_Prior(prior), m_Rows(prior.n) {}

void CPoolEvidence::Terms(const SPoolRecordView& v, double& a, double& b) {
    m_Rows.Cover(v.depth, v.lo, v.count);
    if (m_U.size() <= v.depth) {
        m_U.resize(v.depth + 1);
    }
    std::vector<double>& u = m_U[v.depth];
    const unsigned first = m_Rows.First(v.depth), count = m_Rows.Count(v.depth);
    if (u.size() != count) {
        // The depth's run grew (or is new): its u afresh.
        const std::vector<double>& phi = m_Prior.phi;
        u.assign(count, 0.0);
        for (unsigned k = 0; k < count; ++k) {
            const double* row = m_Rows.Row(v.depth, first + k);
            for (std::size_t j = 0; j < phi.size(); ++j) {
                u[k] += row[j] * phi[j];
            }
        }
    }
    RecordEntries(v, m_Tau);
    b = 0.0;
    for (unsigned k = 0; k < v.count; ++k) {
        b += m_Tau[k] * u[v.lo - first + k];
    }
    a = v.lo == 0 ? m_Tau[0] : 0.0;
}

void CPoolEvidence::Likelihood(const SPoolRecordView& v, std::vector<double>& out) {
    out.resize(m_Prior.n + 1);
    m_Rows.Likelihood(v, out.data());
}

std::string SharedComment(double w) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", w);
    return kSharedPrefix + std::string(text);
}

bool ReadSharedComment(const std::string& path, double& w) {
    std::ifstream in(path);
    std::string line;
    const std::string prefix = std::string("# ") + kSharedPrefix;
    for (std::uint64_t number = 1; std::getline(in, line) && !line.empty() && line[0] == '#';
         ++number) {
        if (line.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string value = line.substr(prefix.size());
        char* end = nullptr;
        w = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !(w >= 0.0 && w < 1.0)) {
            throw CInputError(EInputError::eRange, SInputWhere{path, number, 0, "", 0},
                              "gives the shared monomorphic share '" + value +
                                  "': a number from 0 to below 1 is expected.");
        }
        return true;
    }
    return false;
}

SSharedFit FitSharedMonomorphic(const CPoolStore& store, const std::vector<SPoolSpectrum>& pools,
                                hts_tpool* pool) {
    SSharedFit fit;
    const std::size_t k = pools.size();
    fit.m_Limit = 1.0;
    for (const SPoolSpectrum& s : pools) {
        fit.m_Limit = std::min(fit.m_Limit, s.phi[0]);
    }
    // w below 1 whatever the spectra say: (1 - w)^(1-k) must stay finite.
    fit.m_Limit = std::min(fit.m_Limit, 1.0 - 1e-9);
    if (k < 2 || fit.m_Limit <= 0.0) {
        return fit;
    }
    // Every site's q_i, chunk by chunk (1 for a pool that does not count).
    const std::vector<SPoolChunk>& chunks = store.Chunks();
    std::vector<std::vector<float>> q(chunks.size());
    const std::function<std::vector<float>(std::size_t)> job = [&](std::size_t c) {
        std::vector<CPoolEvidence> evidence(pools.begin(), pools.end());
        std::vector<float> out;
        out.reserve(chunks[c].m_Offsets.size() * k);
        const unsigned char* p = chunks[c].m_Bytes.data();
        SPoolRecordView v;
        for (std::size_t s = 0; s < chunks[c].m_Offsets.size(); ++s) {
            for (std::size_t i = 0; i < k; ++i) {
                p = ReadPoolRecord(p, v);
                double a = 1.0, b = 1.0;
                if (v.depth > 0) {
                    evidence[i].Terms(v, a, b);
                }
                out.push_back(b > 0.0 ? static_cast<float>(a / b) : 1.0f);
            }
        }
        return out;
    };
    const std::function<void(std::size_t, std::vector<float>&)> keep = [&](std::size_t c,
                                                                           std::vector<float>& r) {
        q[c].swap(r);
        fit.m_Sites += q[c].size() / k;
    };
    RunOrdered<std::vector<float>>(pool, chunks.size(), job, keep);
    // The log-likelihood at w, chunk sums added in order.
    auto logLik = [&](double w) {
        double total = 0.0;
        std::vector<double> parts(q.size());
        const std::function<double(std::size_t)> part = [&](std::size_t c) {
            return ChunkLogLik(q[c], k, w);
        };
        const std::function<void(std::size_t, double&)> add = [&](std::size_t, double& x) {
            total += x;
        };
        RunOrdered<double>(pool, q.size(), part, add, kSmallJobs);
        return total;
    };
    std::vector<double> grid(kGrid + 1), values(kGrid + 1);
    std::size_t best = 0;
    for (int g = 0; g <= kGrid; ++g) {
        grid[static_cast<std::size_t>(g)] = fit.m_Limit * g / kGrid;
        values[static_cast<std::size_t>(g)] = logLik(grid[static_cast<std::size_t>(g)]);
        if (values[static_cast<std::size_t>(g)] > values[best]) {
            best = static_cast<std::size_t>(g);
        }
    }
    const double independent = values[0];
    // Golden sections between the best grid point's neighbours.
    double lo = grid[best > 0 ? best - 1 : 0], hi = grid[std::min<std::size_t>(best + 1, kGrid)];
    double x = grid[best], fx = values[best];
    const double r = 0.5 * (3.0 - std::sqrt(5.0));
    while (hi - lo > kTolerance * fit.m_Limit) {
        const bool right = hi - x > x - lo;
        const double y = right ? x + r * (hi - x) : x - r * (x - lo);
        const double fy = logLik(y);
        if (fy > fx) {
            (right ? lo : hi) = x;
            x = y;
            fx = fy;
        } else {
            (right ? hi : lo) = y;
        }
    }
    fit.m_Shared = x;
    fit.m_LogLik = fx;
    fit.m_Gain = fx - independent;
    return fit;
}

CJointCaller::CJointCaller(const SJointPrior& prior) : m_Prior(prior) {
    const double w = prior.m_Shared;
    for (const SPoolSpectrum& phi : prior.m_Pools) {
        SPoolSpectrum psi = phi;
        psi.phi[0] = std::max(0.0, phi.phi[0] - w);
        for (double& x : psi.phi) {
            x /= 1.0 - w;
        }
        m_Psi.push_back(psi);
        SPoolSpectrum flat = phi;
        std::fill(flat.phi.begin(), flat.phi.end(), 1.0 / (phi.n + 1));
        m_Flat.push_back(flat);
        m_Evidence.emplace_back(phi);
    }
    m_A.resize(prior.m_Pools.size());
    m_B.resize(prior.m_Pools.size());
}

double CJointCaller::Qual(const SPoolRecordView* records) {
    const double w = m_Prior.m_Shared;
    // log of: w prod A (common), (1 - w) prod psi(0) A (no pool carries
    // it, independently), (1 - w) prod C (the independent part whole).
    double common = w > 0.0 ? std::log(w) : kMinusInf;
    double none = std::log1p(-w), all = none;
    bool any = false;
    for (std::size_t i = 0; i < m_Psi.size(); ++i) {
        if (records[i].depth == 0) {
            continue;
        }
        m_Evidence[i].Terms(records[i], m_A[i], m_B[i]);
        if (!(m_B[i] > 0.0)) {
            // The pool's prior gives its reads no chance: it says nothing.
            m_A[i] = m_B[i] = kNaN;
            continue;
        }
        any = true;
        const double logA = m_A[i] > 0.0 ? std::log(m_A[i]) : kMinusInf;
        common += logA;
        none += std::log(m_Psi[i].phi[0]) + logA;
        all += std::log(std::max(0.0, m_B[i] - w * m_A[i]) / (1.0 - w));
    }
    if (!any) {
        m_Common = kNaN;
        return 0.0;
    }
    const double total = LogAdd(common, all);
    m_Common = std::exp(common - total);
    const double log10None = (LogAdd(common, none) - total) / M_LN10;
    const double qual = -10.0 * log10None;
    return !(qual < kMaxQual) ? kMaxQual : qual > 0.0 ? qual : 0.0;
}

void CJointCaller::Call(const SPoolRecordView* records, std::vector<SPoolPosterior>& out,
                        SDifferentiation* test) {
    out.assign(m_Psi.size(), SPoolPosterior{kNaN, kNaN, kNaN, kNaN, kNaN});
    std::size_t counting = 0;
    for (std::size_t i = 0; i < m_Psi.size(); ++i) {
        if (records[i].depth == 0) {
            continue;
        }
        if (m_Likelihoods.size() <= counting) {
            m_Likelihoods.resize(counting + 1);
        }
        std::vector<double>& likelihood = m_Likelihoods[counting++];
        m_Evidence[i].Likelihood(records[i], likelihood);
        if (std::isnan(m_A[i]) || std::isnan(m_Common)) {
            continue;
        }
        const std::vector<double>& psi = m_Psi[i].phi;
        double c = 0.0;
        for (std::size_t j = 0; j < psi.size(); ++j) {
            c += psi[j] * likelihood[j];
        }
        m_Post.assign(psi.size(), 0.0);
        if (c > 0.0) {
            for (std::size_t j = 0; j < psi.size(); ++j) {
                m_Post[j] = (1.0 - m_Common) * psi[j] * likelihood[j] / c;
            }
        }
        m_Post[0] += m_Common;
        out[i] = PoolPosterior(m_Post.data(), m_Flat[i]);
    }
    if (test) {
        m_Likelihoods.resize(counting);
        *test = DifferentiationTest(m_Likelihoods);
    }
}
