#include "pool/spectrum_smoothing.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/qt_assert.hpp"

namespace {

// The `count` uniform cubic B-splines whose knots lie every h = (b - a) /
// (count - 3) from a - 3h to b + 3h, at v in [a, b], into out[0..count):
// on [a + i h, a + (i + 1) h] the four of i..i + 3 are nonzero, at
// u = (v - a) / h - i (the uniform cubic's pieces, de Boor 1978). Their
// Greville points a + (k - 1) h lie evenly, so coefficients on a straight
// line give the straight line itself (which clamped knots would bend at the
// ends, where the rare alleles are).
void CubicBSplines(double a, double b, unsigned count, double v, std::vector<double>& out) {
    const unsigned intervals = count - 3;
    const double h = (b - a) / intervals;
    const double x = (std::clamp(v, a, b) - a) / h;
    const unsigned i = std::min(static_cast<unsigned>(x), intervals - 1);
    const double u = x - i, w = 1.0 - u;
    out.assign(count, 0.0);
    out[i] = w * w * w / 6.0;
    out[i + 1] = (3.0 * u * u * u - 6.0 * u * u + 4.0) / 6.0;
    out[i + 2] = (-3.0 * u * u * u + 3.0 * u * u + 3.0 * u + 1.0) / 6.0;
    out[i + 3] = u * u * u / 6.0;
}

}  // namespace

SPoolLogLinear SmoothSpectrumFamily(unsigned n, bool folded, unsigned splines, double lambda) {
    QT_ASSERT(n >= 2 && splines >= 4 && lambda >= 0.0);
    SPoolLogLinear f;
    const unsigned distinct = folded ? n / 2 : n - 1;
    if (distinct < 4) {
        return f;
    }
    // No more splines than distinct points to tell them apart.
    splines = std::min(splines, distinct);
    const std::size_t k = splines + (folded ? 0 : 1);
    const double a = -std::log(n - 1.0);
    const double b = folded ? 0.0 : -a;
    f.params = k;
    f.offset.assign(n + 1, 0.0);
    f.design.assign((n + 1) * k, 0.0);
    std::vector<double> values;
    double weights = 0.0;
    for (unsigned j = 1; j < n; ++j) {
        const double x = static_cast<double>(j), y = static_cast<double>(n - j);
        double v = std::log(x / y);
        double w = 1.0 / x;
        if (folded) {
            v = -std::fabs(v);
            w += 1.0 / y;
        }
        CubicBSplines(a, b, splines, v, values);
        for (unsigned s = 0; s < splines; ++s) {
            f.design[j * k + s] = values[s];
        }
        f.offset[j] = std::log(w);
        weights += w;
    }
    if (folded) {
        f.offset[0] = f.offset[n] = std::log(0.5);
    } else {
        f.design[n * k + splines] = 1.0;
    }
    f.penalty.assign(k * k, 0.0);
    for (unsigned s = 0; s + 2 < splines; ++s) {
        const unsigned idx[3] = {s, s + 1, s + 2};
        const double d[3] = {1.0, -2.0, 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                f.penalty[idx[r] * k + idx[c]] += lambda * d[r] * d[c];
            }
        }
    }
    // The start: a twentieth of the sites polymorphic, spread as the
    // neutral spectrum; unfolded, a hundredth fixed for the second allele.
    f.start.assign(k, std::log(0.05 / weights));
    if (!folded) {
        f.start[splines] = std::log(0.01);
    }
    return f;
}
