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

    // Scratch space of ComputeObsTable.
    std::vector<double> m_Minor, m_Major;

  private:
    std::vector<std::vector<double>> m_InverseRows;
    unsigned m_LogRowDepth = 0;
    std::vector<double> m_LogRow;
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

// Class that counts as the reference of a site with these read counts per
// class: folded, the class with most reads (ties keep the lower class);
// unfolded, class 0. Every other class counts as the minor allele.
int ReferenceClass(const std::array<std::size_t, 4>& counts, bool folded);
