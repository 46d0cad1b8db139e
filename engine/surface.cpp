#include "engine/surface.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/priorrows.hpp"
#include "engine/thetalik.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Growth below this (log10) is the neutral spectrum to every data set.
constexpr double kLowestLogGrowth = -4.0;

// n points from lo to hi, ends included.
std::vector<double> Spaced(double lo, double hi, int n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[static_cast<std::size_t>(i)] = lo + (hi - lo) * i / (n - 1);
    }
    return v;
}

}  // namespace

SSurfaceGrid SurfaceGridAround(const SFitResult& neutral, const SFitResult& growth,
                               const SFitOptions& options, int nTheta, int nGrowth) {
    SSurfaceGrid grid;
    if (!std::isfinite(growth.theta) || !std::isfinite(growth.growth) || nTheta < 2 ||
        nGrowth < 2) {
        return grid;
    }
    // Theta: both rows' intervals and estimates.
    double lo = growth.theta, hi = growth.theta;
    for (double v :
         {growth.thetaLo, growth.thetaHi, neutral.theta, neutral.thetaLo, neutral.thetaHi}) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (!std::isfinite(growth.thetaHi)) {
        hi = std::max(hi, 3.0 * growth.theta);
    }
    if (!(hi > lo)) {
        hi = lo > 0.0 ? 2.0 * lo : 1e-3;
        lo = 0.0;
    }
    const double padTheta = 0.25 * (hi - lo);
    grid.thetas = Spaced(std::max(0.0, lo - padTheta), hi + padTheta, nTheta);

    // log10 g: the growth interval, open ends closed by the cap and by the
    // growth the data cannot tell from none.
    const double xCap = std::log10(options.growthCap);
    const double xHat = std::log10(growth.growth);
    double xLo = std::isfinite(growth.growthLo) ? std::log10(growth.growthLo) : xHat;
    double xHi = std::isfinite(growth.growthHi) ? std::log10(growth.growthHi) : xCap;
    xLo = std::max(std::min(xLo, xHat), kLowestLogGrowth);
    xHi = std::max(xHi, xHat);
    const double padX = 0.25 * (xHi - xLo) + 0.1;
    xLo = std::max(xLo - padX, kLowestLogGrowth);
    xHi = std::min(xHi + padX, xCap);
    if (!(xHi > xLo)) {
        xLo = std::max(kLowestLogGrowth, xHi - 1.0);
    }
    grid.logGrowths = Spaced(xLo, xHi, nGrowth);
    return grid;
}

std::vector<double> LikelihoodSurface(const CSiteStore& store, const SSurfaceGrid& grid,
                                      hts_tpool* pool) {
    const std::size_t nTheta = grid.thetas.size();
    std::vector<double> logLik(grid.logGrowths.size() * nTheta, kNaN);
    if (nTheta == 0 || store.GetSites() == 0) {
        return logLik;
    }
    const double thetaTop = *std::max_element(grid.thetas.begin(), grid.thetas.end());
    const std::vector<SSpan> spans = WholeStore(store);
    const double constant = store.GetConstant();
    for (std::size_t i = 0; i < grid.logGrowths.size(); ++i) {
        const double x = grid.logGrowths[i];
        const CPriorRows rows = x <= kNeutralLogGrowth
                                    ? CPriorRows::Neutral(store)
                                    : CPriorRows::Growth(store, std::pow(10.0, x));
        // The series must hold up to the largest theta asked (within the
        // domain); beyond the domain there is no likelihood.
        const double thetaMax = rows.ThetaMax();
        CThetaLik lik;
        lik.Build(store, spans, rows, std::min(thetaTop, thetaMax), false, pool);
        for (std::size_t j = 0; j < nTheta; ++j) {
            const double theta = grid.thetas[j];
            if (theta <= lik.ThetaValid()) {
                logLik[i * nTheta + j] = constant + lik.Eval(theta);
            }
        }
    }
    return logLik;
}
