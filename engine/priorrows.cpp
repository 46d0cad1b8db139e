#include "engine/priorrows.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/depthrows.hpp"
#include "engine/sitestore.hpp"
#include "spectrum/freqspec.hpp"

CPriorRows CPriorRows::Neutral(const CSiteStore& store, CBinomialCache* cache) {
    std::unique_ptr<CFreqSpectrum> unit(new CFSNeutral);
    unit->SetParam(0) = 1.0;
    return x_Build(store, std::move(unit), 0.0, cache);
}

CPriorRows CPriorRows::Growth(const CSiteStore& store, double g, CBinomialCache* cache) {
    std::unique_ptr<CFreqSpectrum> unit(new CFSGrowth);
    unit->SetParam(0) = 1.0;
    unit->SetParam(1) = g;
    return x_Build(store, std::move(unit), g, cache);
}

CPriorRows CPriorRows::x_Build(const CSiteStore& store, std::unique_ptr<CFreqSpectrum> unit,
                               double growth, CBinomialCache* cache) {
    const bool pooled = store.GetOptions().poolSize > 0;
    CDepthRows depthRows(store.GetOptions(), std::move(unit), pooled ? cache : nullptr);
    const std::vector<SChromosomeClass>& classes = store.GetClasses();
    CPriorRows rows;
    rows.m_Growth = growth;
    rows.m_P.assign(classes.size(), 0.0);
    rows.m_Domain.assign(classes.size(), 0.0);
    rows.m_Offset.assign(classes.size(), 0);
    double maxP = 0.0;
    for (std::size_t k = 0; k < classes.size(); ++k) {
        rows.m_Offset[k] = rows.m_Beta.size();
        if (classes[k].sites == 0) {
            continue;
        }
        const CDepthRows::SRow& row = depthRows.Row(static_cast<int>(k), classes[k].maxKept);
        rows.m_P[k] = row.polymorphic;
        rows.m_Domain[k] = row.domain;
        maxP = std::max(maxP, row.domain);
        rows.m_Beta.insert(rows.m_Beta.end(), row.beta.begin() + 1,
                           row.beta.begin() + 1 + classes[k].maxKept);
        if (!pooled) {
            // The memo of one depth is not needed for the next.
            depthRows.Clear();
        }
    }
    rows.m_ThetaMax = maxP > 0.0 ? 1.0 / maxP : std::numeric_limits<double>::infinity();
    return rows;
}
