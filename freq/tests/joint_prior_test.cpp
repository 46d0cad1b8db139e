// The pools' joint prior against brute force: each pool's posterior, QUAL
// and the test at a site against sums over every pair of counts and every
// assignment of the reads to chromosomes; the nearest binomial mixture
// against plain EM run to the end; the fit of the shared monomorphic share
// against a dense grid of the exact likelihood, and the share it finds in
// sites simulated with a known one.

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

}  // namespace

// Two tiny pools (3 and 4 chromosomes, up to 5 reads each): the posterior of
// each pool's count, its mean and interval, QUAL and the test's p-value
// equal sums over every pair (j1, j2) under the joint prior and over every
// assignment of the reads to chromosomes (BruteLikelihood), and the test a
// grid of 20001 frequencies.
TEST(JointPrior, SiteCallsMatchTheBruteForce) {
    TRng rng = MakeRng(5);
    const unsigned sizes[2] = {3, 4};
    for (int trial = 0; trial < 60; ++trial) {
        SJointPrior prior;
        for (unsigned n : sizes) {
            prior.m_Pools.push_back(
                RandomSpectrum(rng.get(), n, 0.4 + 0.5 * gsl_rng_uniform(rng.get())));
        }
        const double limit = std::min(prior.m_Pools[0].phi[0], prior.m_Pools[1].phi[0]);
        // Independent pools, the largest share, and one between.
        prior.m_Shared = trial % 3 == 0   ? 0.0
                         : trial % 3 == 1 ? limit
                                          : limit * gsl_rng_uniform(rng.get());
        SPoolSite site;
        site.m_RefBase = kFirst;
        for (unsigned n : sizes) {
            const unsigned j = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), n + 1));
            const unsigned depth = 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 5));
            std::vector<SBaseRead> reads = PoolReads(rng.get(), j, n, depth, 5, 30);
            for (SBaseRead& r : reads) {
                r.m_Base = r.m_Base == kFirst ? kFirst : kSecond;  // two alleles only
            }
            site.m_Reads.push_back(reads);
        }
        CPoolEncoder encoder(2, 1, 0, true);
        std::vector<unsigned char> bytes;
        SPoolEncodeCounts counts;
        std::uint64_t reads = 0;
        ASSERT_EQ(encoder.Encode(site, bytes, counts, reads), 2u);
        const std::vector<SPoolRecordView> views = Views(bytes, 2);

        // The joint posterior over (j1, j2).
        const double w = prior.m_Shared;
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
                const double psi1 = (prior.m_Pools[0].phi[a] - (a == 0 ? w : 0.0)) / (1.0 - w);
                const double psi2 = (prior.m_Pools[1].phi[b] - (b == 0 ? w : 0.0)) / (1.0 - w);
                const double p = (a == 0 && b == 0 ? w : 0.0) + (1.0 - w) * psi1 * psi2;
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
        double own = 0.0, shared = -INFINITY;
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
        own = best[0] + best[1];
        const double statistic = std::max(0.0, 2.0 * (own - shared));
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

// Sites of three pools where a known share w of them is monomorphic in
// every pool and the pools draw their counts independently elsewhere: the
// fitted share is within 0.02 of w, and no w of a grid of 200 gives a
// higher likelihood, computed from each pool's full likelihood (every
// count) rather than the fit's two terms per pool.
TEST(JointPrior, SharedMonomorphicShare) {
    TRng rng = MakeRng(9);
    const unsigned sizes[3] = {6, 10, 8};
    const double w = 0.85;
    std::vector<SPoolSpectrum> psi, phi;
    for (unsigned n : sizes) {
        psi.push_back(RandomSpectrum(rng.get(), n, 0.3));
    }
    for (const SPoolSpectrum& s : psi) {
        SPoolSpectrum m = s;
        for (double& x : m.phi) {
            x *= 1.0 - w;
        }
        m.phi[0] += w;
        phi.push_back(m);
    }
    std::vector<SPoolSite> sites;
    for (int s = 0; s < 20000; ++s) {
        SPoolSite site;
        site.m_Pos = s;
        site.m_RefBase = kFirst;
        const bool common = gsl_rng_uniform(rng.get()) < w;
        for (std::size_t i = 0; i < 3; ++i) {
            const unsigned j = common ? 0 : Draw(rng.get(), psi[i].phi);
            const unsigned depth = 4 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 10));
            site.m_Reads.push_back(PoolReads(rng.get(), j, sizes[i], depth, 15, 40));
            for (SBaseRead& r : site.m_Reads.back()) {
                r.m_Base = r.m_Base == kFirst ? kFirst : kSecond;
            }
        }
        sites.push_back(site);
    }
    const CPoolStore store = StoreOf(sites, true);
    const SSharedFit fit = FitSharedMonomorphic(store, phi, nullptr);
    EXPECT_NEAR(fit.m_Shared, w, 0.02);
    EXPECT_GT(fit.m_Gain, 0.0);

    // The exact log-likelihood of w' from the reads, every count of every
    // pool (the product form of the assignments' sum: reads are
    // independent given the count).
    std::vector<std::vector<std::vector<double>>> like(sites.size());
    for (std::size_t s = 0; s < sites.size(); ++s) {
        for (std::size_t i = 0; i < 3; ++i) {
            std::vector<double> l(sizes[i] + 1);
            for (unsigned j = 0; j <= sizes[i]; ++j) {
                double x = 1.0;
                for (const SBaseRead& r : sites[s].m_Reads[i]) {
                    const double e = ErrProbTable()[r.m_Score];
                    const double f = static_cast<double>(j) / sizes[i];
                    x *= r.m_Base == kFirst ? f * e + (1 - f) * (1 - e) : f * (1 - e) + (1 - f) * e;
                }
                l[j] = x;
            }
            like[s].push_back(l);
        }
    }
    auto logLik = [&](double v) {
        double sum = 0.0;
        for (std::size_t s = 0; s < sites.size(); ++s) {
            double zero = v, rest = 1.0 - v;
            for (std::size_t i = 0; i < 3; ++i) {
                zero *= like[s][i][0];
                double c = 0.0;
                for (unsigned j = 0; j <= sizes[i]; ++j) {
                    c += (phi[i].phi[j] - (j == 0 ? v : 0.0)) / (1.0 - v) * like[s][i][j];
                }
                rest *= c;
            }
            sum += std::log(zero + rest);
        }
        return sum;
    };
    const double atFit = logLik(fit.m_Shared);
    for (int g = 0; g <= 200; ++g) {
        const double v = fit.m_Limit * g / 200.0;
        EXPECT_LE(logLik(v), atFit + 1e-6) << v;
    }
    EXPECT_NEAR(atFit - logLik(0.0), fit.m_Gain, 1e-3 * fit.m_Gain);
}
