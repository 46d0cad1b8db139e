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

// Turns the sums U[t] of table[0..kept) (the rest 0) into the entries
// U[t] / C(n, t) of an exact-mode table and returns its log scale: 0 unless
// the largest entry would fall below kSmallestUnscaled.
double FinishExact(unsigned n, std::size_t kept, CObsTableWorkspace& ws,
                   std::vector<double>& table) {
    if (n <= CObsTableWorkspace::kInverseRowMax) {
        const std::vector<double>& inverse = ws.InverseRow(n);
        double largest = 0.0;
        for (std::size_t t = 0; t < kept; ++t) {
            table[t] *= inverse[t];
            largest = std::max(largest, table[t]);
        }
        if (largest >= kSmallestUnscaled || largest == 0.0) {
            return 0.0;
        }
        // Undo the division: the log path below starts from the sums.
        for (std::size_t t = 0; t < kept; ++t) {
            table[t] /= inverse[t];
        }
    }
    // ln(sum / C(n, t)), shifted so that the largest entry is 1. Entries
    // whose sum underflowed were below 1e-308 of a distribution whose
    // largest term is at least 1/(n+1), so they are negligible.
    const std::vector<double>& logChoose = ws.LogRow(n);
    double scale = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < kept; ++t) {
        const double sum = table[t];
        table[t] =
            sum > 0 ? std::log(sum) - logChoose[t] : -std::numeric_limits<double>::infinity();
        scale = std::max(scale, table[t]);
    }
    if (!(scale > -std::numeric_limits<double>::infinity())) {
        std::fill(table.begin(), table.end(), 0.0);
        return 0.0;
    }
    for (std::size_t t = 0; t < kept; ++t) {
        table[t] = std::exp(table[t] - scale);
    }
    return scale;
}

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

const std::vector<double>& CObsTableWorkspace::LogFactorials(unsigned n) {
    if (m_LogFactorials.empty()) {
        m_LogFactorials.push_back(0.0);
    }
    while (m_LogFactorials.size() <= n) {
        const double k = static_cast<double>(m_LogFactorials.size());
        m_LogFactorials.push_back(m_LogFactorials.back() + std::log(k));
    }
    return m_LogFactorials;
}

double CObsTableWorkspace::PoolZeta(unsigned n, int pool) {
    // Z_t is a Riemann sum of Binom(t; n, f), whose integral over f is
    // 1/(n+1) for every t and whose maximum is at most 1. For a function g
    // on [0, 1] that rises then falls, h sum_k g(kh) lies within
    // [int g - h max g, int g + 2 h max g]; leaving out k = 0 and k = N
    // (at most one of them non-zero, at most 1) gives
    //   N/(n+1) - 2 <= Z_t <= N/(n+1) + 2,
    // so zeta <= 5/3 once N >= 8 (n+1). Below that Z is summed, where that
    // costs little.
    constexpr double kSummedMax = 4e6;
    if (pool >= 8 * (static_cast<double>(n) + 1)) {
        return 5.0 / 3.0;
    }
    if (static_cast<double>(n) * pool > kSummedMax) {
        return std::numeric_limits<double>::infinity();
    }
    if (pool != m_ZetaPool) {
        m_ZetaPool = pool;
        m_Zeta.clear();
    }
    if (m_Zeta.size() <= n) {
        m_Zeta.resize(n + 1, 0.0);
    }
    if (m_Zeta[n] == 0.0) {
        const std::vector<double>& lf = LogFactorials(n);
        std::vector<double> z(n + 1, 0.0);
        for (int k = 1; k < pool; ++k) {
            const double f = static_cast<double>(k) / pool;
            const double lf1 = std::log(f), lf0 = std::log1p(-f);
            for (unsigned t = 0; t <= n; ++t) {
                z[t] += std::exp(lf[n] - lf[t] - lf[n - t] + t * lf1 + (n - t) * lf0);
            }
        }
        const auto range = std::minmax_element(z.begin(), z.end());
        // The sums are of positive terms: a relative 1e-9 covers their
        // rounding many times over.
        m_Zeta[n] = *range.first > 0 ? *range.second / *range.first * (1 + 1e-9)
                                     : std::numeric_limits<double>::infinity();
    }
    return m_Zeta[n];
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
    return FinishExact(n, n + 1, ws, table);
}

