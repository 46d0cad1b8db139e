#include "fst/joint_fit.hpp"

#include <gsl/gsl_sf_gamma.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "base/qt_assert.hpp"
#include "common/taskpool.hpp"
#include "pool/pool_record.hpp"
#include "spectrum/pool_diversity.hpp"

namespace {

// A site is quiet when both pools' kept entries start at 0 and number at
// most this many.
constexpr unsigned kQuietEntries = 8;
// Cells of a quiet block, whatever the lengths its sites use.
constexpr std::size_t kBlockCells = kQuietEntries * kQuietEntries;
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

// A quiet site against its block G, kQuietEntries x kQuietEntries cells
// (zeros past the rows and columns the depth pair uses), and the site's
// entries padded with zeros to kQuietEntries: z = (tauR^T G) tauC, the
// columns' products summed in two lanes (even and odd columns) and the
// lanes added last. Fixed sizes, so that the sums run in vector registers
// without a branch on the site's lengths; the same sums in the same order
// without SSE2.
static_assert(kQuietEntries == 8, "the quiet kernels hold a block's row in four pairs");
inline double QuietForm(const double* g, const double* tauR, const double* tauC) {
#ifdef __SSE2__
    __m128d y0 = _mm_setzero_pd(), y1 = y0, y2 = y0, y3 = y0;
    for (unsigned tR = 0; tR < kQuietEntries; ++tR) {
        const __m128d a = _mm_set1_pd(tauR[tR]);
        const double* row = g + tR * kQuietEntries;
        y0 = _mm_add_pd(y0, _mm_mul_pd(a, _mm_loadu_pd(row)));
        y1 = _mm_add_pd(y1, _mm_mul_pd(a, _mm_loadu_pd(row + 2)));
        y2 = _mm_add_pd(y2, _mm_mul_pd(a, _mm_loadu_pd(row + 4)));
        y3 = _mm_add_pd(y3, _mm_mul_pd(a, _mm_loadu_pd(row + 6)));
    }
    __m128d s = _mm_mul_pd(y0, _mm_loadu_pd(tauC));
    s = _mm_add_pd(s, _mm_mul_pd(y1, _mm_loadu_pd(tauC + 2)));
    s = _mm_add_pd(s, _mm_mul_pd(y2, _mm_loadu_pd(tauC + 4)));
    s = _mm_add_pd(s, _mm_mul_pd(y3, _mm_loadu_pd(tauC + 6)));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
#else
    double y[kQuietEntries] = {};
    for (unsigned tR = 0; tR < kQuietEntries; ++tR) {
        const double a = tauR[tR];
        const double* row = g + tR * kQuietEntries;
        for (unsigned tC = 0; tC < kQuietEntries; ++tC) {
            y[tC] += a * row[tC];
        }
    }
    double lane[2] = {y[0] * tauC[0], y[1] * tauC[1]};
    for (unsigned tC = 2; tC < kQuietEntries; ++tC) {
        lane[tC & 1] += y[tC] * tauC[tC];
    }
    return lane[0] + lane[1];
#endif
}

// H += f tauR tauC^T over a quiet block.
inline void QuietAdd(double* h, double f, const double* tauR, const double* tauC) {
#ifdef __SSE2__
    const __m128d c0 = _mm_loadu_pd(tauC), c1 = _mm_loadu_pd(tauC + 2), c2 = _mm_loadu_pd(tauC + 4),
                  c3 = _mm_loadu_pd(tauC + 6);
    for (unsigned tR = 0; tR < kQuietEntries; ++tR) {
        const __m128d a = _mm_set1_pd(f * tauR[tR]);
        double* row = h + tR * kQuietEntries;
        _mm_storeu_pd(row, _mm_add_pd(_mm_loadu_pd(row), _mm_mul_pd(a, c0)));
        _mm_storeu_pd(row + 2, _mm_add_pd(_mm_loadu_pd(row + 2), _mm_mul_pd(a, c1)));
        _mm_storeu_pd(row + 4, _mm_add_pd(_mm_loadu_pd(row + 4), _mm_mul_pd(a, c2)));
        _mm_storeu_pd(row + 6, _mm_add_pd(_mm_loadu_pd(row + 6), _mm_mul_pd(a, c3)));
    }
#else
    for (unsigned tR = 0; tR < kQuietEntries; ++tR) {
        const double a = f * tauR[tR];
        double* row = h + tR * kQuietEntries;
        for (unsigned tC = 0; tC < kQuietEntries; ++tC) {
            row[tC] += a * tauC[tC];
        }
    }
#endif
}

double Dot(const double* x, const double* y, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += x[i] * y[i];
    }
    return s;
}

