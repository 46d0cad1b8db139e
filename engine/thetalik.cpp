#include "engine/thetalik.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "base/qt_assert.hpp"
#include "common/taskpool.hpp"
#include "engine/priorrows.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kStride = CThetaLik::kTerms + 2;  // count, moments, sites present
// Exact sites a job of Eval() takes on the pool; a single part is computed
// in the calling thread.
constexpr std::size_t kExactPart = 4096;

}  // namespace

void LogSeries(const double* m, int terms, double x, double& s, double& s1, double& s2) {
    s = s1 = s2 = 0.0;
    // Horner from the top: s = sum (-1)^(j+1) x^j m_j / j,
    // s1 = ds/dx = sum (-1)^(j+1) x^(j-1) m_j,
    // s2 = d2s/dx2 = sum (-1)^(j+1) (j-1) x^(j-2) m_j.
    for (int j = terms; j >= 1; --j) {
        const double sign = (j % 2 == 1) ? 1.0 : -1.0;
        s = s * x + sign * m[j - 1] / j;
        s1 = s1 * x + sign * m[j - 1];
        if (j >= 2) {
            s2 = s2 * x + sign * (j - 1) * m[j - 1];
        }
    }
    s *= x;
}

std::vector<SSpan> WholeStore(const CSiteStore& store) {
    std::vector<SSpan> spans(store.GetPageCount());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        spans[i].page = static_cast<std::uint32_t>(i);
        spans[i].offset = 0;
        spans[i].bytes = static_cast<std::uint32_t>(store.GetPageUsed(i));
    }
    return spans;
}

std::vector<SSpan> SegmentSpans(const CSiteStore& store, std::size_t first, std::size_t last) {
    std::vector<SSpan> spans;
    const std::vector<SSegment>& segments = store.GetSegments();
    for (std::size_t i = first; i < last; ++i) {
        const SSegment& s = segments[i];
        if (!spans.empty() && spans.back().page == s.page &&
            spans.back().offset + spans.back().bytes == s.offset) {
            spans.back().bytes += s.bytes;
        } else {
            spans.push_back(SSpan{s.page, s.offset, s.bytes});
        }
    }
    return spans;
}

std::vector<SSpan> WeightedSpans(const CSiteStore& store, const std::vector<double>& weights) {
    const std::vector<SSegment>& segments = store.GetSegments();
    QT_ASSERT(weights.size() == segments.size());
    std::vector<SSpan> spans;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (weights[i] > 0.0) {
            const SSegment& s = segments[i];
            spans.push_back(SSpan{s.page, s.offset, s.bytes, weights[i]});
        }
    }
    return spans;
}

double SiteU(const SSiteView& view, const double* beta) {
    double u = 0.0;
    const unsigned char* p = view.z;
    for (int k = 0; k < view.doubles; ++k) {
        double z;
        std::memcpy(&z, p, sizeof z);
        p += sizeof z;
        u += beta[k] * z;
    }
    for (int k = view.doubles; k < view.doubles + view.floats; ++k) {
        float z;
        std::memcpy(&z, p, sizeof z);
        p += sizeof z;
        u += beta[k] * static_cast<double>(z);
    }
    return u;
}

double SiteLogLik(const SSiteView& view, double constant, const CPriorRows& rows, double theta) {
    const int K = view.chromosomes;
    const double u = SiteU(view, rows.Beta(K));
    return constant + std::log(view.a * (1.0 - theta * rows.Polymorphic(K)) + theta * u);
}