namespace {

// The error counts' distributions of ComputeObsTableRun are rescaled by this
// power of two whenever their largest entry falls below its inverse: exact,
// and far from both ends of the double range.
constexpr double kRescale = 0x1p600;
constexpr double kRescaleBelow = 0x1p-600;

// Entries 0..min(n, cap) of the error-count distribution of the reads, by
// ErrCountDist's recurrence, which never feeds an entry from those above
// it: the entries are ErrCountDist's bit for bit, times kRescale^k for the
// k rescalings (none while that one's entries stay normal; checked every 64
// reads, when the largest can have fallen by at most 0.2^64 since, 0.2 being
// the least share of its mass a read leaves the largest entry but for a
// score of 0, whose e = 1 moves the mass exactly).
// The recurrence on a fixed number of entries, which the compiler keeps in
// registers: most sites need a few entries of many reads.
template <std::size_t kEntries>
void ErrCountFixed(const std::uint8_t* scores, std::size_t n, double* out) {
    const auto& errProb = ErrProbTable();
    double p[kEntries] = {1.0};
    for (std::size_t r = 0; r < n; ++r) {
        const double e = errProb[scores[r]];
        const double ok = 1.0 - e;
#pragma GCC unroll 16
        for (std::size_t k = kEntries - 1; k > 0; --k) {
            p[k] = p[k] * ok + p[k - 1] * e;
        }
        p[0] *= ok;
        if ((r & 63) == 63) {
            double largest = 0.0;
            for (double x : p) {
                largest = std::max(largest, x);
            }
            if (largest > 0 && largest < kRescaleBelow) {
                for (double& x : p) {
                    x *= kRescale;
                }
            }
        }
    }
    std::copy(p, p + kEntries, out);
}

void ErrCountCapped(const std::uint8_t* scores, std::size_t n, std::size_t cap,
                    std::vector<double>& p) {
    const std::size_t top = std::min(n, cap);
    // Entries above r + 1 are still 0 after r reads, and 0 (1 - e) + 0 e is
    // 0: running every entry from the first read changes no bit.
    if (top < 8) {
        p.resize(8);
        ErrCountFixed<8>(scores, n, p.data());
        p.resize(top + 1);
        return;
    }
    if (top < 16) {
        p.resize(16);
        ErrCountFixed<16>(scores, n, p.data());
        p.resize(top + 1);
        return;
    }
    const auto& errProb = ErrProbTable();
    p.assign(top + 1, 0.0);
    p[0] = 1.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double e = errProb[scores[r]];
        const double ok = 1.0 - e;
        for (std::size_t k = std::min(r + 1, top); k > 0; --k) {
            p[k] = p[k] * ok + p[k - 1] * e;
        }
        p[0] *= ok;
        if ((r & 63) == 63) {
            const double largest = *std::max_element(p.begin(), p.end());
            if (largest > 0 && largest < kRescaleBelow) {
                for (double& x : p) {
                    x *= kRescale;
                }
            }
        }
    }
}

}  // namespace