// Sum of logarithms as a product kept in mantissa and binary exponent: one
// multiplication per term instead of a logarithm.
class CLogSum {
  public:
    void Add(double z) {
        m_Mantissa *= z;
        if (!(m_Mantissa > 1e-250 && m_Mantissa < 1e250)) {
            int e = 0;
            m_Mantissa = std::frexp(m_Mantissa, &e);
            m_Exponent += e;
        }
    }
    void AddWeighted(double z, double w) {
        if (w == 1.0) {
            Add(z);
        } else {
            m_Extra += w * std::log(z);
        }
    }
    double Value() const { return std::log(m_Mantissa) + m_Exponent * M_LN2 + m_Extra; }

  private:
    double m_Mantissa = 1.0;
    long long m_Exponent = 0;
    double m_Extra = 0.0;
};

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

// Inside, the pair is oriented: pool R (rows) and pool C (columns), C the
// one with fewer chromosomes, so that the costly inner products run over
// C's n_C + 1 counts. phi is held as (n_R + 1) x (n_C + 1), R's count
// slowest; the outside's pool 1 is R or C as m_Swap says.
struct CPairModel::SImpl {
    const CPoolStore& m_Store;
    std::size_t m_PoolR, m_PoolC;
    unsigned m_NR, m_NC;
    bool m_Swap;  // pool 1 is C
    bool m_Folded;
    std::size_t m_ColsR, m_ColsC;
    std::uint64_t m_Sites = 0;

    // Rows (d, t) of each pool: m_RowOfX[d][t] is the row, or -1.
    std::vector<std::vector<int>> m_RowOfR, m_RowOfC;
    std::vector<double> m_QR, m_QC;  // rows x cols
    std::size_t m_RowsR = 0, m_RowsC = 0;
    // Rows of R that non-quiet sites use, numbered for the per-part sums.
    std::vector<int> m_PolyRowR;  // row -> poly row or -1
    std::vector<std::size_t> m_PolyRows;
    // Quiet blocks: one per depth pair, as long as its longest sites.
    struct SBlock {
        unsigned dR, dC, kR, kC;
        std::size_t offset;  // of its kR x kC cells
    };
    std::vector<SBlock> m_Blocks;
    std::size_t m_BlockCells = 0;
    std::vector<int> m_DepthIndexR, m_DepthIndexC;  // depth -> index or -1
    std::size_t m_DepthsR = 0, m_DepthsC = 0;
    std::vector<int> m_BlockOfPair;                            // per depth index pair, -1 for none
    std::vector<std::pair<std::size_t, std::size_t>> m_Parts;  // chunks [first, last)

    SImpl(const CPoolStore& store, std::size_t a, std::size_t b, unsigned n1, unsigned n2,
          bool folded)
        : m_Store(store), m_Swap(n1 < n2), m_Folded(folded) {
        m_PoolR = m_Swap ? b : a;
        m_PoolC = m_Swap ? a : b;
        m_NR = m_Swap ? n2 : n1;
        m_NC = m_Swap ? n1 : n2;
        m_ColsR = m_NR + 1;
        m_ColsC = m_NC + 1;
    }

