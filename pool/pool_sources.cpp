#include "pool/pool_sources.hpp"

#include <htslib/sam.h>

#include <algorithm>

#include "base/input_error.hpp"
#include "io/mpileup_reader.hpp"
#include "pileup/hts_handles.hpp"
#include "pileup/pileup_source.hpp"

namespace {

// The contigs of one alignment file's header.
SPoolContigs HeaderContigs(const std::string& path, const std::string& reference) {
    CHtsStderrFilter quietFilter;
    CQuietHts quiet;
    THtsFile fp(hts_open(path.c_str(), "r"));
    if (!fp) {
        throw CInputError(EInputError::eOpen, SInputWhere{path, 0, 0, "", 0},
                          "cannot be opened as an alignment file.");
    }
    if (!reference.empty() && fp->format.format == cram) {
        hts_set_fai_filename(fp.get(), reference.c_str());
    }
    THeader hdr(sam_hdr_read(fp.get()));
    if (!hdr) {
        throw CInputError(EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
                          "has no readable SAM/BAM/CRAM header.");
    }
    SPoolContigs c;
    for (int tid = 0; tid < sam_hdr_nref(hdr.get()); ++tid) {
        c.m_Names.emplace_back(sam_hdr_tid2name(hdr.get(), tid));
        c.m_Lengths.push_back(sam_hdr_tid2len(hdr.get(), tid));
    }
    return c;
}

}  // namespace

SPoolContigs CheckPoolReferences(const std::vector<std::vector<std::string>>& pools,
                                 const std::string& reference) {
    SPoolContigs first;
    std::string firstPath;
    for (const auto& files : pools) {
        for (const std::string& path : files) {
            SPoolContigs c = HeaderContigs(path, reference);
            if (firstPath.empty()) {
                first = std::move(c);
                firstPath = path;
                continue;
            }
            std::string what;
            if (c.m_Names.size() != first.m_Names.size()) {
                what = "has " + std::to_string(c.m_Names.size()) + " contigs where " +
                       InputName(firstPath) + " has " + std::to_string(first.m_Names.size());
            } else {
                for (std::size_t i = 0; i < c.m_Names.size() && what.empty(); ++i) {
                    if (c.m_Names[i] != first.m_Names[i] || c.m_Lengths[i] != first.m_Lengths[i]) {
                        what = "has contig " + std::to_string(i + 1) + " '" + c.m_Names[i] +
                               "' of length " + std::to_string(c.m_Lengths[i]) + " where " +
                               InputName(firstPath) + " has '" + first.m_Names[i] + "' of length " +
                               std::to_string(first.m_Lengths[i]);
                    }
                }
            }
            if (!what.empty()) {
                throw CInputError(EInputError::eMismatch, SInputWhere{path, 0, 0, "", 0},
                                  what + ": every pool must be aligned to the same reference.");
            }
        }
    }
    return first;
}

struct CAlignmentPools::SPool {
    std::unique_ptr<CPileupSiteSource> m_Source;
    SPileupSite m_Site;
    bool m_Has = false;
};

CAlignmentPools::CAlignmentPools(const std::vector<std::vector<std::string>>& pools,
                                 const SPileupOptions& filters, const std::string& region,
                                 std::vector<SPileupSummary>& summaries,
                                 htsThreadPool* threadPool) {
    summaries.resize(pools.size());
    for (std::size_t i = 0; i < pools.size(); ++i) {
        SPileupOptions o = filters;
        o.m_Inputs = pools[i];
        o.m_Region = region;
        o.m_MinDepth = 0;
        o.m_MaxDepth = 0;
        auto pool = std::make_unique<SPool>();
        pool->m_Source = std::make_unique<CPileupSiteSource>(o, summaries[i], threadPool);
        m_Pools.push_back(std::move(pool));
    }
    const CPileupSiteSource& first = *m_Pools.front()->m_Source;
    for (int tid = 0; tid < first.NumContigs(); ++tid) {
        m_Contigs.m_Names.emplace_back(first.ContigName(tid));
        m_Contigs.m_Lengths.push_back(first.ContigLength(tid));
    }
    for (auto& p : m_Pools) {
        p->m_Has = p->m_Source->Next(p->m_Site);
    }
}

CAlignmentPools::~CAlignmentPools() = default;

bool CAlignmentPools::Next(SPoolSite& site) {
    // The smallest position any pool is at.
    int tid = -1;
    std::int64_t pos = 0;
    for (const auto& p : m_Pools) {
        if (p->m_Has && (tid < 0 || p->m_Site.m_Tid < tid ||
                         (p->m_Site.m_Tid == tid && p->m_Site.m_Pos < pos))) {
            tid = p->m_Site.m_Tid;
            pos = p->m_Site.m_Pos;
        }
    }
    if (tid < 0) {
        return false;
    }
    site.m_Contig = tid;
    site.m_Pos = pos;
    site.m_RefBase = -1;
    site.m_Reads.resize(m_Pools.size());
    for (std::size_t i = 0; i < m_Pools.size(); ++i) {
        SPool& p = *m_Pools[i];
        std::vector<SBaseRead>& reads = site.m_Reads[i];
        reads.clear();
        if (!p.m_Has || p.m_Site.m_Tid != tid || p.m_Site.m_Pos != pos) {
            continue;
        }
        reads.reserve(p.m_Site.m_Reads.size());
        for (const SPileupRead& r : p.m_Site.m_Reads) {
            reads.push_back(SBaseRead{r.m_Base, r.m_Score});
        }
        if (p.m_Site.m_RefBase >= 0) {
            site.m_RefBase = p.m_Site.m_RefBase;
        }
        p.m_Has = p.m_Source->Next(p.m_Site);
    }
    return true;
}

bool CAlignmentPools::Region(int& tid, std::int64_t& beg, std::int64_t& end) const {
    return m_Pools.front()->m_Source->GetRegion(tid, beg, end);
}

CPileupTextPools::CPileupTextPools(CMpileupReader& reader, std::size_t pools)
    : m_Reader(reader), m_Pools(pools) {}

bool CPileupTextPools::Next(SPoolSite& site) {
    SMpileupSamples samples;
    if (!m_Reader.NextSamples(samples)) {
        return false;
    }
    if (samples.m_Reads.size() != m_Pools) {
        throw CInputError(EInputError::eMismatch, SInputWhere{},
                          "the pileup text has " + std::to_string(samples.m_Reads.size()) +
                              " sample columns for " + std::to_string(m_Pools) +
                              " pools: give one pool size per column.");
    }
    site.m_Contig = samples.m_Contig;
    site.m_Pos = samples.m_Pos;
    site.m_RefBase = samples.m_RefBase;
    site.m_Reads = std::move(samples.m_Reads);
    return true;
}
