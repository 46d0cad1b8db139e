#pragma once
// Where windows lie on a contig: SIZE bases starting every STEP bases (0,
// STEP, 2 STEP, ...), fixed windows being the case STEP = SIZE. The
// arithmetic lives here, apart from the streams that fill windows with sites,
// so that every program cuts a genome the same way.
//
// Positions run up to 2^63 - 1 and SIZE and STEP may be as large: no sum
// here is formed where it could overflow. A window whose end would lie past
// 2^63 - 1 ends there, which loses nothing, as no position lies beyond.

#include <cstdint>
#include <limits>

class CWindowPolicy {
  public:
    static constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();

    // size >= 1, 1 <= step <= size.
    CWindowPolicy(std::int64_t size, std::int64_t step);

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
    std::int64_t m_Size, m_Step;
};
