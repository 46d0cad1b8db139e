#pragma once
// Per-block sufficient statistics of the theta likelihood of one spectrum
// (the neutral one, or growth at one rate), so that the block bootstrap
// refits a resample without a pass over the sites: a resample's
// log-likelihood is the sum over blocks of the block's multiplicity times
// the block's own.
//
// A site contributes log(a (1 - theta P) + theta u) = log(a + theta v),
// v = u - a P (thetalik.hpp). Quiet sites add their moments per class and
// block as in CThetaLik, valid for theta <= hi. Every other site is expanded
// about centers theta_c laid out to cover [lo, hi]:
//   log(a + theta v) = log L_c + sum_{j>=1} (-1)^(j+1) s^j / j,
//   L_c = a + theta_c v,   s = (theta - theta_c) y,   y = v / L_c.
// Since u >= 0 and v >= -a P, |y| <= max(1 / theta_c, P / (1 - theta_c P)),
// so within the radius r_c = min(0.1 theta_c, 0.15 (1 - theta_c Pmax) / Pmax)
// |s| <= 0.15, where kCenterTerms = 20 terms leave less than
// 0.15^21 / (21 * 0.85) < 1e-18 per site, the standard of the quiet series.
// A block keeps per center log L_c summed and the moments of y, and at
// theta 0 the sums of log a and of v / a. A resample is thus fitted to the
// same exactness as a pass over its sites wherever its maximum lies in
// {0} or [lo, hi]; elsewhere Solve says which way the cover must grow.
// The pass reduces in page order, so the statistics are the same for every
// number of threads.

#include <cstddef>
#include <vector>

#include "engine/sitestore.hpp"

struct hts_tpool;
class CPriorRows;

class CBlockLik {
  public:
    static constexpr int kCenterTerms = 20;

    // One pass over the store. blockOf holds the block of every segment
    // (bootstrap.hpp's SegmentBlocks), blocks their number. 0 < lo < hi,
    // and hi below the domain's edge 1 / max P_K.
    void Build(const CSiteStore& store, const std::vector<std::size_t>& blockOf, std::size_t blocks,
               const CPriorRows& rows, double lo, double hi, hts_tpool* pool);

    double Lo() const { return m_Lo; }
    double Hi() const { return m_Hi; }
    // 1 / max P_K over the classes with sites.
    double ThetaMax() const { return m_ThetaMax; }

    enum class EStatus {
        eOk,             // theta and logLik hold the maximum
        eUninformative,  // no drawn site tells anything about theta: theta NaN
        eBelow,          // the maximum lies in (0, lo): lower lo
        eAbove,          // the maximum lies above hi: raise hi
    };
    struct SFit {
        EStatus status = EStatus::eOk;
        double theta = 0.0;
        double logLik = 0.0;  // without the sites' constants
    };
    // The maximum over theta of the resample that counts the sites of
    // block b weights[b] times.
    SFit Solve(const std::vector<double>& weights) const;

  private:
    // A resample's sums (the blocks' statistics weighted and added).
    struct SSums;
    void x_Combine(const std::vector<double>& weights, SSums& sums) const;
    // l and its derivatives at theta (0, or within [lo, hi]).
    void x_Eval(const SSums& sums, double theta, double& l, double& d1, double& d2) const;

    struct SClass {
        int K = 0;
        double P = 0.0, domain = 0.0;
    };
    std::vector<SClass> m_Classes;
    std::vector<double> m_Centers, m_Radius;
    std::size_t m_Blocks = 0;
    // Per block: the quiet moments per class (count and kTerms moments),
    // per center log L_c and kCenterTerms moments, then at theta 0 the sums
    // of log a and of v / a and the number of sites with a = 0, and the
    // largest P_K of its sites.
    std::size_t m_Stride = 0;
    std::vector<double> m_Stats;
    double m_Lo = 0.0, m_Hi = 0.0, m_ThetaMax = 0.0;
};
