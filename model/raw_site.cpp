#include "model/raw_site.hpp"

#include "model/site_classes.hpp"

void FillRawSite(int contig, std::int64_t pos, int refBase, const SBaseRead* reads,
                 std::size_t count, SRawSite& site) {
    site.m_Contig = contig;
    site.m_Pos = pos;
    site.m_StoredTable.clear();
    TBaseCounts counts{};
    for (std::size_t i = 0; i < count; ++i) {
        ++counts[reads[i].m_Base & 3];
    }
    const TBaseClasses classes = ClassifyBases(counts, refBase);
    for (auto& scores : site.m_Scores) {
        scores.clear();
    }
    for (std::size_t i = 0; i < count; ++i) {
        site.m_Scores[static_cast<std::size_t>(classes[reads[i].m_Base & 3])].push_back(
            reads[i].m_Score);
    }
}
