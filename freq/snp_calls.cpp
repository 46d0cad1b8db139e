#include "freq/snp_calls.hpp"

#include <cmath>
#include <limits>

#include "freq/joint_prior.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Appends site i of batch (its records at bytes) to out, alleles and reads
// with it.
void AppendSite(const SPoolBatch& batch, std::size_t i, std::size_t pools,
                const unsigned char* bytes, SPoolBatch& out) {
    out.m_Contig.push_back(batch.m_Contig[i]);
    out.m_Pos.push_back(batch.m_Pos[i]);
    out.m_Size.push_back(batch.m_Size[i]);
    out.m_Bytes.insert(out.m_Bytes.end(), bytes, bytes + batch.m_Size[i]);
    out.m_Alleles.push_back(batch.m_Alleles[i]);
    const auto reads = batch.m_AlleleReads.begin() + static_cast<std::ptrdiff_t>(2 * pools * i);
    out.m_AlleleReads.insert(out.m_AlleleReads.end(), reads,
                             reads + static_cast<std::ptrdiff_t>(2 * pools));
}

}  // namespace

unsigned SSnpCall::Depth() const {
    unsigned d = 0;
    for (const SPoolFrequency& p : m_Pools) {
        d += p.m_Depth;
    }
    return d;
}

std::uint64_t SplitBatch(const SPoolBatch& batch, std::size_t pools, CPoolStore* store,
                         SPoolBatch& candidates) {
    std::uint64_t noReference = 0;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < batch.Sites(); ++i) {
        const unsigned char* bytes = &batch.m_Bytes[offset];
        offset += batch.m_Size[i];
        if (!batch.m_Alleles[i].m_RefKnown) {
            ++noReference;
            continue;
        }
        if (store) {
            store->Append(batch.m_Contig[i], batch.m_Pos[i], bytes, batch.m_Size[i]);
        }
        bool other = false;
        for (std::size_t k = 0; k < pools && !other; ++k) {
            other = batch.m_AlleleReads[2 * (pools * i + k) + 1] > 0;
        }
        if (other) {
            AppendSite(batch, i, pools, bytes, candidates);
        }
    }
    return noReference;
}

void CallCandidates(const SPoolBatch& batch, std::size_t pools, CJointCaller& caller,
                    double minQual, bool test, std::vector<SSnpCall>& out, SCallCounts& counts) {
    std::vector<SPoolRecordView> records(pools);
    std::vector<SPoolPosterior> posteriors;
    SDifferentiation differentiation;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < batch.Sites(); ++i) {
        const unsigned char* p = &batch.m_Bytes[offset];
        offset += batch.m_Size[i];
        for (std::size_t k = 0; k < pools; ++k) {
            p = ReadPoolRecord(p, records[k]);
        }
        ++counts.m_Candidates;
        const double qual = caller.Qual(records.data());
        if (!(qual >= minQual)) {
            continue;
        }
        caller.Call(records.data(), posteriors, test ? &differentiation : nullptr);
        SSnpCall snp;
        snp.m_Contig = batch.m_Contig[i];
        snp.m_Pos = batch.m_Pos[i];
        snp.m_Ref = batch.m_Alleles[i].m_First;
        snp.m_Alt = batch.m_Alleles[i].m_Second;
        snp.m_Qual = qual;
        snp.m_PDiff = test && differentiation.pools >= 2 ? differentiation.pValue : kNaN;
        snp.m_Pools.resize(pools);
        for (std::size_t k = 0; k < pools; ++k) {
            SPoolFrequency& f = snp.m_Pools[k];
            const SPoolPosterior& post = posteriors[k];
            f.m_Depth = records[k].depth;
            f.m_RefReads = batch.m_AlleleReads[2 * (pools * i + k)];
            f.m_AltReads = batch.m_AlleleReads[2 * (pools * i + k) + 1];
            f.m_Af = post.mean;
            f.m_Lo = post.lo;
            f.m_Hi = post.hi;
            if (f.m_Depth > 0 && std::isnan(post.mean)) {
                ++counts.m_ImpossiblePools;
            }
        }
        out.push_back(std::move(snp));
        ++counts.m_Written;
    }
}