    // Walks the sites of a chunk in order: f(i, r, c, both) for site i with
    // the records of pools R and C, both when both pools count there, and
    // then their entries decoded into tauR and tauC.
    template <typename F>
    void PairSites(const SPoolChunk& chunk, double* tauR, double* tauC, F&& f) const {
        const unsigned char* pr = chunk.Column(m_PoolR);
        const unsigned char* pc = chunk.Column(m_PoolC);
        SPoolRecordView r, c;
        const std::size_t n = chunk.Sites();
        for (std::size_t i = 0; i < n; ++i) {
            ReadPoolRecordHead(pr, r);
            ReadPoolRecordHead(pc, c);
            const bool both = r.count != 0 && c.count != 0;
            if (both && tauR) {
                pr = r.EntriesPadded(tauR);
                pc = c.EntriesPadded(tauC);
            } else {
                pr = r.End();
                pc = c.End();
            }
            f(i, r, c, both);
        }
    }
    static bool Quiet(const SPoolRecordView& r, const SPoolRecordView& c) {
        return r.lo == 0 && c.lo == 0 && r.count <= kQuietEntries && c.count <= kQuietEntries;
    }
    std::size_t BlockOf(const SPoolRecordView& r, const SPoolRecordView& c) const {
        return static_cast<std::size_t>(
            m_BlockOfPair[static_cast<std::size_t>(m_DepthIndexR[r.depth]) * m_DepthsC +
                          static_cast<std::size_t>(m_DepthIndexC[c.depth])]);
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
    std::size_t RowR(unsigned d, unsigned t) const {
        return static_cast<std::size_t>(m_RowOfR[d][t]);
    }
    std::size_t RowC(unsigned d, unsigned t) const {
        return static_cast<std::size_t>(m_RowOfC[d][t]);
    }

    // Between the outside's layout (pool 1's count slowest) and ours.
    std::vector<double> Inside(const std::vector<double>& phi) const {
        if (!m_Swap) {
            return phi;
        }
        std::vector<double> t(phi.size());
        for (std::size_t jR = 0; jR < m_ColsR; ++jR) {
            for (std::size_t jC = 0; jC < m_ColsC; ++jC) {
                t[jR * m_ColsC + jC] = phi[jC * m_ColsR + jR];
            }
        }
        return t;
    }
    std::vector<double> Outside(const std::vector<double>& phi) const {
        if (!m_Swap) {
            return phi;
        }
        std::vector<double> t(phi.size());
        for (std::size_t jR = 0; jR < m_ColsR; ++jR) {
            for (std::size_t jC = 0; jC < m_ColsC; ++jC) {
                t[jC * m_ColsR + jR] = phi[jR * m_ColsC + jC];
            }
        }
        return t;
    }
    // The diversities of an inside spectrum, as the outside names them.
    SPairValues Values(const std::vector<double>& phi) const {
        double wR = 0, wC = 0, b = 0;
        for (unsigned jR = 0; jR <= m_NR; ++jR) {
            for (unsigned jC = 0; jC <= m_NC; ++jC) {
                const double p = phi[jR * m_ColsC + jC];
                wR += p * PoolWithin(jR, m_NR);
                wC += p * PoolWithin(jC, m_NC);
                b += p * PoolBetween(jR, m_NR, jC, m_NC);
            }
        }
        SPairValues v;
        v.pi1 = m_Swap ? wC : wR;
        v.pi2 = m_Swap ? wR : wC;
        v.dxy = b;
        v.fst = HudsonFst(v.pi1, v.pi2, v.dxy);
        return v;
    }
    void Symmetrise(std::vector<double>& phi) const {
        if (!m_Folded) {
            return;
        }
        const std::size_t n = phi.size();
        for (std::size_t c = 0; c < n / 2; ++c) {
            // (jR, jC) -> (nR - jR, nC - jC) is c -> n - 1 - c.
            const double mean = 0.5 * (phi[c] + phi[n - 1 - c]);
            phi[c] = phi[n - 1 - c] = mean;
        }
    }

    void Setup();

    // What a pass needs of a spectrum: W = Q_R phi, and the quiet blocks'
    // G = W Q_C^T (each block's kR x kC cells from its offset).
    struct SRows {
        std::vector<double> m_W;  // rowsR x colsC
        std::vector<double> m_G;
    };
    void Rows(const std::vector<double>& phi, SRows& out) const;

    // Per part: the sums of a pass.
    struct SSums {
        CLogSum m_LogLik;
        double m_Weight = 0.0;
        std::vector<double> m_H;   // quiet blocks
        std::vector<double> m_PV;  // poly rows x colsC
    };
    void SumPart(std::size_t part, const SRows& rows, const CSiteBlocks* blocks,
                 const std::vector<double>* weights, std::size_t stride, SSums& sums) const;
    // The EM map on inside spectra; returns the log-likelihood at phi.
    double Map(const std::vector<double>& phi, hts_tpool* pool, const CSiteBlocks* blocks,
               const std::vector<double>* weights, std::size_t stride, std::vector<double>& next,
               double& weight) const;

    // The forms tauR^T G_k tauC of one site for K spectra (rows[k]); the
    // extents are those of rows[0].
    template <int K>
    void Forms(const SPoolRecordView& r, const SPoolRecordView& c, const SRows* const* rows,
               double* tauR, double* tauC, std::vector<double>& lc, double* out) const;
};

void CPairModel::SImpl::Setup() {
    // Pass 1: the sites of the pair, their depths, the rows the non-quiet
    // ones use, and the quiet blocks with their largest entries.
    auto markDepth = [](std::vector<int>& index, unsigned d) {
        if (index.size() <= d) {
            index.resize(d + 1, -1);
        }
        index[d] = 0;
    };
    std::map<std::pair<unsigned, unsigned>, SBlock> quiet;
    for (const SPoolChunk& chunk : m_Store.Chunks()) {
        PairSites(chunk, nullptr, nullptr,
                  [&](std::size_t, const SPoolRecordView& r, const SPoolRecordView& c, bool both) {
                      if (!both) {
                          return;
                      }
                      ++m_Sites;
                      markDepth(m_DepthIndexR, r.depth);
                      markDepth(m_DepthIndexC, c.depth);
                      if (Quiet(r, c)) {
                          SBlock& b = quiet[{r.depth, c.depth}];
                          b.dR = r.depth;
                          b.dC = c.depth;
                          b.kR = std::max(b.kR, r.count);
                          b.kC = std::max(b.kC, c.count);
                          return;
                      }
                      for (unsigned t = 0; t < r.count; ++t) {
                          Row(m_RowOfR, r.depth, r.lo + t) = -2;  // used by a non-quiet site
                      }
                      for (unsigned t = 0; t < c.count; ++t) {
                          Row(m_RowOfC, c.depth, c.lo + t) = 0;
                      }
                  });
    }
    for (int& x : m_DepthIndexR) {
        if (x == 0) {
            x = static_cast<int>(m_DepthsR++);
        }
    }
    for (int& x : m_DepthIndexC) {
        if (x == 0) {
            x = static_cast<int>(m_DepthsC++);
        }
    }
    m_BlockOfPair.assign(m_DepthsR * m_DepthsC, -1);
    for (auto& entry : quiet) {
        SBlock& b = entry.second;
        b.offset = m_BlockCells;
        m_BlockCells += kBlockCells;
        for (unsigned t = 0; t < b.kR; ++t) {
            int& row = Row(m_RowOfR, b.dR, t);
            if (row == -1) {
                row = 0;
            }
        }
        for (unsigned t = 0; t < b.kC; ++t) {
            Row(m_RowOfC, b.dC, t) = 0;
        }
        m_BlockOfPair[static_cast<std::size_t>(m_DepthIndexR[b.dR]) * m_DepthsC +
                      static_cast<std::size_t>(m_DepthIndexC[b.dC])] =
            static_cast<int>(m_Blocks.size());
        m_Blocks.push_back(b);
    }
    // Number the rows and fill Q.
    for (std::size_t d = 0; d < m_RowOfR.size(); ++d) {
        for (std::size_t t = 0; t < m_RowOfR[d].size(); ++t) {
            int& row = m_RowOfR[d][t];
            if (row == -1) {
                continue;
            }
            const bool poly = row == -2;
            row = static_cast<int>(m_RowsR++);
            m_QR.resize(m_RowsR * m_ColsR);
            BinomialRow(static_cast<unsigned>(d), static_cast<unsigned>(t), m_NR,
                        &m_QR[(m_RowsR - 1) * m_ColsR]);
            m_PolyRowR.push_back(poly ? static_cast<int>(m_PolyRows.size()) : -1);
            if (poly) {
                m_PolyRows.push_back(m_RowsR - 1);
            }
        }
    }
    for (std::size_t d = 0; d < m_RowOfC.size(); ++d) {
        for (std::size_t t = 0; t < m_RowOfC[d].size(); ++t) {
            int& row = m_RowOfC[d][t];
            if (row == -1) {
                continue;
            }
            row = static_cast<int>(m_RowsC++);
            m_QC.resize(m_RowsC * m_ColsC);
            BinomialRow(static_cast<unsigned>(d), static_cast<unsigned>(t), m_NC,
                        &m_QC[(m_RowsC - 1) * m_ColsC]);
        }
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

void CPairModel::SImpl::Rows(const std::vector<double>& phi, SRows& out) const {
    // W = Q_R phi.
    out.m_W.assign(m_RowsR * m_ColsC, 0.0);
    for (std::size_t row = 0; row < m_RowsR; ++row) {
        const double* q = &m_QR[row * m_ColsR];
        double* w = &out.m_W[row * m_ColsC];
        for (std::size_t jR = 0; jR < m_ColsR; ++jR) {
            const double x = q[jR];
            if (x == 0.0) {
                continue;
            }
            const double* f = &phi[jR * m_ColsC];
            for (std::size_t jC = 0; jC < m_ColsC; ++jC) {
                w[jC] += x * f[jC];
            }
        }
    }
    // G of each quiet block: W's rows against Q_C's.
    out.m_G.assign(m_BlockCells, 0.0);
    for (const SBlock& b : m_Blocks) {
        double* g = &out.m_G[b.offset];
        for (unsigned tR = 0; tR < b.kR; ++tR) {
            const double* w = &out.m_W[RowR(b.dR, tR) * m_ColsC];
            for (unsigned tC = 0; tC < b.kC; ++tC) {
                g[tR * kQuietEntries + tC] = Dot(w, &m_QC[RowC(b.dC, tC) * m_ColsC], m_ColsC);
            }
        }
    }
}

template <int K>
void CPairModel::SImpl::Forms(const SPoolRecordView& r, const SPoolRecordView& c,
                              const SRows* const* rows, double* tauR, double* tauC,
                              std::vector<double>& lc, double* out) const {
    if (Quiet(r, c)) {
        const SBlock& b = m_Blocks[BlockOf(r, c)];
        for (int k = 0; k < K; ++k) {
            out[k] = QuietForm(&rows[k]->m_G[b.offset], tauR, tauC);
        }
        return;
    }
    // L_C over C's counts, then every row of R against it.
    std::fill(lc.begin(), lc.end(), 0.0);
    for (unsigned t = 0; t < c.count; ++t) {
        const double a = tauC[t];
        const double* q = &m_QC[RowC(c.depth, c.lo + t) * m_ColsC];
        for (std::size_t j = 0; j < m_ColsC; ++j) {
            lc[j] += a * q[j];
        }
    }
    for (int k = 0; k < K; ++k) {
        double z = 0.0;
        for (unsigned t = 0; t < r.count; ++t) {
            z +=
                tauR[t] * Dot(&rows[k]->m_W[RowR(r.depth, r.lo + t) * m_ColsC], lc.data(), m_ColsC);
        }
        out[k] = z;
    }
}

void CPairModel::SImpl::SumPart(std::size_t part, const SRows& rows, const CSiteBlocks* blocks,
                                const std::vector<double>* weights, std::size_t stride,
                                SSums& sums) const {
    sums.m_H.assign(m_BlockCells, 0.0);
    sums.m_PV.assign(m_PolyRows.size() * m_ColsC, 0.0);
    const auto& chunks = m_Store.Chunks();
    double tauR[kMaxRecordEntries], tauC[kMaxRecordEntries];
    std::vector<double> lc(m_ColsC);
    const SRows* one[1] = {&rows};
    // Sites of one depth pair often follow each other: the block of the
    // last one.
    unsigned lastR = 0, lastC = 0;
    const SBlock* block = nullptr;
    for (std::size_t ci = m_Parts[part].first; ci < m_Parts[part].second; ++ci) {
        if (ci % stride != 0) {
            continue;
        }
        const SPoolChunk& chunk = chunks[ci];
        // The weight of the site's bootstrap block; sites come in genome
        // order, so the block changes only where the position crosses into
        // the next one.
        double w = 1.0;
        std::int64_t blockEnd = -1;
        PairSites(
            chunk, tauR, tauC,
            [&](std::size_t i, const SPoolRecordView& r, const SPoolRecordView& c, bool both) {
                if (!both) {
                    return;
                }
                if (blocks) {
                    const std::int64_t pos = chunk.Pos(i);
                    if (pos >= blockEnd) {
                        w = (*weights)[blocks->Block(ci, pos)];
                        blockEnd = (pos / blocks->Size() + 1) * blocks->Size();
                    }
                    if (w == 0.0) {
                        return;
                    }
                }
                if (Quiet(r, c)) {
                    if (!block || r.depth != lastR || c.depth != lastC) {
                        block = &m_Blocks[BlockOf(r, c)];
                        lastR = r.depth;
                        lastC = c.depth;
                    }
                    const double z = QuietForm(&rows.m_G[block->offset], tauR, tauC);
                    sums.m_LogLik.AddWeighted(z, w);
                    sums.m_Weight += w;
                    QuietAdd(&sums.m_H[block->offset], w / z, tauR, tauC);
                    return;
                }
                double z;
                Forms<1>(r, c, one, tauR, tauC, lc, &z);
                sums.m_LogLik.AddWeighted(z, w);
                sums.m_Weight += w;
                const double f = w / z;
                for (unsigned t = 0; t < r.count; ++t) {
                    double* pv =
                        &sums.m_PV[static_cast<std::size_t>(m_PolyRowR[RowR(r.depth, r.lo + t)]) *
                                   m_ColsC];
                    const double a = f * tauR[t];
                    for (std::size_t j = 0; j < m_ColsC; ++j) {
                        pv[j] += a * lc[j];
                    }
                }
            });
    }
}

double CPairModel::SImpl::Map(const std::vector<double>& phi, hts_tpool* pool,
                              const CSiteBlocks* blocks, const std::vector<double>* weights,
                              std::size_t stride, std::vector<double>& next, double& weight) const {
    SRows rows;
    Rows(phi, rows);
    SSums total;
    total.m_H.assign(m_BlockCells, 0.0);
    total.m_PV.assign(m_PolyRows.size() * m_ColsC, 0.0);
    double logLik = 0.0;
    std::function<SSums(std::size_t)> job = [&](std::size_t part) {
        SSums s;
        SumPart(part, rows, blocks, weights, stride, s);
        return s;
    };
    std::function<void(std::size_t, SSums&)> merge = [&](std::size_t, SSums& s) {
        logLik += s.m_LogLik.Value();
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

    // V = the poly rows, plus each quiet block's H against Q_C's rows; then
    // A = Q_R^T V and phi' = phi A / W.
    std::vector<double> v(m_RowsR * m_ColsC, 0.0);
    for (std::size_t k = 0; k < m_PolyRows.size(); ++k) {
        std::copy_n(&total.m_PV[k * m_ColsC], m_ColsC, &v[m_PolyRows[k] * m_ColsC]);
    }
    for (const SBlock& b : m_Blocks) {
        for (unsigned tR = 0; tR < b.kR; ++tR) {
            double* vr = &v[RowR(b.dR, tR) * m_ColsC];
            for (unsigned tC = 0; tC < b.kC; ++tC) {
                const double h = total.m_H[b.offset + tR * kQuietEntries + tC];
                if (h == 0.0) {
                    continue;
                }
                const double* q = &m_QC[RowC(b.dC, tC) * m_ColsC];
                for (std::size_t j = 0; j < m_ColsC; ++j) {
                    vr[j] += h * q[j];
                }
            }
        }
    }
    next.assign(m_ColsR * m_ColsC, 0.0);
    for (std::size_t row = 0; row < m_RowsR; ++row) {
        const double* q = &m_QR[row * m_ColsR];
        const double* vr = &v[row * m_ColsC];
        for (std::size_t jR = 0; jR < m_ColsR; ++jR) {
            const double x = q[jR];
            if (x == 0.0) {
                continue;
            }
            double* a = &next[jR * m_ColsC];
            for (std::size_t jC = 0; jC < m_ColsC; ++jC) {
                a[jC] += x * vr[jC];
            }
        }
    }
    const double inv = total.m_Weight > 0 ? 1.0 / total.m_Weight : 0.0;
    double sum = 0.0;
    for (std::size_t cell = 0; cell < next.size(); ++cell) {
        next[cell] *= phi[cell] * inv;
        sum += next[cell];
    }
    // The map keeps the total; this only undoes rounding.
    if (sum > 0) {
        for (double& x : next) {
            x /= sum;
        }
    }
    Symmetrise(next);
    return logLik;
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
    s.n1 = m.m_Swap ? m.m_NC : m.m_NR;
    s.n2 = m.m_Swap ? m.m_NR : m.m_NC;
    s.folded = m.m_Folded;
    s.phi.assign(m.m_ColsR * m.m_ColsC, 0.0);
    double spread = 0.0;
    for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
        for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
            if (j1 + j2 == 0) {
                continue;
            }
            const double x = static_cast<double>(j1) / s.n1 + static_cast<double>(j2) / s.n2;
            s.phi[j1 * (s.n2 + 1) + j2] = 1.0 / x;
            spread += 1.0 / x;
        }
    }
    for (double& x : s.phi) {
        x *= 0.05 / spread;
    }
    s.phi[0] = 0.95;
    // Symmetric inside is symmetric outside.
    std::vector<double> inside = m.Inside(s.phi);
    m.Symmetrise(inside);
    s.phi = m.Outside(inside);
    return s;
}

SJointFitResult CPairModel::Fit(const SJointFitOptions& options, hts_tpool* pool,
                                const SJointSpectrum* start, const CSiteBlocks* blocks,
                                const std::vector<double>* weights) const {
    const SImpl& m = *m_Impl;
    SJointFitResult result;
    result.spectrum = start ? *start : DefaultStart();
    result.sites = m.m_Sites;
    std::vector<double> x = m.Inside(result.spectrum.phi);
    if (m.m_Sites == 0) {
        result.posterior = result.spectrum;
        result.values = m.Values(x);
        return result;
    }
    const std::size_t stride = std::max<std::size_t>(options.stride, 1);
    const std::size_t n = x.size();
    double weight = 0.0;
    std::vector<double> fx;  // the EM map of x
    double llx = m.Map(x, pool, blocks, weights, stride, fx, weight);
    int passes = 1;
    SPairValues before = m.Values(fx);
    // Anderson acceleration of the EM map (type II, as in Walker and Ni 2011;
    // for EM, Henderson and Varadhan 2019): with f(x) = F(x) - x and the last
    // differences dX of iterates and dF of their f, the next iterate is
    //   F(x) - (dX + dF) g,  g = argmin |f(x) - dF g|,
    // cells pushed below 0 keep a tenth of their EM value, and a step whose
    // log-likelihood falls below the current one gives way to the plain EM
    // step with the memory cleared: the log-likelihood never decreases.
    std::vector<std::vector<double>> dX, dF;
    std::vector<double> f(n), fPrev, xPrev, next, fnext, gram, rhs;
    while (passes < options.maxPasses) {
        for (std::size_t c = 0; c < n; ++c) {
            f[c] = fx[c] - x[c];
        }
        if (!xPrev.empty()) {
            if (dX.size() == options.memory) {
                dX.erase(dX.begin());
                dF.erase(dF.begin());
            }
            dX.emplace_back(n);
            dF.emplace_back(n);
            for (std::size_t c = 0; c < n; ++c) {
                dX.back()[c] = x[c] - xPrev[c];
                dF.back()[c] = f[c] - fPrev[c];
            }
        }
        next = fx;
        const std::size_t k = dF.size();
        if (k > 0) {
            // Normal equations, with a ridge of 1e-10 of their mean diagonal
            // against collinear differences; Gaussian elimination.
            gram.assign(k * k, 0.0);
            rhs.assign(k, 0.0);
            double trace = 0.0;
            for (std::size_t a = 0; a < k; ++a) {
                for (std::size_t b = 0; b <= a; ++b) {
                    gram[a * k + b] = gram[b * k + a] = Dot(dF[a].data(), dF[b].data(), n);
                }
                rhs[a] = Dot(dF[a].data(), f.data(), n);
                trace += gram[a * k + a];
            }
            for (std::size_t a = 0; a < k; ++a) {
                gram[a * k + a] += 1e-10 * trace / static_cast<double>(k);
            }
            for (std::size_t a = 0; a < k; ++a) {
                for (std::size_t b = a + 1; b < k; ++b) {
                    const double q = gram[b * k + a] / gram[a * k + a];
                    for (std::size_t l = a; l < k; ++l) {
                        gram[b * k + l] -= q * gram[a * k + l];
                    }
                    rhs[b] -= q * rhs[a];
                }
            }
            for (std::size_t a = k; a-- > 0;) {
                for (std::size_t l = a + 1; l < k; ++l) {
                    rhs[a] -= gram[a * k + l] * rhs[l];
                }
                rhs[a] /= gram[a * k + a];
            }
            for (std::size_t a = 0; a < k; ++a) {
                for (std::size_t c = 0; c < n; ++c) {
                    next[c] -= rhs[a] * (dX[a][c] + dF[a][c]);
                }
            }
            double total = 0.0;
            for (std::size_t c = 0; c < n; ++c) {
                if (!(next[c] > 0.0)) {
                    next[c] = 0.1 * fx[c];
                }
                total += next[c];
            }
            for (double& v : next) {
                v /= total;
            }
            m.Symmetrise(next);
        }
        double llNext = m.Map(next, pool, blocks, weights, stride, fnext, weight);
        ++passes;
        if (k > 0 && llNext < llx) {
            next = fx;
            dX.clear();
            dF.clear();
            llNext = m.Map(next, pool, blocks, weights, stride, fnext, weight);
            ++passes;
        }
        const SPairValues after = m.Values(fnext);
        // A diversity is settled when it moves by less than the tolerance
        // of its value, or of one site's worth (1 / weight): values that
        // fall towards 0, as where no site is polymorphic, shrink by a
        // constant share per pass and would never settle relative to
        // themselves.
        const double floor = weight > 0 ? 1.0 / weight : 1.0;
        auto near = [&](double a, double b) {
            return std::fabs(a - b) <=
                   options.tolerance * std::max({std::fabs(a), std::fabs(b), floor});
        };
        const bool done = near(before.pi1, after.pi1) && near(before.pi2, after.pi2) &&
                          near(before.dxy, after.dxy) &&
                          llNext - llx <= options.tolerance * static_cast<double>(m.m_Sites);
        xPrev.swap(x);
        fPrev.swap(f);
        f.resize(n);
        x.swap(next);
        fx.swap(fnext);
        llx = llNext;
        before = after;
        if (done) {
            result.converged = true;
            break;
        }
    }
    result.spectrum.phi = m.Outside(x);
    result.posterior = result.spectrum;
    result.posterior.phi = m.Outside(fx);
    result.values = m.Values(fx);
    result.logLik = llx;
    result.weight = weight;
    result.passes = passes;
    return result;
}

SJointFitResult CPairModel::Evaluate(const SJointSpectrum& spectrum, hts_tpool* pool) const {
    const SImpl& m = *m_Impl;
    SJointFitResult r;
    r.spectrum = spectrum;
    r.posterior = spectrum;
    r.sites = m.m_Sites;
    std::vector<double> inside = m.Inside(spectrum.phi), next = inside;
    if (r.sites > 0) {
        r.logLik = m.Map(inside, pool, nullptr, nullptr, 1, next, r.weight);
        r.passes = 1;
    }
    r.posterior.phi = m.Outside(next);
    r.values = m.Values(next);
    r.converged = true;
    return r;
}

void CPairModel::Posterior(const SJointSpectrum& spectrum, hts_tpool* pool,
                           const TSiteSink& sink) const {
    const SImpl& m = *m_Impl;
    const std::vector<double> phi = m.Inside(spectrum.phi);
    // phi and phi h for the three diversities (R's, C's, between).
    std::vector<double> weighted[3];
    for (auto& w : weighted) {
        w.assign(phi.size(), 0.0);
    }
    for (unsigned jR = 0; jR <= m.m_NR; ++jR) {
        for (unsigned jC = 0; jC <= m.m_NC; ++jC) {
            const std::size_t cell = jR * m.m_ColsC + jC;
            weighted[0][cell] = phi[cell] * PoolWithin(jR, m.m_NR);
            weighted[1][cell] = phi[cell] * PoolWithin(jC, m.m_NC);
            weighted[2][cell] = phi[cell] * PoolBetween(jR, m.m_NR, jC, m.m_NC);
        }
    }
    SImpl::SRows rows[4];
    m.Rows(phi, rows[0]);
    for (int h = 0; h < 3; ++h) {
        m.Rows(weighted[h], rows[h + 1]);
    }
    const SImpl::SRows* forms[4] = {&rows[0], &rows[1], &rows[2], &rows[3]};
    struct SSite {
        int contig;
        std::int64_t pos;
        bool counts;
        double e[3];
    };
    std::function<std::vector<SSite>(std::size_t)> job = [&](std::size_t part) {
        std::vector<SSite> out;
        double tauR[kMaxRecordEntries], tauC[kMaxRecordEntries];
        std::vector<double> lc(m.m_ColsC);
        const auto& chunks = m.m_Store.Chunks();
        for (std::size_t ci = m.m_Parts[part].first; ci < m.m_Parts[part].second; ++ci) {
            const SPoolChunk& chunk = chunks[ci];
            m.PairSites(
                chunk, tauR, tauC,
                [&](std::size_t i, const SPoolRecordView& r, const SPoolRecordView& c, bool both) {
                    const std::int64_t pos = chunk.Pos(i);
                    if (!both) {
                        out.push_back(SSite{chunk.m_Contig, pos, false, {0.0, 0.0, 0.0}});
                        return;
                    }
                    double f[4];
                    m.Forms<4>(r, c, forms, tauR, tauC, lc, f);
                    const double within1 = (m.m_Swap ? f[2] : f[1]) / f[0];
                    const double within2 = (m.m_Swap ? f[1] : f[2]) / f[0];
                    out.push_back(
                        SSite{chunk.m_Contig, pos, true, {within1, within2, f[3] / f[0]}});
                });
        }
        return out;
    };
    std::function<void(std::size_t, std::vector<SSite>&)> merge = [&](std::size_t,
                                                                      std::vector<SSite>& sites) {
        for (const SSite& s : sites) {
            sink(s.contig, s.pos, s.counts ? s.e : nullptr);
        }
    };
    RunOrdered<std::vector<SSite>>(pool, m.m_Parts.size(), job, merge);
}

std::vector<std::pair<std::int64_t, double>> CPairModel::SiteLikelihoods(
    const SJointSpectrum& spectrum) const {
    const SImpl& m = *m_Impl;
    SImpl::SRows rows;
    m.Rows(m.Inside(spectrum.phi), rows);
    const SImpl::SRows* forms[1] = {&rows};
    std::vector<std::pair<std::int64_t, double>> out;
    double tauR[kMaxRecordEntries], tauC[kMaxRecordEntries];
    std::vector<double> lc(m.m_ColsC);
    for (const SPoolChunk& chunk : m.m_Store.Chunks()) {
        m.PairSites(
            chunk, tauR, tauC,
            [&](std::size_t i, const SPoolRecordView& r, const SPoolRecordView& c, bool both) {
                if (!both) {
                    return;
                }
                double z;
                m.Forms<1>(r, c, forms, tauR, tauC, lc, &z);
                out.emplace_back(chunk.Pos(i), z);
            });
    }
    return out;
}
