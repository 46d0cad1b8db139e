#include "fst/joint_fit.hpp"

#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "base/qt_assert.hpp"
#include "engine/taskpool.hpp"
#include "fst/pool_record.hpp"
#include "spectrum/pool_diversity.hpp"

namespace {

// A site is quiet when both pools' kept entries start at 0 and number at
// most this many.
constexpr unsigned kQuietEntries = 8;
// Parts of every pass over the sites (independent of the threads).
constexpr std::size_t kParts = 16;

// Binom(t; d, j/n) for j = 0..n into out.
void BinomialRow(unsigned d, unsigned t, unsigned n, double* out) {
    const double lc = gsl_sf_lnchoose(d, t);
    for (unsigned j = 0; j <= n; ++j) {
        if (j == 0) {
            out[j] = t == 0 ? 1.0 : 0.0;
        } else if (j == n) {
            out[j] = t == d ? 1.0 : 0.0;
        } else {
            const double x = static_cast<double>(j) / n;
            out[j] = std::exp(lc + t * std::log(x) + (d - t) * std::log1p(-x));
        }
    }
}

// Walks the records of one site; v1 and v2 receive pools a and b.
inline const unsigned char* DecodePair(const unsigned char* p, std::size_t pools, std::size_t a,
                                       std::size_t b, SPoolRecordView& v1, SPoolRecordView& v2) {
    SPoolRecordView skip;
    for (std::size_t i = 0; i < pools; ++i) {
        p = ReadPoolRecord(p, i == a ? v1 : i == b ? v2 : skip);
    }
    return p;
}

double Dot(const double* x, const double* y, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += x[i] * y[i];
    }
    return s;
}

}  // namespace

SPairValues SpectrumValues(const SJointSpectrum& s) {
    SPairValues v;
    for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
        for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
            const double p = s.At(j1, j2);
            v.pi1 += p * PoolWithin(j1, s.n1);
            v.pi2 += p * PoolWithin(j2, s.n2);
            v.dxy += p * PoolBetween(j1, s.n1, j2, s.n2);
        }
    }
    v.fst = HudsonFst(v.pi1, v.pi2, v.dxy);
    return v;
}

CSiteBlocks::CSiteBlocks(const CPoolStore& store, std::int64_t blockSize) : m_Size(blockSize) {
    QT_ASSERT(blockSize > 0);
    int contig = -1;
    std::int64_t number = -1;
    for (const SPoolChunk& c : store.Chunks()) {
        std::size_t first = 0;
        for (std::size_t i = 0; i < c.m_Offsets.size(); ++i) {
            const std::int64_t n = (c.m_FirstPos + c.m_Offsets[i]) / m_Size;
            if (c.m_Contig != contig || n != number) {
                contig = c.m_Contig;
                number = n;
                ++m_Blocks;
            }
            if (i == 0) {
                first = m_Blocks - 1;
            }
        }
        m_FirstBlock.push_back(first);
    }
}

struct CPairModel::SImpl {
    const CPoolStore& m_Store;
    std::size_t m_A, m_B;
    unsigned m_N1, m_N2;
    bool m_Folded;
    std::size_t m_Cols1, m_Cols2;
    std::uint64_t m_Sites = 0;

    // Rows (d, t) of each pool: m_RowOf[d][t] is the row, or -1.
    std::vector<std::vector<int>> m_RowOf1, m_RowOf2;
    std::vector<double> m_Q1, m_Q2;  // rows x cols
    std::size_t m_Rows1 = 0, m_Rows2 = 0;
    // Rows of pool 1 that non-quiet sites use: index into per-part sums.
    std::vector<int> m_PolyRow1;  // row -> poly row or -1
    std::vector<std::size_t> m_PolyRows1;
    // Quiet blocks, one per depth pair.
    struct SBlock {
        unsigned d1, d2, k1, k2;
        std::size_t offset;
    };
    std::vector<SBlock> m_Blocks;
    std::size_t m_BlockCells = 0;
    std::vector<int> m_DepthIndex1, m_DepthIndex2;  // depth -> index or -1
    std::size_t m_Depths1 = 0, m_Depths2 = 0;
    std::vector<int> m_BlockOf;  // depth index pair -> block
    // Parts: [first, last) chunks.
    std::vector<std::pair<std::size_t, std::size_t>> m_Parts;

