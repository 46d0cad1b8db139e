// The pools' joint prior against brute force: each pool's posterior, QUAL
// and the test at a site against sums over every pair of counts and every
// assignment of the reads to chromosomes; the nearest binomial mixture
// against plain EM run to the end; the fit of the joint prior's two shares
// against a grid of the exact likelihood, and the shares it finds in sites
// simulated with known ones.

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "freq/joint_prior.hpp"
#include "pool/tests/pool_test_sim.hpp"

using namespace pool_test;

namespace {

// A random spectrum of n with phi(0) = zero and the rest drawn at random.
SPoolSpectrum RandomSpectrum(gsl_rng* rng, unsigned n, double zero) {
    SPoolSpectrum s;
    s.n = n;
    s.phi.assign(n + 1, 0.0);
    double rest = 0.0;
    for (unsigned j = 1; j <= n; ++j) {
        s.phi[j] = 0.05 + gsl_rng_uniform(rng);
        rest += s.phi[j];
    }
    for (unsigned j = 1; j <= n; ++j) {
        s.phi[j] *= (1.0 - zero) / rest;
    }
    s.phi[0] = zero;
    return s;
}

std::vector<SPoolRecordView> Views(const std::vector<unsigned char>& bytes, std::size_t pools) {
    std::vector<SPoolRecordView> v(pools);
    const unsigned char* p = bytes.data();
    for (SPoolRecordView& r : v) {
        p = ReadPoolRecord(p, r);
    }
    return v;
}

// The equal-tailed interval of a posterior over j = 0..n, as the calls
// define it: the largest j with P(J < j) <= 2.5%, the smallest with
// P(J > j) <= 2.5%.
void Interval(const std::vector<double>& post, double& lo, double& hi) {
    const std::size_t n = post.size() - 1;
    std::size_t a = 0, b = n;
    double below = 0.0, above = 0.0;
    while (a < n && below + post[a] <= 0.025) {
        below += post[a++];
    }
    while (b > 0 && above + post[b] <= 0.025) {
        above += post[b--];
    }
    lo = static_cast<double>(a) / n;
    hi = static_cast<double>(std::max(a, b)) / n;
}

// The comonotone coupling of two mixtures, from its definition: the
// frequencies (k1, k2) share the length of the overlap of their intervals
// of (0, 1) under the distribution functions.
std::vector<std::vector<double>> Comonotone(const SPoolMixture& a, const SPoolMixture& b) {
    std::vector<std::vector<double>> c(a.p.size(), std::vector<double>(b.p.size(), 0.0));
    double a0 = 0.0;
    for (std::size_t x = 0; x < a.p.size(); ++x) {
        const double a1 = x + 1 == a.p.size() ? 1.0 : a0 + a.g[x];
        double b0 = 0.0;
        for (std::size_t y = 0; y < b.p.size(); ++y) {
            const double b1 = y + 1 == b.p.size() ? 1.0 : b0 + b.g[y];
            c[x][y] = std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
            b0 = b1;
        }
        a0 = a1;
    }
    return c;
}

}  // namespace

