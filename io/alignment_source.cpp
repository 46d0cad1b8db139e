#include "io/alignment_source.hpp"

#include <utility>

#include "base/qt_assert.hpp"

CAlignmentSiteSource::CAlignmentSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                                           htsThreadPool* threadPool, bool bySample)
    : m_Source(opts, summary, threadPool, bySample ? EPileupForm::eReads : EPileupForm::eColumns),
      m_BySample(bySample) {}

bool CAlignmentSiteSource::Next(SRawSite& site) {
    do {
        if (!m_Source.NextColumn(m_Column)) {
            return false;
        }
    } while (m_Column.m_DepthFiltered);
    // The scores of each base are those of its class, in input order
    // (FillRawSite()'s classes): the column's vectors change places with
    // the site's, whose old contents the next column overwrites.
    const TBaseClasses classes = ClassifyBases(m_Column.Counts(), m_Column.m_RefBase);
    site.m_Contig = m_Column.m_Tid;
    site.m_Pos = m_Column.m_Pos;
    site.m_StoredTable.clear();
    for (std::size_t b = 0; b < 4; ++b) {
        site.m_Scores[static_cast<std::size_t>(classes[b])].swap(m_Column.m_Scores[b]);
    }
    return true;
}

bool CAlignmentSiteSource::NextBySample(std::vector<SRawSite>& perSample) {
    QT_ASSERT(m_BySample);
    do {
        if (!m_Source.Next(m_Site)) {
            return false;
        }
    } while (m_Site.m_DepthFiltered);
    const std::size_t samples = Samples().size();
    m_SampleReads.resize(samples);
    for (auto& reads : m_SampleReads) {
        reads.clear();
    }
    for (const SPileupRead& r : m_Site.m_Reads) {
        m_SampleReads[r.m_Sample].push_back(SBaseRead{r.m_Base, r.m_Score});
    }
    perSample.resize(samples);
    for (std::size_t s = 0; s < samples; ++s) {
        FillRawSite(m_Site.m_Tid, m_Site.m_Pos, m_Site.m_RefBase, m_SampleReads[s].data(),
                    m_SampleReads[s].size(), perSample[s]);
    }
    return true;
}

bool CAlignmentSiteSource::Region(int& tid, std::int64_t& beg, std::int64_t& end) const {
    return m_Source.GetRegion(tid, beg, end);
}
