// qualfst's joint model against a brute-force likelihood computed straight
// from the reads, and the properties its estimates must have.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "fst/joint_fit.hpp"
#include "model/obstable.hpp"
#include "model/site_classes.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"
#include "spectrum/pool_diversity.hpp"

namespace {

using TRng = std::unique_ptr<gsl_rng, void (*)(gsl_rng*)>;

TRng MakeRng(unsigned long seed) {
    TRng rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    gsl_rng_set(rng.get(), seed);
    return rng;
}

// Sites of two pools with random reads: a true allele count per pool, reads
// from random chromosomes, scores 2..40 and the errors they imply.
std::vector<SPoolSite> RandomSites(gsl_rng* rng, std::size_t count, unsigned n1, unsigned n2,
                                   unsigned maxDepth) {
    std::vector<SPoolSite> sites;
    for (std::size_t s = 0; s < count; ++s) {
        SPoolSite site;
        site.m_Pos = static_cast<std::int64_t>(s);
        site.m_RefBase = 0;
        const bool poly = gsl_rng_uniform(rng) < 0.4;
        for (unsigned n : {n1, n2}) {
            const unsigned j = poly ? static_cast<unsigned>(gsl_rng_uniform_int(rng, n + 1)) : 0;
            std::vector<SBaseRead> reads;
            const unsigned depth = 1 + static_cast<unsigned>(gsl_rng_uniform_int(rng, maxDepth));
            for (unsigned r = 0; r < depth; ++r) {
                const bool other = gsl_rng_uniform_int(rng, n) < j;
                const unsigned char score =
                    static_cast<unsigned char>(2 + gsl_rng_uniform_int(rng, 39));
                unsigned char base = other ? 2 : 0;
                if (gsl_rng_uniform(rng) < ErrProbTable()[score]) {
                    base = static_cast<unsigned char>((base + 1 + gsl_rng_uniform_int(rng, 3)) % 4);
                }
                reads.push_back(SBaseRead{base, score});
            }
            site.m_Reads.push_back(reads);
        }
        sites.push_back(site);
    }
    return sites;
}

// The likelihood of one pool's reads given that j of its n chromosomes carry
// the second allele, straight from the model: each read comes from a random
// chromosome, and is read right with probability 1 - e. With the site's
// first allele a, a read of a is "major", any other read "minor".
double BrutePool(const std::vector<SBaseRead>& reads, int first, unsigned j, unsigned n) {
    const double x = static_cast<double>(j) / n;
    double l = 1.0;
    for (const SBaseRead& r : reads) {
        const double e = ErrProbTable()[r.m_Score];
        const bool major = r.m_Base == first;
        l *= major ? (1 - x) * (1 - e) + x * e : (1 - x) * e + x * (1 - e);
    }
    return l;
}

int FirstAllele(const SPoolSite& site) {
    TBaseCounts total{};
    for (const auto& reads : site.m_Reads) {
        for (const SBaseRead& r : reads) {
            ++total[r.m_Base];
        }
    }
    const TBaseClasses classes = ClassifyBases(total, -1);
    for (int b = 0; b < 4; ++b) {
        if (classes[static_cast<std::size_t>(b)] == 0) {
            return b;
        }
    }
    return 0;
}

double BruteSite(const SPoolSite& site, const SJointSpectrum& s) {
    const int first = FirstAllele(site);
    double z = 0.0;
    for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
        const double l1 = BrutePool(site.m_Reads[0], first, j1, s.n1);
        for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
            z += s.At(j1, j2) * l1 * BrutePool(site.m_Reads[1], first, j2, s.n2);
        }
    }
    return z;
}

double BruteLogLik(const std::vector<SPoolSite>& sites, const SJointSpectrum& s) {
    double ll = 0.0;
    for (const SPoolSite& site : sites) {
        ll += std::log(BruteSite(site, s));
    }
    return ll;
}

