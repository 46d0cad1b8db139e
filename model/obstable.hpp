#pragma once
// The observation table of a site: entry t is the probability of the read
// classes seen, given that exactly t of the site's reads truly carry the
// minor allele (one particular set of t reads). It is computed from the
// reads' quality scores alone, and shared by every program that weighs reads
// by their scores.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// How the error-count distributions are bounded.
enum class ETableMode {
    // Every term, so the table is exact up to rounding; the entries are
    // scaled (see ComputeObsTable) so that deep sites do not underflow.
    eExact,
    // The rules of the subset enumeration the recurrence replaced, kept
    // because stored results depend on them: once a distribution has been
    // positive, a row at or below 1e-10 ends it; a row with more than 1e6
    // read subsets is left 0 and reported through Warn() as
    // "Depth/numFalse too big at #<pos>; last prob: <previous row>".
    // Never scaled.
    eSubsetLimit,
};

// Error probability 10^(-q/10) of every 8-bit score, bit for bit the value
// of that expression.
const std::array<double, 256>& ErrProbTable();

// The spectra a table will be weighed with. Every spectrum the engine fits
// (engine/sitestore.hpp) gives a site of n reads the likelihood
// sum_t T[t] w_t, w_t the chance that t reads carry the minor allele, with
// w = sum_k pi(k) P(t | k) over K chromosomes: K = n and P(t | k) = [t = k]
// without a pool, K = N and P(t | k) = Binom(t; n, k/N) with one; pi(k) =
// theta v_k for 0 < k < K with v_k non-increasing on 1..K/2 (folded, where
// pi is symmetric in k <-> K-k) or on 1..K-1 (unfolded, where pi(K) = 0),
// and pi(0) anything. What this class of weights allows to be left out of a
// table is decided in ComputeBoundedObsTable.
struct SSpectrumClass {
    bool folded = true;
    int poolSize = 0;  // N >= 2, or 0: every read a chromosome of its own
};

// Reads of one score at a site.
struct SScoreRun {
    std::uint8_t score = 0;
    std::uint64_t count = 0;
};

// Reusable buffers and binomial rows for ComputeObsTable. One per thread:
// it carries no results from one call to the next, only memory and
// coefficients that depend on the depth alone.
class CObsTableWorkspace {
  public:
    // 1 / C(n, t) for t = 0..n; for n <= kInverseRowMax every entry is a
    // normal double.
    const std::vector<double>& InverseRow(unsigned n);
    // ln C(n, t) for t = 0..n.
    const std::vector<double>& LogRow(unsigned n);

    static constexpr unsigned kInverseRowMax = 1020;

    // ln k! for k = 0..n.
    const std::vector<double>& LogFactorials(unsigned n);
    // zeta(n, N) = max_t Z_t / min_t Z_t, Z_t = sum_{k=1}^{N-1} Binom(t; n,
    // k/N) over t = 0..n, or +infinity where it is not worth computing.
    double PoolZeta(unsigned n, int pool);

    // Scratch space of ComputeObsTable and ComputeBoundedObsTable.
    std::vector<double> m_Minor, m_Major, m_Binom, m_Conv, m_Prefix;
    std::vector<SScoreRun> m_MinorRuns, m_MajorRuns;
    std::vector<std::size_t> m_RunOrder;
    std::vector<double> m_RunBuffers, m_ReadErr, m_ReadOk;

  private:
    std::vector<std::vector<double>> m_InverseRows;
    unsigned m_LogRowDepth = 0;
    std::vector<double> m_LogRow;
    std::vector<double> m_LogFactorials;
    int m_ZetaPool = 0;
    std::vector<double> m_Zeta;  // by depth; 0: not yet computed
};

// Distribution of the number of erroneous reads among n reads with the given
// scores (a Poisson-binomial distribution), entries 0..n, into out. In
// eSubsetLimit mode the row rules above apply and pos names the site in the
// report.
void ErrCountDist(const std::uint8_t* scores, std::size_t n, ETableMode mode, std::int64_t pos,
                  std::vector<double>& out);

