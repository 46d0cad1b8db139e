#include "common/probdist.hpp"

#include <stdexcept>

TProbDist g_ScoreDist;
TProbDist g_DepthDist;

void ReadDistribution(std::istream& in, TProbDist& dist) {
    for (;;) {
        unsigned int value = 0;
        double prob = 0.0;
        in >> value >> prob;
        // The whole state, end of file included: a pair is taken only when
        // something follows its probability.
        if (!in.good()) {
            return;
        }
        dist.emplace_back(value, prob);
    }
}

void LoadDistributions(std::istream& scoreIn, std::istream& depthIn) {
    ReadDistribution(scoreIn, g_ScoreDist);
    ReadDistribution(depthIn, g_DepthDist);
}

unsigned int DrawFromDist(const TProbDist& dist, double u, const std::string& name) {
    if (dist.empty()) {
        throw std::runtime_error("Cannot draw a value: the " + name + " is empty.");
    }
    auto it = dist.begin();
    double sum = it->second;
    while (u > sum) {
        if (++it == dist.end()) {
            // The mass missing up to u falls on the last pair.
            return dist.back().first;
        }
        sum += it->second;
    }
    return it->first;
}

double MeanOfDist(const TProbDist& dist) {
    long double mean = 0.0L;
    for (const auto& [value, prob] : dist) {
        mean += static_cast<long double>(value) * prob;
    }
    return static_cast<double>(mean);
}
