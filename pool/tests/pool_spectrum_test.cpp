// One pool's spectrum: the fit against a brute-force maximum likelihood
// computed from the reads, the statistics of known counts against Tajima's
// and Fay and Wu's formulas worked by hand, and the properties the
// estimates must have over simulated data.

#include <gsl/gsl_multimin.h>
#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <memory>
#include <vector>

#include "pool/neutrality.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/tests/pool_test_sim.hpp"
#include "spectrum/sample_diversity.hpp"

using namespace pool_test;

namespace {

// Random sites of one pool of n: a uniform count, 2..maxDepth reads,
// scores 2..40.
std::vector<SPoolSite> RandomSites(gsl_rng* rng, std::size_t count, unsigned n, unsigned maxDepth) {
    std::vector<SPoolSite> sites;
    for (std::size_t s = 0; s < count; ++s) {
        SPoolSite site;
        site.m_Pos = static_cast<std::int64_t>(3 * s);
        site.m_RefBase = kFirst;
        const unsigned j = static_cast<unsigned>(gsl_rng_uniform_int(rng, n + 1));
        const unsigned depth = 2 + static_cast<unsigned>(gsl_rng_uniform_int(rng, maxDepth - 1));
        site.m_Reads.push_back(PoolReads(rng, j, n, depth, 2, 40));
        sites.push_back(site);
    }
    return sites;
}

// Every site's P(reads | j), j = 0..n, by brute force.
std::vector<std::vector<double>> BruteTables(const std::vector<SPoolSite>& sites, unsigned n,
                                             bool useReference) {
    std::vector<std::vector<double>> out;
    for (const SPoolSite& site : sites) {
        const int first = FirstAllele(site, useReference);
        out.emplace_back();
        for (unsigned j = 0; j <= n; ++j) {
            out.back().push_back(BruteLikelihood(site.m_Reads[0], first, j, n));
        }
    }
    return out;
}

double BruteLogLik(const std::vector<std::vector<double>>& tables, const std::vector<double>& phi) {
    double ll = 0.0;
    for (const auto& t : tables) {
        double z = 0.0;
        for (std::size_t j = 0; j < phi.size(); ++j) {
            z += phi[j] * t[j];
        }
        ll += std::log(z);
    }
    return ll;
}

// The brute-force maximum: Nelder and Mead's simplex (GSL) on the free
// cells' logarithms against cell 0 (folded: cells 1..n/2, mirrored), from
// several starts.
struct SBrute {
    const std::vector<std::vector<double>>* tables;
    unsigned n;
    bool folded;
};

std::vector<double> Spectrum(const gsl_vector* eta, const SBrute& b) {
    std::vector<double> phi(b.n + 1, 0.0);
    phi[0] = 1.0;
    for (std::size_t k = 0; k < eta->size; ++k) {
        phi[k + 1] = std::exp(gsl_vector_get(eta, k));
    }
    if (b.folded) {
        for (unsigned j = 0; 2 * j < b.n; ++j) {
            phi[b.n - j] = phi[j];
        }
    }
    double total = 0.0;
    for (double x : phi) {
        total += x;
    }
    for (double& x : phi) {
        x /= total;
    }
    return phi;
}

double MinusLogLik(const gsl_vector* eta, void* params) {
    const SBrute& b = *static_cast<const SBrute*>(params);
    return -BruteLogLik(*b.tables, Spectrum(eta, b));
}

std::vector<double> BruteMaximum(const std::vector<std::vector<double>>& tables, unsigned n,
                                 bool folded, gsl_rng* rng) {
    SBrute b{&tables, n, folded};
    const std::size_t dims = folded ? n / 2 : n;
    gsl_multimin_function f{&MinusLogLik, dims, &b};
    std::vector<double> best;
    double bestValue = INFINITY;
    for (int start = 0; start < 6; ++start) {
        std::unique_ptr<gsl_vector, void (*)(gsl_vector*)> x(gsl_vector_alloc(dims),
                                                             gsl_vector_free);
        std::unique_ptr<gsl_vector, void (*)(gsl_vector*)> step(gsl_vector_alloc(dims),
                                                                gsl_vector_free);
        for (std::size_t k = 0; k < dims; ++k) {
            gsl_vector_set(x.get(), k, -3.0 * gsl_rng_uniform(rng));
        }
        gsl_vector_set_all(step.get(), 1.0);
        std::unique_ptr<gsl_multimin_fminimizer, void (*)(gsl_multimin_fminimizer*)> s(
            gsl_multimin_fminimizer_alloc(gsl_multimin_fminimizer_nmsimplex2, dims),
            gsl_multimin_fminimizer_free);
        gsl_multimin_fminimizer_set(s.get(), &f, x.get(), step.get());
        for (int it = 0; it < 20000; ++it) {
            if (gsl_multimin_fminimizer_iterate(s.get()) != 0 ||
                gsl_multimin_fminimizer_size(s.get()) < 1e-12) {
                break;
            }
        }
        if (s->fval < bestValue) {
            bestValue = s->fval;
            best = Spectrum(s->x, b);
        }
    }
    return best;
}

SPoolSpectrum RandomSpectrum(gsl_rng* rng, unsigned n, bool folded) {
    SPoolSpectrum s{n, folded, {}};
    double total = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        s.phi.push_back(0.02 + gsl_rng_uniform(rng));
        total += s.phi.back();
    }
    for (double& x : s.phi) {
        x /= total;
    }
    if (folded) {
        for (unsigned j = 0; 2 * j < n; ++j) {
            s.phi[j] = s.phi[n - j] = 0.5 * (s.phi[j] + s.phi[n - j]);
        }
    }
    return s;
}

}  // namespace

