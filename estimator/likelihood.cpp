#include <cmath>
#include <limits>
#include <memory>
#include <ostream>

#include "base/qt_assert.hpp"
#include "estimator/qscores.hpp"

double CQScores::GetLogLike(const TParamVector& params) const {
    // A private copy: the data set's model, its parameters and its memo
    // table stay as they are. SetParams empties the copy's memo table, so
    // within this call every spectrum value is computed once and shared by
    // all sites of the same depth.
    std::unique_ptr<CFreqSpectrum> spectrum(m_Spectrum->Clone());
    spectrum->SetParams(params);
    if (spectrum->ParamsOutOfRange()) {
        return -std::numeric_limits<double>::infinity();
    }
    // l(theta) = sum over sites of ln sum_j T[j] * pi_theta(j, n).
    double logLike = 0.0;
    for (const auto& column : m_Columns) {
        const int n = static_cast<int>(column->GetDepth(CQScoreColumn::eAll));
        const std::vector<double>& table = column->m_PrObservedCond.m_Probs;
        double site = 0.0;
        for (int j = 0; j <= n; ++j) {
            site += table[j] * (*spectrum)(j, n);
        }
        logLike += std::log(site);
    }
    // A NaN total (a model that yields NaN or negative probabilities) is
    // returned as such: the fit treats it as outside the domain and the
    // driver reports it.
    return logLike;
}

void CQScores::GridLogLike(const TParamVector& low, const TParamVector& high,
                           const TParamVector& step, std::ostream& out) {
    QT_ASSERT(high.size() == low.size() && step.size() == low.size());
    TParamVector best = low;
    double bestLL = GetLogLike(low);
    TParamVector cur = low;
    for (;;) {
        const double ll = GetLogLike(cur);
        for (std::size_t i = 0; i < cur.size(); ++i) {
            if (cur[i].second) {
                if (i > 0) {
                    out << '\t';
                }
                out << cur[i].first;
            }
        }
        out << '\t' << ll << '\n';
        // Strictly better only: ties and NaN keep the earlier point.
        if (ll > bestLL) {
            best = cur;
            bestLL = ll;
        }
        // Odometer, coordinate 0 fastest; a coordinate runs up to and
        // including the first value that is not below its bound.
        for (std::size_t i = 0; i < cur.size(); ++i) {
            if (cur[i] < high[i]) {
                cur[i].first += step[i].first;
                break;
            }
            cur[i] = low[i];
        }
        if (cur == low) {
            break;
        }
    }
    m_Spectrum->SetParams(best);
}
