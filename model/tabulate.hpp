#pragma once
// From a site's reads to its observation table (model/obstable.hpp, in
// exact mode), one site at a time.

#include <cstddef>
#include <cstdint>
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
    double m_LogScale = 0.0;
    // The table came from the input (a stored table), not from the scores.
    bool m_Stored = false;
};

// Tabulates sites one by one, with its own buffers (one per thread).
class CSiteTabulator {
  public:
    // folded: the class with most reads is the reference (ties keep the
    // lower class), as in qualfit; unfolded: class 0 is the reference. The
    // other classes count as the minor allele.
    explicit CSiteTabulator(bool folded) : m_Folded(folded) {}

    // Fills out from site. A stored table is used as it is (scale 0);
    // otherwise the table is computed exactly. The minor reads are taken in
    // qualfit's order (its regrouping), so both programs sum the same terms
    // in the same order.
    void Tabulate(const SRawSite& site, STabulatedSite& out);

  private:
    bool m_Folded;
    CObsTableWorkspace m_Workspace;
    std::vector<std::uint8_t> m_Minor;
};
