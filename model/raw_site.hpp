#pragma once
// A site as qualscan's inputs deliver it, before its observation table is
// computed: where it is and the quality scores of its reads by class.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct SRawSite {
    // Index of the contig in the run's list of contigs.
    int m_Contig = 0;
    // 0-based position on the contig.
    std::int64_t m_Pos = 0;
    // Scores of the reads of each class: 0 the reference (the document's
    // class 0, or the reference base of the alignments), 1 the minor allele,
    // 2 and 3 the other two bases.
    std::array<std::vector<std::uint8_t>, 4> m_Scores;
    // A stored observation table (depth + 1 entries) to use instead of
    // computing one; empty when there is none. An input fills it only when
    // the table was written in the folding mode of the run.
    std::vector<double> m_StoredTable;

    unsigned Depth() const {
        return static_cast<unsigned>(m_Scores[0].size() + m_Scores[1].size() + m_Scores[2].size() +
                                     m_Scores[3].size());
    }
};

// A read at a site: its base (0..3 for A, C, G, T) and its quality score.
struct SBaseRead {
    unsigned char m_Base;
    unsigned char m_Score;
};

// Fills site from the reads of one position: the reference base (0..3, or
// -1 when unknown: the most common base takes its place) is class 0, the
// other bases follow by their number of reads (qualpileup's classes), and
// each class keeps its reads' scores in input order.
void FillRawSite(int contig, std::int64_t pos, int refBase, const SBaseRead* reads,
                 std::size_t count, SRawSite& site);

// The same with the classes of the four bases given (classes[b] for base b),
// for reads of one sample whose classes were decided over several samples.
void FillRawSiteClasses(int contig, std::int64_t pos, const std::array<int, 4>& classes,
                        const SBaseRead* reads, std::size_t count, SRawSite& site);
