#pragma once
// Helpers shared by the spectrum tests.

#include <initializer_list>

#include "spectrum/freqspec.hpp"

// A TModel whose parameters 0, 1, ... hold values, folded or not.
template <class TModel>
TModel Model(std::initializer_list<double> values, bool folded) {
    TModel spectrum;
    unsigned int index = 0;
    for (double value : values) {
        spectrum.SetParam(index++) = value;
    }
    spectrum.SetFolded(folded);
    return spectrum;
}

// Sum of the answers for numMinor = 0..last at depth.
inline double RowSum(const CFreqSpectrum& spectrum, int depth, int last) {
    double sum = 0.0;
    for (int k = 0; k <= last; ++k) {
        sum += spectrum(k, depth);
    }
    return sum;
}
