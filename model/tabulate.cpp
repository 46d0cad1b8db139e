#include "model/tabulate.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

#include "base/qt_assert.hpp"

void CSiteTabulator::x_Runs(std::initializer_list<const std::vector<std::uint8_t>*> classes,
                            std::vector<SScoreRun>& runs) {
    // Counting, not sorting: a count per score, and a bit per score seen
    // (four words of 64 cover all 256; the first, where nearly every score
    // falls, kept in a register so that one read need not wait for the
    // store of the one before), read back in order of score, one bit at a
    // time.
    std::uint32_t* counts = m_Counts.data();
    std::uint64_t low = 0;
    std::uint64_t high[4] = {0, 0, 0, 0};
    for (const std::vector<std::uint8_t>* scores : classes) {
        for (const std::uint8_t q : *scores) {
            ++counts[q];
            if (q < 64) {
                low |= std::uint64_t{1} << q;
            } else {
                high[q >> 6] |= std::uint64_t{1} << (q & 63);
            }
        }
    }
    high[0] = low;
    std::size_t distinct = 0;
    for (const std::uint64_t w : high) {
        distinct += static_cast<std::size_t>(__builtin_popcountll(w));
    }
    runs.resize(distinct);
    SScoreRun* out = runs.data();
    for (unsigned w = 0; w < 4; ++w) {
        for (std::uint64_t bits = high[w]; bits != 0; bits &= bits - 1) {
            const unsigned q = 64 * w + static_cast<unsigned>(__builtin_ctzll(bits));
            out->score = static_cast<std::uint8_t>(q);
            out->count = counts[q];
            counts[q] = 0;
            ++out;
        }
    }
}

void CSiteTabulator::x_Split(const SRawSite& site) {
    const std::array<std::size_t, 4> counts = {site.m_Scores[0].size(), site.m_Scores[1].size(),
                                               site.m_Scores[2].size(), site.m_Scores[3].size()};
    // qualfit swaps the reference class into place 0 and appends classes 2
    // and 3 to class 1: the minor reads are places 1, 2, 3 after the swap.
    std::array<int, 4> place = {0, 1, 2, 3};
    std::swap(place[0], place[static_cast<std::size_t>(ReferenceClass(counts, m_Folded))]);
    const std::vector<std::uint8_t>& major = site.m_Scores[static_cast<std::size_t>(place[0])];
    const auto& first = site.m_Scores[static_cast<std::size_t>(place[1])];
    const auto& second = site.m_Scores[static_cast<std::size_t>(place[2])];
    const auto& third = site.m_Scores[static_cast<std::size_t>(place[3])];
    if (m_Bounded) {
        // Runs of the sorted scores: the table then depends on the
        // multisets alone.
        x_Runs({&first, &second, &third}, m_MinorRuns);
        x_Runs({&major}, m_MajorRuns);
        m_MinorCount = first.size() + second.size() + third.size();
        m_MajorCount = major.size();
        return;
    }
    m_MajorScores = major.data();
    m_MajorCount = major.size();
    if (second.empty() && third.empty()) {
        m_MinorScores = first.data();
        m_MinorCount = first.size();
    } else {
        m_Minor.assign(first.begin(), first.end());
        m_Minor.insert(m_Minor.end(), second.begin(), second.end());
        m_Minor.insert(m_Minor.end(), third.begin(), third.end());
        m_MinorScores = m_Minor.data();
        m_MinorCount = m_Minor.size();
    }
}

void CSiteTabulator::x_Compute(const SRawSite& site, STabulatedSite& out) {
    out.m_Contig = site.m_Contig;
    out.m_Pos = site.m_Pos;
    out.m_Depth = static_cast<unsigned>(m_MinorCount + m_MajorCount);
    out.m_MinorReads = static_cast<unsigned>(m_MinorCount);
    out.m_Stored = false;
    if (m_Bounded) {
        out.m_LogScale = ComputeBoundedObsTable(m_Spectra, m_MinorRuns.data(), m_MinorRuns.size(),
                                                m_MajorRuns.data(), m_MajorRuns.size(), m_Workspace,
                                                out.m_Table, out.m_Kept);
        return;
    }
    out.m_LogScale = ComputeObsTable(m_MinorScores, m_MinorCount, m_MajorScores, m_MajorCount,
                                     ETableMode::eExact, site.m_Pos + 1, m_Workspace, out.m_Table);
    out.m_Kept = out.m_Table.size();
}

void CSiteTabulator::Tabulate(const SRawSite& site, STabulatedSite& out) {
    if (!site.m_StoredTable.empty()) {
        out.m_Contig = site.m_Contig;
        out.m_Pos = site.m_Pos;
        out.m_Depth = site.Depth();
        QT_ASSERT(site.m_StoredTable.size() == out.m_Depth + std::size_t{1});
        out.m_MinorReads = out.m_Depth - static_cast<unsigned>(site.m_Scores[0].size());
        out.m_Table = site.m_StoredTable;
        out.m_Kept = out.m_Table.size();
        out.m_LogScale = 0.0;
        out.m_Stored = true;
        return;
    }
    x_Split(site);
    x_Compute(site, out);
}

const std::vector<std::uint64_t>* CSiteTabulator::Key(const SRawSite& site) {
    if (!m_Bounded || !site.m_StoredTable.empty()) {
        return nullptr;
    }
    x_Split(site);
    // The number of minor runs, then one word per run: the score above a
    // count of 56 bits.
    m_Key.clear();
    m_Key.push_back(m_MinorRuns.size());
    for (const auto* runs : {&m_MinorRuns, &m_MajorRuns}) {
        for (const SScoreRun& r : *runs) {
            m_Key.push_back((std::uint64_t{r.score} << 56) | r.count);
        }
    }
    return &m_Key;
}

void CSiteTabulator::TabulateKeyed(const SRawSite& site, STabulatedSite& out) {
    QT_ASSERT(m_Bounded && site.m_StoredTable.empty());
    x_Compute(site, out);
}