void CThetaLik::Build(const CSiteStore& store, const std::vector<SSpan>& spans,
                      const CPriorRows& rows, double thetaQuiet, bool exact, hts_tpool* pool) {
    // Compact class indices for the classes with sites.
    const std::vector<SChromosomeClass>& classes = store.GetClasses();
    std::vector<int> index(classes.size(), -1);
    std::vector<SClass> all;
    std::vector<double> tq;  // t(thetaQuiet) per class
    for (std::size_t k = 0; k < classes.size(); ++k) {
        if (classes[k].sites == 0) {
            continue;
        }
        index[k] = static_cast<int>(all.size());
        SClass c;
        c.K = static_cast<int>(k);
        c.P = rows.Polymorphic(c.K);
        c.domain = rows.Domain(c.K);
        all.push_back(c);
        const double w = 1.0 - thetaQuiet * c.P;
        tq.push_back(exact ? kInf : (w > 0.0 ? thetaQuiet / w : kInf));
    }
    const std::size_t nClasses = all.size();

    struct SPart {
        std::vector<double> acc;
        std::vector<SExact> exact;
    };
    std::vector<double> acc(nClasses * kStride, 0.0);
    m_Exact.clear();
    // A neutral-only store keeps u itself, computed with these very rows.
    const bool compact = store.GetOptions().neutralOnly;
    QT_ASSERT(!compact || rows.GetGrowth() == 0.0);
    std::function<SPart(std::size_t)> job = [&](std::size_t i) {
        SPart part;
        part.acc.assign(nClasses * kStride, 0.0);
        const SSpan& span = spans[i];
        const unsigned char* p = store.GetPage(span.page) + span.offset;
        const unsigned char* end = p + span.bytes;
        SNeutralView site;
        while (p < end) {
            p = ReadThetaTerms(p, compact, rows, site);
            const int cls = index[static_cast<std::size_t>(site.chromosomes)];
            x_Add(cls, site.a, site.u, tq[static_cast<std::size_t>(cls)], span.weight,
                  part.acc.data() + static_cast<std::size_t>(cls) * kStride, part.exact);
        }
        return part;
    };
    std::function<void(std::size_t, SPart&)> merge = [&](std::size_t, SPart& part) {
        for (std::size_t j = 0; j < acc.size(); ++j) {
            acc[j] += part.acc[j];
        }
        m_Exact.insert(m_Exact.end(), part.exact.begin(), part.exact.end());
    };
    RunOrdered<SPart>(pool, spans.size(), job, merge, kSmallJobs);

    x_Finish(all, acc, thetaQuiet, exact);
    m_Pool = pool;
}

void CThetaLik::x_Add(int cls, double a, double u, double tq, double weight, double* acc,
                      std::vector<SExact>& exact) {
    // A weight of 1 multiplies exactly, so unweighted sums stay as they were.
    acc[kStride - 1] += 1.0;
    if (a == 1.0 && (u == 0.0 || u * tq <= kQuietRho)) {
        acc[0] += weight;
        double power = u;
        for (int j = 1; j <= kTerms; ++j) {
            acc[j] += weight * power;
            power *= u;
        }
    } else {
        exact.push_back(SExact{a, u, cls, static_cast<float>(weight)});
    }
}

void CThetaLik::x_Finish(const std::vector<SClass>& all, const std::vector<double>& acc,
                         double thetaQuiet, bool exact) {
    const std::size_t nClasses = all.size();
    m_Classes.clear();
    m_Sites = 0;
    double maxP = 0.0;
    std::vector<int> remap(nClasses, -1);
    for (std::size_t c = 0; c < nClasses; ++c) {
        const double* a = acc.data() + c * kStride;
        if (a[kStride - 1] == 0.0) {
            continue;  // no site of this class
        }
        remap[c] = static_cast<int>(m_Classes.size());
        SClass cl = all[c];
        cl.count = a[0];
        std::copy(a + 1, a + 1 + kTerms, cl.m);
        m_Classes.push_back(cl);
        m_Sites += static_cast<std::uint64_t>(a[kStride - 1]);
        maxP = std::max(maxP, cl.domain);
    }
    for (SExact& e : m_Exact) {
        e.cls = remap[static_cast<std::size_t>(e.cls)];
    }
    m_ThetaMax = maxP > 0.0 ? 1.0 / maxP : kInf;
    m_ThetaValid = exact ? m_ThetaMax : std::min(thetaQuiet, m_ThetaMax);
}