// Each site's posterior expectations of the three terms under a spectrum,
// from its compact record and the rows of read counts, are the brute
// force's from every assignment of its reads to chromosomes (a likelihood
// wrong by more than a constant factor per site moves them).
TEST(PoolSpectrum, PerSiteExpectationsMatchTheReads) {
    for (unsigned n : {2u, 3u, 4u}) {
        TRng rng = MakeRng(n);
        const std::vector<SPoolSite> sites = RandomSites(rng.get(), 150, n, 7);
        const CPoolStore store = StoreOf(sites, true);
        const CPoolSpectrumModel model(store, 0, n, false);
        ASSERT_EQ(model.Sites(), sites.size());
        const auto brute = BruteTables(sites, n, true);
        const SPoolSpectrum a = RandomSpectrum(rng.get(), n, false);
        std::size_t s = 0;
        double worst = 0.0;
        model.Posterior(a, nullptr, [&](int, std::int64_t pos, const SSpectrumSums& terms) {
            ASSERT_EQ(pos, sites[s].m_Pos);
            double z = 0.0, pi = 0.0, seg = 0.0, h = 0.0;
            for (unsigned j = 0; j <= n; ++j) {
                const double p = a.phi[j] * brute[s][j];
                z += p;
                pi += p * 2.0 * j * (n - j) / (n * (n - 1.0));
                seg += j > 0 && j < n ? p : 0.0;
                h += j > 0 && j < n ? p * 2.0 * j * j / (n * (n - 1.0)) : 0.0;
            }
            worst = std::max(worst, std::fabs(terms.pi - pi / z));
            worst = std::max(worst, std::fabs(terms.segregating - seg / z));
            worst = std::max(worst, std::fabs(terms.thetaH - h / z));
            ++s;
        });
        EXPECT_EQ(s, sites.size());
        // Floats keep 2^-24 of every entry but the largest.
        EXPECT_LT(worst, 1e-6) << n;
    }
}

// The fit reaches the brute-force maximum (a simplex search on the
// likelihood summed from the brute-force tables) folded and not, for pools
// of 2, 3 and 4, and its estimands are the brute maximum's.
TEST(PoolSpectrum, FitReachesTheBruteForceMaximum) {
    for (unsigned n : {2u, 3u, 4u}) {
        for (bool folded : {false, true}) {
            TRng rng = MakeRng(10 * n + folded);
            const std::vector<SPoolSite> sites = RandomSites(rng.get(), 60, n, 7);
            const CPoolStore store = StoreOf(sites, !folded);
            const CPoolSpectrumModel model(store, 0, n, folded);
            const auto brute = BruteTables(sites, n, !folded);
            SPoolFitOptions options;
            options.gap = 1e-9;
            const SPoolFitResult fit = model.Fit(options, nullptr);
            EXPECT_TRUE(fit.converged);
            const std::vector<double> best = BruteMaximum(brute, n, folded, rng.get());
            const double llFit = BruteLogLik(brute, fit.spectrum.phi);
            const double llBest = BruteLogLik(brute, best);
            EXPECT_GE(llFit, llBest - 1e-7) << n << folded;
            EXPECT_LE(llFit, llBest + 1e-4) << n << folded;
            // Not by chance: the start is far below.
            EXPECT_GT(llBest - BruteLogLik(brute, model.DefaultStart().phi), 1.0);
            const SSpectrumSums f = SpectrumSums(fit.spectrum, 1.0);
            const SSpectrumSums g = SpectrumSums(SPoolSpectrum{n, folded, best}, 1.0);
            EXPECT_NEAR(f.pi, g.pi, 1e-3) << n << folded;
            EXPECT_NEAR(f.segregating, g.segregating, 1e-3) << n << folded;
            if (folded) {
                for (unsigned j = 0; j <= n; ++j) {
                    EXPECT_EQ(fit.spectrum.phi[j], fit.spectrum.phi[n - j]);
                }
            }
        }
    }
}