    SImpl(const CPoolStore& store, std::size_t a, std::size_t b, unsigned n1, unsigned n2,
          bool folded)
        : m_Store(store),
          m_A(a),
          m_B(b),
          m_N1(n1),
          m_N2(n2),
          m_Folded(folded),
          m_Cols1(n1 + 1),
          m_Cols2(n2 + 1) {}

    static bool Quiet(const SPoolRecordView& v1, const SPoolRecordView& v2) {
        return v1.lo == 0 && v2.lo == 0 && v1.count <= kQuietEntries && v2.count <= kQuietEntries;
    }

    static int& Row(std::vector<std::vector<int>>& rowOf, unsigned d, unsigned t) {
        if (rowOf.size() <= d) {
            rowOf.resize(d + 1);
        }
        if (rowOf[d].size() <= t) {
            rowOf[d].resize(t + 1, -1);
        }
        return rowOf[d][t];
    }
    int RowOf1(unsigned d, unsigned t) const { return m_RowOf1[d][t]; }
    int RowOf2(unsigned d, unsigned t) const { return m_RowOf2[d][t]; }

    void Setup();
    // One pass: per part, the sums the EM (or the posterior) needs.
    struct SSums {
        double m_LogLik = 0.0, m_Weight = 0.0;
        std::vector<double> m_H;   // quiet blocks
        std::vector<double> m_PV;  // poly rows x cols2
    };
    struct SSpectrumRows {
        std::vector<double> m_W1;  // rows1 x cols2: Q1 phi
        std::vector<double> m_G;   // quiet blocks
    };
    void Rows(const std::vector<double>& phi, SSpectrumRows& out) const;
    void SumPart(std::size_t part, const SSpectrumRows& rows, const CSiteBlocks* blocks,
                 const std::vector<double>* weights, std::size_t stride, SSums& sums) const;
    // The EM map: phi -> phi', and the log-likelihood at phi.
    double Map(const std::vector<double>& phi, hts_tpool* pool, const CSiteBlocks* blocks,
               const std::vector<double>* weights, std::size_t stride, std::vector<double>& next,
               double& weight) const;
    void Symmetrise(std::vector<double>& phi) const {
        if (!m_Folded) {
            return;
        }
        for (unsigned j1 = 0; j1 <= m_N1; ++j1) {
            for (unsigned j2 = 0; j2 <= m_N2; ++j2) {
                const std::size_t c = j1 * m_Cols2 + j2;
                const std::size_t m = (m_N1 - j1) * m_Cols2 + (m_N2 - j2);
                if (c < m) {
                    const double mean = 0.5 * (phi[c] + phi[m]);
                    phi[c] = phi[m] = mean;
                }
            }
        }
    }
};

