#include "engine/sitestore.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "base/input_error.hpp"
#include "base/qt_assert.hpp"
#include "base/varint.hpp"
#include "engine/depthrows.hpp"
#include "engine/thetalik.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Relative change of a site's likelihood that the record may make, per unit
// of min(1, lam); see the header. The factor 4 below 1e-10 covers the
// rounding of the sums that decide the cut and of the spectrum itself.
constexpr double kBudget = 0.25e-10;
// Relative rounding error of a float.
constexpr double kFloatEps = 1.0 / 16777216.0;  // 2^-24
// Above this ratio of an entry to c[0] the entries are scaled by the largest
// one instead, so that no z overflows.
constexpr double kMaxRatio = 1e300;

template <typename T>
void PutRaw(std::vector<unsigned char>& out, T v) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    out.insert(out.end(), b, b + sizeof(T));
}

}  // namespace

void CheckSiteOptions(const SSiteOptions& options) {
    if (options.poolSize != 0 && options.poolSize < 2) {
        throw std::invalid_argument("The pool size must be at least 2 (got " +
                                    std::to_string(options.poolSize) + ").");
    }
    if (options.blockSize <= 0) {
        throw std::invalid_argument("The block size must be positive (got " +
                                    std::to_string(options.blockSize) + ").");
    }
}

const unsigned char* ReadSiteRecord(const unsigned char* p, SSiteView& view) {
    std::uint64_t k, code, floats;
    p = GetVarint(p, k);
    p = GetVarint(p, code);
    p = GetVarint(p, floats);
    view.chromosomes = static_cast<int>(k);
    view.doubles = static_cast<int>(code >> 1);
    view.floats = static_cast<int>(floats);
    if (code & 1) {
        std::memcpy(&view.a, p, sizeof(double));
        p += sizeof(double);
    } else {
        view.a = 1.0;
    }
    view.z = p;
    return p + view.doubles * sizeof(double) + view.floats * sizeof(float);
}

const unsigned char* ReadNeutralRecord(const unsigned char* p, SNeutralView& view) {
    std::uint64_t head;
    p = GetVarint(p, head);
    view.chromosomes = static_cast<int>(head >> 1);
    std::memcpy(&view.u, p, sizeof(double));
    p += sizeof(double);
    if (head & 1) {
        std::memcpy(&view.a, p, sizeof(double));
        p += sizeof(double);
    } else {
        view.a = 1.0;
    }
    return p;
}

CSiteEncoder::CSiteEncoder(const SSiteOptions& options) : m_Options(options) {
    CheckSiteOptions(options);
    std::unique_ptr<CFreqSpectrum> unit(new CFSNeutral);
    unit->SetParam(0) = 1.0;
    m_Neutral.reset(new CDepthRows(options, std::move(unit)));
}

CSiteEncoder::~CSiteEncoder() = default;
CSiteEncoder::CSiteEncoder(CSiteEncoder&&) noexcept = default;
CSiteEncoder& CSiteEncoder::operator=(CSiteEncoder&&) noexcept = default;

