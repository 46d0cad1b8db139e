#include "simulator/simdriver.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/probdist.hpp"
#include "simulator/tests/simtest_util.hpp"

namespace {

using simtest::ScratchDir;
using simtest::WriteFile;

// Runs the driver in a scratch directory holding small distribution files.
class QualgenDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile("score_dist.dat", "20 0.2\n30 0.5\n40 0.3\n");
        WriteFile("depth_dist.dat", "4 0.5\n8 0.5\n");
    }

    // Options as argv strings: {"-f", "neutral", ...}.
    int Run(std::vector<std::string> args, unsigned long seed = 7) {
        m_Args = std::move(args);
        TOptionMap opts = simtest::MakeOptions(m_Args);
        m_Out.str("");
        simtest::StderrCapture capture(m_Err);
        return RunSimulator(opts, seed, m_Out);
    }

    std::string RunExpectingError(std::vector<std::string> args) {
        const std::string msg = simtest::RuntimeErrorOf([&] { Run(std::move(args)); });
        EXPECT_EQ(m_Out.str(), "") << "a failed run wrote to the output";
        return msg;
    }

    ScratchDir m_Dir;
    std::vector<std::string> m_Args;
    std::ostringstream m_Out;
    std::string m_Err;
};

const char kEmptyNeutral[] =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n"
    "<Contig>\n"
    "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n"
    "</Contig>\n";

TEST_F(QualgenDriver, ZeroSitesGiveADocumentWithOnlyFSParams) {
    EXPECT_EQ(Run({"-f", "neutral", "-n", "0", "-p", "0.01"}), 0);
    EXPECT_EQ(m_Out.str(), kEmptyNeutral);
    EXPECT_EQ(m_Err, "");
}

TEST_F(QualgenDriver, NonNumericCountMeansZeroSites) {
    Run({"-f", "neutral", "-n", "many", "-p", "0.01"});
    EXPECT_EQ(m_Out.str(), kEmptyNeutral);
    Run({"-f", "neutral", "-n", " +0x12", "-p", "0.01"});  // strtol stops at the x
    EXPECT_EQ(m_Out.str(), kEmptyNeutral);
}

TEST_F(QualgenDriver, DocumentFrameColumnsThenFSParams) {
    Run({"-f", "neutral", "-n", "4", "-p", "0.01"});
    const std::string doc = m_Out.str();
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM "
                        "\"qual.dtd\">\n<Contig>\n  <Column pos=\"1\">\n    <Chr score=\"",
                        0),
              0u)
        << doc;
    const std::string tail =
        "  </Column>\n  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n";
    ASSERT_GE(doc.size(), tail.size());
    EXPECT_EQ(doc.substr(doc.size() - tail.size()), tail);
    EXPECT_NE(doc.find("<Column pos=\"4\">"), std::string::npos);
    EXPECT_EQ(doc.find("<Column pos=\"5\">"), std::string::npos);
}

TEST_F(QualgenDriver, CapitalisedModelNameIsRejected) {
    EXPECT_EQ(RunExpectingError({"-f", "Neutral", "-n", "10", "-p", "0.01"}),
              "Invalid frequency spectrum 'Neutral'.");
    EXPECT_EQ(RunExpectingError({"-f", "foo", "-n", "10", "-p", "0.01"}),
              "Invalid frequency spectrum 'foo'.");
}

TEST_F(QualgenDriver, GrowthKeepsItsDefaultRate) {
    Run({"-f", "growth", "-n", "0", "-p", "0.02"});
    EXPECT_NE(m_Out.str().find("<FSParams dist=\"Growth\" params=\"0.02 0.05 \"/>"),
              std::string::npos)
        << m_Out.str();
}

TEST_F(QualgenDriver, NeutralWithTwoParametersWritesBoth) {
    Run({"-f", "neutral", "-n", "0", "-p", "0.02 0.5"});
    EXPECT_NE(m_Out.str().find("<FSParams dist=\"Neutral\" params=\"0.02 0.5 \"/>"),
              std::string::npos)
        << m_Out.str();
}

