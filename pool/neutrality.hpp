#pragma once
// One pool's diversity and the neutrality tests on it, from sums over a set
// of sites (a genome, a window) of each site's posterior expectations.
//
// The pool's n chromosomes are a sample of its population, j of them with
// the site's second allele, so the sample statistics of Tajima (1989) and
// Fay and Wu (2000) apply to j of n. Per site:
//   pi term        2 j (n - j) / (n (n - 1))  (the pairwise differences of
//                  the n chromosomes; spectrum/pool_diversity.hpp)
//   segregating    [0 < j < n]
//   theta_H term   2 j^2 / (n (n - 1))        (unfolded only: j must count
//                  the derived allele, or at least the non-reference one)
// Over a set of sites with sums Pi, S and H of these:
//   pi       = Pi / sites
//   theta_W  = S / a_n / sites,  a_n = sum_{i=1}^{n-1} 1/i  (Watterson 1975)
//   D        = (Pi - S / a_n) / sqrt(e1 S + e2 S (S - 1))   (Tajima 1989,
//              with his constants e1, e2 for n; see TajimaConstants)
//   theta_H  = H / sites
//   H        = pi - theta_H, per site, NOT normalised (Fay and Wu's own H;
//              the normalised form of Zeng et al. 2006 divides by a variance)
// Every value is NaN where it is undefined: no site; D also where S = 0 or
// where Tajima's variance is 0 (n <= 3: e1 = e2 = 0); theta_H and H for a
// folded spectrum. With posterior expectations S is no whole number; the
// formulas take it as it is.

// Sums over sites of the posterior expectations of the terms (a single
// site's expectations are the sums over that site, with sites = 1).
struct SSpectrumSums {
    double sites = 0.0;  // sites, or their weights
    double pi = 0.0;
    double segregating = 0.0;
    double thetaH = 0.0;  // 0 when folded

    SSpectrumSums& operator+=(const SSpectrumSums& o) {
        sites += o.sites;
        pi += o.pi;
        segregating += o.segregating;
        thetaH += o.thetaH;
        return *this;
    }
};

// The terms of j of n (n >= 2).
double PiTerm(unsigned j, unsigned n);
double SegregatingTerm(unsigned j, unsigned n);
double ThetaHTerm(unsigned j, unsigned n);

// Tajima's (1989) constants for a sample of n:
//   a1 = sum_{i<n} 1/i, a2 = sum_{i<n} 1/i^2, b1 = (n + 1) / (3 (n - 1)),
//   b2 = 2 (n^2 + n + 3) / (9 n (n - 1)), c1 = b1 - 1/a1,
//   c2 = b2 - (n + 2) / (a1 n) + a2 / a1^2, e1 = c1 / a1,
//   e2 = c2 / (a1^2 + a2).
struct STajimaConstants {
    double a1 = 0, a2 = 0, b1 = 0, b2 = 0, c1 = 0, c2 = 0, e1 = 0, e2 = 0;
};
STajimaConstants TajimaConstants(unsigned n);

struct SNeutrality {
    double sites = 0.0;
    double segregating = 0.0;  // E[S] over the set
    double pi = 0.0;           // per site
    double thetaW = 0.0;       // per site
    double tajimaD = 0.0;
    double thetaH = 0.0;  // per site
    double fayWuH = 0.0;  // pi - theta_H, per site, unnormalised
};

SNeutrality Neutrality(const SSpectrumSums& sums, unsigned n, bool folded);
