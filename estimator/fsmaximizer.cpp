#include "estimator/fsmaximizer.hpp"

#include <gsl/gsl_math.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/qt_assert.hpp"

CQScores::CFSMaximizer::CFSMaximizer(CQScores* data) : m_Data(data) {
    const unsigned int n = GetDimension();
    if (n == 0) {
        return;
    }
    // The simplex holds n + 1 vertices of n coordinates; a document may
    // give any number of parameters, and a failed allocation would end the
    // process in GSL's error handler.
    if (n > kMaxDimension) {
        throw std::runtime_error("CQScores::CFSMaximizer: the " + m_Data->GetSpectrum().GetName() +
                                 " model has " + std::to_string(n) +
                                 " given parameters; a fit handles at most " +
                                 std::to_string(kMaxDimension) + ".");
    }
    x_Minimize();
}

namespace {

TParamVector ToParams(const gsl_vector* x) {
    TParamVector p(x->size);
    for (std::size_t i = 0; i < x->size; ++i) {
        p[i] = {gsl_vector_get(x, i), true};
    }
    return p;
}

}  // namespace

double CQScores::CFSMaximizer::F(const gsl_vector* x) {
    // Near the largest doubles the simplex's reflections overflow to
    // infinite or NaN coordinates, which some models take for ordinary
    // values (a NaN growth rate computes as the smallest one): such a
    // vertex is never a result.
    for (std::size_t i = 0; i < x->size; ++i) {
        if (!std::isfinite(gsl_vector_get(x, i))) {
            return GSL_DBL_MAX;
        }
    }
    const TParamVector params = ToParams(x);
    if (x_StoredOutOfRange(params)) {
        return GSL_DBL_MAX;
    }
    const double logLike = m_Data->GetLogLike(params);
    // Outside the domain (-inf), or where the model yields NaN or negative
    // probabilities, the value is worse than any inside: the search stays
    // inside and is unchanged there.
    if (!std::isfinite(logLike)) {
        return GSL_DBL_MAX;
    }
    return -logLike;
}

bool CQScores::CFSMaximizer::x_StoredOutOfRange(const TParamVector& params) const {
    // -o writes the parameters with six significant digits, which can round
    // a value on a bound across it: theta on the neutral bound 1/H(30) =
    // 0.25031370 is written as 0.250314, and the document then reads back as
    // -inf. The fit stays where the written form is inside the domain too.
    std::unique_ptr<CFreqSpectrum> stored(m_Data->GetSpectrum().Clone());
    stored->SetParams(params);
    stored->SetParams(FormatParamString(params));
    return stored->ParamsOutOfRange();
}

unsigned int CQScores::CFSMaximizer::GetDimension() const {
    return m_Data->GetSpectrum().GetNumParams();
}

void CQScores::CFSMaximizer::GetStartPoint(gsl_vector* x) const {
    x_SetVector(m_Data->GetSpectrum().GetParams(), x);
}

void CQScores::CFSMaximizer::SetResult(const gsl_vector* x) {
    // SetParams empties the memo table and leaves exactly x->size given
    // entries.
    m_Data->GetSpectrum().SetParams(ToParams(x));
}

void CQScores::CFSMaximizer::x_SetVector(const TParamVector& p, gsl_vector* x) {
    QT_ASSERT(x->size <= p.size());
    for (std::size_t i = 0; i < x->size; ++i) {
        gsl_vector_set(x, i, p[i].first);
    }
}
