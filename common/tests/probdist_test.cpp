#include "common/probdist.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <stdexcept>

namespace {

// A pair is taken only when white space follows it; the first bad token ends
// the reading; line breaks carry no meaning; order, duplicates and negative
// probabilities stay as read.
TEST(ProbDistFile, ReadsPairsUntilTheStreamIsNoLongerGood) {
    const struct {
        const char* text;
        TProbDist expected;
    } cases[] = {{"10 0.5\n20 0.5\n", {{10, 0.5}, {20, 0.5}}},
                 {"10 0.5\n20 0.5", {{10, 0.5}}},
                 {"10 0.5 20 0.5 ", {{10, 0.5}, {20, 0.5}}},
                 {"10 0.5 x 20 0.5\n", {{10, 0.5}}},
                 {"10 0.5\n20 abc\n30 0.1\n", {{10, 0.5}}},
                 {"30 1.0 40\n", {{30, 1.0}}},
                 {"7\n0.25 3 0.5\n\n7   -1e-1\n", {{7, 0.25}, {3, 0.5}, {7, -0.1}}},
                 {"", {}}};
    for (const auto& c : cases) {
        TProbDist dist{{1, 0.5}};
        std::istringstream in(c.text);
        ReadDistribution(in, dist);
        TProbDist expected{{1, 0.5}};  // reading appends
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(dist, expected) << '"' << c.text << '"';
    }
}

TEST(ProbDistFile, LoadDistributionsFillsTheProcessWideInstances) {
    g_ScoreDist.clear();
    g_DepthDist.clear();
    std::istringstream scores("30 0.75\n40 0.25\n");
    std::istringstream depths("12 1\n");
    LoadDistributions(scores, depths);
    EXPECT_EQ(g_ScoreDist, (TProbDist{{30, 0.75}, {40, 0.25}}));
    EXPECT_EQ(g_DepthDist, (TProbDist{{12, 1.0}}));
    g_ScoreDist.clear();
    g_DepthDist.clear();
}

// The first pair whose cumulative probability reaches u; the last pair when
// u exceeds the total.
TEST(ProbDistDraw, CumulativeWalk) {
    const TProbDist half{{5, 0.2}, {7, 0.3}};
    const TProbDist zeroFirst{{5, 0.0}, {7, 1.0}};
    const TProbDist over{{5, 0.8}, {7, 0.8}, {9, 0.8}};
    const TProbDist negative{{1, -0.5}, {2, 0.75}, {3, 0.75}};
    const double tiny = std::numeric_limits<double>::denorm_min();
    const struct {
        const TProbDist& dist;
        double u;
        unsigned int expected;
    } cases[] = {// The boundary belongs to the earlier pair; missing mass to the last.
                 {half, 0.0, 5},
                 {half, 0.2, 5},
                 {half, 0.2000001, 7},
                 {half, 0.5, 7},
                 {half, 0.9, 7},
                 // A zero probability is drawn only for u = 0.
                 {zeroFirst, 0.0, 5},
                 {zeroFirst, tiny, 7},
                 {zeroFirst, 0.999999, 7},
                 // Pairs beyond a total of one are never reached.
                 {over, 0.8, 5},
                 {over, 0.81, 7},
                 {over, 0.999999, 7},
                 // Cumulative -0.5, then 0.25, then 1.
                 {negative, 0.0, 2},
                 {negative, 0.3, 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(DrawFromDist(c.dist, c.u, "test"), c.expected) << "case " << &c - cases;
    }
}

TEST(ProbDistDraw, EmptyDistributionIsANamedError) {
    try {
        DrawFromDist({}, 0.5, "score distribution (file 'none.dat')");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot draw a value: the score distribution (file 'none.dat') is empty.");
    }
}

TEST(ProbDistMean, SumOfValueTimesProbabilityWithoutNormalising) {
    EXPECT_DOUBLE_EQ(MeanOfDist({{2, 0.5}, {4, 0.25}}), 2.0);
    EXPECT_EQ(MeanOfDist({}), 0.0);
    EXPECT_DOUBLE_EQ(MeanOfDist({{10, 0.5}, {20, 0.5}, {10, -0.5}}), 10.0);
}

}  // namespace
