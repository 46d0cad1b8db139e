// htslib's generic pileup (bam_mplp) as a pileup engine: the reference the
// column pileup is checked against, chosen by SPileupOptions::m_HtslibPileup.

#include <htslib/sam.h>

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pileup/hts_quiet.hpp"
#include "pileup/pileup_engine.hpp"
#include "pileup/pileup_input.hpp"
#include "pileup/reference_fasta.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

struct SPlpFree {
    void operator()(bam_mplp_t p) const {
        CQuietHts quiet;
        bam_mplp_destroy(p);
    }
};

int ReadCallback(void* data, bam1_t* b) {
    return static_cast<CPileupInput*>(data)->Next(b);
}

int EnterCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CPileupInput*>(data)->OnEnter(b, cd);
    return 0;
}

int LeaveCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CPileupInput*>(data)->OnLeave(b, cd);
    return 0;
}

// Not yet looked up (a site's reference base is fetched when first needed).
constexpr int kRefUnknown = -2;

class CHtslibPileup : public CPileupEngine {
  public:
    CHtslibPileup(std::vector<CPileupInput*> inputs, CReferenceFasta* reference,
                  const SPileupOptions& opts, SPileupSummary& summary,
                  const std::vector<SPileupPiece>* pieces)
        : m_Inputs(std::move(inputs)),
          m_Reference(reference),
          m_Opts(opts),
          m_Summary(summary),
          m_Pieces(pieces) {
        std::vector<void*> data(m_Inputs.begin(), m_Inputs.end());
        const int n = static_cast<int>(m_Inputs.size());
        m_Plp.reset(bam_mplp_init(n, ReadCallback, data.data()));
        if (!m_Plp) {
            Fail("Cannot start the pileup (out of memory).");
        }
        // The depth filter is ours: htslib must not drop reads at deep sites.
        bam_mplp_set_maxcnt(m_Plp.get(), INT32_MAX);
        bam_mplp_constructor(m_Plp.get(), EnterCallback);
        bam_mplp_destructor(m_Plp.get(), LeaveCallback);
        m_Piles.resize(m_Inputs.size());
        m_Depths.resize(m_Inputs.size());
    }

    bool Next(SPileupSite& site) override;

    bool NextColumn(SPileupColumn& column) override {
        if (!Next(m_Site)) {
            return false;
        }
        GroupByBase(m_Site, column);
        return true;
    }

  private:
    const sam_hdr_t* Header() const { return m_Inputs.front()->Header(); }

    int RefBase(int tid, hts_pos_t pos) {
        return m_Reference ? m_Reference->BaseAt(Header(), m_Inputs.front()->Path(), tid, pos) : -1;
    }

    // Positions arrive in genome order, so the piece that may hold the
    // next one only moves on.
    bool Owns(int tid, hts_pos_t pos) {
        if (!m_Pieces) {
            return true;
        }
        const std::vector<SPileupPiece>& p = *m_Pieces;
        while (m_Piece < p.size() &&
               (p[m_Piece].m_Tid < tid || (p[m_Piece].m_Tid == tid && p[m_Piece].m_End <= pos))) {
            ++m_Piece;
        }
        return m_Piece < p.size() && p[m_Piece].m_Tid == tid && pos >= p[m_Piece].m_Beg;
    }

    std::vector<CPileupInput*> m_Inputs;
    CReferenceFasta* m_Reference;
    const SPileupOptions& m_Opts;
    SPileupSummary& m_Summary;
    const std::vector<SPileupPiece>* m_Pieces;
    std::size_t m_Piece = 0;
    std::unique_ptr<bam_mplp_s, SPlpFree> m_Plp;
    std::vector<const bam_pileup1_t*> m_Piles;
    std::vector<int> m_Depths;
    SPileupSite m_Site;
};