void CThetaLik::Build(const std::vector<SSummary>& sites, const std::vector<double>& polymorphic,
                      const std::vector<double>& domain, double thetaQuiet) {
    std::vector<int> index(polymorphic.size(), -1);
    std::vector<SClass> all;
    std::vector<double> tq;
    for (const SSummary& s : sites) {
        const std::size_t k = static_cast<std::size_t>(s.K);
        if (index[k] >= 0) {
            continue;
        }
        index[k] = static_cast<int>(all.size());
        SClass c;
        c.K = s.K;
        c.P = polymorphic[k];
        c.domain = domain[k];
        all.push_back(c);
        const double w = 1.0 - thetaQuiet * c.P;
        tq.push_back(w > 0.0 ? thetaQuiet / w : kInf);
    }
    std::vector<double> acc(all.size() * kStride, 0.0);
    m_Exact.clear();
    for (const SSummary& s : sites) {
        const int cls = index[static_cast<std::size_t>(s.K)];
        x_Add(cls, s.a, s.u, tq[static_cast<std::size_t>(cls)], s.weight,
              acc.data() + static_cast<std::size_t>(cls) * kStride, m_Exact);
    }
    x_Finish(all, acc, thetaQuiet, false);
    m_Pool = nullptr;
}

void CThetaLik::Eval(double theta, double& l, double& d1, double& d2) const {
    l = 0.0;
    d1 = 0.0;
    d2 = 0.0;
    // Per class: w = 1 - theta P, and for the exact sites P as well.
    thread_local std::vector<double> w;
    w.resize(m_Classes.size());
    // A site of likelihood 0 makes l = -infinity; its slope says on which
    // side of theta the likelihood becomes positive.
    bool zero = false, rising = false;
    for (std::size_t c = 0; c < m_Classes.size(); ++c) {
        const SClass& cl = m_Classes[c];
        const double wc = 1.0 - theta * cl.P;
        w[c] = wc;
        if (cl.count > 0.0) {
            if (wc <= 0.0) {
                zero = true;
                continue;
            }
            // count log(1 - theta P), then the series in t = theta / w.
            l += cl.count * std::log1p(-theta * cl.P);
            d1 -= cl.count * cl.P / wc;
            d2 -= cl.count * cl.P * cl.P / (wc * wc);
            const double t = theta / wc;
            double s, s1, s2;
            LogSeries(cl.m, kTerms, t, s, s1, s2);
            const double dt = 1.0 / (wc * wc);               // dt/dtheta
            const double ddt = 2.0 * cl.P / (wc * wc * wc);  // d2t/dtheta2
            l += s;
            d1 += s1 * dt;
            d2 += s2 * dt * dt + s1 * ddt;
        }
    }
    {
        // The exact sites' terms part by part, on the pool when there is
        // one; the sums in site order here. A product stored before it is
        // added cannot fuse with the sum, so the sums are bit for bit the
        // same with or without a pool.
        struct STerms {
            std::vector<double> terms;  // l, d1, d2 terms of each site; NaN: L <= 0
            bool rising = false;
        };
        const std::size_t parts = (m_Exact.size() + kExactPart - 1) / kExactPart;
        const std::vector<double>& wc = w;
        std::function<STerms(std::size_t)> job = [&](std::size_t part) {
            STerms out;
            const std::size_t first = part * kExactPart;
            const std::size_t last = std::min(m_Exact.size(), first + kExactPart);
            out.terms.resize(3 * (last - first));
            double* t = out.terms.data();
            for (std::size_t i = first; i < last; ++i, t += 3) {
                const SExact& e = m_Exact[i];
                const SClass& cl = m_Classes[static_cast<std::size_t>(e.cls)];
                const double L = e.a * wc[static_cast<std::size_t>(e.cls)] + theta * e.u;
                if (!(L > 0.0)) {
                    out.rising = out.rising || e.u - e.a * cl.P > 0.0;
                    t[0] = std::numeric_limits<double>::quiet_NaN();
                    continue;
                }
                const double y = (e.u - e.a * cl.P) / L;
                const double weight = e.weight;
                t[0] = weight * std::log(L);
                t[1] = weight * y;
                t[2] = weight * (y * y);
            }
            return out;
        };
        std::function<void(std::size_t, STerms&)> merge = [&](std::size_t, STerms& part) {
            rising = rising || part.rising;
            const double* t = part.terms.data();
            const double* const end = t + part.terms.size();
            for (; t != end; t += 3) {
                if (std::isnan(t[0])) {
                    zero = true;
                    continue;
                }
                l += t[0];
                d1 += t[1];
                d2 -= t[2];
            }
        };
        RunOrdered<STerms>(parts > 1 ? m_Pool : nullptr, parts, job, merge, kSmallJobs);
    }
    if (zero) {
        l = -kInf;
        d1 = rising ? kInf : -kInf;
        d2 = -kInf;
    }
}

