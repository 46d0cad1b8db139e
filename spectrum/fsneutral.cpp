#include "spectrum/freqspec.hpp"

namespace {

// Harmonic number H(m) = 1/1 + 1/2 + ... + 1/m, summed in that order; H(0) = 0.
double Harmonic(int m) {
    double sum = 0.0;
    for (int i = 1; i <= m; ++i) {
        sum += 1.0 / i;
    }
    return sum;
}

}  // namespace

CFSNeutral::CFSNeutral() {
    SetParam(0) = 0.01;
}

bool CFSNeutral::x_HasP() const {
    return m_Params.size() >= 2 && m_Params[1].second;
}

bool CFSNeutral::ParamsOutOfRange() const {
    const double h30 = Harmonic(30);
    const double theta = GetParam(0);
    if (theta < 0) {
        return true;
    }
    // Keeps the k = 0 probability non-negative for every depth up to 31.
    if (theta * h30 > 1) {
        return true;
    }
    if (!x_HasP()) {
        return false;
    }
    const double p = GetParam(1);
    if (p < 0) {
        return true;
    }
    return p > theta;
}

double CFSNeutral::x_UnfoldedProb(int numMinor, int depth) const {
    const double theta = GetParam(0);
    const double p = x_HasP() ? GetParam(1) : 0.0;
    if (numMinor >= 1) {
        return theta * (1 - p) / numMinor;
    }
    return (1 + p) - theta * Harmonic(depth - 1);
}