TEST_F(QualgenDriver, NegativeSiteCountIsRejectedBeforeAnythingElse) {
    std::filesystem::remove("score_dist.dat");  // not even a warning about it
    EXPECT_EQ(RunExpectingError({"-f", "neutral", "-n", "-5", "-p", "0.01"}),
              "Invalid number of sites '-5': it must not be negative.");
    EXPECT_EQ(m_Err, "");
    EXPECT_EQ(RunExpectingError({"-f", "neutral", "-n", "99999999999", "-p", "0.01"}),
              "Invalid number of sites '99999999999': it is too large.");
}

TEST_F(QualgenDriver, SameSeedSameDocumentOtherSeedOtherDocument) {
    for (const char* model : {"neutral", "growth"}) {
        for (bool exact : {false, true}) {
            std::vector<std::string> args{"-f", model,  "-n", "300",
                                          "-p", "0.05", "-s", "score_dist.dat"};
            if (exact) {
                args.push_back("-e");
            }
            Run(args, 12345);
            const std::string first = m_Out.str();
            Run(args, 12345);
            EXPECT_EQ(first, m_Out.str()) << model << " exact " << exact;
            Run(args, 12346);
            EXPECT_NE(first, m_Out.str()) << model << " exact " << exact;
        }
    }
}

TEST_F(QualgenDriver, RepeatedRunsDoNotAccumulateDistributions) {
    Run({"-f", "neutral", "-n", "10", "-p", "0.01"});
    const std::string first = m_Out.str();
    EXPECT_EQ(g_DepthDist, (TProbDist{{4, 0.5}, {8, 0.5}}));
    Run({"-f", "neutral", "-n", "10", "-p", "0.01"});
    EXPECT_EQ(first, m_Out.str());
    EXPECT_EQ(g_DepthDist, (TProbDist{{4, 0.5}, {8, 0.5}}));
}

TEST_F(QualgenDriver, DistributionFilesAreNamedByOptions) {
    WriteFile("d.dat", "3 1\n");
    WriteFile("s.dat", "17 1\n");
    Run({"-f", "neutral", "-n", "2", "-p", "0.01", "-d", "d.dat", "-s", "s.dat", "-b", "-e"});
    const std::string doc = m_Out.str();
    std::size_t chr = 0;
    for (std::size_t at = doc.find("<Chr score=\"17\""); at != std::string::npos;
         at = doc.find("<Chr score=\"17\"", at + 1)) {
        ++chr;
    }
    EXPECT_EQ(chr, 6u);
    EXPECT_EQ(doc.find("other="), std::string::npos);
}

TEST_F(QualgenDriver, MissingScoreFileWarnsAndEmptyScoreDistributionIsNamed) {
    EXPECT_EQ(RunExpectingError({"-f", "neutral", "-n", "10", "-p", "0.01", "-s", "nope.dat"}),
              "Cannot draw a value: the score distribution (file 'nope.dat') is empty.");
    EXPECT_EQ(m_Err,
              "Warning: cannot open distribution file 'nope.dat'; its distribution is empty.\n");
}

TEST_F(QualgenDriver, MissingDepthFileWarnsAndGivesNoSites) {
    Run({"-f", "neutral", "-n", "10", "-p", "0.01", "-d", "nope.dat"});
    EXPECT_EQ(m_Out.str(), kEmptyNeutral);
    EXPECT_EQ(m_Err,
              "Warning: cannot open distribution file 'nope.dat'; its distribution is empty.\n");
    // Without sites wanted the missing files do not matter.
    Run({"-f", "neutral", "-n", "0", "-p", "0.01", "-d", "nope.dat", "-s", "nope2.dat"});
    EXPECT_EQ(m_Err, "");
}

TEST_F(QualgenDriver, ParametersOutsideTheDomainAreWarnedAbout) {
    EXPECT_EQ(Run({"-f", "neutral", "-n", "0", "-p", "-1"}), 0);
    EXPECT_EQ(m_Err,
              "Warning: parameters '-1 ' lie outside the domain of the Neutral model; its "
              "spectrum may hold negative probabilities.\n");
    Run({"-f", "growth", "-n", "0", "-p", "0.01 0"});  // g must be at least 1e-10
    EXPECT_NE(m_Err.find("outside the domain of the Growth model"), std::string::npos);
    Run({"-f", "growth", "-n", "0", "-p", "0.01 1e-10"});
    EXPECT_EQ(m_Err, "");
}

