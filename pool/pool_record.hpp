#pragma once
// One site as several pools saw it, and its compact per-pool records.
//
// The alleles. The two alleles of a site are chosen once, from the reads of
// every pool that counts there (model/site_classes.hpp's classes over the
// summed counts): with the reference base known (-f) it is the first allele,
// otherwise the base with most reads; the second is the other base with most
// reads. Each pool's reads of the first allele are its major reads, every
// other read a minor one (as qualscan counts them).
//
// The record. Pool i's table tau[t] (model/obstable.hpp: the probability of
// its reads given that t of them truly carry the second allele; exact mode)
// enters the pool likelihood P(reads | j of its n chromosomes carry it) =
// sum_t tau[t] Binom(t; d, j/n) (each read from a random chromosome: the
// pool model of qualscan). tau is log-concave in t (its generating
// polynomial prod_r (a_r + b_r z) has real roots only, so Newton's
// inequalities hold for tau[t] = S_t / C(d, t)), so the entries within a
// factor kKeep of the largest form one run lo..lo+count-1; the record keeps
// that run, relative to its largest entry (which is 1 and not stored), as
// floats. A site's likelihood under any joint spectrum is then within
// 2^-24 relative (the floats) plus kKeep times the largest term over the
// kept terms (the dropped ones: every dropped product of entries is at most
// kKeep of the largest, and the weights they carry sum to at most 1) of the
// exact one; the constant factors dropped (the scale of each table) do not
// depend on the spectrum.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/raw_site.hpp"
#include "model/tabulate.hpp"

// A site of several pools: each pool's reads after the read and base
// filters (an empty list: no read).
struct SPoolSite {
    int m_Contig = 0;
    std::int64_t m_Pos = 0;  // 0-based
    int m_RefBase = -1;      // 0..3, or -1 unknown
    std::vector<std::vector<SBaseRead>> m_Reads;
};

// Entries kept relative to a table's largest.
inline constexpr double kKeep = 1e-12;
// A pool's depth must fit the record.
inline constexpr unsigned kMaxRecordDepth = 65535;
inline constexpr unsigned kMaxRecordEntries = 255;

// One pool's record at one site, as read back.
struct SPoolRecordView {
    unsigned depth = 0;                     // 0: the pool does not count at this site
    unsigned lo = 0;                        // first entry kept
    unsigned count = 0;                     // entries lo .. lo + count - 1
    unsigned top = 0;                       // position of the largest (1) among them
    const unsigned char* values = nullptr;  // count - 1 floats, unaligned

    double Entry(unsigned i) const {
        if (i == top) {
            return 1.0;
        }
        float v;
        std::memcpy(&v, values + 4 * (i < top ? i : i - 1), sizeof v);
        return v;
    }
};

// Reads the record at p; returns the first byte after it.
inline const unsigned char* ReadPoolRecord(const unsigned char* p, SPoolRecordView& v) {
    v.depth = static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
    if (v.depth == 0) {
        v.count = 0;
        return p + 2;
    }
    v.lo = static_cast<unsigned>(p[2]) | static_cast<unsigned>(p[3]) << 8;
    v.count = p[4];
    v.top = p[5];
    v.values = p + 6;
    return p + 6 + 4 * (v.count - 1);
}

// Per-site counts of what the encoder left out.
struct SPoolEncodeCounts {
    std::uint64_t m_BelowMinDepth = 0;  // pool-sites below -d
    std::uint64_t m_AboveMaxDepth = 0;  // pool-sites above -D (or the record's limit)
};

// Turns sites into records, one per thread.
class CPoolEncoder {
  public:
    // pools: how many; a pool counts at a site with minDepth <= reads <=
    // maxDepth (0: no upper limit; always at most kMaxRecordDepth).
    // useReference: the reference base is the first allele.
    CPoolEncoder(std::size_t pools, unsigned minDepth, unsigned maxDepth, bool useReference);

    // Appends one record per pool to out and returns how many pools count
    // at the site (a site counts for a pair when both pools do); reads
    // receives the number of reads of those pools.
    unsigned Encode(const SPoolSite& site, std::vector<unsigned char>& out,
                    SPoolEncodeCounts& counts, std::uint64_t& reads);

    // The full table of pool i of the last site encoded (depth + 1 entries,
    // relative to the largest), for tests.
    const std::vector<double>& LastTable(std::size_t i) const { return m_Tables[i]; }

  private:
    std::size_t m_Pools;
    unsigned m_MinDepth, m_MaxDepth;
    bool m_UseReference;
    CSiteTabulator m_Tabulator;
    SRawSite m_Raw;
    STabulatedSite m_Tab;
    std::vector<std::vector<double>> m_Tables;
    std::vector<unsigned char> m_Counts;  // per pool: counts at this site
};