bool CSiteEncoder::Encode(int contig, std::int64_t pos, int depth, const double* table,
                          double logScale, std::vector<unsigned char>& out, SEncodedSite& site,
                          std::size_t zeroFrom) {
    if (depth < 0) {
        throw std::invalid_argument("A site has a negative depth (" + std::to_string(depth) +
                                    ") at position " + std::to_string(pos) + ".");
    }
    if (depth == 0) {
        return false;
    }
    // A table comes from the input (a stored one, or the reads' scores):
    // its faults are the input's, placed by the 1-based position; the
    // caller adds the file and the contig's name (Placed()).
    auto fault = [pos](const std::string& what) {
        SInputWhere where;
        where.m_Pos = pos + 1;
        return CInputError(EInputError::eRange, where, what);
    };
    if (!std::isfinite(logScale)) {
        throw fault("the observation table has a non-finite scale.");
    }
    // The last entry that may be positive.
    const int top =
        zeroFrom > static_cast<std::size_t>(depth) ? depth : static_cast<int>(zeroFrom) - 1;
    double maxTau = 0.0;
    for (int t = 0; t <= top; ++t) {
        const double v = table[t];
        if (!(v >= 0.0) || !std::isfinite(v)) {
            throw fault("the observation table has a negative, NaN or infinite entry.");
        }
        maxTau = std::max(maxTau, v);
    }

    // The collapsed table d[0..M] (depthrows.hpp).
    const int n = depth;
    // The collapsed entries above top are 0, unless, folded, a mirror
    // entry n - t (t <= M) lies at or below top.
    int M = LastEntry(m_Options, n);
    if (!m_Options.folded || top < n - M) {
        M = std::max(0, std::min(M, top));
    }
    m_C.resize(static_cast<std::size_t>(M) + 1);  // every entry is written below
    for (int t = 0; t <= M; ++t) {
        const std::size_t tt = static_cast<std::size_t>(t);
        if (m_Options.folded && t < n - t) {
            m_C[tt] = table[t] + table[n - t];
        } else {
            m_C[tt] = table[t];
        }
    }
    double maxRest = 0.0;
    int last = 0;  // last positive entry above 0
    for (int t = 1; t <= M; ++t) {
        if (m_C[static_cast<std::size_t>(t)] > 0.0) {
            maxRest = std::max(maxRest, m_C[static_cast<std::size_t>(t)]);
            last = t;
        }
    }
    const double c0 = m_C[0];
    if (c0 == 0.0 && maxRest == 0.0) {
        throw fault("the observation table gives the site probability 0 under every spectrum.");
    }
    // d[0] scales the record only when it is a normal double: a subnormal
    // one carries too few bits for the quotients.
    const bool scaledByC0 = c0 >= std::numeric_limits<double>::min() && maxRest <= c0 * kMaxRatio;
    const double ref = scaledByC0 ? c0 : std::max(c0, maxRest);
    for (int t = 0; t <= last; ++t) {
        m_C[static_cast<std::size_t>(t)] /= ref;
    }

    // The cut and the precision of every kept entry (see the header), each
    // entry weighted by the envelope sigma_t.
    const std::vector<double>& sigma = m_Neutral->Envelope(n);
    auto weighted = [&](int t) {
        const std::size_t tt = static_cast<std::size_t>(t);
        return sigma[tt] * m_C[tt];
    };
    const double lam = -(logScale + std::log(maxTau));
    const double r = kBudget * std::min(1.0, std::max(0.0, lam));
    m_Suffix.resize(static_cast<std::size_t>(last) + 2);
    m_Suffix[static_cast<std::size_t>(last) + 1] = 0.0;
    for (int t = last; t >= 1; --t) {
        m_Suffix[static_cast<std::size_t>(t)] =
            m_Suffix[static_cast<std::size_t>(t) + 1] + weighted(t);
    }
    int doubles = last, floats = 0;
    if (r > 0.0 && last > 0) {
        // All exact: the smallest h with S[h+1] <= r H[h+1].
        double head = weighted(0);  // H[h+1] = sigma_0 z_0 + ... + sigma_h z_h
        int hExact = 0;
        while (hExact < last && !(m_Suffix[static_cast<std::size_t>(hExact) + 1] <= r * head)) {
            ++hExact;
            head += weighted(hExact);
        }
        // Doubles up to d, floats up to h: half the budget for the rounding,
        // half for the dropped tail, both against H[d+1].
        head = weighted(0);
        int d = 0;
        while (d < last &&
               !(kFloatEps * m_Suffix[static_cast<std::size_t>(d) + 1] <= 0.5 * r * head)) {
            ++d;
            head += weighted(d);
        }
        int h = d;
        while (h < last && !(m_Suffix[static_cast<std::size_t>(h) + 1] <= 0.5 * r * head)) {
            ++h;
        }
        // Check the rounding as it is (subnormal floats round coarser).
        double err = m_Suffix[static_cast<std::size_t>(h) + 1];
        for (int t = d + 1; t <= h; ++t) {
            const double z = m_C[static_cast<std::size_t>(t)];
            err += sigma[static_cast<std::size_t>(t)] *
                   std::fabs(z - static_cast<double>(static_cast<float>(z)));
        }
        const bool floatsOk = err <= r * head;
        if (floatsOk && 8 * d + 4 * (h - d) < 8 * hExact) {
            doubles = d;
            floats = h - d;
        } else {
            doubles = hExact;
            floats = 0;
        }
    }

    const std::size_t start = out.size();
    PutVarint(out, static_cast<std::uint64_t>(n));
    PutVarint(out, (static_cast<std::uint64_t>(doubles) << 1) | (scaledByC0 ? 0u : 1u));
    PutVarint(out, static_cast<std::uint64_t>(floats));
    if (!scaledByC0) {
        PutRaw(out, m_C[0]);
    }
    for (int t = 1; t <= doubles; ++t) {
        PutRaw(out, m_C[static_cast<std::size_t>(t)]);
    }
    for (int t = doubles + 1; t <= doubles + floats; ++t) {
        PutRaw(out, static_cast<float>(m_C[static_cast<std::size_t>(t)]));
    }
    const double p0 = m_Options.folded ? 0.5 : 1.0;
    site.contig = contig;
    site.pos = pos;
    site.reads = depth;
    site.chromosomes = n;
    site.kept = doubles + floats;
    // p0 and ref apart: their product may be subnormal and lose bits.
    site.constant = logScale + std::log(p0) + std::log(ref);
    site.bytes = static_cast<std::uint32_t>(out.size() - start);
    SSiteView view;
    ReadSiteRecord(out.data() + start, view);
    const CDepthRows::SRow& row = m_Neutral->Row(n, site.kept);
    const double u = SiteU(view, row.beta.data() + 1);
    site.neutralA = view.a;
    site.neutralU = u;
    site.neutralB = u - view.a * row.polymorphic;
    return true;
}

