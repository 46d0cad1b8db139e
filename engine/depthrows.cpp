#include "engine/depthrows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/qt_assert.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Below this log a power (1 - k/N)^n is not a normal double.
constexpr double kMinNormalLog = -700.0;

// Binom(t; n, k/N) for t = 0..last into b. The ratio of neighbours is the
// exact fraction (n - t) k / ((t + 1) (N - k)) of whole numbers, so a step
// rounds twice and no rounded p/q is raised to the power t. Where the walk
// would start below the normal doubles it starts at the mode, from log
// gamma in long double (the logs there are of the order n log n).
void BinomialRow(int k, int N, int n, int last, std::vector<double>& b) {
    b.assign(static_cast<std::size_t>(last) + 1, 0.0);
    const double q = static_cast<double>(N - k) / N;
    auto up = [&](int t) {  // Binom(t + 1) / Binom(t) as numerator and denominator
        return std::pair<double, double>(static_cast<double>(n - t) * k,
                                         static_cast<double>(t + 1) * (N - k));
    };
    int start = 0;
    double top;
    if (n * std::log(q) > kMinNormalLog) {
        top = std::pow(q, n);
    } else {
        start = std::min(n, static_cast<int>(std::floor((n + 1.0) * k / N)));
        const long double lp = std::log(static_cast<long double>(k) / N);
        const long double lq = std::log(static_cast<long double>(N - k) / N);
        top = static_cast<double>(std::exp(std::lgamma(n + 1.0L) - std::lgamma(start + 1.0L) -
                                           std::lgamma(n - start + 1.0L) + start * lp +
                                           (n - start) * lq));
    }
    // Down from the start (the terms fall away from the mode, so none
    // overflows and those that underflow are below any that count), then up.
    double v = top;
    for (int t = start; t >= 0; --t) {
        if (t <= last) {
            b[static_cast<std::size_t>(t)] = v;
        }
        if (t > 0) {
            const auto r = up(t - 1);
            v = v * r.second / r.first;
        }
    }
    v = top;
    for (int t = start; t < std::min(last, n); ++t) {
        const auto r = up(t);
        v = v * r.first / r.second;
        b[static_cast<std::size_t>(t) + 1] = v;
    }
}

}  // namespace

const double* CBinomialCache::Terms(int n, int last, std::size_t& stride) {
    SDepth& d = m_Depths[n];
    if (d.last < last) {
        const std::size_t size =
            static_cast<std::size_t>(m_N - 1) * (static_cast<std::size_t>(last) + 1);
        if (m_Used - d.terms.size() * sizeof(double) + size * sizeof(double) > m_Budget) {
            return nullptr;
        }
        m_Used -= d.terms.size() * sizeof(double);
        d.terms.assign(size, 0.0);
        std::vector<double> b;
        for (int k = 1; k < m_N; ++k) {
            BinomialRow(k, m_N, n, last, b);
            std::copy(b.begin(), b.end(),
                      d.terms.begin() + static_cast<std::ptrdiff_t>(k - 1) * (last + 1));
        }
        d.last = last;
        m_Used += size * sizeof(double);
    }
    stride = static_cast<std::size_t>(d.last) + 1;
    return d.terms.data();
}

namespace {

// 1 - Pr(0 | k) - [folded] Pr(n | k) of depth n in a pool of N for k =
// 1..N-1 into out (entry k - 1).
void NotEnds(int N, int n, bool folded, std::vector<double>& out) {
    out.resize(static_cast<std::size_t>(N - 1));
    for (int k = 1; k < N; ++k) {
        const double x = static_cast<double>(k) / N;
        double notEnd = -std::expm1(n * std::log1p(-x));
        if (folded) {
            notEnd -= std::pow(x, n);
        }
        out[static_cast<std::size_t>(k - 1)] = notEnd;
    }
}

}  // namespace

const std::vector<double>& CBinomialCache::NotEnds(int n, bool folded) {
    std::vector<double>& out = m_Depths[n].notEnds[folded ? 1 : 0];
    if (out.empty()) {
        ::NotEnds(m_N, n, folded, out);
        m_Used += out.size() * sizeof(double);
    }
    return out;
}

void MixBinomial(const double* h, int N, int n, int last, double* out, CBinomialCache* cache) {
    QT_ASSERT(N >= 2 && n >= 1 && last >= 0);
    std::fill(out, out + last + 1, 0.0);
    std::size_t stride = 0;
    const double* terms = cache ? cache->Terms(n, last, stride) : nullptr;
    thread_local std::vector<double> b;
    for (int k = 1; k < N; ++k) {
        const double w = h[k];
        const double* row;
        if (terms) {
            row = terms + static_cast<std::size_t>(k - 1) * stride;
        } else {
            BinomialRow(k, N, n, last, b);
            row = b.data();
        }
        for (int t = 0; t <= last; ++t) {
            out[t] += w * row[t];
        }
    }
}

