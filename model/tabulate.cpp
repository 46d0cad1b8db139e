#include "model/tabulate.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "base/qt_assert.hpp"

void CSiteTabulator::Tabulate(const SRawSite& site, STabulatedSite& out) {
    out.m_Contig = site.m_Contig;
    out.m_Pos = site.m_Pos;
    out.m_Depth = site.Depth();
    if (!site.m_StoredTable.empty()) {
        QT_ASSERT(site.m_StoredTable.size() == out.m_Depth + std::size_t{1});
        out.m_MinorReads = out.m_Depth - static_cast<unsigned>(site.m_Scores[0].size());
        out.m_Table = site.m_StoredTable;
        out.m_LogScale = 0.0;
        out.m_Stored = true;
        return;
    }
    const std::array<std::size_t, 4> counts = {site.m_Scores[0].size(), site.m_Scores[1].size(),
                                               site.m_Scores[2].size(), site.m_Scores[3].size()};
    // qualfit swaps the reference class into place 0 and appends classes 2
    // and 3 to class 1: the minor reads are places 1, 2, 3 after the swap.
    std::array<int, 4> place = {0, 1, 2, 3};
    std::swap(place[0], place[static_cast<std::size_t>(ReferenceClass(counts, m_Folded))]);
    const std::vector<std::uint8_t>& major = site.m_Scores[static_cast<std::size_t>(place[0])];
    const std::uint8_t* minor = nullptr;
    std::size_t nMinor = 0;
    const auto& first = site.m_Scores[static_cast<std::size_t>(place[1])];
    const auto& second = site.m_Scores[static_cast<std::size_t>(place[2])];
    const auto& third = site.m_Scores[static_cast<std::size_t>(place[3])];
    if (second.empty() && third.empty()) {
        minor = first.data();
        nMinor = first.size();
    } else {
        m_Minor.assign(first.begin(), first.end());
        m_Minor.insert(m_Minor.end(), second.begin(), second.end());
        m_Minor.insert(m_Minor.end(), third.begin(), third.end());
        minor = m_Minor.data();
        nMinor = m_Minor.size();
    }
    out.m_MinorReads = static_cast<unsigned>(nMinor);
    out.m_LogScale = ComputeObsTable(minor, nMinor, major.data(), major.size(), ETableMode::eExact,
                                     site.m_Pos + 1, m_Workspace, out.m_Table);
    out.m_Stored = false;
}
