#include "freq/snp_calls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "freq/joint_prior.hpp"
#include "freq/stored_sites.hpp"

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
                         SCandidateSites* side, SPoolBatch* candidates) {
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
        if (!other) {
            continue;
        }
        if (side) {
            const SSiteAlleles& a = batch.m_Alleles[i];
            side->m_Contig.push_back(batch.m_Contig[i]);
            side->m_Pos.push_back(batch.m_Pos[i]);
            side->m_Alleles.push_back(static_cast<unsigned char>(a.m_First | a.m_Second << 2));
            for (std::size_t k = 0; k < pools; ++k) {
                side->m_AltReads.push_back(batch.m_AlleleReads[2 * (pools * i + k) + 1]);
            }
        } else if (candidates) {
            AppendSite(batch, i, pools, bytes, *candidates);
        }
    }
    return noReference;
}

namespace {

// Calls one candidate (records of every pool; alleles; each pool's reads
// of ALT, or of REF and ALT) into out when its QUAL reaches minQual.
void CallSite(const SPoolRecordView* records, std::size_t pools, int contig, std::int64_t pos,
              unsigned char ref, unsigned char alt, const std::uint32_t* altReads,
              const std::uint32_t* refReads, CJointCaller& caller, double minQual, bool test,
              std::vector<SSnpCall>& out, SCallCounts& counts) {
    ++counts.m_Candidates;
    const double qual = caller.Qual(records);
    if (!(qual >= minQual)) {
        return;
    }
    std::vector<SPoolPosterior> posteriors;
    SDifferentiation differentiation;
    caller.Call(records, posteriors, test ? &differentiation : nullptr);
    SSnpCall snp;
    snp.m_Contig = contig;
    snp.m_Pos = pos;
    snp.m_Ref = ref;
    snp.m_Alt = alt;
    snp.m_Qual = qual;
    snp.m_PDiff = test && differentiation.pools >= 2 ? differentiation.pValue : kNaN;
    snp.m_Pools.resize(pools);
    for (std::size_t k = 0; k < pools; ++k) {
        SPoolFrequency& f = snp.m_Pools[k];
        const SPoolPosterior& post = posteriors[k];
        f.m_Depth = records[k].depth;
        f.m_AltReads = f.m_Depth > 0 ? altReads[k] : 0;
        f.m_RefReads = f.m_Depth > 0 ? (refReads ? refReads[k] : f.m_Depth - altReads[k]) : 0;
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

}  // namespace

void CallCandidates(const SPoolBatch& batch, std::size_t pools, CJointCaller& caller,
                    double minQual, bool test, std::vector<SSnpCall>& out, SCallCounts& counts) {
    std::vector<SPoolRecordView> records(pools);
    std::vector<std::uint32_t> refs(pools), alts(pools);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < batch.Sites(); ++i) {
        const unsigned char* p = &batch.m_Bytes[offset];
        offset += batch.m_Size[i];
        for (std::size_t k = 0; k < pools; ++k) {
            p = ReadPoolRecord(p, records[k]);
            refs[k] = batch.m_AlleleReads[2 * (pools * i + k)];
            alts[k] = batch.m_AlleleReads[2 * (pools * i + k) + 1];
        }
        CallSite(records.data(), pools, batch.m_Contig[i], batch.m_Pos[i],
                 batch.m_Alleles[i].m_First, batch.m_Alleles[i].m_Second, alts.data(), refs.data(),
                 caller, minQual, test, out, counts);
    }
}

void CallStoredChunk(const CPoolStore& store, std::size_t chunk, const SCandidateSites& side,
                     CJointCaller& caller, double minQual, bool test, std::vector<SSnpCall>& out,
                     SCallCounts& counts) {
    const std::size_t pools = store.Pools();
    // The candidates joined with the chunk's sites in position order, from
    // the first candidate at or after its first site.
    const auto before = [&](std::size_t i, int contig, std::int64_t pos) {
        return side.m_Contig[i] < contig || (side.m_Contig[i] == contig && side.m_Pos[i] < pos);
    };
    bool first = true;
    std::size_t c = 0;
    VisitStoredSites(
        store, chunk, EStoredOrder::eByPosition,
        [&](int contig, std::int64_t pos, const SPoolRecordView* records) {
            if (first) {
                std::size_t hi = side.Sites();
                while (c < hi) {
                    const std::size_t mid = c + (hi - c) / 2;
                    if (before(mid, contig, pos)) {
                        c = mid + 1;
                    } else {
                        hi = mid;
                    }
                }
                first = false;
            }
            while (c < side.Sites() && before(c, contig, pos)) {
                ++c;
            }
            if (c == side.Sites() || side.m_Contig[c] != contig || side.m_Pos[c] != pos) {
                return;
            }
            const unsigned char alleles = side.m_Alleles[c];
            CallSite(records, pools, contig, pos, alleles & 3, alleles >> 2,
                     &side.m_AltReads[c * pools], nullptr, caller, minQual, test, out, counts);
        });
}
