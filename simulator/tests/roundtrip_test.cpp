// Statistical round trip: data simulated with a known theta and fitted by
// qualfit land close to the truth.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "simulator/simdriver.hpp"
#include "simulator/tests/simtest_util.hpp"

namespace {

TEST(QualgenRoundTrip, NeutralThetaIsRecoveredWithinFifteenPercent) {
    const std::string qualfit = simtest::BinDir() + "/qualfit";
    ASSERT_TRUE(std::filesystem::exists(qualfit)) << qualfit << " is needed for this test";
    simtest::ScratchDir dir;
    const std::string examples = simtest::SourceDir() + "/examples/";
    const std::vector<std::string> args{"-f", "neutral",
                                        "-n", "20000",
                                        "-p", "0.02",
                                        "-s", examples + "score_dist.dat",
                                        "-d", examples + "depth_dist.dat"};
    TOptionMap opts = simtest::MakeOptions(args);
    {
        std::ofstream doc("data.xml");
        RunSimulator(opts, 20240611, doc);
    }
    const simtest::CommandResult r = simtest::RunCommand("'" + qualfit + "' -i data.xml -p");
    ASSERT_EQ(r.status, 0) << r.out;

    // "LogLikelihood: <value> / <model> w/ <theta>"
    const std::string key = "LogLikelihood: ";
    const std::size_t at = r.out.find(key);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::istringstream line(r.out.substr(at + key.size()));
    double logLike = 0, theta = 0, extra = 0;
    std::string slash, model, w;
    ASSERT_TRUE(line >> logLike >> slash >> model >> w >> theta) << r.out;
    EXPECT_EQ(model, "Neutral") << r.out;
    EXPECT_FALSE(line >> extra) << "more than one parameter: " << r.out;
    const double truth = 0.02;
    std::printf("neutral: true theta %g, fitted %g, log-likelihood %.8g\n", truth, theta, logLike);
    EXPECT_NEAR(theta, truth, 0.15 * truth) << r.out;
    EXPECT_TRUE(std::isfinite(logLike));
}

}  // namespace
