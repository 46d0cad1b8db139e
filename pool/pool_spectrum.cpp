#include "pool/pool_spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/qt_assert.hpp"
#include "common/taskpool.hpp"
#include "pool/nonnegative_qp.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_rows.hpp"
#include "spectrum/sample_diversity.hpp"

namespace {

// Parts of every pass over the sites (independent of the threads).
constexpr std::size_t kParts = 16;
// The Newton step's cells at most, and the doubles its curvature sums may
// hold per part.
constexpr std::size_t kNewtonCells = 256;
constexpr std::size_t kCurvatureBudget = std::size_t{1} << 22;
// The Newton model's promise that ends a fit, as a share of options.gap.
constexpr double kModelShare = 0.01;
// A start under which a site is impossible is first mixed with this share
// of the default start.
constexpr double kStartMix = 0.01;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void Mirror(std::vector<double>& phi) {
    const std::size_t size = phi.size();
    for (std::size_t j = 0; j < size / 2; ++j) {
        const double mean = 0.5 * (phi[j] + phi[size - 1 - j]);
        phi[j] = phi[size - 1 - j] = mean;
    }
}

void Normalise(std::vector<double>& phi) {
    double total = 0.0;
    for (double x : phi) {
        total += x;
    }
    if (total > 0.0) {
        for (double& x : phi) {
            x /= total;
        }
    }
}

}  // namespace

SSpectrumSums SpectrumSums(const SPoolSpectrum& s, double weight) {
    SSpectrumSums sums;
    sums.sites = weight;
    for (unsigned j = 0; j <= s.n; ++j) {
        const double p = s.phi[j] * weight;
        sums.pi += p * PiTerm(j, s.n);
        sums.segregating += p * SegregatingTerm(j, s.n);
        if (!s.folded) {
            sums.thetaH += p * ThetaHTerm(j, s.n);
        }
    }
    return sums;
}

struct CPoolSpectrumModel::SImpl {
    const CPoolStore& m_Store;
    std::size_t m_Pool;
    unsigned m_N;
    bool m_Folded;
    std::size_t m_Cols;
    std::uint64_t m_Sites = 0;
    CBinomialRows m_Rows;
    // Row (d, t) is m_Offset[d] + t - m_Rows.First(d) in the per-row
    // vectors u and v of a pass.
    std::vector<std::size_t> m_Offset;
    std::size_t m_RowCount = 0;
    std::vector<std::pair<std::size_t, std::size_t>> m_Parts;  // chunks [first, last)

    // A log-linear model's family (params 0: the free cells).
    SPoolLogLinear m_Family;

    SImpl(const CPoolStore& store, std::size_t pool, unsigned n, bool folded)
        : m_Store(store), m_Pool(pool), m_N(n), m_Folded(folded), m_Cols(n + 1), m_Rows(n) {}

    bool LogLinear() const { return m_Family.params > 0; }
    // The family's spectrum at theta, normalised.
    std::vector<double> Spectrum(const std::vector<double>& theta) const;

    // The pool's records at the sites of chunks [first, last).
    CPoolSiteCursor Cursor(std::size_t first, std::size_t last) const {
        return CPoolSiteCursor(m_Store, first, last, m_Pool);
    }
    std::size_t Base(const SPoolRecordView& v) const {
        return m_Offset[v.depth] + v.lo - m_Rows.First(v.depth);
    }

    void Setup();

    // u = sum_j phi(j) Binom(t; d, j/n) for every row.
    void RowsOf(const std::vector<double>& phi, std::vector<double>& u) const;

    // The curvature sums M_d = sum_s w_s tau_s tau_s^T / L_s^2 of each depth
    // d, as bands: row a of the depth's rows holds (a, a + k) for k <
    // m_Band[d] at m_BandOffset[d] + a m_Band[d] + k. A depth whose band
    // would pass the budget has none (m_Band 0): its sites are left out of
    // the curvature, which only makes the Newton step's model inexact.
    std::vector<unsigned> m_Band;
    std::vector<std::size_t> m_BandOffset;
    std::size_t m_BandSize = 0;

    struct SSums {
        CLogSum m_LogLik;
        double m_Weight = 0.0;
        std::uint64_t m_Impossible = 0;
        std::vector<double> m_V;  // per row
        std::vector<double> m_M;  // the bands, when asked for
    };
    void SumPart(std::size_t part, const std::vector<double>& u, const CSiteBlocks* blocks,
                 const std::vector<double>* weights, bool curvature, SSums& sums) const;

    // One pass at phi: the log-likelihood (-inf with an impossible site),
    // g(j) = sum_s w_s P_s(j) / L_s, W, the impossible sites and, with
    // curvature, the bands.
    struct SPass {
        double logLik = 0.0;
        double weight = 0.0;
        std::uint64_t impossible = 0;
        std::vector<double> g;
        std::vector<double> m;
    };
    void Pass(const std::vector<double>& phi, hts_tpool* pool, const CSiteBlocks* blocks,
              const std::vector<double>* weights, bool curvature, SPass& out) const;

