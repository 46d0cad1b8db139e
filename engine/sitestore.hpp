#pragma once
// Per-site summaries of a genome-scale data set, kept in a compact
// append-only arena in genome order.
//
// What a site keeps. A site of n reads comes with its observation table
// T[t] = exp(logScale) tau[t], t = 0..n (the probability of the observed reads
// given t reads truly minor). Its likelihood under any spectrum is a sum of
// the table against weights that depend only on the depth and the spectrum
// (depthrows.hpp, where a pool's weights mix the binomials of its reads):
// with the table collapsed to d[0..T] (folded, d[t] = tau[t] + tau[n-t]),
//   L = exp(logScale) p0 d[0] [ (1 - theta P_n) + theta sum_{t>=1} beta_t z_t ],
// z_t = d[t] / d[0], P_n and beta_t the row of class n, the site's depth,
// for the spectrum. The factor in front is a constant; a record keeps n and
// z_1..z_h, and the constants are summed per segment. A store that serves
// the neutral spectrum alone keeps per site only the class, a (the weight
// of 1 - theta P_n, 1 but for scaled records) and u = sum_t beta_t z_t for
// the neutral rows: two numbers whatever the depth and the pool size.
//
// The cut-off (exact to 1e-10 relative in every site's log-likelihood). For
// every parameter value in the domain, the prior of k >= 1 chromosomes is
// theta f1(k) with f1 non-increasing in k over 1..M: unfolded, E[xi_k] is a
// sum over the number j of lineages of j E[T_j] C(K-k-1, j-2)/C(K-1, j-1)
// with E[T_j] >= 0 (Kingman topology under any size history, growth
// included), and each term falls with k; folded, each term plus its mirror is
// a convex sequence symmetric about K/2, so it falls on 1..K/2. So f1 is a
// sum of steps alpha_j 1[k <= j] (folded: 1[k <= j or k >= K - j]) with
// alpha_j >= 0, and beta_t = sum_j alpha_j S_j(t) / p0 with S_j(t) the sum of
// Pr(t | k) over the step. For t > s, Pr(t | k) / Pr(s | k) grows with k (a
// binomial's ratio is a constant times (p/q)^(t-s); folded, with its mirror,
// (x^t + x^(n-t)) / (x^s + x^(n-s)) grows with x = p/q <= 1 for s < t <= n/2),
// so S_j(t) / S_j(s) grows with j and is largest for the whole range, whose
// sum is the envelope sigma_t (depthrows.hpp). Perturbing the entries from f
// on by d_t (dropping them: d_t = z_t; rounding them to float: |d_t| <=
// 2^-24 z_t), for every step with S_j(f-1) > 0
//   sum_{t>=f} S_j(t) |d_t| <= S_j(f-1) sum_{t>=f} (sigma_t / sigma_{f-1}) |d_t|,
//   sum_{s<f} S_j(s) z_s   >= S_j(f-1) sum_{s<f} (sigma_s / sigma_{f-1}) z_s,
// (and a step with S_j(f-1) = 0 puts nothing from f on), so |dL| <= r L
// whenever
//   sum_{t>=f} sigma_t |d_t| <= r sum_{0<=s<f} sigma_s z_s.
// Without a pool sigma_t = 1 for t >= 1 and 0 at t = 0. Since the prior sums
// to 1, L <= max_t T[t], so -log L >= lam = -(logScale + log max_t tau[t]);
// with r = 0.25e-10 min(1, lam) the change of log L is below 1e-10 |log L|.
// The encoder takes the fewest bytes that meet the bound: the first d
// entries as doubles, the next ones as floats, the rest dropped; d[0] and
// every entry it needs stay exact.
//
// Layout. Records sit in pages of kPageBytes; a record never straddles two
// pages, and a page is the unit of the parallel passes (so the reduction order
// does not depend on the number of threads). Segments cut the sequence of
// sites at every page, contig and block boundary; each keeps its sites'
// count, reads and summed constant, so a block is a run of segments and a
// block bootstrap can resample blocks without touching a site. The first
// page is allocated small and grows until it is full size, so that a store
// of a few sites (one sample of many kept apart) costs what they need; the
// pages' boundaries, and so every sum, are those of full-size pages.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

// Options that decide what a site's record means.
struct SSiteOptions {
    bool folded = true;  // folded spectrum (the table's reference is the majority class)
    int poolSize = 0;    // N >= 2: reads drawn from a pool of N chromosomes; 0: none
    std::int64_t blockSize = 1000000;  // bases per bootstrap block (> 0)
    // The store serves the neutral spectrum alone: it keeps (class, a, u)
    // per site instead of the record (encoders make records regardless).
    bool neutralOnly = false;
};

// Throws std::invalid_argument when the options are unusable.
void CheckSiteOptions(const SSiteOptions& options);

// What a record's header says, and where its numbers are.
struct SSiteView {
    int chromosomes = 0;     // the class n (the depth)
    int doubles = 0;         // z_1..z_doubles stored as doubles
    int floats = 0;          // z_{doubles+1}..z_{doubles+floats} as floats
    double a = 1.0;          // the weight of (1 - theta P_K) relative to the z's
    const unsigned char* z;  // doubles, then floats, unaligned
    int Kept() const { return doubles + floats; }
};

// Reads the record at p into view; returns the first byte after it.
const unsigned char* ReadSiteRecord(const unsigned char* p, SSiteView& view);

// One encoded site before it joins the store.
struct SEncodedSite {
    int contig = 0;
    std::int64_t pos = 0;   // 0-based position
    int reads = 0;          // depth n
    int chromosomes = 0;    // the class: n, as in the record
    int kept = 0;           // entries z_1..z_kept
    double constant = 0.0;  // logScale + log(p0 c_ref)
    // The site under the neutral spectrum: likelihood e^constant (a + theta b),
    // b = u - a P_n, from the record as stored (what windows need), and u.
    double neutralA = 0.0, neutralB = 0.0, neutralU = 0.0;
    std::uint32_t bytes = 0;
};