double CThetaLik::Eval(double theta) const {
    double l, d1, d2;
    Eval(theta, l, d1, d2);
    return l;
}

namespace {

// Root of a monotone F(theta) = l(theta) - c on [a, b], F(a) and F(b) of
// opposite signs: Newton steps (F' = l') kept inside the bracket, bisection
// otherwise.
double MonotoneRoot(const CThetaLik& lik, double c, double a, double b, double guess) {
    double la = lik.Eval(a);
    const bool rising = la < c;  // F(a) < 0 <= F(b)
    double x = (guess > a && guess < b) ? guess : 0.5 * (a + b);
    for (int it = 0; it < 200; ++it) {
        double l, d1, d2;
        lik.Eval(x, l, d1, d2);
        const double f = l - c;
        if (f == 0.0) {
            return x;
        }
        if ((f < 0.0) == rising) {
            a = x;
        } else {
            b = x;
        }
        double next = (std::isfinite(d1) && d1 != 0.0) ? x - f / d1 : 0.5 * (a + b);
        if (!(next > a && next < b)) {
            next = 0.5 * (a + b);
        }
        if (std::fabs(next - x) <= 1e-11 * std::fabs(x) || b - a <= 1e-15 * b) {
            return next;
        }
        x = next;
    }
    return x;
}

}  // namespace

SThetaSolution SolveTheta(const CThetaLik& lik, double guess, double threshold,
                          double thresholdDrop) {
    SThetaSolution s;
    const double top = lik.ThetaValid();
    const bool topIsEdge = top >= lik.ThetaMax();
    QT_ASSERT(std::isfinite(top));
    double l0, g0, h0;
    lik.Eval(0.0, l0, g0, h0);
    if (!(g0 > 0.0)) {
        s.theta = 0.0;
    } else {
        double lt, gt, ht;
        lik.Eval(top, lt, gt, ht);
        if (gt >= 0.0) {
            s.theta = top;
            s.needWider = !topIsEdge;
        } else {
            // Safeguarded Newton on l' (l concave): l'(lo) > 0 > l'(hi).
            double lo = 0.0, hi = top;
            double x = (guess > lo && guess < hi) ? guess : 0.5 * (lo + hi);
            for (int it = 0; it < 200; ++it) {
                double l, g, h;
                lik.Eval(x, l, g, h);
                if (g == 0.0) {
                    break;
                }
                if (g > 0.0) {
                    lo = x;
                } else {
                    hi = x;
                }
                double next = (std::isfinite(g) && h < 0.0) ? x - g / h : 0.5 * (lo + hi);
                if (!(next > lo && next < hi)) {
                    next = 0.5 * (lo + hi);
                }
                const bool done =
                    std::fabs(next - x) <= 1e-11 * std::fabs(x) || hi - lo <= 1e-15 * hi;
                x = next;
                if (done) {
                    break;
                }
            }
            s.theta = x;
        }
    }
    s.logLik = lik.Eval(s.theta);
    if (thresholdDrop > 0.0) {
        threshold = s.logLik - thresholdDrop;
    }
    if (!std::isfinite(threshold)) {
        s.lo = s.hi = std::numeric_limits<double>::quiet_NaN();
        return s;
    }
    // The quadratic guess theta -+ sqrt(2 drop / -l'').
    double l, g, h;
    lik.Eval(s.theta, l, g, h);
    const double width =
        (h < 0.0 && std::isfinite(h)) ? std::sqrt(2.0 * (s.logLik - threshold) / -h) : 0.0;
    if (s.logLik <= threshold) {
        s.lo = s.hi = s.theta;
    } else {
        s.lo = l0 >= threshold ? 0.0 : MonotoneRoot(lik, threshold, 0.0, s.theta, s.theta - width);
        if (s.needWider) {
            s.hi = top;
        } else {
            const double lt = lik.Eval(top);
            if (lt >= threshold) {
                s.hi = top;
                s.needWider = !topIsEdge;
            } else {
                s.hi = MonotoneRoot(lik, threshold, s.theta, top, s.theta + width);
            }
        }
    }
    return s;
}