void CPairModel::SImpl::Setup() {
    const std::size_t pools = m_Store.Pools();
    // Pass 1: rows, depths and quiet extents.
    std::vector<std::pair<unsigned, unsigned>> quietExtent;          // per (d1, d2) key
    std::vector<std::vector<std::pair<unsigned, unsigned>>> extent;  // [d1] -> list of (d2, k1|k2)
    auto markDepth = [](std::vector<int>& index, unsigned d) {
        if (index.size() <= d) {
            index.resize(d + 1, -1);
        }
        index[d] = 0;
    };
    struct SQuietKey {
        unsigned d1, d2, k1, k2;
    };
    std::vector<SQuietKey> quiet;
    SPoolRecordView v1, v2;
    for (const SPoolChunk& c : m_Store.Chunks()) {
        const unsigned char* p = c.m_Bytes.data();
        for (std::size_t i = 0; i < c.m_Offsets.size(); ++i) {
            p = DecodePair(p, pools, m_A, m_B, v1, v2);
            if (v1.depth == 0 || v2.depth == 0) {
                continue;
            }
            ++m_Sites;
            markDepth(m_DepthIndex1, v1.depth);
            markDepth(m_DepthIndex2, v2.depth);
            if (Quiet(v1, v2)) {
                quiet.push_back(SQuietKey{v1.depth, v2.depth, v1.count, v2.count});
                continue;
            }
            for (unsigned t = 0; t < v1.count; ++t) {
                Row(m_RowOf1, v1.depth, v1.lo + t) = 0;
            }
            for (unsigned t = 0; t < v2.count; ++t) {
                Row(m_RowOf2, v2.depth, v2.lo + t) = 0;
            }
        }
    }
    // Poly rows of pool 1 are those marked so far.
    for (std::size_t d = 0; d < m_RowOf1.size(); ++d) {
        for (int& r : m_RowOf1[d]) {
            if (r == 0) {
                r = -2;  // poly
            }
        }
    }
    // Depth indices and quiet blocks.
    for (int& x : m_DepthIndex1) {
        if (x == 0) {
            x = static_cast<int>(m_Depths1++);
        }
    }
    for (int& x : m_DepthIndex2) {
        if (x == 0) {
            x = static_cast<int>(m_Depths2++);
        }
    }
    m_BlockOf.assign(m_Depths1 * m_Depths2, -1);
    std::vector<std::pair<unsigned, unsigned>> blockExtent;
    for (const SQuietKey& q : quiet) {
        const std::size_t key = static_cast<std::size_t>(m_DepthIndex1[q.d1]) * m_Depths2 +
                                static_cast<std::size_t>(m_DepthIndex2[q.d2]);
        int& b = m_BlockOf[key];
        if (b < 0) {
            b = static_cast<int>(m_Blocks.size());
            m_Blocks.push_back(SBlock{q.d1, q.d2, q.k1, q.k2, 0});
        }
        SBlock& blk = m_Blocks[static_cast<std::size_t>(b)];
        blk.k1 = std::max(blk.k1, q.k1);
        blk.k2 = std::max(blk.k2, q.k2);
    }
    for (SBlock& blk : m_Blocks) {
        blk.offset = m_BlockCells;
        m_BlockCells += static_cast<std::size_t>(blk.k1) * blk.k2;
        for (unsigned t = 0; t < blk.k1; ++t) {
            int& r = Row(m_RowOf1, blk.d1, t);
            if (r == -1) {
                r = 0;
            }
        }
        for (unsigned t = 0; t < blk.k2; ++t) {
            Row(m_RowOf2, blk.d2, t) = 0;
        }
    }
    // Number the rows and fill Q.
    m_PolyRow1.clear();
    for (std::size_t d = 0; d < m_RowOf1.size(); ++d) {
        for (std::size_t t = 0; t < m_RowOf1[d].size(); ++t) {
            int& r = m_RowOf1[d][t];
            if (r == -1) {
                continue;
            }
            const bool poly = r == -2;
            r = static_cast<int>(m_Rows1++);
            m_Q1.resize(m_Rows1 * m_Cols1);
            BinomialRow(static_cast<unsigned>(d), static_cast<unsigned>(t), m_N1,
                        &m_Q1[(m_Rows1 - 1) * m_Cols1]);
            m_PolyRow1.push_back(poly ? static_cast<int>(m_PolyRows1.size()) : -1);
            if (poly) {
                m_PolyRows1.push_back(m_Rows1 - 1);
            }
        }
    }
    for (std::size_t d = 0; d < m_RowOf2.size(); ++d) {
        for (std::size_t t = 0; t < m_RowOf2[d].size(); ++t) {
            int& r = m_RowOf2[d][t];
            if (r == -1) {
                continue;
            }
            r = static_cast<int>(m_Rows2++);
            m_Q2.resize(m_Rows2 * m_Cols2);
            BinomialRow(static_cast<unsigned>(d), static_cast<unsigned>(t), m_N2,
                        &m_Q2[(m_Rows2 - 1) * m_Cols2]);
        }
    }
    if (std::getenv("FST_TRACE")) {
        std::fprintf(stderr,
                     "sites %llu quiet %zu rows1 %zu poly1 %zu rows2 %zu blocks %zu cells %zu\n",
                     (unsigned long long)m_Sites, quiet.size(), m_Rows1, m_PolyRows1.size(),
                     m_Rows2, m_Blocks.size(), m_BlockCells);
    }
    // Parts of about equal numbers of sites.
    const auto& chunks = m_Store.Chunks();
    const std::uint64_t total = m_Store.Sites();
    std::uint64_t seen = 0;
    std::size_t first = 0;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        seen += chunks[c].m_Offsets.size();
        if (seen * kParts >= total * (m_Parts.size() + 1) || c + 1 == chunks.size()) {
            m_Parts.emplace_back(first, c + 1);
            first = c + 1;
        }
    }
}

