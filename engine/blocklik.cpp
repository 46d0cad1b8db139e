#include "engine/blocklik.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "base/qt_assert.hpp"
#include "common/taskpool.hpp"
#include "engine/priorrows.hpp"
#include "engine/thetalik.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kQuietStride = CThetaLik::kTerms + 1;         // count, moments
constexpr int kCenterStride = CBlockLik::kCenterTerms + 1;  // log L_c, moments
// |theta - theta_c| within this share of theta_c, and |s| within kMaxS.
constexpr double kShare = 0.1;
constexpr double kMaxS = 0.15;

}  // namespace

struct CBlockLik::SSums {
    std::vector<double> stats;  // one block's layout
};

void CBlockLik::Build(const CSiteStore& store, const std::vector<std::size_t>& blockOf,
                      std::size_t blocks, const CPriorRows& rows, double lo, double hi,
                      hts_tpool* pool) {
    QT_ASSERT(lo > 0.0 && lo < hi);
    m_Lo = lo;
    m_Hi = hi;
    m_Blocks = blocks;
    const std::vector<SChromosomeClass>& classes = store.GetClasses();
    std::vector<int> index(classes.size(), -1);
    m_Classes.clear();
    double maxP = 0.0, maxDomain = 0.0;
    for (std::size_t k = 0; k < classes.size(); ++k) {
        if (classes[k].sites == 0) {
            continue;
        }
        index[k] = static_cast<int>(m_Classes.size());
        SClass c;
        c.K = static_cast<int>(k);
        c.P = rows.Polymorphic(c.K);
        c.domain = rows.Domain(c.K);
        maxP = std::max(maxP, c.P);
        maxDomain = std::max(maxDomain, c.domain);
        m_Classes.push_back(c);
    }
    m_ThetaMax = maxDomain > 0.0 ? 1.0 / maxDomain : kInf;
    QT_ASSERT(hi * maxDomain < 1.0);
    // Centers from lo up: each the one whose band starts where the last
    // ended (a little inside it), c - r(c) = bottom, r(c) = min(kShare c,
    // kMaxS (1 - c Pmax) / Pmax).
    m_Centers.clear();
    m_Radius.clear();
    auto radius = [maxP](double c) {
        return maxP > 0.0 ? std::min(kShare * c, kMaxS * (1.0 - c * maxP) / maxP) : kShare * c;
    };
    for (double bottom = lo; bottom < hi;) {
        double c = bottom / (1.0 - kShare);
        if (maxP > 0.0) {
            c = std::min(c, (bottom + kMaxS / maxP) / (1.0 + kMaxS));
        }
        const double r = radius(c);
        QT_ASSERT(r > 0.0);
        m_Centers.push_back(c);
        m_Radius.push_back(r);
        bottom = c + 0.99 * r;
    }
    const std::size_t nClasses = m_Classes.size(), nCenters = m_Centers.size();
    const std::size_t quietSize = nClasses * kQuietStride;
    const std::size_t centerSize = nCenters * kCenterStride;
    m_Stride = quietSize + centerSize + 4;
    const std::size_t zeroAt = quietSize + centerSize;

    std::vector<double> tq(nClasses);
    for (std::size_t c = 0; c < nClasses; ++c) {
        const double w = 1.0 - hi * m_Classes[c].P;
        tq[c] = w > 0.0 ? hi / w : kInf;
    }
    // The segments of every page, in order.
    const std::vector<SSegment>& segments = store.GetSegments();
    QT_ASSERT(blockOf.size() == segments.size());
    std::vector<std::size_t> firstSegment(store.GetPageCount() + 1, segments.size());
    for (std::size_t i = segments.size(); i-- > 0;) {
        firstSegment[segments[i].page] = i;
    }
    for (std::size_t p = store.GetPageCount(); p-- > 0;) {
        firstSegment[p] = std::min(firstSegment[p], firstSegment[p + 1]);
    }
    const bool compact = store.GetOptions().neutralOnly;
    QT_ASSERT(!compact || rows.GetGrowth() == 0.0);

    struct SPart {
        std::vector<std::size_t> blocks;
        std::vector<double> stats;  // m_Stride per entry of blocks
    };
    std::function<SPart(std::size_t)> job = [&](std::size_t page) {
        SPart part;
        double* acc = nullptr;
        std::vector<double> powers(kCenterTerms);
        for (std::size_t i = firstSegment[page]; i < firstSegment[page + 1]; ++i) {
            const SSegment& seg = segments[i];
            if (part.blocks.empty() || part.blocks.back() != blockOf[i]) {
                part.blocks.push_back(blockOf[i]);
                part.stats.resize(part.stats.size() + m_Stride, 0.0);
            }
            acc = part.stats.data() + part.stats.size() - m_Stride;
            const unsigned char* p = store.GetPage(seg.page) + seg.offset;
            const unsigned char* end = p + seg.bytes;
            SNeutralView site;
            while (p < end) {
                p = ReadThetaTerms(p, compact, rows, site);
                const double a = site.a, u = site.u;
                const std::size_t cls =
                    static_cast<std::size_t>(index[static_cast<std::size_t>(site.chromosomes)]);
                const SClass& cl = m_Classes[cls];
                acc[zeroAt + 3] = std::max(acc[zeroAt + 3], cl.domain);
                if (a == 1.0 && (u == 0.0 || u * tq[cls] <= CThetaLik::kQuietRho)) {
                    double* q = acc + cls * kQuietStride;
                    q[0] += 1.0;
                    double power = u;
                    for (int j = 1; j <= CThetaLik::kTerms; ++j) {
                        q[j] += power;
                        power *= u;
                    }
                    continue;
                }
                const double v = u - a * cl.P;
                if (a > 0.0) {
                    acc[zeroAt] += std::log(a);
                    acc[zeroAt + 1] += v / a;
                } else {
                    acc[zeroAt + 2] += 1.0;
                }
                for (std::size_t c = 0; c < nCenters; ++c) {
                    double* e = acc + quietSize + c * kCenterStride;
                    const double L = a + m_Centers[c] * v;
                    const double y = v / L;
                    e[0] += std::log(L);
                    double power = y;
                    for (int j = 1; j <= kCenterTerms; ++j) {
                        e[j] += power;
                        power *= y;
                    }
                }
            }
        }
        return part;
    };
    m_Stats.assign(blocks * m_Stride, 0.0);
    std::function<void(std::size_t, SPart&)> merge = [&](std::size_t, SPart& part) {
        for (std::size_t e = 0; e < part.blocks.size(); ++e) {
            double* to = m_Stats.data() + part.blocks[e] * m_Stride;
            const double* from = part.stats.data() + e * m_Stride;
            for (std::size_t j = 0; j + 1 < m_Stride; ++j) {
                to[j] += from[j];
            }
            to[m_Stride - 1] = std::max(to[m_Stride - 1], from[m_Stride - 1]);
        }
    };
    RunOrdered<SPart>(pool, store.GetPageCount(), job, merge, kSmallJobs);
}

