#pragma once
// One pool's diversity and the neutrality tests on it, from sums over a set
// of sites (a genome, a window) of each site's posterior expectations.
//
// The pool's n chromosomes are a sample of its population, j of them with
// the site's second allele, so the sample statistics of Tajima (1989) and
// Fay and Wu (2000) apply to j of n (spectrum/sample_diversity.hpp has them
// for known counts; here the counts are expectations). Per site:
//   pi term        2 j (n - j) / (n (n - 1))  (the pairwise differences of
//                  the n chromosomes; spectrum/pool_diversity.hpp)
//   segregating    [0 < j < n]
//   theta_H term   2 j^2 / (n (n - 1)) where 0 < j < n (unfolded only: j
//                  must count the derived allele, or at least the
//                  non-reference one; a site fixed for it is no S_j of Fay
//                  and Wu's)
// Over a set of sites with sums Pi, S and H of these:
//   pi       = Pi / sites
//   theta_W  = S / a_n / sites,  a_n = sum_{i=1}^{n-1} 1/i  (Watterson 1975)
//   D        = (Pi - S / a_n) / sqrt(e1 S + e2 S (S - 1))   (Tajima 1989,
//              spectrum/sample_diversity.hpp's TajimaD)
//   theta_H  = H / sites
//   H        = pi - theta_H, per site, NOT normalised (Fay and Wu's own H;
//              the normalised form of Zeng et al. 2006 divides by a variance)
// Every value is NaN where it is undefined: no site; D also where S = 0 or
// n <= 3 (Tajima's variance is then 0); theta_H and H for a folded
// spectrum. With posterior expectations S is no whole number; the formulas
// take it as it is.

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

// The terms of j of n (n >= 2); the theta_H term is spectrum/'s
// ThetaHTerm.
double PiTerm(unsigned j, unsigned n);
double SegregatingTerm(unsigned j, unsigned n);

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