// Table of a site whose minor-labelled reads have scores minor[0..nMinor)
// and whose reference-labelled reads have scores major[0..nMajor), entries
// 0..nMinor + nMajor, into table. Returns the log scale s: the probability
// is table[t] * e^s. In eSubsetLimit mode s is 0 and the numbers are those
// qualfit has always computed; in eExact mode s is 0 unless the largest
// entry would fall below 1e-250, and then the largest entry is 1.
double ComputeObsTable(const std::uint8_t* minor, std::size_t nMinor, const std::uint8_t* major,
                       std::size_t nMajor, ETableMode mode, std::int64_t pos,
                       CObsTableWorkspace& ws, std::vector<double>& table);

// The entries of ComputeObsTable's table (eExact) within keep of its largest,
// relative to that largest, without computing the rest: what a record that
// keeps only those entries needs (pool/pool_record.hpp). The table is
// log-concave in t (its generating polynomial has real roots), so those
// entries form one run around the largest, and past the first entry below
// keep on either side every entry is smaller still. Fills table[first ..
// last] (table is resized to n + 1; the other entries are 0) with entry t
// over the largest, which is at top (its first place), 1 there; first is 0
// or an entry below keep, and so is last unless it is n. Every entry in
// that range equals ComputeObsTable's divided by its largest, bit for bit,
// wherever that table's entries stay normal doubles. The error counts of
// the larger class are only followed as far as the run needs (about
// O(n c) for c errors that matter, instead of O(n^2)), and the counts are
// kept within the double range by exact powers of two, so that deep sites
// whose chance of no error at all underflows (about 60,000 reads at a
// mean error of 1%) keep their largest entries.
struct SObsTableRun {
    std::size_t first = 0, last = 0, top = 0;
};
void ComputeObsTableRun(const std::uint8_t* minor, std::size_t nMinor, const std::uint8_t* major,
                        std::size_t nMajor, double keep, CObsTableWorkspace& ws,
                        std::vector<double>& table, SObsTableRun& run);

// The table of ComputeObsTable in eExact mode for a site whose likelihood
// only the spectra of the class will weigh, from the runs of the minor- and
// the reference-labelled reads' scores: entries from kept on are left 0,
// where a proved bound puts all they could add to the likelihood of the
// site under any spectrum of the class below 1e-12 min(1, -log max_t T[t])
// of it (so its log-likelihood moves by less than 1e-12 of itself); the
// entries before kept equal the exact ones up to rounding. The cost is
// about O(n (m + c)) for m minor reads instead of O(n^2), c the number of
// errors among the reference reads that stops mattering, and less where
// the runs are long. The table is a function of the runs (their order
// included): runs of distinct scores in a fixed order give a table that
// depends on the two multisets of scores alone. Returns the log scale as
// ComputeObsTable does.
double ComputeBoundedObsTable(const SSpectrumClass& spectra, const SScoreRun* minor,
                              std::size_t minorRuns, const SScoreRun* major, std::size_t majorRuns,
                              CObsTableWorkspace& ws, std::vector<double>& table,
                              std::size_t& kept);

// The bound of ComputeBoundedObsTable (proved in obstable.cpp): whether the
// table of a site of m minor- and M reference-labelled reads may leave out
// its entries above tStar (m <= tStar < m + M) for the spectra of the class,
// given the error-count distribution of the reference reads b[0..min(M,
// tStar)] and the sums u[0..tStar], u[t] = T[t] C(m + M, t).
bool CanLeaveOutAbove(const SSpectrumClass& spectra, std::size_t m, std::size_t M,
                      std::size_t tStar, const std::vector<double>& b, const std::vector<double>& u,
                      CObsTableWorkspace& ws);

// The same from the scores; consecutive equal scores form a run.
double ComputeBoundedObsTable(const SSpectrumClass& spectra, const std::uint8_t* minor,
                              std::size_t nMinor, const std::uint8_t* major, std::size_t nMajor,
                              CObsTableWorkspace& ws, std::vector<double>& table,
                              std::size_t& kept);

// Class that counts as the reference of a site with these read counts per
// class: folded, the class with most reads (ties keep the lower class);
// unfolded, class 0. Every other class counts as the minor allele.
int ReferenceClass(const std::array<std::size_t, 4>& counts, bool folded);