    // Folded, the free cells are k = 0..n/2, cell k standing for j = k and
    // n - k (psi_k = phi_k + phi_{n-k}, or phi_k in the middle); unfolded
    // every cell.
    std::size_t Free() const { return m_Folded ? m_N / 2 + 1 : m_Cols; }
    std::vector<double> Reduce(const std::vector<double>& phi) const;
    std::vector<double> Expand(const std::vector<double>& psi) const;
    // The gradient of the log-likelihood in the free cells, less W: cell
    // k's (g_k + g_{n-k}) / 2 - W folded (g_k - W in the middle).
    std::vector<double> Gradient(const SPass& pass) const;
    // The EM map of phi from its pass, and the gap.
    void EmMap(const std::vector<double>& phi, const SPass& pass, std::vector<double>& next) const;
    double Gap(const SPass& pass) const;
    // sum_s w_s S_s S_s^T over the free cells cells (S_s = P_s / L_s), from
    // the bands: row-major, cells.size() squared.
    std::vector<double> Curvature(const SPass& pass, const std::vector<std::size_t>& cells) const;
    // The theta whose log spectrum is nearest phi's (see the header), or
    // the family's start.
    std::vector<double> ThetaOf(const std::vector<double>& phi) const;
    // J^T N J for a (n + 1) x cols matrix J (row-major), from the bands.
    std::vector<double> Projected(const SPass& pass, const std::vector<double>& j,
                                  std::size_t cols) const;
};

void CPoolSpectrumModel::SImpl::Setup() {
    // The run of t every depth needs, then its rows once.
    std::vector<unsigned> lo, hi;  // per depth: [lo, hi), hi 0 for none
    m_Band.clear();
    for (CPoolSiteCursor s = Cursor(0, m_Store.Chunks().size()); s.Next();) {
        const SPoolRecordView& v = s.Record(m_Pool);
        if (v.depth == 0) {
            continue;
        }
        ++m_Sites;
        if (lo.size() <= v.depth) {
            lo.resize(v.depth + 1, 0);
            hi.resize(v.depth + 1, 0);
            m_Band.resize(v.depth + 1, 0);
        }
        m_Band[v.depth] = std::max(m_Band[v.depth], v.count);
        if (hi[v.depth] == 0) {
            lo[v.depth] = v.lo;
            hi[v.depth] = v.lo + v.count;
        } else {
            lo[v.depth] = std::min(lo[v.depth], v.lo);
            hi[v.depth] = std::max(hi[v.depth], v.lo + v.count);
        }
    }
    m_Offset.assign(lo.size(), 0);
    for (unsigned d = 0; d < lo.size(); ++d) {
        m_Offset[d] = m_RowCount;
        if (hi[d] > 0) {
            m_Rows.Cover(d, lo[d], hi[d] - lo[d]);
            m_RowCount += hi[d] - lo[d];
        }
    }
    // The bands, the largest left out while they pass the budget.
    std::vector<unsigned> order;
    for (unsigned d = 0; d < m_Band.size(); ++d) {
        if (m_Band[d] > 0) {
            order.push_back(d);
        }
    }
    auto size = [&](unsigned d) { return static_cast<std::size_t>(m_Rows.Count(d)) * m_Band[d]; };
    std::sort(order.begin(), order.end(), [&](unsigned a, unsigned b) {
        return size(a) < size(b) || (size(a) == size(b) && a < b);
    });
    std::size_t held = 0;
    for (unsigned d : order) {
        if (held + size(d) > kCurvatureBudget) {
            m_Band[d] = 0;
        }
        held += size(d);
    }
    m_BandOffset.assign(m_Band.size(), 0);
    for (unsigned d = 0; d < m_Band.size(); ++d) {
        m_BandOffset[d] = m_BandSize;
        m_BandSize += size(d);
    }
    // Parts of about equal numbers of sites.
    const auto& chunks = m_Store.Chunks();
    const std::uint64_t total = m_Store.Sites();
    std::uint64_t seen = 0;
    std::size_t first = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        seen += chunks[k].Sites();
        if (seen * kParts >= total * (m_Parts.size() + 1) || k + 1 == chunks.size()) {
            m_Parts.emplace_back(first, k + 1);
            first = k + 1;
        }
    }
}

void CPoolSpectrumModel::SImpl::RowsOf(const std::vector<double>& phi,
                                       std::vector<double>& u) const {
    u.assign(m_RowCount, 0.0);
    for (unsigned d = 0; d < m_Offset.size(); ++d) {
        const unsigned first = m_Rows.First(d), count = m_Rows.Count(d);
        for (unsigned i = 0; i < count; ++i) {
            const double* q = m_Rows.Row(d, first + i);
            double s = 0.0;
            for (std::size_t j = 0; j < m_Cols; ++j) {
                s += q[j] * phi[j];
            }
            u[m_Offset[d] + i] = s;
        }
    }
}

