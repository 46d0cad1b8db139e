// The smooth spectrum: the fit of a log-linear family against a brute-force
// maximum of its penalised likelihood computed from the reads, the family's
// promises (equal coefficients are the neutral spectrum, straight lines go
// unpenalised), and over simulated pools of many more chromosomes than
// reads, Watterson's theta unbiased and steadier than the free spectrum's,
// neutral or not, with errors alone adding nothing.

#include <gsl/gsl_multimin.h>
#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <memory>
#include <vector>

#include "pool/neutrality.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/spectrum_smoothing.hpp"
#include "pool/tests/pool_test_sim.hpp"

using namespace pool_test;

namespace {

// phi(theta) of a family from its definition: exp(c_j + a_j . theta),
// normalised.
std::vector<double> FamilySpectrum(const SPoolLogLinear& f, const double* theta) {
    const std::size_t cells = f.offset.size();
    std::vector<double> phi(cells);
    double total = 0.0;
    for (std::size_t j = 0; j < cells; ++j) {
        double e = f.offset[j];
        for (std::size_t k = 0; k < f.params; ++k) {
            e += f.design[j * f.params + k] * theta[k];
        }
        phi[j] = std::exp(e);
        total += phi[j];
    }
    for (double& x : phi) {
        x /= total;
    }
    return phi;
}

struct SObjective {
    const SPoolLogLinear* family;
    const std::vector<std::vector<double>>* tables;  // P(reads | j) per site
};

// The penalised log-likelihood from the brute-force tables.
double Objective(const SPoolLogLinear& f, const std::vector<std::vector<double>>& tables,
                 const double* theta) {
    const std::vector<double> phi = FamilySpectrum(f, theta);
    double value = 0.0;
    for (const auto& t : tables) {
        double z = 0.0;
        for (std::size_t j = 0; j < phi.size(); ++j) {
            z += phi[j] * t[j];
        }
        value += std::log(z);
    }
    for (std::size_t a = 0; a < f.params; ++a) {
        for (std::size_t b = 0; b < f.params; ++b) {
            value -= 0.5 * theta[a] * f.penalty[a * f.params + b] * theta[b];
        }
    }
    return value;
}

double MinusObjective(const gsl_vector* x, void* params) {
    const SObjective& o = *static_cast<const SObjective*>(params);
    return -Objective(*o.family, *o.tables, x->data);
}

// The brute-force maximum: Nelder and Mead's simplex from several starts.
double BruteMaximum(const SPoolLogLinear& f, const std::vector<std::vector<double>>& tables,
                    gsl_rng* rng) {
    SObjective o{&f, &tables};
    gsl_multimin_function fn{&MinusObjective, f.params, &o};
    double best = -INFINITY;
    for (int start = 0; start < 5; ++start) {
        std::unique_ptr<gsl_vector, void (*)(gsl_vector*)> x(gsl_vector_alloc(f.params),
                                                             gsl_vector_free);
        std::unique_ptr<gsl_vector, void (*)(gsl_vector*)> step(gsl_vector_alloc(f.params),
                                                                gsl_vector_free);
        for (std::size_t k = 0; k < f.params; ++k) {
            gsl_vector_set(x.get(), k, f.start[k] + 2.0 * (gsl_rng_uniform(rng) - 0.5));
        }
        gsl_vector_set_all(step.get(), 0.5);
        std::unique_ptr<gsl_multimin_fminimizer, void (*)(gsl_multimin_fminimizer*)> s(
            gsl_multimin_fminimizer_alloc(gsl_multimin_fminimizer_nmsimplex2, f.params),
            gsl_multimin_fminimizer_free);
        gsl_multimin_fminimizer_set(s.get(), &fn, x.get(), step.get());
        for (int it = 0; it < 50000; ++it) {
            if (gsl_multimin_fminimizer_iterate(s.get()) != 0 ||
                gsl_multimin_fminimizer_size(s.get()) < 1e-10) {
                break;
            }
        }
        best = std::max(best, -s->fval);
    }
    return best;
}

// Sites of a pool of n drawn from phi, depth lo..hi, scores 10..40.
std::vector<SPoolSite> SitesOf(gsl_rng* rng, const std::vector<double>& phi, unsigned n,
                               std::size_t count, unsigned lo, unsigned hi, SSpectrumSums* real) {
    std::vector<SPoolSite> sites;
    for (std::size_t s = 0; s < count; ++s) {
        const unsigned j = Draw(rng, phi);
        if (real) {
            real->sites += 1;
            real->pi += PiTerm(j, n);
            real->segregating += SegregatingTerm(j, n);
        }
        SPoolSite site;
        site.m_Pos = static_cast<std::int64_t>(s);
        site.m_RefBase = kFirst;
        const unsigned depth = lo + static_cast<unsigned>(gsl_rng_uniform_int(rng, hi - lo + 1));
        site.m_Reads.push_back(PoolReads(rng, j, n, depth, 10, 40));
        sites.push_back(site);
    }
    return sites;
}

// A pool spectrum proportional to j^-alpha over 0 < j < n, a share
// `polymorphic` of the sites.
std::vector<double> PowerSpectrum(unsigned n, double alpha, double polymorphic) {
    std::vector<double> phi(n + 1, 0.0);
    double total = 0.0;
    for (unsigned j = 1; j < n; ++j) {
        phi[j] = std::pow(j, -alpha);
        total += phi[j];
    }
    for (double& x : phi) {
        x *= polymorphic / total;
    }
    phi[0] = 1.0 - polymorphic;
    return phi;
}

}  // namespace

