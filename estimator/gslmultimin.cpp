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

struct VectorFree {
    void operator()(gsl_vector* v) const { gsl_vector_free(v); }
};
struct MinimizerFree {
    void operator()(gsl_multimin_fminimizer* m) const { gsl_multimin_fminimizer_free(m); }
};

}  // namespace

void CGSLSimplex::x_Minimize() {
    const unsigned int n = GetDimension();
    if (n == 0) {
        return;
    }
    gsl_multimin_function problem;
    problem.f = &CGSLMultiMin::x_F;
    problem.n = n;
    problem.params = static_cast<CGSLMultiMin*>(this);

    std::unique_ptr<gsl_vector, VectorFree> steps(gsl_vector_alloc(n));
    gsl_vector_set_all(steps.get(), kStepSize);
    std::unique_ptr<gsl_vector, VectorFree> start(gsl_vector_alloc(n));
    GetStartPoint(start.get());

    std::unique_ptr<gsl_multimin_fminimizer, MinimizerFree> minimizer(
        gsl_multimin_fminimizer_alloc(gsl_multimin_fminimizer_nmsimplex, n));
    gsl_multimin_fminimizer_set(minimizer.get(), &problem, start.get(), steps.get());

    int status = GSL_CONTINUE;
    int iterations = 0;
    do {
        ++iterations;
        gsl_multimin_fminimizer_iterate(minimizer.get());
        status =
            gsl_multimin_test_size(gsl_multimin_fminimizer_size(minimizer.get()), kSizeTolerance);
    } while (status == GSL_CONTINUE && iterations < kMaxIterations);

    m_Converged = status == GSL_SUCCESS;
    SetResult(gsl_multimin_fminimizer_x(minimizer.get()));
}
