#include "pool/neutrality.hpp"

#include <limits>

#include "spectrum/pool_diversity.hpp"
#include "spectrum/sample_diversity.hpp"

double PiTerm(unsigned j, unsigned n) {
    return PoolWithin(j, n);
}

double SegregatingTerm(unsigned j, unsigned n) {
    return j > 0 && j < n ? 1.0 : 0.0;
}

SNeutrality Neutrality(const SSpectrumSums& s, unsigned n, bool folded) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    SNeutrality r;
    r.sites = s.sites;
    r.segregating = s.segregating;
    if (!(s.sites > 0.0)) {
        r.pi = r.thetaW = r.tajimaD = r.thetaH = r.fayWuH = kNaN;
        return r;
    }
    r.pi = s.pi / s.sites;
    r.thetaW = s.segregating / WattersonA(n) / s.sites;
    r.tajimaD = TajimaD(n, s.pi, s.segregating);
    if (folded) {
        r.thetaH = r.fayWuH = kNaN;
    } else {
        r.thetaH = s.thetaH / s.sites;
        r.fayWuH = r.pi - r.thetaH;
    }
    return r;
}
