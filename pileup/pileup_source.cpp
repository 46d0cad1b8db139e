#include "pileup/pileup_source.hpp"

#include <algorithm>

#include <htslib/sam.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "pileup/pileup_input.hpp"
#include "pileup/reference_fasta.hpp"
#include "pileup/region.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

struct SPlpFree {
    void operator()(bam_mplp_t p) const { bam_mplp_destroy(p); }
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

}  // namespace

struct CPileupSiteSource::SImpl {
    SPileupOptions m_Opts;
    SPileupSummary& m_Summary;
    std::unique_ptr<CReferenceFasta> m_Reference;
    std::vector<std::unique_ptr<CPileupInput>> m_Inputs;
    bool m_HasRegion = false;
    SRegion m_Region;
    std::unique_ptr<bam_mplp_s, SPlpFree> m_Plp;
    std::vector<const bam_pileup1_t*> m_Piles;
    std::vector<int> m_Depths;

    SImpl(const SPileupOptions& opts, SPileupSummary& summary) : m_Opts(opts), m_Summary(summary) {}

    const sam_hdr_t* Header() const { return m_Inputs.front()->Header(); }

    int RefBase(int tid, hts_pos_t pos) {
        return m_Reference ? m_Reference->BaseAt(Header(), m_Inputs.front()->Path(), tid, pos) : -1;
    }

    // A base written as '=' is the reference base; the file needs its FASTA.
    [[noreturn]] void NoReferenceForEquals(const CPileupInput& in, const bam1_t* b, int tid,
                                           hts_pos_t pos) const {
        Fail(Quoted(in.Path()) + " writes bases equal to the reference as '=' (read " +
             Quoted(bam_get_qname(b)) + " at " + sam_hdr_tid2name(Header(), tid) + ":" +
             std::to_string(pos + 1) + "): it needs the reference FASTA (-f/--reference).");
    }
};

CPileupSiteSource::CPileupSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                                     htsThreadPool* threadPool)
    : m_Impl(std::make_unique<SImpl>(opts, summary)) {
    SImpl& s = *m_Impl;
    if (s.m_Opts.m_Inputs.empty()) {
        Fail("No input file given.");
    }
    if (!s.m_Opts.m_Reference.empty()) {
        s.m_Reference = std::make_unique<CReferenceFasta>(s.m_Opts.m_Reference);
    }
    for (const std::string& path : s.m_Opts.m_Inputs) {
        s.m_Inputs.push_back(std::make_unique<CPileupInput>(path, s.m_Opts, s.m_Reference.get(),
                                                            summary, threadPool));
        if (s.m_Inputs.size() > 1) {
            s.m_Inputs.back()->CheckSameReferences(*s.m_Inputs.front());
        }
    }
    if (!s.m_Opts.m_Region.empty()) {
        s.m_Region = ParseRegion(s.m_Opts.m_Region, s.Header(), s.m_Inputs.front()->Path());
        s.m_HasRegion = true;
        for (auto& in : s.m_Inputs) {
            in->SetRegion(s.m_Region);
        }
    }

    std::vector<void*> data;
    for (auto& in : s.m_Inputs) {
        data.push_back(in.get());
    }
    const int n = static_cast<int>(s.m_Inputs.size());
    s.m_Plp.reset(bam_mplp_init(n, ReadCallback, data.data()));
    if (!s.m_Plp) {
        Fail("Cannot start the pileup (out of memory).");
    }
    // The depth filter is ours: htslib must not drop reads at deep sites.
    bam_mplp_set_maxcnt(s.m_Plp.get(), INT32_MAX);
    bam_mplp_constructor(s.m_Plp.get(), EnterCallback);
    bam_mplp_destructor(s.m_Plp.get(), LeaveCallback);
    s.m_Piles.resize(static_cast<std::size_t>(n));
    s.m_Depths.resize(static_cast<std::size_t>(n));
}

CPileupSiteSource::~CPileupSiteSource() {
    CQuietHts quiet;
    m_Impl.reset();
}

