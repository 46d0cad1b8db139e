#include "pileup/pileup_chunks.hpp"

#include <algorithm>

namespace {

// Reads per base assumed where an index keeps no counts (CRAM's .crai).
constexpr hts_pos_t kBasesPerReadUnknown = 8;
// The windows of a BAI index's linear index (and of a CSI index made with
// the default shift): 16 kb.
constexpr hts_pos_t kIndexWindow = 1 << 14;

// Reads per contig as the indexes count them (mapped and unmapped with a
// position), summed over the inputs; an index without counts adds an
// estimate from the contig's length. known: every index counts.
class CReadCounts {
  public:
    CReadCounts(const sam_hdr_t* hdr, const std::vector<const hts_idx_t*>& indexes)
        : m_Hdr(hdr), m_Indexes(indexes) {
        // htslib keeps a contig's counts only where it has reads: an index
        // that has them for no contig at all has none (an old index, or
        // CRAM's), and its contigs are estimated by length.
        for (const hts_idx_t* idx : indexes) {
            bool has = false;
            for (int tid = 0; tid < sam_hdr_nref(hdr) && !has; ++tid) {
                std::uint64_t mapped, unmapped;
                has = hts_idx_get_stat(idx, tid, &mapped, &unmapped) >= 0;
            }
            m_Counts.push_back(has);
            m_AllCount = m_AllCount && has;
        }
    }

    bool AllCount() const { return m_AllCount; }

    std::uint64_t Reads(int tid) const {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < m_Indexes.size(); ++i) {
            std::uint64_t mapped = 0, unmapped = 0;
            if (!m_Counts[i]) {
                total += static_cast<std::uint64_t>(sam_hdr_tid2len(m_Hdr, tid)) /
                         static_cast<std::uint64_t>(kBasesPerReadUnknown);
            } else if (hts_idx_get_stat(m_Indexes[i], tid, &mapped, &unmapped) >= 0) {
                total += mapped + unmapped;
            }
        }
        return total;
    }

  private:
    const sam_hdr_t* m_Hdr;
    const std::vector<const hts_idx_t*>& m_Indexes;
    std::vector<bool> m_Counts;
    bool m_AllCount = true;
};

}  // namespace

std::vector<SPileupChunk> PlanPileupChunks(const sam_hdr_t* hdr,
                                           const std::vector<const hts_idx_t*>& indexes,
                                           const SRegion* region, const SPileupChunking& size) {
    const CReadCounts counts(hdr, indexes);
    const std::uint64_t target = std::max<std::uint64_t>(size.m_Reads, 1);
    const hts_pos_t minBases = std::max<hts_pos_t>(size.m_MinBases, 1);
    std::vector<SPileupChunk> chunks;
    SPileupChunk group;
    std::uint64_t groupReads = 0;
    auto flush = [&] {
        if (!group.m_Pieces.empty()) {
            chunks.push_back(std::move(group));
        }
        group = SPileupChunk{};
        groupReads = 0;
    };

    const int first = region ? region->m_Tid : 0;
    const int last = region ? region->m_Tid + 1 : sam_hdr_nref(hdr);
    for (int tid = first; tid < last; ++tid) {
        const hts_pos_t length = sam_hdr_tid2len(hdr, tid);
        const hts_pos_t beg = region ? region->m_Beg : 0;
        const hts_pos_t end = region ? region->m_End : HTS_POS_MAX;
        if (region && beg >= length) {
            break;  // nothing lies there: the region is empty
        }
        const hts_pos_t stop = std::min(end, length);  // the bases that exist
        const std::uint64_t contigReads = counts.Reads(tid);
        if (contigReads == 0 && counts.AllCount()) {
            continue;  // no read to pile up or count
        }
        // The reads of the part asked for, as a share of the contig's.
        const std::uint64_t reads =
            length > 0 ? static_cast<std::uint64_t>(static_cast<double>(contigReads) *
                                                    static_cast<double>(stop - beg) /
                                                    static_cast<double>(length))
                       : contigReads;
        const std::uint64_t byReads = (reads + target - 1) / target;
        const std::uint64_t byBases = static_cast<std::uint64_t>((stop - beg) / minBases);
        const std::uint64_t parts = std::max<std::uint64_t>(1, std::min(byReads, byBases));
        if (parts == 1 && reads < target) {
            group.m_Pieces.push_back({tid, beg, end});
            groupReads += reads;
            if (groupReads >= target) {
                flush();
            }
            continue;
        }
        flush();
        // Boundaries on the index's windows: a query starts reading at the
        // first read that overlaps its window, so a boundary inside one
        // would read up to a window of reads twice.
        const hts_pos_t step = (stop - beg) / static_cast<hts_pos_t>(parts);
        hts_pos_t from = beg;
        for (std::uint64_t i = 1; i <= parts; ++i) {
            hts_pos_t to = end;
            if (i < parts) {
                to = beg + static_cast<hts_pos_t>(i) * step;
                if (step >= kIndexWindow) {
                    to -= to % kIndexWindow;
                }
                if (to <= from) {
                    continue;
                }
            }
            SPileupChunk chunk;
            chunk.m_Pieces.push_back({tid, from, to});
            chunks.push_back(std::move(chunk));
            from = to;
        }
    }
    flush();
    if (!region) {
        SPileupChunk unplaced;
        unplaced.m_Unplaced = true;
        chunks.push_back(unplaced);
    }
    if (!chunks.empty()) {
        chunks.front().m_First = true;
    }
    return chunks;
}
