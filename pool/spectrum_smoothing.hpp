#pragma once
// A smooth family of one pool's spectra: the log-linear family of
// pool_spectrum.hpp whose log j phi(j) is a cubic spline of the log-odds
// of the frequency, for a fit whose prior must be smooth.
//
// Why. Where a pool holds many more chromosomes than reads, the reads
// barely tell a site with one copy in the pool from one with none or two
// (a singleton of 100 chromosomes gives no read at depth 20 at 82% of its
// sites, and the one read it gives looks like a sequencing error of a good
// score), so the free spectrum's rare cells follow the noise and fall to 0
// where the likelihood is flat: the segregating sites, and so Watterson's
// theta and Tajima's D, scatter by 15% and more and come out low, where pi
// stays within 1%. A population's frequency spectrum is smooth in the
// frequency (theta/x under neutrality, x^-alpha after growth), and so is
// the expected spectrum of a pool drawn from it; a prior smooth on the
// log-frequency scale ties the rare classes to their neighbours, which the
// reads do show.
//
// The family. For 0 < j < n
//   phi(j) proportional to w(j) exp(sum_k beta_k B_k(v_j)),
// B_k the K uniform cubic B-splines on K - 3 equal intervals of v (de Boor
// 1978; knots beyond the ends at the same spacing, so that coefficients on
// a straight line are a straight line: clamped knots would bend it where
// the rare alleles are) over [v_1, v_{n-1}], v_j = log(j / (n - j)) the
// log-odds of j/n, and w(j) = 1/j (folded: 1/j + 1/(n - j), with v_j =
// -|log(j / (n - j))| over [v_1, 0], so that phi(j) = phi(n - j)): equal
// coefficients are the neutral spectrum, and a power law j^-alpha is a
// straight line in v at the rare end. The monomorphic sites are cells of
// their own: j = 0 at exp(0) (its share fixes the scale), j = n unfolded
// at exp(m) with m a parameter of its own; folded, j = 0 and n share one
// half each. The penalty lambda sum_k (beta_k - 2 beta_{k+1} +
// beta_{k+2})^2 / 2 (Eilers and Marx 1996) takes nothing from a straight
// line: a prior against bends of the log spectrum, not for a shape. With
// fewer than 4 distinct v_j (folded pools of fewer than 8, unfolded of
// fewer than 5) the family is empty (params 0): the free cells.

#include "pool/pool_spectrum.hpp"

SPoolLogLinear SmoothSpectrumFamily(unsigned n, bool folded, unsigned splines, double lambda);

// qualdiv's defaults. The penalty: at 1 the rare end still bent where the
// reads cannot see it (pools of 100 at depths 8 to 20: Watterson's theta
// +5% for an excess of rare alleles, -5% for a neutral pool with 5% of bases
// below Q20); at 100 a bend of 0.1 in the log spectrum between neighbouring
// coefficients costs half a log-likelihood unit, which the sites of any
// real genome outweigh where the reads do show it.
inline constexpr unsigned kDefaultSplines = 8;
inline constexpr double kDefaultSmoothing = 100.0;
