// Times the likelihood engine on synthetic sites and prints bytes per site:
//   scan_bench [sites [scores [threads...]]] [pool=N] [depth=D] [bootstrap=B]
// sites (default 1000000) of depth Poisson(D) (default 20), scores "uniform"
// (2..41, as in the benchmark BAM) or a score distribution file
// (examples/score_dist.dat), minor counts from the neutral spectrum at theta
// 0.01 (of the N chromosomes of a pool, each read minor with probability
// k/N, with pool=N), read errors drawn from the scores; tables in exact
// mode, folded. Figures per 1e6 sites; with bootstrap=B, also the block
// bootstrap of both models (B resamples, blocks of 10000 sites) against the
// fits without it.

#include <htslib/thread_pool.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/bootstrap.hpp"
#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "model/obstable.hpp"

namespace {

// CPU time of the process: the machine this runs on is shared, so wall time
// says little about the engine; with several threads it adds theirs up.
double CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double WallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PrintRow(const SFitResult& r, double cpu, double wall, double per) {
    std::printf(
        "  %-8s theta %.6g [%.6g, %.6g] g %.4g [%.4g, %.4g] loglik %.10g lrt %.4g p %.3g\n"
        "           %d passes, per 1e6 sites: cpu %.3f s, wall %.3f s\n",
        r.model.c_str(), r.theta, r.thetaLo, r.thetaHi, r.growth, r.growthLo, r.growthHi, r.logLik,
        r.lrt, r.pValue, r.passes, cpu * per, wall * per);
}

}  // namespace

