#include "pool/pool_windows.hpp"

#include <ostream>

#include "windows/window_file.hpp"

namespace {

// A site as a series' window stream carries it.
struct SSeriesSite {
    std::int64_t m_Pos = 0;
    bool m_Counts = false;
    std::array<double, kWindowValues> m_V{};
};

}  // namespace

// One series: its window stream, and the windows closed but not yet
// written (the other series may lag behind).
struct CSeriesWindows::SSeries {
    const std::vector<SContigRange>& m_Ranges;
    const std::vector<std::int64_t>& m_LastPos;
    std::deque<SWindowSums> m_Ready;
    CWindowStream<SSeriesSite> m_Stream;
    int m_Current = -1;

    SSeries(const CWindowPolicy& policy, const std::vector<SContigRange>& ranges,
            const std::vector<std::int64_t>& lastPos)
        : m_Ranges(ranges),
          m_LastPos(lastPos),
          m_Stream(policy, [this](const SWindowSpan<SSeriesSite>& w) {
              SWindowSums s;
              s.m_Contig = w.m_Contig;
              s.m_Start = w.m_Start;
              s.m_End = w.m_End;
              for (std::size_t i = 0; i < w.m_Count; ++i) {
                  const SSeriesSite& site = w.m_First[i];
                  if (!site.m_Counts) {
                      continue;
                  }
                  ++s.m_Sites;
                  for (std::size_t k = 0; k < kWindowValues; ++k) {
                      s.m_Sums[k] += site.m_V[k];
                  }
              }
              m_Ready.push_back(s);
          }) {}

    // Windows up to contig (exclusive) closed; then sites of contig follow.
    void Enter(int contig) {
        if (contig == m_Current) {
            return;
        }
        Close();
        for (int c = m_Current + 1; c < contig; ++c) {
            Empty(c);
        }
        m_Current = contig;
        const SContigRange& r = m_Ranges[static_cast<std::size_t>(contig)];
        m_Stream.BeginContig(contig, r.m_Beg, r.m_End);
    }
    // Closes the current contig and gives every later contig with a known
    // range its windows.
    void Finish() {
        Close();
        for (int c = m_Current + 1; c < static_cast<int>(m_Ranges.size()); ++c) {
            Empty(c);
        }
        m_Current = static_cast<int>(m_Ranges.size());
    }
    void Close() {
        if (m_Current >= 0 && m_Current < static_cast<int>(m_Ranges.size())) {
            const std::size_t c = static_cast<std::size_t>(m_Current);
            m_Stream.EndContig(c < m_LastPos.size() ? m_LastPos[c] + 1 : 0);
        }
    }
    void Empty(int c) {
        const SContigRange& r = m_Ranges[static_cast<std::size_t>(c)];
        if (!r.m_Windows || r.m_End <= r.m_Beg) {
            return;
        }
        m_Stream.BeginContig(c, r.m_Beg, r.m_End);
        m_Stream.EndContig();
    }
};

CSeriesWindows::CSeriesWindows(const CWindowPolicy& policy, std::size_t series,
                               std::uint64_t minSites, const std::vector<SContigRange>& ranges,
                               const std::vector<std::int64_t>& lastPos,
                               const std::vector<std::string>& contigNames, TRow row,
                               std::ostream& out)
    : m_MinSites(minSites), m_ContigNames(contigNames), m_Row(std::move(row)), m_Out(out) {
    for (std::size_t s = 0; s < series; ++s) {
        m_Series.push_back(std::make_unique<SSeries>(policy, ranges, lastPos));
    }
}

CSeriesWindows::~CSeriesWindows() = default;

void CSeriesWindows::Add(std::size_t s, int contig, std::int64_t pos, const double* values) {
    SSeries& series = *m_Series[s];
    series.Enter(contig);
    SSeriesSite site;
    site.m_Pos = pos;
    site.m_Counts = values != nullptr;
    if (values) {
        for (std::size_t k = 0; k < kWindowValues; ++k) {
            site.m_V[k] = values[k];
        }
    }
    series.m_Stream.AddSite(site);
}

void CSeriesWindows::Flush() {
    for (;;) {
        for (const auto& s : m_Series) {
            if (s->m_Ready.empty()) {
                return;
            }
        }
        for (std::size_t s = 0; s < m_Series.size(); ++s) {
            const SWindowSums w = m_Series[s]->m_Ready.front();
            m_Series[s]->m_Ready.pop_front();
            m_Out << m_Row(m_ContigNames[static_cast<std::size_t>(w.m_Contig)], s, w,
                           WindowEstimated(w.m_Sites, m_MinSites));
        }
        ++m_Count;
    }
}

void CSeriesWindows::Finish() {
    for (auto& s : m_Series) {
        s->Finish();
    }
    Flush();
}
