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
// that run, relative to its largest entry (which is 1 and not stored).
//
// The entries are stored as short floats: an entry v >= 2^-23 as a float
// (24 significant bits, relative error 2^-24), a smaller one with as many
// bits as keep its error below 2^-41 (an absolute error, against the
// largest entry 1): 16 bits down to 2^-31, 8 down to 2^-39, none below (the
// power of two nearest). Most entries of a site without a minor read are
// far below 1 (about 1e-2, 1e-5, 1e-7, 1e-10, 1e-12 at 30 reads), so a
// record takes about 16 bytes instead of 25. A site's likelihood under any
// joint spectrum is then within 2^-24 relative plus 2^-40 + 2 kKeep of the
// largest product of the two pools' entries (the weights of the products
// sum to at most 1: an entry off by 2^-41 moves each product by at most
// that, and every product left out is at most kKeep) of the exact one; the
// constant factors dropped (the scale of each table) do not depend on the
// spectrum.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/obstable.hpp"
#include "model/raw_site.hpp"
#include "model/site_classes.hpp"

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
    unsigned depth = 0;                    // 0: the pool does not count at this site
    unsigned lo = 0;                       // first entry kept
    unsigned count = 0;                    // entries lo .. lo + count - 1
    unsigned top = 0;                      // position of the largest (1) among them
    const unsigned char* coded = nullptr;  // the count - 1 others, coded

    // The entries lo .. lo + count - 1 into out[0 .. count), the largest (1)
    // in its place; returns the first byte after the record.
    const unsigned char* Entries(double* out) const;
    // The same for a record followed by at least 8 bytes that may be read
    // (a store's column, which is padded), into out[0 .. max(count, 8)),
    // zeros past count: without a branch on the entries where top is 0 and
    // count at most 8 (most records), so that a pass is not held up by
    // mispredicted loop ends.
    const unsigned char* EntriesPadded(double* out) const;
    // The first byte after the record.
    const unsigned char* End() const;
};

// The record's layout: count (a byte; 0: the pool does not count at the
// site, and nothing follows); then the depth, below 128 with lo and top 0
// in one byte, else 0x80 followed by the depth and lo (LEB128: seven bits a
// byte, the lowest first, the high bit set where more follow) and top (a
// byte); then the count - 1 entries other than the largest, in order: first
// their exponent bytes (a float's biased exponent), then their mantissas,
// 3, 2, 1 or 0 bytes each as the exponent says (kRecordMantissaBytes), the
// highest bits kept. With the exponents first, where each mantissa lies
// follows from them without reading the mantissas before it.
inline constexpr unsigned kRecordMantissaBytes(unsigned exponent) {
    return static_cast<unsigned>(exponent >= 88) + static_cast<unsigned>(exponent >= 96) +
           static_cast<unsigned>(exponent >= 104);
}

