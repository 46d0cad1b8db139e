#include "io/site_filter.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "base/input_error.hpp"
#include "base/qt_assert.hpp"

void CCoverageRuns::Add(int contig, std::int64_t pos) {
    if (!m_Runs.empty() && m_Runs.back().m_Contig == contig && m_Runs.back().m_End == pos) {
        ++m_Runs.back().m_End;
    } else {
        QT_ASSERT(m_Runs.empty() || m_Runs.back().m_Contig < contig ||
                  (m_Runs.back().m_Contig == contig && m_Runs.back().m_End < pos));
        m_Runs.push_back(SRun{contig, pos, pos + 1, m_Total});
    }
    ++m_Total;
    if (m_End.size() <= static_cast<std::size_t>(contig)) {
        m_End.resize(static_cast<std::size_t>(contig) + 1, 0);
    }
    m_End[static_cast<std::size_t>(contig)] = pos + 1;
}

std::uint64_t CCoverageRuns::x_Before(int contig, std::int64_t pos) const {
    // The first run that does not end at or before (contig, pos).
    const auto it = std::partition_point(m_Runs.begin(), m_Runs.end(), [&](const SRun& r) {
        return r.m_Contig < contig || (r.m_Contig == contig && r.m_End <= pos);
    });
    if (it == m_Runs.end()) {
        return m_Total;
    }
    if (it->m_Contig == contig && it->m_Beg < pos) {
        return it->m_Before + static_cast<std::uint64_t>(pos - it->m_Beg);
    }
    return it->m_Before;
}

std::int64_t CCoverageRuns::NextCovered(int contig, std::int64_t pos) const {
    const auto it = std::partition_point(m_Runs.begin(), m_Runs.end(), [&](const SRun& r) {
        return r.m_Contig < contig || (r.m_Contig == contig && r.m_End <= pos);
    });
    if (it == m_Runs.end() || it->m_Contig != contig) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return std::max(it->m_Beg, pos);
}

std::uint64_t CCoverageRuns::CountAndDrop(int contig, std::int64_t beg, std::int64_t end) {
    while (!m_Runs.empty() &&
           (m_Runs.front().m_Contig < contig ||
            (m_Runs.front().m_Contig == contig && m_Runs.front().m_End <= beg))) {
        m_Runs.pop_front();
    }
    return end <= beg ? 0 : x_Before(contig, end) - x_Before(contig, beg);
}

CSiteFilter::CSiteFilter(CSiteSource& source, const SSiteFilterOptions& opts,
                         std::function<std::string(int)> contigName, CCoverageRuns* covered,
                         const std::string& inputPath)
    : m_Source(source),
      m_Opts(opts),
      m_ContigName(std::move(contigName)),
      m_Covered(covered),
      m_InputPath(inputPath) {}

bool CSiteFilter::Next(SRawSite& site) {
    while (m_Source.Next(site)) {
        if (site.m_Contig < m_Contig || (site.m_Contig == m_Contig && site.m_Pos <= m_LastPos)) {
            throw OutOfOrder({m_InputPath, 0, 0, m_ContigName(site.m_Contig), site.m_Pos + 1},
                             m_ContigName(m_Contig), m_LastPos + 1,
                             "the sites must be in genome order, each position once");
        }
        m_LastPos = site.m_Pos;
        if (site.m_Contig != m_Contig) {
            m_Contig = site.m_Contig;
            if (m_Opts.m_Regions || m_Opts.m_Mask) {
                const std::string name = m_ContigName(m_Contig);
                m_InRegions.Reset(m_Opts.m_Regions ? m_Opts.m_Regions->Intervals(name) : nullptr);
                m_InMask.Reset(m_Opts.m_Mask ? m_Opts.m_Mask->Intervals(name) : nullptr);
            }
        }
        const unsigned depth = site.Depth();
        if (depth == 0 || (m_Opts.m_Regions && !m_InRegions.Contains(site.m_Pos)) ||
            (m_Opts.m_Mask && m_InMask.Contains(site.m_Pos))) {
            continue;
        }
        if (m_Covered) {
            m_Covered->Add(site.m_Contig, site.m_Pos);
        }
        if (depth < m_Opts.m_MinDepth || (m_Opts.m_MaxDepth != 0 && depth > m_Opts.m_MaxDepth)) {
            continue;
        }
        return true;
    }
    return false;
}
