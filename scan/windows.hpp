#pragma once
// Streams sites in genome order into windows of SIZE bases that start every
// STEP bases (0, STEP, 2 STEP, ... on each contig), keeping only the sites of
// the windows still open, so memory is bounded by one window whatever the
// genome's length.

#include <cstdint>
#include <deque>
#include <functional>

// What a window fit needs of a site: its likelihood under the neutral model,
// e^logScale (a + theta b), and its number of reads.
struct SWindowSite {
    std::int64_t m_Pos = 0;  // 0-based
    double m_A = 0.0, m_B = 0.0, m_LogScale = 0.0;
    std::uint32_t m_Reads = 0;
};

// A closed window: contig index, 0-based half-open range, and its sites
// (first..first+count, in position order; count may be 0).
struct SWindowSpan {
    int m_Contig = 0;
    std::int64_t m_Start = 0, m_End = 0;
    const SWindowSite* m_First = nullptr;
    std::size_t m_Count = 0;
};

class CWindowStream {
  public:
    using TEmit = std::function<void(const SWindowSpan&)>;

    // size >= 1, 1 <= step <= size. emit receives every window in order;
    // the sites it points to are valid during the call only.
    CWindowStream(std::int64_t size, std::int64_t step, TEmit emit);

    // Starts a contig whose windows cover [from, to): the windows are those
    // starting at multiples of the step that overlap the range, clipped to
    // it. to < 0: the contig's end is unknown, and EndContig closes the
    // windows up to the last site.
    void BeginContig(int contig, std::int64_t from, std::int64_t to);
    // A site of the current contig; positions must not decrease.
    void AddSite(const SWindowSite& site);
    // Emits every window of the contig not yet emitted. With the contig's
    // end unknown, the windows reach the last site and at least up to
    // atLeast (exclusive).
    void EndContig(std::int64_t atLeast = 0);

  private:
    // Emits the windows that end at or before pos (all of them for pos < 0
    // within the known range).
    void x_CloseBefore(std::int64_t pos);
    void x_Emit(std::int64_t start, std::int64_t end);

    std::int64_t m_Size, m_Step;
    TEmit m_Emit;
    int m_Contig = -1;
    std::int64_t m_From = 0, m_To = -1;
    std::int64_t m_NextStart = 0;  // start of the next window to emit
    std::int64_t m_LastPos = -1;
    std::deque<SWindowSite> m_Sites;
    std::vector<SWindowSite> m_Scratch;
};
