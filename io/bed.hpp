#pragma once
// Interval files in BED form (0-based, half-open: chrom, start, end; further
// columns ignored) for qualscan's --regions-file and --mask, and a cursor
// that answers "is this position in the intervals?" for positions that
// arrive in genome order, in constant time amortised per position.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "windows/window_policy.hpp"

struct SBedInterval {
    std::int64_t m_Beg = 0, m_End = 0;  // 0-based, half-open
};

class CBedFile {
  public:
    // What becomes of the lines: positions (regions, masks) merge;
    // windows keep every line as it is.
    enum class ELines { eMerge, eKeep };

    // Reads path, plain or compressed with gzip or bgzip. Blank lines and
    // lines starting with '#', "track" or "browser" are skipped; fields are
    // separated by tabs or spaces. With eMerge, overlapping and adjacent
    // intervals are merged; with eKeep every line stays an interval of its
    // own, in the file's order, and the lines of a contig must come in order
    // of their starts (eOrder otherwise, naming the line). Empty intervals
    // are dropped either way. Throws CInputError naming the file and the
    // line for a line that does not parse (eFormat), a negative,
    // non-numeric or too large coordinate or a start after the end
    // (eRange), and a compressed file that is cut (eTruncated, eDamaged).
    // path is the file as the user named it, unquoted: messages quote it
    // once.
    explicit CBedFile(const std::string& path, ELines lines = ELines::eMerge);

    const std::string& Path() const { return m_Path; }
    // Contigs in the order of their first line.
    const std::vector<std::string>& Contigs() const { return m_Order; }
    // The intervals of contig, sorted by start (merged with eMerge), or
    // null when the file names no interval on it.
    const std::vector<SBedInterval>* Intervals(const std::string& contig) const;

    // Throws CInputError (eUnknown) naming the file and the first of its
    // contigs that is not among known; what says where the known ones come
    // from. Time linear in the contigs of both.
    void CheckContigs(const std::vector<std::string>& known, const std::string& what) const;

  private:
    std::string m_Path;
    std::vector<std::string> m_Order;
    std::unordered_map<std::string, std::vector<SBedInterval>> m_Intervals;
};

// Walks the intervals of one contig at a time; positions must not decrease
// within a contig.
class CBedCursor {
  public:
    // Starts on a contig's intervals (null: none).
    void Reset(const std::vector<SBedInterval>* intervals) {
        m_Intervals = intervals;
        m_Next = 0;
    }
    bool Contains(std::int64_t pos) {
        if (!m_Intervals) {
            return false;
        }
        const std::size_t n = m_Intervals->size();
        while (m_Next < n && (*m_Intervals)[m_Next].m_End <= pos) {
            ++m_Next;
        }
        return m_Next < n && (*m_Intervals)[m_Next].m_Beg <= pos;
    }

  private:
    const std::vector<SBedInterval>* m_Intervals = nullptr;
    std::size_t m_Next = 0;
};

// Windows of the lines of a BED file read with ELines::eKeep (--windows-bed:
// one window per line, genes for example): the window policy whose ranges
// of a contig are the file's lines on it, found by the contig's name
// (contigName of the stream's contig index) when the stream first asks.
// bed must outlive the policy.
CWindowPolicy BedWindowPolicy(const CBedFile& bed, std::function<std::string(int)> contigName);