// The fit reaches the brute-force maximum of the penalised likelihood (a
// simplex search on the tables summed over every assignment of reads to
// chromosomes) for small pools, folded and not, weak and strong penalties;
// and a refit from the fitted spectrum starts at its theta.
TEST(SpectrumSmoothing, FitReachesTheBruteForceMaximum) {
    struct SCase {
        unsigned n;
        bool folded;
        unsigned splines;
        double lambda;
    };
    for (const SCase& c : {SCase{8, true, 4, 0.5}, SCase{6, false, 4, 0.5}, SCase{8, false, 5, 5.0},
                           SCase{9, true, 4, 5.0}}) {
        TRng rng = MakeRng(100 + c.n + c.folded);
        const SPoolLogLinear family = SmoothSpectrumFamily(c.n, c.folded, c.splines, c.lambda);
        ASSERT_GT(family.params, 0u);
        std::vector<SPoolSite> sites;
        for (int s = 0; s < 50; ++s) {
            SPoolSite site;
            site.m_Pos = s;
            site.m_RefBase = kFirst;
            const unsigned j = static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), c.n + 1));
            const unsigned depth = 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 4));
            site.m_Reads.push_back(PoolReads(rng.get(), j, c.n, depth, 8, 40));
            sites.push_back(site);
        }
        std::vector<std::vector<double>> tables;
        for (const SPoolSite& site : sites) {
            const int first = FirstAllele(site, !c.folded);
            tables.emplace_back();
            for (unsigned j = 0; j <= c.n; ++j) {
                tables.back().push_back(BruteLikelihood(site.m_Reads[0], first, j, c.n));
            }
        }
        const CPoolStore store = StoreOf(sites, !c.folded);
        const CPoolSpectrumModel model(store, 0, c.n, c.folded, family);
        ASSERT_EQ(model.Sites(), sites.size());
        SPoolFitOptions options;
        options.gap = 1e-10;
        const SPoolFitResult fit = model.Fit(options, nullptr);
        EXPECT_TRUE(fit.converged) << c.n << c.folded;
        ASSERT_EQ(fit.theta.size(), family.params);
        // The fit's spectrum is its theta's.
        const std::vector<double> phi = FamilySpectrum(family, fit.theta.data());
        for (unsigned j = 0; j <= c.n; ++j) {
            EXPECT_NEAR(fit.spectrum.phi[j], phi[j], 1e-12);
        }
        if (c.folded) {
            for (unsigned j = 0; j <= c.n; ++j) {
                EXPECT_NEAR(phi[j], phi[c.n - j], 1e-15);
            }
        }
        const double mine = Objective(family, tables, fit.theta.data());
        const double best = BruteMaximum(family, tables, rng.get());
        EXPECT_GE(mine, best - 1e-6) << c.n << c.folded;
        EXPECT_LE(mine, best + 1e-4) << c.n << c.folded;
        EXPECT_GT(mine - Objective(family, tables, family.start.data()), 1.0);
        // The bootstrap's warm start: the fitted spectrum gives back its
        // theta, and the refit ends where it starts.
        const SPoolFitResult again = model.Fit(options, nullptr, &fit.spectrum);
        EXPECT_LE(again.passes, 2) << c.n << c.folded;
        for (std::size_t k = 0; k < family.params; ++k) {
            EXPECT_NEAR(again.theta[k], fit.theta[k], 1e-6);
        }
    }
}

