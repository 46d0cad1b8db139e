#pragma once
// Simulated sites for the engine's tests: true minor counts from a spectrum,
// read errors drawn from the scores, observation tables in exact mode.

#include <gsl/gsl_randist.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
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

// log sum_t T[t] prior(t) from the full table: the spectrum library's model
// at the site's depth, or, for a pool of N, sum_k pi(k; N) Binom(t; n, k/N).
inline double OracleLogLik(const STestSite& s, const CFreqSpectrum& model, int pool) {
    long double sum = 0.0L;
    for (int t = 0; t <= s.depth; ++t) {
        double prior = 0.0;
        if (pool == 0) {
            prior = model(t, s.depth);
        } else {
            for (int k = 0; k <= pool; ++k) {
                prior += model(k, pool) * gsl_ran_binomial_pdf(static_cast<unsigned>(t),
                                                               static_cast<double>(k) / pool,
                                                               static_cast<unsigned>(s.depth));
            }
        }
        sum += static_cast<long double>(s.table[static_cast<std::size_t>(t)]) * prior;
    }
    return s.logScale + static_cast<double>(std::log(sum));
}

inline std::unique_ptr<CFreqSpectrum> Model(double theta, double g, bool folded) {
    std::unique_ptr<CFreqSpectrum> m;
    if (g > 0.0) {
        m.reset(new CFSGrowth);
        m->SetParam(1) = g;
    } else {
        m.reset(new CFSNeutral);
    }
    m->SetParam(0) = theta;
    m->SetFolded(folded);
    return m;
}

// Maximum of a concave f on [a, b] by golden section.
inline double GoldenMax(const std::function<double(double)>& f, double a, double b,
                        int steps = 120) {
    const double r = 0.5 * (std::sqrt(5.0) - 1.0);
    double x1 = b - r * (b - a), x2 = a + r * (b - a);
    double f1 = f(x1), f2 = f(x2);
    for (int i = 0; i < steps; ++i) {
        if (f1 < f2) {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + r * (b - a);
            f2 = f(x2);
        } else {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = b - r * (b - a);
            f1 = f(x1);
        }
    }
    return 0.5 * (a + b);
}

// Root of a monotone f on [a, b] by bisection.
inline double Bisect(const std::function<double(double)>& f, double a, double b, int steps = 200) {
    const bool rising = f(a) < 0.0;
    for (int i = 0; i < steps; ++i) {
        const double m = 0.5 * (a + b);
        if ((f(m) < 0.0) == rising) {
            a = m;
        } else {
            b = m;
        }
    }
    return 0.5 * (a + b);
}