// Two tiny pools (3 and 4 chromosomes, up to 5 reads each): the posterior of
// each pool's count, its mean and interval, QUAL and the test's p-value
// equal sums over every pair (j1, j2) under the joint prior, built here
// from its definition, and over every assignment of the reads to
// chromosomes (BruteLikelihood), and the test a grid of 20001 frequencies;
// for independent pools, the comonotone draw alone, the monomorphic share
// at its largest, and shares between.
TEST(JointPrior, SiteCallsMatchTheBruteForce) {
    TRng rng = MakeRng(5);
    const unsigned sizes[2] = {3, 4};
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<SPoolSpectrum> phi;
        for (unsigned n : sizes) {
            phi.push_back(NearestBinomialMixture(
                RandomSpectrum(rng.get(), n, 0.4 + 0.5 * gsl_rng_uniform(rng.get()))));
        }
        const double limit = std::min(phi[0].phi[0], phi[1].phi[0]);
        const double r = trial % 3 == 0 ? 0.0 : trial % 3 == 1 ? 1.0 : gsl_rng_uniform(rng.get());
        const double w = trial % 4 == 0   ? 0.0
                         : trial % 4 == 1 ? limit
                                          : limit * gsl_rng_uniform(rng.get());
        const SJointPrior prior = MakeJointPrior(phi, r, w);
        SPoolSite site;
        site.m_RefBase = kFirst;
        for (unsigned n : sizes) {
            const unsigned j = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), n + 1));
            const unsigned depth = 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 5));
            std::vector<SBaseRead> reads = PoolReads(rng.get(), j, n, depth, 5, 30);
            for (SBaseRead& read : reads) {
                read.m_Base = read.m_Base == kFirst ? kFirst : kSecond;  // two alleles only
            }
            site.m_Reads.push_back(reads);
        }
        CPoolEncoder encoder(2, 1, 0, true);
        std::vector<unsigned char> bytes;
        SPoolEncodeCounts counts;
        std::uint64_t reads = 0;
        ASSERT_EQ(encoder.Encode(site, bytes, counts, reads), 2u);
        const std::vector<SPoolRecordView> views = Views(bytes, 2);

        // The joint prior over (j1, j2), and the posterior.
        const auto coupling = Comonotone(prior.m_Mixtures[0], prior.m_Mixtures[1]);
        std::vector<std::vector<double>> like(2);
        for (std::size_t i = 0; i < 2; ++i) {
            for (unsigned j = 0; j <= sizes[i]; ++j) {
                like[i].push_back(BruteLikelihood(site.m_Reads[i], kFirst, j, sizes[i]));
            }
        }
        std::vector<std::vector<double>> joint(sizes[0] + 1, std::vector<double>(sizes[1] + 1));
        double total = 0.0;
        for (unsigned a = 0; a <= sizes[0]; ++a) {
            for (unsigned b = 0; b <= sizes[1]; ++b) {
                double comonotone = 0.0;
                for (std::size_t x = 0; x < coupling.size(); ++x) {
                    for (std::size_t y = 0; y < coupling[x].size(); ++y) {
                        comonotone += coupling[x][y] *
                                      gsl_ran_binomial_pdf(a, prior.m_Mixtures[0].p[x], sizes[0]) *
                                      gsl_ran_binomial_pdf(b, prior.m_Mixtures[1].p[y], sizes[1]);
                    }
                }
                const double psi1 = (phi[0].phi[a] - (a == 0 ? w : 0.0)) / (1.0 - w);
                const double psi2 = (phi[1].phi[b] - (b == 0 ? w : 0.0)) / (1.0 - w);
                const double p = r * comonotone + (1.0 - r) * ((a == 0 && b == 0 ? w : 0.0) +
                                                               (1.0 - w) * psi1 * psi2);
                joint[a][b] = p * like[0][a] * like[1][b];
                total += joint[a][b];
            }
        }
        CJointCaller caller(prior);
        const double qual = caller.Qual(views.data());
        const double none = joint[0][0] / total;
        EXPECT_NEAR(qual, std::min(999.0, -10.0 * std::log10(none)), 1e-4 * std::max(1.0, qual))
            << trial;
        std::vector<SPoolPosterior> post;
        SDifferentiation test;
        caller.Call(views.data(), post, &test);
        for (std::size_t i = 0; i < 2; ++i) {
            std::vector<double> marginal(sizes[i] + 1, 0.0);
            for (unsigned a = 0; a <= sizes[0]; ++a) {
                for (unsigned b = 0; b <= sizes[1]; ++b) {
                    marginal[i == 0 ? a : b] += joint[a][b] / total;
                }
            }
            double mean = 0.0;
            for (unsigned j = 0; j <= sizes[i]; ++j) {
                mean += marginal[j] * j / sizes[i];
            }
            double lo, hi;
            Interval(marginal, lo, hi);
            EXPECT_NEAR(post[i].mean, mean, 1e-6) << trial << " pool " << i;
            EXPECT_EQ(post[i].lo, lo) << trial << " pool " << i;
            EXPECT_EQ(post[i].hi, hi) << trial << " pool " << i;
            EXPECT_NEAR(post[i].pZero, marginal[0], 1e-6) << trial << " pool " << i;
        }
        // The test: max over a grid of p of each pool's log sum_j Binom(j;
        // n, p) P(reads | j), and of their sum.
        double shared = -INFINITY;
        std::vector<double> best(2, -INFINITY);
        for (int g = 0; g <= 20000; ++g) {
            const double p = g / 20000.0;
            double sum = 0.0;
            for (std::size_t i = 0; i < 2; ++i) {
                double l = 0.0;
                for (unsigned j = 0; j <= sizes[i]; ++j) {
                    l += gsl_ran_binomial_pdf(j, p, sizes[i]) * like[i][j];
                }
                best[i] = std::max(best[i], std::log(l));
                sum += std::log(l);
            }
            shared = std::max(shared, sum);
        }
        const double statistic = std::max(0.0, 2.0 * (best[0] + best[1] - shared));
        ASSERT_EQ(test.pools, 2u);
        EXPECT_NEAR(test.statistic, statistic, 1e-4) << trial;
        EXPECT_NEAR(test.pValue, statistic > 0 ? gsl_cdf_chisq_Q(statistic, 1.0) : 1.0, 1e-4)
            << trial;
    }
}

