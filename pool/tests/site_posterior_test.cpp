// Each pool's posterior at a site against the brute force from its reads,
// the credible intervals' coverage over simulated pools, QUAL, and the
// test of differentiation against a dense grid and under its null.

#include <gsl/gsl_randist.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "pool/pool_spectrum.hpp"
#include "pool/site_posterior.hpp"
#include "pool/tests/pool_test_sim.hpp"

using namespace pool_test;

namespace {

// Every site's records, by position.
std::map<std::int64_t, std::vector<SPoolRecordView>> Records(const CPoolStore& store) {
    std::map<std::int64_t, std::vector<SPoolRecordView>> out;
    for (CPoolSiteCursor s(store); s.Next();) {
        out[s.Pos()].assign(s.Records(), s.Records() + store.Pools());
    }
    return out;
}

// log sum_j Binom(j; n, p) P(j), term by term from the binomial's formula
// (GSL's ln C(n, j)).
double BruteCurve(const std::vector<double>& likelihood, double p) {
    const unsigned n = static_cast<unsigned>(likelihood.size() - 1);
    static std::map<unsigned, std::vector<double>> chooses;
    std::vector<double>& lc = chooses[n];
    for (unsigned j = static_cast<unsigned>(lc.size()); j <= n; ++j) {
        lc.push_back(gsl_sf_lnchoose(n, j));
    }
    const double a = std::log(p), b = std::log1p(-p);
    double z = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        const double lp = (j > 0 ? j * a : 0.0) + (j < n ? (n - j) * b : 0.0);
        z += std::exp(lc[j] + lp) * likelihood[j];
    }
    return std::log(z);
}

}  // namespace

// P(reads | j) from a record is the brute force over every assignment of
// the reads to chromosomes, up to the record's scale; the posterior's mean,
// P(j = 0) and the interval's tails follow from the brute force's
// posterior.
TEST(SitePosterior, MatchesTheBruteForce) {
    for (unsigned n : {3u, 4u}) {
        TRng rng = MakeRng(100 + n);
        SPoolSpectrum prior{n, false, {}};
        for (unsigned j = 0; j <= n; ++j) {
            prior.phi.push_back(j == 0 ? 0.5 : 0.5 / n);
        }
        std::vector<SPoolSite> sites;
        for (int s = 0; s < 200; ++s) {
            SPoolSite site;
            site.m_Pos = s;
            site.m_RefBase = kFirst;
            const unsigned j = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), n + 1));
            const unsigned depth = 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 7));
            site.m_Reads.push_back(PoolReads(rng.get(), j, n, depth, 2, 30));
            sites.push_back(site);
        }
        const CPoolStore store = StoreOf(sites, true);
        const auto records = Records(store);
        CSiteCaller caller({prior});
        std::vector<double> likelihood;
        for (const SPoolSite& site : sites) {
            caller.Likelihood(0, records.at(site.m_Pos)[0], likelihood);
            std::vector<double> brute(n + 1), post(n + 1);
            double z = 0.0;
            for (unsigned j = 0; j <= n; ++j) {
                brute[j] = BruteLikelihood(site.m_Reads[0], kFirst, j, n);
                post[j] = prior.phi[j] * brute[j];
                z += post[j];
            }
            double mean = 0.0;
            const double top = *std::max_element(likelihood.begin(), likelihood.end());
            const double bruteTop = *std::max_element(brute.begin(), brute.end());
            for (unsigned j = 0; j <= n; ++j) {
                post[j] /= z;
                mean += post[j] * j / n;
                // The same up to the record's scale: floats keep 2^-24, and
                // the entries dropped (each below 1e-12 of the largest
                // entry) weigh at most 1e-12 in all.
                EXPECT_NEAR(likelihood[j] / top, brute[j] / bruteTop,
                            1e-6 * brute[j] / bruteTop + 1.01e-12 / top);
            }
            const SPoolPosterior p = PoolPosterior(likelihood.data(), prior, 0.8);
            EXPECT_NEAR(p.mean, mean, 1e-6);
            EXPECT_NEAR(p.pZero, post[0], 1e-6 * post[0] + 1e-10);
            if (post[0] > 1e-8) {
                EXPECT_NEAR(p.log10PZero, std::log10(post[0]), 1e-5);
            }
            // Equal tails of at most 10% each, and neither end can move
            // inwards.
            const unsigned lo = static_cast<unsigned>(std::lround(p.lo * n));
            const unsigned hi = static_cast<unsigned>(std::lround(p.hi * n));
            double below = 0.0, above = 0.0;
            for (unsigned j = 0; j < lo; ++j) {
                below += post[j];
            }
            for (unsigned j = hi + 1; j <= n; ++j) {
                above += post[j];
            }
            EXPECT_LE(below, 0.1 + 1e-9);
            EXPECT_LE(above, 0.1 + 1e-9);
            EXPECT_GT(below + post[lo], 0.1 - 1e-9);
            EXPECT_GT(above + post[hi], 0.1 - 1e-9);
        }
    }
}

