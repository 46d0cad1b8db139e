#include "pool/nonnegative_qp.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Solves (A + ridge I) z = b for the symmetric A (k x k) by Cholesky, the
// ridge raised until the factorisation succeeds.
std::vector<double> SolveSymmetric(std::vector<double> a, std::vector<double> b, std::size_t k) {
    double top = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        top = std::max(top, a[i * k + i]);
    }
    const std::vector<double> original = a;
    for (double ridge = 1e-12 * top + 1e-300;; ridge *= 100.0) {
        a = original;
        for (std::size_t i = 0; i < k; ++i) {
            a[i * k + i] += ridge;
        }
        bool ok = true;
        for (std::size_t i = 0; i < k && ok; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                double s = a[i * k + j];
                for (std::size_t l = 0; l < j; ++l) {
                    s -= a[i * k + l] * a[j * k + l];
                }
                if (i == j) {
                    if (!(s > 0.0)) {
                        ok = false;
                        break;
                    }
                    a[i * k + i] = std::sqrt(s);
                } else {
                    a[i * k + j] = s / a[j * k + j];
                }
            }
        }
        if (!ok) {
            continue;
        }
        std::vector<double> z = b;
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t l = 0; l < i; ++l) {
                z[i] -= a[i * k + l] * z[l];
            }
            z[i] /= a[i * k + i];
        }
        for (std::size_t i = k; i-- > 0;) {
            for (std::size_t l = i + 1; l < k; ++l) {
                z[i] -= a[l * k + i] * z[l];
            }
            z[i] /= a[i * k + i];
        }
        return z;
    }
}

}  // namespace

std::vector<double> NonNegativeQuadraticMinimum(const std::vector<double>& N,
                                                const std::vector<double>& c) {
    const std::size_t m = c.size();
    std::vector<double> x(m, 0.0), w = c;
    std::vector<char> passive(m, 0), refused(m, 0);
    double scale = 0.0;
    for (double v : c) {
        scale = std::max(scale, std::fabs(v));
    }
    const double tolerance = 1e-12 * scale;
    std::vector<std::size_t> p;
    for (std::size_t added = 0; added < 3 * m; ++added) {
        std::size_t best = m;
        for (std::size_t j = 0; j < m; ++j) {
            if (!passive[j] && !refused[j] && w[j] > tolerance && (best == m || w[j] > w[best])) {
                best = j;
            }
        }
        if (best == m) {
            break;
        }
        passive[best] = 1;
        for (std::size_t inner = 0; inner < 3 * m; ++inner) {
            p.clear();
            for (std::size_t j = 0; j < m; ++j) {
                if (passive[j]) {
                    p.push_back(j);
                }
            }
            const std::size_t k = p.size();
            std::vector<double> a(k * k), b(k);
            for (std::size_t i = 0; i < k; ++i) {
                for (std::size_t l = 0; l < k; ++l) {
                    a[i * k + l] = N[p[i] * m + p[l]];
                }
                b[i] = c[p[i]];
            }
            const std::vector<double> z = SolveSymmetric(a, b, k);
            bool positive = true;
            for (double v : z) {
                positive = positive && v > 0.0;
            }
            if (positive) {
                for (std::size_t i = 0; i < k; ++i) {
                    x[p[i]] = z[i];
                }
                break;
            }
            // Towards z until the first variable reaches 0; it leaves.
            double alpha = 1.0;
            std::size_t first = k;
            for (std::size_t i = 0; i < k; ++i) {
                if (z[i] <= 0.0) {
                    const double d = x[p[i]] - z[i];
                    const double a = d > 0.0 ? x[p[i]] / d : 0.0;
                    if (first == k || a < alpha) {
                        alpha = a;
                        first = i;
                    }
                }
            }
            for (std::size_t i = 0; i < k; ++i) {
                x[p[i]] += alpha * (z[i] - x[p[i]]);
                if (i == first || !(x[p[i]] > 0.0)) {
                    x[p[i]] = 0.0;
                    passive[p[i]] = 0;
                }
            }
            if (alpha == 0.0 && !passive[best]) {
                // The variable just added cannot grow (rounding): keep it
                // out until x moves.
                refused[best] = 1;
                break;
            }
            std::fill(refused.begin(), refused.end(), 0);
        }
        for (std::size_t j = 0; j < m; ++j) {
            double s = c[j];
            for (std::size_t l = 0; l < m; ++l) {
                s -= N[j * m + l] * x[l];
            }
            w[j] = s;
        }
    }
    return x;
}
