#include "pool/pool_record.hpp"

#include <algorithm>

#include "model/site_classes.hpp"

CPoolEncoder::CPoolEncoder(std::size_t pools, unsigned minDepth, unsigned maxDepth,
                           bool useReference)
    : m_Pools(pools),
      m_MinDepth(std::max(minDepth, 1u)),
      m_MaxDepth(maxDepth == 0 ? kMaxRecordDepth : std::min(maxDepth, kMaxRecordDepth)),
      m_UseReference(useReference),
      m_Tabulator(false),
      m_Tables(pools),
      m_Counts(pools, 0) {}

unsigned CPoolEncoder::Encode(const SPoolSite& site, std::vector<unsigned char>& out,
                              SPoolEncodeCounts& counts, std::uint64_t& reads) {
    reads = 0;
    // Which pools count, and the alleles from their reads together.
    TBaseCounts total{};
    unsigned counting = 0;
    for (std::size_t i = 0; i < m_Pools; ++i) {
        const std::size_t depth = site.m_Reads[i].size();
        m_Counts[i] = 0;
        if (depth == 0) {
            continue;
        }
        if (depth < m_MinDepth) {
            ++counts.m_BelowMinDepth;
            continue;
        }
        if (depth > m_MaxDepth) {
            ++counts.m_AboveMaxDepth;
            continue;
        }
        m_Counts[i] = 1;
        ++counting;
        reads += depth;
        for (const SBaseRead& r : site.m_Reads[i]) {
            ++total[r.m_Base & 3];
        }
    }
    const TBaseClasses classes = ClassifyBases(total, m_UseReference ? site.m_RefBase : -1);

    for (std::size_t i = 0; i < m_Pools; ++i) {
        std::vector<double>& table = m_Tables[i];
        if (!m_Counts[i]) {
            table.clear();
            out.push_back(0);
            out.push_back(0);
            continue;
        }
        const std::vector<SBaseRead>& reads = site.m_Reads[i];
        // Class 0 is the first allele; the tabulator, unfolded, counts every
        // other class as minor, in qualscan's order of the minor reads.
        FillRawSiteClasses(site.m_Contig, site.m_Pos, classes, reads.data(), reads.size(), m_Raw);
        m_Tabulator.Tabulate(m_Raw, m_Tab);
        table.swap(m_Tab.m_Table);
        const unsigned depth = static_cast<unsigned>(reads.size());
        const auto top = std::max_element(table.begin(), table.end());
        const double largest = *top;
        const unsigned t0 = static_cast<unsigned>(top - table.begin());
        for (double& v : table) {
            v /= largest;
        }
        // The run of entries within kKeep of the largest (one run: the
        // table is log-concave), at most kMaxRecordEntries long.
        unsigned lo = t0, hi = t0;
        while (hi - lo + 1 < kMaxRecordEntries) {
            const bool down = lo > 0 && table[lo - 1] >= kKeep;
            const bool up = hi < depth && table[hi + 1] >= kKeep;
            if (!down && !up) {
                break;
            }
            if (down && (!up || table[lo - 1] >= table[hi + 1])) {
                --lo;
            } else {
                ++hi;
            }
        }
        const unsigned count = hi - lo + 1;
        out.push_back(static_cast<unsigned char>(depth & 0xff));
        out.push_back(static_cast<unsigned char>(depth >> 8));
        out.push_back(static_cast<unsigned char>(lo & 0xff));
        out.push_back(static_cast<unsigned char>(lo >> 8));
        out.push_back(static_cast<unsigned char>(count));
        out.push_back(static_cast<unsigned char>(t0 - lo));
        for (unsigned t = lo; t <= hi; ++t) {
            if (t == t0) {
                continue;
            }
            const float v = static_cast<float>(table[t]);
            unsigned char bytes[4];
            std::memcpy(bytes, &v, sizeof v);
            out.insert(out.end(), bytes, bytes + 4);
        }
    }
    return counting;
}