void CPoolSpectrumModel::SImpl::SumPart(std::size_t part, const std::vector<double>& u,
                                        const CSiteBlocks* blocks,
                                        const std::vector<double>* weights, bool curvature,
                                        SSums& sums) const {
    sums.m_V.assign(m_RowCount, 0.0);
    if (curvature) {
        sums.m_M.assign(m_BandSize, 0.0);
    }
    double tau[kMaxRecordEntries];
    for (CPoolSiteCursor s = Cursor(m_Parts[part].first, m_Parts[part].second); s.Next();) {
        const SPoolRecordView& v = s.Record(m_Pool);
        if (v.depth == 0) {
            continue;
        }
        const double w = blocks ? (*weights)[blocks->Block(s.Chunk(), s.Pos())] : 1.0;
        if (w == 0.0) {
            continue;
        }
        RecordEntries(v, tau);
        const std::size_t base = Base(v);
        const double* ub = &u[base];
        double z = 0.0;
        for (unsigned k = 0; k < v.count; ++k) {
            z += tau[k] * ub[k];
        }
        if (!(z > 0.0)) {
            ++sums.m_Impossible;
            continue;
        }
        sums.m_LogLik.AddWeighted(z, w);
        sums.m_Weight += w;
        const double f = w / z;
        double* vb = &sums.m_V[base];
        for (unsigned k = 0; k < v.count; ++k) {
            vb[k] += f * tau[k];
        }
        const unsigned band = m_Band[v.depth];
        if (curvature && band > 0) {
            const double f2 = f / z;
            double* mb = &sums.m_M[m_BandOffset[v.depth] +
                                   static_cast<std::size_t>(v.lo - m_Rows.First(v.depth)) * band];
            for (unsigned a = 0; a < v.count; ++a) {
                const double x = f2 * tau[a];
                double* row = mb + static_cast<std::size_t>(a) * band;
                for (unsigned b = a; b < v.count; ++b) {
                    row[b - a] += x * tau[b];
                }
            }
        }
    }
}

void CPoolSpectrumModel::SImpl::Pass(const std::vector<double>& phi, hts_tpool* pool,
                                     const CSiteBlocks* blocks, const std::vector<double>* weights,
                                     bool curvature, SPass& out) const {
    std::vector<double> u;
    RowsOf(phi, u);
    std::vector<double> v(m_RowCount, 0.0);
    out.logLik = 0.0;
    out.weight = 0.0;
    out.impossible = 0;
    out.m.assign(curvature ? m_BandSize : 0, 0.0);
    std::function<SSums(std::size_t)> job = [&](std::size_t part) {
        SSums s;
        SumPart(part, u, blocks, weights, curvature, s);
        return s;
    };
    std::function<void(std::size_t, SSums&)> merge = [&](std::size_t, SSums& s) {
        out.logLik += s.m_LogLik.Value();
        out.weight += s.m_Weight;
        out.impossible += s.m_Impossible;
        for (std::size_t r = 0; r < m_RowCount; ++r) {
            v[r] += s.m_V[r];
        }
        for (std::size_t r = 0; r < s.m_M.size(); ++r) {
            out.m[r] += s.m_M[r];
        }
    };
    RunOrdered<SSums>(pool, m_Parts.size(), job, merge);
    if (out.impossible > 0) {
        out.logLik = -std::numeric_limits<double>::infinity();
    }
    // g(j) = sum over rows of Binom(t; d, j/n) v(d, t).
    out.g.assign(m_Cols, 0.0);
    for (unsigned d = 0; d < m_Offset.size(); ++d) {
        const unsigned first = m_Rows.First(d), count = m_Rows.Count(d);
        for (unsigned i = 0; i < count; ++i) {
            const double x = v[m_Offset[d] + i];
            if (x == 0.0) {
                continue;
            }
            const double* q = m_Rows.Row(d, first + i);
            for (std::size_t j = 0; j < m_Cols; ++j) {
                out.g[j] += x * q[j];
            }
        }
    }
}

std::vector<double> CPoolSpectrumModel::SImpl::Reduce(const std::vector<double>& phi) const {
    if (!m_Folded) {
        return phi;
    }
    std::vector<double> psi(Free());
    for (std::size_t k = 0; k < psi.size(); ++k) {
        psi[k] = 2 * k == m_N ? phi[k] : phi[k] + phi[m_N - k];
    }
    return psi;
}

std::vector<double> CPoolSpectrumModel::SImpl::Expand(const std::vector<double>& psi) const {
    if (!m_Folded) {
        return psi;
    }
    std::vector<double> phi(m_Cols);
    for (std::size_t k = 0; k < psi.size(); ++k) {
        if (2 * k == m_N) {
            phi[k] = psi[k];
        } else {
            phi[k] = phi[m_N - k] = 0.5 * psi[k];
        }
    }
    return phi;
}

std::vector<double> CPoolSpectrumModel::SImpl::Gradient(const SPass& pass) const {
    std::vector<double> gradient(Free());
    for (std::size_t k = 0; k < gradient.size(); ++k) {
        const double g = m_Folded && 2 * k != m_N ? 0.5 * (pass.g[k] + pass.g[m_N - k]) : pass.g[k];
        gradient[k] = g - pass.weight;
    }
    return gradient;
}

void CPoolSpectrumModel::SImpl::EmMap(const std::vector<double>& phi, const SPass& pass,
                                      std::vector<double>& next) const {
    next.assign(m_Cols, 0.0);
    const double inv = pass.weight > 0.0 ? 1.0 / pass.weight : 0.0;
    for (std::size_t j = 0; j < m_Cols; ++j) {
        next[j] = phi[j] * pass.g[j] * inv;
    }
    // The map keeps the total; this only undoes rounding.
    Normalise(next);
    if (m_Folded) {
        Mirror(next);
    }
}

