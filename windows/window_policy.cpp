#include "windows/window_policy.hpp"

#include <utility>

#include "base/qt_assert.hpp"

CWindowPolicy::CWindowPolicy(std::int64_t size, std::int64_t step) : m_Size(size), m_Step(step) {
    QT_ASSERT(size >= 1 && step >= 1 && step <= size);
}

CWindowPolicy CWindowPolicy::WholeContigs() {
    CWindowPolicy p(1, 1);
    p.m_Kind = EKind::eWholeContigs;
    return p;
}

CWindowPolicy CWindowPolicy::Ranges(TRanges ranges) {
    QT_ASSERT(ranges);
    CWindowPolicy p(1, 1);
    p.m_Kind = EKind::eRanges;
    p.m_Ranges = std::move(ranges);
    return p;
}

std::int64_t CWindowPolicy::FirstStart(std::int64_t from) const {
    QT_ASSERT(from >= 0);
    // k = floor((from - size) / step) + 1 when from >= size; k step <= from,
    // so the product cannot overflow.
    const std::int64_t k = from >= m_Size ? (from - m_Size) / m_Step + 1 : 0;
    return k * m_Step;
}