// Known counts in a pool of 4 (60 sites with none, then 15, 10, 8 and 7
// sites with 1, 2, 3 and 4 copies), reads of Q93 at depth 300, so every
// site's count is certain: the statistics are the sample's, by hand.
//   a1 = 1 + 1/2 + 1/3 = 11/6, a2 = 1 + 1/4 + 1/9 = 49/36,
//   b1 = 5/9, b2 = 2 (16 + 4 + 3) / (9 4 3) = 23/54,
//   c1 = 5/9 - 6/11 = 1/99, c2 = 23/54 - 6/(4 11/6) + 49/121
//      = 23/54 - 9/11 + 49/121,
//   e1 = c1 / a1 = 2/363, e2 = c2 / (121/36 + 49/36) = c2 36/170;
//   S = 15 + 10 + 8 = 33, Pi = 15 (6/12) + 10 (8/12) + 8 (6/12) = 109/6,
//   H = sum 2 j^2 S_j / 12 = (15 2 + 10 8 + 8 18) / 12 = 254/12 (the 7
//   sites fixed for the second allele segregate not, and add nothing).
TEST(PoolSpectrum, StatisticsOfKnownCountsAsTajimaAndFayAndWu) {
    TRng rng = MakeRng(4);
    const unsigned n = 4;
    std::vector<SPoolSite> sites;
    const unsigned counts[5] = {60, 15, 10, 8, 7};
    for (unsigned j = 0; j <= n; ++j) {
        for (unsigned k = 0; k < counts[j]; ++k) {
            SPoolSite site;
            site.m_Pos = static_cast<std::int64_t>(sites.size());
            site.m_RefBase = kFirst;
            site.m_Reads.push_back(PoolReads(rng.get(), j, n, 300, 93, 93));
            sites.push_back(site);
        }
    }
    const CPoolStore store = StoreOf(sites, true);
    const CPoolSpectrumModel model(store, 0, n, false);
    const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
    SSpectrumSums sums;
    model.Posterior(fit.spectrum, nullptr,
                    [&](int, std::int64_t, const SSpectrumSums& t) { sums += t; });
    const double S = 33, Pi = 109.0 / 6, H = 254.0 / 12;
    EXPECT_NEAR(sums.segregating, S, 1e-9);
    EXPECT_NEAR(sums.pi, Pi, 1e-9);
    EXPECT_NEAR(sums.thetaH, H, 1e-9);
    const double a1 = 11.0 / 6;
    const double c2 = 23.0 / 54 - 9.0 / 11 + 49.0 / 121;
    const double e1 = 2.0 / 363, e2 = c2 * 36.0 / 170;
    const SNeutrality v = Neutrality(sums, n, false);
    const double D = (Pi - S / a1) / std::sqrt(e1 * S + e2 * S * (S - 1));
    EXPECT_NEAR(v.tajimaD, D, 1e-9);
    EXPECT_NEAR(v.pi, Pi / 100, 1e-12);
    EXPECT_NEAR(v.thetaW, S / a1 / 100, 1e-12);
    EXPECT_NEAR(v.thetaH, H / 100, 1e-12);
    EXPECT_NEAR(v.fayWuH, (Pi - H) / 100, 1e-12);
    // The fit's own sums are the same (the posterior spectrum's).
    EXPECT_NEAR(fit.sums.segregating, S, 1e-6);
    EXPECT_NEAR(Neutrality(fit.sums, n, false).tajimaD, D, 1e-6);
    // Where the statistics are undefined.
    EXPECT_TRUE(std::isnan(Neutrality(SSpectrumSums{}, n, false).pi));
    EXPECT_TRUE(std::isnan(Neutrality(SSpectrumSums{10, 0, 0, 0}, n, false).tajimaD));
    EXPECT_EQ(Neutrality(SSpectrumSums{10, 0, 0, 0}, n, false).thetaW, 0.0);
    EXPECT_TRUE(std::isnan(Neutrality(SSpectrumSums{10, 2, 2, 0}, 3, false).tajimaD));
    EXPECT_TRUE(std::isnan(Neutrality(sums, n, true).fayWuH));
}