void CPairModel::SImpl::Rows(const std::vector<double>& phi, SSpectrumRows& out) const {
    // W1 = Q1 phi.
    out.m_W1.assign(m_Rows1 * m_Cols2, 0.0);
    for (std::size_t r = 0; r < m_Rows1; ++r) {
        const double* q = &m_Q1[r * m_Cols1];
        double* w = &out.m_W1[r * m_Cols2];
        for (std::size_t j1 = 0; j1 < m_Cols1; ++j1) {
            const double x = q[j1];
            if (x == 0.0) {
                continue;
            }
            const double* f = &phi[j1 * m_Cols2];
            for (std::size_t j2 = 0; j2 < m_Cols2; ++j2) {
                w[j2] += x * f[j2];
            }
        }
    }
    // G blocks: W1 rows against Q2 rows.
    out.m_G.assign(m_BlockCells, 0.0);
    for (const SBlock& b : m_Blocks) {
        for (unsigned t1 = 0; t1 < b.k1; ++t1) {
            const double* w = &out.m_W1[static_cast<std::size_t>(RowOf1(b.d1, t1)) * m_Cols2];
            for (unsigned t2 = 0; t2 < b.k2; ++t2) {
                const double* q = &m_Q2[static_cast<std::size_t>(RowOf2(b.d2, t2)) * m_Cols2];
                out.m_G[b.offset + t1 * b.k2 + t2] = Dot(w, q, m_Cols2);
            }
        }
    }
}

void CPairModel::SImpl::SumPart(std::size_t part, const SSpectrumRows& rows,
                                const CSiteBlocks* blocks, const std::vector<double>* weights,
                                std::size_t stride, SSums& sums) const {
    sums.m_LogLik = sums.m_Weight = 0.0;
    sums.m_H.assign(m_BlockCells, 0.0);
    sums.m_PV.assign(m_PolyRows1.size() * m_Cols2, 0.0);
    const std::size_t pools = m_Store.Pools();
    const auto& chunks = m_Store.Chunks();
    SPoolRecordView v1, v2;
    double tau1[256], tau2[256];
    std::vector<double> l2(m_Cols2);
    for (std::size_t ci = m_Parts[part].first; ci < m_Parts[part].second; ++ci) {
        if (ci % stride != 0) {
            continue;
        }
        const SPoolChunk& c = chunks[ci];
        const unsigned char* p = c.m_Bytes.data();
        std::size_t block = blocks ? blocks->FirstBlock(ci) : 0;
        std::int64_t number = blocks ? (c.m_FirstPos + c.m_Offsets[0]) / blocks->Size() : 0;
        for (std::size_t i = 0; i < c.m_Offsets.size(); ++i) {
            p = DecodePair(p, pools, m_A, m_B, v1, v2);
            double w = 1.0;
            if (blocks) {
                const std::int64_t n = (c.m_FirstPos + c.m_Offsets[i]) / blocks->Size();
                if (n != number) {
                    number = n;
                    ++block;
                }
                w = (*weights)[block];
            }
            if (v1.depth == 0 || v2.depth == 0 || w == 0.0) {
                continue;
            }
            for (unsigned t = 0; t < v1.count; ++t) {
                tau1[t] = v1.Entry(t);
            }
            for (unsigned t = 0; t < v2.count; ++t) {
                tau2[t] = v2.Entry(t);
            }
            if (Quiet(v1, v2)) {
                const SBlock& b = m_Blocks[static_cast<std::size_t>(
                    m_BlockOf[static_cast<std::size_t>(m_DepthIndex1[v1.depth]) * m_Depths2 +
                              static_cast<std::size_t>(m_DepthIndex2[v2.depth])])];
                const double* g = &rows.m_G[b.offset];
                double z = 0.0;
                for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                    double s = 0.0;
                    for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                        s += g[t1 * b.k2 + t2] * tau2[t2];
                    }
                    z += tau1[t1] * s;
                }
                sums.m_LogLik += w * std::log(z);
                sums.m_Weight += w;
                const double f = w / z;
                double* h = &sums.m_H[b.offset];
                for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                    const double a = f * tau1[t1];
                    for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                        h[t1 * b.k2 + t2] += a * tau2[t2];
                    }
                }
                continue;
            }
            // L2 over j2, then each row of pool 1 against it.
            std::fill(l2.begin(), l2.end(), 0.0);
            for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                const double* q =
                    &m_Q2[static_cast<std::size_t>(RowOf2(v2.depth, v2.lo + t2)) * m_Cols2];
                const double a = tau2[t2];
                for (std::size_t j = 0; j < m_Cols2; ++j) {
                    l2[j] += a * q[j];
                }
            }
            double z = 0.0;
            for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                const std::size_t r = static_cast<std::size_t>(RowOf1(v1.depth, v1.lo + t1));
                z += tau1[t1] * Dot(&rows.m_W1[r * m_Cols2], l2.data(), m_Cols2);
            }
            sums.m_LogLik += w * std::log(z);
            sums.m_Weight += w;
            const double f = w / z;
            for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                const std::size_t r = static_cast<std::size_t>(RowOf1(v1.depth, v1.lo + t1));
                double* pv = &sums.m_PV[static_cast<std::size_t>(m_PolyRow1[r]) * m_Cols2];
                const double a = f * tau1[t1];
                for (std::size_t j = 0; j < m_Cols2; ++j) {
                    pv[j] += a * l2[j];
                }
            }
        }
    }
}

