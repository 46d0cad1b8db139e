#include "model/obstable.hpp"

#include <gsl/gsl_math.h>
#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "base/qt_assert.hpp"
#include "base/warnings.hpp"

namespace {

// Binomial coefficient C(n, k) as a double, or +infinity when it lies beyond
// the double range. gsl_sf_choose signals overflow (from n of about 1030)
// through GSL's error handler, and the default handler aborts; we keep that
// handler, so the call is made only where the result is known to be finite.
// C(n, k) <= 2^n is finite for n <= 1023; above that the logarithm decides.
double Choose(unsigned n, unsigned k) {
    constexpr unsigned kAlwaysFinite = 1000;
    constexpr double kSafeLog = 700.0;  // well below ln(DBL_MAX) = 709.78
    if (n <= kAlwaysFinite) {
        return gsl_sf_choose(n, k);
    }
    const double lnc = gsl_sf_lnchoose(n, k);
    if (lnc < kSafeLog) {
        return gsl_sf_choose(n, k);
    }
    if (lnc < GSL_LOG_DBL_MAX) {
        return std::exp(lnc);
    }
    return std::numeric_limits<double>::infinity();
}

// Rows of the error-count distribution with more subsets than this are not
// evaluated in eSubsetLimit mode (kept from the subset enumeration this
// replaces, whose cost the limit bounded).
constexpr double kMaxSubsets = 1e6;
// In eSubsetLimit mode a row that falls to this value or below after a
// positive one ends the distribution.
constexpr double kRowStop = 1e-10;
// In eExact mode a table whose largest entry is below this is rescaled, so
// that no entry that matters is subnormal or lost.
constexpr double kSmallestUnscaled = 1e-250;

}  // namespace

const std::array<double, 256>& ErrProbTable() {
    // Filled once with the very expression the scores stand for, so a lookup
    // equals the direct evaluation bit for bit; it spares one pow() per read
    // and site.
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (unsigned q = 0; q < t.size(); ++q) {
            t[q] = std::pow(10.0, static_cast<int>(q) / -10.0);
        }
        return t;
    }();
    return table;
}

const std::vector<double>& CObsTableWorkspace::InverseRow(unsigned n) {
    QT_ASSERT(n <= kInverseRowMax);
    if (m_InverseRows.size() <= n) {
        m_InverseRows.resize(n + 1);
    }
    std::vector<double>& row = m_InverseRows[n];
    if (row.empty()) {
        row.resize(n + 1);
        for (unsigned t = 0; t <= n; ++t) {
            row[t] = 1.0 / gsl_sf_choose(n, t);
        }
    }
    return row;
}

const std::vector<double>& CObsTableWorkspace::LogRow(unsigned n) {
    if (m_LogRow.size() != n + 1 || m_LogRowDepth != n) {
        m_LogRowDepth = n;
        m_LogRow.resize(n + 1);
        for (unsigned t = 0; t <= n; ++t) {
            m_LogRow[t] = gsl_sf_lnchoose(n, t);
        }
    }
    return m_LogRow;
}

void ErrCountDist(const std::uint8_t* scores, std::size_t n, ETableMode mode, std::int64_t pos,
                  std::vector<double>& out) {
    // The number of erroneous reads is a sum of independent Bernoulli
    // variables (Poisson-binomial). Adding read r with error probability e
    // to the distribution p of the first r reads gives
    //   p'[k] = p[k] (1 - e) + p[k-1] e,
    // O(n^2) in all instead of C(n, k) subsets of n factors per row. All
    // terms are non-negative, so every entry keeps full relative precision.
    const auto& errProb = ErrProbTable();
    out.assign(n + 1, 0.0);
    std::vector<double>& p = out;
    p[0] = 1.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double e = errProb[scores[r]];
        const double ok = 1.0 - e;
        for (std::size_t k = r + 1; k > 0; --k) {
            p[k] = p[k] * ok + p[k - 1] * e;
        }
        p[0] *= ok;
    }
    if (mode == ETableMode::eExact) {
        return;
    }

    // Row rules, applied in place: row k is decided from rows below it,
    // which are final by then. Once the distribution has been positive and
    // then fallen to kRowStop or below, the rest is 0; a row of more than
    // kMaxSubsets subsets is reported and left 0.
    double maxSeen = 0.0;
    for (std::size_t k = 0; k <= n; ++k) {
        const double value = p[k];
        p[k] = 0.0;
        if (!(k == 0 || p[k - 1] > kRowStop || maxSeen == 0.0)) {
            continue;
        }
        if (Choose(static_cast<unsigned>(n), static_cast<unsigned>(k)) > kMaxSubsets) {
            std::ostringstream line;
            line << "Depth/numFalse too big at #" << pos << "; last prob: " << p[k - 1];
            Warn(line.str());
            continue;
        }
        p[k] = value;
        maxSeen = std::max(maxSeen, value);
    }
}