int LastEntry(const SSiteOptions& options, int n) {
    if (options.folded) {
        return n / 2;
    }
    return options.poolSize > 0 ? n : n - 1;
}

CDepthRows::CDepthRows(const SSiteOptions& options, std::unique_ptr<CFreqSpectrum> unit,
                       CBinomialCache* cache)
    : m_Options(options),
      m_P0(options.folded ? 0.5 : 1.0),
      m_Unit(std::move(unit)),
      m_Cache(cache) {
    m_Unit->SetFolded(options.folded);
    const int N = options.poolSize;
    if (N > 0) {
        m_PoolPrior.assign(static_cast<std::size_t>(N) + 1, 0.0);
        for (int k = 1; k < N; ++k) {
            m_PoolPrior[static_cast<std::size_t>(k)] = (*m_Unit)(k, N);
        }
        m_PoolDomain = (m_P0 - (*m_Unit)(0, N)) / m_P0;
    }
}

CDepthRows::~CDepthRows() = default;
CDepthRows::CDepthRows(CDepthRows&&) noexcept = default;
CDepthRows& CDepthRows::operator=(CDepthRows&&) noexcept = default;

void CDepthRows::Clear() {
    std::unordered_map<int, SRow>().swap(m_Rows);
    std::unordered_map<int, std::vector<double>>().swap(m_Envelopes);
    m_Unit->ClearCache();
}

const CDepthRows::SRow& CDepthRows::Row(int n, int last) {
    QT_ASSERT(n >= 1);
    SRow& row = m_Rows[n];
    last = std::max(0, std::min(last, LastEntry(m_Options, n)));
    if (!row.beta.empty() && static_cast<int>(row.beta.size()) > last) {
        return row;
    }
    const int N = m_Options.poolSize;
    if (N == 0) {
        // The same formulas as before pools had rows of their own: every
        // read is a chromosome, K = n.
        if (row.beta.empty()) {
            row.polymorphic = row.domain = (m_P0 - (*m_Unit)(0, n)) / m_P0;
            row.beta.push_back(0.0);
        }
        for (int t = static_cast<int>(row.beta.size()); t <= last; ++t) {
            row.beta.push_back((*m_Unit)(t, n) / m_P0);
        }
        return row;
    }
    // Every entry is computed on its own, so a longer row repeats the
    // shorter one bit for bit; rows grow by doubling.
    const int want =
        std::min(LastEntry(m_Options, n), std::max(last, 2 * static_cast<int>(row.beta.size())));
    row.beta.assign(static_cast<std::size_t>(want) + 1, 0.0);
    MixBinomial(m_PoolPrior.data(), N, n, want, row.beta.data(), m_Cache);
    for (double& b : row.beta) {
        b /= m_P0;
    }
    // P = sum_k f1(k) (1 - Pr(0 | k) - [folded] Pr(n | k)); one read tells
    // nothing folded, and the sum says so up to rounding.
    double p = 0.0;
    if (!(m_Options.folded && n == 1)) {
        thread_local std::vector<double> own;
        const std::vector<double>* notEnds = &own;
        if (m_Cache) {
            notEnds = &m_Cache->NotEnds(n, m_Options.folded);
        } else {
            NotEnds(N, n, m_Options.folded, own);
        }
        for (int k = 1; k < N; ++k) {
            p += m_PoolPrior[static_cast<std::size_t>(k)] *
                 (*notEnds)[static_cast<std::size_t>(k - 1)];
        }
    }
    row.polymorphic = std::max(0.0, p);
    row.domain = m_PoolDomain;
    return row;
}

const std::vector<double>& CDepthRows::Envelope(int n) {
    QT_ASSERT(n >= 1);
    std::vector<double>& e = m_Envelopes[n];
    if (!e.empty()) {
        return e;
    }
    const int last = LastEntry(m_Options, n);
    const int N = m_Options.poolSize;
    if (N == 0) {
        e.assign(static_cast<std::size_t>(std::max(last, 0)) + 1, 1.0);
        e[0] = 0.0;
        return e;
    }
    const std::vector<double> ones(static_cast<std::size_t>(N) + 1, 1.0);
    e.assign(static_cast<std::size_t>(last) + 1, 0.0);
    MixBinomial(ones.data(), N, n, last, e.data());
    return e;
}