// A plain EM in cell space from the brute-force likelihoods.
SJointSpectrum BruteEm(const std::vector<SPoolSite>& sites, SJointSpectrum s, int iterations) {
    std::vector<std::vector<double>> l1, l2;
    for (const SPoolSite& site : sites) {
        const int first = FirstAllele(site);
        l1.emplace_back();
        l2.emplace_back();
        for (unsigned j = 0; j <= s.n1; ++j) {
            l1.back().push_back(BrutePool(site.m_Reads[0], first, j, s.n1));
        }
        for (unsigned j = 0; j <= s.n2; ++j) {
            l2.back().push_back(BrutePool(site.m_Reads[1], first, j, s.n2));
        }
    }
    for (int it = 0; it < iterations; ++it) {
        std::vector<double> next(s.phi.size(), 0.0);
        for (std::size_t k = 0; k < sites.size(); ++k) {
            double z = 0.0;
            for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
                for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
                    z += s.At(j1, j2) * l1[k][j1] * l2[k][j2];
                }
            }
            for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
                for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
                    next[j1 * (s.n2 + 1) + j2] += s.At(j1, j2) * l1[k][j1] * l2[k][j2] / z;
                }
            }
        }
        for (std::size_t c = 0; c < next.size(); ++c) {
            s.phi[c] = next[c] / static_cast<double>(sites.size());
        }
        if (s.folded) {
            for (std::size_t c = 0; c < s.phi.size() / 2; ++c) {
                const double m = 0.5 * (s.phi[c] + s.phi[s.phi.size() - 1 - c]);
                s.phi[c] = s.phi[s.phi.size() - 1 - c] = m;
            }
        }
    }
    return s;
}

CPoolStore Store(const std::vector<SPoolSite>& sites, CPoolEncoder& encoder) {
    CPoolStore store(2);
    std::vector<unsigned char> bytes;
    SPoolEncodeCounts counts;
    for (const SPoolSite& site : sites) {
        bytes.clear();
        std::uint64_t reads = 0;
        EXPECT_EQ(encoder.Encode(site, bytes, counts, reads), 2u);
        store.Append(0, site.m_Pos, bytes.data(), bytes.size());
    }
    // The errors of these sites never pose as a third allele.
    EXPECT_EQ(counts.m_MultiAllelic, 0u);
    store.Finish();
    return store;
}

SJointSpectrum RandomSpectrum(gsl_rng* rng, unsigned n1, unsigned n2, bool folded) {
    SJointSpectrum s;
    s.n1 = n1;
    s.n2 = n2;
    s.folded = folded;
    double total = 0.0;
    for (unsigned c = 0; c < (n1 + 1) * (n2 + 1); ++c) {
        s.phi.push_back(0.01 + gsl_rng_uniform(rng));
        total += s.phi.back();
    }
    for (double& x : s.phi) {
        x /= total;
    }
    return s;
}

}  // namespace

// Every site's likelihood from the compact records, under any spectrum,
// equals the model's straight from the reads up to a factor of its own (the
// tables' scales): the ratio must not move when the spectrum does. Tiny
// pools (3, 5 and 4, 2, so both orientations of the sums) and depths up to
// 12, qualities 2-40, polymorphic and not.
TEST(JointModel, SiteLikelihoodsMatchTheReadsUnderAnySpectrum) {
    for (auto [n1, n2] : {std::pair<unsigned, unsigned>{3, 5}, {4, 2}}) {
        TRng rng = MakeRng(n1 * 10 + n2);
        const std::vector<SPoolSite> sites = RandomSites(rng.get(), 300, n1, n2, 12);
        CPoolEncoder encoder(2, 1, 0, false);
        const CPoolStore store = Store(sites, encoder);
        const CPairModel model(store, 0, 1, n1, n2, false);
        ASSERT_EQ(model.Sites(), sites.size());
        const SJointSpectrum a = RandomSpectrum(rng.get(), n1, n2, false);
        const SJointSpectrum b = RandomSpectrum(rng.get(), n1, n2, false);
        const auto fa = model.SiteLikelihoods(a), fb = model.SiteLikelihoods(b);
        ASSERT_EQ(fa.size(), sites.size());
        double worst = 0.0;
        for (std::size_t s = 0; s < sites.size(); ++s) {
            ASSERT_EQ(fa[s].first, sites[s].m_Pos);
            const double ra = fa[s].second / BruteSite(sites[s], a);
            const double rb = fb[s].second / BruteSite(sites[s], b);
            worst = std::max(worst, std::fabs(ra / rb - 1.0));
        }
        // Floats keep 2^-24 of every entry but the largest.
        EXPECT_LT(worst, 1e-6) << n1 << " " << n2;
    }
}