TEST_F(QualgenDriver, MsModelRunsTheScriptAndNamesItself) {
    simtest::WriteFixtureScript("echo \"$@\" > args.txt\necho 4 0.5 0.2 0 0\n");
    Run({"-f", "ms", "-n", "10", "-p", "0.02 0.1 0"});
    EXPECT_EQ(simtest::ReadFile("args.txt"), "-d 6 -n 10 -t 0.02 -r 0 -g 0.1\n");
    const std::string doc = m_Out.str();
    EXPECT_NE(doc.find("<FSParams dist=\"m.s.\" params=\"0.02 0.1 0 \"/>"), std::string::npos);
    EXPECT_NE(doc.find("<Column pos=\"7\">"), std::string::npos);
    EXPECT_EQ(doc.find("<Column pos=\"8\">"), std::string::npos);
}

TEST_F(QualgenDriver, MsModelWithTooFewParametersNeverStartsTheScript) {
    simtest::WriteFixtureScript("touch started\n");
    EXPECT_EQ(RunExpectingError({"-f", "ms", "-n", "10", "-p", "0.02 0.1"}),
              "The model 'ms' needs three parameters in -p (theta, growth rate, recombination "
              "rate); got 2.");
    EXPECT_FALSE(std::filesystem::exists("started"));
}

TEST_F(QualgenDriver, MalformedScriptOutputLeavesNoDocument) {
    simtest::WriteFixtureScript("echo 4 0.5 0.2\n");
    const std::string msg = RunExpectingError({"-f", "ms", "-n", "10", "-p", "0.02 0.1 0"});
    EXPECT_NE(msg.find("malformed output of './ms2spectrum.pl -d 6 -n 10"), std::string::npos)
        << msg;
}

TEST_F(QualgenDriver, UnwritableOutputIsAnError) {
    TOptionMap opts{{'f', "neutral"}, {'n', "0"}, {'p', "0.01"}};
    std::ostream bad(nullptr);
    EXPECT_EQ(simtest::RuntimeErrorOf([&] { RunSimulator(opts, 1, bad); }),
              "Cannot write the document to the output.");
}

// The program itself, as a shell runs it.
struct ProgramResult : simtest::CommandResult {
    std::string err;
};

ProgramResult RunQualgen(const std::string& args) {
    ProgramResult r;
    static_cast<simtest::CommandResult&>(r) =
        simtest::RunCommand("'" + simtest::BinDir() + "/qualgen' " + args + " 2>stderr.txt");
    r.err = simtest::ReadFile("stderr.txt");
    return r;
}

TEST_F(QualgenDriver, ProgramWritesTheDocumentAndExitsZero) {
    ProgramResult r = RunQualgen("-f neutral -n 0 -p 0.01");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kEmptyNeutral);
    EXPECT_EQ(r.err, "");
}

TEST_F(QualgenDriver, ProgramWithoutParametersPrintsUsageAndFails) {
    ProgramResult r = RunQualgen("-f neutral -n 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string usageEnd =
        "\t-e --> (optional) flag to force exact spectrum (otherwise stochastic)\n\n"
        "NOTE: Parameters 'fpn' are required.\n"
        "Exception:\n\tMissing required argument.\n";
    ASSERT_GE(r.err.size(), usageEnd.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - usageEnd.size()), usageEnd);
    EXPECT_EQ(r.err.rfind("Usage:\n   ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("qualgen -f <neutral|growth> [-b] [-n <number of sites>]"),
              std::string::npos);
}

TEST_F(QualgenDriver, ProgramReportsErrorsWithoutOutput) {
    ProgramResult r = RunQualgen("-f Neutral -n 10 -p 0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Exception:\n\tInvalid frequency spectrum 'Neutral'.\n");

    r = RunQualgen("-f neutral -n -3 -p 0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Exception:\n\tInvalid number of sites '-3': it must not be negative.\n");
}

}  // namespace
