// The simplex fit of the spectrum parameters.

#include <gsl/gsl_math.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "estimator/fsmaximizer.hpp"
#include "estimator/qscores.hpp"
#include "estimator/tests/test_util.hpp"

namespace {

using testutil::AddSites;
using testutil::C;
using testutil::Q;
using Fit = CQScores::CFSMaximizer;

// The objective of fit at the point given.
double F(Fit& fit, const std::vector<double>& point) {
    gsl_vector* x = gsl_vector_alloc(point.size());
    for (std::size_t i = 0; i < point.size(); ++i) {
        gsl_vector_set(x, i, point[i]);
    }
    const double f = fit.F(x);
    gsl_vector_free(x);
    return f;
}

TEST(Maximizer, FitsEveryGivenParameterToALocalMaximumSilently) {
    const std::pair<CFreqSpectrum*, TParamVector> cases[] = {
        {new CFSNeutral, {{0.01, true}}},
        {new CFSGrowth, {{0.02, true}, {0.5, true}, {7.0, false}}}};
    for (const auto& [spectrum, start] : cases) {
        CQScores data;
        AddSites(data, 150);
        data.SetSpectrum(spectrum);
        data.GetSpectrum().SetParams(start);
        const double startLL = data.GetLogLike(start);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Fit fit(&data);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(fit.IsConverged());
        // Only the given coordinates remain.
        const TParamVector p = data.GetSpectrum().GetParams();
        ASSERT_EQ(p.size(), fit.GetDimension());
        ASSERT_EQ(p.size(), start.size() == 1 ? 1u : 2u);
        EXPECT_FALSE(data.GetSpectrum().ParamsOutOfRange());
        const double ll = data.GetLogLike(p);
        EXPECT_GT(ll, startLL);
        // No neighbour within 1% in any coordinate is better by more than
        // rounding.
        for (std::size_t i = 0; i < p.size(); ++i) {
            EXPECT_TRUE(p[i].second);
            for (double factor : {0.99, 1.01}) {
                TParamVector near = p;
                near[i].first *= factor;
                EXPECT_LE(data.GetLogLike(near), ll + 1e-7) << "coordinate " << i;
            }
        }
    }
}

TEST(Maximizer, StartVertexOutsideTheDomainDoesNotStopTheFit) {
    // Theta 0.245 puts the vertex 0.255 beyond the neutral bound; (0.01,
    // 0.005) puts (0.01, 0.015) there, p above theta. GSL's simplex aborts on
    // a non-finite vertex value; the fit must carry on inside the domain.
    const std::pair<TParamVector, TParamVector> cases[] = {
        {{{0.245, true}}, {{0.255, true}}},
        {{{0.01, true}, {0.005, true}}, {{0.01, true}, {0.015, true}}}};
    for (const auto& [start, vertex] : cases) {
        CQScores data;
        AddSites(data, 100);
        data.GetSpectrum().SetParams(start);
        ASSERT_EQ(data.GetLogLike(vertex), -HUGE_VAL);
        Fit fit(&data);
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
    Fit fit(&data);
    EXPECT_DOUBLE_EQ(F(fit, {0.012}), -data.GetLogLike({{0.012, true}}));
    EXPECT_EQ(F(fit, {-0.5}), GSL_DBL_MAX);
    EXPECT_EQ(F(fit, {std::nan("")}), GSL_DBL_MAX);
    // Inside the bound 1/H(30) = 0.25031370, but written as 0.250314.
    ASSERT_TRUE(std::isfinite(data.GetLogLike({{0.2503136, true}})));
    EXPECT_EQ(F(fit, {0.2503136}), GSL_DBL_MAX);
    EXPECT_LT(F(fit, {0.2503134}), GSL_DBL_MAX);

    data.SetSpectrum(new CFSGrowth);
    data.AddColumn(testutil::NaNProneSite());
    ASSERT_TRUE(std::isnan(data.GetLogLike({{100.0, true}, {0.05, true}})));
    // The growth model computes a NaN rate as the smallest one, finite; as
    // a coordinate it is outside the domain all the same.
    ASSERT_TRUE(std::isfinite(data.GetLogLike({{0.01, true}, {std::nan(""), true}})));
    for (const std::vector<double>& x :
         {std::vector<double>{100.0, 0.05}, {0.01, std::nan("")}, {HUGE_VAL, 0.05}}) {
        EXPECT_EQ(F(fit, x), GSL_DBL_MAX) << x[0] << " " << x[1];
    }
}

TEST(Maximizer, FitNearTheLargestDoublesNeverEndsOnANonFiniteParameter) {
    // Reflections of vertices near 1e308 overflow to infinite and NaN
    // coordinates. A fit that finds no point inside the domain keeps its
    // start; one that does keeps the best finite vertex.
    const struct {
        CFreqSpectrum* model;
        TParamVector start;
        int sites;
        bool inside;  // whether the fit can find the domain
    } cases[] = {
        {new CFSGrowth, {{0.01, true}, {1e308, true}}, 20, true},
        {new CFSNeutral, {{0.3, true}, {1.7976931348623157e308, true}}, 1, false},
        {new CFSGrowth, {{-1e308, true}, {-2147483649.0, true}}, 0, false},
    };
    for (const auto& c : cases) {
        CQScores data;
        AddSites(data, c.sites);
        data.SetSpectrum(c.model);
        data.GetSpectrum().SetParams(c.start);
        Fit fit(&data);
        const TParamVector& p = data.GetSpectrum().GetParams();
        ASSERT_EQ(p.size(), 2u);
        EXPECT_TRUE(std::isfinite(p[0].first)) << p[0].first;
        EXPECT_TRUE(std::isfinite(p[1].first)) << p[1].first;
        if (c.inside) {
            EXPECT_TRUE(std::isfinite(data.GetLogLike(p)));
        } else {
            EXPECT_EQ(p, c.start);
        }
    }
}

// Every point is -inf when no table entry is positive: a search without any
// value stops after a few dozen evaluations instead of 200 iterations (a
// 5000-read site made each evaluation cost 0.1 s), keeping its start.
TEST(Maximizer, SearchThatMeetsNoValueStopsEarlyAtItsStart) {
    for (CFreqSpectrum* model : std::vector<CFreqSpectrum*>{new CFSGrowth, new CFSNeutral}) {
        CQScores data;
        data.AddColumn(testutil::Site(1, {Q{30, 30}, {}, {}, {}}, "0 0 0 "));
        data.SetSpectrum(model);
        const TParamVector start = data.GetSpectrum().GetParams();
        ASSERT_EQ(data.GetLogLike(start), -HUGE_VAL);
        Fit fit(&data);
        EXPECT_GE(fit.GetEvaluations(), Fit::kMaxBlindEvaluations);
        EXPECT_LE(fit.GetEvaluations(), Fit::kMaxBlindEvaluations + 3);
        EXPECT_FALSE(fit.IsConverged());
        EXPECT_EQ(data.GetSpectrum().GetParams(), start);
    }
}

// -o writes six significant digits: a fit onto the neutral bound 1/H(30) =
// 0.25031370 was written as 0.250314, beyond it, and the document read back
// as -inf. The fit stays inside the written bound, and what it writes reads
// back with a finite log-likelihood.
TEST(Maximizer, WrittenFitReadsBackInsideTheDomain) {
    CQScores data;
    data.AddColumn(testutil::Site(1001, {Q{}, Q{36}, Q{32}, {}}));
    data.AddColumn(testutil::Site(1040, {Q{33, 38, 37}, {}, {}, {}}));
    data.GetSpectrum().SetParams("0.01 0.005");
    Fit fit(&data);
    const TParamVector fitted = data.GetSpectrum().GetParams();
    EXPECT_GT(fitted[0].first, 0.2503130);                           // on the bound ...
    EXPECT_EQ(FormatParamString(fitted).substr(0, 9), "0.250313 ");  // ... as written
    std::stringstream document;
    data.WriteToStream(document);
    CQScores reread;
    reread.LoadFromStream(document);
    const double logLike = reread.GetLogLike(reread.GetSpectrum().GetParams());
    EXPECT_TRUE(std::isfinite(logLike));
    EXPECT_NEAR(logLike, data.GetLogLike(fitted), 1e-5);
}

TEST(Maximizer, ModelWithoutGivenParametersIsLeftAlone) {
    for (const TParamVector& params : {TParamVector{}, TParamVector{{0.02, false}}}) {
        CQScores data;
        AddSites(data, 5);
        data.GetSpectrum().SetParams(params);
        Fit fit(&data);
        EXPECT_EQ(data.GetSpectrum().GetParams(), params);
    }
}

TEST(Maximizer, TooManyParametersAreRefusedBeforeAnyAllocation) {
    // The simplex holds (n + 1) n doubles: 100,000 parameters from a
    // document's params would ask GSL for 80 GB, and its handler aborts
    // when the allocation fails.
    CQScores data;
    AddSites(data, 1);
    TParamVector many(100000, {0.0, true});
    many[0].first = 0.01;
    data.GetSpectrum().SetParams(many);
    EXPECT_EQ(testutil::RuntimeMessage([&] { Fit fit(&data); }),
              "CQScores::CFSMaximizer: the Neutral model has 100000 given parameters; a fit "
              "handles at most 1000.");
    EXPECT_EQ(data.GetSpectrum().GetParams(), many);
    // The bound itself is fitted.
    many.resize(1000);
    data.GetSpectrum().SetParams(many);
    EXPECT_EQ(Fit(&data).GetDimension(), 1000u);
}

TEST(Maximizer, SetVectorCopiesTheLeadingValues) {
    gsl_vector* x = gsl_vector_calloc(2);
    Fit::x_SetVector({{0.5, true}, {0.25, false}, {9.0, true}}, x);
    EXPECT_EQ(gsl_vector_get(x, 0), 0.5);
    EXPECT_EQ(gsl_vector_get(x, 1), 0.25);
    gsl_vector_free(x);
}

TEST(Maximizer, DeepColumnFits) {
    CQScores data;
    AddSites(data, 20);
    {
        testutil::CCerrCapture cerr;  // the column reports its skipped rows
        data.AddColumn(testutil::Site(5000, testutil::DeepScores()));
    }
    ASSERT_TRUE(std::isfinite(data.GetLogLike(data.GetSpectrum().GetParams())));
    Fit fit(&data);
    EXPECT_FALSE(data.GetSpectrum().ParamsOutOfRange());
    EXPECT_TRUE(std::isfinite(data.GetLogLike(data.GetSpectrum().GetParams())));
}

}  // namespace