// The fit reaches at least the likelihood of a long plain EM on the
// brute-force likelihoods, from the same start, folded and not; its
// posterior diversities are the cell sums of its posterior spectrum.
TEST(JointModel, FitReachesTheBruteForceMaximum) {
    for (bool folded : {false, true}) {
        TRng rng = MakeRng(folded ? 5 : 6);
        const unsigned n1 = 4, n2 = 3;
        const std::vector<SPoolSite> sites = RandomSites(rng.get(), 400, n1, n2, 10);
        CPoolEncoder encoder(2, 1, 0, false);
        const CPoolStore store = Store(sites, encoder);
        const CPairModel model(store, 0, 1, n1, n2, folded);
        const SJointSpectrum start = model.DefaultStart();
        SJointFitOptions options;
        options.tolerance = 1e-9;
        const SJointFitResult fit = model.Fit(options, nullptr, &start);
        const SJointSpectrum brute = BruteEm(sites, start, 3000);
        const double llFit = BruteLogLik(sites, fit.spectrum);
        const double llBrute = BruteLogLik(sites, brute);
        EXPECT_GE(llFit, llBrute - 1e-6) << folded;
        // And not by chance: the start is far below both.
        EXPECT_GT(llBrute - BruteLogLik(sites, start), 1.0);
        const SPairValues v = SpectrumValues(fit.posterior);
        EXPECT_DOUBLE_EQ(v.dxy, fit.values.dxy);
        const SPairValues vb = SpectrumValues(brute);
        EXPECT_NEAR(fit.values.dxy, vb.dxy, 2e-3 * vb.dxy) << folded;
        EXPECT_NEAR(fit.values.pi1, vb.pi1, 2e-3 * vb.pi1) << folded;
        if (folded) {
            for (std::size_t c = 0; c < fit.spectrum.phi.size(); ++c) {
                EXPECT_EQ(fit.spectrum.phi[c], fit.spectrum.phi[fit.spectrum.phi.size() - 1 - c]);
            }
        }
    }
}

// Windows: the per-site posterior expectations add up to the genome's
// values (the posterior spectrum), and every number is the same whatever
// the number of threads.
TEST(JointModel, PosteriorsAddUpAndThreadsChangeNothing) {
    TRng rng = MakeRng(3);
    const unsigned n1 = 6, n2 = 9;
    std::vector<SPoolSite> sites = RandomSites(rng.get(), 3000, n1, n2, 15);
    CPoolEncoder encoder(2, 1, 0, true);
    const CPoolStore store = Store(sites, encoder);
    const CPairModel model(store, 0, 1, n1, n2, false);
    SJointFitOptions options;
    const SJointFitResult one = model.Fit(options, nullptr);
    std::unique_ptr<hts_tpool, void (*)(hts_tpool*)> pool(hts_tpool_init(3), hts_tpool_destroy);
    const SJointFitResult three = model.Fit(options, pool.get());
    EXPECT_EQ(one.spectrum.phi, three.spectrum.phi);
    EXPECT_EQ(one.values.fst, three.values.fst);
    EXPECT_EQ(one.passes, three.passes);
    double w1 = 0, w2 = 0, b = 0;
    std::int64_t last = -1;
    model.Posterior(one.spectrum, pool.get(), [&](int, std::int64_t pos, const double* e) {
        EXPECT_GT(pos, last);
        last = pos;
        ASSERT_NE(e, nullptr);
        w1 += e[0];
        w2 += e[1];
        b += e[2];
    });
    const double n = static_cast<double>(sites.size());
    EXPECT_NEAR(w1 / n, one.values.pi1, 1e-10 * one.values.pi1);
    EXPECT_NEAR(w2 / n, one.values.pi2, 1e-10 * one.values.pi2);
    EXPECT_NEAR(b / n, one.values.dxy, 1e-10 * one.values.dxy);
    // A resample refitted: blocks of 100 positions, half of them twice.
    CSiteBlocks blocks(store, 100);
    ASSERT_EQ(blocks.Blocks(), 30u);
    std::vector<double> weights(30, 0.0);
    for (std::size_t k = 0; k < 30; k += 2) {
        weights[k] = 2.0;
    }
    const SJointFitResult r1 = model.Fit(options, nullptr, &one.spectrum, &blocks, &weights);
    const SJointFitResult r3 = model.Fit(options, pool.get(), &one.spectrum, &blocks, &weights);
    EXPECT_EQ(r1.values.dxy, r3.values.dxy);
    EXPECT_EQ(r1.weight, 3000.0);
    EXPECT_NE(r1.values.dxy, one.values.dxy);
}

