#include "model/raw_site.hpp"

#include "model/site_classes.hpp"

void FillRawSite(int contig, std::int64_t pos, int refBase, const SBaseRead* reads,
                 std::size_t count, SRawSite& site) {
    TBaseCounts counts{};
    for (std::size_t i = 0; i < count; ++i) {
        ++counts[reads[i].m_Base & 3];
    }
    FillRawSiteClasses(contig, pos, ClassifyBases(counts, refBase), reads, count, site);
}

void FillRawSiteClasses(int contig, std::int64_t pos, const std::array<int, 4>& classes,
                        const SBaseRead* reads, std::size_t count, SRawSite& site) {
    site.m_Contig = contig;
    site.m_Pos = pos;
    site.m_StoredTable.clear();
    for (auto& scores : site.m_Scores) {
        scores.clear();
    }
    for (std::size_t i = 0; i < count; ++i) {
        site.m_Scores[static_cast<std::size_t>(classes[reads[i].m_Base & 3])].push_back(
            reads[i].m_Score);
    }
}