double CPoolSpectrumModel::SImpl::Gap(const SPass& pass) const {
    if (pass.impossible > 0) {
        return std::numeric_limits<double>::infinity();
    }
    double best = 0.0;
    for (double g : Gradient(pass)) {
        best = std::max(best, g);
    }
    return best;
}

std::vector<double> CPoolSpectrumModel::SImpl::Curvature(
    const SPass& pass, const std::vector<std::size_t>& cells) const {
    // The cells j of phi behind the free cells, with their weights.
    std::vector<std::size_t> js;
    std::vector<std::pair<std::size_t, double>> parts;  // (index into js, weight) per free cell
    std::vector<std::size_t> partStart;
    for (std::size_t k : cells) {
        partStart.push_back(parts.size());
        const bool pair = m_Folded && 2 * k != m_N;
        for (std::size_t j : {k, m_N - k}) {
            if (j != k && !pair) {
                continue;
            }
            parts.emplace_back(js.size(), pair ? 0.5 : 1.0);
            js.push_back(j);
            if (!pair) {
                break;
            }
        }
    }
    partStart.push_back(parts.size());
    const std::size_t c = js.size();
    // N over the cells js: for each depth, Q_d^T M_d Q_d.
    std::vector<double> full(c * c, 0.0), q, t;
    for (unsigned d = 0; d < m_Band.size(); ++d) {
        const unsigned band = m_Band[d];
        if (band == 0) {
            continue;
        }
        const unsigned rows = m_Rows.Count(d), first = m_Rows.First(d);
        q.assign(static_cast<std::size_t>(rows) * c, 0.0);
        for (unsigned a = 0; a < rows; ++a) {
            const double* row = m_Rows.Row(d, first + a);
            for (std::size_t i = 0; i < c; ++i) {
                q[a * c + i] = row[js[i]];
            }
        }
        // t = M_d q, M_d symmetric from its upper band.
        t.assign(q.size(), 0.0);
        const double* mb = &pass.m[m_BandOffset[d]];
        for (unsigned a = 0; a < rows; ++a) {
            const double* ma = mb + static_cast<std::size_t>(a) * band;
            for (unsigned k = 0; k < band && a + k < rows; ++k) {
                const double x = ma[k];
                if (x == 0.0) {
                    continue;
                }
                const unsigned b = a + k;
                for (std::size_t i = 0; i < c; ++i) {
                    t[a * c + i] += x * q[b * c + i];
                }
                if (k > 0) {
                    for (std::size_t i = 0; i < c; ++i) {
                        t[b * c + i] += x * q[a * c + i];
                    }
                }
            }
        }
        for (unsigned a = 0; a < rows; ++a) {
            const double* qa = &q[a * c];
            const double* ta = &t[a * c];
            for (std::size_t i = 0; i < c; ++i) {
                if (qa[i] == 0.0) {
                    continue;
                }
                for (std::size_t l = i; l < c; ++l) {
                    full[i * c + l] += qa[i] * ta[l];
                }
            }
        }
    }
    for (std::size_t i = 0; i < c; ++i) {
        for (std::size_t l = 0; l < i; ++l) {
            full[i * c + l] = full[l * c + i];
        }
    }
    // Onto the free cells.
    const std::size_t m = cells.size();
    std::vector<double> out(m * m, 0.0);
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = 0; b < m; ++b) {
            double sum = 0.0;
            for (std::size_t x = partStart[a]; x < partStart[a + 1]; ++x) {
                for (std::size_t y = partStart[b]; y < partStart[b + 1]; ++y) {
                    sum += parts[x].second * parts[y].second *
                           full[parts[x].first * c + parts[y].first];
                }
            }
            out[a * m + b] = sum;
        }
    }
    return out;
}

std::vector<double> CPoolSpectrumModel::SImpl::Spectrum(const std::vector<double>& theta) const {
    const std::size_t k = m_Family.params;
    std::vector<double> eta(m_Cols);
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < m_Cols; ++j) {
        double e = m_Family.offset[j];
        if (e > -std::numeric_limits<double>::infinity()) {
            for (std::size_t i = 0; i < k; ++i) {
                e += m_Family.design[j * k + i] * theta[i];
            }
        }
        eta[j] = e;
        top = std::max(top, e);
    }
    std::vector<double> phi(m_Cols);
    for (std::size_t j = 0; j < m_Cols; ++j) {
        phi[j] = std::exp(eta[j] - top);
    }
    Normalise(phi);
    return phi;
}

