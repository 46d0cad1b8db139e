#pragma once
// Where windows lie on a contig: SIZE bases starting every STEP bases (0,
// STEP, 2 STEP, ...), fixed windows being the case STEP = SIZE. The
// arithmetic lives here, apart from the streams that fill windows with sites,
// so that every program cuts a genome the same way.

#include <cstdint>

class CWindowPolicy {
  public:
    // size >= 1, 1 <= step <= size.
    CWindowPolicy(std::int64_t size, std::int64_t step);

    std::int64_t Size() const { return m_Size; }
    std::int64_t Step() const { return m_Step; }

    // Start of the first window that overlaps [from, ...): the smallest
    // k step with k step + size > from.
    std::int64_t FirstStart(std::int64_t from) const;

  private:
    std::int64_t m_Size, m_Step;
};
