#pragma once
// The minimum of a convex quadratic over the non-negative orthant,
//   min_x  x^T N x / 2 - c^T x   subject to x >= 0,
// with N symmetric positive semi-definite (m x m, row-major), by the active
// set method of Lawson and Hanson (1974, "Solving least squares problems",
// algorithm NNLS) in its normal-equations form: from x = 0, the free
// variable whose gradient c - N x most favours growth joins the passive
// set, the passive set's unconstrained minimum (N_PP z = c_P, Cholesky)
// replaces x where it is positive, and otherwise x moves towards it until a
// variable reaches 0 and leaves. A ridge of 1e-12 of the largest diagonal
// entry (raised a hundredfold while the factorisation fails) keeps the
// passive systems of a singular N solvable. Ends when no free variable's
// gradient exceeds 1e-12 of the largest |c| (at most 3 m additions).

#include <vector>

std::vector<double> NonNegativeQuadraticMinimum(const std::vector<double>& N,
                                                const std::vector<double>& c);
