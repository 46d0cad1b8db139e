#include "io/alignment_source.hpp"

#include <algorithm>

CAlignmentSiteSource::CAlignmentSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                                           htsThreadPool* threadPool)
    : m_Source(opts, summary, threadPool) {}

bool CAlignmentSiteSource::Next(SRawSite& site) {
    while (m_Source.Next(m_Site)) {
        if (m_Site.m_DepthFiltered) {
            continue;
        }
        std::vector<SBaseRead>& reads = m_Reads;
        reads.resize(m_Site.m_Reads.size());
        std::transform(m_Site.m_Reads.begin(), m_Site.m_Reads.end(), reads.begin(),
                       [](const SPileupRead& r) {
                           return SBaseRead{r.m_Base, r.m_Score};
                       });
        FillRawSite(m_Site.m_Tid, m_Site.m_Pos, m_Site.m_RefBase, reads.data(), reads.size(), site);
        return true;
    }
    return false;
}

bool CAlignmentSiteSource::Region(int& tid, std::int64_t& beg, std::int64_t& end) const {
    return m_Source.GetRegion(tid, beg, end);
}
