#include "spectrum/sample_diversity.hpp"

#include <cmath>
#include <limits>

#include "base/qt_assert.hpp"

double WattersonA(unsigned n) {
    double a = 0.0;
    for (unsigned i = 1; i < n; ++i) {
        a += 1.0 / i;
    }
    return a;
}

double TajimaD(unsigned n, double pairwise, double segregating) {
    QT_ASSERT(n >= 2);
    if (!(segregating > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double nn = n;
    double a1 = 0.0, a2 = 0.0;
    for (unsigned i = 1; i < n; ++i) {
        a1 += 1.0 / i;
        a2 += 1.0 / (static_cast<double>(i) * i);
    }
    const double b1 = (nn + 1.0) / (3.0 * (nn - 1.0));
    const double b2 = 2.0 * (nn * nn + nn + 3.0) / (9.0 * nn * (nn - 1.0));
    const double c1 = b1 - 1.0 / a1;
    const double c2 = b2 - (nn + 2.0) / (a1 * nn) + a2 / (a1 * a1);
    const double e1 = c1 / a1;
    const double e2 = c2 / (a1 * a1 + a2);
    const double s = segregating;
    const double variance = e1 * s + e2 * s * (s - 1.0);
    // For n <= 3 Tajima's c1 and c2 vanish (up to rounding): the variance
    // is 0 and D undefined, not infinite.
    if (n <= 3 || !(variance > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return (pairwise - s / a1) / std::sqrt(variance);
}

CSampleDiversity::CSampleDiversity(unsigned n)
    : m_N(n), m_Pairs(static_cast<double>(n) * (static_cast<double>(n) - 1.0)) {
    QT_ASSERT(n >= 2);
}

void CSampleDiversity::Add(unsigned j) {
    QT_ASSERT(j <= m_N);
    if (j == 0 || j == m_N) {
        return;
    }
    const double x = j;
    m_Pairwise += 2.0 * x * (m_N - x) / m_Pairs;
    m_ThetaH += ThetaHTerm(j, m_N);
    ++m_Segregating;
}