// A spectrum that is a binomial mixture comes back as it was (up to the
// grid of frequencies); a spiky one
// comes back as the mixture that plain EM (g(p) <- g(p) sum_j Binom(j; n,
// p) phi(j) / (B g)(j) on the same grid, 20000 steps) approaches, at least
// as near to the spectrum, with every count between 0 and n given a share.
TEST(JointPrior, NearestBinomialMixture) {
    const unsigned n = 12;
    // Populations at frequencies 0 (90%), 0.07, 0.3 and 0.81.
    SPoolSpectrum mixture;
    mixture.n = n;
    mixture.phi.assign(n + 1, 0.0);
    const double ps[] = {0.0, 0.07, 0.3, 0.81}, gs[] = {0.9, 0.06, 0.03, 0.01};
    for (int k = 0; k < 4; ++k) {
        for (unsigned j = 0; j <= n; ++j) {
            mixture.phi[j] += gs[k] * gsl_ran_binomial_pdf(j, ps[k], n);
        }
    }
    // Its frequencies lie between the grid's: within 1% in every count,
    // and a divergence below 1e-7.
    const SPoolSpectrum same = NearestBinomialMixture(mixture);
    double apart = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        EXPECT_NEAR(same.phi[j], mixture.phi[j], 1e-2 * mixture.phi[j]) << j;
        apart += mixture.phi[j] * std::log(mixture.phi[j] / same.phi[j]);
    }
    EXPECT_LT(apart, 1e-7);

    SPoolSpectrum spiky;
    spiky.n = n;
    spiky.phi = {900, 30, 0, 12, 0, 0, 9, 0, 0, 0, 5, 0, 4};
    const SPoolSpectrum near = NearestBinomialMixture(spiky);
    auto divergence = [&](const std::vector<double>& m) {
        double total = 0.0, d = 0.0;
        for (double x : spiky.phi) {
            total += x;
        }
        for (unsigned j = 0; j <= n; ++j) {
            if (spiky.phi[j] > 0) {
                d += spiky.phi[j] / total * std::log(spiky.phi[j] / total / m[j]);
            }
        }
        return d;
    };
    // Plain EM on the grid the function uses (2n points, at least 64).
    const unsigned grid = 64;
    std::vector<double> g(grid + 1, 1.0 / (grid + 1)), m(n + 1);
    std::vector<std::vector<double>> B(grid + 1, std::vector<double>(n + 1));
    for (unsigned k = 0; k <= grid; ++k) {
        const double s = std::sin(M_PI * k / (2.0 * grid));
        for (unsigned j = 0; j <= n; ++j) {
            B[k][j] = gsl_ran_binomial_pdf(j, k == grid ? 1.0 : s * s, n);
        }
    }
    double total = 0.0;
    for (double x : spiky.phi) {
        total += x;
    }
    for (int step = 0; step < 20000; ++step) {
        std::fill(m.begin(), m.end(), 0.0);
        for (unsigned k = 0; k <= grid; ++k) {
            for (unsigned j = 0; j <= n; ++j) {
                m[j] += g[k] * B[k][j];
            }
        }
        for (unsigned k = 0; k <= grid; ++k) {
            double sum = 0.0;
            for (unsigned j = 0; j <= n; ++j) {
                sum += B[k][j] * spiky.phi[j] / total / m[j];
            }
            g[k] *= sum;
        }
    }
    EXPECT_LE(divergence(near.phi), divergence(m) + 1e-9);
    for (unsigned j = 0; j <= n; ++j) {
        EXPECT_NEAR(near.phi[j], m[j], 2e-3 * m[j]) << j;
        EXPECT_GT(near.phi[j], 0.0) << j;
    }
}