double CPairModel::SImpl::Map(const std::vector<double>& phi, hts_tpool* pool,
                              const CSiteBlocks* blocks, const std::vector<double>* weights,
                              std::size_t stride, std::vector<double>& next, double& weight) const {
    SSpectrumRows rows;
    Rows(phi, rows);
    SSums total;
    total.m_H.assign(m_BlockCells, 0.0);
    total.m_PV.assign(m_PolyRows1.size() * m_Cols2, 0.0);
    std::function<SSums(std::size_t)> job = [&](std::size_t part) {
        SSums s;
        SumPart(part, rows, blocks, weights, stride, s);
        return s;
    };
    std::function<void(std::size_t, SSums&)> merge = [&](std::size_t, SSums& s) {
        total.m_LogLik += s.m_LogLik;
        total.m_Weight += s.m_Weight;
        for (std::size_t i = 0; i < s.m_H.size(); ++i) {
            total.m_H[i] += s.m_H[i];
        }
        for (std::size_t i = 0; i < s.m_PV.size(); ++i) {
            total.m_PV[i] += s.m_PV[i];
        }
    };
    RunOrdered<SSums>(pool, m_Parts.size(), job, merge);
    weight = total.m_Weight;

    // V1 = poly rows + quiet blocks H Q2; A = Q1^T V1; phi' = phi A / W.
    std::vector<double> v1(m_Rows1 * m_Cols2, 0.0);
    for (std::size_t k = 0; k < m_PolyRows1.size(); ++k) {
        std::copy_n(&total.m_PV[k * m_Cols2], m_Cols2, &v1[m_PolyRows1[k] * m_Cols2]);
    }
    for (const SBlock& b : m_Blocks) {
        for (unsigned t1 = 0; t1 < b.k1; ++t1) {
            double* v = &v1[static_cast<std::size_t>(RowOf1(b.d1, t1)) * m_Cols2];
            for (unsigned t2 = 0; t2 < b.k2; ++t2) {
                const double h = total.m_H[b.offset + t1 * b.k2 + t2];
                if (h == 0.0) {
                    continue;
                }
                const double* q = &m_Q2[static_cast<std::size_t>(RowOf2(b.d2, t2)) * m_Cols2];
                for (std::size_t j = 0; j < m_Cols2; ++j) {
                    v[j] += h * q[j];
                }
            }
        }
    }
    next.assign(m_Cols1 * m_Cols2, 0.0);
    for (std::size_t r = 0; r < m_Rows1; ++r) {
        const double* q = &m_Q1[r * m_Cols1];
        const double* v = &v1[r * m_Cols2];
        for (std::size_t j1 = 0; j1 < m_Cols1; ++j1) {
            const double x = q[j1];
            if (x == 0.0) {
                continue;
            }
            double* a = &next[j1 * m_Cols2];
            for (std::size_t j2 = 0; j2 < m_Cols2; ++j2) {
                a[j2] += x * v[j2];
            }
        }
    }
    const double inv = total.m_Weight > 0 ? 1.0 / total.m_Weight : 0.0;
    double sum = 0.0;
    for (std::size_t c = 0; c < next.size(); ++c) {
        next[c] *= phi[c] * inv;
        sum += next[c];
    }
    // Rounding only: the map keeps the total.
    if (sum > 0) {
        for (double& x : next) {
            x /= sum;
        }
    }
    Symmetrise(next);
    return total.m_LogLik;
}

