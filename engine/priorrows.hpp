#pragma once
// The prior of one spectrum per unit theta, in the form the site records use
// (sitestore.hpp): for every class K of the store, the polymorphic mass P_K
// and beta_k, k = 1..(longest record of the class), so that a site's
// likelihood is proportional to a (1 - theta P_K) + theta sum_k beta_k z_k.
// Both come from the spectrum library at theta = 1: with p0 the prior at
// theta 0 (1 at k = 0 unfolded, 1/2 folded), P_K = (p0 - pi(0, K)) / p0 and
// beta_k = pi(k, K) / p0, so each spectrum has one implementation.

#include <vector>

class CSiteStore;
class CFreqSpectrum;

class CPriorRows {
  public:
    // The neutral spectrum.
    static CPriorRows Neutral(const CSiteStore& store);
    // Exponential growth at rate g (>= 1e-10) as the spectrum library has it.
    static CPriorRows Growth(const CSiteStore& store, double g);

    // P_K; 0 for a class without sites.
    double Polymorphic(int K) const { return m_P[static_cast<std::size_t>(K)]; }
    // beta_1 .. beta_kept of class K at index 0 ..
    const double* Beta(int K) const {
        return m_Beta.data() + m_Offset[static_cast<std::size_t>(K)];
    }
    int GetClassCount() const { return static_cast<int>(m_P.size()); }
    // 1 / max_K P_K over the classes with sites: the largest theta for which
    // every prior entry is non-negative (infinity when no class has a
    // polymorphic prior).
    double ThetaMax() const { return m_ThetaMax; }
    // The growth rate, or 0 for the neutral spectrum.
    double GetGrowth() const { return m_Growth; }

  private:
    CPriorRows() = default;
    static CPriorRows x_Build(const CSiteStore& store, CFreqSpectrum& spectrum, double growth);
    std::vector<double> m_P;
    std::vector<std::size_t> m_Offset;
    std::vector<double> m_Beta;
    double m_ThetaMax = 0.0;
    double m_Growth = 0.0;
};
