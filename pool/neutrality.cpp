#include "pool/neutrality.hpp"

#include <cmath>
#include <limits>

#include "spectrum/pool_diversity.hpp"

double PiTerm(unsigned j, unsigned n) {
    return PoolWithin(j, n);
}

double SegregatingTerm(unsigned j, unsigned n) {
    return j > 0 && j < n ? 1.0 : 0.0;
}

double ThetaHTerm(unsigned j, unsigned n) {
    return 2.0 * j * static_cast<double>(j) / (static_cast<double>(n) * (n - 1.0));
}

STajimaConstants TajimaConstants(unsigned n) {
    STajimaConstants k;
    for (unsigned i = 1; i < n; ++i) {
        k.a1 += 1.0 / i;
        k.a2 += 1.0 / (static_cast<double>(i) * i);
    }
    const double m = n;
    k.b1 = (m + 1.0) / (3.0 * (m - 1.0));
    k.b2 = 2.0 * (m * m + m + 3.0) / (9.0 * m * (m - 1.0));
    k.c1 = k.b1 - 1.0 / k.a1;
    k.c2 = k.b2 - (m + 2.0) / (k.a1 * m) + k.a2 / (k.a1 * k.a1);
    k.e1 = k.c1 / k.a1;
    k.e2 = k.c2 / (k.a1 * k.a1 + k.a2);
    return k;
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
    const STajimaConstants k = TajimaConstants(n);
    r.pi = s.pi / s.sites;
    r.thetaW = s.segregating / k.a1 / s.sites;
    const double S = s.segregating;
    const double variance = k.e1 * S + k.e2 * S * (S - 1.0);
    // Tajima's c1 and c2 vanish up to rounding for n <= 3: no variance.
    const bool defined = S > 0.0 && n > 3 && variance > 0.0 && std::isfinite(variance);
    r.tajimaD = defined ? (s.pi - S / k.a1) / std::sqrt(variance) : kNaN;
    if (folded) {
        r.thetaH = r.fayWuH = kNaN;
    } else {
        r.thetaH = s.thetaH / s.sites;
        r.fayWuH = r.pi - r.thetaH;
    }
    return r;
}
