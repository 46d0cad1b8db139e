#pragma once
// One site as several pools saw it, and its compact per-pool records.
//
// The alleles. The two alleles of a site are chosen once, from the reads of
// every pool that counts there (model/site_classes.hpp's classes over the
// summed counts): with the reference base known (-f) it is the first allele,
// otherwise the base with most reads; the second is the other base with most
// reads. Each pool's reads of the first allele are its major reads, every
// other read a minor one: the two-class error model (a read is right, or
// shows another allele than its chromosome's), which is the exact model of
// "the first allele or not" and leaves the identity of an error's base
// aside. A site with more than two alleles has no place in a model of two:
// where the reads of a third base (or a fourth) are more than errors
// explain, the site is left out and counted (a pool with A/C and another
// with A/G would otherwise look alike). Errors explain k reads of a base
// when, every read showing that base by error with probability e/3 (e its
// score's), k or more such reads have a chance of at least kThirdAllele.
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
#include "model/site_classes.hpp"
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
// Below this chance of its reads as errors, a third base is an allele.
inline constexpr double kThirdAllele = 1e-6;
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

// The record's layout: depth, lo (each two bytes, little-endian; 0xffff
// then four bytes for 65,535 and more, so that no depth is cut), count and
// top (a byte each), then count - 1 floats. A pool that does not count at
// the site has depth 0 and nothing else.
inline const unsigned char* ReadRecordNumber(const unsigned char* p, unsigned& v) {
    v = static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
    if (v != 0xffff) {
        return p + 2;
    }
    v = static_cast<unsigned>(p[2]) | static_cast<unsigned>(p[3]) << 8 |
        static_cast<unsigned>(p[4]) << 16 | static_cast<unsigned>(p[5]) << 24;
    return p + 6;
}

// Reads the record at p; returns the first byte after it.
inline const unsigned char* ReadPoolRecord(const unsigned char* p, SPoolRecordView& v) {
    p = ReadRecordNumber(p, v.depth);
    if (v.depth == 0) {
        v.count = 0;
        return p;
    }
    p = ReadRecordNumber(p, v.lo);
    v.count = p[0];
    v.top = p[1];
    v.values = p + 2;
    return p + 2 + 4 * (v.count - 1);
}

// A site's two alleles (bases 0..3 for A, C, G, T) and each pool's reads
// of them, for the programs that report them (qualfreq's AD).
struct SSiteAlleles {
    unsigned char m_First = 0, m_Second = 0;
    bool m_RefKnown = false;  // the first allele is the reference base
};

// Per-site counts of what the encoder left out.
struct SPoolEncodeCounts {
    std::uint64_t m_BelowMinDepth = 0;  // pool-sites below -d
    std::uint64_t m_AboveMaxDepth = 0;  // pool-sites above -D
    std::uint64_t m_MultiAllelic = 0;   // sites with a third allele, left out
    void Add(const SPoolEncodeCounts& o) {
        m_BelowMinDepth += o.m_BelowMinDepth;
        m_AboveMaxDepth += o.m_AboveMaxDepth;
        m_MultiAllelic += o.m_MultiAllelic;
    }
};

// Turns sites into records, one per thread.
class CPoolEncoder {
  public:
    // pools: how many; a pool counts at a site with minDepth <= reads <=
    // maxDepth (0: no upper limit), reads of every base counted.
    // useReference: the reference base is the first allele.
    CPoolEncoder(std::size_t pools, unsigned minDepth, unsigned maxDepth, bool useReference);

    // Appends one record per pool to out and returns how many pools count
    // at the site (a site counts for a pair when both pools do); reads
    // receives the number of reads of those pools. A site with a third
    // allele counts for no pool (every record empty).
    unsigned Encode(const SPoolSite& site, std::vector<unsigned char>& out,
                    SPoolEncodeCounts& counts, std::uint64_t& reads);

    // The last site's alleles, and pool i's reads of the first allele and
    // of any other base there (0 where the pool does not count).
    const SSiteAlleles& LastAlleles() const { return m_Alleles; }
    unsigned LastFirstReads(std::size_t i) const { return m_FirstReads[i]; }
    unsigned LastSecondReads(std::size_t i) const { return m_SecondReads[i]; }

    // The full table of pool i of the last site encoded (depth + 1 entries,
    // relative to the largest), for tests.
    const std::vector<double>& LastTable(std::size_t i) const { return m_Tables[i]; }

  private:
    // Whether a base of class 2 or 3 has more reads at site than errors
    // explain (the counting pools' reads; total: their reads per base).
    bool x_ThirdAllele(const SPoolSite& site, const TBaseCounts& total,
                       const TBaseClasses& classes);

    std::size_t m_Pools;
    unsigned m_MinDepth, m_MaxDepth;
    bool m_UseReference;
    CSiteTabulator m_Tabulator;
    SRawSite m_Raw;
    STabulatedSite m_Tab;
    std::vector<std::vector<double>> m_Tables;
    std::vector<unsigned char> m_Counts;  // per pool: counts at this site
    std::vector<double> m_Tail;           // scratch of the third-allele test
    SSiteAlleles m_Alleles;
    std::vector<unsigned> m_FirstReads, m_SecondReads;
};