void CBlockLik::x_Combine(const std::vector<double>& weights, SSums& sums) const {
    QT_ASSERT(weights.size() == m_Blocks);
    sums.stats.assign(m_Stride, 0.0);
    double* to = sums.stats.data();
    for (std::size_t b = 0; b < m_Blocks; ++b) {
        const double w = weights[b];
        if (w == 0.0) {
            continue;
        }
        const double* from = m_Stats.data() + b * m_Stride;
        for (std::size_t j = 0; j + 1 < m_Stride; ++j) {
            to[j] += w * from[j];
        }
        to[m_Stride - 1] = std::max(to[m_Stride - 1], from[m_Stride - 1]);
    }
}

void CBlockLik::x_Eval(const SSums& sums, double theta, double& l, double& d1, double& d2) const {
    l = d1 = d2 = 0.0;
    const double* s = sums.stats.data();
    for (std::size_t c = 0; c < m_Classes.size(); ++c) {
        const double* q = s + c * kQuietStride;
        if (q[0] == 0.0 && q[1] == 0.0) {
            continue;
        }
        const double P = m_Classes[c].P;
        const double w = 1.0 - theta * P;
        l += q[0] * std::log1p(-theta * P);
        d1 -= q[0] * P / w;
        d2 -= q[0] * P * P / (w * w);
        const double t = theta / w;
        double f, f1, f2;
        LogSeries(q + 1, CThetaLik::kTerms, t, f, f1, f2);
        const double dt = 1.0 / (w * w), ddt = 2.0 * P / (w * w * w);
        l += f;
        d1 += f1 * dt;
        d2 += f2 * dt * dt + f1 * ddt;
    }
    const std::size_t quietSize = m_Classes.size() * kQuietStride;
    const double* zero = s + quietSize + m_Centers.size() * kCenterStride;
    if (theta == 0.0) {
        if (zero[2] > 0.0) {
            l = -kInf;
            d1 = kInf;
            d2 = -kInf;
            return;
        }
        l += zero[0];
        d1 += zero[1];
        d2 = -kInf;  // not needed at 0
        return;
    }
    // The center whose band holds theta.
    const std::size_t c = static_cast<std::size_t>(
        std::lower_bound(m_Centers.begin(), m_Centers.end(), theta) - m_Centers.begin());
    std::size_t best = std::min(c, m_Centers.size() - 1);
    if (c > 0 && theta - m_Centers[c - 1] <= m_Radius[c - 1]) {
        best = c - 1;
    }
    QT_ASSERT(std::fabs(theta - m_Centers[best]) <= m_Radius[best] * (1.0 + 1e-12));
    const double* e = s + quietSize + best * kCenterStride;
    double f, f1, f2;
    LogSeries(e + 1, kCenterTerms, theta - m_Centers[best], f, f1, f2);
    l += e[0] + f;
    d1 += f1;
    d2 += f2;
}

