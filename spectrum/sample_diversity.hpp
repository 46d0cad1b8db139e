#pragma once
// Diversity of a sample of n chromosomes from the derived-allele count j of
// each site (0 <= j <= n), with the ancestral state known: the statistics of
// the neutrality tests, for the pool simulator's truth and for the programs
// that estimate them.
//
// Over the sites added (a site with j = 0 or j = n does not segregate):
//   pairwise  sum of 2 j (n - j) / (n (n - 1)), the mean number of
//             differences between two chromosomes (Tajima's k; pi summed
//             over sites);
//   S         segregating sites, 0 < j < n (theta_W = S / a_n);
//   theta_H   sum over segregating sites of 2 j^2 / (n (n - 1)) (Fay and Wu
//             2000, which weighs derived alleles at high frequency);
// and Tajima's D (Tajima 1989) of pairwise and S:
//   D = (pairwise - S / a1) / sqrt(e1 S + e2 S (S - 1)),
//   a1 = sum_{i=1}^{n-1} 1/i, a2 = sum 1/i^2, b1 = (n + 1) / (3 (n - 1)),
//   b2 = 2 (n^2 + n + 3) / (9 n (n - 1)), c1 = b1 - 1/a1,
//   c2 = b2 - (n + 2) / (a1 n) + a2 / a1^2, e1 = c1 / a1,
//   e2 = c2 / (a1^2 + a2).

#include <cstdint>

// a_n = sum_{i=1}^{n-1} 1/i (n >= 2).
double WattersonA(unsigned n);

// Tajima's D of a sample of n >= 2 chromosomes with `pairwise` mean
// differences and `segregating` sites (a sum of expectations may be no
// whole number); NaN without segregating sites and for n <= 3, where
// Tajima's variance is 0.
double TajimaD(unsigned n, double pairwise, double segregating);

// Fay and Wu's term of a site whose derived allele j of n >= 2 chromosomes
// carry: 2 j^2 / (n (n - 1)) where it segregates (0 < j < n), else 0.
inline double ThetaHTerm(unsigned j, unsigned n) {
    return j > 0 && j < n ? 2.0 * j * static_cast<double>(j) / (n * (n - 1.0)) : 0.0;
}

// The sums above over the sites of one sample of n >= 2 chromosomes.
class CSampleDiversity {
  public:
    explicit CSampleDiversity(unsigned n);

    // One site whose derived allele j of the n chromosomes carry.
    void Add(unsigned j);

    unsigned SampleSize() const { return m_N; }
    double Pairwise() const { return m_Pairwise; }
    std::uint64_t Segregating() const { return m_Segregating; }
    double ThetaHSum() const { return m_ThetaH; }

    // Per site over `sites` positions (the sites added and the positions
    // where nothing segregates): pi, theta_W, theta_H and Fay and Wu's H =
    // pi - theta_H; Tajima's D of the whole.
    double Pi(double sites) const { return m_Pairwise / sites; }
    double ThetaW(double sites) const {
        return static_cast<double>(m_Segregating) / WattersonA(m_N) / sites;
    }
    double ThetaH(double sites) const { return m_ThetaH / sites; }
    double FayWuH(double sites) const { return (m_Pairwise - m_ThetaH) / sites; }
    double TajimaD() const {
        return ::TajimaD(m_N, m_Pairwise, static_cast<double>(m_Segregating));
    }

  private:
    unsigned m_N;
    double m_Pairs;  // n (n - 1)
    double m_Pairwise = 0.0;
    std::uint64_t m_Segregating = 0;
    double m_ThetaH = 0.0;
};
