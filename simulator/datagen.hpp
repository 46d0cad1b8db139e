#pragma once
// Draws the sites of a synthetic data set: depths, true minor-allele counts,
// quality scores and sequencing errors, and appends one Column element per
// site to the document root.

#include <gsl/gsl_rng.h>

#include <exception>
#include <string>
#include <vector>

#include "common/probdist.hpp"

namespace xmlpp {
class Element;
}
class CFreqSpectrum;

// Signals a site on which two or more non-reference bases were observed.
// The site's Column is complete when it is thrown; the generator catches it
// per site and goes on.
class CExceptionTriallelic : public std::exception {
  public:
    explicit CExceptionTriallelic(bool minorIsZero) : m_MinorIsZero(minorIsZero) {}
    // True when the site's true minor-allele count was 0.
    bool m_MinorIsZero;
};

class CDataGenerator {
  public:
    // Generates numSites sites from the unfolded spectrum into root. With the
    // model "m.s." the site table comes from the coalescent script (the depth
    // distribution enters only through its mean); otherwise the number of
    // sites of each depth is rint(numSites x share), and each site's minor
    // count is drawn (stochastic) or the number of sites per minor count is
    // rint(probability x sites of that depth) (exact).
    void GenerateSites(unsigned int numSites, const CFreqSpectrum& spectrum, xmlpp::Element* root);

    gsl_rng* m_Rng = nullptr;          // not owned
    xmlpp::Element* m_Root = nullptr;  // not owned; set by GenerateSites
    int m_NumColumns = 0;              // Columns written so far = pos of the last one
    bool m_Biallelic = false;          // an erroneous read shows the other allele
    bool m_Exact = false;              // fixed numbers of sites per minor count

    // Distributions drawn from: by default the process-wide ones. They are
    // only read.
    const TProbDist* m_ScoreDist = &g_ScoreDist;
    const TProbDist* m_DepthDist = &g_DepthDist;
    // How error messages name the score distribution (the driver adds the
    // file it came from).
    std::string m_ScoreDistName = "score distribution";

  private:
    // One site of `depth` reads, the first numMinor of which truly carry the
    // minor allele. Throws CExceptionTriallelic after the Column is complete.
    void x_GenerateColumn(unsigned int numMinor, unsigned int depth);
    // x_GenerateColumn with the triallelic signal swallowed.
    void x_GenerateSite(unsigned int numMinor, unsigned int depth);
    // One score per read from the score distribution, as error
    // probabilities 10^(-score/10).
    void x_DrawErrProbs(unsigned int depth, std::vector<double>& errProbs);
    unsigned int x_DrawValue(const TProbDist& dist, const std::string& name) const;
    double x_MeanDepth() const;

    void x_DepthBranch(unsigned int numSites, const CFreqSpectrum& spectrum);
    void x_CoalescentBranch(unsigned int numSites, const CFreqSpectrum& spectrum);
};