std::vector<double> CPoolSpectrumModel::SImpl::Projected(const SPass& pass,
                                                         const std::vector<double>& jac,
                                                         std::size_t c) const {
    // N = sum_d Q_d^T M_d Q_d: with q = Q_d J (the depth's rows times J),
    // J^T N J = sum_d q^T M_d q.
    std::vector<double> out(c * c, 0.0), q, t;
    for (unsigned d = 0; d < m_Band.size(); ++d) {
        const unsigned band = m_Band[d];
        if (band == 0) {
            continue;
        }
        const unsigned rows = m_Rows.Count(d), first = m_Rows.First(d);
        q.assign(static_cast<std::size_t>(rows) * c, 0.0);
        for (unsigned a = 0; a < rows; ++a) {
            const double* row = m_Rows.Row(d, first + a);
            double* qa = &q[a * c];
            for (std::size_t j = 0; j < m_Cols; ++j) {
                const double r = row[j];
                if (r == 0.0) {
                    continue;
                }
                const double* b = &jac[j * c];
                for (std::size_t i = 0; i < c; ++i) {
                    qa[i] += r * b[i];
                }
            }
        }
        // t = M_d q, M_d symmetric from its upper band.
        t.assign(q.size(), 0.0);
        const double* mb = &pass.m[m_BandOffset[d]];
        for (unsigned a = 0; a < rows; ++a) {
            const double* ma = mb + static_cast<std::size_t>(a) * band;
            for (unsigned k = 0; k < band && a + k < rows; ++k) {
                const double x = ma[k];
                if (x == 0.0) {
                    continue;
                }
                const unsigned b = a + k;
                for (std::size_t i = 0; i < c; ++i) {
                    t[a * c + i] += x * q[b * c + i];
                }
                if (k > 0) {
                    for (std::size_t i = 0; i < c; ++i) {
                        t[b * c + i] += x * q[a * c + i];
                    }
                }
            }
        }
        for (unsigned a = 0; a < rows; ++a) {
            for (std::size_t i = 0; i < c; ++i) {
                const double qa = q[a * c + i];
                if (qa == 0.0) {
                    continue;
                }
                for (std::size_t l = 0; l < c; ++l) {
                    out[i * c + l] += qa * t[a * c + l];
                }
            }
        }
    }
    return out;
}

CPoolSpectrumModel::CPoolSpectrumModel(const CPoolStore& store, std::size_t pool, unsigned n,
                                       bool folded)
    : m_Impl(std::make_unique<SImpl>(store, pool, n, folded)) {
    QT_ASSERT(n >= 2 && pool < store.Pools());
    m_Impl->Setup();
}

CPoolSpectrumModel::CPoolSpectrumModel(const CPoolStore& store, std::size_t pool, unsigned n,
                                       bool folded, SPoolLogLinear family)
    : CPoolSpectrumModel(store, pool, n, folded) {
    const std::size_t k = family.params;
    if (k == 0) {
        return;  // the free cells
    }
    QT_ASSERT(family.offset.size() == n + 1u && family.design.size() == (n + 1u) * k &&
              family.penalty.size() == k * k && family.start.size() == k);
    m_Impl->m_Family = std::move(family);
}

CPoolSpectrumModel::~CPoolSpectrumModel() = default;

unsigned CPoolSpectrumModel::N() const {
    return m_Impl->m_N;
}

bool CPoolSpectrumModel::Folded() const {
    return m_Impl->m_Folded;
}

std::uint64_t CPoolSpectrumModel::Sites() const {
    return m_Impl->m_Sites;
}

SPoolSpectrum CPoolSpectrumModel::DefaultStart() const {
    const unsigned n = m_Impl->m_N;
    SPoolSpectrum s;
    s.n = n;
    s.folded = m_Impl->m_Folded;
    if (m_Impl->LogLinear()) {
        s.phi = m_Impl->Spectrum(m_Impl->m_Family.start);
        return s;
    }
    s.phi.assign(n + 1, 0.0);
    double spread = 0.0;
    for (unsigned j = 1; j <= n; ++j) {
        double x = j < n ? 1.0 / j : 1.0 / n;
        if (s.folded) {
            x = j < n ? 1.0 / j + 1.0 / (n - j) : 0.0;
        }
        s.phi[j] = x;
        spread += x;
    }
    for (double& x : s.phi) {
        x *= 0.1 / spread;
    }
    if (s.folded) {
        s.phi[0] = s.phi[n] = 0.45;
    } else {
        s.phi[0] = 0.9;
    }
    return s;
}

