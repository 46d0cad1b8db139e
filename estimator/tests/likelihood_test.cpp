// The log-likelihood and the grid.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "estimator/qscores.hpp"
#include "estimator/tests/test_util.hpp"

namespace {

using testutil::AddSites;
using testutil::C;
using testutil::Q;
using testutil::Site;
const double kInf = std::numeric_limits<double>::infinity();

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
    data.AddColumn(Site(1, {Q{30}, Q{20}, {}, {}}, "0.00999 0.49451 0.00099 "));
    data.AddColumn(Site(2, {Q{30}, {}, {}, {}}, "0.25 0.75 "));
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
    data.AddColumn(Site(9, {Q{30}, {}, {}, {}}, "0 1 ", true));
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
    CQScores data;
    data.SetSpectrum(new CFSGrowth);
    data.AddColumn(testutil::NaNProneSite());
    EXPECT_TRUE(std::isnan(data.GetLogLike({{100.0, true}, {0.05, true}})));
    EXPECT_TRUE(std::isfinite(data.GetLogLike({{0.01, true}, {0.05, true}})));
}

// The grid printed for data as (parameters..., log-likelihood) rows.
std::vector<std::vector<double>> Grid(CQScores& data, const TParamVector& low,
                                      const TParamVector& high, const TParamVector& step,
                                      std::string* text = nullptr) {
    std::ostringstream out;
    data.GridLogLike(low, high, step, out);
    std::vector<std::vector<double>> rows;
    std::istringstream lines(out.str());
    std::string line, field;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        rows.emplace_back();
        while (std::getline(fields, field, '\t')) {
            rows.back().push_back(std::stod(field));  // reads "-inf" and "nan" too
        }
    }
    if (text != nullptr) {
        *text = out.str();
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
    std::string text;
    const auto rows = Grid(data, kLow, kHigh, kStep, &text);
    ASSERT_EQ(rows.size(), 121u);
    EXPECT_EQ(text.substr(0, 8), "0.01\t25\t");
    EXPECT_EQ(rows[1][0], 0.011);  // coordinate 0 runs fastest
    EXPECT_EQ(rows[11][1], 30.0);
    EXPECT_EQ(text.substr(text.rfind("\n", text.size() - 2) + 1, 8), "0.02\t75\t");
    std::size_t best = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 3u);
        best = rows[i][2] > rows[best][2] ? i : best;
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
    const auto rows = Grid(data, kLow, kHigh, kStep);
    ASSERT_EQ(rows.size(), 121u);
    for (const auto& row : rows) {
        EXPECT_EQ(row[2], -kInf);
    }
    EXPECT_EQ(data.GetSpectrum().GetParams(), kLow);
}

TEST(Grid, CoordinateIncludesTheFirstValueNotBelowItsBound) {
    CQScores data;
    AddSites(data, 10);
    // 0.1 + 0.1 + 0.1 exceeds 0.3 in double precision: four values.
    const auto rows = Grid(data, {{0.0, true}}, {{0.3, true}}, {{0.1, true}});
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0], 0.0);
    EXPECT_EQ(rows[3][1], -kInf);  // theta 0.3 is out of range
    EXPECT_GT(rows[1][1], rows[0][1]);
}

TEST(Grid, NaNLinesArePrintedButNeverChosen) {
    CQScores data;
    data.SetSpectrum(new CFSGrowth);
    data.AddColumn(testutil::NaNProneSite());
    const auto rows = Grid(data, {{0.01, true}, {0.05, true}}, {{200.0, true}, {0.05, true}},
                           {{100.0, true}, {1.0, true}});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(std::isfinite(rows[0][2]));
    EXPECT_EQ(rows[1][0], 100.01);
    EXPECT_TRUE(std::isnan(rows[1][2]));
    EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.01, true}, {0.05, true}}));
}

}  // namespace
