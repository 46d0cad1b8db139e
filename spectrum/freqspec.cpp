#include "spectrum/freqspec.hpp"

#include <sstream>

#include "base/qt_assert.hpp"

double CFreqSpectrum::GetParam(unsigned int n) const {
    QT_ASSERT(n < m_Params.size());
    return m_Params[n].first;
}

double& CFreqSpectrum::SetParam(unsigned int n) {
    if (m_Params.size() <= n) {
        m_Params.resize(static_cast<std::size_t>(n) + 1, TParamVector::value_type(0.0, false));
    }
    m_Cache.Clear();
    m_Params[n].second = true;
    return m_Params[n].first;
}

void CFreqSpectrum::SetParams(const std::string& text) {
    // Formatted extraction: a token such as "0.02abc" yields 0.02 and the
    // letters then fail the next extraction, which ends the reading.
    std::istringstream in(text);
    double value = 0.0;
    unsigned int index = 0;
    while (in >> value) {
        SetParam(index++) = value;
    }
}

void CFreqSpectrum::SetParams(const TParamVector& params) {
    m_Params = params;
    m_Cache.Clear();
}

unsigned int CFreqSpectrum::GetNumParams() const {
    return CountGivenParams(m_Params);
}

std::string CFreqSpectrum::GetParamString() const {
    return FormatParamString(m_Params);
}

void CFreqSpectrum::SetFolded(bool folded) {
    m_Folded = folded;
    m_Cache.Clear();
}

double CFreqSpectrum::operator()(int numMinor, int depth) const {
    if (const double* hit = m_Cache.Find(depth, numMinor)) {
        return *hit;
    }
    QT_ASSERT(numMinor >= 0);
    double value;
    if (numMinor == depth) {
        // The unfolded spectrum puts nothing on "all copies derived"; folded,
        // this count mirrors numMinor = 0.
        value = m_Folded ? 0.5 * x_UnfoldedProb(0, depth) : 0.0;
    } else {
        QT_ASSERT(numMinor < depth);
        if (m_Folded && numMinor > 0) {
            value =
                0.5 * (x_UnfoldedProb(numMinor, depth) + x_UnfoldedProb(depth - numMinor, depth));
        } else {
            value = x_UnfoldedProb(numMinor, depth);
            if (m_Folded) {
                value *= 0.5;
            }
        }
    }
    // Only the requested cell is stored; the mirror count is computed afresh
    // when it is asked for.
    m_Cache.Store(value, depth, numMinor);
    return value;
}