SPoolFitResult CPoolSpectrumModel::Fit(const SPoolFitOptions& options, hts_tpool* pool,
                                       const SPoolSpectrum* start, const CSiteBlocks* blocks,
                                       const std::vector<double>* weights) const {
    if (m_Impl->LogLinear()) {
        return x_FitLogLinear(options, pool, start, blocks, weights);
    }
    const SImpl& m = *m_Impl;
    SPoolFitResult result;
    result.spectrum = start ? *start : DefaultStart();
    QT_ASSERT(result.spectrum.n == m.m_N && result.spectrum.phi.size() == m.m_Cols &&
              result.spectrum.folded == m.m_Folded);
    QT_ASSERT(!blocks || (weights && weights->size() == blocks->Blocks()));
    result.sites = m.m_Sites;
    std::vector<double> x = result.spectrum.phi;
    Normalise(x);
    if (m.m_Folded) {
        Mirror(x);
    }
    SImpl::SPass pass, trial;
    if (m.m_Sites == 0) {
        result.posterior = result.spectrum;
        result.converged = true;
        return result;
    }
    m.Pass(x, pool, blocks, weights, true, pass);
    int passes = 1;
    if (pass.impossible > 0) {
        const SPoolSpectrum d = DefaultStart();
        for (std::size_t j = 0; j < x.size(); ++j) {
            x[j] = (1.0 - kStartMix) * x[j] + kStartMix * d.phi[j];
        }
        m.Pass(x, pool, blocks, weights, true, pass);
        ++passes;
    }
    const std::size_t free = m.Free();
    std::vector<double> next;
    double gain = std::numeric_limits<double>::infinity();
    bool modelSaysDone = false;
    while (m.Gap(pass) > options.gap && passes < options.maxPasses) {
        // The Newton step on the free cells (see the header).
        const std::vector<double> psi = m.Reduce(x);
        const std::vector<double> gradient = m.Gradient(pass);
        std::vector<std::size_t> cells;
        for (std::size_t k = 0; k < free; ++k) {
            if (psi[k] > 0.0 || gradient[k] > 0.0) {
                cells.push_back(k);
            }
        }
        if (cells.size() > kNewtonCells) {
            // A quarter: those whose gradient most favours growth; the
            // rest: those that carry most of the posterior.
            std::vector<double> rank(free);
            for (std::size_t k = 0; k < free; ++k) {
                rank[k] = psi[k] * (gradient[k] + pass.weight);
            }
            std::stable_sort(cells.begin(), cells.end(),
                             [&](std::size_t a, std::size_t b) { return rank[a] > rank[b]; });
            std::vector<std::size_t> grow;
            for (std::size_t k = 0; k < free; ++k) {
                if (gradient[k] > 0.0) {
                    grow.push_back(k);
                }
            }
            std::stable_sort(grow.begin(), grow.end(), [&](std::size_t a, std::size_t b) {
                return gradient[a] > gradient[b];
            });
            std::vector<char> chosen(free, 0);
            std::vector<std::size_t> keep;
            for (std::size_t i = 0; i < grow.size() && keep.size() < kNewtonCells / 4; ++i) {
                chosen[grow[i]] = 1;
                keep.push_back(grow[i]);
            }
            for (std::size_t i = 0; i < cells.size() && keep.size() < kNewtonCells; ++i) {
                if (!chosen[cells[i]]) {
                    chosen[cells[i]] = 1;
                    keep.push_back(cells[i]);
                }
            }
            std::sort(keep.begin(), keep.end());
            cells.swap(keep);
        }
        const std::size_t c = cells.size();
        const std::vector<double> curvature = m.Curvature(pass, cells);
        std::vector<double> linear(c);
        for (std::size_t a = 0; a < c; ++a) {
            double s = gradient[cells[a]];
            for (std::size_t b = 0; b < c; ++b) {
                s += curvature[a * c + b] * psi[cells[b]];
            }
            linear[a] = s;
        }
        const std::vector<double> target = NonNegativeQuadraticMinimum(curvature, linear);
        std::vector<double> delta(free, 0.0);
        double slope = 0.0;
        for (std::size_t a = 0; a < c; ++a) {
            delta[cells[a]] = target[a] - psi[cells[a]];
            slope += gradient[cells[a]] * delta[cells[a]];
        }
        double bend = 0.0;
        for (std::size_t a = 0; a < c; ++a) {
            for (std::size_t b = 0; b < c; ++b) {
                bend += delta[cells[a]] * curvature[a * c + b] * delta[cells[b]];
            }
        }
        gain = slope - 0.5 * bend;
        bool complete = true;
        std::vector<char> in(free, 0);
        for (std::size_t k : cells) {
            in[k] = 1;
        }
        for (std::size_t k = 0; k < free; ++k) {
            complete = complete && (in[k] || gradient[k] <= 0.0);
        }
        if (!(slope > 0.0) || (complete && gain <= kModelShare * options.gap)) {
            modelSaysDone = complete;
            break;
        }
        // Halve the step until the log-likelihood rises by at least a
        // ten-thousandth of what the slope promises.
        bool accepted = false;
        for (double step = 1.0; passes < options.maxPasses && step > 1e-12; step *= 0.5) {
            std::vector<double> moved(free);
            for (std::size_t k = 0; k < free; ++k) {
                moved[k] = std::max(0.0, psi[k] + step * delta[k]);
            }
            next = m.Expand(moved);
            Normalise(next);
            m.Pass(next, pool, blocks, weights, true, trial);
            ++passes;
            if (trial.logLik >= pass.logLik + 1e-4 * step * slope) {
                accepted = true;
                break;
            }
        }
        if (!accepted) {
            break;
        }
        x.swap(next);
        std::swap(pass, trial);
    }
    result.spectrum.phi = x;
    result.posterior = result.spectrum;
    m.EmMap(x, pass, result.posterior.phi);
    result.logLik = pass.logLik;
    result.weight = pass.weight;
    result.gap = m.Gap(pass);
    result.impossibleSites = pass.impossible;
    result.gain = gain;
    result.converged = result.gap <= options.gap || modelSaysDone;
    result.sums = SpectrumSums(result.posterior, pass.weight);
    result.passes = passes;
    return result;
}

