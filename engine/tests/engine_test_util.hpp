#pragma once
// Simulated sites for the engine's tests: true minor counts from a spectrum,
// read errors drawn from the scores, observation tables in exact mode.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "model/obstable.hpp"
#include "spectrum/freqspec.hpp"

struct STestSite {
    int depth = 0;
    std::vector<double> table;  // depth + 1 entries
    double logScale = 0.0;
};

// Table of a site from the scores of its minor- and reference-labelled
// reads; folded, the class with more reads is the reference.
inline STestSite MakeSite(std::vector<std::uint8_t> minor, std::vector<std::uint8_t> major,
                          bool folded) {
    if (folded && minor.size() > major.size()) {
        std::swap(minor, major);
    }
    STestSite s;
    s.depth = static_cast<int>(minor.size() + major.size());
    CObsTableWorkspace ws;
    s.logScale = ComputeObsTable(minor.data(), minor.size(), major.data(), major.size(),
                                 ETableMode::eExact, 0, ws, s.table);
    return s;
}

// count sites: depth from depth(rng), a true count of minor chromosomes k
// drawn from the unfolded spectrum at depth K (K = depth, or the pool size),
// each read minor with probability k / K (pool) or exactly k reads minor,
// scores from score(rng), each read wrong with its error probability.
template <typename TRng>
std::vector<STestSite> Simulate(int count, const CFreqSpectrum& unfolded, int pool,
                                const std::function<int(TRng&)>& depth,
                                const std::function<int(TRng&)>& score, bool folded, TRng& rng) {
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    const auto& err = ErrProbTable();
    std::vector<STestSite> sites;
    for (int s = 0; s < count; ++s) {
        const int n = depth(rng);
        const int K = pool > 0 ? pool : n;
        double x = unif(rng), acc = 0.0;
        int k = 0;
        for (; k < K; ++k) {
            acc += unfolded(k, K);
            if (x < acc) {
                break;
            }
        }
        k = std::min(k, K - 1);
        std::vector<std::uint8_t> minor, major;
        for (int r = 0; r < n; ++r) {
            const auto q = static_cast<std::uint8_t>(score(rng));
            bool isMinor = pool > 0 ? unif(rng) < static_cast<double>(k) / K : r < k;
            if (unif(rng) < err[q]) {
                isMinor = !isMinor;
            }
            (isMinor ? minor : major).push_back(q);
        }
        sites.push_back(MakeSite(minor, major, folded));
    }
    return sites;
}
