#pragma once
// Draws the sites of a synthetic data set: depths, true minor-allele counts,
// quality scores and sequencing errors, and writes one Column per site
// through the document writer.

#include <gsl/gsl_rng.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "common/doc_writer.hpp"
#include "common/memory_bound.hpp"
#include "common/probdist.hpp"

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

// Bytes of memory this process can count on: physical memory and swap, or
// less when a resource limit of the process (address space, data) says so.
inline std::uint64_t AvailableMemory() {
    return MemoryBound(true).m_Bytes;
}

class CDataGenerator {
  public:
    // Generates numSites sites from the unfolded spectrum through writer,
    // between its Begin and End. With the model "m.s." the site table comes
    // from the coalescent script (the depth distribution enters only through
    // its mean); otherwise the number of sites of each depth is
    // rint(numSites x share), and each site's minor count is drawn
    // (stochastic) or the number of sites per minor count is
    // rint(probability x sites of that depth) (exact).
    //
    // The numbers of sites are settled before the first is drawn. When they
    // come to more than twice numSites, a warning says so and why; when the
    // document and the work of its deepest sites would not fit into
    // m_MemoryBudget, nothing is drawn and a std::runtime_error says how
    // much memory they would take.
    void GenerateSites(unsigned int numSites, const CFreqSpectrum& spectrum,
                       CQualDocWriter& writer);

    gsl_rng* m_Rng = nullptr;            // not owned
    CQualDocWriter* m_Writer = nullptr;  // not owned; set by GenerateSites
    int m_NumColumns = 0;                // Columns written so far = pos of the last one
    bool m_Biallelic = false;            // an erroneous read shows the other allele
    bool m_Exact = false;                // fixed numbers of sites per minor count

    // Distributions drawn from: by default the process-wide ones. They are
    // only read.
    const TProbDist* m_ScoreDist = &g_ScoreDist;
    const TProbDist* m_DepthDist = &g_DepthDist;
    // How error messages name the score distribution (the driver adds the
    // file it came from).
    std::string m_ScoreDistName = "score distribution";
    // Bytes the run may take.
    std::uint64_t m_MemoryBudget = AvailableMemory();

  private:
    // `count` sites of `depth` reads, the first numMinor of which truly carry
    // the minor allele; a negative numMinor: drawn per site from the
    // spectrum.
    struct SBatch {
        unsigned int depth;
        int numMinor;
        unsigned int count;
    };
    // The batches in the order their sites are written, with what the
    // memory check and the warning need to know about them.
    struct SPlan {
        std::vector<SBatch> batches;
        double sites = 0;
        double reads = 0;
        unsigned int maxDepth = 0;
        // Whether the spectrum is evaluated at every depth (not for the
        // coalescent table).
        bool spectrumRows = true;
        // Why there may be more sites than asked for: the sites the depth
        // distribution or table asks for and the sum of its shares, and the
        // largest sum of the spectrum's probabilities at one depth (exact
        // mode) with its depth.
        double shareSites = 0;
        double shareSum = 0;
        double probSum = 0;
        unsigned int probDepth = 0;
        void Add(unsigned int depth, int numMinor, unsigned int count);
    };

    void x_PlanDepthBranch(unsigned int numSites, const CFreqSpectrum& spectrum, SPlan& plan);
    void x_PlanCoalescentBranch(unsigned int numSites, const CFreqSpectrum& spectrum, SPlan& plan);
    // Throws when the document of plan and the work of one site of `depth`
    // reads would not fit into m_MemoryBudget; `what` names what would be
    // generated.
    void x_CheckMemory(const SPlan& plan, unsigned int depth, const std::string& what) const;
    void x_WarnAboutSiteCount(const SPlan& plan, unsigned int numSites,
                              const CFreqSpectrum& spectrum) const;
    void x_Generate(const SPlan& plan, const CFreqSpectrum& spectrum);

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
};