namespace {

// Solves (A + mu I) x = b for symmetric A (k x k) by Cholesky's
// factorisation, mu the least of 0, and 1e-8, 1e-7, ... times the largest
// diagonal entry for which it holds; false when none does.
bool SolveDamped(std::vector<double> a, std::size_t k, const std::vector<double>& b,
                 std::vector<double>& x) {
    double scale = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        scale = std::max(scale, std::fabs(a[i * k + i]));
    }
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        scale = 1.0;
    }
    for (double mu = 0.0; mu < 1e6 * scale; mu = mu == 0.0 ? 1e-8 * scale : 10.0 * mu) {
        std::vector<double> l(k * k, 0.0);
        bool ok = true;
        for (std::size_t i = 0; i < k && ok; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                double sum = a[i * k + j] + (i == j ? mu : 0.0);
                for (std::size_t r = 0; r < j; ++r) {
                    sum -= l[i * k + r] * l[j * k + r];
                }
                if (i == j) {
                    if (!(sum > 0.0)) {
                        ok = false;
                        break;
                    }
                    l[i * k + i] = std::sqrt(sum);
                } else {
                    l[i * k + j] = sum / l[j * k + j];
                }
            }
        }
        if (!ok) {
            continue;
        }
        std::vector<double> y(k);
        for (std::size_t i = 0; i < k; ++i) {
            double sum = b[i];
            for (std::size_t r = 0; r < i; ++r) {
                sum -= l[i * k + r] * y[r];
            }
            y[i] = sum / l[i * k + i];
        }
        x.assign(k, 0.0);
        for (std::size_t i = k; i-- > 0;) {
            double sum = y[i];
            for (std::size_t r = i + 1; r < k; ++r) {
                sum -= l[r * k + i] * x[r];
            }
            x[i] = sum / l[i * k + i];
        }
        return true;
    }
    return false;
}

}  // namespace

std::vector<double> CPoolSpectrumModel::SImpl::ThetaOf(const std::vector<double>& phi) const {
    // log phi_j - c_j = a_j theta - log Z for every cell the family keeps,
    // and a_0 = 0 (the cell that fixes the scale): least squares of
    // y_j = (log phi_j - c_j) - (log phi_0 - c_0) on a_j.
    const std::size_t k = m_Family.params;
    const double inf = std::numeric_limits<double>::infinity();
    if (!(phi[0] > 0.0) || m_Family.offset[0] == -inf) {
        return m_Family.start;
    }
    const double base = std::log(phi[0]) - m_Family.offset[0];
    std::vector<double> normal(k * k, 0.0), right(k, 0.0), theta;
    for (std::size_t j = 0; j < m_Cols; ++j) {
        if (m_Family.offset[j] == -inf) {
            continue;
        }
        if (!(phi[j] > 0.0)) {
            return m_Family.start;
        }
        const double y = std::log(phi[j]) - m_Family.offset[j] - base;
        const double* a = &m_Family.design[j * k];
        for (std::size_t r = 0; r < k; ++r) {
            right[r] += a[r] * y;
            for (std::size_t c = 0; c < k; ++c) {
                normal[r * k + c] += a[r] * a[c];
            }
        }
    }
    return SolveDamped(normal, k, right, theta) ? theta : m_Family.start;
}

SPoolFitResult CPoolSpectrumModel::x_FitLogLinear(const SPoolFitOptions& options, hts_tpool* pool,
                                                  const SPoolSpectrum* start,
                                                  const CSiteBlocks* blocks,
                                                  const std::vector<double>* weights) const {
    const SImpl& m = *m_Impl;
    const SPoolLogLinear& f = m.m_Family;
    const std::size_t k = f.params, cols = m.m_Cols;
    SPoolFitResult result;
    std::vector<double> theta = start ? m.ThetaOf(start->phi) : f.start;
    result.sites = m.m_Sites;
    result.spectrum.n = m.m_N;
    result.spectrum.folded = m.m_Folded;
    std::vector<double> phi = m.Spectrum(theta);
    auto penalty = [&](const std::vector<double>& t) {
        double s = 0.0;
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t b = 0; b < k; ++b) {
                s += t[a] * f.penalty[a * k + b] * t[b];
            }
        }
        return 0.5 * s;
    };
    SImpl::SPass pass, trial;
    int passes = 0;
    double promise = std::numeric_limits<double>::infinity();
    bool converged = m.m_Sites == 0;
    if (m.m_Sites > 0) {
        m.Pass(phi, pool, blocks, weights, true, pass);
        passes = 1;
    }
    double objective = pass.logLik - penalty(theta);
    std::vector<double> jac(cols * k), gradient(k), hessian(k * k), step, moved(k);
    while (!converged && passes < options.maxPasses) {
        // J = d phi / d theta at the normalised phi, and J^T 1.
        std::vector<double> total(k, 0.0);
        for (std::size_t j = 0; j < cols; ++j) {
            for (std::size_t a = 0; a < k; ++a) {
                jac[j * k + a] = phi[j] * f.design[j * k + a];
                total[a] += jac[j * k + a];
            }
        }
        const std::vector<double> curvature = m.Projected(pass, jac, k);
        for (std::size_t a = 0; a < k; ++a) {
            double g = 0.0;
            for (std::size_t j = 0; j < cols; ++j) {
                g += (pass.g[j] - pass.weight) * jac[j * k + a];
            }
            for (std::size_t b = 0; b < k; ++b) {
                g -= f.penalty[a * k + b] * theta[b];
            }
            gradient[a] = g;
        }
        // The negative Hessian (see the header).
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t b = 0; b <= a; ++b) {
                double h =
                    curvature[a * k + b] + f.penalty[a * k + b] - pass.weight * total[a] * total[b];
                for (std::size_t j = 0; j < cols; ++j) {
                    h -= (pass.g[j] - pass.weight) * phi[j] * f.design[j * k + a] *
                         f.design[j * k + b];
                }
                hessian[a * k + b] = hessian[b * k + a] = h;
            }
        }
        if (!SolveDamped(hessian, k, gradient, step)) {
            break;
        }
        double slope = 0.0;
        for (std::size_t a = 0; a < k; ++a) {
            slope += gradient[a] * step[a];
        }
        promise = 0.5 * slope;
        if (!(slope > 0.0) || promise <= options.gap) {
            converged = !(slope < 0.0) || promise <= options.gap;
            break;
        }
        bool accepted = false;
        for (double s = 1.0; passes < options.maxPasses && s > 1e-12; s *= 0.5) {
            for (std::size_t a = 0; a < k; ++a) {
                moved[a] = theta[a] + s * step[a];
            }
            const std::vector<double> next = m.Spectrum(moved);
            m.Pass(next, pool, blocks, weights, true, trial);
            ++passes;
            const double value = trial.logLik - penalty(moved);
            if (value >= objective + 1e-4 * s * slope) {
                accepted = true;
                theta = moved;
                phi = next;
                objective = value;
                std::swap(pass, trial);
                break;
            }
        }
        if (!accepted) {
            break;
        }
    }
    result.spectrum.phi = phi;
    result.theta = theta;
    result.posterior = result.spectrum;
    if (m.m_Sites > 0) {
        m.EmMap(phi, pass, result.posterior.phi);
    }
    result.logLik = pass.logLik;
    result.weight = pass.weight;
    result.gap = promise;
    result.gain = promise;
    result.impossibleSites = pass.impossible;
    result.converged = converged;
    result.sums = SpectrumSums(result.posterior, pass.weight);
    result.passes = passes;
    return result;
}

