// The diversity statistics of a sample against a hand computation of
// Tajima's and Fay and Wu's formulas, and the mean pairwise differences
// against explicit chromosomes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "spectrum/sample_diversity.hpp"

// Four chromosomes, six sites with derived counts 1, 1, 2, 3, 0 and 4 (the
// last two do not segregate), worked by hand in fractions:
//   a1 = 1 + 1/2 + 1/3 = 11/6, a2 = 1 + 1/4 + 1/9 = 49/36,
//   b1 = 5/9, b2 = 2 (16 + 4 + 3) / (9 4 3) = 23/54,
//   c1 = 5/9 - 6/11 = 1/99, c2 = 23/54 - 6/(4 11/6) + 49/121 = 83/6534,
//   e1 = (1/99) / (11/6) = 2/363, e2 = (83/6534) / (170/36) = 83/30855;
//   pairwise = sum j (4 - j) / 6 = (3 + 3 + 4 + 3) / 6 = 13/6, S = 4,
//   d = 13/6 - 4 / (11/6) = 13/6 - 24/11 = -1/66,
//   Var = 4 e1 + 12 e2 = 680/30855 + 996/30855 = 1676/30855;
//   theta_H sum = (1 + 1 + 4 + 9) / 6 = 15/6, H sum = 13/6 - 15/6 = -1/3.
TEST(SampleDiversity, TajimaAndFayWuByHandForFourChromosomes) {
    CSampleDiversity d(4);
    for (unsigned j : {1, 1, 2, 3, 0, 4}) {
        d.Add(j);
    }
    EXPECT_NEAR(d.Pairwise(), 13.0 / 6, 1e-15);
    EXPECT_EQ(d.Segregating(), 4u);
    EXPECT_NEAR(d.ThetaHSum(), 15.0 / 6, 1e-15);
    EXPECT_NEAR(d.TajimaD(), (-1.0 / 66) / std::sqrt(1676.0 / 30855), 1e-14);
    EXPECT_NEAR(d.TajimaD(), -0.0650102, 1e-6);
    const double sites = 10;  // four more positions where nothing varies
    EXPECT_NEAR(d.Pi(sites), 13.0 / 60, 1e-15);
    EXPECT_NEAR(d.ThetaW(sites), 4.0 / (11.0 / 6) / 10, 1e-15);
    EXPECT_NEAR(d.ThetaH(sites), 15.0 / 60, 1e-15);
    EXPECT_NEAR(d.FayWuH(sites), -1.0 / 30, 1e-15);
    EXPECT_NEAR(WattersonA(4), 11.0 / 6, 1e-15);
    EXPECT_EQ(WattersonA(2), 1.0);

    // Nothing segregates: D has no value, the others are 0.
    CSampleDiversity none(10);
    none.Add(0);
    none.Add(10);
    EXPECT_TRUE(std::isnan(none.TajimaD()));
    EXPECT_EQ(none.Pi(2), 0.0);
    EXPECT_EQ(none.ThetaH(2), 0.0);

    // Two or three chromosomes: Tajima's variance is 0 (c1 = c2 = 0), so D
    // has no value. Known counts give 0/0 there anyway, but expected
    // counts (a pool's posterior) need not: D was +-infinity.
    for (unsigned n : {2u, 3u}) {
        CSampleDiversity few(n);
        few.Add(1);
        few.Add(1);
        EXPECT_TRUE(std::isnan(few.TajimaD())) << n;
        EXPECT_TRUE(std::isnan(TajimaD(n, 2.0, 1.0))) << n;
        EXPECT_TRUE(std::isnan(TajimaD(n, 0.3, 1.7))) << n;
    }
}

// The pairwise sum is the mean, over every pair of chromosomes, of the
// sites where they differ: counted here on explicit chromosomes.
TEST(SampleDiversity, PairwiseIsTheMeanDifferenceOfEveryPair) {
    std::mt19937 rng(5);
    for (unsigned n : {2u, 3u, 7u, 20u}) {
        std::vector<std::vector<int>> chromosomes(n);
        CSampleDiversity d(n);
        unsigned segregating = 0;
        for (int site = 0; site < 60; ++site) {
            const unsigned j = std::uniform_int_distribution<unsigned>(0, n)(rng);
            // j carriers among the n, in a random order.
            std::vector<int> carries(n, 0);
            for (unsigned c = 0; c < j; ++c) {
                carries[c] = 1;
            }
            std::shuffle(carries.begin(), carries.end(), rng);
            for (unsigned c = 0; c < n; ++c) {
                chromosomes[c].push_back(carries[c]);
            }
            segregating += j > 0 && j < n;
            d.Add(j);
        }
        double differences = 0, pairs = 0;
        for (unsigned a = 0; a < n; ++a) {
            for (unsigned b = a + 1; b < n; ++b, ++pairs) {
                for (std::size_t s = 0; s < chromosomes[a].size(); ++s) {
                    differences += chromosomes[a][s] != chromosomes[b][s];
                }
            }
        }
        EXPECT_NEAR(d.Pairwise(), differences / pairs, 1e-12) << n;
        EXPECT_EQ(d.Segregating(), segregating) << n;
    }
}
