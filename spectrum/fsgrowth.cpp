// Expected site-frequency spectrum under exponential growth, after Polanski
// and Kimmel: the probability of k derived copies among n is a weighted sum
// over the expected times T(j) during which the sample has j lineages.

#include <gsl/gsl_sf_expint.h>
#include <gsl/gsl_sf_gamma.h>

#include <cmath>
#include <limits>

#include "base/qt_assert.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Stand-in for a growth rate that is not strictly positive.
const double kMinRate = 1e-10;

}  // namespace

CFSGrowth::CFSGrowth() {
    SetParam(0) = 0.01;
    SetParam(1) = 0.05;
}

bool CFSGrowth::ParamsOutOfRange() const {
    return GetParam(0) <= 0 || GetParam(1) < kMinRate;
}

double CFSGrowth::x_Rate() const {
    const double g = GetParam(1);
    return g > 0 ? g : kMinRate;
}

double CFSGrowth::x_ExpTime(int k) const {
    QT_ASSERT(k >= 2);
    const double x = gsl_sf_choose(static_cast<unsigned int>(k), 2) / x_Rate();
    if (!(x > 0)) {
        // Only an infinite rate gives x = 0, where e^x E1(x) diverges; the
        // exponential integral must not be asked for Ei(0).
        return std::numeric_limits<double>::infinity();
    }
    if (x < 50) {
        return -std::exp(x) * gsl_sf_expint_Ei(-x);
    }
    // Asymptotic expansion e^x E1(x) ~ sum_{m>=1} (-1)^(m-1) (m-1)! / x^m,
    // nine terms: at x >= 50 the truncation error is below 9!/50^10.
    double sum = 0.0;
    for (int m = 1; m <= 9; ++m) {
        sum += std::pow(-1.0, m) * gsl_sf_fact(static_cast<unsigned int>(m - 1)) / std::pow(x, m);
    }
    return -sum;
}

const std::vector<double>& CFSGrowth::x_Times(int n) const {
    const double rate = x_Rate();
    if (m_TimesRate != rate) {
        m_Times.clear();
        m_TimesRate = rate;
    }
    if (m_Times.size() < 2) {
        m_Times.assign(2, 0.0);  // T(0) and T(1) are never used
    }
    for (int k = static_cast<int>(m_Times.size()); k <= n; ++k) {
        m_Times.push_back(x_ExpTime(k));
    }
    return m_Times;
}

const CFSGrowth::SDepthRow& CFSGrowth::x_DepthRow(int n) const {
    SDepthRow& row = m_Row;
    const double rate = x_Rate();
    if (row.depth != n) {
        row.depth = n;
        row.sRate = 0.0;  // S is recomputed below
        const std::size_t size = static_cast<std::size_t>(n) + 1;
        row.c.assign(size, 0.0);
        row.a.assign(size, 0.0);
        row.b.assign(size, 0.0);
        // c(j, n) = ((-1)^j + 1) (2j - 1) [n (n-1) ... (n-j+1)] / [n (n+1) ... (n+j-1)].
        // The two products leave the range of a double from depth ~135 on,
        // so their ratio is built one factor pair at a time.
        long double ratio = 1.0L;
        const double nd = n;
        for (int j = 2; j <= n; ++j) {
            ratio *= static_cast<long double>(n - j + 1) / static_cast<long double>(n + j - 1);
            const double sign = (j % 2 == 0) ? 2.0 : 0.0;
            const double jd = j;
            row.c[static_cast<std::size_t>(j)] = sign * (2.0 * jd - 1) * static_cast<double>(ratio);
            if (j >= 4) {
                // The factors A and B of the weight recurrence (see
                // x_UnfoldedProb) without A's (n - 2i).
                row.a[static_cast<std::size_t>(j)] = (2 * jd - 1) / ((jd - 2) * (nd + jd - 1));
                row.b[static_cast<std::size_t>(j)] = (2 * jd - 1) * (jd - 1) * (nd - jd + 2) /
                                                     ((2 * jd - 5) * (jd - 2) * (nd + jd - 1));
            }
        }
    }
    if (row.sRate != rate || row.sRate == 0.0) {
        const std::vector<double>& times = x_Times(n);
        double s = 0.0;
        for (int j = 2; j <= n; ++j) {
            s += times[static_cast<std::size_t>(j)] * row.c[static_cast<std::size_t>(j)];
        }
        row.s = s;
        row.sRate = rate;
    }
    return row;
}

double CFSGrowth::x_UnfoldedProb(int numMinor, int depth) const {
    const int n = depth;
    const double theta = GetParam(0);
    const double rate = x_Rate();
    const double s = n >= 2 ? x_DepthRow(n).s : 0.0;
    // Probability that the site is polymorphic in the sample.
    const double polymorphic = theta * 0.5 * s / rate;
    if (numMinor == 0) {
        return 1 - polymorphic;
    }
    if (s == 0) {
        // Every T(j) underflowed (a subnormal rate): no polymorphic mass, and
        // U / S would be 0 / 0.
        return 0.0;
    }
    // U = sum over j of W(i, j, n) T(j) for i = numMinor, with the weights
    // of Polanski and Kimmel climbed upwards from j = 2:
    //   W(i, 2, n) = 6 / (n + 1),
    //   W(i, 3, n) = 30 (n - 2i) / ((n + 1)(n + 2)),
    //   W(i, j, n) = A W(i, j - 1, n) - B W(i, j - 2, n) for j >= 4, with
    //   A = (2j - 1)(n - 2i) / ((j - 2)(n + j - 1)),
    //   B = (2j - 1)(j - 1)(n - j + 2) / ((2j - 5)(j - 2)(n + j - 1)).
    // The integer factors are formed in double, exact up to 2^53, so no
    // depth overflows them. The weights are not kept: a spectrum value is
    // memoised itself, so its row of weights is wanted once per parameter
    // vector (twice when folded), and the likelihood evaluates fresh copies
    // of the model. Keeping every row of every depth would cost 16 n^2 bytes
    // per depth and evaluation (about 450 MB for the depths 2 to 400)
    // without saving any arithmetic.
    const SDepthRow& row = x_DepthRow(n);
    const std::vector<double>& times = x_Times(n);
    const double nd = n;
    const double spread = nd - 2.0 * numMinor;  // n - 2i
    double w2 = 6.0 / (nd + 1);                 // W(i, 2, n)
    double u = w2 * times[2];
    if (n >= 3) {
        double w1 = 30.0 * spread / ((nd + 1) * (nd + 2));  // W(i, 3, n)
        u += w1 * times[3];
        for (int j = 4; j <= n; ++j) {
            const std::size_t jj = static_cast<std::size_t>(j);
            const double w = row.a[jj] * spread * w1 - row.b[jj] * w2;
            u += w * times[jj];
            w2 = w1;
            w1 = w;
        }
    }
    return polymorphic * (u / s);
}
