#include "io/alignment_source.hpp"

CAlignmentSiteSource::CAlignmentSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                                           htsThreadPool* threadPool)
    : m_Source(opts, summary, threadPool) {}

bool CAlignmentSiteSource::x_NextKept() {
    while (m_Source.Next(m_Site)) {
        if (!m_Site.m_DepthFiltered) {
            return true;
        }
    }
    return false;
}

bool CAlignmentSiteSource::Next(SRawSite& site) {
    if (!x_NextKept()) {
        return false;
    }
    m_Reads.clear();
    for (const SPileupRead& r : m_Site.m_Reads) {
        m_Reads.push_back(SBaseRead{r.m_Base, r.m_Score});
    }
    FillRawSite(m_Site.m_Tid, m_Site.m_Pos, m_Site.m_RefBase, m_Reads.data(), m_Reads.size(), site);
    return true;
}

bool CAlignmentSiteSource::NextBySample(std::vector<SRawSite>& perSample) {
    if (!x_NextKept()) {
        return false;
    }
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
