#include "estimator/qscorecolumn.hpp"

#include <gsl/gsl_math.h>
#include <gsl/gsl_sf_gamma.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/qt_assert.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Error probability 10^(-q/10) of every 8-bit score. Filled once with the
// very expression GetErrProb documents, so a lookup equals the direct
// evaluation bit for bit; it spares one pow() per read and site.
const std::array<double, 256>& ErrProbTable() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (unsigned q = 0; q < t.size(); ++q) {
            t[q] = std::pow(10.0, static_cast<int>(q) / -10.0);
        }
        return t;
    }();
    return table;
}

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
// evaluated (kept from the subset enumeration this replaces, whose cost the
// limit bounded; the rows it skips are part of the documented results).
constexpr double kMaxSubsets = 1e6;
// A row that falls to this value or below after a positive one ends the
// distribution.
constexpr double kRowStop = 1e-10;

}  // namespace

CProbDist::CProbDist(int first, int last) : m_First(first), m_Last(last) {
    QT_ASSERT(last >= first - 1);
    m_Probs.assign(static_cast<std::size_t>(last - first + 1), 0.0);
}

CQScoreColumn::CQScoreColumn(int pos, const TScores& scores, const std::string& prObsText,
                             bool useAll, const TErrors* errors)
    : m_Pos(pos), m_Scores(scores) {
    unsigned total = 0;
    for (const auto& s : m_Scores) {
        total += static_cast<unsigned>(s.size());
    }
    const int n = static_cast<int>(total);
    m_PrObservedCond = CProbDist(0, n);
    if (errors != nullptr) {
        m_Errors = *errors;
    }

    if (!prObsText.empty()) {
        // A stored table: n + 1 numbers, each of which must be followed by
        // at least one more character (the writer puts a blank after every
        // number), so a text cut short is never taken for a complete one.
        std::istringstream in(prObsText);
        for (int t = 0; t <= n; ++t) {
            double v = 0.0;
            in >> v;
            if (in.rdstate() != std::ios_base::goodbit) {
                throw std::runtime_error("CProbDist serialization corrupted!");
            }
            m_PrObservedCond[t] = v;
        }
        return;
    }

    if (!useAll) {
        // Folded use: the allele seen most often is the reference; ties keep
        // the lowest class.
        int best = eMajor;
        for (int w = eMinor; w <= eOther2; ++w) {
            if (m_Scores[w].size() > m_Scores[best].size()) {
                best = w;
            }
        }
        if (best != eMajor) {
            std::swap(m_Scores[eMajor], m_Scores[best]);
            std::swap(m_Errors[eMajor], m_Errors[best]);
        }
    }

    // Every non-reference read counts as showing the minor allele.
    for (int w : {eOther1, eOther2}) {
        m_Scores[eMinor].insert(m_Scores[eMinor].end(), m_Scores[w].begin(), m_Scores[w].end());
        m_Errors[eMinor].insert(m_Errors[eMinor].end(), m_Errors[w].begin(), m_Errors[w].end());
        m_Scores[w].clear();
        m_Errors[w].clear();
    }

    x_CalcPrObservedCond();
}

unsigned CQScoreColumn::GetDepth(EWhichScores w) const {
    if (w == eAll) {
        std::size_t n = 0;
        for (const auto& s : m_Scores) {
            n += s.size();
        }
        return static_cast<unsigned>(n);
    }
    QT_ASSERT(w >= eMajor && w < eAll);
    return static_cast<unsigned>(m_Scores[w].size());
}

double CQScoreColumn::GetErrProb(unsigned int i, EWhichScores w) const {
    if (w == eAll) {
        unsigned j = 0;
        for (; j < 4; ++j) {
            if (i < m_Scores[j].size()) {
                break;
            }
            i -= static_cast<unsigned>(m_Scores[j].size());
        }
        QT_ASSERT(j < 4);
        return ErrProbTable()[m_Scores[j][i]];
    }
    QT_ASSERT(w >= eMajor && w < eAll);
    QT_ASSERT(i < m_Scores[w].size());
    return ErrProbTable()[m_Scores[w][i]];
}

