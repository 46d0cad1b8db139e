#pragma once
// Streams sites in genome order into the windows of a policy
// (window_policy.hpp: fixed windows, whole contigs or given ranges),
// keeping only the sites of the windows still open, so memory is bounded by
// one window whatever the genome's length. The site type is the caller's:
// anything with a 0-based position m_Pos.
//
// Windows come out in order of their starts on each contig (ranges that
// share a start in the order given), each with the sites inside it, clipped
// to the contig's range. A contig of known length gets every window that
// overlaps its range. A contig of unknown length gets every range given
// for it, its whole-contig window when it holds a site or an occupied
// position (reaching the last of them), and only those fixed windows that
// hold a site or an occupied position (one the caller names, such as a
// covered position without a site): nothing says how far such a contig
// reaches or whether it was sequenced between its sites, so the windows
// written are those its input justifies, at most SIZE/STEP per occupied
// position, and one line of input far along a contig cannot make the
// stream walk every window before it.

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
    // The first occupied position at or after from on contig, or
    // CWindowPolicy::kLast for none yet known.
    using TOccupied = std::function<std::int64_t(int contig, std::int64_t from)>;

    // emit receives every window in order; the sites it points to are
    // valid during the call only. occupied, when given, names the positions
    // besides the sites whose windows a contig of unknown length must still
    // get.
    CWindowStream(CWindowPolicy policy, TEmit emit, TOccupied occupied = nullptr)
        : m_Policy(std::move(policy)), m_Emit(std::move(emit)), m_Occupied(std::move(occupied)) {}
    // Fixed windows: size >= 1, 1 <= step <= size.
    CWindowStream(std::int64_t size, std::int64_t step, TEmit emit, TOccupied occupied = nullptr)
        : CWindowStream(CWindowPolicy(size, step), std::move(emit), std::move(occupied)) {}

    // Starts a contig whose windows cover [from, to): the windows of the
    // policy that overlap the range, clipped to it. to < 0: the contig's
    // end is unknown (see the top of this file).
    void BeginContig(int contig, std::int64_t from, std::int64_t to) {
        QT_ASSERT(from >= 0);
        m_Contig = contig;
        m_From = from;
        m_To = to;
        m_LastPos = -1;
        m_Sites.clear();
        m_NextStart =
            m_Policy.Kind() == CWindowPolicy::EKind::eFixed ? m_Policy.FirstStart(from) : from;
        m_Done = false;
        m_Ranges.clear();
        m_NextRange = 0;
        if (m_Policy.Kind() == CWindowPolicy::EKind::eRanges) {
            if (const std::vector<SWindowRange>* ranges = m_Policy.RangesOf(contig)) {
                const std::int64_t to = m_To >= 0 ? m_To : CWindowPolicy::kLast;
                for (const SWindowRange& r : *ranges) {
                    const SWindowRange clipped{std::max(r.m_Start, m_From), std::min(r.m_End, to)};
                    if (clipped.m_Start < clipped.m_End) {
                        // In order of their starts, as the policy has them.
                        QT_ASSERT(m_Ranges.empty() || clipped.m_Start >= m_Ranges.back().m_Start);
                        m_Ranges.push_back(clipped);
                    }
                }
            }
        }
    }
    const CWindowPolicy& Policy() const { return m_Policy; }

    // Whether a site at pos may come next: inside the contig's range, below
    // 2^63 - 1, and not before the last site. A caller whose sites come
    // from outside checks this before AddSite.
    bool Accepts(std::int64_t pos) const {
        return pos >= m_LastPos && pos >= m_From && pos < (m_To >= 0 ? m_To : CWindowPolicy::kLast);
    }
    // A site of the current contig; Accepts(site.m_Pos) must hold.
    void AddSite(const TSite& site) {
        QT_ASSERT(Accepts(site.m_Pos));
        m_LastPos = site.m_Pos;
        switch (m_Policy.Kind()) {
            case CWindowPolicy::EKind::eFixed:
                x_CloseBefore(site.m_Pos);
                break;
            case CWindowPolicy::EKind::eWholeContigs:
                break;
            case CWindowPolicy::EKind::eRanges:
                // The ranges that end by the site, in order; a site before
                // the next range's start lies in no range still to come.
                while (m_NextRange < m_Ranges.size() && m_Ranges[m_NextRange].m_End <= site.m_Pos) {
                    x_Emit(m_Ranges[m_NextRange].m_Start, m_Ranges[m_NextRange].m_End);
                    ++m_NextRange;
                }
                if (m_NextRange == m_Ranges.size() || site.m_Pos < m_Ranges[m_NextRange].m_Start) {
                    return;
                }
                break;
        }
        m_Sites.push_back(site);
    }
    // Emits every window of the contig not yet emitted. With the contig's
    // end unknown, the windows reach the last site and the occupied
    // positions below atLeast.
    void EndContig(std::int64_t atLeast = 0) {
        if (m_Policy.Kind() == CWindowPolicy::EKind::eRanges) {
            for (; m_NextRange < m_Ranges.size(); ++m_NextRange) {
                x_Emit(m_Ranges[m_NextRange].m_Start, m_Ranges[m_NextRange].m_End);
            }
        } else if (m_Policy.Kind() == CWindowPolicy::EKind::eWholeContigs) {
            const std::int64_t end = m_To >= 0 ? m_To : std::max(m_LastPos + 1, atLeast);
            if (end > m_From) {
                x_Emit(m_From, end);
            }
        } else if (m_To >= 0) {
            while (!m_Done && m_NextStart < m_To) {
                x_EmitNext();
            }
        } else {
            const std::int64_t end = std::max(m_LastPos + 1, atLeast);
            while (!m_Done && m_NextStart < end) {
                const std::int64_t next = x_NextOccupied(m_NextStart, end);
                if (next >= end) {
                    break;
                }
                if (!x_SkipTo(next)) {
                    x_EmitNext();
                }
            }
        }
        m_Sites.clear();
    }

  private:
    // Emits the windows that end at or before pos.
    void x_CloseBefore(std::int64_t pos) {
        while (!m_Done && m_Policy.EndsBy(m_NextStart, pos)) {
            if (m_To < 0 && x_SkipTo(x_NextOccupied(m_NextStart, pos))) {
                continue;
            }
            x_EmitNext();
        }
    }
    // Without a known end: when next, the first occupied position from the
    // next window's start on, lies past that window, jumps to the first
    // window that holds next (every window between holds nothing).
    bool x_SkipTo(std::int64_t next) {
        if (next < m_Policy.End(m_NextStart)) {
            return false;
        }
        m_NextStart = m_Policy.FirstStart(next);
        return true;
    }
    // The first site or occupied position at or after from; limit when
    // there is none before it.
    std::int64_t x_NextOccupied(std::int64_t from, std::int64_t limit) {
        x_DropBefore(from);
        std::int64_t next = m_Sites.empty() ? limit : std::min(m_Sites.front().m_Pos, limit);
        if (m_Occupied && next > from) {
            next = std::min(next, m_Occupied(m_Contig, from));
        }
        return next;
    }
    // Later windows start later: the sites before from are done with.
    void x_DropBefore(std::int64_t from) {
        while (!m_Sites.empty() && m_Sites.front().m_Pos < from) {
            m_Sites.pop_front();
        }
    }
    // The next fixed window.
    void x_EmitNext() {
        const std::int64_t start = m_NextStart;
        const std::int64_t end = m_Policy.End(start);
        m_Done = !m_Policy.Advance(m_NextStart);
        x_Emit(start, end);
    }
    // The window [start, end), clipped to the contig's range, with its
    // sites. No later window starts before start.
    void x_Emit(std::int64_t start, std::int64_t end) {
        x_DropBefore(start);
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
    TOccupied m_Occupied;
    int m_Contig = -1;
    std::int64_t m_From = 0, m_To = -1;
    std::int64_t m_NextStart = 0;  // start of the next window to emit
    bool m_Done = false;           // no window starts after the last one emitted
    std::int64_t m_LastPos = -1;
    std::deque<TSite> m_Sites;
    std::vector<TSite> m_Scratch;
    // Ranges: the current contig's, clipped, and the next to emit.
    std::vector<SWindowRange> m_Ranges;
    std::size_t m_NextRange = 0;
};
