// The simplex fit of the spectrum parameters.

#include <gsl/gsl_math.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "estimator/fsmaximizer.hpp"
#include "estimator/qscores.hpp"
#include "estimator/tests/test_util.hpp"

namespace {

using testutil::C;
using testutil::Q;

// Depths 10..19, scores 20..40; every fourth site has a few minor reads.
void AddSites(CQScores& data, int count) {
    testutil::AddSites(data, count, {777, 10, 10, 20, 21, 4});
}

struct CVector {
    explicit CVector(std::vector<double> values) : m_V(gsl_vector_alloc(values.size())) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            gsl_vector_set(m_V, i, values[i]);
        }
    }
    ~CVector() { gsl_vector_free(m_V); }
    gsl_vector* m_V;
};

// A fitted point is a local maximum: no neighbour within 1% in any
// coordinate that is in range is better by more than rounding.
void ExpectLocalMaximum(const CQScores& data) {
    const TParamVector fit = data.GetSpectrum().GetParams();
    const double ll = data.GetLogLike(fit);
    ASSERT_TRUE(std::isfinite(ll));
    for (std::size_t i = 0; i < fit.size(); ++i) {
        for (double factor : {0.99, 1.01}) {
            TParamVector near = fit;
            near[i].first *= factor;
            EXPECT_LE(data.GetLogLike(near), ll + 1e-7) << "coordinate " << i;
        }
    }
}

TEST(Maximizer, DimensionIsTheNumberOfGivenParameters) {
    CQScores data;
    AddSites(data, 4);
    CQScores::CFSMaximizer neutral(&data);
    EXPECT_EQ(neutral.GetDimension(), 1u);
    data.SetSpectrum(new CFSGrowth);
    CQScores::CFSMaximizer growth(&data);
    EXPECT_EQ(growth.GetDimension(), 2u);
}

TEST(Maximizer, FitsTheNeutralThetaToALocalMaximum) {
    CQScores data;
    AddSites(data, 200);
    const double start = data.GetLogLike(data.GetSpectrum().GetParams());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    CQScores::CFSMaximizer fit(&data);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the fit prints nothing
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(fit.IsConverged());
    const TParamVector& p = data.GetSpectrum().GetParams();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(p[0].second);
    EXPECT_NE(p[0].first, 0.01);
    EXPECT_GT(data.GetLogLike(p), start);
    ExpectLocalMaximum(data);
}

TEST(Maximizer, FitsBothGrowthParametersAndLeavesNoOtherEntries) {
    CQScores data;
    AddSites(data, 150);
    data.SetSpectrum(new CFSGrowth);
    data.GetSpectrum().SetParams(TParamVector{{0.02, true}, {0.5, true}, {7.0, false}});
    const double start = data.GetLogLike(data.GetSpectrum().GetParams());
    CQScores::CFSMaximizer fit(&data);
    const TParamVector& p = data.GetSpectrum().GetParams();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(p[0].second && p[1].second);
    EXPECT_GT(data.GetLogLike(p), start);
    EXPECT_FALSE(data.GetSpectrum().ParamsOutOfRange());
}

TEST(Maximizer, StartVertexOutsideTheDomainDoesNotStopTheFit) {
    // Theta 0.245 puts the vertex 0.255 beyond the neutral bound; (0.01,
    // 0.005) puts (0.01, 0.015) there, p above theta. GSL's simplex aborts on
    // a non-finite vertex value; the fit must carry on inside the domain.
    const std::vector<std::pair<TParamVector, TParamVector>> cases = {
        {{{0.245, true}}, {{0.255, true}}},
        {{{0.01, true}, {0.005, true}}, {{0.01, true}, {0.015, true}}}};
    for (const auto& [start, vertex] : cases) {
        CQScores data;
        AddSites(data, 100);
        data.GetSpectrum().SetParams(start);
        ASSERT_EQ(data.GetLogLike(vertex), -HUGE_VAL);
        CQScores::CFSMaximizer fit(&data);
        const TParamVector& p = data.GetSpectrum().GetParams();
        EXPECT_EQ(p.size(), start.size());
        EXPECT_FALSE(data.GetSpectrum().ParamsOutOfRange());
        EXPECT_TRUE(std::isfinite(data.GetLogLike(p)));
        EXPECT_GE(data.GetLogLike(p), data.GetLogLike(start));
    }
}

