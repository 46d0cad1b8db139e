// Times the likelihood engine on synthetic sites and prints bytes per site:
//   scan_bench [sites [scores [threads...]]]
// sites (default 1000000) of depth Poisson(20), scores "uniform" (2..41, as
// in the benchmark BAM) or a score distribution file (examples/score_dist.dat),
// minor counts from the neutral spectrum at theta 0.01, read errors drawn from
// the scores; tables in exact mode, folded. Figures per 1e6 sites.

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
    const long sites = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::string scores = argc > 2 ? argv[2] : "uniform";
    std::vector<int> threads;
    for (int i = 3; i < argc; ++i) {
        threads.push_back(std::atoi(argv[i]));
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
    std::poisson_distribution<int> depthDist(20.0);
    const double theta = 0.01;
    const auto& err = ErrProbTable();

    SSiteOptions options;
    CSiteStore store(options);
    CObsTableWorkspace ws;
    std::vector<double> table;
    std::vector<std::uint8_t> minor, major;
    double tableSeconds = 0.0, encodeSeconds = 0.0;
    std::vector<std::vector<double>> batch;
    std::int64_t pos = 0;
    for (long s = 0; s < sites; ++s) {
        int n = std::max(1, depthDist(rng));
        // Minor count from the unfolded neutral spectrum at depth n.
        double h = 0.0;
        for (int k = 1; k < n; ++k) {
            h += 1.0 / k;
        }
        int k = 0;
        double x = unif(rng);
        if (x < theta * h) {
            double acc = 0.0;
            for (k = 1; k < n; ++k) {
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
            bool isMinor = r < k;
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
    std::printf("%lu sites, %lu reads, scores %s\n", static_cast<unsigned long>(store.GetSites()),
                static_cast<unsigned long>(store.GetReads()), scores.c_str());
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
        if (pool != nullptr) {
            hts_tpool_destroy(pool);
        }
    }
    return 0;
}
