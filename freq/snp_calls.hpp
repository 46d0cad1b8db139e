#pragma once
// The sites a qualfreq run may report and their calls.
//
// A site can be a SNP only where some pool read a base other than the
// reference: only those sites (the candidates) are called. A run that keeps
// every site in a store for the fit keeps, beside it, each candidate's
// position, alleles and each pool's reads of bases other than REF (its
// reads of REF are the rest of its depth), and calls the candidates from
// the store's records after the fit; a run with --prior calls each batch's
// candidates as they are read. A candidate is called with the pools' spectra as priors
// (pool/site_posterior.hpp): QUAL from the records' kept entries first,
// and where it reaches the threshold each pool's posterior and, with two
// pools or more, the test of differentiation.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/pool_reader.hpp"
#include "pool/pool_store.hpp"
#include "pool/site_posterior.hpp"

class CJointCaller;

// One pool at one SNP.
struct SPoolFrequency {
    // Posterior mean of j/n and its credible interval; NaN where the pool
    // does not count at the site, or where its prior gives its reads no
    // chance at all.
    double m_Af, m_Lo, m_Hi;
    unsigned m_Depth = 0;  // reads after the filters; 0: the pool does not count
    unsigned m_RefReads = 0, m_AltReads = 0;
};

// One SNP as written.
struct SSnpCall {
    int m_Contig = 0;
    std::int64_t m_Pos = 0;              // 0-based
    unsigned char m_Ref = 0, m_Alt = 0;  // 0..3: A, C, G, T
    double m_Qual = 0.0;
    double m_PDiff;  // NaN: no test (fewer than two pools count)
    std::vector<SPoolFrequency> m_Pools;

    unsigned Depth() const;  // reads of all pools
};

struct SCallCounts {
    std::uint64_t m_Candidates = 0;       // sites where a base other than REF was read
    std::uint64_t m_Written = 0;          // candidates whose QUAL reached the threshold
    std::uint64_t m_ImpossiblePools = 0;  // pool-sites of written records their prior rules out
    void Add(const SCallCounts& o) {
        m_Candidates += o.m_Candidates;
        m_Written += o.m_Written;
        m_ImpossiblePools += o.m_ImpossiblePools;
    }
};

// What a store does not hold of its candidates, in genome order.
struct SCandidateSites {
    std::vector<int> m_Contig;
    std::vector<std::int64_t> m_Pos;
    std::vector<unsigned char> m_Alleles;   // REF | ALT << 2
    std::vector<std::uint32_t> m_AltReads;  // per site, per pool

    std::size_t Sites() const { return m_Pos.size(); }
};

// Splits a batch read with its alleles (SPoolReadOptions::m_Alleles): every
// site whose reference base is known goes to store and, where a pool read
// another base, to side; without a store, the candidates go to candidates
// whole (records, alleles and reads). Returns the sites left out for want
// of a reference base (an N in it).
std::uint64_t SplitBatch(const SPoolBatch& batch, std::size_t pools, CPoolStore* store,
                         SCandidateSites* side, SPoolBatch* candidates);

// Calls the candidates of chunk number chunk of store, found in side by
// position.
void CallStoredChunk(const CPoolStore& store, std::size_t chunk, const SCandidateSites& side,
                     CJointCaller& caller, double minQual, bool test, std::vector<SSnpCall>& out,
                     SCallCounts& counts);

// Calls the candidates of batch (each pool's record, alleles and reads as
// SplitBatch keeps them) with caller (joint_prior.hpp); appends to out
// every site whose QUAL reaches minQual, with the test of differentiation
// when test is set.
void CallCandidates(const SPoolBatch& batch, std::size_t pools, CJointCaller& caller,
                    double minQual, bool test, std::vector<SSnpCall>& out, SCallCounts& counts);