double ComputeObsTable(const std::uint8_t* minor, std::size_t nMinor, const std::uint8_t* major,
                       std::size_t nMajor, ETableMode mode, std::int64_t pos,
                       CObsTableWorkspace& ws, std::vector<double>& table) {
    std::vector<double>& a = ws.m_Minor;
    std::vector<double>& b = ws.m_Major;
    ErrCountDist(minor, nMinor, mode, pos, a);
    ErrCountDist(major, nMajor, mode, pos, b);

    const int numMinor = static_cast<int>(nMinor);
    const int total = static_cast<int>(nMinor + nMajor);
    table.assign(static_cast<std::size_t>(total) + 1, 0.0);
    // With i erroneous minor-labelled reads and j erroneous major-labelled
    // reads, t = numMinor - i + j reads truly carry the minor allele. The sum
    // over all such (i, j) covers every choice of which t reads those are;
    // dividing by C(total, t) gives the probability for one such choice.
    for (int t = 0; t <= total; ++t) {
        double sum = 0.0;
        if (t <= numMinor) {
            const int d = numMinor - t;
            const int m = std::min(total - numMinor, t);
            for (int j = 0; j <= m; ++j) {
                sum += b[static_cast<std::size_t>(j)] * a[static_cast<std::size_t>(d + j)];
            }
        } else {
            const int m = std::min(total - t, numMinor);
            for (int i = 0; i <= m; ++i) {
                sum +=
                    a[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(t - numMinor + i)];
            }
        }
        table[static_cast<std::size_t>(t)] = sum;
    }

    const unsigned n = static_cast<unsigned>(total);
    if (mode == ETableMode::eSubsetLimit) {
        // A coefficient beyond the double range is +infinity here, and the
        // sum, at most 1, divided by it is 0.
        for (unsigned t = 0; t <= n; ++t) {
            table[t] /= Choose(n, t);
        }
        return 0.0;
    }

    if (n <= CObsTableWorkspace::kInverseRowMax) {
        const std::vector<double>& inverse = ws.InverseRow(n);
        double largest = 0.0;
        for (unsigned t = 0; t <= n; ++t) {
            table[t] *= inverse[t];
            largest = std::max(largest, table[t]);
        }
        if (largest >= kSmallestUnscaled || largest == 0.0) {
            return 0.0;
        }
        // Undo the division: the log path below starts from the sums.
        for (unsigned t = 0; t <= n; ++t) {
            table[t] /= inverse[t];
        }
    }
    // ln(sum / C(n, t)), shifted so that the largest entry is 1. Entries
    // whose sum underflowed were below 1e-308 of a distribution whose
    // largest term is at least 1/(n+1), so they are negligible.
    const std::vector<double>& logChoose = ws.LogRow(n);
    double scale = -std::numeric_limits<double>::infinity();
    for (unsigned t = 0; t <= n; ++t) {
        const double sum = table[t];
        table[t] =
            sum > 0 ? std::log(sum) - logChoose[t] : -std::numeric_limits<double>::infinity();
        scale = std::max(scale, table[t]);
    }
    if (!(scale > -std::numeric_limits<double>::infinity())) {
        std::fill(table.begin(), table.end(), 0.0);
        return 0.0;
    }
    for (unsigned t = 0; t <= n; ++t) {
        table[t] = std::exp(table[t] - scale);
    }
    return scale;
}

int ReferenceClass(const std::array<std::size_t, 4>& counts, bool folded) {
    if (!folded) {
        return 0;
    }
    int best = 0;
    for (int w = 1; w < 4; ++w) {
        if (counts[static_cast<std::size_t>(w)] > counts[static_cast<std::size_t>(best)]) {
            best = w;
        }
    }
    return best;
}
