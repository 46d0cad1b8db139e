#pragma once
// Object wrappers of GSL's multidimensional minimisers: a problem is a
// subclass that supplies the objective (and, for the simplex, its dimension,
// start point and what to do with the result).

#include <gsl/gsl_machine.h>
#include <gsl/gsl_multimin.h>
#include <gsl/gsl_vector.h>

#include <memory>

class CGSLMultiMin {
  public:
    CGSLMultiMin() = default;
    virtual ~CGSLMultiMin() = default;
    CGSLMultiMin(const CGSLMultiMin&) = delete;
    CGSLMultiMin& operator=(const CGSLMultiMin&) = delete;

    // Objective to minimise.
    virtual double F(const gsl_vector* x) = 0;
    // Gradient; the derivative-free minimisers need none.
    virtual void DF(const gsl_vector* x, gsl_vector* g);
    // Objective and gradient together.
    virtual void FDF(const gsl_vector* x, double* f, gsl_vector* g);

    // Whether the last fit ended on the size test rather than the
    // iteration limit.
    bool IsConverged() const { return m_Converged; }

    // gsl_multimin_function adapter: params is the CGSLMultiMin object.
    static double x_F(const gsl_vector* x, void* params);

  protected:
    bool m_Converged = false;
};

// Nelder-Mead simplex (GSL "nmsimplex"): initial step 0.01 per coordinate,
// stops when the simplex size falls below 1e-5 or after 200 iterations. An
// objective value of GSL_DBL_MAX marks a point outside the problem's domain.
// A search that has met nothing but such points after kMaxBlindEvaluations
// evaluations stops there. The result is the best vertex with finite
// coordinates that was evaluated, or the start point when no point inside the
// domain was met: overflowing reflections near the largest doubles give
// vertices with infinite or NaN coordinates, and a search that never found
// the domain has nothing better than where it began.
class CGSLSimplex : public CGSLMultiMin {
  public:
    // Number of free coordinates.
    virtual unsigned int GetDimension() const = 0;
    // Fills the start point (GetDimension() coordinates).
    virtual void GetStartPoint(gsl_vector* x) const = 0;
    // Receives the result.
    virtual void SetResult(const gsl_vector* x) = 0;

    // Objective evaluations of the last minimisation.
    long GetEvaluations() const { return m_Evaluations; }

    static constexpr double kStepSize = 0.01;
    static constexpr double kSizeTolerance = 1e-5;
    static constexpr int kMaxIterations = 200;
    static constexpr long kMaxBlindEvaluations = 30;

  protected:
    // Runs the whole minimisation. Called by the concrete problem once it
    // is fully constructed (virtual calls do not reach a subclass from a
    // base constructor). A dimension of 0 does nothing.
    void x_Minimize();

  private:
    struct SVectorFree {
        void operator()(gsl_vector* v) const { gsl_vector_free(v); }
    };

    // x_F, keeping count of the evaluations and the best vertex.
    static double x_CountedF(const gsl_vector* x, void* params);

    long m_Evaluations = 0;
    // Lowest value below GSL_DBL_MAX met at finite coordinates, and where;
    // the start point while there is none.
    double m_BestValue = GSL_DBL_MAX;
    std::unique_ptr<gsl_vector, SVectorFree> m_Best;
};