void ComputeObsTableRun(const std::uint8_t* minor, std::size_t nMinor, const std::uint8_t* major,
                        std::size_t nMajor, double keep, CObsTableWorkspace& ws,
                        std::vector<double>& table, SObsTableRun& run) {
    const std::size_t m = nMinor, M = nMajor, n = m + M;
    // The class with fewer reads is followed whole; the other only as far
    // as the run needs: with minor-labelled reads' errors I (law a) and the
    // others' J (law b), entry t sums a[i] b[j] over m - i + j = t, so the
    // entries t <= tHi need b up to min(M, tHi) alone, and the entries
    // t >= tLo a up to min(m, n - tLo) alone.
    const bool upward = m <= M;
    std::vector<double>& a = ws.m_Minor;
    std::vector<double>& b = ws.m_Major;
    // Errors of the cut class that the run reaches: 7 serve almost every
    // site of depth 30 and qualities 2..41 (entries 0..7 of one class in
    // registers); only speed depends on the guess.
    std::size_t c = 7;
    if (upward) {
        ErrCountCapped(minor, m, m, a);
    } else {
        ErrCountCapped(major, M, M, b);
    }
    table.resize(n + 1);
    for (;;) {
        std::size_t tLo = 0, tHi = n;
        if (upward) {
            tHi = std::min(n, m + c);
            ErrCountCapped(major, M, std::min(M, tHi), b);
        } else {
            tLo = m > c ? m - c : 0;
            ErrCountCapped(minor, m, std::min(m, n - tLo), a);
        }
        // ComputeObsTable's sums, in its order.
        for (std::size_t t = tLo; t <= tHi; ++t) {
            double sum = 0.0;
            if (t <= m) {
                const std::size_t d = m - t;
                const std::size_t top = std::min(M, t);
                for (std::size_t j = 0; j <= top; ++j) {
                    sum += b[j] * a[d + j];
                }
            } else {
                const std::size_t top = std::min(n - t, m);
                for (std::size_t i = 0; i <= top; ++i) {
                    sum += a[i] * b[t - m + i];
                }
            }
            table[t] = sum;
        }
        // U[t] / C(n, t) as FinishExact makes it, then over the largest.
        double largest = 0.0;
        bool logs = n > CObsTableWorkspace::kInverseRowMax;
        if (!logs) {
            const std::vector<double>& inverse = ws.InverseRow(static_cast<unsigned>(n));
            for (std::size_t t = tLo; t <= tHi; ++t) {
                table[t] *= inverse[t];
                largest = std::max(largest, table[t]);
            }
            if (largest < kSmallestUnscaled && largest > 0.0) {
                for (std::size_t t = tLo; t <= tHi; ++t) {
                    table[t] /= inverse[t];
                }
                logs = true;
            }
        }
        if (logs) {
            const std::vector<double>& logChoose = ws.LogRow(static_cast<unsigned>(n));
            double scale = -std::numeric_limits<double>::infinity();
            for (std::size_t t = tLo; t <= tHi; ++t) {
                const double sum = table[t];
                table[t] = sum > 0 ? std::log(sum) - logChoose[t]
                                   : -std::numeric_limits<double>::infinity();
                scale = std::max(scale, table[t]);
            }
            for (std::size_t t = tLo; t <= tHi; ++t) {
                table[t] = std::isfinite(scale) ? std::exp(table[t] - scale) : 0.0;
            }
            largest = std::isfinite(scale) ? 1.0 : 0.0;
        }
        std::size_t top = tLo;
        for (std::size_t t = tLo; t <= tHi; ++t) {
            if (table[t] > table[top]) {
                top = t;
            }
        }
        if (largest > 0.0) {
            for (std::size_t t = tLo; t <= tHi; ++t) {
                table[t] /= largest;
            }
        }
        // The run must end inside the range on the side that was cut.
        std::size_t first = tLo, last = tHi;
        bool closed = true;
        if (upward && tHi < n) {
            closed = false;
            for (std::size_t t = top + 1; t <= tHi; ++t) {
                if (table[t] < keep) {
                    last = t;
                    closed = true;
                    break;
                }
            }
        } else if (!upward && tLo > 0) {
            closed = false;
            for (std::size_t t = top; t-- > tLo;) {
                if (table[t] < keep) {
                    first = t;
                    closed = true;
                    break;
                }
            }
        }
        // A range of zeros (reads of score 0 are errors for sure) holds no
        // run yet.
        if (!(largest > 0.0)) {
            closed = tLo == 0 && tHi == n;
        }
        if (closed) {
            std::fill(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(first), 0.0);
            std::fill(table.begin() + static_cast<std::ptrdiff_t>(last) + 1, table.end(), 0.0);
            run.first = first;
            run.last = last;
            run.top = top;
            return;
        }
        c = 2 * c + 4;
    }
}

