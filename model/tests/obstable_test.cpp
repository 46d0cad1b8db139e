#include "model/obstable.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

#include "base/warnings.hpp"
#include "model/tests/obstable_oracle.hpp"

namespace {

using Q = std::vector<std::uint8_t>;

Q RandomScores(std::mt19937& rng, unsigned n, int low, int high) {
    std::uniform_int_distribution<int> score(low, high);
    Q q(n);
    for (auto& s : q) {
        s = static_cast<std::uint8_t>(score(rng));
    }
    return q;
}

double ExactTable(const Q& minor, const Q& major, std::vector<double>& table) {
    CObsTableWorkspace ws;
    return ComputeObsTable(minor.data(), minor.size(), major.data(), major.size(),
                           ETableMode::eExact, 0, ws, table);
}

TEST(ObsTableExact, AgreesWithSubsetEnumerationWithoutRowRules) {
    // Scores down to 0 and classes of up to 14 reads: rows qualfit's rules
    // would cut (tiny rows after a positive one) must be present here.
    std::mt19937 rng(11);
    std::uniform_int_distribution<unsigned> size(0, 14);
    std::ostringstream ignored;
    for (int trial = 0; trial < 200; ++trial) {
        const Q minor = RandomScores(rng, size(rng), 0, 60);
        const Q major = RandomScores(rng, size(rng), trial % 2 ? 30 : 0, 60);
        std::vector<double> table;
        EXPECT_EQ(ExactTable(minor, major, table), 0.0);
        const std::vector<double> want =
            oracle::ObservationTable(oracle::ErrCountDist(minor, 0, ignored, false),
                                     oracle::ErrCountDist(major, 0, ignored, false));
        ASSERT_EQ(table.size(), want.size());
        for (std::size_t t = 0; t < want.size(); ++t) {
            EXPECT_NEAR(table[t], want[t], 1e-12 * want[t]) << "trial " << trial << " t " << t;
        }
    }
}

TEST(ObsTableExact, DeepNoisySitesKeepEveryTermAndWarnNothing) {
    // 300 low-quality reads: qualfit's mode skips rows and reports them; the
    // exact table loses nothing, so the error configurations it weighs sum
    // to one: sum_t T[t] C(n, t) = sum_i A[i] sum_j B[j] = 1.
    std::mt19937 rng(3);
    const Q minor = RandomScores(rng, 40, 2, 20);
    const Q major = RandomScores(rng, 260, 2, 20);
    std::vector<std::string> warnings;
    CScopedWarningSink sink([&](const std::string& line) { warnings.push_back(line); });
    std::vector<double> table;
    ASSERT_EQ(ExactTable(minor, major, table), 0.0);
    EXPECT_TRUE(warnings.empty());
    long double total = 0;
    for (unsigned t = 0; t < table.size(); ++t) {
        total += static_cast<long double>(table[t]) *
                 std::exp(std::lgamma(301.0L) - std::lgamma(t + 1.0L) - std::lgamma(301.0L - t));
    }
    EXPECT_NEAR(static_cast<double>(total), 1.0, 1e-11);

    CObsTableWorkspace ws;
    std::vector<double> limited;
    ComputeObsTable(minor.data(), minor.size(), major.data(), major.size(),
                    ETableMode::eSubsetLimit, 77, ws, limited);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front().rfind("Depth/numFalse too big at #77; last prob: ", 0), 0u);
}

TEST(ObsTableExact, BalancedSitesBeyondTheDoubleRangeAreScaled) {
    // Equal scores make both error counts binomial, so ln T[t] has a closed
    // form: ln sum_i Bin(i; m, e) Bin(t - m + i; M, e) - ln C(n, t), summed
    // here in long double logs. At 2400 reads, 1200 of them minor, the
    // largest entries are about 1e-720: a plain double table would be 0.
    const unsigned m = 1200, big = 1200, n = m + big;
    const Q minor(m, 25), major(big, 25);
    std::vector<double> table;
    const double scale = ExactTable(minor, major, table);
    ASSERT_LT(scale, -1600.0);
    const long double e = std::pow(10.0L, -2.5L);
    auto lbin = [&](unsigned k, unsigned size) {
        return std::lgamma(size + 1.0L) - std::lgamma(k + 1.0L) - std::lgamma(size - k + 1.0L) +
               k * std::log(e) + (size - k) * std::log1p(-e);
    };
    for (unsigned t : {1150u, 1190u, 1200u, 1210u, 1260u}) {
        long double best = -INFINITY, sum = 0;
        std::vector<long double> terms;
        for (unsigned i = 0; i <= m; ++i) {
            if (t + i < m || t + i - m > big) {
                continue;
            }
            terms.push_back(lbin(i, m) + lbin(t + i - m, big));
            best = std::max(best, terms.back());
        }
        for (long double v : terms) {
            sum += std::exp(v - best);
        }
        const long double want =
            best + std::log(sum) -
            (std::lgamma(n + 1.0L) - std::lgamma(t + 1.0L) - std::lgamma(n - t + 1.0L));
        EXPECT_NEAR(std::log(table[t]) + scale, static_cast<double>(want), 1e-9) << t;
    }
}

}  // namespace