// Sites where every chromosome carries the first allele, with a fifth of
// the reads below Q12 and read wrong as often as their scores say: counted,
// most sites would be segregating; weighed by their scores, they add
// (almost) nothing, folded or not.
TEST(PoolSpectrum, ErrorsAloneAddNoDiversity) {
    for (bool folded : {false, true}) {
        TRng rng = MakeRng(21 + folded);
        const unsigned n = 30;
        std::vector<SPoolSite> sites;
        std::size_t withMinor = 0;
        for (int s = 0; s < 3000; ++s) {
            SPoolSite site;
            site.m_Pos = s;
            site.m_RefBase = kFirst;
            std::vector<SBaseRead> reads = PoolReads(rng.get(), 0, n, 24, 30, 40);
            const std::vector<SBaseRead> low = PoolReads(rng.get(), 0, n, 6, 3, 12);
            reads.insert(reads.end(), low.begin(), low.end());
            bool minor = false;
            for (const SBaseRead& r : reads) {
                minor = minor || r.m_Base != kFirst;
            }
            withMinor += minor;
            site.m_Reads.push_back(reads);
            sites.push_back(site);
        }
        const CPoolStore store = StoreOf(sites, !folded);
        const CPoolSpectrumModel model(store, 0, n, folded);
        const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
        const SNeutrality v = Neutrality(fit.sums, n, folded);
        const double counted = static_cast<double>(withMinor) / sites.size();
        EXPECT_GT(counted, 0.5);
        EXPECT_LT(v.thetaW, 2e-3) << folded;
        EXPECT_LT(v.pi, 2e-3) << folded;
    }
}

// Over many simulated data sets (a pool of 20 from a neutral population,
// depths 8..30, scores 10..40), the fitted pi, theta_W and (unfolded)
// theta_H are unbiased for the pool's true counts within a few percent,
// folded and not.
TEST(PoolSpectrum, EstimatesAreUnbiasedOverSimulatedSets) {
    const unsigned n = 20;
    const std::vector<double> truth = NeutralSpectrum(n, 0.03);
    for (bool folded : {false, true}) {
        TRng rng = MakeRng(31 + folded);
        double fitPi = 0, fitW = 0, fitH = 0, truePi = 0, trueW = 0, trueH = 0;
        for (int set = 0; set < 30; ++set) {
            std::vector<SPoolSite> sites;
            SSpectrumSums real;
            for (int s = 0; s < 2000; ++s) {
                const unsigned j = Draw(rng.get(), truth);
                real.sites += 1;
                real.pi += PiTerm(j, n);
                real.segregating += SegregatingTerm(j, n);
                real.thetaH += ThetaHTerm(j, n);
                SPoolSite site;
                site.m_Pos = s;
                site.m_RefBase = kFirst;
                const unsigned depth =
                    8 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 23));
                site.m_Reads.push_back(PoolReads(rng.get(), j, n, depth, 10, 40));
                sites.push_back(site);
            }
            const CPoolStore store = StoreOf(sites, !folded);
            const CPoolSpectrumModel model(store, 0, n, folded);
            const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
            ASSERT_TRUE(fit.converged);
            const SNeutrality v = Neutrality(fit.sums, n, folded);
            const SNeutrality r = Neutrality(real, n, false);
            fitPi += v.pi;
            fitW += v.thetaW;
            truePi += r.pi;
            trueW += r.thetaW;
            if (!folded) {
                fitH += v.thetaH;
                trueH += r.thetaH;
            }
        }
        EXPECT_NEAR(fitPi / truePi, 1.0, 0.03) << folded;
        EXPECT_NEAR(fitW / trueW, 1.0, 0.03) << folded;
        if (!folded) {
            EXPECT_NEAR(fitH / trueH, 1.0, 0.05);
        }
    }
}