int main(int argc, char* argv[]) {
    int pool = 0, replicates = 0;
    double meanDepth = 20.0;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("pool=", 0) == 0) {
            pool = std::atoi(a.c_str() + 5);
        } else if (a.rfind("depth=", 0) == 0) {
            meanDepth = std::atof(a.c_str() + 6);
        } else if (a.rfind("bootstrap=", 0) == 0) {
            replicates = std::atoi(a.c_str() + 10);
        } else {
            args.push_back(a);
        }
    }
    const long sites = args.size() > 0 ? std::atol(args[0].c_str()) : 1000000;
    const std::string scores = args.size() > 1 ? args[1] : "uniform";
    std::vector<int> threads;
    for (std::size_t i = 2; i < args.size(); ++i) {
        threads.push_back(std::atoi(args[i].c_str()));
    }
    if (threads.empty()) {
        threads = {1, 2};
    }
    std::vector<int> qValue;
    std::vector<double> qCum;
    if (scores == "uniform") {
        for (int q = 2; q <= 41; ++q) {
            qValue.push_back(q);
            qCum.push_back((q - 1) / 40.0);
        }
    } else {
        std::ifstream in(scores);
        int q;
        double p, sum = 0.0;
        while (in >> q >> p) {
            sum += p;
            qValue.push_back(q);
            qCum.push_back(sum);
        }
        if (qValue.empty()) {
            std::fprintf(stderr, "scan_bench: no scores in %s\n", scores.c_str());
            return 1;
        }
    }
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::poisson_distribution<int> depthDist(meanDepth);
    const double theta = 0.01;
    const auto& err = ErrProbTable();

    SSiteOptions options;
    options.poolSize = pool;
    options.blockSize = 10000;
    CSiteStore store(options);
    CObsTableWorkspace ws;
    std::vector<double> table;
    std::vector<std::uint8_t> minor, major;
    double tableSeconds = 0.0, encodeSeconds = 0.0;
    std::vector<std::vector<double>> batch;
    std::int64_t pos = 0;
    for (long s = 0; s < sites; ++s) {
        int n = std::max(1, depthDist(rng));
        // Minor count from the unfolded neutral spectrum at K = n, or at the
        // pool's N.
        const int K = pool > 0 ? pool : n;
        double h = 0.0;
        for (int k = 1; k < K; ++k) {
            h += 1.0 / k;
        }
        int k = 0;
        double x = unif(rng);
        if (x < theta * h) {
            double acc = 0.0;
            for (k = 1; k < K; ++k) {
                acc += theta / k;
                if (x < acc) {
                    break;
                }
            }
        }
        minor.clear();
        major.clear();
        for (int r = 0; r < n; ++r) {
            const double y = unif(rng);
            int qi = 0;
            while (qi + 1 < static_cast<int>(qValue.size()) &&
                   y >= qCum[static_cast<std::size_t>(qi)]) {
                ++qi;
            }
            const std::uint8_t q = static_cast<std::uint8_t>(qValue[static_cast<std::size_t>(qi)]);
            bool isMinor = pool > 0 ? unif(rng) * pool < k : r < k;
            if (unif(rng) < err[q]) {
                isMinor = !isMinor;
            }
            (isMinor ? minor : major).push_back(q);
        }
        if (minor.size() > major.size()) {
            std::swap(minor, major);  // folded: the majority is the reference
        }
        const double t0 = CpuNow();
        const double logScale = ComputeObsTable(minor.data(), minor.size(), major.data(),
                                                major.size(), ETableMode::eExact, s, ws, table);
        tableSeconds += CpuNow() - t0;
        batch.push_back(table);
        batch.back().push_back(logScale);
        if (batch.size() == 10000 || s + 1 == sites) {
            // Encoding timed over a batch of ready tables.
            const double t1 = CpuNow();
            for (const auto& tb : batch) {
                const int depth = static_cast<int>(tb.size()) - 2;
                store.Append(0, pos++, depth, tb.data(), tb.back());
            }
            encodeSeconds += CpuNow() - t1;
            batch.clear();
        }
    }
    const double per = 1e6 / static_cast<double>(store.GetSites());
    std::printf("%lu sites, %lu reads, scores %s, pool %d\n",
                static_cast<unsigned long>(store.GetSites()),
                static_cast<unsigned long>(store.GetReads()), scores.c_str(), pool);
    std::printf("  record bytes per site %.2f, allocated bytes per site %.2f\n",
                static_cast<double>(store.GetRecordBytes()) / store.GetSites(),
                static_cast<double>(store.GetAllocatedBytes()) / store.GetSites());
    std::printf("  cpu per 1e6 sites: tables %.3f s, encoding and appending %.3f s\n",
                tableSeconds * per, encodeSeconds * per);
    for (int t : threads) {
        if (t <= 0) {
            continue;  // encoding only
        }
        hts_tpool* pool = t > 1 ? hts_tpool_init(t) : nullptr;
        std::printf("threads %d\n", t);
        SFitOptions fit;
        const double c0 = CpuNow(), w0 = WallNow();
        const SFitResult neutral = FitNeutral(store, fit, pool);
        const double c1 = CpuNow(), w1 = WallNow();
        PrintRow(neutral, c1 - c0, w1 - w0, per);
        const SFitResult growth = FitGrowth(store, fit, neutral, pool);
        const double c2 = CpuNow(), w2 = WallNow();
        PrintRow(growth, c2 - c1, w2 - w1, per);
        std::printf("  both models with intervals, per 1e6 sites: cpu %.3f s, wall %.3f s\n",
                    (c2 - c0) * per, (w2 - w0) * per);
        if (replicates > 0) {
            SFitResult n = neutral, g = growth;
            SBootstrapOptions b;
            b.replicates = replicates;
            const double c3 = CpuNow(), w3 = WallNow();
            const SBootstrapReport report = BootstrapIntervals(store, fit, b, pool, n, &g);
            const double c4 = CpuNow(), w4 = WallNow();
            std::printf(
                "  bootstrap of both models, %d resamples: theta [%.6g, %.6g] g [%.4g, %.4g]\n"
                "           per 1e6 sites: cpu %.3f s, wall %.3f s; %.2f times the fits "
                "without it (cpu)\n",
                report.replicates, n.thetaLo, n.thetaHi, g.growthLo, g.growthHi, (c4 - c3) * per,
                (w4 - w3) * per, (c4 - c3) / (c2 - c0));
        }
        if (pool != nullptr) {
            hts_tpool_destroy(pool);
        }
    }
    return 0;
}