// The population-level diversities of a spectrum, cell by cell: a pool of 2
// with one copy has 2 * 1 * 1 / (2 * 1) = 1 (its population's 2 p (1 - p),
// corrected for drawing 2 chromosomes), and x1 (1 - x2) + x2 (1 - x1) = 0.5
// against a pool without the allele.
TEST(JointModel, SpectrumValuesByCell) {
    SJointSpectrum s;
    s.n1 = 2;
    s.n2 = 4;
    s.phi.assign(15, 0.0);
    s.phi[1 * 5 + 0] = 0.5;  // j1 = 1 of 2, j2 = 0 of 4
    s.phi[0] = 0.5;
    const SPairValues v = SpectrumValues(s);
    EXPECT_DOUBLE_EQ(v.pi1, 0.5 * 1.0);
    EXPECT_DOUBLE_EQ(v.pi2, 0.0);
    EXPECT_DOUBLE_EQ(v.dxy, 0.5 * 0.5);
    EXPECT_DOUBLE_EQ(v.fst, 1.0 - 0.5 * 0.5 / 0.25);
    EXPECT_DOUBLE_EQ(PoolWithin(3, 4), 2.0 * 3 * 1 / 12);
}

// Wherever a fit stops (every pass limit from 2 to 40, so that the last
// iterate is often an accelerated step), its spectrum and posterior are
// distributions: shares of the sites that sum to 1, none negative, and
// folded ones symmetric.
TEST(JointModel, EveryIterateIsADistribution) {
    TRng rng = MakeRng(17);
    const unsigned n1 = 6, n2 = 5;
    std::vector<SPoolSite> sites = RandomSites(rng.get(), 600, n1, n2, 8);
    CPoolEncoder encoder(2, 1, 0, false);
    const CPoolStore store = Store(sites, encoder);
    for (bool folded : {false, true}) {
        const CPairModel model(store, 0, 1, n1, n2, folded);
        for (int passes = 2; passes <= 40; passes += 3) {
            SJointFitOptions options;
            options.tolerance = 1e-12;
            options.maxPasses = passes;
            const SJointFitResult fit = model.Fit(options, nullptr);
            for (const SJointSpectrum* s : {&fit.spectrum, &fit.posterior}) {
                double sum = 0.0;
                for (std::size_t c = 0; c < s->phi.size(); ++c) {
                    EXPECT_GE(s->phi[c], 0.0);
                    sum += s->phi[c];
                    if (folded) {
                        EXPECT_EQ(s->phi[c], s->phi[s->phi.size() - 1 - c]);
                    }
                }
                EXPECT_NEAR(sum, 1.0, 1e-12) << passes << " " << folded;
            }
        }
    }
}
