#include "estimator/gslmultimin.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_math.h>

#include <memory>

void CGSLMultiMin::DF(const gsl_vector* /*x*/, gsl_vector* /*g*/) {}

void CGSLMultiMin::FDF(const gsl_vector* x, double* f, gsl_vector* g) {
    *f = F(x);
    DF(x, g);
}

double CGSLMultiMin::x_F(const gsl_vector* x, void* params) {
    double value = static_cast<CGSLMultiMin*>(params)->F(x);
    // GSL's simplex calls its error handler, which aborts, on a non-finite
    // value. The largest finite value is worse than any real objective
    // value and keeps the search where it is defined.
    return gsl_finite(value) ? value : GSL_DBL_MAX;
}

namespace {

bool AllFinite(const gsl_vector* x) {
    for (std::size_t i = 0; i < x->size; ++i) {
        if (!gsl_finite(gsl_vector_get(x, i))) {
            return false;
        }
    }
    return true;
}

struct MinimizerFree {
    void operator()(gsl_multimin_fminimizer* m) const { gsl_multimin_fminimizer_free(m); }
};

}  // namespace

double CGSLSimplex::x_CountedF(const gsl_vector* x, void* params) {
    const double value = x_F(x, params);
    auto* self = static_cast<CGSLSimplex*>(static_cast<CGSLMultiMin*>(params));
    ++self->m_Evaluations;
    if (value < self->m_BestValue && AllFinite(x)) {
        self->m_BestValue = value;
        gsl_vector_memcpy(self->m_Best.get(), x);
    }
    return value;
}

void CGSLSimplex::x_Minimize() {
    const unsigned int n = GetDimension();
    if (n == 0) {
        return;
    }
    gsl_multimin_function problem;
    problem.f = &CGSLSimplex::x_CountedF;
    problem.n = n;
    problem.params = static_cast<CGSLMultiMin*>(this);

    std::unique_ptr<gsl_vector, SVectorFree> steps(gsl_vector_alloc(n));
    gsl_vector_set_all(steps.get(), kStepSize);
    std::unique_ptr<gsl_vector, SVectorFree> start(gsl_vector_alloc(n));
    GetStartPoint(start.get());
    m_Evaluations = 0;
    m_BestValue = GSL_DBL_MAX;
    m_Best.reset(gsl_vector_alloc(n));
    gsl_vector_memcpy(m_Best.get(), start.get());

    std::unique_ptr<gsl_multimin_fminimizer, MinimizerFree> minimizer(
        gsl_multimin_fminimizer_alloc(gsl_multimin_fminimizer_nmsimplex, n));
    gsl_multimin_fminimizer_set(minimizer.get(), &problem, start.get(), steps.get());

    int status = GSL_CONTINUE;
    int iterations = 0;
    // Every evaluation outside the domain gives the same value, so the
    // search has no direction; where each costs much (a deep site under the
    // growth model), 200 iterations of it take many seconds for nothing.
    while (status == GSL_CONTINUE && iterations < kMaxIterations &&
           (m_BestValue < GSL_DBL_MAX || m_Evaluations < kMaxBlindEvaluations)) {
        ++iterations;
        gsl_multimin_fminimizer_iterate(minimizer.get());
        status =
            gsl_multimin_test_size(gsl_multimin_fminimizer_size(minimizer.get()), kSizeTolerance);
    }
    m_Converged = status == GSL_SUCCESS;

    // GSL's best vertex is the best evaluated one unless every value was
    // GSL_DBL_MAX; then it may be any vertex, with overflowed coordinates.
    const gsl_vector* best = gsl_multimin_fminimizer_x(minimizer.get());
    if (!(m_BestValue < GSL_DBL_MAX &&
          gsl_multimin_fminimizer_minimum(minimizer.get()) <= m_BestValue && AllFinite(best))) {
        best = m_Best.get();
    }
    SetResult(best);
}
