// Statistical round trip: data simulated with a known theta and fitted by
// qualfit land close to the truth.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "simulator/simdriver.hpp"
#include "simulator/tests/simtest_util.hpp"

namespace {

struct Fit {
    int status = -1;
    std::string output;  // qualfit's standard output
    double logLike = 0;
    std::string model;
    std::vector<double> params;
};

// Runs `qualfit -i <file> -p` and parses
// "LogLikelihood: <value> / <model> w/ <p0>\t<p1>...".
Fit RunQualfit(const std::string& qualfit, const std::string& file) {
    Fit fit;
    const simtest::CommandResult r = simtest::RunCommand("'" + qualfit + "' -i '" + file + "' -p");
    fit.status = r.status;
    fit.output = r.out;
    const std::string key = "LogLikelihood: ";
    const std::size_t at = fit.output.find(key);
    if (at == std::string::npos) {
        return fit;
    }
    std::istringstream line(fit.output.substr(at + key.size()));
    std::string slash, w;
    line >> fit.logLike >> slash >> fit.model >> w;
    double p;
    while (line >> p) {
        fit.params.push_back(p);
    }
    return fit;
}

Fit SimulateAndFit(std::vector<std::string> args, unsigned long seed) {
    const std::string examples = simtest::SourceDir() + "/examples/";
    args.insert(args.end(), {"-s", examples + "score_dist.dat", "-d", examples + "depth_dist.dat"});
    TOptionMap opts = simtest::MakeOptions(args);
    std::ofstream doc("data.xml");
    RunSimulator(opts, seed, doc);
    doc.close();
    return RunQualfit(simtest::BinDir() + "/qualfit", "data.xml");
}

TEST(QualgenRoundTrip, NeutralThetaIsRecoveredWithinFifteenPercent) {
    const std::string qualfit = simtest::BinDir() + "/qualfit";
    ASSERT_TRUE(std::filesystem::exists(qualfit)) << qualfit << " is needed for this test";
    simtest::ScratchDir dir;
    const double truth = 0.02;
    Fit fit = SimulateAndFit({"-f", "neutral", "-n", "20000", "-p", "0.02"}, 20240611);
    ASSERT_EQ(fit.status, 0) << fit.output;
    ASSERT_EQ(fit.model, "Neutral") << fit.output;
    ASSERT_EQ(fit.params.size(), 1u) << fit.output;
    std::printf("neutral: true theta %g, fitted %g, log-likelihood %.8g\n", truth, fit.params[0],
                fit.logLike);
    EXPECT_NEAR(fit.params[0], truth, 0.15 * truth) << fit.output;
    EXPECT_TRUE(std::isfinite(fit.logLike));
}

}  // namespace
