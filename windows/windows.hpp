#pragma once
// Streams sites in genome order into the windows of a policy
// (window_policy.hpp), keeping only the sites of the windows still open, so
// memory is bounded by one window whatever the genome's length. The site
// type is the caller's: anything with a 0-based position m_Pos.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include "base/qt_assert.hpp"
#include "windows/window_policy.hpp"

// A closed window: contig index, 0-based half-open range, and its sites
// (first..first+count, in position order; count may be 0).
template <typename TSite>
struct SWindowSpan {
    int m_Contig = 0;
    std::int64_t m_Start = 0, m_End = 0;
    const TSite* m_First = nullptr;
    std::size_t m_Count = 0;
};

template <typename TSite>
class CWindowStream {
  public:
    using TSpan = SWindowSpan<TSite>;
    using TEmit = std::function<void(const TSpan&)>;

    // size >= 1, 1 <= step <= size. emit receives every window in order;
    // the sites it points to are valid during the call only.
    CWindowStream(std::int64_t size, std::int64_t step, TEmit emit)
        : m_Policy(size, step), m_Emit(std::move(emit)) {}

    // Starts a contig whose windows cover [from, to): the windows are those
    // starting at multiples of the step that overlap the range, clipped to
    // it. to < 0: the contig's end is unknown, and EndContig closes the
    // windows up to the last site.
    void BeginContig(int contig, std::int64_t from, std::int64_t to) {
        m_Contig = contig;
        m_From = from;
        m_To = to;
        m_LastPos = -1;
        m_Sites.clear();
        m_NextStart = m_Policy.FirstStart(from);
    }
    // A site of the current contig; positions must not decrease.
    void AddSite(const TSite& site) {
        QT_ASSERT(site.m_Pos >= m_LastPos && site.m_Pos >= m_From);
        QT_ASSERT(m_To < 0 || site.m_Pos < m_To);
        m_LastPos = site.m_Pos;
        x_CloseBefore(site.m_Pos);
        m_Sites.push_back(site);
    }
    // Emits every window of the contig not yet emitted. With the contig's
    // end unknown, the windows reach the last site and at least up to
    // atLeast (exclusive).
    void EndContig(std::int64_t atLeast = 0) {
        const std::int64_t end = m_To >= 0 ? m_To : std::max(m_LastPos + 1, atLeast);
        while (m_NextStart < end) {
            x_Emit(m_NextStart, m_NextStart + m_Policy.Size());
            m_NextStart += m_Policy.Step();
        }
        m_Sites.clear();
    }

  private:
    // Emits the windows that end at or before pos.
    void x_CloseBefore(std::int64_t pos) {
        while (m_NextStart + m_Policy.Size() <= pos) {
            x_Emit(m_NextStart, m_NextStart + m_Policy.Size());
            m_NextStart += m_Policy.Step();
        }
    }
    void x_Emit(std::int64_t start, std::int64_t end) {
        // Later windows start later: the sites before this one are done with.
        while (!m_Sites.empty() && m_Sites.front().m_Pos < start) {
            m_Sites.pop_front();
        }
        m_Scratch.clear();
        for (const TSite& s : m_Sites) {
            if (s.m_Pos >= end) {
                break;
            }
            m_Scratch.push_back(s);
        }
        TSpan span;
        span.m_Contig = m_Contig;
        span.m_Start = std::max(start, m_From);
        span.m_End = m_To >= 0 ? std::min(end, m_To) : end;
        span.m_First = m_Scratch.data();
        span.m_Count = m_Scratch.size();
        m_Emit(span);
    }

    CWindowPolicy m_Policy;
    TEmit m_Emit;
    int m_Contig = -1;
    std::int64_t m_From = 0, m_To = -1;
    std::int64_t m_NextStart = 0;  // start of the next window to emit
    std::int64_t m_LastPos = -1;
    std::deque<TSite> m_Sites;
    std::vector<TSite> m_Scratch;
};