// Over simulated pools (20 chromosomes, counts from a spectrum with much
// variation, depths 10..40, scores 10..40), each site's 95% interval of
// j/n under the fitted spectrum holds the true count about 95% of the
// time, and its 50% interval at least half the time (more: the posterior
// of 21 counts is coarse, and an interval holds whole counts); the
// posterior mean is unbiased.
TEST(SitePosterior, CredibleIntervalsCoverTheTruth) {
    const unsigned n = 20;
    std::vector<double> truth = NeutralSpectrum(n, 0.15);
    truth[n] = 0.05;
    truth[0] -= 0.05;
    TRng rng = MakeRng(7);
    double in95 = 0, in50 = 0, sites = 0, bias = 0;
    for (int set = 0; set < 10; ++set) {
        std::vector<SPoolSite> simulated;
        std::map<std::int64_t, unsigned> counts;
        for (int s = 0; s < 2000; ++s) {
            const unsigned j = Draw(rng.get(), truth);
            SPoolSite site;
            site.m_Pos = s;
            site.m_RefBase = kFirst;
            const unsigned depth = 10 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 31));
            site.m_Reads.push_back(PoolReads(rng.get(), j, n, depth, 10, 40));
            simulated.push_back(site);
            counts[s] = j;
        }
        const CPoolStore store = StoreOf(simulated, true);
        const CPoolSpectrumModel model(store, 0, n, false);
        const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
        ASSERT_TRUE(fit.converged);
        CSiteCaller caller({fit.spectrum});
        std::vector<double> likelihood;
        for (const auto& [pos, views] : Records(store)) {
            caller.Likelihood(0, views[0], likelihood);
            const double x = static_cast<double>(counts.at(pos)) / n;
            const SPoolPosterior p95 = PoolPosterior(likelihood.data(), fit.spectrum, 0.95);
            const SPoolPosterior p50 = PoolPosterior(likelihood.data(), fit.spectrum, 0.5);
            in95 += p95.lo <= x && x <= p95.hi;
            in50 += p50.lo <= x && x <= p50.hi;
            bias += p95.mean - x;
            sites += 1;
        }
    }
    EXPECT_GT(in95 / sites, 0.94);
    EXPECT_LT(in95 / sites, 0.975);
    EXPECT_GT(in50 / sites, 0.5);
    EXPECT_NEAR(bias / sites, 0.0, 2e-3);
}

