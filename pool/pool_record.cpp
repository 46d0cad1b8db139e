#include "pool/pool_record.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/obstable.hpp"
#include "model/site_classes.hpp"

namespace {

// Reads per base (m_Base & 3): four 16-bit counters in one word, one
// addition per read (an array of counters would make every read wait for
// the store of the one before), emptied every 65,535 reads.
TBaseCounts CountBases(const SBaseRead* reads, std::size_t n) {
    TBaseCounts c{};
    for (std::size_t start = 0; start < n; start += 65535) {
        const std::size_t end = std::min(n, start + 65535);
        std::uint64_t packed = 0;
        for (std::size_t i = start; i < end; ++i) {
            packed += std::uint64_t{1} << (16 * (reads[i].m_Base & 3u));
        }
        for (std::size_t b = 0; b < 4; ++b) {
            c[b] += static_cast<unsigned>((packed >> (16 * b)) & 0xffff);
        }
    }
    return c;
}

// Appends v in the record's layout (ReadRecordNumber: LEB128).
void PutRecordNumber(std::vector<unsigned char>& out, unsigned v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(0x80 | (v & 0x7f)));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

// The entry v (0 < v <= 1) in the record's layout (RecordEntry), as a
// float's bits: the float nearest v where its exponent keeps the whole
// mantissa, else v rounded once to the bits its exponent keeps (a carry
// may raise the exponent, whose class keeps at least as many bits, so the
// rounded value is stored exactly).
std::uint32_t RecordBits(double v) {
    int e = 0;
    std::frexp(v, &e);  // v in [2^(e-1), 2^e): the float's exponent field is e + 126
    const unsigned bytes = kRecordMantissaBytes(static_cast<unsigned>(e + 126));
    const float f = bytes == 3
                        ? static_cast<float>(v)
                        : static_cast<float>(
                              std::nearbyint(std::ldexp(v, 8 * static_cast<int>(bytes) + 1 - e)) *
                              std::ldexp(1.0, e - 1 - 8 * static_cast<int>(bytes)));
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Appends the mantissa bytes of the entry of these bits.
void PutRecordMantissa(std::vector<unsigned char>& out, std::uint32_t bits) {
    const std::uint32_t mantissa = bits & 0x7fffffu;
    switch (kRecordMantissaBytes(bits >> 23)) {
        case 3:
            out.push_back(static_cast<unsigned char>(mantissa & 0xff));
            out.push_back(static_cast<unsigned char>((mantissa >> 8) & 0xff));
            out.push_back(static_cast<unsigned char>(mantissa >> 16));
            break;
        case 2:
            out.push_back(static_cast<unsigned char>((mantissa >> 7) & 0xff));
            out.push_back(static_cast<unsigned char>(mantissa >> 15));
            break;
        case 1:
            out.push_back(static_cast<unsigned char>(mantissa >> 15));
            break;
        default:
            break;
    }
}

}  // namespace

CPoolEncoder::CPoolEncoder(std::size_t pools, unsigned minDepth, unsigned maxDepth,
                           bool useReference)
    : m_Pools(pools),
      m_MinDepth(std::max(minDepth, 1u)),
      m_MaxDepth(maxDepth == 0 ? std::numeric_limits<unsigned>::max() : maxDepth),
      m_UseReference(useReference),
      m_Tables(pools),
      m_Counts(pools, 0),
      m_BaseCounts(pools),
      m_FirstReads(pools, 0),
      m_SecondReads(pools, 0) {}

bool CPoolEncoder::x_ThirdAllele(const SPoolSite& site, const TBaseCounts& total,
                                 const TBaseClasses& classes) {
    for (int b = 0; b < 4; ++b) {
        const std::size_t base = static_cast<std::size_t>(b);
        if (classes[base] < 2 || total[base] == 0) {
            continue;
        }
        // The chance of total[base] or more reads of base b when every read
        // of the counting pools shows it by error with probability e/3: a
        // Poisson-binomial tail, its last state holding "k or more", so the
        // tail is summed, never found as 1 minus the rest.
        const std::size_t k = total[base];
        m_Tail.assign(k + 1, 0.0);
        m_Tail[0] = 1.0;
        std::size_t reach = 0;  // the highest state with mass
        // Each score's e/3.
        static const std::array<double, 256> kThird = [] {
            std::array<double, 256> t{};
            for (std::size_t q = 0; q < t.size(); ++q) {
                t[q] = ErrProbTable()[q] / 3.0;
            }
            return t;
        }();
        // The tail only grows with more reads: once errors explain the
        // reads, the rest need not be seen.
        for (std::size_t i = 0; i < m_Pools && m_Tail[k] < kThirdAllele; ++i) {
            if (!m_Counts[i]) {
                continue;
            }
            for (const SBaseRead& r : site.m_Reads[i]) {
                const double p = kThird[r.m_Score];
                m_Tail[k] += m_Tail[k - 1] * p;
                for (std::size_t t = std::min(reach + 1, k - 1); t > 0; --t) {
                    m_Tail[t] = m_Tail[t] * (1.0 - p) + m_Tail[t - 1] * p;
                }
                m_Tail[0] *= 1.0 - p;
                reach = std::min(reach + 1, k);
            }
        }
        if (m_Tail[k] < kThirdAllele) {
            return true;
        }
    }
    return false;
}

unsigned CPoolEncoder::Encode(const SPoolSite& site, std::vector<unsigned char>& out,
                              SPoolEncodeCounts& counts, std::uint64_t& reads) {
    reads = 0;
    // Which pools count, and the alleles from their reads together.
    TBaseCounts total{};
    unsigned counting = 0;
    for (std::size_t i = 0; i < m_Pools; ++i) {
        const std::size_t depth = site.m_Reads[i].size();
        m_Counts[i] = 0;
        if (depth == 0) {
            continue;
        }
        if (depth < m_MinDepth) {
            ++counts.m_BelowMinDepth;
            continue;
        }
        if (depth > m_MaxDepth) {
            ++counts.m_AboveMaxDepth;
            continue;
        }
        m_Counts[i] = 1;
        ++counting;
        m_BaseCounts[i] = CountBases(site.m_Reads[i].data(), depth);
        for (std::size_t b = 0; b < 4; ++b) {
            total[b] += m_BaseCounts[i][b];
        }
    }
    const int ref = m_UseReference ? site.m_RefBase : -1;
    const TBaseClasses classes = ClassifyBases(total, ref);
    // The bases of classes 0..3.
    std::array<unsigned char, 4> baseOf{};
    for (int b = 0; b < 4; ++b) {
        baseOf[static_cast<std::size_t>(classes[static_cast<std::size_t>(b)])] =
            static_cast<unsigned char>(b);
    }
    m_Alleles.m_First = baseOf[0];
    m_Alleles.m_Second = baseOf[1];
    m_Alleles.m_RefKnown = ref >= 0 && ref < 4;

    const bool multiAllelic = x_ThirdAllele(site, total, classes);
    if (multiAllelic) {
        ++counts.m_MultiAllelic;
        counting = 0;
    }

    for (std::size_t i = 0; i < m_Pools; ++i) {
        std::vector<double>& table = m_Tables[i];
        m_FirstReads[i] = m_SecondReads[i] = 0;
        if (!m_Counts[i] || multiAllelic) {
            table.clear();
            out.push_back(0);
            continue;
        }
        const std::vector<SBaseRead>& poolReads = site.m_Reads[i];
        const std::size_t depth = poolReads.size();
        reads += depth;
        const TBaseCounts& own = m_BaseCounts[i];
        const std::size_t first = own[baseOf[0]];
        m_FirstReads[i] = static_cast<unsigned>(first);
        m_SecondReads[i] = static_cast<unsigned>(depth - first);
        // Class 0 is the first allele, every other class minor, in
        // qualscan's order of the minor reads (classes 1, 2, 3, each in the
        // reads' order), as its unfolded tables take them.
        m_Major.resize(depth + 1);
        m_Minor.resize(depth + 1);
        std::uint8_t* major = m_Major.data();
        std::uint8_t* minor = m_Minor.data();
        if (own[baseOf[2]] + own[baseOf[3]] == 0) {
            // Every read into both, kept by one (no branch on the reads).
            std::size_t j = 0, k = 0;
            const unsigned firstBase = baseOf[0];
            for (const SBaseRead& r : poolReads) {
                const std::size_t isFirst = (r.m_Base & 3u) == firstBase;
                major[j] = r.m_Score;
                minor[k] = r.m_Score;
                j += isFirst;
                k += 1 - isFirst;
            }
        } else {
            std::size_t j = 0, k = 0;
            for (const SBaseRead& r : poolReads) {
                if ((r.m_Base & 3u) == baseOf[0]) {
                    major[j++] = r.m_Score;
                }
            }
            for (std::size_t c = 1; c < 4; ++c) {
                for (const SBaseRead& r : poolReads) {
                    if ((r.m_Base & 3u) == baseOf[c]) {
                        minor[k++] = r.m_Score;
                    }
                }
            }
        }
        // The entries within kKeep of the largest, which is 1 (model/).
        SObsTableRun run;
        ComputeObsTableRun(minor, depth - first, major, first, kKeep, m_Workspace, table, run);
        const unsigned t0 = static_cast<unsigned>(run.top);
        // The run of entries within kKeep of the largest (one run: the
        // table is log-concave), at most kMaxRecordEntries long; the range
        // computed holds it and the entry past each of its ends.
        unsigned lo = t0, hi = t0;
        while (hi - lo + 1 < kMaxRecordEntries) {
            const bool down = lo > 0 && table[lo - 1] >= kKeep;
            const bool up = hi < depth && table[hi + 1] >= kKeep;
            if (!down && !up) {
                break;
            }
            if (down && (!up || table[lo - 1] >= table[hi + 1])) {
                --lo;
            } else {
                ++hi;
            }
        }
        const unsigned count = hi - lo + 1;
        out.push_back(static_cast<unsigned char>(count));
        if (depth < 0x80 && lo == 0 && t0 == 0) {
            out.push_back(static_cast<unsigned char>(depth));
        } else {
            out.push_back(0x80);
            PutRecordNumber(out, static_cast<unsigned>(depth));
            PutRecordNumber(out, lo);
            out.push_back(static_cast<unsigned char>(t0 - lo));
        }
        m_Bits.clear();
        for (unsigned t = lo; t <= hi; ++t) {
            if (t != t0) {
                m_Bits.push_back(RecordBits(table[t]));
            }
        }
        for (const std::uint32_t bits : m_Bits) {
            out.push_back(static_cast<unsigned char>(bits >> 23));
        }
        for (const std::uint32_t bits : m_Bits) {
            PutRecordMantissa(out, bits);
        }
    }
    return counting;
}
