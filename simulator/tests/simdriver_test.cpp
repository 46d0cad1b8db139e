#include "simulator/simdriver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "simulator/datagen.hpp"
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

    ScratchDir m_Dir;
    std::vector<std::string> m_Args;
    std::ostringstream m_Out;
    std::string m_Err;
};

std::string Document(const std::string& dist, const std::string& params) {
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n<Contig>\n  <FSParams "
           "dist=\"" +
           dist + "\" params=\"" + params + "\"/>\n</Contig>\n";
}

std::string OutsideDomain(const std::string& params, const std::string& model) {
    return "Warning: parameters '" + params + "' lie outside the domain of the " + model +
           " model; its spectrum may hold negative probabilities.\n";
}

const std::string kMissing =
    "Warning: cannot open distribution file 'nope.dat'; its distribution is empty.\n";
const std::string kEmptyNeutral = Document("Neutral", "0.01 ");

TEST_F(QualgenDriver, RunsWithoutSitesGiveADocumentWithOnlyFSParams) {
    struct Case {
        std::vector<std::string> args;
        const char* dist;
        const char* params;
        std::string err;
    };
    const Case cases[] = {
        {{"-f", "neutral", "-n", "0", "-p", "0.01"}, "Neutral", "0.01 ", ""},
        // strtol: no digits mean 0, and it stops at the x.
        {{"-f", "neutral", "-n", "many", "-p", "0.01"}, "Neutral", "0.01 ", ""},
        {{"-f", "neutral", "-n", " +0x12", "-p", "0.01"}, "Neutral", "0.01 ", ""},
        {{"-f", "neutral", "-n", "10", "-p", "0.01", "-d", "nope.dat"},
         "Neutral",
         "0.01 ",
         kMissing},
        // Without sites wanted the missing files do not matter.
        {{"-f", "neutral", "-n", "0", "-p", "0.01", "-d", "nope.dat", "-s", "nope2.dat"},
         "Neutral",
         "0.01 ",
         ""},
        {{"-f", "growth", "-n", "0", "-p", "0.02"}, "Growth", "0.02 0.05 ", ""},
        {{"-f", "neutral", "-n", "0", "-p", "0.02 0.5"},
         "Neutral",
         "0.02 0.5 ",
         OutsideDomain("0.02 0.5 ", "Neutral")},
        {{"-f", "neutral", "-n", "0", "-p", "-1"},
         "Neutral",
         "-1 ",
         OutsideDomain("-1 ", "Neutral")},
        // The growth rate must be at least 1e-10.
        {{"-f", "growth", "-n", "0", "-p", "0.01 0"},
         "Growth",
         "0.01 0 ",
         OutsideDomain("0.01 0 ", "Growth")},
        {{"-f", "growth", "-n", "0", "-p", "0.01 1e-10"}, "Growth", "0.01 1e-10 ", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args), 0);
        EXPECT_EQ(m_Out.str(), Document(c.dist, c.params)) << c.args[1] << " -p " << c.args[5];
        EXPECT_EQ(m_Err, c.err) << c.args[1] << " -p " << c.args[5];
    }
}

TEST_F(QualgenDriver, DocumentFrameColumnsThenFSParams) {
    Run({"-f", "neutral", "-n", "4", "-p", "0.01"});
    const std::string doc = m_Out.str();
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM "
                        "\"qual.dtd\">\n<Contig>\n  <Column pos=\"1\">\n    <Chr score=\"",
                        0),
              0u)
        << doc;
    EXPECT_TRUE(simtest::EndsWith(
        doc, "  </Column>\n  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n"));
    EXPECT_NE(doc.find("<Column pos=\"4\">"), std::string::npos);
    EXPECT_EQ(doc.find("<Column pos=\"5\">"), std::string::npos);
}