namespace {

// Share of a site's likelihood (times min(1, lam), see below) that the
// entries a bounded table leaves out may carry, under any spectrum of the
// class. The store's own cut (engine/sitestore.hpp) takes 1/4 of the 1e-10
// rule; this is 1/100 of it, so both together, with rounding, stay inside.
constexpr double kDropShare = 1e-12;
// Bounds below this are not trusted to double arithmetic: a bound that
// rounds to less counts as this much.
constexpr double kTiny = 1e-300;
// A binomial row whose first entry is below this is not started from it
// (later entries could be subnormal); those reads go one by one.
constexpr double kBinomStart = 1e-250;
// Runs of at most this many reads enter one by one where the distribution
// is short (their convolution costs more than the reads in registers).
constexpr std::uint64_t kReadByRead = 4;

// Adds count reads of error probability e to the error-count distribution
// acc[0..support], keeping entries 0..cap; an entry never feeds those below
// it, so the kept entries are those of the whole distribution. A run enters
// as Binom(count, e), by the recurrence
//   Binom(k+1) = Binom(k) (count-k)/(k+1) e/(1-e),
// convolved with acc: O(cap min(count, cap)) instead of O(cap count) read
// by read. All terms are non-negative, so each entry keeps full relative
// precision either way. acc, bin and next hold cap + 1 entries at least;
// entries of acc past support are never read (a read's recurrence may write
// them: with zeros there, it writes what a longer support would hold).
void AddRun(double e, std::size_t count, std::size_t cap, double*& acc, std::size_t& support,
            double* bin, double*& next) {
    const double ok = 1.0 - e;
    // ok^count by repeated squaring (a few products instead of pow()).
    double first = 1.0, base = ok;
    for (std::size_t left = count; left > 0; left >>= 1) {
        if (left & 1) {
            first *= base;
        }
        base *= base;
    }
    if (count == 1 || !(first >= kBinomStart)) {
        for (std::size_t r = 0; r < count; ++r) {
            if (support < cap) {
                acc[++support] = 0.0;
            }
            for (std::size_t k = support; k > 0; --k) {
                acc[k] = acc[k] * ok + acc[k - 1] * e;
            }
            acc[0] *= ok;
        }
        return;
    }
    const std::size_t kmax = std::min(count, cap);
    // The first run starts the distribution: it is its own row.
    const bool alone = support == 0 && acc[0] == 1.0;
    double* row = alone ? acc : bin;
    row[0] = first;
    const double odds = e / ok;
    for (std::size_t k = 0; k < kmax; ++k) {
        row[k + 1] = row[k] * odds * static_cast<double>(count - k) / static_cast<double>(k + 1);
    }
    if (alone) {
        support = kmax;
        return;
    }
    const std::size_t last = support;
    const std::size_t len = std::min(last + count, cap) + 1;
    for (std::size_t t = 0; t < len; ++t) {
        const std::size_t lo = t > last ? t - last : 0;
        const std::size_t hi = std::min(t, kmax);
        double sum = 0.0;
        for (std::size_t k = lo; k <= hi; ++k) {
            sum += bin[k] * acc[t - k];
        }
        next[t] = sum;
    }
    std::swap(acc, next);
    support = len - 1;
}

// Reads that enter one by one, each as its error probability and its
// complement (e[i], ok[i]), on kEntries entries held in registers: the
// recurrence of AddRun, every entry run from the first read (zeros stay
// zeros above the support, and entries above cap never feed the kept ones).
template <std::size_t kEntries>
void AddReads(const double* e, const double* ok, std::size_t reads, std::size_t cap, double* acc,
              std::size_t& support) {
    double p[kEntries];
    for (std::size_t k = 0; k < kEntries; ++k) {
        p[k] = k <= support ? acc[k] : 0.0;
    }
    for (std::size_t r = 0; r < reads; ++r) {
        const double er = e[r], okr = ok[r];
#pragma GCC unroll 16
        for (std::size_t k = kEntries - 1; k > 0; --k) {
            p[k] = p[k] * okr + p[k - 1] * er;
        }
        p[0] *= okr;
    }
    support = std::min(cap, support + reads);
    for (std::size_t k = 0; k < kEntries; ++k) {
        acc[k] = p[k];
    }
}

// Error-count distribution of the reads of runs, entries 0..min(n, cap):
// the longest run first, then the others in their order.
void ErrCountRuns(const SScoreRun* runs, std::size_t count, std::size_t cap, CObsTableWorkspace& ws,
                  std::vector<double>& out) {
    const auto& errProb = ErrProbTable();
    std::size_t longest = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (runs[i].count > runs[longest].count) {
            longest = i;
        }
    }
    std::vector<std::size_t>& order = ws.m_RunOrder;
    order.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        order[k] = k == 0 ? longest : (k <= longest ? k - 1 : k);
    }
    // Three buffers of cap + 1 entries (16 at least, for AddReads).
    const std::size_t size = std::max<std::size_t>(cap + 1, 16);
    if (ws.m_RunBuffers.size() < 3 * size) {
        ws.m_RunBuffers.resize(3 * size);
    }
    double* acc = ws.m_RunBuffers.data();
    double* bin = acc + size;
    double* next = bin + size;
    acc[0] = 1.0;
    std::size_t support = 0;
    for (std::size_t k = 0; k < count;) {
        const SScoreRun& run = runs[order[k]];
        const double e = errProb[run.score];
        // A stretch of runs that enter read by read: short runs (a short
        // convolution costs more than its reads one by one in registers),
        // and runs whose binomial row would start too low.
        std::size_t end = k;
        while (end < count && cap < 16) {
            const SScoreRun& r = runs[order[end]];
            if (r.count > kReadByRead) {
                const double ok = 1.0 - errProb[r.score];
                double first = 1.0, base = ok;
                for (std::uint64_t left = r.count; left > 0; left >>= 1) {
                    if (left & 1) {
                        first *= base;
                    }
                    base *= base;
                }
                if (first >= kBinomStart) {
                    break;
                }
            }
            ++end;
        }
        if (end > k) {
            std::size_t reads = 0;
            for (std::size_t i = k; i < end; ++i) {
                reads += static_cast<std::size_t>(runs[order[i]].count);
            }
            if (ws.m_ReadErr.size() < reads) {
                ws.m_ReadErr.resize(reads);
                ws.m_ReadOk.resize(reads);
            }
            double* es = ws.m_ReadErr.data();
            double* oks = ws.m_ReadOk.data();
            std::size_t r = 0;
            for (std::size_t i = k; i < end; ++i) {
                const double ei = errProb[runs[order[i]].score];
                for (std::uint64_t c = runs[order[i]].count; c > 0; --c, ++r) {
                    es[r] = ei;
                    oks[r] = 1.0 - ei;
                }
            }
            if (cap < 8) {
                AddReads<8>(es, oks, reads, cap, acc, support);
            } else if (cap < 10) {
                AddReads<10>(es, oks, reads, cap, acc, support);
            } else if (cap < 12) {
                AddReads<12>(es, oks, reads, cap, acc, support);
            } else {
                AddReads<16>(es, oks, reads, cap, acc, support);
            }
            k = end;
            continue;
        }
        AddRun(e, static_cast<std::size_t>(run.count), cap, acc, support, bin, next);
        ++k;
    }
    out.assign(acc, acc + support + 1);
}

}  // namespace