// Sites of three pools drawn from a joint prior with known shares (r 0.5
// comonotone, w 0.8 of the rest monomorphic everywhere, the pools' mixtures
// on the grid's frequencies): the fitted shares are within 0.06 of them,
// and no pair of shares of a 21 x 21 grid gives a higher likelihood,
// computed from each pool's full likelihood (every count, every read)
// rather than the fit's terms.
TEST(JointPrior, FitFindsTheShares) {
    TRng rng = MakeRng(9);
    const unsigned sizes[3] = {6, 10, 8};
    const double r = 0.5, w = 0.8;
    // Each pool's mixture: frequency 0 and three others of its grid
    // (sin^2(pi k / 128), 64 points: n is small).
    std::vector<SPoolSpectrum> phi;
    std::vector<SPoolMixture> mixtures;
    const int ks[3][3] = {{3, 14, 40}, {5, 20, 33}, {2, 11, 50}};
    for (std::size_t i = 0; i < 3; ++i) {
        SPoolMixture m;
        m.p.push_back(0.0);
        m.g.push_back(0.85);
        for (int k : ks[i]) {
            const double s = std::sin(M_PI * k / 128.0);
            m.p.push_back(s * s);
            m.g.push_back(0.05);
        }
        SPoolSpectrum f;
        f.n = sizes[i];
        f.phi.assign(sizes[i] + 1, 0.0);
        for (std::size_t x = 0; x < m.p.size(); ++x) {
            for (unsigned j = 0; j <= sizes[i]; ++j) {
                f.phi[j] += m.g[x] * gsl_ran_binomial_pdf(j, m.p[x], sizes[i]);
            }
        }
        phi.push_back(f);
        mixtures.push_back(m);
    }
    const SJointPrior prior = MakeJointPrior(phi, 0.0, 0.0);
    std::vector<SPoolSite> sites;
    for (int s = 0; s < 20000; ++s) {
        SPoolSite site;
        site.m_Pos = s;
        site.m_RefBase = kFirst;
        std::vector<unsigned> js(3);
        const double u = gsl_rng_uniform(rng.get());
        if (u < r) {
            // One u for every pool: each its quantile of its mixture.
            const double v = gsl_rng_uniform(rng.get());
            for (std::size_t i = 0; i < 3; ++i) {
                std::size_t x = 0;
                for (double c = mixtures[i].g[0]; c < v && x + 1 < mixtures[i].p.size();
                     c += mixtures[i].g[++x]) {
                }
                js[i] = gsl_ran_binomial(rng.get(), mixtures[i].p[x], sizes[i]);
            }
        } else if (u >= r + (1 - r) * w) {
            for (std::size_t i = 0; i < 3; ++i) {
                std::vector<double> psi = phi[i].phi;
                psi[0] -= w;
                for (double& x : psi) {
                    x /= 1 - w;
                }
                js[i] = Draw(rng.get(), psi);
            }
        }
        for (std::size_t i = 0; i < 3; ++i) {
            const unsigned depth = 4 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 10));
            site.m_Reads.push_back(PoolReads(rng.get(), js[i], sizes[i], depth, 15, 40));
            for (SBaseRead& read : site.m_Reads.back()) {
                read.m_Base = read.m_Base == kFirst ? kFirst : kSecond;
            }
        }
        sites.push_back(site);
    }
    const CPoolStore store = StoreOf(sites, true);
    const SJointFit fit = FitJointPrior(store, prior, nullptr);
    EXPECT_NEAR(fit.m_Shared, r, 0.06);
    EXPECT_NEAR(fit.m_Monomorphic, w, 0.06);
    EXPECT_GT(fit.m_Gain, 0.0);

    // The exact log-likelihood of (r', w') from the reads (the product form
    // of the assignments' sum: reads are independent given the count).
    std::vector<std::vector<std::vector<double>>> like(sites.size());
    for (std::size_t s = 0; s < sites.size(); ++s) {
        for (std::size_t i = 0; i < 3; ++i) {
            std::vector<double> l(sizes[i] + 1);
            for (unsigned j = 0; j <= sizes[i]; ++j) {
                double x = 1.0;
                for (const SBaseRead& read : sites[s].m_Reads[i]) {
                    const double e = ErrProbTable()[read.m_Score];
                    const double f = static_cast<double>(j) / sizes[i];
                    x *= read.m_Base == kFirst ? f * e + (1 - f) * (1 - e)
                                               : f * (1 - e) + (1 - f) * e;
                }
                l[j] = x;
            }
            like[s].push_back(l);
        }
    }
    // The comonotone part per site, with the prior's own mixtures (the
    // nearest ones of the spectra) and their coupling from its definition.
    const SPoolMixture& m0 = prior.m_Mixtures[0];
    const SPoolMixture& m1 = prior.m_Mixtures[1];
    const SPoolMixture& m2 = prior.m_Mixtures[2];
    std::vector<double> comonotone(sites.size(), 0.0);
    {
        // Three pools: walk u through every pool's intervals.
        std::vector<double> cuts = {0.0, 1.0};
        for (const SPoolMixture* m : {&m0, &m1, &m2}) {
            double c = 0.0;
            for (std::size_t x = 0; x + 1 < m->g.size(); ++x) {
                cuts.push_back(c += m->g[x]);
            }
        }
        std::sort(cuts.begin(), cuts.end());
        auto at = [](const SPoolMixture& m, double u) {
            std::size_t x = 0;
            for (double c = m.g[0]; c <= u && x + 1 < m.g.size(); c += m.g[++x]) {
            }
            return x;
        };
        for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
            const double len = cuts[c + 1] - cuts[c];
            if (len <= 0) {
                continue;
            }
            const double mid = 0.5 * (cuts[c] + cuts[c + 1]);
            const SPoolMixture* ms[3] = {&m0, &m1, &m2};
            for (std::size_t s = 0; s < sites.size(); ++s) {
                double x = len;
                for (std::size_t i = 0; i < 3; ++i) {
                    const double p = ms[i]->p[at(*ms[i], mid)];
                    double l = 0.0;
                    for (unsigned j = 0; j <= sizes[i]; ++j) {
                        l += gsl_ran_binomial_pdf(j, p, sizes[i]) * like[s][i][j];
                    }
                    x *= l;
                }
                comonotone[s] += x;
            }
        }
    }
    auto logLik = [&](double a, double v) {
        double sum = 0.0;
        for (std::size_t s = 0; s < sites.size(); ++s) {
            double zero = v, rest = 1.0 - v;
            for (std::size_t i = 0; i < 3; ++i) {
                zero *= like[s][i][0];
                double c = 0.0;
                for (unsigned j = 0; j <= sizes[i]; ++j) {
                    c += (prior.m_Pools[i].phi[j] - (j == 0 ? v : 0.0)) / (1.0 - v) * like[s][i][j];
                }
                rest *= c;
            }
            sum += std::log(a * comonotone[s] + (1 - a) * (zero + rest));
        }
        return sum;
    };
    const double atFit = logLik(fit.m_Shared, fit.m_Monomorphic);
    double limit = 1.0;
    for (const SPoolSpectrum& f : prior.m_Pools) {
        limit = std::min(limit, f.phi[0]);
    }
    for (int a = 0; a <= 20; ++a) {
        for (int b = 0; b <= 20; ++b) {
            EXPECT_LE(logLik(a / 20.0, limit * b / 20.0), atFit + 1e-3) << a << " " << b;
        }
    }
    EXPECT_NEAR(atFit - logLik(0.0, 0.0), fit.m_Gain, 1e-3 * fit.m_Gain);
}
