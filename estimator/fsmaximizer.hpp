#pragma once
// Maximum-likelihood fit of the data set's spectrum parameters.

#include "estimator/gslmultimin.hpp"
#include "estimator/qscores.hpp"

class CQScores::CFSMaximizer : public CGSLSimplex {
  public:
    // Runs the whole fit: on return the data set's model carries the best
    // vertex (all coordinates given, no entries beyond them). A model
    // without given parameters is left alone; one with more than
    // kMaxDimension is refused with a std::runtime_error.
    explicit CFSMaximizer(CQScores* data);

    static constexpr unsigned int kMaxDimension = 1000;

    // -ln L of the parameter vector x; GSL_DBL_MAX where the log-likelihood
    // is -inf or NaN (outside the model's domain), where a coordinate is not
    // finite, and where the parameter string that -o writes (six significant
    // digits) lies outside the domain.
    double F(const gsl_vector* x) override;
    // Number of given parameters of the model.
    unsigned int GetDimension() const override;
    void GetStartPoint(gsl_vector* x) const override;
    void SetResult(const gsl_vector* x) override;

    // Copies the values of the first x->size entries of p into x.
    static void x_SetVector(const TParamVector& p, gsl_vector* x);

  private:
    // Whether params, written as the document's parameter string and read
    // back, lie outside the model's domain.
    bool x_StoredOutOfRange(const TParamVector& params) const;

    CQScores* m_Data;
};