// The bound. Write U[t] = T[t] C(n, t) for the chance that the errors turn
// the m minor-labelled and M reference-labelled reads into t true minor
// reads: U is the law of m - I + J, I and J the error counts of the two
// classes (laws A and B), so sum_t U[t] = 1. The table keeps t <= t* =
// m + c and leaves the rest out; L' <= L = L' + sum_{t>t*} T[t] w_t.
//
// Each left-out term is compared with a kept one, T[t] w_t <= rho_t
// T[t'] w_t', so that L - L' <= (sum_t rho_t) L'. Three facts give rho_t:
//  (1) Folded with a pool, for f <= 1/2 and t' <= min(t, n-t), each of
//      Binom(t; n, f) and Binom(n-t; n, f) is at most
//      C(n,t)/C(n,t') Binom(t'; n, f) (the ratio is that times
//      (f/(1-f))^(t-t') or ^(n-t-t'), at most 1), so for every symmetric
//      prior w_t <= 2 C(n,t)/C(n,t') w_t' and rho_t = 2 U[t]/U[t'].
//      Without a pool w_t = pi(min(t, n-t)) <= w_t' for 1 <= t' <=
//      min(t, n-t) (v non-increasing) and C(n,t') <= C(n,t): rho_t =
//      U[t]/U[t'] (t = n is weighed as t' = 0 exactly).
//  (2) Unfolded, for t > t', the law of k proportional to Binom(t; n, k/N)
//      over 1..N-1 has a likelihood ratio to the one of t' that grows with
//      k, so it is stochastically larger and the mean of the non-increasing
//      v under it is smaller: w_t <= (Z_t/Z_t') w_t' (Z as in PoolZeta;
//      without a pool w_t = pi(t) <= pi(t') directly, and pi(n) = 0), so
//      rho_t = zeta T[t] / T[t'].
//  (3) U[t] <= max_{j >= t-m} B[j] (a mixture of B's entries from t-m on)
//      and sum_{t>t*} U[t] <= P(J > c). B is computed exactly up to J* =
//      min(M, t*); beyond, B[j]/C(M, j) is log-concave (Newton's
//      inequalities: the generating function prod (1 - e + e x) has real
//      roots), so B[j+1]/B[j] <= q (M-j)/(j+1), q = B[J*] J* / (B[J*-1]
//      (M-J*+1)) for j >= J*.
// For t <= n - t* the witness t' is the largest kept U (or T); above, the
// largest up to n - t. With lam = -log max_t T[t] <= -log L (the weights
// sum to 1), the table is cut when sum_t rho_t <= kDropShare min(1, lam):
// then log L changes by less than 1e-12 |log L|.
bool CanLeaveOutAbove(const SSpectrumClass& spectra, std::size_t m, std::size_t M,
                      std::size_t tStar, const std::vector<double>& b, const std::vector<double>& u,
                      CObsTableWorkspace& ws) {
    QT_ASSERT(tStar >= m && tStar < m + M && b.size() == std::min(M, tStar) + 1 &&
              u.size() > tStar);
    const std::size_t n = m + M;
    const std::size_t c = tStar - m;
    const std::size_t cap = b.size() - 1;
    const bool pool = spectra.poolSize > 0;

    // Bounds on B up to M: the exact entries up to cap, then the ratio
    // bound. Once its ratio r is below 1/2 at stop, the bounds beyond are
    // at most bound[stop] r^(j - stop) (the ratios only fall), whose sum is
    // at most bound[stop] r / (1 - r). bound[] holds the suffix maxima up
    // to stop (bound[j] >= B[j'] for all j' >= j); none counts as less than
    // kTiny.
    std::vector<double>& bound = ws.m_Conv;
    bound.assign(b.begin(), b.end());
    std::size_t stop = cap;
    double last = 0.0;  // the ratio beyond stop
    if (cap < M) {
        if (cap == 0 || !(b[cap - 1] >= kSmallestUnscaled) || !(b[cap] >= kSmallestUnscaled)) {
            return false;
        }
        // A relative 1e-12 more than the ratio covers its rounding.
        const double q = b[cap] / b[cap - 1] * static_cast<double>(cap) /
                         static_cast<double>(M - cap + 1) * (1 + 1e-12);
        double v = b[cap];
        for (std::size_t j = cap; j < M; ++j) {
            const double ratio = q * static_cast<double>(M - j) / static_cast<double>(j + 1);
            if (ratio < 0.5) {
                last = ratio;
                break;
            }
            v *= ratio;
            bound.push_back(v);
            stop = j + 1;
        }
    }
    double tail = 0.0;  // bounds P(J > c)
    for (std::size_t j = c + 1; j <= stop; ++j) {
        tail += std::max(bound[j], kTiny);
    }
    tail += std::max(bound[stop] * last / (1 - last), static_cast<double>(M - stop) * kTiny);
    bound[stop] = std::max(bound[stop], kTiny);
    for (std::size_t j = stop; j-- > 0;) {
        bound[j] = std::max(bound[j], bound[j + 1]);
    }
    // The suffix maxima at j, j + 1, ... in turn.
    double geometric = 0.0;
    std::size_t geometricAt = 0;
    auto suffixMax = [&](std::size_t j) {
        if (j <= stop) {
            return bound[j];
        }
        if (geometricAt == 0) {
            geometric = bound[stop] * std::pow(last, static_cast<double>(j - stop));
        } else {
            QT_ASSERT(j == geometricAt + 1);
            geometric *= last;
        }
        geometricAt = j;
        return std::max(geometric, kTiny);
    };

    // Prefix maxima of U over the witnesses, in ws.m_Prefix: from t' = 0
    // with a pool, from 1 without (entry 0 then holds U[0] alone).
    std::vector<double>& best = ws.m_Prefix;
    best.assign(tStar + 1, 0.0);
    const std::size_t lo = pool ? 0 : 1;
    best[0] = u[0];
    double run = 0.0;
    for (std::size_t t = lo; t <= tStar; ++t) {
        run = std::max(run, u[t]);
        best[t] = run;
    }
    double largest1 = 0.0;  // max U[t] over 1 <= t <= t*
    for (std::size_t t = 1; t <= tStar; ++t) {
        largest1 = std::max(largest1, u[t]);
    }
    // T[0] = U[0] and T[t] <= U[t]/n for 0 < t < n, so this bounds max T.
    const double maxT = std::max(u[0], largest1 / static_cast<double>(n));
    const double lam = -std::log(maxT);
    const double budget = kDropShare * std::min(1.0, lam);
    if (!(budget > 0) || !(best[tStar] > 0)) {
        return false;
    }

    const std::size_t mirror = std::max(tStar, n - std::min(n, tStar)) + 1;
    double sum = 0.0;
    if (spectra.folded) {
        const double phi = pool ? 2.0 : 1.0;
        sum = phi * tail / best[tStar];
        for (std::size_t t = mirror; t <= n && sum <= budget; ++t) {
            const double w = best[n - t];
            if (!(w > 0)) {
                return false;
            }
            sum += phi * suffixMax(t - m) / w;
        }
        return sum <= budget;
    }
    const double zeta = pool ? ws.PoolZeta(static_cast<unsigned>(n), spectra.poolSize) : 1.0;
    if (!std::isfinite(zeta)) {
        return false;
    }
    sum = zeta * tail / best[tStar];
    const std::size_t top = pool ? n : n - 1;
    if (mirror <= top && sum <= budget) {
        // First without logs: C(n, t) >= n below t = n, and T[t'] for t' = 0
        // (with a pool) or 1 is a witness.
        const double nn = static_cast<double>(n);
        const double witness = std::max(pool ? u[0] : 0.0, tStar >= 1 ? u[1] / nn : 0.0);
        double rest = 0.0;
        for (std::size_t t = mirror; t <= top && t < n; ++t) {
            rest += suffixMax(t - m) / nn;
        }
        if (top == n) {
            rest += suffixMax(M);
        }
        if (witness > 0 && sum + zeta * rest / witness <= budget) {
            return true;
        }
        geometricAt = 0;  // the walk starts again
    }
    if (mirror <= top && sum <= budget) {
        // Near t = n the binomial coefficients fall again: compare T, in
        // logs, with the largest kept T[t'].
        const std::vector<double>& lf = ws.LogFactorials(static_cast<unsigned>(n));
        auto lnChoose = [&](std::size_t t) { return lf[n] - lf[t] - lf[n - t]; };
        double lnWitness = -std::numeric_limits<double>::infinity();
        for (std::size_t t = lo; t <= tStar; ++t) {
            if (u[t] > 0) {
                lnWitness = std::max(lnWitness, std::log(u[t]) - lnChoose(t));
            }
        }
        if (!std::isfinite(lnWitness)) {
            return false;
        }
        for (std::size_t t = mirror; t <= top && sum <= budget; ++t) {
            sum += zeta * std::exp(std::log(suffixMax(t - m)) - lnChoose(t) - lnWitness);
        }
    }
    return sum <= budget;
}

