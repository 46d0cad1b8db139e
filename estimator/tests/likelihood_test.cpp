// The log-likelihood, the posterior probabilities and the grid.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "estimator/qscores.hpp"
#include "estimator/tests/test_util.hpp"

namespace {

using testutil::C;
using testutil::Q;
const double kInf = std::numeric_limits<double>::infinity();

// A deterministic little population: depths 8..15, scores 15..40, a third
// of the sites polymorphic.
void AddSites(CQScores& data, int count) {
    testutil::AddSites(data, count, {12345, 8, 8, 15, 26, 3});
}

// A site of one read whose stored table is the text given.
std::unique_ptr<C> OneRead(const std::string& table, bool useAll) {
    C::TScores scores;
    scores[C::eMajor] = Q({30});
    return std::make_unique<C>(1, scores, table, useAll, nullptr);
}

TEST(LogLike, EmptyDataSetIsZeroInRangeAndMinusInfinityOutside) {
    CQScores data;
    EXPECT_EQ(data.GetLogLike({{0.01, true}}), 0.0);
    EXPECT_EQ(data.GetLogLike({{-0.01, true}}), -kInf);
    data.SetSpectrum(new CFSGrowth);
    EXPECT_EQ(data.GetLogLike({{0.01, true}, {0.05, true}}), 0.0);
    EXPECT_EQ(data.GetLogLike({{0.0, true}, {0.05, true}}), -kInf);
}

TEST(LogLike, IsTheSumOfLogSiteProbabilities) {
    CQScores data;
    C::TScores scores;
    scores[C::eMajor] = Q({30});
    scores[C::eMinor] = Q({20});
    data.AddColumn(std::make_unique<C>(1, scores, "0.00999 0.49451 0.00099 ", false, nullptr));
    data.AddColumn(OneRead("0.25 0.75 ", false));
    // Folded neutral, theta 0.01: depth 2 gives 0.495, 0.01, 0.495; depth 1
    // gives 0.5 twice.
    const double expected = std::log(0.00999 * 0.495 + 0.49451 * 0.01 + 0.00099 * 0.495) +
                            std::log(0.25 * 0.5 + 0.75 * 0.5);
    EXPECT_NEAR(data.GetLogLike({{0.01, true}}), expected, 1e-12);

    double sum = 0.0;
    for (const auto& c : data.GetColumns()) {
        sum += std::log(c->GetSiteProb(data.GetSpectrum()));
    }
    EXPECT_NEAR(data.GetLogLike(data.GetSpectrum().GetParams()), sum, 1e-12);
    // Out of range whatever the data.
    EXPECT_EQ(data.GetLogLike({{0.3, true}}), -kInf);
    EXPECT_EQ(data.GetLogLike({{0.01, true}, {0.02, true}}), -kInf);  // p above theta
}

TEST(LogLike, ImpossibleSiteMakesTheTotalMinusInfinity) {
    CQScores data;
    data.SetUseAll(true);
    AddSites(data, 5);
    data.GetSpectrum().SetFolded(false);
    ASSERT_TRUE(std::isfinite(data.GetLogLike({{0.01, true}})));
    // Unfolded, one read never carries the minor allele: pi(1, 1) = 0.
    data.AddColumn(OneRead("0 1 ", true));
    EXPECT_EQ(data.GetLogLike({{0.01, true}}), -kInf);
}

TEST(LogLike, LeavesTheDataSetsModelAlone) {
    // Other values and other lengths than the model's own vector.
    const std::vector<std::pair<CFreqSpectrum*, std::vector<TParamVector>>> cases = {
        {new CFSNeutral, {{{0.02, true}, {0.001, true}, {1.0, false}}, {{0.3, true}}}},
        {new CFSGrowth, {{{0.03, true}, {0.2, true}}, {{0.03, true}, {0.2, true}, {5.0, true}}}}};
    for (const auto& [spectrum, others] : cases) {
        CQScores data;
        AddSites(data, 20);
        data.SetSpectrum(spectrum);
        CFreqSpectrum& model = data.GetSpectrum();
        const double before = model(1, 10);
        const TParamVector params = model.GetParams();
        const double ll = data.GetLogLike(params);
        for (const TParamVector& other : others) {
            data.GetLogLike(other);
            EXPECT_EQ(model.GetParams(), params);
            EXPECT_EQ(model(1, 10), before);
            EXPECT_TRUE(model.IsFolded());
        }
        EXPECT_EQ(data.GetLogLike(params), ll);  // nothing leaked between calls
    }
}

TEST(LogLike, NaNFromTheModelIsReturnedNotHidden) {
    // A large theta gives the growth model a negative probability of no
    // minor copy, inside its range check; a monomorphic site then has a
    // negative site probability.
    CQScores data;
    data.SetSpectrum(new CFSGrowth);
    C::TScores scores;
    scores[C::eMajor] = Q({30, 30});
    data.AddColumn(std::make_unique<C>(1, scores, "", false, nullptr));
    EXPECT_TRUE(std::isnan(data.GetLogLike({{100.0, true}, {0.05, true}})));
    EXPECT_TRUE(std::isfinite(data.GetLogLike({{0.01, true}, {0.05, true}})));
}

TEST(PostProb, SumsToOneOverTheMinorCount) {
    for (bool useAll : {false, true}) {
        CQScores data;
        data.SetUseAll(useAll);
        data.SetSpectrum(new CFSGrowth);
        data.GetSpectrum().SetFolded(!useAll);
        AddSites(data, 40);
        for (const auto& c : data.GetColumns()) {
            const int n = static_cast<int>(c->GetDepth(C::eAll));
            double sum = 0.0;
            for (int k = 0; k <= n; ++k) {
                const double p = c->GetPostProb(k, data.GetSpectrum());
                EXPECT_GE(p, 0.0);
                sum += p;
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << "site " << c->m_Pos;
        }
    }
}

// Lines of the grid as (parameters..., log-likelihood) rows.
std::vector<std::vector<double>> GridRows(const std::string& text) {
    std::vector<std::vector<double>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<double> row;
        std::string field;
        while (std::getline(fields, field, '\t')) {
            row.push_back(field == "-inf"                          ? -kInf
                          : field.find("nan") != std::string::npos ? std::nan("")
                                                                   : std::stod(field));
        }
        rows.push_back(row);
    }
    return rows;
}

const TParamVector kLow = {{0.01, true}, {25.0, true}};
const TParamVector kHigh = {{0.02, true}, {75.0, true}};
const TParamVector kStep = {{0.001, true}, {5.0, true}};

TEST(Grid, RunsTheOdometerAndKeepsTheBestPoint) {
    CQScores data;
    AddSites(data, 30);
    data.SetSpectrum(new CFSGrowth);
    std::ostringstream out;
    data.GridLogLike(kLow, kHigh, kStep, out);
    const auto rows = GridRows(out.str());
    ASSERT_EQ(rows.size(), 121u);
    EXPECT_EQ(out.str().substr(0, 8), "0.01\t25\t");
    EXPECT_EQ(rows[1][0], 0.011);  // coordinate 0 runs fastest
    EXPECT_EQ(rows[11][1], 30.0);
    EXPECT_EQ(out.str().substr(out.str().rfind("\n", out.str().size() - 2) + 1, 8), "0.02\t75\t");

    std::size_t best = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 3u);
        if (rows[i][2] > rows[best][2]) {
            best = i;
        }
    }
    const TParamVector& fit = data.GetSpectrum().GetParams();
    ASSERT_EQ(fit.size(), 2u);
    EXPECT_NEAR(fit[0].first, rows[best][0], 1e-12);
    EXPECT_NEAR(fit[1].first, rows[best][1], 1e-12);
    EXPECT_NEAR(data.GetLogLike(fit), rows[best][2], 1e-5 * std::fabs(rows[best][2]));
}

