#include "pool/pool_record.hpp"

#include <algorithm>
#include <limits>

#include "model/obstable.hpp"
#include "model/site_classes.hpp"

namespace {

// Appends v in the record's layout (ReadRecordNumber).
void PutRecordNumber(std::vector<unsigned char>& out, unsigned v) {
    if (v < 0xffff) {
        out.push_back(static_cast<unsigned char>(v & 0xff));
        out.push_back(static_cast<unsigned char>(v >> 8));
        return;
    }
    out.push_back(0xff);
    out.push_back(0xff);
    for (int k = 0; k < 4; ++k) {
        out.push_back(static_cast<unsigned char>((v >> (8 * k)) & 0xff));
    }
}

}  // namespace

CPoolEncoder::CPoolEncoder(std::size_t pools, unsigned minDepth, unsigned maxDepth,
                           bool useReference)
    : m_Pools(pools),
      m_MinDepth(std::max(minDepth, 1u)),
      m_MaxDepth(maxDepth == 0 ? std::numeric_limits<unsigned>::max() : maxDepth),
      m_UseReference(useReference),
      m_Tabulator(false),
      m_Tables(pools),
      m_Counts(pools, 0),
      m_FirstReads(pools, 0),
      m_SecondReads(pools, 0) {}

bool CPoolEncoder::x_ThirdAllele(const SPoolSite& site, const TBaseCounts& total,
                                 const TBaseClasses& classes) {
    for (int b = 0; b < 4; ++b) {
        const std::size_t base = static_cast<std::size_t>(b);
        if (classes[base] < 2 || total[base] == 0) {
            continue;
        }
        // The chance of total[base] or more reads of base b when every read
        // of the counting pools shows it by error with probability e/3: a
        // Poisson-binomial tail, its last state holding "k or more", so the
        // tail is summed, never found as 1 minus the rest.
        const std::size_t k = total[base];
        m_Tail.assign(k + 1, 0.0);
        m_Tail[0] = 1.0;
        std::size_t reach = 0;  // the highest state with mass
        const auto& errProb = ErrProbTable();
        // The tail only grows with more reads: once errors explain the
        // reads, the rest need not be seen.
        for (std::size_t i = 0; i < m_Pools && m_Tail[k] < kThirdAllele; ++i) {
            if (!m_Counts[i]) {
                continue;
            }
            for (const SBaseRead& r : site.m_Reads[i]) {
                const double p = errProb[r.m_Score] / 3.0;
                m_Tail[k] += m_Tail[k - 1] * p;
                for (std::size_t t = std::min(reach + 1, k - 1); t > 0; --t) {
                    m_Tail[t] = m_Tail[t] * (1.0 - p) + m_Tail[t - 1] * p;
                }
                m_Tail[0] *= 1.0 - p;
                reach = std::min(reach + 1, k);
            }
        }
        if (m_Tail[k] < kThirdAllele) {
            return true;
        }
    }
    return false;
}

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
        for (const SBaseRead& r : site.m_Reads[i]) {
            ++total[r.m_Base & 3];
        }
    }
    const int ref = m_UseReference ? site.m_RefBase : -1;
    const TBaseClasses classes = ClassifyBases(total, ref);
    for (int b = 0; b < 4; ++b) {
        if (classes[static_cast<std::size_t>(b)] == 0) {
            m_Alleles.m_First = static_cast<unsigned char>(b);
        } else if (classes[static_cast<std::size_t>(b)] == 1) {
            m_Alleles.m_Second = static_cast<unsigned char>(b);
        }
    }
    m_Alleles.m_RefKnown = ref >= 0 && ref < 4;

    const bool multiAllelic = x_ThirdAllele(site, total, classes);
    if (multiAllelic) {
        ++counts.m_MultiAllelic;
        counting = 0;
    }

    for (std::size_t i = 0; i < m_Pools; ++i) {
        std::vector<double>& table = m_Tables[i];
        m_FirstReads[i] = m_SecondReads[i] = 0;
        if (!m_Counts[i] || multiAllelic) {
            table.clear();
            out.push_back(0);
            out.push_back(0);
            continue;
        }
        const std::vector<SBaseRead>& poolReads = site.m_Reads[i];
        reads += poolReads.size();
        for (const SBaseRead& r : poolReads) {
            ++(classes[r.m_Base & 3] == 0 ? m_FirstReads[i] : m_SecondReads[i]);
        }
        // Class 0 is the first allele; the tabulator, unfolded, counts every
        // other class as minor, in qualscan's order of the minor reads.
        FillRawSiteClasses(site.m_Contig, site.m_Pos, classes, poolReads.data(), poolReads.size(),
                           m_Raw);
        m_Tabulator.Tabulate(m_Raw, m_Tab);
        table.swap(m_Tab.m_Table);
        const unsigned depth = static_cast<unsigned>(poolReads.size());
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
        PutRecordNumber(out, depth);
        PutRecordNumber(out, lo);
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
