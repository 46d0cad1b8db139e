#include "common/probdist.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace {

TProbDist Read(const std::string& text) {
    std::istringstream in(text);
    TProbDist dist;
    ReadDistribution(in, dist);
    return dist;
}

TEST(ProbDistFile, PairsEndedByLineBreaksAreAllRead) {
    TProbDist dist = Read("10 0.5\n20 0.5\n");
    ASSERT_EQ(dist.size(), 2u);
    EXPECT_EQ(dist[0], std::make_pair(10u, 0.5));
    EXPECT_EQ(dist[1], std::make_pair(20u, 0.5));
}

TEST(ProbDistFile, LastPairWithoutFollowingWhiteSpaceIsDropped) {
    TProbDist dist = Read("10 0.5\n20 0.5");
    ASSERT_EQ(dist.size(), 1u);
    EXPECT_EQ(dist[0], std::make_pair(10u, 0.5));
    // A blank instead of a line end is enough.
    EXPECT_EQ(Read("10 0.5 20 0.5 ").size(), 2u);
}

TEST(ProbDistFile, FirstBadTokenEndsTheReading) {
    TProbDist dist = Read("10 0.5 x 20 0.5\n");
    ASSERT_EQ(dist.size(), 1u);
    EXPECT_EQ(dist[0].first, 10u);
    // A bad probability loses its value too.
    EXPECT_EQ(Read("10 0.5\n20 abc\n30 0.1\n").size(), 1u);
}

TEST(ProbDistFile, UnpairedValueAtTheEndIsDropped) {
    TProbDist dist = Read("30 1.0 40\n");
    ASSERT_EQ(dist.size(), 1u);
    EXPECT_EQ(dist[0], std::make_pair(30u, 1.0));
}

TEST(ProbDistFile, LineBreaksCarryNoMeaningAndOrderIsKept) {
    TProbDist dist = Read("7\n0.25 3 0.5\n\n7   -1e-1\n");
    ASSERT_EQ(dist.size(), 3u);
    EXPECT_EQ(dist[0], std::make_pair(7u, 0.25));
    EXPECT_EQ(dist[1], std::make_pair(3u, 0.5));
    // Duplicates and negative probabilities stay as read.
    EXPECT_EQ(dist[2].first, 7u);
    EXPECT_DOUBLE_EQ(dist[2].second, -0.1);
    EXPECT_TRUE(Read("").empty());
}

TEST(ProbDistFile, ReadingAppendsToWhatIsThere) {
    TProbDist dist{{1, 0.5}};
    std::istringstream in("2 0.5\n");
    ReadDistribution(in, dist);
    ASSERT_EQ(dist.size(), 2u);
    EXPECT_EQ(dist[1].first, 2u);
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

TEST(ProbDistDraw, CumulativeBoundaryBelongsToTheEarlierPair) {
    TProbDist dist{{5, 0.2}, {7, 0.3}};
    EXPECT_EQ(DrawFromDist(dist, 0.0, "test"), 5u);
    EXPECT_EQ(DrawFromDist(dist, 0.2, "test"), 5u);
    EXPECT_EQ(DrawFromDist(dist, 0.2000001, "test"), 7u);
    EXPECT_EQ(DrawFromDist(dist, 0.5, "test"), 7u);
    // Sum 0.5: the missing mass falls on the last pair.
    EXPECT_EQ(DrawFromDist(dist, 0.9, "test"), 7u);
}

TEST(ProbDistDraw, ZeroProbabilityIsDrawnOnlyForZero) {
    TProbDist dist{{5, 0.0}, {7, 1.0}};
    EXPECT_EQ(DrawFromDist(dist, 0.0, "test"), 5u);
    EXPECT_EQ(DrawFromDist(dist, std::numeric_limits<double>::denorm_min(), "test"), 7u);
    EXPECT_EQ(DrawFromDist(dist, 0.999999, "test"), 7u);
}

TEST(ProbDistDraw, PairsBeyondTotalOneAreNeverReached) {
    TProbDist dist{{5, 0.8}, {7, 0.8}, {9, 0.8}};
    EXPECT_EQ(DrawFromDist(dist, 0.8, "test"), 5u);
    EXPECT_EQ(DrawFromDist(dist, 0.81, "test"), 7u);
    EXPECT_EQ(DrawFromDist(dist, 0.999999, "test"), 7u);
}

TEST(ProbDistDraw, NegativeProbabilitiesMoveTheWalkOn) {
    TProbDist dist{{1, -0.5}, {2, 0.75}, {3, 0.75}};
    EXPECT_EQ(DrawFromDist(dist, 0.0, "test"), 2u);  // cumulative -0.5, then 0.25
    EXPECT_EQ(DrawFromDist(dist, 0.3, "test"), 3u);
}

TEST(ProbDistDraw, EmptyDistributionIsANamedError) {
    TProbDist empty;
    try {
        DrawFromDist(empty, 0.5, "score distribution (file 'none.dat')");
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