bool SSiteBatch::Add(CSiteEncoder& encoder, int contig, std::int64_t pos, int depth,
                     const double* table, double logScale, std::size_t zeroFrom) {
    SEncodedSite site;
    if (!encoder.Encode(contig, pos, depth, table, logScale, bytes, site, zeroFrom)) {
        return false;
    }
    sites.push_back(site);
    return true;
}

CSiteStore::CSiteStore(const SSiteOptions& options) : m_Options(options), m_Encoder(options) {}

bool CSiteStore::Append(int contig, std::int64_t pos, int depth, const double* table,
                        double logScale) {
    m_One.Clear();
    if (!m_One.Add(m_Encoder, contig, pos, depth, table, logScale)) {
        return false;
    }
    Append(m_One);
    return true;
}

void CSiteStore::Append(const SSiteBatch& batch) {
    const unsigned char* p = batch.bytes.data();
    std::vector<unsigned char>& compact = m_Compact;
    for (const SEncodedSite& site : batch.sites) {
        if (m_Options.neutralOnly) {
            compact.clear();
            const bool scaled = site.neutralA != 1.0;
            PutVarint(compact,
                      (static_cast<std::uint64_t>(site.chromosomes) << 1) | (scaled ? 1u : 0u));
            PutRaw(compact, site.neutralU);
            if (scaled) {
                PutRaw(compact, site.neutralA);
            }
            SEncodedSite small = site;
            small.bytes = static_cast<std::uint32_t>(compact.size());
            x_Add(small, compact.data());
        } else {
            x_Add(site, p);
        }
        p += site.bytes;
    }
}

void CSiteStore::x_Add(const SEncodedSite& site, const unsigned char* bytes) {
    const std::int64_t block = site.pos / m_Options.blockSize;
    if (!m_Segments.empty()) {
        const SSegment& last = m_Segments.back();
        if (last.contig == site.contig && site.pos < last.lastPos) {
            SInputWhere where;
            where.m_Pos = site.pos + 1;
            throw OutOfOrder(where, "", last.lastPos + 1,
                             "the sites of a contig must come in position order");
        }
    }
    bool newPage = m_Pages.empty() || m_PageUsed.back() + site.bytes > kPageBytes;
    if (newPage) {
        // The first page starts small; the others are full size.
        const std::size_t size =
            std::max<std::size_t>(m_Pages.empty() ? kFirstPageBytes : kPageBytes, site.bytes);
        m_Pages.emplace_back(new unsigned char[size]);
        m_PageBytes.push_back(size);
        m_PageUsed.push_back(0);
        m_PageSites.push_back(0);
    } else if (m_PageUsed.back() + site.bytes > m_PageBytes.back()) {
        // The first page grows, doubling, up to the size of every page.
        const std::size_t size =
            std::min(kPageBytes, std::max(2 * m_PageBytes.back(), m_PageUsed.back() + site.bytes));
        std::unique_ptr<unsigned char[]> larger(new unsigned char[size]);
        std::memcpy(larger.get(), m_Pages.back().get(), m_PageUsed.back());
        m_Pages.back() = std::move(larger);
        m_PageBytes.back() = size;
    }
    const std::uint32_t page = static_cast<std::uint32_t>(m_Pages.size() - 1);
    if (newPage || m_Segments.empty() || m_Segments.back().contig != site.contig ||
        m_Segments.back().block != block) {
        SSegment s;
        s.contig = site.contig;
        s.block = block;
        s.firstPos = site.pos;
        s.page = page;
        s.offset = static_cast<std::uint32_t>(m_PageUsed.back());
        m_Segments.push_back(s);
    }
    SSegment& seg = m_Segments.back();
    std::memcpy(m_Pages.back().get() + m_PageUsed.back(), bytes, site.bytes);
    m_PageUsed.back() += site.bytes;
    ++m_PageSites.back();
    seg.lastPos = site.pos;
    seg.bytes += site.bytes;
    ++seg.sites;
    seg.reads += static_cast<std::uint64_t>(site.reads);
    seg.constant += site.constant;
    const std::size_t k = static_cast<std::size_t>(site.chromosomes);
    if (m_Classes.size() <= k) {
        m_Classes.resize(k + 1);
    }
    ++m_Classes[k].sites;
    m_Classes[k].maxKept = std::max(m_Classes[k].maxKept, site.kept);
    ++m_Sites;
    m_Reads += static_cast<std::uint64_t>(site.reads);
    m_RecordBytes += site.bytes;
}

std::uint64_t CSiteStore::GetAllocatedBytes() const {
    std::uint64_t total = 0;
    for (std::size_t bytes : m_PageBytes) {
        total += bytes;
    }
    return total + m_Segments.capacity() * sizeof(SSegment);
}

double CSiteStore::GetConstant() const {
    double sum = 0.0;
    for (const SSegment& s : m_Segments) {
        sum += s.constant;
    }
    return sum;
}
