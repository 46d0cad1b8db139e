#pragma once
// One-dimensional searches on GSL's Brent routines for functions that may
// throw, with every failure reported to the caller instead of guessed over.

#include <functional>

// GSL's error handler aborts by default; while one of these lives it only
// records, and every status is checked.
class CGslErrorGuard {
  public:
    CGslErrorGuard();
    ~CGslErrorGuard();
    CGslErrorGuard(const CGslErrorGuard&) = delete;
    CGslErrorGuard& operator=(const CGslErrorGuard&) = delete;

  private:
    void* m_Old;
};

// Minimum of f on [a, b] with f(m) below f(a) and f(b) (GSL's Brent
// minimiser, to tol in x). Returns the smallest value seen. An exception of
// f is rethrown.
double BrentMin(const std::function<double(double)>& f, double a, double m, double b, double fa,
                double fm, double fb, double tol);

// Root of f on [a, b] (GSL's Brent root finder, to tol in x). NaN when f(a)
// and f(b) do not bracket a root (the same sign, or a value that is not
// finite) or when f stops being finite during the search: a guess would pass
// for a root. An exception of f is rethrown.
double BrentRoot(const std::function<double(double)>& f, double a, double b, double tol);