CPairModel::CPairModel(const CPoolStore& store, std::size_t a, std::size_t b, unsigned n1,
                       unsigned n2, bool folded)
    : m_Impl(std::make_unique<SImpl>(store, a, b, n1, n2, folded)) {
    m_Impl->Setup();
}

CPairModel::~CPairModel() = default;

std::uint64_t CPairModel::Sites() const {
    return m_Impl->m_Sites;
}

SJointSpectrum CPairModel::DefaultStart() const {
    const SImpl& m = *m_Impl;
    SJointSpectrum s;
    s.n1 = m.m_N1;
    s.n2 = m.m_N2;
    s.folded = m.m_Folded;
    s.phi.assign(m.m_Cols1 * m.m_Cols2, 0.0);
    double spread = 0.0;
    for (unsigned j1 = 0; j1 <= m.m_N1; ++j1) {
        for (unsigned j2 = 0; j2 <= m.m_N2; ++j2) {
            if (j1 + j2 == 0) {
                continue;
            }
            const double x = static_cast<double>(j1) / m.m_N1 + static_cast<double>(j2) / m.m_N2;
            s.phi[j1 * m.m_Cols2 + j2] = 1.0 / x;
            spread += 1.0 / x;
        }
    }
    for (double& x : s.phi) {
        x *= 0.05 / spread;
    }
    s.phi[0] = 0.95;
    m.Symmetrise(s.phi);
    return s;
}

SJointFitResult CPairModel::Fit(const SJointFitOptions& options, hts_tpool* pool,
                                const SJointSpectrum* start, const CSiteBlocks* blocks,
                                const std::vector<double>* weights) const {
    const SImpl& m = *m_Impl;
    SJointFitResult result;
    result.spectrum = start ? *start : DefaultStart();
    result.sites = m.m_Sites;
    std::vector<double> x0 = result.spectrum.phi, x1, x2, xp, x3;
    double weight = 0.0;
    auto values = [&](const std::vector<double>& phi) {
        SJointSpectrum s = result.spectrum;
        s.phi = phi;
        return SpectrumValues(s);
    };
    auto close = [&](const SPairValues& a, const SPairValues& b) {
        auto near = [&](double x, double y) {
            return std::fabs(x - y) <= options.tolerance * std::max(std::fabs(x), std::fabs(y));
        };
        return near(a.pi1, b.pi1) && near(a.pi2, b.pi2) && near(a.dxy, b.dxy);
    };
    if (m.m_Sites == 0) {
        result.posterior = result.spectrum;
        result.values = values(x0);
        return result;
    }
    const std::size_t stride = std::max<std::size_t>(options.stride, 1);
    double ll0 = m.Map(x0, pool, blocks, weights, stride, x1, weight);
    int passes = 1;
    SPairValues v0 = values(x0);
    while (passes + 3 <= options.maxPasses) {
        const double ll1 = m.Map(x1, pool, blocks, weights, stride, x2, weight);
        ++passes;
        // SQUAREM S3: alpha = -|r| / |v|, at most -1.
        double sr = 0.0, sv = 0.0;
        std::vector<double> r(x0.size()), v(x0.size());
        for (std::size_t c = 0; c < x0.size(); ++c) {
            r[c] = x1[c] - x0[c];
            v[c] = x2[c] - x1[c] - r[c];
            sr += r[c] * r[c];
            sv += v[c] * v[c];
        }
        double alpha = sv > 0 ? -std::sqrt(sr / sv) : -1.0;
        alpha = std::min(alpha, -1.0);
        // A cell the extrapolation would make negative keeps a tenth of its
        // share instead (it stays free to grow again), and the shares are
        // renormalised.
        xp.resize(x0.size());
        double total = 0.0;
        for (std::size_t c = 0; c < x0.size(); ++c) {
            xp[c] = x0[c] - 2.0 * alpha * r[c] + alpha * alpha * v[c];
            if (!(xp[c] > 0.0)) {
                xp[c] = 0.1 * std::min(x0[c], x2[c]);
            }
            total += xp[c];
        }
        for (double& x : xp) {
            x /= total;
        }
        m.Symmetrise(xp);
        double llp = m.Map(xp, pool, blocks, weights, stride, x3, weight);
        ++passes;
        if (llp < ll0) {
            // Not monotone: the plain EM steps instead.
            xp = x2;
            llp = m.Map(xp, pool, blocks, weights, stride, x3, weight);
            ++passes;
        }
        (void)ll1;
        const SPairValues v3 = values(x3);
        if (std::getenv("FST_TRACE")) {
            std::fprintf(stderr, "pass %d alpha %.3g ll %.12g pi1 %.8g pi2 %.8g dxy %.8g\n", passes,
                         alpha, llp, v3.pi1, v3.pi2, v3.dxy);
        }
        const bool done = close(v0, v3) && llp - ll0 <= options.tolerance * m.m_Sites;
        x0.swap(x3);
        v0 = v3;
        ll0 = m.Map(x0, pool, blocks, weights, stride, x1, weight);
        ++passes;
        if (done) {
            result.converged = true;
            break;
        }
    }
    result.spectrum.phi = x0;
    result.posterior = result.spectrum;
    result.posterior.phi = x1;
    result.values = values(x1);
    result.logLik = ll0;
    result.weight = weight;
    result.passes = passes;
    return result;
}

