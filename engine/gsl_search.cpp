#include "engine/gsl_search.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_min.h>
#include <gsl/gsl_roots.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void Record(const char*, const char*, int, int) {}

// A function of x for GSL that may throw: the exception is kept and NaN
// returned, so nothing unwinds through GSL's C frames.
struct SGslFunction {
    const std::function<double(double)>& f;
    std::exception_ptr error;
    static double Call(double x, void* self) {
        auto* me = static_cast<SGslFunction*>(self);
        if (me->error) {
            return kNaN;
        }
        try {
            return me->f(x);
        } catch (...) {
            me->error = std::current_exception();
            return kNaN;
        }
    }
};

}  // namespace

CGslErrorGuard::CGslErrorGuard() : m_Old(reinterpret_cast<void*>(gsl_set_error_handler(&Record))) {}

CGslErrorGuard::~CGslErrorGuard() {
    gsl_set_error_handler(reinterpret_cast<gsl_error_handler_t*>(m_Old));
}

double BrentMin(const std::function<double(double)>& f, double a, double m, double b, double fa,
                double fm, double fb, double tol) {
    SGslFunction fn{f, nullptr};
    gsl_function gf{&SGslFunction::Call, &fn};
    std::unique_ptr<gsl_min_fminimizer, void (*)(gsl_min_fminimizer*)> s(
        gsl_min_fminimizer_alloc(gsl_min_fminimizer_brent), gsl_min_fminimizer_free);
    if (!s) {
        throw std::runtime_error("Cannot allocate GSL's minimiser.");
    }
    if (gsl_min_fminimizer_set_with_values(s.get(), &gf, m, fm, a, fa, b, fb) != GSL_SUCCESS) {
        return fm;
    }
    for (int it = 0; it < 100; ++it) {
        const int status = gsl_min_fminimizer_iterate(s.get());
        if (fn.error) {
            std::rethrow_exception(fn.error);
        }
        if (status != GSL_SUCCESS) {
            break;
        }
        if (gsl_min_test_interval(gsl_min_fminimizer_x_lower(s.get()),
                                  gsl_min_fminimizer_x_upper(s.get()), tol, 0.0) == GSL_SUCCESS) {
            break;
        }
    }
    return std::min(fm, gsl_min_fminimizer_f_minimum(s.get()));
}

double BrentRoot(const std::function<double(double)>& f, double a, double b, double tol) {
    SGslFunction fn{f, nullptr};
    gsl_function gf{&SGslFunction::Call, &fn};
    std::unique_ptr<gsl_root_fsolver, void (*)(gsl_root_fsolver*)> s(
        gsl_root_fsolver_alloc(gsl_root_fsolver_brent), gsl_root_fsolver_free);
    if (!s) {
        throw std::runtime_error("Cannot allocate GSL's root finder.");
    }
    const int set = gsl_root_fsolver_set(s.get(), &gf, a, b);
    if (fn.error) {
        std::rethrow_exception(fn.error);
    }
    if (set != GSL_SUCCESS) {
        return kNaN;
    }
    for (int it = 0; it < 100; ++it) {
        const int status = gsl_root_fsolver_iterate(s.get());
        if (fn.error) {
            std::rethrow_exception(fn.error);
        }
        if (status != GSL_SUCCESS) {
            return kNaN;
        }
        if (gsl_root_test_interval(gsl_root_fsolver_x_lower(s.get()),
                                   gsl_root_fsolver_x_upper(s.get()), tol, 0.0) == GSL_SUCCESS) {
            return gsl_root_fsolver_root(s.get());
        }
    }
    return kNaN;
}
