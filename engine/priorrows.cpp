#include "engine/priorrows.hpp"

#include <algorithm>
#include <limits>

#include "engine/sitestore.hpp"
#include "spectrum/freqspec.hpp"

CPriorRows CPriorRows::Neutral(const CSiteStore& store) {
    CFSNeutral spectrum;
    spectrum.SetParam(0) = 1.0;
    return x_Build(store, spectrum, 0.0);
}

CPriorRows CPriorRows::Growth(const CSiteStore& store, double g) {
    CFSGrowth spectrum;
    spectrum.SetParam(0) = 1.0;
    spectrum.SetParam(1) = g;
    return x_Build(store, spectrum, g);
}

CPriorRows CPriorRows::x_Build(const CSiteStore& store, CFreqSpectrum& spectrum, double growth) {
    const bool folded = store.GetOptions().folded;
    spectrum.SetFolded(folded);
    const double p0 = folded ? 0.5 : 1.0;
    const std::vector<SChromosomeClass>& classes = store.GetClasses();
    CPriorRows rows;
    rows.m_Growth = growth;
    rows.m_P.assign(classes.size(), 0.0);
    rows.m_Offset.assign(classes.size(), 0);
    double maxP = 0.0;
    for (std::size_t k = 0; k < classes.size(); ++k) {
        rows.m_Offset[k] = rows.m_Beta.size();
        if (classes[k].sites == 0) {
            continue;
        }
        const int K = static_cast<int>(k);
        // P_K: the drop of the k = 0 prior per unit theta; the library's
        // spectrum at theta 1 holds 1 - P_K (p0 times that folded).
        const double p = (p0 - spectrum(0, K)) / p0;
        rows.m_P[k] = p;
        maxP = std::max(maxP, p);
        for (int j = 1; j <= classes[k].maxKept; ++j) {
            rows.m_Beta.push_back(spectrum(j, K) / p0);
        }
        // The memo of one class is not needed for the next.
        spectrum.ClearCache();
    }
    rows.m_ThetaMax = maxP > 0.0 ? 1.0 / maxP : std::numeric_limits<double>::infinity();
    return rows;
}