// Equal coefficients are the neutral spectrum (the B-splines add up to 1);
// coefficients on a straight line are a straight line of log phi(j) / w(j)
// in the log-odds (a power law at the rare end: knots bunched at the ends
// would bend it just there) and cost no penalty, while a bend does.
TEST(SpectrumSmoothing, FamilyHoldsNeutralityAndPowerLaws) {
    for (unsigned n : {40u, 101u, 1000u}) {
        for (bool folded : {false, true}) {
            const SPoolLogLinear f = SmoothSpectrumFamily(n, folded, 8, 3.0);
            ASSERT_EQ(f.params, folded ? 8u : 9u);
            auto weight = [&](unsigned j) { return 1.0 / j + (folded ? 1.0 / (n - j) : 0.0); };
            auto odds = [&](unsigned j) {
                const double v = std::log(static_cast<double>(j) / (n - j));
                return folded ? -std::fabs(v) : v;
            };
            std::vector<double> theta(f.params, -2.0);
            if (!folded) {
                theta[8] = -50.0;  // nothing fixed for the second allele
            }
            std::vector<double> phi = FamilySpectrum(f, theta.data());
            for (unsigned j = 2; j < n; ++j) {
                EXPECT_NEAR(phi[j] / phi[1], weight(j) / weight(1), 1e-9) << n << folded << j;
            }
            // A line of slope -0.7 per coefficient: the knots lie every
            // (v_{n-1} - v_1) / 5 (folded (0 - v_1) / 5) apart.
            std::vector<double> line = theta, bend = theta;
            for (std::size_t k = 0; k < 8; ++k) {
                line[k] = 1.0 - 0.7 * static_cast<double>(k);
                bend[k] = 0.1 * static_cast<double>(k * k);
            }
            const double span = (folded ? 1.0 : 2.0) * std::log(n - 1.0);
            const double slope = -0.7 / (span / 5.0);
            phi = FamilySpectrum(f, line.data());
            for (unsigned j = 2; j < n; ++j) {
                const double rise = std::log(phi[j] / weight(j)) - std::log(phi[1] / weight(1));
                EXPECT_NEAR(rise, slope * (odds(j) - odds(1)), 1e-9) << n << folded << j;
            }
            auto penalty = [&](const std::vector<double>& t) {
                double s = 0.0;
                for (std::size_t a = 0; a < f.params; ++a) {
                    for (std::size_t b = 0; b < f.params; ++b) {
                        s += t[a] * f.penalty[a * f.params + b] * t[b];
                    }
                }
                return s;
            };
            EXPECT_NEAR(penalty(line), 0.0, 1e-9);
            // Second differences of 0.2 at six places, lambda 3.
            EXPECT_NEAR(penalty(bend), 3.0 * 6 * 0.04, 1e-9);
        }
    }
    // Too few distinct frequencies to smooth: the free cells; a few more:
    // as many splines as there are.
    EXPECT_EQ(SmoothSpectrumFamily(7, true, 8, 1.0).params, 0u);
    EXPECT_EQ(SmoothSpectrumFamily(4, false, 8, 1.0).params, 0u);
    EXPECT_EQ(SmoothSpectrumFamily(10, true, 8, 1.0).params, 5u);
}