CBlockLik::SFit CBlockLik::Solve(const std::vector<double>& weights) const {
    SSums sums;
    x_Combine(weights, sums);
    SFit fit;
    double l0, g0, h0;
    x_Eval(sums, 0.0, l0, g0, h0);
    if (!(sums.stats.back() > 0.0)) {
        fit.status = EStatus::eUninformative;
        fit.theta = std::numeric_limits<double>::quiet_NaN();
        fit.logLik = l0;
        return fit;
    }
    if (!(g0 > 0.0)) {
        fit.theta = 0.0;
        fit.logLik = l0;
        return fit;
    }
    double l, g, h;
    x_Eval(sums, m_Lo, l, g, h);
    if (g < 0.0) {
        fit.status = EStatus::eBelow;
        return fit;
    }
    x_Eval(sums, m_Hi, l, g, h);
    if (g > 0.0) {
        fit.status = EStatus::eAbove;
        return fit;
    }
    // Safeguarded Newton on l' (l concave): l'(lo) >= 0 >= l'(hi).
    double a = m_Lo, b = m_Hi;
    double x = 0.5 * (a + b);
    for (int it = 0; it < 200; ++it) {
        x_Eval(sums, x, l, g, h);
        if (g == 0.0) {
            break;
        }
        if (g > 0.0) {
            a = x;
        } else {
            b = x;
        }
        double next = (std::isfinite(g) && h < 0.0) ? x - g / h : 0.5 * (a + b);
        if (!(next > a && next < b)) {
            next = 0.5 * (a + b);
        }
        const bool done = std::fabs(next - x) <= 1e-11 * std::fabs(x) || b - a <= 1e-15 * b;
        x = next;
        if (done) {
            break;
        }
    }
    x_Eval(sums, x, l, g, h);
    fit.theta = x;
    fit.logLik = l;
    return fit;
}