TEST(Grid, NeutralModelIsOutOfRangeEverywhereAndKeepsTheStart) {
    CQScores data;
    AddSites(data, 10);
    std::ostringstream out;
    data.GridLogLike(kLow, kHigh, kStep, out);
    const auto rows = GridRows(out.str());
    ASSERT_EQ(rows.size(), 121u);
    for (const auto& row : rows) {
        EXPECT_EQ(row[2], -kInf);
    }
    EXPECT_EQ(data.GetSpectrum().GetParams(), kLow);
}

TEST(Grid, CoordinateIncludesTheFirstValueNotBelowItsBound) {
    CQScores data;
    AddSites(data, 10);
    std::ostringstream out;
    data.GridLogLike({{0.0, true}}, {{0.3, true}}, {{0.1, true}}, out);
    // 0.1 + 0.1 + 0.1 exceeds 0.3 in double precision: four values.
    const auto rows = GridRows(out.str());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0], 0.0);
    EXPECT_EQ(rows[3][1], -kInf);  // theta 0.3 is out of range
    EXPECT_GT(rows[1][1], rows[0][1]);
}

TEST(Grid, NaNLinesArePrintedButNeverChosen) {
    CQScores data;
    data.SetSpectrum(new CFSGrowth);
    C::TScores scores;
    scores[C::eMajor] = Q({30, 30});
    data.AddColumn(std::make_unique<C>(1, scores, "", false, nullptr));
    std::ostringstream out;
    data.GridLogLike({{0.01, true}, {0.05, true}}, {{200.0, true}, {0.05, true}},
                     {{100.0, true}, {1.0, true}}, out);
    const auto rows = GridRows(out.str());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(std::isfinite(rows[0][2]));
    EXPECT_EQ(rows[1][0], 100.01);
    EXPECT_TRUE(std::isnan(rows[1][2]));
    EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.01, true}, {0.05, true}}));
}

}  // namespace