bool CQScoreColumn::GetErrTruth(unsigned int i, EWhichScores w) const {
    if (w == eAll) {
        throw std::runtime_error("eAll case given to GetErrTruth");
    }
    QT_ASSERT(w >= eMajor && w < eAll);
    QT_ASSERT(i < m_Errors[w].size());
    return m_Errors[w][i];
}

double CQScoreColumn::GetSiteProb(const CFreqSpectrum& spectrum) const {
    const int n = static_cast<int>(GetDepth(eAll));
    QT_ASSERT(m_PrObservedCond.m_First == 0 && m_PrObservedCond.m_Last == n);
    double s = 0.0;
    for (int j = 0; j <= n; ++j) {
        s += m_PrObservedCond[j] * spectrum(j, n);
    }
    return s;
}

double CQScoreColumn::GetPostProb(int numMinor, const CFreqSpectrum& spectrum) const {
    const int n = static_cast<int>(GetDepth(eAll));
    QT_ASSERT(numMinor >= 0 && numMinor <= n);
    // Bayes: prior spectrum(k, n) times likelihood T[k], over the evidence.
    // A site of probability 0 has no posterior; the quotient is then NaN.
    return m_PrObservedCond[numMinor] * spectrum(numMinor, n) / GetSiteProb(spectrum);
}

void CQScoreColumn::x_CalcErrCountDist(EWhichScores w, CProbDist& out) const {
    const std::vector<std::uint8_t>& scores = m_Scores[w];
    const unsigned n = static_cast<unsigned>(scores.size());
    QT_ASSERT(out.m_First == 0 && out.m_Last == static_cast<int>(n));

    // The number of erroneous reads is a sum of independent Bernoulli
    // variables (Poisson-binomial). Adding read r with error probability e
    // to the distribution p of the first r reads gives
    //   p'[k] = p[k] (1 - e) + p[k-1] e,
    // O(n^2) in all instead of C(n, k) subsets of n factors per row. All
    // terms are non-negative, so every entry keeps full relative precision.
    const auto& errProb = ErrProbTable();
    std::vector<double> p(n + 1, 0.0);
    p[0] = 1.0;
    for (unsigned r = 0; r < n; ++r) {
        const double e = errProb[scores[r]];
        const double ok = 1.0 - e;
        for (unsigned k = r + 1; k > 0; --k) {
            p[k] = p[k] * ok + p[k - 1] * e;
        }
        p[0] *= ok;
    }

    // Row rules: once the distribution has been positive and then fallen to
    // kRowStop or below, the rest is 0; a row of more than kMaxSubsets
    // subsets is reported and left 0.
    double maxSeen = 0.0;
    for (unsigned k = 0; k <= n; ++k) {
        const int ki = static_cast<int>(k);
        out[ki] = 0.0;
        if (!(k == 0 || out[ki - 1] > kRowStop || maxSeen == 0.0)) {
            continue;
        }
        if (Choose(n, k) > kMaxSubsets) {
            std::cerr << "Depth/numFalse too big at #" << m_Pos << "; last prob: " << out[ki - 1]
                      << std::endl;
            continue;
        }
        out[ki] = p[k];
        maxSeen = std::max(maxSeen, out[ki]);
    }
}

void CQScoreColumn::x_CalcPrObservedCond() {
    const int numMinor = static_cast<int>(GetDepth(eMinor));
    const int total = static_cast<int>(GetDepth(eAll));
    QT_ASSERT(m_Scores[eOther1].empty() && m_Scores[eOther2].empty());

    CProbDist a(0, numMinor);
    x_CalcErrCountDist(eMinor, a);
    CProbDist b(0, total - numMinor);
    x_CalcErrCountDist(eMajor, b);

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
                sum += b[j] * a[d + j];
            }
        } else {
            const int m = std::min(total - t, numMinor);
            for (int i = 0; i <= m; ++i) {
                sum += a[i] * b[t - numMinor + i];
            }
        }
        // A coefficient beyond the double range is +infinity here, and the
        // sum, at most 1, divided by it is 0.
        m_PrObservedCond[t] = sum / Choose(static_cast<unsigned>(total), static_cast<unsigned>(t));
    }
}