TEST_F(QualgenDriver, FailedRunsWriteNoDocument) {
    simtest::WriteFixtureScript("touch started\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
        std::string err;
    };
    const Case cases[] = {
        {{"-f", "Neutral", "-n", "10", "-p", "0.01"}, "Invalid frequency spectrum 'Neutral'.", ""},
        {{"-f", "foo", "-n", "10", "-p", "0.01"}, "Invalid frequency spectrum 'foo'.", ""},
        // Rejected before the files are even looked at.
        {{"-f", "neutral", "-n", "-5", "-p", "0.01", "-s", "nope.dat"},
         "Invalid number of sites '-5': it must not be negative.",
         ""},
        {{"-f", "neutral", "-n", "99999999999", "-p", "0.01"},
         "Invalid number of sites '99999999999': it is too large.",
         ""},
        {{"-f", "neutral", "-n", "10", "-p", "0.01", "-s", "nope.dat"},
         "Cannot draw a value: the score distribution (file 'nope.dat') is empty.",
         kMissing},
        {{"-f", "ms", "-n", "10", "-p", "0.02 0.1"},
         "The model 'ms' needs three parameters in -p (theta, growth rate, recombination rate); "
         "got 2.",
         ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(simtest::RuntimeErrorOf([&] { Run(c.args); }), c.message);
        EXPECT_EQ(m_Out.str(), "") << c.message;
        EXPECT_EQ(m_Err, c.err) << c.message;
    }
    EXPECT_FALSE(std::filesystem::exists("started"));
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

TEST_F(QualgenDriver, DistributionFilesAreNamedByOptions) {
    WriteFile("d.dat", "3 1\n");
    WriteFile("s.dat", "17 1\n");
    Run({"-f", "neutral", "-n", "2", "-p", "0.01", "-d", "d.dat", "-s", "s.dat", "-b", "-e"});
    const std::string doc = m_Out.str();
    std::size_t chr = 0;
    for (std::size_t at = 0; (at = doc.find("<Chr score=\"17\"", at)) != std::string::npos; ++at) {
        ++chr;
    }
    EXPECT_EQ(chr, 6u);
    EXPECT_EQ(doc.find("other="), std::string::npos);
}

TEST_F(QualgenDriver, MsModelRunsTheScriptAndNamesItself) {
    simtest::WriteFixtureScript("echo \"$@\" > args.txt\necho 4 0.5 0.2 0 0\n");
    Run({"-f", "ms", "-n", "10", "-p", "0.02 0.1 0"});
    EXPECT_EQ(simtest::ReadFile("args.txt"), "-d 6 -n 10 -t 0.02 -r 0 -g 0.1\n");
    const std::string doc = m_Out.str();
    EXPECT_NE(doc.find("<FSParams dist=\"m.s.\" params=\"0.02 0.1 0 \"/>"), std::string::npos);
    EXPECT_NE(doc.find("<Column pos=\"7\">"), std::string::npos);
    EXPECT_EQ(doc.find("<Column pos=\"8\">"), std::string::npos);

    simtest::WriteFixtureScript("echo 4 0.5 0.2\n");
    EXPECT_EQ(simtest::RuntimeErrorOf([&] {
                  Run({"-f", "ms", "-n", "10", "-p", "0.02 0.1 0"});
              }),
              "CFSms::GetSpectrum: malformed output of './ms2spectrum.pl -d 6 -n 10 -t 0.02 -r 0 "
              "-g 0.1': the record for depth 4 ends after 2 of its 4 numbers.");
    EXPECT_EQ(m_Out.str(), "") << "a failed run wrote to the output";
}

// Documents of fixed seeds, recorded while the generator still built a node
// tree and had the XML library serialise it: every model and flag must give
// them byte for byte. QT_REGEN_GOLDEN=1 rewrites them (then review the diff).
TEST_F(QualgenDriver, FixedSeedsGiveTheRecordedDocuments) {
    // A replayed coalescent table, with a share that truncates to no site.
    simtest::WriteFixtureScript(
        "cat <<'EOF'\n1 0.1\n4 0.25 0.05 0.05 0.05\n"
        "9 0.3 0.05 0.05 0.025 0.025 0 0 0 0.05\nEOF\n");
    const std::string examples = simtest::SourceDir() + "/examples/";
    const bool regen = std::getenv("QT_REGEN_GOLDEN") != nullptr;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        unsigned long seed;
    };
    const Case cases[] = {
        {"neutral", {"-f", "neutral", "-p", "0.01", "-n", "40"}, 11},
        {"neutral-biallelic", {"-f", "neutral", "-p", "0.05", "-n", "40", "-b"}, 12},
        {"growth-exact", {"-f", "growth", "-p", "0.02 5", "-n", "40", "-e"}, 13},
        // Far more sites than asked for: spectrum values well above 1.
        {"growth-large-theta", {"-f", "growth", "-p", "10 5", "-n", "13", "-e", "-b"}, 14},
        {"ms-replayed", {"-f", "ms", "-p", "0.01 0 0", "-n", "40"}, 15},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(),
                    {"-s", examples + "score_dist.dat", "-d", examples + "depth_dist.dat"});
        ASSERT_EQ(Run(args, c.seed), 0) << c.name;
        const std::string doc = m_Out.str();
        const std::string path =
            simtest::SourceDir() + "/simulator/tests/golden/" + c.name + ".xml";
        if (regen) {
            simtest::WriteFile(path, doc);
            continue;
        }
        const std::string want = simtest::ReadFile(path);
        ASSERT_FALSE(want.empty()) << path;
        const auto diff = std::mismatch(doc.begin(), doc.end(), want.begin(), want.end());
        EXPECT_TRUE(doc == want) << c.name << ": first difference at byte "
                                 << (diff.first - doc.begin()) << " of " << doc.size() << " ("
                                 << want.size() << " recorded)";
    }
}

