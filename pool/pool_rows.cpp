#include "pool/pool_rows.hpp"

#include <gsl/gsl_sf_gamma.h>

#include <algorithm>

#include "base/qt_assert.hpp"

void BinomialRow(unsigned d, unsigned t, unsigned n, double* out) {
    const double lc = gsl_sf_lnchoose(d, t);
    out[0] = t == 0 ? 1.0 : 0.0;
    for (unsigned j = 1; j < n; ++j) {
        const double x = static_cast<double>(j) / n;
        out[j] = std::exp(lc + t * std::log(x) + (d - t) * std::log1p(-x));
    }
    out[n] = t == d ? 1.0 : 0.0;
}

void RecordEntries(const SPoolRecordView& v, double* out) {
    v.Entries(out);
}

void CBinomialRows::Cover(unsigned d, unsigned lo, unsigned count) {
    QT_ASSERT(count > 0 && lo + count <= d + 1);
    if (m_Runs.size() <= d) {
        m_Runs.resize(d + 1);
    }
    SRun& run = m_Runs[d];
    if (run.count > 0 && lo >= run.lo && lo + count <= run.lo + run.count) {
        return;
    }
    const unsigned newLo = run.count > 0 ? std::min(lo, run.lo) : lo;
    const unsigned newHi = run.count > 0 ? std::max(lo + count, run.lo + run.count) : lo + count;
    const std::size_t cols = Cols();
    std::vector<double> values(static_cast<std::size_t>(newHi - newLo) * cols);
    for (unsigned t = newLo; t < newHi; ++t) {
        double* row = &values[(t - newLo) * cols];
        if (run.count > 0 && t >= run.lo && t < run.lo + run.count) {
            std::copy_n(&run.values[(t - run.lo) * cols], cols, row);
        } else {
            BinomialRow(d, t, m_N, row);
        }
    }
    run.lo = newLo;
    run.count = newHi - newLo;
    run.values.swap(values);
}

void CBinomialRows::Likelihood(const SPoolRecordView& v, double* out) {
    Cover(v.depth, v.lo, v.count);
    m_Tau.resize(v.count);
    RecordEntries(v, m_Tau.data());
    const std::size_t cols = Cols();
    std::fill_n(out, cols, 0.0);
    for (unsigned i = 0; i < v.count; ++i) {
        const double a = m_Tau[i];
        const double* q = Row(v.depth, v.lo + i);
        for (std::size_t j = 0; j < cols; ++j) {
            out[j] += a * q[j];
        }
    }
}
