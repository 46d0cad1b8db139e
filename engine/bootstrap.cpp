#include "engine/bootstrap.hpp"

#include <gsl/gsl_rng.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/warnings.hpp"
#include "engine/blocklik.hpp"
#include "engine/depthrows.hpp"
#include "engine/gsl_search.hpp"
#include "engine/priorrows.hpp"

std::vector<std::size_t> SegmentBlocks(const CSiteStore& store, std::size_t& blocks) {
    const std::vector<SSegment>& segments = store.GetSegments();
    std::vector<std::size_t> index(segments.size());
    blocks = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i == 0 || segments[i].contig != segments[i - 1].contig ||
            segments[i].block != segments[i - 1].block) {
            ++blocks;
        }
        index[i] = blocks - 1;
    }
    return index;
}

void WindowBootstrapInterval(CWindowFitter& fitter, const SWindowSite* sites,
                             const std::uint32_t* blocks, std::size_t count,
                             const std::vector<std::vector<double>>& resamples, double level,
                             double& lo, double& hi) {
    std::vector<double> thetas, weights(count);
    thetas.reserve(resamples.size());
    for (const std::vector<double>& row : resamples) {
        for (std::size_t i = 0; i < count; ++i) {
            weights[i] = row[blocks[i]];
        }
        thetas.push_back(fitter.Refit(sites, weights.data(), count));
    }
    PercentileInterval(std::move(thetas), level, lo, hi);
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kFewBlocks = kMinBootstrapBlocks;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The profile of every resample at the rates evaluated so far: for each x =
// log10 g (kNeutralLogGrowth: the neutral spectrum), each resample's maximum
// over theta and its theta, from per-block statistics (blocklik.hpp) shared
// by all resamples, so a rate costs one pass over the sites (rarely more)
// however many resamples look at it.
class CResampleProfiles {
  public:
    struct SPoint {
        std::vector<double> lp, theta;  // per resample; lp with the constants
        double share = kNaN;            // theta / ThetaMax of the full data
    };

    CResampleProfiles(const CSiteStore& store, const std::vector<std::size_t>& blockOf,
                      std::size_t blocks, const std::vector<std::vector<double>>& weights,
                      double neutralTheta, hts_tpool* pool)
        : m_Store(store),
          m_BlockOf(blockOf),
          m_Blocks(blocks),
          m_Weights(weights),
          m_NeutralTheta(neutralTheta),
          m_Pool(pool),
          m_Binomials(std::max(2, store.GetOptions().poolSize)) {
        const std::vector<SSegment>& segments = store.GetSegments();
        for (const std::vector<double>& w : weights) {
            std::vector<double> perSegment(segments.size());
            for (std::size_t i = 0; i < segments.size(); ++i) {
                perSegment[i] = w[blockOf[i]];
            }
            // The constants as a weighted pass sums them, segment by segment.
            double constant = 0.0;
            for (std::size_t i = 0; i < segments.size(); ++i) {
                constant += perSegment[i] * segments[i].constant;
            }
            m_Constants.push_back(constant);
            m_SegmentWeights.push_back(std::move(perSegment));
        }
    }

    const SPoint& At(double x) {
        auto it = m_Points.find(x);
        if (it != m_Points.end()) {
            return it->second;
        }
        return m_Points[x] = x_Build(x);
    }

  private:
    SPoint x_Build(double x) {
        const CPriorRows rows = x <= kNeutralLogGrowth
                                    ? CPriorRows::Neutral(m_Store)
                                    : CPriorRows::Growth(m_Store, std::pow(10.0, x));
        const double thetaMax = rows.ThetaMax();
        const bool bounded = std::isfinite(thetaMax);
        // Where the full data's maximum should be: the neutral fit's, or a
        // neighbour's share of the domain.
        double ref = m_NeutralTheta;
        if (x > kNeutralLogGrowth && bounded) {
            auto near = m_Points.lower_bound(x);
            if (near == m_Points.end()) {
                --near;
            }
            ref = near->second.share * thetaMax;
        }
        const double scale = bounded ? thetaMax : 1.0;
        if (!(ref > 1e-6 * scale)) {
            ref = 1e-3 * scale;
        }
        const double edge = bounded ? 0.9 * thetaMax : kInf;
        double lo = ref / 4.0, hi = std::min(4.0 * ref, edge);
        if (!(lo < hi)) {
            lo = hi / 16.0;
        }
        const std::size_t R = m_Weights.size();
        SPoint point;
        point.lp.assign(R, kNaN);
        point.theta.assign(R, kNaN);
        std::vector<bool> done(R, false);
        const std::vector<double> ones(m_Blocks, 1.0);
        CBlockLik blocks;
        for (int round = 0;; ++round) {
            blocks.Build(m_Store, m_BlockOf, m_Blocks, rows, lo, hi, m_Pool);
            bool below = false, above = false;
            // The full data first (its share guides the next rate), then the
            // resamples.
            for (std::size_t r = 0; r <= R; ++r) {
                if (r < R && done[r]) {
                    continue;
                }
                const CBlockLik::SFit f = blocks.Solve(r < R ? m_Weights[r] : ones);
                if (f.status == CBlockLik::EStatus::eBelow) {
                    below = true;
                    continue;
                }
                if (f.status == CBlockLik::EStatus::eAbove) {
                    above = true;
                    continue;
                }
                if (r == R) {
                    point.share = bounded && std::isfinite(f.theta) ? f.theta / thetaMax : kNaN;
                } else {
                    done[r] = true;
                    point.theta[r] = f.theta;
                    point.lp[r] = m_Constants[r] + f.logLik;
                }
            }
            const bool lower = below && lo > 1e-9 * ref;
            const bool higher = above && hi < edge;
            if (!(lower || higher) || round >= 8) {
                break;
            }
            lo = lower ? lo / 16.0 : lo;
            hi = higher ? std::min(16.0 * hi, edge) : hi;
        }
        // What the cover cannot reach (a maximum within 1e-9 of 0 or at the
        // domain's edge) is fitted by weighted passes over the sites.
        for (std::size_t r = 0; r < R; ++r) {
            if (!done[r]) {
                const SThetaMaximum m = MaximizeTheta(m_Store, rows, &m_SegmentWeights[r], m_Pool);
                point.theta[r] = m.theta;
                point.lp[r] = m.logLik;
            }
        }
        return point;
    }

    const CSiteStore& m_Store;
    const std::vector<std::size_t>& m_BlockOf;
    std::size_t m_Blocks;
    const std::vector<std::vector<double>>& m_Weights;
    double m_NeutralTheta;
    hts_tpool* m_Pool;
    CBinomialCache m_Binomials;
    std::vector<std::vector<double>> m_SegmentWeights;
    std::vector<double> m_Constants;
    std::map<double, SPoint> m_Points;
};

// The growth fit of resample r from the shared profiles, with FitGrowth's
// rules: the decades from 1e-3 to the cap, ties to the neutral limit and no
// rate where the profile is level; the maximum between decades is then
// climbed on grids of 1/4 and 1/16 decade, which all resamples share, and
// placed by the cubic through four points of the finer grid.
void ResampleGrowth(CResampleProfiles& profiles, std::size_t r, double xMax, double& theta,
                    double& rate) {
    auto lp = [&](double x) { return profiles.At(x).lp[r]; };
    auto thetaAt = [&](double x) { return profiles.At(x).theta[r]; };
    const double xMin = kNeutralLogGrowth;
    const double neutralLp = lp(xMin);
    theta = thetaAt(xMin);
    rate = kNaN;
    if (std::isnan(theta)) {
        return;  // FitGrowth gives nothing without a neutral estimate
    }
    std::vector<double> grid{xMin};
    for (double x = -3.0; x < xMax; x += 1.0) {
        grid.push_back(x);
    }
    grid.push_back(xMax);
    std::size_t best = 0;
    double lowest = neutralLp;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (lp(grid[i]) > lp(grid[best])) {
            best = i;
        }
        lowest = std::min(lowest, lp(grid[i]));
    }
    const double tie = ProfileTieTolerance(neutralLp);
    if (!(lp(grid[best]) - lowest > tie)) {
        return;  // level: the neutral limit's theta, no rate
    }
    double x = grid[best];
    double xHat = x, thetaHat = thetaAt(x), lHat = lp(x);
    if (best > 0 && best + 1 < grid.size()) {
        // Climb between the neighbours, never into the neutral limit's
        // stand-in.
        const double floor = xMin + 0.5;
        double step = 0.0;
        for (double s : {0.25, 0.0625}) {
            step = s;
            for (int moves = 0; moves < 64; ++moves) {
                double next = x;
                for (double y : {x - s, x + s}) {
                    if (y >= floor && y <= xMax && lp(y) > lp(next)) {
                        next = y;
                    }
                }
                if (next == x) {
                    break;
                }
                x = next;
            }
        }
        xHat = x;
        thetaHat = thetaAt(x);
        lHat = lp(x);
        // The cubic through four points of the grid around x, two on the
        // side that rises more, placed as d = -1, 0, 1, 2 (mirrored when the
        // left side rises more); its maximum within one step of x, and the
        // cubic through the thetas there. Its error falls as step^4.
        const double a = x - step, b = x + step;
        if (a >= floor && b <= xMax) {
            const double side = lp(b) >= lp(a) ? 1.0 : -1.0;
            const double far = x + 2.0 * side * step;
            if (far >= floor && far <= xMax) {
                const double pts[4] = {x - side * step, x, x + side * step, far};
                double f[4], th[4];
                for (int i = 0; i < 4; ++i) {
                    f[i] = lp(pts[i]);
                    th[i] = thetaAt(pts[i]);
                }
                // p(d) = c0 + c1 d + c2 d^2 + c3 d^3 through d = -1, 0, 1, 2.
                auto cubic = [](const double* v, double c[4]) {
                    c[0] = v[1];
                    c[1] = -v[0] / 3.0 - v[1] / 2.0 + v[2] - v[3] / 6.0;
                    c[2] = v[0] / 2.0 - v[1] + v[2] / 2.0;
                    c[3] = -v[0] / 6.0 + v[1] / 2.0 - v[2] / 2.0 + v[3] / 6.0;
                };
                double c[4], ct[4];
                cubic(f, c);
                cubic(th, ct);
                // Roots of p'(d) = c1 + 2 c2 d + 3 c3 d^2 in [-1, 1] with
                // p'' < 0; the best of them.
                double dBest = 0.0, pBest = c[0];
                std::vector<double> roots;
                if (std::fabs(c[3]) > 1e-14 * (std::fabs(c[2]) + std::fabs(c[1]))) {
                    const double A = 3.0 * c[3], B = 2.0 * c[2], C = c[1];
                    const double disc = B * B - 4.0 * A * C;
                    if (disc >= 0.0) {
                        const double q = -0.5 * (B + std::copysign(std::sqrt(disc), B));
                        if (q != 0.0) {
                            roots.push_back(q / A);
                            roots.push_back(C / q);
                        }
                    }
                } else if (c[2] < 0.0) {
                    roots.push_back(-c[1] / (2.0 * c[2]));
                }
                for (double d : roots) {
                    const double curve = 2.0 * c[2] + 6.0 * c[3] * d;
                    const double value = c[0] + d * (c[1] + d * (c[2] + d * c[3]));
                    if (d >= -1.0 && d <= 1.0 && curve < 0.0 && value > pBest) {
                        dBest = d;
                        pBest = value;
                    }
                }
                xHat = x + side * dBest * step;
                thetaHat = ct[0] + dBest * (ct[1] + dBest * (ct[2] + dBest * ct[3]));
                lHat = pBest;
            }
        }
    }
    // Ties go to the neutral limit.
    if (!(lHat - neutralLp > tie)) {
        xHat = xMin;
        thetaHat = thetaAt(xMin);
    }
    theta = thetaHat;
    rate = std::pow(10.0, xHat);
}

}  // namespace

