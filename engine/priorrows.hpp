#pragma once
// The prior of one spectrum per unit theta, in the form the site records use
// (sitestore.hpp): for every class n of the store (the sites' depth), the
// polymorphic mass P_n and beta_t, t = 1..(longest record of the class), so
// that a site's likelihood is proportional to a (1 - theta P_n) + theta
// sum_t beta_t z_t, and the domain's bound P_K (theta <= 1/P_K). All come
// from the spectrum library at theta = 1 through CDepthRows (depthrows.hpp),
// so each spectrum has one implementation and the encoder's neutral rows are
// these, bit for bit.

#include <memory>
#include <vector>

class CSiteStore;
class CFreqSpectrum;
class CBinomialCache;

class CPriorRows {
  public:
    // The neutral spectrum. cache (for the store's pool size) keeps a pool's
    // binomial terms for the next rows.
    static CPriorRows Neutral(const CSiteStore& store, CBinomialCache* cache = nullptr);
    // Exponential growth at rate g (>= 1e-10) as the spectrum library has it.
    static CPriorRows Growth(const CSiteStore& store, double g, CBinomialCache* cache = nullptr);

    // P_n; 0 for a class without sites.
    double Polymorphic(int n) const { return m_P[static_cast<std::size_t>(n)]; }
    // P_K of the domain for class n (P_n itself without a pool).
    double Domain(int n) const { return m_Domain[static_cast<std::size_t>(n)]; }
    // beta_1 .. beta_kept of class n at index 0 ..
    const double* Beta(int n) const {
        return m_Beta.data() + m_Offset[static_cast<std::size_t>(n)];
    }
    int GetClassCount() const { return static_cast<int>(m_P.size()); }
    // 1 / max P_K over the classes with sites: the largest theta for which
    // every prior entry is non-negative (infinity when no class has a
    // polymorphic prior).
    double ThetaMax() const { return m_ThetaMax; }
    // The growth rate, or 0 for the neutral spectrum.
    double GetGrowth() const { return m_Growth; }

  private:
    CPriorRows() = default;
    static CPriorRows x_Build(const CSiteStore& store, std::unique_ptr<CFreqSpectrum> unit,
                              double growth, CBinomialCache* cache);
    std::vector<double> m_P, m_Domain;
    std::vector<std::size_t> m_Offset;
    std::vector<double> m_Beta;
    double m_ThetaMax = 0.0;
    double m_Growth = 0.0;
};