SJointFitResult CPairModel::Evaluate(const SJointSpectrum& spectrum, hts_tpool* pool) const {
    SJointFitResult r;
    r.spectrum = spectrum;
    r.posterior = spectrum;
    r.sites = m_Impl->m_Sites;
    if (r.sites > 0) {
        r.logLik = m_Impl->Map(spectrum.phi, pool, nullptr, nullptr, 1, r.posterior.phi, r.weight);
        r.passes = 1;
    }
    r.values = SpectrumValues(r.posterior);
    r.converged = true;
    return r;
}

void CPairModel::Posterior(const SJointSpectrum& spectrum, hts_tpool* pool,
                           const TSiteSink& sink) const {
    const SImpl& m = *m_Impl;
    // Rows of phi and of phi h for the three diversities.
    std::vector<double> weighted[3];
    for (auto& w : weighted) {
        w.assign(spectrum.phi.size(), 0.0);
    }
    for (unsigned j1 = 0; j1 <= m.m_N1; ++j1) {
        for (unsigned j2 = 0; j2 <= m.m_N2; ++j2) {
            const std::size_t c = j1 * m.m_Cols2 + j2;
            weighted[0][c] = spectrum.phi[c] * PoolWithin(j1, m.m_N1);
            weighted[1][c] = spectrum.phi[c] * PoolWithin(j2, m.m_N2);
            weighted[2][c] = spectrum.phi[c] * PoolBetween(j1, m.m_N1, j2, m.m_N2);
        }
    }
    SImpl::SSpectrumRows rows[4];
    m.Rows(spectrum.phi, rows[0]);
    for (int h = 0; h < 3; ++h) {
        m.Rows(weighted[h], rows[h + 1]);
    }
    struct SSite {
        int contig;
        std::int64_t pos;
        double e[3];
    };
    std::function<std::vector<SSite>(std::size_t)> job = [&](std::size_t part) {
        std::vector<SSite> out;
        const std::size_t pools = m.m_Store.Pools();
        SPoolRecordView v1, v2;
        double tau1[256], tau2[256];
        std::vector<double> l2(m.m_Cols2);
        const auto& chunks = m.m_Store.Chunks();
        for (std::size_t ci = m.m_Parts[part].first; ci < m.m_Parts[part].second; ++ci) {
            const SPoolChunk& c = chunks[ci];
            const unsigned char* p = c.m_Bytes.data();
            for (std::size_t i = 0; i < c.m_Offsets.size(); ++i) {
                p = DecodePair(p, pools, m.m_A, m.m_B, v1, v2);
                if (v1.depth == 0 || v2.depth == 0) {
                    continue;
                }
                for (unsigned t = 0; t < v1.count; ++t) {
                    tau1[t] = v1.Entry(t);
                }
                for (unsigned t = 0; t < v2.count; ++t) {
                    tau2[t] = v2.Entry(t);
                }
                double form[4];
                if (SImpl::Quiet(v1, v2)) {
                    const auto& b = m.m_Blocks[static_cast<std::size_t>(
                        m.m_BlockOf[static_cast<std::size_t>(m.m_DepthIndex1[v1.depth]) *
                                        m.m_Depths2 +
                                    static_cast<std::size_t>(m.m_DepthIndex2[v2.depth])])];
                    for (int k = 0; k < 4; ++k) {
                        const double* g = &rows[k].m_G[b.offset];
                        double z = 0.0;
                        for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                            double s = 0.0;
                            for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                                s += g[t1 * b.k2 + t2] * tau2[t2];
                            }
                            z += tau1[t1] * s;
                        }
                        form[k] = z;
                    }
                } else {
                    std::fill(l2.begin(), l2.end(), 0.0);
                    for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                        const double* q =
                            &m.m_Q2[static_cast<std::size_t>(m.RowOf2(v2.depth, v2.lo + t2)) *
                                    m.m_Cols2];
                        for (std::size_t j = 0; j < m.m_Cols2; ++j) {
                            l2[j] += tau2[t2] * q[j];
                        }
                    }
                    for (int k = 0; k < 4; ++k) {
                        double z = 0.0;
                        for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                            const std::size_t r =
                                static_cast<std::size_t>(m.RowOf1(v1.depth, v1.lo + t1));
                            z += tau1[t1] * Dot(&rows[k].m_W1[r * m.m_Cols2], l2.data(), m.m_Cols2);
                        }
                        form[k] = z;
                    }
                }
                out.push_back(SSite{c.m_Contig,
                                    c.m_FirstPos + c.m_Offsets[i],
                                    {form[1] / form[0], form[2] / form[0], form[3] / form[0]}});
            }
        }
        return out;
    };
    std::function<void(std::size_t, std::vector<SSite>&)> merge = [&](std::size_t,
                                                                      std::vector<SSite>& sites) {
        for (const SSite& s : sites) {
            sink(s.contig, s.pos, s.e[0], s.e[1], s.e[2]);
        }
    };
    RunOrdered<std::vector<SSite>>(pool, m.m_Parts.size(), job, merge);
}

