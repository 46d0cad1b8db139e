#include "model/site_classes.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ClassifyBases, ReferenceFirstThenByCountWithTiesInACGTOrder) {
    struct {
        TBaseCounts counts;
        int ref;
        TBaseClasses classes;
    } cases[] = {
        {{0, 1, 5, 2}, 1, {3, 0, 1, 2}},   // the reference C is class 0 though rare
        {{2, 0, 1, 7}, -1, {1, 3, 2, 0}},  // no reference: the majority T
        {{3, 3, 3, 3}, -1, {0, 1, 2, 3}},  // all tie
        {{1, 1, 1, 4}, 3, {1, 2, 3, 0}},   // the three others tie
        {{0, 0, 4, 4}, -1, {2, 3, 0, 1}},  // majority tie: G before T
        {{5, 0, 2, 2}, 0, {0, 3, 1, 2}},   // tie for the minor allele
        {{1, 6, 0, 0}, 1, {1, 0, 2, 3}},  {{1, 6, 0, 0}, -1, {1, 0, 2, 3}},
        {{1, 6, 0, 0}, 7, {1, 0, 2, 3}},  // reference outside ACGT: the majority
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClassifyBases(c.counts, c.ref), c.classes)
            << c.counts[0] << c.counts[1] << c.counts[2] << c.counts[3] << " ref " << c.ref;
    }
}

TEST(BaseIndex, MapsBamCodesAndLettersAndRejectsAmbiguity) {
    // BAM codes: '=', A, C, M, G, R, T, N.
    const std::pair<unsigned, int> codes[] = {{0, -1}, {1, 0},  {2, 1}, {3, -1},
                                              {4, 2},  {5, -1}, {8, 3}, {15, -1}};
    for (const auto& c : codes) {
        EXPECT_EQ(BaseIndexOfNt16(c.first), c.second) << c.first;
    }
    const std::pair<char, int> letters[] = {{'g', 2}, {'T', 3}, {'N', -1}, {'R', -1}};
    for (const auto& c : letters) {
        EXPECT_EQ(BaseIndexOfLetter(c.first), c.second) << c.first;
    }
}

}  // namespace
