// Times one pool's spectrum fit, its per-site posterior pass and the
// per-site calls of two pools on synthetic sites:
//   pool_spectrum_bench [sites] [pool=N] [depth=D] [folded]
// sites (default 1000000) of two pools of N chromosomes (default 50) from
// one population (neutral, theta 0.01 per site), depth Poisson(D) (default
// 30) per pool, scores uniform on 2..41 with the errors they imply. Prints
// CPU seconds per 1e6 sites of each step (QUAL at every site, the full
// calls with the test where QUAL >= 20), the wall time of the fit with one
// and two threads, its passes, its estimates beside those of the first
// pool's true counts, and the bytes of the store. Figures,
// not a test: scripts/bench_pool_spectrum runs it beside samtools.

#include <htslib/thread_pool.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "model/obstable.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/pool_store.hpp"
#include "pool/site_posterior.hpp"

namespace {

double CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double WallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char* argv[]) {
    std::size_t sites = 1000000;
    unsigned n = 50;
    double depth = 30.0;
    bool folded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("pool=", 0) == 0) {
            n = static_cast<unsigned>(std::stoul(a.substr(5)));
        } else if (a.rfind("depth=", 0) == 0) {
            depth = std::stod(a.substr(6));
        } else if (a == "folded") {
            folded = true;
        } else {
            sites = std::stoul(a);
        }
    }
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::poisson_distribution<unsigned> depths(depth);
    // The neutral spectrum of the population's frequency, drawn into pools.
    std::vector<double> cumulative;
    double theta = 0.01, total = 0.0;
    const unsigned grid = 1000;
    for (unsigned k = 1; k < grid; ++k) {
        total += theta / k;
        cumulative.push_back(total);
    }
    const double t0 = CpuNow();
    SSpectrumSums truth;  // the first pool's true counts
    CPoolStore store(2);
    CPoolEncoder encoder(2, 1, 0, !folded);
    SPoolSite site;
    site.m_RefBase = 0;
    site.m_Reads.resize(2);
    std::vector<unsigned char> bytes;
    SPoolEncodeCounts counts;
    for (std::size_t s = 0; s < sites; ++s) {
        const double u = uniform(rng);
        double p = 0.0;
        if (u < total) {
            std::size_t k = 0;
            while (cumulative[k] < u) {
                ++k;
            }
            p = static_cast<double>(k + 1) / grid;
        }
        for (auto& reads : site.m_Reads) {
            std::binomial_distribution<unsigned> draw(n, p);
            const unsigned j = draw(rng);
            if (&reads == &site.m_Reads[0]) {
                truth.sites += 1;
                truth.pi += PiTerm(j, n);
                truth.segregating += SegregatingTerm(j, n);
            }
            reads.clear();
            const unsigned d = depths(rng);
            for (unsigned r = 0; r < d; ++r) {
                const bool second = uniform(rng) * n < j;
                const auto score = static_cast<unsigned char>(2 + rng() % 40);
                unsigned char base = second ? 2 : 0;
                if (uniform(rng) < ErrProbTable()[score]) {
                    base = static_cast<unsigned char>((base + 1 + rng() % 3) % 4);
                }
                reads.push_back(SBaseRead{base, score});
            }
        }
        site.m_Pos = static_cast<std::int64_t>(s);
        bytes.clear();
        std::uint64_t readCount = 0;
        encoder.Encode(site, bytes, counts, readCount);
        store.Append(0, site.m_Pos, bytes.data(), bytes.size());
    }
    store.Finish();
    const double per = 1e6 / static_cast<double>(sites);
    const double t1 = CpuNow();
    const CPoolSpectrumModel model(store, 0, n, folded);
    const double t2 = CpuNow();
    const double w00 = WallNow();
    const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr);
    const double w01 = WallNow();
    const double t3 = CpuNow();
    std::unique_ptr<hts_tpool, void (*)(hts_tpool*)> pool(hts_tpool_init(2), hts_tpool_destroy);
    const double w0 = WallNow();
    const SPoolFitResult fit2 = model.Fit(SPoolFitOptions{}, pool.get());
    const double w1 = WallNow();
    const double t4 = CpuNow();
    SSpectrumSums sums;
    model.Posterior(fit.spectrum, nullptr,
                    [&](int, std::int64_t, const SSpectrumSums& t) { sums += t; });
    const double t5 = CpuNow();
    // QUAL of both pools at every site, under the first pool's spectrum,
    // and the full calls with the test at the sites of QUAL 20 or more.
    CSiteCaller caller({fit.spectrum, fit.spectrum});
    SSiteCall call;
    std::size_t sitesSeen = 0, called = 0;
    double qual = 0.0, callCpu = 0.0;
    for (CPoolSiteCursor s(store); s.Next();) {
        const double q = caller.Qual(s.Records());
        qual += q;
        ++sitesSeen;
        if (q >= 20.0) {
            const double c0 = CpuNow();
            caller.Call(s.Records(), call, true);
            callCpu += CpuNow() - c0;
            ++called;
        }
    }
    const double t6 = CpuNow() - callCpu;
    const SNeutrality v = Neutrality(fit.sums, n, folded);
    std::printf("pool of %u, depth %.0f, %s, %zu sites (%.1f bytes per site in the store)\n", n,
                depth, folded ? "folded" : "unfolded", sites,
                static_cast<double>(store.Bytes()) / static_cast<double>(sites));
    const SNeutrality real = Neutrality(truth, n, false);
    std::printf(
        "  pi %.6g theta_W %.6g D %.4g (true counts: %.6g %.6g %.4g); fit: %d passes, "
        "converged %d, gap %.3g\n",
        v.pi, v.thetaW, v.tajimaD, real.pi, real.thetaW, real.tajimaD, fit.passes, fit.converged,
        fit.gap);
    std::printf(
        "  CPU s per 1e6 sites: simulate+encode %.3f, setup %.3f, fit %.3f, posterior %.3f, "
        "QUAL of 2 pools %.3f\n",
        (t1 - t0) * per, (t2 - t1) * per, (t3 - t2) * per, (t5 - t4) * per, (t6 - t5) * per);
    std::printf("  calls with the test at the %zu sites of QUAL >= 20: %.1f us CPU each\n", called,
                called ? 1e6 * callCpu / static_cast<double>(called) : 0.0);
    std::printf("  fit wall s per 1e6 sites: 1 thread %.3f, 2 threads %.3f (same spectrum %d)\n",
                (w01 - w00) * per, (w1 - w0) * per, fit2.spectrum.phi == fit.spectrum.phi);
    std::printf("  (pi sum %.6g over %zu sites, mean QUAL %.4g)\n", sums.pi, sitesSeen,
                qual / static_cast<double>(sitesSeen));
    return 0;
}
