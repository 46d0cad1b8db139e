#pragma once
// The likelihood surface of the exponential-growth model around its
// estimate: log L(theta, g) on a grid of theta and log10 g, for the picture
// of scripts/plot_landscape. Each growth rate of the grid costs one pass
// over the sites (CThetaLik, the fits' own likelihood), after which every
// theta of the row is evaluated from the moments without touching a site;
// no likelihood is computed here that the fits do not compute.

#include <vector>

#include "engine/fit.hpp"

struct hts_tpool;

// The grid: thetas ascending, log10 growth rates ascending (a value at or
// below kNeutralLogGrowth stands for the neutral spectrum).
struct SSurfaceGrid {
    std::vector<double> thetas;
    std::vector<double> logGrowths;
};

// A grid around the growth model's estimate that holds its profile region:
// theta over the growth row's interval and the neutral one (so the neutral
// fit is on it too), log10 g over the growth interval, each widened by a
// quarter of its width on both sides. Open interval ends (infinity) give
// way to three times the estimate (theta) or the cap (g); growth below
// 1e-4, which the data cannot tell from none, is cut off. nTheta, nGrowth
// >= 2 points. An empty grid when the growth row has no estimate.
SSurfaceGrid SurfaceGridAround(const SFitResult& neutral, const SFitResult& growth,
                               const SFitOptions& options, int nTheta, int nGrowth);

// The log-likelihood, the sites' constants included (the table's loglik),
// at every point: logLik[i * thetas.size() + j] at (logGrowths[i],
// thetas[j]); NaN where theta lies outside the spectrum's domain (theta
// P_K > 1). The passes reduce in page order (taskpool.hpp), so the values
// are the same for every number of threads.
std::vector<double> LikelihoodSurface(const CSiteStore& store, const SSurfaceGrid& grid,
                                      hts_tpool* pool);