// The entry of the exponent byte and the mantissa bytes at m.
inline double RecordEntry(unsigned exponent, const unsigned char* m) {
    std::uint32_t mantissa = 0;
    switch (kRecordMantissaBytes(exponent)) {
        case 3:
            mantissa = (static_cast<std::uint32_t>(m[0]) | static_cast<std::uint32_t>(m[1]) << 8 |
                        static_cast<std::uint32_t>(m[2]) << 16) &
                       0x7fffffu;
            break;
        case 2:
            mantissa = (static_cast<std::uint32_t>(m[0]) | static_cast<std::uint32_t>(m[1]) << 8)
                       << 7;
            break;
        case 1:
            mantissa = static_cast<std::uint32_t>(m[0]) << 15;
            break;
        default:
            break;
    }
    const std::uint32_t bits = static_cast<std::uint32_t>(exponent) << 23 | mantissa;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline const unsigned char* SPoolRecordView::Entries(double* out) const {
    const unsigned char* e = coded;
    const unsigned char* m = coded + (count - 1);
    for (unsigned i = 0; i < count; ++i) {
        if (i == top) {
            out[i] = 1.0;
            continue;
        }
        out[i] = RecordEntry(*e, m);
        m += kRecordMantissaBytes(*e++);
    }
    return m;
}

// Per exponent byte: the mantissa's mask (low 32 bits), its shift into
// place (bits 32..39) and its bytes (bits 40..47), for one load a slot.
struct SRecordEntryCodes {
    std::uint64_t code[256];
    constexpr SRecordEntryCodes() : code() {
        constexpr std::uint32_t kMask[4] = {0, 0xff, 0xffff, 0x7fffff};
        constexpr std::uint64_t kShift[4] = {0, 15, 7, 0};
        for (unsigned e = 0; e < 256; ++e) {
            const unsigned bytes = kRecordMantissaBytes(e);
            code[e] = kMask[bytes] | kShift[bytes] << 32 | std::uint64_t{bytes} << 40;
        }
    }
};
inline constexpr SRecordEntryCodes kRecordEntryCodes{};

inline const unsigned char* SPoolRecordView::EntriesPadded(double* out) const {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const unsigned char* e = coded;
    const unsigned char* m = coded + (count - 1);
    if (top == 0 && count <= 8) {
        // Seven slots after the largest, each read whatever it holds (the
        // bytes past the record are readable) and kept only within count.
        out[0] = 1.0;
        for (unsigned i = 1; i < 8; ++i) {
            const std::uint32_t exponent = e[i - 1];
            const std::uint64_t code = kRecordEntryCodes.code[exponent];
            const std::uint32_t keep = 0u - static_cast<std::uint32_t>(i < count);
            std::uint32_t w;
            std::memcpy(&w, m, sizeof w);
            m += static_cast<std::uint32_t>(code >> 40) & keep;
            const std::uint32_t bits =
                (exponent << 23 | (w & static_cast<std::uint32_t>(code))
                                      << static_cast<unsigned>((code >> 32) & 0xff)) &
                keep;
            float v;
            std::memcpy(&v, &bits, sizeof v);
            out[i] = v;
        }
        return m;
    }
    static constexpr std::uint32_t kMask[4] = {0, 0xff, 0xffff, 0x7fffff};
    static constexpr unsigned kShift[4] = {0, 15, 7, 0};
    auto next = [&e, &m]() {
        const std::uint32_t exponent = *e++;
        const unsigned bytes = kRecordMantissaBytes(exponent);
        std::uint32_t w;
        std::memcpy(&w, m, sizeof w);
        m += bytes;
        const std::uint32_t bits = exponent << 23 | (w & kMask[bytes]) << kShift[bytes];
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return static_cast<double>(v);
    };
    for (unsigned i = 0; i < top; ++i) {
        out[i] = next();
    }
    out[top] = 1.0;
    for (unsigned i = top + 1; i < count; ++i) {
        out[i] = next();
    }
#else
    const unsigned char* m = Entries(out);
#endif
    for (unsigned i = count; i < 8; ++i) {
        out[i] = 0.0;
    }
    return m;
}

inline const unsigned char* SPoolRecordView::End() const {
    if (count == 0) {
        return coded;
    }
    const unsigned char* m = coded + (count - 1);
    for (unsigned i = 0; i + 1 < count; ++i) {
        m += static_cast<unsigned>(kRecordEntryCodes.code[coded[i]] >> 40);
    }
    return m;
}

inline const unsigned char* ReadRecordNumber(const unsigned char* p, unsigned& v) {
    v = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned byte = *p++;
        v |= (byte & 0x7fu) << shift;
        if (!(byte & 0x80u) || shift >= 28) {
            return p;
        }
    }
}

// Reads the head of the record at p (all but its entries, which start at
// v.coded); returns v.coded.
inline const unsigned char* ReadPoolRecordHead(const unsigned char* p, SPoolRecordView& v) {
    v.count = p[0];
    if (v.count == 0) {
        v.depth = 0;
        v.coded = p + 1;
        return v.coded;
    }
    if (p[1] < 0x80) {
        v.depth = p[1];
        v.lo = 0;
        v.top = 0;
        p += 2;
    } else {
        p = ReadRecordNumber(p + 2, v.depth);
        p = ReadRecordNumber(p, v.lo);
        v.top = *p++;
    }
    v.coded = p;
    return p;
}

// Reads the record at p; returns the first byte after it.
inline const unsigned char* ReadPoolRecord(const unsigned char* p, SPoolRecordView& v) {
    ReadPoolRecordHead(p, v);
    return v.End();
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

    // The table of pool i of the last site encoded (depth + 1 entries,
    // relative to the largest; those the record keeps and the one past each
    // end of its run as ComputeObsTable makes them, the rest 0), for tests.
    const std::vector<double>& LastTable(std::size_t i) const { return m_Tables[i]; }

  private:
    // Whether a base of class 2 or 3 has more reads at site than errors
    // explain (the counting pools' reads; total: their reads per base).
    bool x_ThirdAllele(const SPoolSite& site, const TBaseCounts& total,
                       const TBaseClasses& classes);

    std::size_t m_Pools;
    unsigned m_MinDepth, m_MaxDepth;
    bool m_UseReference;
    CObsTableWorkspace m_Workspace;
    std::vector<std::uint8_t> m_Major, m_Minor;  // scores of one pool's reads
    std::vector<std::uint32_t> m_Bits;           // one record's entries as floats
    std::vector<std::vector<double>> m_Tables;
    std::vector<unsigned char> m_Counts;    // per pool: counts at this site
    std::vector<TBaseCounts> m_BaseCounts;  // per pool: its reads per base
    std::vector<double> m_Tail;             // scratch of the third-allele test
    SSiteAlleles m_Alleles;
    std::vector<unsigned> m_FirstReads, m_SecondReads;
};
