#include "scan/windows.hpp"

#include <algorithm>
#include <utility>

#include "base/qt_assert.hpp"

CWindowStream::CWindowStream(std::int64_t size, std::int64_t step, TEmit emit)
    : m_Size(size), m_Step(step), m_Emit(std::move(emit)) {
    QT_ASSERT(size >= 1 && step >= 1 && step <= size);
}

void CWindowStream::BeginContig(int contig, std::int64_t from, std::int64_t to) {
    QT_ASSERT(from >= 0);
    m_Contig = contig;
    m_From = from;
    m_To = to;
    m_LastPos = -1;
    m_Sites.clear();
    // The first window that overlaps [from, ...): the smallest k with
    // k step + size > from.
    const std::int64_t k = from >= m_Size ? (from - m_Size) / m_Step + 1 : 0;
    m_NextStart = k * m_Step;
}

void CWindowStream::AddSite(const SWindowSite& site) {
    QT_ASSERT(site.m_Pos >= m_LastPos && site.m_Pos >= m_From);
    QT_ASSERT(m_To < 0 || site.m_Pos < m_To);
    m_LastPos = site.m_Pos;
    x_CloseBefore(site.m_Pos);
    m_Sites.push_back(site);
}

void CWindowStream::EndContig(std::int64_t atLeast) {
    const std::int64_t end = m_To >= 0 ? m_To : std::max(m_LastPos + 1, atLeast);
    while (m_NextStart < end) {
        x_Emit(m_NextStart, m_NextStart + m_Size);
        m_NextStart += m_Step;
    }
    m_Sites.clear();
}

void CWindowStream::x_CloseBefore(std::int64_t pos) {
    while (m_NextStart + m_Size <= pos) {
        x_Emit(m_NextStart, m_NextStart + m_Size);
        m_NextStart += m_Step;
    }
}

void CWindowStream::x_Emit(std::int64_t start, std::int64_t end) {
    // Later windows start later: the sites before this one are done with.
    while (!m_Sites.empty() && m_Sites.front().m_Pos < start) {
        m_Sites.pop_front();
    }
    m_Scratch.clear();
    for (const SWindowSite& s : m_Sites) {
        if (s.m_Pos >= end) {
            break;
        }
        m_Scratch.push_back(s);
    }
    SWindowSpan span;
    span.m_Contig = m_Contig;
    span.m_Start = std::max(start, m_From);
    span.m_End = m_To >= 0 ? std::min(end, m_To) : end;
    span.m_First = m_Scratch.data();
    span.m_Count = m_Scratch.size();
    m_Emit(span);
}