TEST_F(QualgenDriver, UnwritableOutputIsAnError) {
    TOptionMap opts{{'f', "neutral"}, {'n', "0"}, {'p', "0.01"}};
    std::ostream bad(nullptr);
    EXPECT_EQ(simtest::RuntimeErrorOf([&] { RunSimulator(opts, 1, bad); }),
              "Cannot write the document to the output.");
}

// The program itself, as a shell runs it: standard output and error, and the
// exit status.
std::tuple<int, std::string, std::string> RunQualgen(const std::string& args) {
    const simtest::CommandResult r =
        simtest::RunCommand("'" + simtest::BinDir() + "/qualgen' " + args + " 2>stderr.txt");
    return {r.status, r.out, simtest::ReadFile("stderr.txt")};
}

TEST_F(QualgenDriver, ProgramWritesTheDocumentOrReportsTheErrorWithoutOutput) {
    using Result = std::tuple<int, std::string, std::string>;
    EXPECT_EQ(RunQualgen("-f neutral -n 0 -p 0.01"), Result(0, kEmptyNeutral, ""));
    EXPECT_EQ(RunQualgen("-f Neutral -n 10 -p 0.01"),
              Result(1, "", "Exception:\n\tInvalid frequency spectrum 'Neutral'.\n"));
}

// The depth files of the reproducers, run as a user runs them.
TEST_F(QualgenDriver, ProgramRefusesSitesBeyondMemoryAndWarnsAboutFarMoreSitesThanAsked) {
    WriteFile("big-share.dat", "274 255\n");
    const auto [status, out, err] = RunQualgen("-f neutral -p 0.01 -n 1 -d big-share.dat");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err,
              "Warning: 255 sites are generated for -n 1: the shares of the depth distribution sum "
              "to 255.\n");
    EXPECT_NE(out.find("<Column pos=\"255\">"), std::string::npos);
    EXPECT_EQ(out.find("<Column pos=\"256\">"), std::string::npos);

    // Once std::bad_alloc (an abort in the sanitizer build): one site of
    // 2^31 - 1 reads takes over 100 GiB before it is even drawn.
    WriteFile("depth-intmax.dat", "2147483647 1\n");
    if (AvailableMemory() > (std::uint64_t(150) << 30)) {
        GTEST_SKIP() << "this machine might hold such a site";
    }
    for (const char* mode : {"", " -e"}) {
        const auto [status, out, err] =
            RunQualgen(std::string("-f neutral -p 0.02 -n 1 -d depth-intmax.dat") + mode);
        EXPECT_EQ(status, 1) << mode;
        EXPECT_EQ(out, "") << mode;
        EXPECT_EQ(err.rfind("Exception:\n\tCDataGenerator: with ", 0), 0u) << err;
        EXPECT_NE(err.find("of depth 2147483647, the data set would take at least "),
                  std::string::npos)
            << err;
        EXPECT_TRUE(simtest::EndsWith(err, " available.\n")) << err;
    }
}

TEST_F(QualgenDriver, ProgramWithoutParametersPrintsUsageAndFails) {
    const auto [status, out, err] = RunQualgen("-f neutral -n 10");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("Usage:\n   ", 0), 0u) << err;
    EXPECT_NE(err.find("qualgen -f <neutral|growth> [-b] [-n <number of sites>]"),
              std::string::npos);
    EXPECT_TRUE(simtest::EndsWith(
        err,
        "\t-e --> (optional) flag to force exact spectrum (otherwise stochastic)\n\n"
        "NOTE: Parameters 'fpn' are required.\nException:\n\tMissing required argument.\n"))
        << err;
}

}  // namespace