std::vector<double> CPairModel::SiteLikelihoods(const SJointSpectrum& spectrum) const {
    std::vector<double> out;
    SJointSpectrum copy = spectrum;
    std::fill(copy.phi.begin(), copy.phi.end(), 0.0);
    // The posterior pass computes the likelihood as its first form; take it
    // through a sink that cannot see it: recompute directly instead.
    const SImpl& m = *m_Impl;
    SImpl::SSpectrumRows rows;
    m.Rows(spectrum.phi, rows);
    const std::size_t pools = m.m_Store.Pools();
    SPoolRecordView v1, v2;
    std::vector<double> l2(m.m_Cols2);
    for (const SPoolChunk& c : m.m_Store.Chunks()) {
        const unsigned char* p = c.m_Bytes.data();
        for (std::size_t i = 0; i < c.m_Offsets.size(); ++i) {
            p = DecodePair(p, pools, m.m_A, m.m_B, v1, v2);
            if (v1.depth == 0 || v2.depth == 0) {
                continue;
            }
            std::fill(l2.begin(), l2.end(), 0.0);
            for (unsigned t2 = 0; t2 < v2.count; ++t2) {
                const double* q =
                    &m.m_Q2[static_cast<std::size_t>(m.RowOf2(v2.depth, v2.lo + t2)) * m.m_Cols2];
                for (std::size_t j = 0; j < m.m_Cols2; ++j) {
                    l2[j] += v2.Entry(t2) * q[j];
                }
            }
            double z = 0.0;
            for (unsigned t1 = 0; t1 < v1.count; ++t1) {
                // Rows of quiet sites exist for their block's extent.
                double l1[1];
                (void)l1;
                std::vector<double> row(m.m_Cols1);
                BinomialRow(v1.depth, v1.lo + t1, m.m_N1, row.data());
                for (std::size_t j1 = 0; j1 < m.m_Cols1; ++j1) {
                    z += v1.Entry(t1) * row[j1] *
                         Dot(&spectrum.phi[j1 * m.m_Cols2], l2.data(), m.m_Cols2);
                }
            }
            out.push_back(z);
        }
    }
    return out;
}