SPoolFitResult CPoolSpectrumModel::Evaluate(const SPoolSpectrum& spectrum, hts_tpool* pool) const {
    const SImpl& m = *m_Impl;
    QT_ASSERT(spectrum.n == m.m_N && spectrum.phi.size() == m.m_Cols &&
              spectrum.folded == m.m_Folded);
    SPoolFitResult r;
    r.spectrum = spectrum;
    r.posterior = spectrum;
    r.sites = m.m_Sites;
    if (m.m_Sites > 0) {
        SImpl::SPass pass;
        m.Pass(spectrum.phi, pool, nullptr, nullptr, false, pass);
        m.EmMap(spectrum.phi, pass, r.posterior.phi);
        r.logLik = pass.logLik;
        r.weight = pass.weight;
        r.gap = m.Gap(pass);
        r.impossibleSites = pass.impossible;
        r.passes = 1;
    }
    r.sums = SpectrumSums(r.posterior, r.weight);
    r.converged = true;
    return r;
}

void CPoolSpectrumModel::Posterior(const SPoolSpectrum& spectrum, hts_tpool* pool,
                                   const TSiteSink& sink) const {
    const SImpl& m = *m_Impl;
    QT_ASSERT(spectrum.n == m.m_N && spectrum.phi.size() == m.m_Cols);
    // The rows of phi and of phi h for the three terms.
    std::vector<double> weighted[4];
    for (auto& w : weighted) {
        w.assign(m.m_Cols, 0.0);
    }
    for (unsigned j = 0; j <= m.m_N; ++j) {
        const double p = spectrum.phi[j];
        weighted[0][j] = p;
        weighted[1][j] = p * PiTerm(j, m.m_N);
        weighted[2][j] = p * SegregatingTerm(j, m.m_N);
        weighted[3][j] = m.m_Folded ? 0.0 : p * ThetaHTerm(j, m.m_N);
    }
    std::vector<double> u[4];
    for (int h = 0; h < 4; ++h) {
        m.RowsOf(weighted[h], u[h]);
    }
    struct SSite {
        int contig;
        std::int64_t pos;
        SSpectrumSums terms;
    };
    std::function<std::vector<SSite>(std::size_t)> job = [&](std::size_t part) {
        std::vector<SSite> out;
        double tau[kMaxRecordEntries];
        // The store keeps its sites in genome order.
        for (CPoolSiteCursor s = m.Cursor(m.m_Parts[part].first, m.m_Parts[part].second);
             s.Next();) {
            const SPoolRecordView& v = s.Record(m.m_Pool);
            if (v.depth == 0) {
                continue;
            }
            RecordEntries(v, tau);
            const std::size_t base = m.Base(v);
            double e[4] = {0, 0, 0, 0};
            for (int h = 0; h < 4; ++h) {
                const double* ub = &u[h][base];
                for (unsigned k = 0; k < v.count; ++k) {
                    e[h] += tau[k] * ub[k];
                }
            }
            SSite site{s.Contig(), s.Pos(), {}};
            site.terms.sites = 1.0;
            if (e[0] > 0.0) {
                site.terms.pi = e[1] / e[0];
                site.terms.segregating = e[2] / e[0];
                site.terms.thetaH = e[3] / e[0];
            } else {
                site.terms.pi = site.terms.segregating = site.terms.thetaH = kNaN;
            }
            out.push_back(site);
        }
        return out;
    };
    std::function<void(std::size_t, std::vector<SSite>&)> merge = [&](std::size_t,
                                                                      std::vector<SSite>& sites) {
        for (const SSite& s : sites) {
            sink(s.contig, s.pos, s.terms);
        }
    };
    RunOrdered<std::vector<SSite>>(pool, m.m_Parts.size(), job, merge);
}
