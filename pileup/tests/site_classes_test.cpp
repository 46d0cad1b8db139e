#include "pileup/site_classes.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ClassifyBases, ReferenceBaseIsClassZeroEvenWhenRare) {
    // C is the reference; G has most reads and becomes the minor allele.
    TBaseClasses c = ClassifyBases({0, 1, 5, 2}, 1);
    EXPECT_EQ(c[1], 0);
    EXPECT_EQ(c[2], 1);
    EXPECT_EQ(c[3], 2);
    EXPECT_EQ(c[0], 3);
}

TEST(ClassifyBases, WithoutReferenceTheMostCommonBaseIsClassZero) {
    TBaseClasses c = ClassifyBases({2, 0, 1, 7}, -1);
    EXPECT_EQ(c[3], 0);
    EXPECT_EQ(c[0], 1);
    EXPECT_EQ(c[2], 2);
    EXPECT_EQ(c[1], 3);
}

TEST(ClassifyBases, TiesGoToTheEarlierBaseInACGTOrder) {
    // No reference, every base equally common: A, C, G, T in order.
    TBaseClasses c = ClassifyBases({3, 3, 3, 3}, -1);
    EXPECT_EQ(c, (TBaseClasses{0, 1, 2, 3}));
    // Reference T; the other three tie.
    c = ClassifyBases({1, 1, 1, 4}, 3);
    EXPECT_EQ(c, (TBaseClasses{1, 2, 3, 0}));
    // Majority tie between G and T: G is the reference, T the minor allele.
    c = ClassifyBases({0, 0, 4, 4}, -1);
    EXPECT_EQ(c[2], 0);
    EXPECT_EQ(c[3], 1);
    // A tie for second place among non-reference bases.
    c = ClassifyBases({5, 0, 2, 2}, 0);
    EXPECT_EQ(c, (TBaseClasses{0, 3, 1, 2}));
}

TEST(ClassifyBases, ReferenceOutsideACGTFallsBackToTheMajority) {
    EXPECT_EQ(ClassifyBases({1, 6, 0, 0}, -1), ClassifyBases({1, 6, 0, 0}, 1));
    EXPECT_EQ(ClassifyBases({1, 6, 0, 0}, 7)[1], 0);
}

TEST(BaseIndex, MapsBamCodesAndLettersAndRejectsAmbiguity) {
    EXPECT_EQ(BaseIndexOfNt16(1), 0);
    EXPECT_EQ(BaseIndexOfNt16(2), 1);
    EXPECT_EQ(BaseIndexOfNt16(4), 2);
    EXPECT_EQ(BaseIndexOfNt16(8), 3);
    for (unsigned code : {0u, 3u, 5u, 15u}) {  // '=', M, R, N
        EXPECT_EQ(BaseIndexOfNt16(code), -1) << code;
    }
    EXPECT_EQ(BaseIndexOfLetter('g'), 2);
    EXPECT_EQ(BaseIndexOfLetter('T'), 3);
    EXPECT_EQ(BaseIndexOfLetter('N'), -1);
    EXPECT_EQ(BaseIndexOfLetter('R'), -1);
}

}  // namespace