// Windows: the per-site posterior expectations add up to the fit's sums
// (the posterior spectrum's); every number is the same for any number of
// threads; a bootstrap resample's weights are the blocks'.
TEST(PoolSpectrum, SitesAddUpAndThreadsChangeNothing) {
    TRng rng = MakeRng(41);
    const unsigned n = 12;
    const std::vector<double> truth = NeutralSpectrum(n, 0.05);
    std::vector<SPoolSite> sites;
    for (int s = 0; s < 3000; ++s) {
        SPoolSite site;
        site.m_Contig = s < 1500 ? 0 : 1;
        site.m_Pos = s % 1500;
        site.m_RefBase = kFirst;
        site.m_Reads.push_back(
            PoolReads(rng.get(), Draw(rng.get(), truth), n,
                      5 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 20)), 5, 40));
        sites.push_back(site);
    }
    const CPoolStore store = StoreOf(sites, true);
    const CPoolSpectrumModel model(store, 0, n, false);
    const SPoolFitResult one = model.Fit(SPoolFitOptions{}, nullptr);
    std::unique_ptr<hts_tpool, void (*)(hts_tpool*)> pool(hts_tpool_init(3), hts_tpool_destroy);
    const SPoolFitResult three = model.Fit(SPoolFitOptions{}, pool.get());
    EXPECT_EQ(one.spectrum.phi, three.spectrum.phi);
    EXPECT_EQ(one.logLik, three.logLik);
    EXPECT_EQ(one.passes, three.passes);
    SSpectrumSums sums;
    int lastContig = 0;
    std::int64_t last = -1;
    model.Posterior(one.spectrum, pool.get(),
                    [&](int contig, std::int64_t pos, const SSpectrumSums& t) {
                        EXPECT_TRUE(contig > lastContig || (contig == lastContig && pos > last));
                        lastContig = contig;
                        last = pos;
                        sums += t;
                    });
    EXPECT_EQ(sums.sites, 3000.0);
    EXPECT_NEAR(sums.pi, one.sums.pi, 1e-10 * one.sums.pi);
    EXPECT_NEAR(sums.segregating, one.sums.segregating, 1e-10 * one.sums.segregating);
    EXPECT_NEAR(sums.thetaH, one.sums.thetaH, 1e-10 * one.sums.thetaH);
    // A resample: blocks of 100 positions, every other one twice, the
    // others not at all. Weights that are all doubled change no maximum:
    // the fit is that of the even blocks' sites alone, its sums twice
    // theirs.
    CSiteBlocks blocks(store, 100);
    ASSERT_EQ(blocks.Blocks(), 30u);
    std::vector<double> weights(30, 0.0);
    std::vector<SPoolSite> even;
    for (std::size_t k = 0; k < 30; k += 2) {
        weights[k] = 2.0;
    }
    for (const SPoolSite& site : sites) {
        if ((site.m_Contig * 15 + site.m_Pos / 100) % 2 == 0) {
            even.push_back(site);
        }
    }
    SPoolFitOptions tight;
    tight.gap = 1e-8;
    const SPoolFitResult r1 = model.Fit(tight, nullptr, &one.spectrum, &blocks, &weights);
    const SPoolFitResult r3 = model.Fit(tight, pool.get(), &one.spectrum, &blocks, &weights);
    EXPECT_EQ(r1.spectrum.phi, r3.spectrum.phi);
    const CPoolStore evenStore = StoreOf(even, true);
    const CPoolSpectrumModel evenModel(evenStore, 0, n, false);
    const SPoolFitResult alone = evenModel.Fit(tight, nullptr);
    EXPECT_EQ(r1.weight, 2.0 * alone.weight);
    ASSERT_TRUE(r1.converged && alone.converged);
    EXPECT_NEAR(r1.logLik, 2.0 * alone.logLik, 1e-6);
    EXPECT_NEAR(r1.sums.pi, 2.0 * alone.sums.pi, 1e-5 * alone.sums.pi);
    EXPECT_NEAR(r1.sums.segregating, 2.0 * alone.sums.segregating, 1e-5 * alone.sums.segregating);
}

// The cost follows the data: one site of a pool of 1000, or five of a pool
// of 400, converge in few passes (the likelihood's maximum puts every share
// on the counts the reads favour, which EM approaches ever more slowly;
// stopping on the estimands' steps alone ran such fits to the pass limit).
TEST(PoolSpectrum, FewSitesOfLargePoolsTakeFewPasses) {
    for (auto [n, count] : {std::pair<unsigned, int>{1000, 1}, {400, 5}}) {
        for (bool folded : {false, true}) {
            TRng rng = MakeRng(n + count);
            std::vector<SPoolSite> sites;
            for (int s = 0; s < count; ++s) {
                SPoolSite site;
                site.m_Pos = s;
                site.m_RefBase = kFirst;
                site.m_Reads.push_back(PoolReads(rng.get(), n / 5 + 7 * s, n, 40, 20, 40));
                sites.push_back(site);
            }
            const CPoolStore store = StoreOf(sites, !folded);
            const CPoolSpectrumModel model(store, 0, n, folded);
            const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
            EXPECT_TRUE(fit.converged) << n << folded;
            EXPECT_LE(fit.passes, 10) << n << folded;
            // No spectrum is more likely by more than this.
            EXPECT_LE(fit.gap, SPoolFitOptions{}.gap) << n << folded;
            // And the fit did climb: far above the start.
            EXPECT_GT(fit.logLik, model.Evaluate(model.DefaultStart(), nullptr).logLik + 1.0);
        }
    }
}