bool CPileupSiteSource::Next(SPileupSite& site) {
    SImpl& s = *m_Impl;
    SPileupSummary& sum = s.m_Summary;
    const unsigned minBaseQ = static_cast<unsigned>(s.m_Opts.m_MinBaseQ);
    for (;;) {
        int tid = -1;
        hts_pos_t pos = 0;
        int ret;
        {
            CQuietHts quiet;
            ret = bam_mplp64_auto(s.m_Plp.get(), &tid, &pos, s.m_Depths.data(), s.m_Piles.data());
        }
        if (ret == 0) {
            return false;
        }
        if (ret < 0) {
            for (auto& in : s.m_Inputs) {
                if (!in->Error().empty()) {
                    Fail(in->Error());
                }
            }
            Fail("Reading " + Quoted(s.m_Inputs.front()->Path()) +
                 " failed: the input is not sorted by coordinate, or memory ran out.");
        }
        if (s.m_HasRegion &&
            (tid != s.m_Region.m_Tid || pos < s.m_Region.m_Beg || pos >= s.m_Region.m_End)) {
            continue;
        }
        if (pos >= sam_hdr_tid2len(s.Header(), tid)) {
            // Reads hanging off a scaffold's end: the positions past it do
            // not exist on the reference, so they never become sites.
            for (std::size_t i = 0; i < s.m_Inputs.size(); ++i) {
                for (int j = 0; j < s.m_Depths[i]; ++j) {
                    const bam_pileup1_t& p = s.m_Piles[i][j];
                    sum.m_BasesPastEnd += !p.is_del && !p.is_refskip;
                }
            }
            continue;
        }
        site.m_Reads.clear();
        site.m_Counts = TBaseCounts{};
        int ref = kRefUnknown;
        for (std::size_t i = 0; i < s.m_Inputs.size(); ++i) {
            const bam_pileup1_t* pile = s.m_Piles[i];
            for (int j = 0; j < s.m_Depths[i]; ++j) {
                const bam_pileup1_t& p = pile[j];
                if (p.is_del || p.is_refskip) {
                    ++(p.is_refskip ? sum.m_BasesRefSkip : sum.m_BasesDeletion);
                    continue;
                }
                if (p.cd.i > 0 && pos < p.cd.i) {
                    ++sum.m_BasesOverlap;
                    continue;
                }
                const unsigned code = bam_seqi(bam_get_seq(p.b), p.qpos);
                int base;
                if (code != 0) {
                    base = BaseIndexOfNt16(code);
                } else {
                    // '=': the same as the reference base (samtools calmd -e).
                    if (!s.m_Reference) {
                        s.NoReferenceForEquals(*s.m_Inputs[i], p.b, tid, pos);
                    }
                    if (ref == kRefUnknown) {
                        ref = s.RefBase(tid, pos);
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
                                                   static_cast<unsigned char>(score)});
                ++site.m_Counts[static_cast<std::size_t>(base)];
            }
        }
        const std::size_t depth = site.m_Reads.size();
        if (depth == 0) {
            ++sum.m_SitesNoReads;
            continue;
        }
        site.m_DepthFiltered = false;
        if (depth < s.m_Opts.m_MinDepth) {
            ++sum.m_SitesBelowMinDepth;
            site.m_DepthFiltered = true;
        } else if (s.m_Opts.m_MaxDepth != 0 && depth > s.m_Opts.m_MaxDepth) {
            ++sum.m_SitesAboveMaxDepth;
            site.m_DepthFiltered = true;
        }
        site.m_Tid = tid;
        site.m_Pos = pos;
        site.m_RefBase = ref == kRefUnknown ? s.RefBase(tid, pos) : ref;
        return true;
    }
}

int CPileupSiteSource::NumContigs() const {
    return sam_hdr_nref(m_Impl->Header());
}

const char* CPileupSiteSource::ContigName(int tid) const {
    return sam_hdr_tid2name(m_Impl->Header(), tid);
}

std::int64_t CPileupSiteSource::ContigLength(int tid) const {
    return sam_hdr_tid2len(m_Impl->Header(), tid);
}

bool CPileupSiteSource::GetRegion(int& tid, std::int64_t& beg, std::int64_t& end) const {
    if (!m_Impl->m_HasRegion) {
        return false;
    }
    tid = m_Impl->m_Region.m_Tid;
    beg = m_Impl->m_Region.m_Beg;
    end = std::min<std::int64_t>(m_Impl->m_Region.m_End, ContigLength(tid));
    return true;
}
