#pragma once
// The read-count side of a pool's likelihood, which every fit and every
// per-site computation over pool records needs.
//
// A pool of n chromosomes, j of them carrying the site's second allele,
// gives its d reads P(reads | j) = sum_t tau[t] Binom(t; d, j/n) (each read
// from a random chromosome; pool_record.hpp), so a record costs its kept
// entries once the rows Binom(t; d, j/n), j = 0..n, of its (d, t) are known.
// CBinomialRows keeps, per depth d, the rows of one run of t: whatever any
// record of that depth needs, computed once.

#include <cmath>
#include <cstddef>
#include <vector>

#include "pool/pool_record.hpp"

// Binom(t; d, j/n) for j = 0..n into out[0..n] (exactly [t = 0] at j = 0 and
// [t = d] at j = n).
void BinomialRow(unsigned d, unsigned t, unsigned n, double* out);

// A record's kept entries tau[lo .. lo + count) as doubles (out[0] is
// tau[lo]), the largest (1) in its place.
void RecordEntries(const SPoolRecordView& v, double* out);

class CBinomialRows {
  public:
    explicit CBinomialRows(unsigned n) : m_N(n) {}

    unsigned N() const { return m_N; }
    std::size_t Cols() const { return m_N + 1; }

    // Makes sure the rows (d, t) for t = lo .. lo + count - 1 exist: the
    // depth's run grows to the smallest one holding both.
    void Cover(unsigned d, unsigned lo, unsigned count);

    // Depths below this may have rows.
    std::size_t Depths() const { return m_Runs.size(); }
    // The run of depth d: rows First(d) .. First(d) + Count(d) - 1.
    unsigned First(unsigned d) const { return d < m_Runs.size() ? m_Runs[d].lo : 0; }
    unsigned Count(unsigned d) const { return d < m_Runs.size() ? m_Runs[d].count : 0; }
    // Row (d, t), covered: Cols() values.
    const double* Row(unsigned d, unsigned t) const {
        const SRun& run = m_Runs[d];
        return &run.values[(t - run.lo) * Cols()];
    }

    // P(reads | j) for j = 0..n of a record (depth > 0), relative to the
    // largest entry of its table, into out[0..n]; covers its rows first.
    void Likelihood(const SPoolRecordView& v, double* out);

  private:
    struct SRun {
        unsigned lo = 0, count = 0;
        std::vector<double> values;  // count x (n + 1)
    };
    unsigned m_N;
    std::vector<SRun> m_Runs;  // by depth
    std::vector<double> m_Tau;
};

// A sum of logarithms kept as a product in mantissa and binary exponent:
// one multiplication per term instead of a logarithm. Weighted terms other
// than 1 take their logarithm.
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