bool CHtslibPileup::Next(SPileupSite& site) {
    SPileupSummary& sum = m_Summary;
    const unsigned minBaseQ = static_cast<unsigned>(m_Opts.m_MinBaseQ);
    for (;;) {
        int tid = -1;
        hts_pos_t pos = 0;
        int ret;
        {
            CQuietHts quiet;
            ret = bam_mplp64_auto(m_Plp.get(), &tid, &pos, m_Depths.data(), m_Piles.data());
        }
        if (ret == 0) {
            return false;
        }
        if (ret < 0) {
            for (CPileupInput* in : m_Inputs) {
                in->ThrowFault();
            }
            Fail("Reading " + Quoted(m_Inputs.front()->Path()) +
                 " failed: the input is not sorted by coordinate, or memory ran out.");
        }
        if (!Owns(tid, pos)) {
            continue;
        }
        if (pos >= sam_hdr_tid2len(Header(), tid)) {
            // Reads hanging off a scaffold's end: the positions past it do
            // not exist on the reference, so they never become sites.
            for (std::size_t i = 0; i < m_Inputs.size(); ++i) {
                for (int j = 0; j < m_Depths[i]; ++j) {
                    const bam_pileup1_t& p = m_Piles[i][j];
                    sum.m_BasesPastEnd += !p.is_del && !p.is_refskip;
                }
            }
            continue;
        }
        site.m_Reads.clear();
        site.m_Counts = TBaseCounts{};
        int ref = kRefUnknown;
        for (std::size_t i = 0; i < m_Inputs.size(); ++i) {
            const bam_pileup1_t* pile = m_Piles[i];
            for (int j = 0; j < m_Depths[i]; ++j) {
                const bam_pileup1_t& p = pile[j];
                if (p.is_del || p.is_refskip) {
                    ++(p.is_refskip ? sum.m_BasesRefSkip : sum.m_BasesDeletion);
                    continue;
                }
                const CPileupInput::SReadState& state = CPileupInput::State(p.cd);
                if (state.m_Overlap > 0 && pos < state.m_Overlap) {
                    ++sum.m_BasesOverlap;
                    continue;
                }
                const unsigned code = bam_seqi(bam_get_seq(p.b), p.qpos);
                int base;
                if (code != 0) {
                    base = BaseIndexOfNt16(code);
                } else {
                    // '=': the same as the reference base (samtools calmd -e).
                    if (!m_Reference) {
                        m_Inputs[i]->FailNoReferenceForEquals(p.b, tid, pos);
                    }
                    if (ref == kRefUnknown) {
                        ref = RefBase(tid, pos);
                    }
                    base = ref;
                }
                if (base < 0) {
                    ++sum.m_BasesN;
                    continue;
                }
                const unsigned score = bam_get_qual(p.b)[p.qpos];
                if (score < minBaseQ) {
                    ++sum.m_BasesLowQuality;
                    continue;
                }
                site.m_Reads.push_back(SPileupRead{static_cast<unsigned char>(base),
                                                   static_cast<unsigned char>(score),
                                                   state.m_Sample});
                ++site.m_Counts[static_cast<std::size_t>(base)];
            }
        }
        const std::size_t depth = site.m_Reads.size();
        if (depth == 0) {
            ++sum.m_SitesNoReads;
            continue;
        }
        site.m_DepthFiltered = false;
        if (depth < m_Opts.m_MinDepth) {
            ++sum.m_SitesBelowMinDepth;
            site.m_DepthFiltered = true;
        } else if (m_Opts.m_MaxDepth != 0 && depth > m_Opts.m_MaxDepth) {
            ++sum.m_SitesAboveMaxDepth;
            site.m_DepthFiltered = true;
        }
        site.m_Tid = tid;
        site.m_Pos = pos;
        site.m_RefBase = ref == kRefUnknown ? RefBase(tid, pos) : ref;
        return true;
    }
}

}  // namespace

std::unique_ptr<CPileupEngine> MakeHtslibPileup(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces) {
    return std::make_unique<CHtslibPileup>(inputs, reference, opts, summary, pieces);
}
