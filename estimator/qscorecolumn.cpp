#include "estimator/qscorecolumn.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/qt_assert.hpp"
#include "model/obstable.hpp"
#include "spectrum/freqspec.hpp"

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

    // Folded use: the allele seen most often is the reference; ties keep
    // the lowest class.
    const int best = ReferenceClass({m_Scores[eMajor].size(), m_Scores[eMinor].size(),
                                     m_Scores[eOther1].size(), m_Scores[eOther2].size()},
                                    !useAll);
    if (best != eMajor) {
        std::swap(m_Scores[eMajor], m_Scores[best]);
        std::swap(m_Errors[eMajor], m_Errors[best]);
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
    QT_ASSERT(out.m_First == 0 && out.m_Last == static_cast<int>(GetDepth(w)));
    ErrCountDist(m_Scores[w].data(), m_Scores[w].size(), ETableMode::eSubsetLimit, m_Pos,
                 out.m_Probs);
}

void CQScoreColumn::x_CalcPrObservedCond() {
    QT_ASSERT(m_Scores[eOther1].empty() && m_Scores[eOther2].empty());
    CObsTableWorkspace ws;
    ComputeObsTable(m_Scores[eMinor].data(), m_Scores[eMinor].size(), m_Scores[eMajor].data(),
                    m_Scores[eMajor].size(), ETableMode::eSubsetLimit, m_Pos, ws,
                    m_PrObservedCond.m_Probs);
}