// QUAL adds -10 log10 P(j = 0) over the pools that count, and a site that
// no monomorphic count explains is capped, not infinite.
TEST(SitePosterior, QualAddsOverPoolsAndIsCapped) {
    const unsigned n = 4;
    const SPoolSpectrum prior{n, false, NeutralSpectrum(n, 0.01)};
    SPoolSite site;
    site.m_RefBase = kFirst;
    // Pool 0: one minor read of Q20 in 8; pool 1: none; pool 2: no read.
    std::vector<SBaseRead> reads(7, SBaseRead{kFirst, 30});
    reads.push_back(SBaseRead{kSecond, 20});
    site.m_Reads = {reads, std::vector<SBaseRead>(8, SBaseRead{kFirst, 30}), {}};
    const CPoolStore store = StoreOf({site}, true);
    const std::vector<SPoolRecordView> views = Records(store).at(0);
    ASSERT_EQ(views[2].depth, 0u);
    CSiteCaller caller({prior, prior, prior});
    SSiteCall call;
    caller.Call(views.data(), call);
    EXPECT_TRUE(std::isnan(call.pools[2].mean));
    EXPECT_EQ(call.test.pools, 2u);
    double expected = 0.0;
    for (int i = 0; i < 2; ++i) {
        double z = 0.0;
        for (unsigned j = 0; j <= n; ++j) {
            z += prior.phi[j] * BruteLikelihood(site.m_Reads[i], kFirst, j, n);
        }
        expected -=
            10.0 * std::log10(prior.phi[0] * BruteLikelihood(site.m_Reads[i], kFirst, 0, n) / z);
    }
    EXPECT_NEAR(call.qual, expected, 1e-5 * expected);
    EXPECT_GT(call.qual, 0.1);
    EXPECT_NEAR(caller.Qual(views.data()), call.qual, 1e-9 * call.qual);
    // Eight Q40 minor reads: the table keeps no entry for t = 0, P(j = 0)
    // is 0, and QUAL the cap.
    site.m_Reads[0] = std::vector<SBaseRead>(8, SBaseRead{kSecond, 40});
    const CPoolStore clear = StoreOf({site}, true);
    caller.Call(Records(clear).at(0).data(), call);
    EXPECT_EQ(call.pools[0].pZero, 0.0);
    EXPECT_EQ(call.qual, kMaxQual);
    EXPECT_EQ(caller.Qual(Records(clear).at(0).data()), kMaxQual);
    EXPECT_EQ(SiteQual({-3.0, -2.5}), 55.0);
    EXPECT_EQ(SiteQual({}), 0.0);
}

// The maxima over p of each pool's likelihood and of their product, against
// a grid of 10001 points with GSL's binomial: never below it, and close.
TEST(Differentiation, MaximaMatchADenseGrid) {
    TRng rng = MakeRng(11);
    for (int trial = 0; trial < 10; ++trial) {
        const std::vector<unsigned> sizes = trial < 4   ? std::vector<unsigned>{10, 40}
                                            : trial < 8 ? std::vector<unsigned>{200, 30, 8}
                                                        : std::vector<unsigned>{1000, 500};
        SPoolSite site;
        site.m_RefBase = kFirst;
        for (unsigned n : sizes) {
            // Rare in one pool, common in another: a product with two peaks.
            const double p =
                trial % 2 ? gsl_rng_uniform(rng.get()) : 0.002 + 0.9 * (site.m_Reads.size() % 2);
            const unsigned j = gsl_ran_binomial(rng.get(), p, n);
            site.m_Reads.push_back(PoolReads(rng.get(), j, n, 20 + trial * 5, 15, 40));
        }
        const CPoolStore store = StoreOf({site}, true);
        const std::vector<SPoolRecordView> views = Records(store).at(0);
        std::vector<SPoolSpectrum> priors;
        for (unsigned n : sizes) {
            priors.push_back(SPoolSpectrum{n, false, NeutralSpectrum(n, 0.01)});
        }
        CSiteCaller caller(priors);
        std::vector<std::vector<double>> likelihoods(sizes.size());
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            caller.Likelihood(i, views[i], likelihoods[i]);
        }
        const SDifferentiation d = DifferentiationTest(likelihoods);
        double alt = 0.0, null = -INFINITY;
        std::vector<double> best(sizes.size(), -INFINITY);
        for (int g = 0; g <= 10000; ++g) {
            const double p = g / 10000.0;
            double sum = 0.0;
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                const double f = BruteCurve(likelihoods[i], p);
                best[i] = std::max(best[i], f);
                sum += f;
            }
            null = std::max(null, sum);
        }
        for (double b : best) {
            alt += b;
        }
        EXPECT_GE(d.logLikAlt, alt - 1e-9) << trial;
        EXPECT_LE(d.logLikAlt, alt + 1e-3) << trial;
        EXPECT_GE(d.logLikNull, null - 1e-9) << trial;
        EXPECT_LE(d.logLikNull, null + 1e-3) << trial;
        EXPECT_NEAR(d.logLikNull,
                    BruteCurve(likelihoods[0], d.shared) + BruteCurve(likelihoods[1], d.shared) +
                        (sizes.size() > 2 ? BruteCurve(likelihoods[2], d.shared) : 0.0),
                    1e-9);
    }
}