double ComputeBoundedObsTable(const SSpectrumClass& spectra, const SScoreRun* minor,
                              std::size_t minorRuns, const SScoreRun* major, std::size_t majorRuns,
                              CObsTableWorkspace& ws, std::vector<double>& table,
                              std::size_t& kept) {
    const auto& errProb = ErrProbTable();
    std::size_t m = 0, M = 0;
    for (std::size_t i = 0; i < minorRuns; ++i) {
        m += static_cast<std::size_t>(minor[i].count);
    }
    // First guess of c: mu + 5 sqrt(mu) + 7 for a mean of mu errors among
    // the reference reads, which the bound allowed for 99% of the sites of
    // depths 20 to 100 with qualities 2..41 in our trials (the former
    // mu + 8 sqrt(mu) + 8 kept a third more entries than needed). A cut
    // that the bound does not allow is retried with a larger c; the cut
    // taken, and so which entries are left 0, depends on the guess, the
    // bound on what they may change does not.
    double mu = 0.0;
    for (std::size_t i = 0; i < majorRuns; ++i) {
        M += static_cast<std::size_t>(major[i].count);
        mu += static_cast<double>(major[i].count) * errProb[major[i].score];
    }
    const std::size_t n = m + M;
    std::vector<double>& a = ws.m_Minor;
    std::vector<double>& b = ws.m_Major;
    ErrCountRuns(minor, minorRuns, m, ws, a);
    std::size_t c = static_cast<std::size_t>(mu + 5.0 * std::sqrt(mu)) + 7;
    for (;;) {
        std::size_t tStar = m + c;
        // Balanced folded sites need their mirror entries: take them all.
        const bool all = tStar >= n || (spectra.folded && 4 * tStar >= 3 * n);
        if (all) {
            tStar = n;
        }
        ErrCountRuns(major, majorRuns, std::min(M, tStar), ws, b);
        table.assign(n + 1, 0.0);
        for (std::size_t t = 0; t <= tStar; ++t) {
            // Error counts i (minor) and j (reference) with t = m - i + j.
            double sum = 0.0;
            if (t <= m) {
                const std::size_t d = m - t;
                const std::size_t top = std::min(M, t);
                for (std::size_t j = 0; j <= top; ++j) {
                    sum += b[j] * a[d + j];
                }
            } else {
                const std::size_t top = std::min(n - t, m);
                for (std::size_t i = 0; i <= top; ++i) {
                    sum += a[i] * b[t - m + i];
                }
            }
            table[t] = sum;
        }
        if (all || CanLeaveOutAbove(spectra, m, M, tStar, b, table, ws)) {
            kept = tStar + 1;
            return FinishExact(static_cast<unsigned>(n), kept, ws, table);
        }
        c = 2 * c + 4;
    }
}

namespace {

void ToRuns(const std::uint8_t* s, std::size_t n, std::vector<SScoreRun>& runs) {
    runs.clear();
    for (std::size_t i = 0, j = 0; i < n; i = j) {
        for (j = i + 1; j < n && s[j] == s[i]; ++j) {
        }
        runs.push_back({s[i], j - i});
    }
}

}  // namespace

double ComputeBoundedObsTable(const SSpectrumClass& spectra, const std::uint8_t* minor,
                              std::size_t nMinor, const std::uint8_t* major, std::size_t nMajor,
                              CObsTableWorkspace& ws, std::vector<double>& table,
                              std::size_t& kept) {
    ToRuns(minor, nMinor, ws.m_MinorRuns);
    ToRuns(major, nMajor, ws.m_MajorRuns);
    return ComputeBoundedObsTable(spectra, ws.m_MinorRuns.data(), ws.m_MinorRuns.size(),
                                  ws.m_MajorRuns.data(), ws.m_MajorRuns.size(), ws, table, kept);
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