TEST(Maximizer, ObjectiveIsTheNegatedLogLikelihoodAndHugeOutsideTheDomain) {
    CQScores data;
    AddSites(data, 20);
    CQScores::CFSMaximizer fit(&data);
    CVector inside({0.012});
    EXPECT_DOUBLE_EQ(fit.F(inside.m_V), -data.GetLogLike({{0.012, true}}));
    CVector outside({-0.5});
    EXPECT_EQ(fit.F(outside.m_V), GSL_DBL_MAX);
    CVector notANumber({std::nan("")});
    EXPECT_EQ(fit.F(notANumber.m_V), GSL_DBL_MAX);

    data.SetSpectrum(new CFSGrowth);
    C::TScores scores;
    scores[C::eMajor] = Q({30, 30});
    data.AddColumn(std::make_unique<C>(99, scores, "", false, nullptr));
    CVector negative({100.0, 0.05});  // negative probabilities: NaN
    ASSERT_TRUE(std::isnan(data.GetLogLike({{100.0, true}, {0.05, true}})));
    EXPECT_EQ(fit.F(negative.m_V), GSL_DBL_MAX);

    // The growth model computes a NaN rate as the smallest one, finite; as
    // a coordinate it is outside the domain all the same.
    ASSERT_TRUE(std::isfinite(data.GetLogLike({{0.01, true}, {std::nan(""), true}})));
    CVector nanRate({0.01, std::nan("")});
    EXPECT_EQ(fit.F(nanRate.m_V), GSL_DBL_MAX);
    CVector infiniteTheta({HUGE_VAL, 0.05});
    EXPECT_EQ(fit.F(infiniteTheta.m_V), GSL_DBL_MAX);
}

TEST(Maximizer, FitNearTheLargestDoublesNeverEndsOnANonFiniteParameter) {
    // Reflections of vertices near 1e308 overflow to infinite and NaN
    // coordinates.
    CQScores data;
    AddSites(data, 20);
    data.SetSpectrum(new CFSGrowth);
    data.GetSpectrum().SetParams(TParamVector{{0.01, true}, {1e308, true}});
    CQScores::CFSMaximizer fit(&data);
    const TParamVector& p = data.GetSpectrum().GetParams();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(std::isfinite(p[0].first)) << p[0].first;
    EXPECT_TRUE(std::isfinite(p[1].first)) << p[1].first;
}

TEST(Maximizer, ModelWithoutGivenParametersIsLeftAlone) {
    for (const TParamVector& params : {TParamVector{}, TParamVector{{0.02, false}}}) {
        CQScores data;
        AddSites(data, 5);
        data.GetSpectrum().SetParams(params);
        CQScores::CFSMaximizer fit(&data);
        EXPECT_EQ(data.GetSpectrum().GetParams(), params);
    }
}

TEST(Maximizer, TooManyParametersAreRefusedBeforeAnyAllocation) {
    // The simplex holds (n + 1) n doubles: 100,000 parameters from a
    // document's params would ask GSL for 80 GB, and its handler aborts
    // when the allocation fails.
    CQScores data;
    AddSites(data, 3);
    TParamVector many(100000, {0.0, true});
    many[0].first = 0.01;
    data.GetSpectrum().SetParams(many);
    EXPECT_EQ(testutil::RuntimeMessage([&] { CQScores::CFSMaximizer fit(&data); }),
              "CQScores::CFSMaximizer: the Neutral model has 100000 given parameters; a fit "
              "handles at most 1000.");
    EXPECT_EQ(data.GetSpectrum().GetParams(), many);
    // The bound itself is fitted.
    CQScores small;
    AddSites(small, 1);
    TParamVector thousand(1000, {0.0, true});
    thousand[0].first = 0.01;
    small.GetSpectrum().SetParams(thousand);
    EXPECT_EQ(CQScores::CFSMaximizer(&small).GetDimension(), 1000u);
}

TEST(Maximizer, SetVectorCopiesTheLeadingValues) {
    CVector x({0.0, 0.0});
    CQScores::CFSMaximizer::x_SetVector({{0.5, true}, {0.25, false}, {9.0, true}}, x.m_V);
    EXPECT_EQ(gsl_vector_get(x.m_V, 0), 0.5);
    EXPECT_EQ(gsl_vector_get(x.m_V, 1), 0.25);
}

TEST(Maximizer, DeepColumnFits) {
    CQScores data;
    AddSites(data, 20);
    C::TScores scores;
    for (int r = 0; r < 2000; ++r) {
        scores[r % 100 == 0 ? C::eMinor : C::eMajor].push_back(
            static_cast<std::uint8_t>(2 + r % 39));
    }
    {
        testutil::CCerrCapture cerr;  // the column reports its skipped rows
        data.AddColumn(std::make_unique<C>(5000, scores, "", false, nullptr));
    }
    ASSERT_TRUE(std::isfinite(data.GetLogLike(data.GetSpectrum().GetParams())));
    CQScores::CFSMaximizer fit(&data);
    EXPECT_FALSE(data.GetSpectrum().ParamsOutOfRange());
    EXPECT_TRUE(std::isfinite(data.GetLogLike(data.GetSpectrum().GetParams())));
}

}  // namespace