// Identical reads in two pools of one size: a statistic of exactly 0. With
// the pools drawn from one population (F = 0) the p-values are about
// uniform, for two and for three pools; pools far apart (4 and 36 of 40)
// give small ones.
TEST(Differentiation, NullIsUniformAndDifferencesAreFound) {
    TRng rng = MakeRng(13);
    for (const std::vector<unsigned>& sizes :
         {std::vector<unsigned>{20, 40}, std::vector<unsigned>{30, 30, 50}}) {
        std::vector<SPoolSite> sites;
        for (int s = 0; s < 3000; ++s) {
            const double p = 0.1 + 0.8 * gsl_rng_uniform(rng.get());
            SPoolSite site;
            site.m_Pos = s;
            site.m_RefBase = kFirst;
            for (unsigned n : sizes) {
                const unsigned j = gsl_ran_binomial(rng.get(), p, n);
                const unsigned depth =
                    30 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 31));
                site.m_Reads.push_back(PoolReads(rng.get(), j, n, depth, 20, 40));
            }
            sites.push_back(site);
        }
        const CPoolStore store = StoreOf(sites, true);
        std::vector<SPoolSpectrum> priors;
        for (unsigned n : sizes) {
            priors.push_back(SPoolSpectrum{n, false, NeutralSpectrum(n, 0.01)});
        }
        CSiteCaller caller(priors);
        SSiteCall call;
        double below5 = 0, below1 = 0;
        for (const auto& [pos, views] : Records(store)) {
            caller.Call(views.data(), call);
            ASSERT_EQ(call.test.pools, sizes.size());
            // QUAL alone, from the kept entries only, is the full call's.
            ASSERT_NEAR(caller.Qual(views.data()), call.qual, 1e-9 * call.qual + 1e-12);
            below5 += call.test.pValue < 0.05;
            below1 += call.test.pValue < 0.01;
        }
        EXPECT_GT(below5 / 3000, 0.03) << sizes.size();
        EXPECT_LT(below5 / 3000, 0.07) << sizes.size();
        EXPECT_LT(below1 / 3000, 0.02) << sizes.size();
    }
    // A pool against itself, and pools far apart.
    const unsigned n = 40;
    const std::vector<SPoolSpectrum> priors(2, SPoolSpectrum{n, false, NeutralSpectrum(n, 0.01)});
    CSiteCaller caller(priors);
    SSiteCall call;
    for (int s = 0; s < 50; ++s) {
        SPoolSite same;
        same.m_RefBase = kFirst;
        const std::vector<SBaseRead> reads = PoolReads(
            rng.get(), static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), n + 1)), n, 40, 10, 40);
        same.m_Reads = {reads, reads};
        const CPoolStore store = StoreOf({same}, true);
        caller.Call(Records(store).at(0).data(), call);
        EXPECT_EQ(call.test.statistic, 0.0);
        EXPECT_EQ(call.test.pValue, 1.0);
        SPoolSite apart;
        apart.m_RefBase = kFirst;
        apart.m_Reads = {PoolReads(rng.get(), 4, n, 40, 20, 40),
                         PoolReads(rng.get(), 36, n, 40, 20, 40)};
        const CPoolStore far = StoreOf({apart}, true);
        caller.Call(Records(far).at(0).data(), call);
        EXPECT_LT(call.test.pValue, 1e-3);
    }
    // A pool whose likelihood underflowed to 0 everywhere (an extreme depth)
    // is left out, not a crash: two pools remain, a third makes no test.
    const std::vector<double> zero(n + 1, 0.0), flat(n + 1, 1.0);
    EXPECT_EQ(DifferentiationTest({zero, flat, flat}).pools, 2u);
    EXPECT_EQ(DifferentiationTest({zero, flat, flat}).statistic, 0.0);
    EXPECT_TRUE(std::isnan(DifferentiationTest({zero, flat}).pValue));
}
