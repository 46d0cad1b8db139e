#pragma once
// Intervals that account for linkage: the block bootstrap.
//
// Sites close together share their genealogy, so the profile-likelihood
// interval, which treats every site as independent, is too narrow when theta
// varies along the genome. The block bootstrap cuts the genome into blocks of
// SSiteOptions::blockSize bases (per contig; the store's segments already
// break at every block boundary), draws as many blocks as there are, with
// replacement, refits the model to the resample (every site of a block that
// was drawn m times counts m times: the weighted passes of fit.hpp) and
// reports the percentile interval of the refitted estimates. Nothing is read
// again: the resamples are weights on the per-site summaries in memory, and
// since a resample's log-likelihood is a weighted sum over blocks, each
// spectrum (the neutral one, growth at one rate) costs one pass that makes
// per-block statistics (blocklik.hpp) from which every resample is refitted
// exactly. The growth rate is searched on the decades as FitGrowth does,
// then on grids of 1/4 and 1/16 decade that the resamples share, and placed
// by a parabola (within about 1e-4 of log10 g of FitGrowth's own search).
//
// Reproducibility. The draws come from GSL's gsl_rng_mt19937 seeded with the
// seed, all on the calling thread, B times nBlocks draws in replicate order;
// every refit reduces its sums in page order (taskpool.hpp), so the interval
// is the same for every number of threads.

#include <cstdint>
#include <functional>
#include <vector>

#include "common/quantile.hpp"
#include "engine/fit.hpp"

struct hts_tpool;

struct SBootstrapOptions {
    int replicates = 200;    // B >= 1
    unsigned long seed = 1;  // of gsl_rng_mt19937
    bool growth = true;      // also refit the growth model per resample
    // Called on the calling thread as resamples are done: (done, total).
    std::function<void(int, int)> progress;
};

// Block of every segment of the store (blocks numbered from 0 in store
// order: a new block starts where the contig or the block index changes).
std::vector<std::size_t> SegmentBlocks(const CSiteStore& store, std::size_t& blocks);

// Fewer blocks than this make a rough percentile interval: the genome-wide
// fit warns, and a window gets none.
inline constexpr std::size_t kMinBootstrapBlocks = 20;

// What the resamples gave: every resample's estimates in replicate order
// (NaN where a resample gave none) and how many gave none. A resample gives
// no neutral estimate when no site it drew tells anything about theta, and
// no growth rate when in addition its growth profile is level (the data
// cannot tell growth from none; see fit.hpp).
struct SBootstrapReport {
    int replicates = 0;  // resamples drawn (0 with a single block)
    int noNeutral = 0, noGrowth = 0;
    std::vector<double> neutralTheta, growthTheta, growthRate;
};

// Replaces the interval ends of neutral (theta_lo, theta_hi) and, when
// growth is given and options.growth is set, of growth (theta_lo, theta_hi,
// growth_lo, growth_hi) by the block bootstrap's percentile interval at
// fit.level: the (1 - level)/2 and (1 + level)/2 quantiles of the refitted
// estimates. Resamples whose estimate is NaN are left out of that estimate's
// quantiles and counted in the report. With fewer than 20 blocks a warning
// says the interval is rough; with a single block the ends are NaN (every
// resample would be the data). Throws std::invalid_argument for
// replicates < 1.
// The block bootstrap of one window: the neutral theta refitted to every
// resample of resamples (DrawResamples' rows, the genome-wide interval's
// own), the window's part of it being its sites weighted by their blocks'
// multiplicities (blocks[i], the block of site i, indexes a row), and the
// percentile interval of the refits at level. So a window's interval comes
// from the very draws of the genome-wide one, restricted to the window.
// The refits run on the calling thread (fitter is its workspace).
void WindowBootstrapInterval(CWindowFitter& fitter, const SWindowSite* sites,
                             const std::uint32_t* blocks, std::size_t count,
                             const std::vector<std::vector<double>>& resamples, double level,
                             double& lo, double& hi);

SBootstrapReport BootstrapIntervals(const CSiteStore& store, const SFitOptions& fit,
                                    const SBootstrapOptions& options, hts_tpool* pool,
                                    SFitResult& neutral, SFitResult* growth);
