#pragma once
// From a site's reads to its observation table (model/obstable.hpp, in
// exact mode), one site at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "model/obstable.hpp"
#include "model/raw_site.hpp"

// A site with its table: entry t is the probability of the reads seen given
// that t of them truly carry the minor allele, m_Table[t] * e^m_LogScale.
struct STabulatedSite {
    int m_Contig = 0;
    std::int64_t m_Pos = 0;  // 0-based
    unsigned m_Depth = 0;
    // Reads that count as the minor allele: every read not of the reference
    // class.
    unsigned m_MinorReads = 0;
    std::vector<double> m_Table;  // m_Depth + 1 entries
    // Entries from m_Kept on are 0: left out by a bounded table (or 0).
    std::size_t m_Kept = 0;
    double m_LogScale = 0.0;
    // The table came from the input (a stored table), not from the scores.
    bool m_Stored = false;
};

// Tabulates sites one by one, with its own buffers (one per thread).
class CSiteTabulator {
  public:
    // folded: the class with most reads is the reference (ties keep the
    // lower class), as in qualfit; unfolded: class 0 is the reference. The
    // other classes count as the minor allele. Every entry of every table
    // is computed, from the reads in qualfit's order (its regrouping), so
    // both programs sum the same terms in the same order.
    explicit CSiteTabulator(bool folded) : m_Folded(folded) {}
    // Tables for the spectra of one class only (ComputeBoundedObsTable):
    // entries that cannot matter to them are left 0, and each table is
    // computed from the scores sorted within each class, so it depends only
    // on what Key() describes.
    CSiteTabulator(bool folded, const SSpectrumClass& spectra)
        : m_Folded(folded), m_Bounded(true), m_Spectra(spectra) {}

    // Fills out from site. A stored table is used as it is (scale 0);
    // otherwise the table is computed.
    void Tabulate(const SRawSite& site, STabulatedSite& out);

    // For a tabulator of one spectrum class and a site without a stored
    // table: the site's content, its sorted minor and reference scores as
    // runs of equal scores, which decides its table bit for bit; two sites
    // of equal keys get equal tables (and equal depth and minor reads).
    // Null otherwise. TabulateKeyed(site, out) then tabulates the same site
    // without splitting its reads again.
    const std::vector<std::uint64_t>* Key(const SRawSite& site);
    void TabulateKeyed(const SRawSite& site, STabulatedSite& out);

  private:
    // Points m_MinorScores / m_MajorScores at the site's two classes, or,
    // for one spectrum class, fills m_MinorRuns / m_MajorRuns.
    void x_Split(const SRawSite& site);
    // The runs of the sorted scores of classes.
    void x_Runs(std::initializer_list<const std::vector<std::uint8_t>*> classes,
                std::vector<SScoreRun>& runs);
    void x_Compute(const SRawSite& site, STabulatedSite& out);

    bool m_Folded;
    bool m_Bounded = false;
    SSpectrumClass m_Spectra;
    CObsTableWorkspace m_Workspace;
    std::vector<std::uint8_t> m_Minor;
    const std::uint8_t* m_MinorScores = nullptr;
    const std::uint8_t* m_MajorScores = nullptr;
    std::size_t m_MinorCount = 0, m_MajorCount = 0;
    std::vector<std::uint64_t> m_Key;
    std::vector<SScoreRun> m_MinorRuns, m_MajorRuns;
    std::array<std::uint32_t, 256> m_Counts{};
};