// Pools of 100 at depths 8 to 20: the free spectrum's theta_W scatters and
// comes out low (its rare cells fall to 0 where the reads cannot tell), the
// smooth one's is unbiased within a few percent and steadier, for the
// neutral spectrum and an excess of rare alleles alike; pi is right in both.
TEST(SpectrumSmoothing, WattersonsThetaOfLargePoolsAtLowDepth) {
    const unsigned n = 100;
    for (double alpha : {1.0, 1.5}) {
        const std::vector<double> truth = PowerSpectrum(n, alpha, alpha == 1.0 ? 0.1 : 0.2);
        TRng rng = MakeRng(61 + static_cast<unsigned long>(alpha * 10));
        double sumSmooth = 0, sumFree = 0, sqSmooth = 0, sqFree = 0, sumPi = 0;
        const int sets = 12;
        for (int set = 0; set < sets; ++set) {
            SSpectrumSums real;
            const std::vector<SPoolSite> sites = SitesOf(rng.get(), truth, n, 15000, 8, 20, &real);
            const CPoolStore store = StoreOf(sites, false);
            const double trueW = Neutrality(real, n, false).thetaW;
            const CPoolSpectrumModel free(store, 0, n, true);
            const CPoolSpectrumModel smooth(
                store, 0, n, true,
                SmoothSpectrumFamily(n, true, kDefaultSplines, kDefaultSmoothing));
            const SPoolFitResult a = free.Fit(SPoolFitOptions{}, nullptr);
            const SPoolFitResult b = smooth.Fit(SPoolFitOptions{}, nullptr);
            ASSERT_TRUE(b.converged);
            const double ra = Neutrality(a.sums, n, true).thetaW / trueW - 1.0;
            const double rb = Neutrality(b.sums, n, true).thetaW / trueW - 1.0;
            sumFree += ra;
            sqFree += ra * ra;
            sumSmooth += rb;
            sqSmooth += rb * rb;
            sumPi += Neutrality(b.sums, n, true).pi / Neutrality(real, n, false).pi - 1.0;
        }
        EXPECT_NEAR(sumSmooth / sets, 0.0, 0.03) << alpha;
        EXPECT_LT(sqSmooth, sqFree) << alpha;
        EXPECT_NEAR(sumPi / sets, 0.0, 0.01) << alpha;
    }
}

// Sites where every chromosome carries the first allele, a fifth of the
// reads below Q12 and read wrong as often as their scores say: weighed by
// their scores, they add next to nothing under the smooth spectrum either,
// though most sites show a minor read; and the fits are the same on any
// number of threads.
TEST(SpectrumSmoothing, ErrorsAloneAddNothingOnAnyThreads) {
    for (bool folded : {false, true}) {
        TRng rng = MakeRng(71 + folded);
        const unsigned n = 60;
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
        const CPoolSpectrumModel model(store, 0, n, folded,
                                       SmoothSpectrumFamily(n, folded, 8, 1.0));
        const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
        std::unique_ptr<hts_tpool, void (*)(hts_tpool*)> pool(hts_tpool_init(3), hts_tpool_destroy);
        const SPoolFitResult three = model.Fit(SPoolFitOptions{}, pool.get());
        EXPECT_EQ(fit.spectrum.phi, three.spectrum.phi);
        EXPECT_EQ(fit.passes, three.passes);
        const SNeutrality v = Neutrality(fit.sums, n, folded);
        EXPECT_GT(static_cast<double>(withMinor) / sites.size(), 0.5);
        EXPECT_LT(v.thetaW, 2e-3) << folded;
        EXPECT_LT(v.pi, 2e-3) << folded;
    }
}