SBootstrapReport BootstrapIntervals(const CSiteStore& store, const SFitOptions& fit,
                                    const SBootstrapOptions& options, hts_tpool* pool,
                                    SFitResult& neutral, SFitResult* growth) {
    if (options.replicates < 1) {
        throw std::invalid_argument("The number of bootstrap resamples must be at least 1 (got " +
                                    std::to_string(options.replicates) + ").");
    }
    CheckFitOptions(fit);
    SBootstrapReport report;
    if (store.GetSites() == 0) {
        return report;
    }
    const bool withGrowth = growth != nullptr && options.growth;
    std::size_t blocks = 0;
    const std::vector<std::size_t> blockOf = SegmentBlocks(store, blocks);
    if (blocks < kFewBlocks) {
        Warn("qualscan: the sites lie in " + std::to_string(blocks) +
             (blocks == 1 ? " block" : " blocks") +
             (blocks < 2 ? ", so a block bootstrap cannot tell how estimates vary: its interval "
                           "ends are NA; choose a smaller --block."
                         : ", too few for reliable bootstrap intervals; choose a smaller --block "
                           "(" +
                               std::to_string(kFewBlocks) + " blocks or more are advised)."));
    }
    if (blocks < 2) {
        neutral.thetaLo = neutral.thetaHi = kNaN;
        if (withGrowth) {
            growth->thetaLo = growth->thetaHi = growth->growthLo = growth->growthHi = kNaN;
        }
        return report;
    }
    const std::size_t R = static_cast<std::size_t>(options.replicates);
    const std::vector<std::vector<double>> weights =
        DrawResamples(blocks, options.replicates, options.seed);
    CGslErrorGuard guard;
    CResampleProfiles profiles(store, blockOf, blocks, weights, neutral.theta, pool);
    const CResampleProfiles::SPoint& atNeutral = profiles.At(kNeutralLogGrowth);
    report.neutralTheta = atNeutral.theta;
    for (double t : report.neutralTheta) {
        report.noNeutral += std::isnan(t) ? 1 : 0;
    }
    if (withGrowth) {
        const double xMax = std::log10(fit.growthCap);
        for (std::size_t r = 0; r < R; ++r) {
            double theta, rate;
            ResampleGrowth(profiles, r, xMax, theta, rate);
            report.growthTheta.push_back(theta);
            report.growthRate.push_back(rate);
            report.noGrowth += std::isnan(rate) ? 1 : 0;
            if (options.progress) {
                options.progress(static_cast<int>(r) + 1, options.replicates);
            }
        }
    } else if (options.progress) {
        options.progress(options.replicates, options.replicates);
    }
    report.replicates = options.replicates;
    PercentileInterval(report.neutralTheta, fit.level, neutral.thetaLo, neutral.thetaHi);
    if (withGrowth) {
        PercentileInterval(report.growthTheta, fit.level, growth->thetaLo, growth->thetaHi);
        PercentileInterval(report.growthRate, fit.level, growth->growthLo, growth->growthHi);
    }
    return report;
}
