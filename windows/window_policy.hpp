#pragma once
// Where windows lie on a contig. Three kinds, one stream (windows.hpp) for
// all, so that every program cuts a genome the same way:
//   - fixed: SIZE bases starting every STEP bases (0, STEP, 2 STEP, ...),
//     fixed windows being the case STEP = SIZE;
//   - whole contigs: one window per contig;
//   - ranges: the ranges a caller gives for each contig (one per line of a
//     BED file of genes, say), which may overlap or nest.
// The arithmetic of fixed windows lives here, apart from the stream that
// fills windows with sites.
//
// Positions run up to 2^63 - 1 and SIZE and STEP may be as large: no sum
// here is formed where it could overflow. A window whose end would lie past
// 2^63 - 1 ends there, which loses nothing, as no position lies beyond.

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

// A window's place on its contig: 0-based, half-open.
struct SWindowRange {
    std::int64_t m_Start = 0, m_End = 0;
};

class CWindowPolicy {
  public:
    static constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();

    enum class EKind { eFixed, eWholeContigs, eRanges };
    // The ranges of a contig (by the stream's contig index), in order of
    // their starts, each non-empty; null or empty for none. The vector must
    // stay valid while its contig is streamed.
    using TRanges = std::function<const std::vector<SWindowRange>*(int contig)>;

    // Fixed windows: size >= 1, 1 <= step <= size.
    CWindowPolicy(std::int64_t size, std::int64_t step);
    // One window per contig, over the whole of it.
    static CWindowPolicy WholeContigs();
    // One window per range that ranges gives.
    static CWindowPolicy Ranges(TRanges ranges);

    EKind Kind() const { return m_Kind; }
    // The ranges of contig (eRanges only); null for none.
    const std::vector<SWindowRange>* RangesOf(int contig) const { return m_Ranges(contig); }

    // Fixed windows only, from here on.
    std::int64_t Size() const { return m_Size; }
    std::int64_t Step() const { return m_Step; }

    // Start of the first window that overlaps [from, ...): the smallest
    // k step with k step + size > from.
    std::int64_t FirstStart(std::int64_t from) const;
    // The end (exclusive) of the window starting at start.
    std::int64_t End(std::int64_t start) const {
        return start > kLast - m_Size ? kLast : start + m_Size;
    }
    // Whether the window starting at start ends at or before pos.
    bool EndsBy(std::int64_t start, std::int64_t pos) const {
        return pos >= start && pos - start >= m_Size;
    }
    // Moves start to the next window's start; false when that would lie past
    // 2^63 - 1, where no window can hold a position.
    bool Advance(std::int64_t& start) const {
        if (start > kLast - m_Step) {
            return false;
        }
        start += m_Step;
        return true;
    }

  private:
    EKind m_Kind = EKind::eFixed;
    std::int64_t m_Size = 1, m_Step = 1;
    TRanges m_Ranges;
};