// Turns tables into records. A workspace: one per thread; it keeps the
// neutral rows and envelopes of the depths it has seen.
class CDepthRows;

class CSiteEncoder {
  public:
    explicit CSiteEncoder(const SSiteOptions& options);
    ~CSiteEncoder();
    CSiteEncoder(const CSiteEncoder&) = delete;
    CSiteEncoder& operator=(const CSiteEncoder&) = delete;
    CSiteEncoder(CSiteEncoder&&) noexcept;
    CSiteEncoder& operator=(CSiteEncoder&&) noexcept;

    // Appends the record of one site to out and describes it in site.
    // Returns false (and appends nothing) for a site without reads. Throws
    // CInputError (eRange, placed by the 1-based position only) for a table
    // with a negative, NaN or infinite entry, a non-finite logScale, or a
    // table that no spectrum can explain (every entry with a non-zero prior
    // is 0); std::invalid_argument for a negative depth. The entries of
    // table from zeroFrom on are known to be 0 (a bounded table's cut) and
    // are not looked at.
    bool Encode(int contig, std::int64_t pos, int depth, const double* table, double logScale,
                std::vector<unsigned char>& out, SEncodedSite& site,
                std::size_t zeroFrom = std::numeric_limits<std::size_t>::max());

    // The neutral rows (depthrows.hpp) the encoder uses.
    CDepthRows& NeutralRows() { return *m_Neutral; }

  private:
    SSiteOptions m_Options;
    std::vector<double> m_C, m_Suffix;
    std::unique_ptr<CDepthRows> m_Neutral;
};

// The compact record of a neutral-only store: the class, a and u.
struct SNeutralView {
    int chromosomes = 0;
    double a = 1.0, u = 0.0;
};
const unsigned char* ReadNeutralRecord(const unsigned char* p, SNeutralView& view);

// Sites encoded by a worker, in order, for CSiteStore::Append.
struct SSiteBatch {
    std::vector<unsigned char> bytes;
    std::vector<SEncodedSite> sites;
    // Encodes one site into the batch; see CSiteEncoder::Encode.
    bool Add(CSiteEncoder& encoder, int contig, std::int64_t pos, int depth, const double* table,
             double logScale, std::size_t zeroFrom = std::numeric_limits<std::size_t>::max());
    void Clear() {
        bytes.clear();
        sites.clear();
    }
};

// A run of sites inside one page that share contig and block.
struct SSegment {
    int contig = 0;
    std::int64_t block = 0;  // pos / blockSize
    std::int64_t firstPos = 0, lastPos = 0;
    std::uint32_t page = 0;
    std::uint32_t offset = 0;  // byte offset of the first record in the page
    std::uint32_t bytes = 0;
    std::uint32_t sites = 0;
    std::uint64_t reads = 0;
    double constant = 0.0;  // sum of the sites' constants
};

// Sites of one class (depth): how many, and how many entries the longest
// keeps.
struct SChromosomeClass {
    std::uint64_t sites = 0;
    int maxKept = 0;
};

class CSiteStore {
  public:
    static constexpr std::size_t kPageBytes = 256 * 1024;
    // The first page's first allocation.
    static constexpr std::size_t kFirstPageBytes = 4096;

    explicit CSiteStore(const SSiteOptions& options);

    const SSiteOptions& GetOptions() const { return m_Options; }

    // Appends one site (encoded on this thread). Sites must come in genome
    // order: within a run of one contig, positions never decrease (else
    // CInputError, eOrder). Returns false for a site without reads, which
    // is not stored.
    bool Append(int contig, std::int64_t pos, int depth, const double* table, double logScale);
    // Appends a batch encoded elsewhere with the same options, in order.
    void Append(const SSiteBatch& batch);

    std::uint64_t GetSites() const { return m_Sites; }
    std::uint64_t GetReads() const { return m_Reads; }
    // Bytes of the records (pages after the first are allocated in full).
    std::uint64_t GetRecordBytes() const { return m_RecordBytes; }
    std::uint64_t GetAllocatedBytes() const;

    std::size_t GetPageCount() const { return m_Pages.size(); }
    // Byte range of the records of page i.
    const unsigned char* GetPage(std::size_t i) const { return m_Pages[i].get(); }
    std::size_t GetPageUsed(std::size_t i) const { return m_PageUsed[i]; }
    std::uint32_t GetPageSites(std::size_t i) const { return m_PageSites[i]; }

    const std::vector<SSegment>& GetSegments() const { return m_Segments; }
    // Indexed by K; empty classes have sites == 0.
    const std::vector<SChromosomeClass>& GetClasses() const { return m_Classes; }
    // Sum of every site's constant, segment by segment in order.
    double GetConstant() const;

  private:
    void x_Add(const SEncodedSite& site, const unsigned char* bytes);

    SSiteOptions m_Options;
    CSiteEncoder m_Encoder;
    SSiteBatch m_One;
    std::vector<unsigned char> m_Compact;
    std::vector<std::unique_ptr<unsigned char[]>> m_Pages;
    std::vector<std::size_t> m_PageUsed;
    std::vector<std::size_t> m_PageBytes;  // allocated for each page
    std::vector<std::uint32_t> m_PageSites;
    std::vector<SSegment> m_Segments;
    std::vector<SChromosomeClass> m_Classes;
    std::uint64_t m_Sites = 0, m_Reads = 0, m_RecordBytes = 0;
};
