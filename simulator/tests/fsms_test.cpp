#include "simulator/fsms.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>

#include "simulator/tests/simtest_util.hpp"

namespace {

using simtest::ScratchDir;
using simtest::WriteFixtureScript;

CFSms MakeMs(const std::string& params) {
    CFSms ms;
    ms.SetParams(params);
    ms.SetFolded(false);
    return ms;
}

TEST(CFSms, CloneKeepsNameParametersAndFolding) {
    std::unique_ptr<CFreqSpectrum> clone(MakeMs("0.01 0.05 0").Clone());
    EXPECT_EQ(clone->GetName(), "m.s.");
    EXPECT_EQ(clone->GetParamString(), "0.01 0.05 0 ");
    EXPECT_FALSE(clone->IsFolded());
    EXPECT_FALSE(clone->ParamsOutOfRange());
}

TEST(CFSms, CommandPassesParametersAsThetaRateAndGrowth) {
    EXPECT_EQ(MakeMs("0.01 0.05 0").GetCommand(1000, 12.5),
              "./ms2spectrum.pl -d 12.5 -n 1000 -t 0.01 -r 0 -g 0.05");
    EXPECT_EQ(MakeMs("1e-05 0.05 0").GetCommand(7, 11.123456789),
              "./ms2spectrum.pl -d 11.1235 -n 7 -t 1e-05 -r 0 -g 0.05");
    EXPECT_EQ(MakeMs("0.02 3 0.5 9").GetCommand(0, 0),
              "./ms2spectrum.pl -d 0 -n 0 -t 0.02 -r 0.5 -g 3");
}

TEST(CFSms, FewerThanThreeParametersAreRejectedBeforeTheScriptStarts) {
    ScratchDir dir;
    WriteFixtureScript("touch started\necho 1 1\n");
    for (const char* params : {"", "0.01", "0.01 0.05"}) {
        CFSms ms = MakeMs(params);
        TSpectrumTable table;
        EXPECT_EQ(simtest::RuntimeErrorOf([&] { ms.GetSpectrum(10, 12, table); }),
                  "The model 'ms' needs three parameters in -p (theta, growth rate, "
                  "recombination rate); got " +
                      std::to_string(ms.GetParams().size()) + ".")
            << "-p '" << params << "'";
        EXPECT_TRUE(table.empty());
    }
    EXPECT_FALSE(std::filesystem::exists("started"));
}

class MsScriptOutput : public ::testing::Test {
  protected:
    ScratchDir m_Dir;
    CFSms m_Ms = MakeMs("0.01 0.05 0");
    std::string m_Stderr;
};

TEST_F(MsScriptOutput, RecordsAreReadIntoTheTable) {
    const std::string noTable =
        "Warning: './ms2spectrum.pl -d 12.5 -n 10 -t 0.01 -r 0 -g 0.05' "
        "gave no spectrum table (exit status ";
    struct Case {
        const char* body;  // nullptr: no script at all
        TSpectrumTable want;
        std::string warning;  // "": nothing on standard error
        int numSites = 10;
        mode_t mode = 0755;
    };
    const Case cases[] = {
        {"echo 3 0.5 0.1 0.05\n", {{3, {{0, 0.5}, {1, 0.1}, {2, 0.05}}}}, ""},
        // Records with a depth below one carry no numbers.
        {"echo 0 2 0.3 0.2\n", {{2, {{0, 0.3}, {1, 0.2}}}}, ""},
        {"printf '%s\\n' -4 2 0.3 0.2\n", {{2, {{0, 0.3}, {1, 0.2}}}}, ""},
        // A depth printed twice is appended.
        {"echo 2 0.3 0.2\necho 2 0.1 0.1\n", {{2, {{0, 0.3}, {1, 0.2}, {0, 0.1}, {1, 0.1}}}}, ""},
        // Free format, any depth order; text ends the table.
        {"printf '4\\n0.6\\t0.1 0.05\\n1e-2   1 0.25 done 2 0.5 0.5\\n'\n",
         {{1, {{0, 0.25}}}, {4, {{0, 0.6}, {1, 0.1}, {2, 0.05}, {3, 0.01}}}},
         ""},
        // A failing script keeps what it printed.
        {"echo 1 1\nexit 3\n", {{1, {{0, 1.0}}}}, ""},
        {"exit 0\n", {}, noTable + "0); no sites are generated.\n"},
        {"exit 0\n", {}, "", 0},  // nothing asked, nothing to warn about
        // Scripts that cannot be started; the shell adds its own complaint.
        {nullptr, {}, noTable + "127); no sites are generated.\n"},
        {"echo 1 1\n", {}, noTable + "126); no sites are generated.\n", 10, 0644},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("ms2spectrum.pl");
        if (c.body) {
            WriteFixtureScript(c.body);
            chmod("ms2spectrum.pl", c.mode);
        }
        TSpectrumTable table;
        {
            simtest::StderrCapture capture(m_Stderr);
            m_Ms.GetSpectrum(c.numSites, 12.5, table);
        }
        const std::string what = c.body ? c.body : "(no script)";
        EXPECT_EQ(table, c.want) << what;
        if ((c.body && c.mode == 0755) || c.warning.empty()) {
            EXPECT_EQ(m_Stderr, c.warning) << what;
        } else {
            EXPECT_TRUE(simtest::EndsWith(m_Stderr, c.warning)) << what << ": " << m_Stderr;
        }
    }
}

TEST_F(MsScriptOutput, PipeThatCannotBeOpenedIsAnErrorNamingTheCommand) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers check memory through descriptors of their own";
#endif
    WriteFixtureScript("echo 1 1\n");
    // With no descriptor left to allocate, popen cannot make its pipe.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    TSpectrumTable table;
    const std::string msg = simtest::RuntimeErrorOf([&] { m_Ms.GetSpectrum(10, 12.5, table); });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(msg,
              "CFSms::GetSpectrum: cannot run './ms2spectrum.pl -d 12.5 -n 10 -t 0.01 -r 0 -g "
              "0.05'.");
    EXPECT_TRUE(table.empty());
}

TEST_F(MsScriptOutput, RecordCutShortIsMalformed) {
    WriteFixtureScript("echo 2 0.3 0.2 3 0.5 0.1\n");
    TSpectrumTable table;
    EXPECT_EQ(simtest::RuntimeErrorOf([&] { m_Ms.GetSpectrum(10, 12.5, table); }),
              "CFSms::GetSpectrum: malformed output of './ms2spectrum.pl -d 12.5 -n 10 -t 0.01 "
              "-r 0 -g 0.05': the record for depth 3 ends after 2 of its 3 numbers.");
}

// The reader on text in memory, as a fuzzer feeds it.
TSpectrumTable ReadText(const std::string& text, bool* gotRecord = nullptr) {
    TSpectrumTable table;
    std::string copy = text;  // fmemopen wants a non-empty writable buffer
    copy += '\0';
    std::unique_ptr<FILE, decltype(&std::fclose)> in(fmemopen(copy.data(), text.size() + 1, "r"),
                                                     &std::fclose);
    if (!in) {
        ADD_FAILURE() << "fmemopen failed";
        return table;
    }
    const bool got = ReadSpectrumTable(in.get(), "input", table);
    if (gotRecord) {
        *gotRecord = got;
    }
    return table;
}

TEST(ReadSpectrumTable, ReadsRecordsFromAnyTextAndRefusesImpossibleDepths) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, TSpectrumTable> good[] = {
        {"3 0.5 0.1 0.05\n", {{3, {{0, 0.5}, {1, 0.1}, {2, 0.05}}}}},
        {"", {}},
        {"x 1 1", {}},
        {"0 -7 2 0.3 0.2 done 1 1", {{2, {{0, 0.3}, {1, 0.2}}}}},
        // Depths below the long range are still below one.
        {"-99999999999999999999 1 0.5", {{1, {{0, 0.5}}}}},
        {"1 inf 1 1e-400", {{1, {{0, inf}, {0, 0.0}}}}},
    };
    for (const auto& [text, want] : good) {
        bool got = false;
        EXPECT_EQ(ReadText(text, &got), want) << text;
        EXPECT_EQ(got, !want.empty()) << text;
    }
    const std::pair<const char*, const char*> bad[] = {
        // Once read as depth 1 from the low 32 bits.
        {"4294967297 0.5\n",
         "depth 4294967297 is above 2147483647, more reads than a site can have."},
        {"99999999999999999999 0.5",
         "depth 9223372036854775807 is above 2147483647, more reads than a site can have."},
        {"2147483647 0.5 0.25",
         "the record for depth 2147483647 ends after 2 of its 2147483647 numbers."},
        {"3 0.5 0.1 x", "the record for depth 3 ends after 2 of its 3 numbers."},
    };
    for (const auto& [text, message] : bad) {
        EXPECT_EQ(simtest::RuntimeErrorOf([&] { ReadText(text); }),
                  std::string("CFSms::GetSpectrum: malformed input: ") + message)
            << text;
    }
}

TEST(ReadSpectrumTable, RandomTextEndsInATableOrAnErrorNeverACrash) {
    const char* tokens[] = {"-1", "0",   "1",   "2",          "3",          "2147483647",
                            "x",  "0.5", "nan", "-0.25",      "1e308",      "99999999999999999999",
                            "\n", " ",   "\t",  "4294967296", "2147483648", "0x10"};
    auto rng = simtest::MakeMtRng(3);
    int tables = 0, errors = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const unsigned long length = gsl_rng_uniform_int(rng.get(), 12);
        for (unsigned long i = 0; i < length; ++i) {
            text += tokens[gsl_rng_uniform_int(rng.get(), std::size(tokens))];
            text += ' ';
        }
        try {
            for (const auto& [depth, list] : ReadText(text)) {
                // What the generator relies on: whole records only.
                EXPECT_GE(depth, 1u) << text;
                EXPECT_EQ(list.size() % depth, 0u) << text;
                EXPECT_FALSE(list.empty()) << text;
            }
            ++tables;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("CFSms::GetSpectrum: malformed input: ", 0), 0u);
            ++errors;
        }
    }
    EXPECT_GT(tables, 100);
    EXPECT_GT(errors, 100);
}

// The shipped script, run as qualgen runs it.
class Ms2SpectrumScript : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(simtest::SourceDir() + "/simulator/ms2spectrum.pl",
                                   m_Dir.path() / "ms2spectrum.pl");
        std::filesystem::permissions(m_Dir.path() / "ms2spectrum.pl",
                                     std::filesystem::perms::owner_all);
    }
    ScratchDir m_Dir;
};

// Runs the shipped script for numSites sites and checks that its records are
// complete, its shares sum to 1 and truncate back to whole numbers of sites
// adding up to numSites, and the depths average to meanDepth.
TSpectrumTable RunShipped(const char* params, int numSites, double meanDepth) {
    TSpectrumTable table;
    MakeMs(params).GetSpectrum(numSites, meanDepth, table);
    EXPECT_FALSE(table.empty());
    double total = 0, mean = 0;
    long sites = 0;
    for (const auto& [n, list] : table) {
        EXPECT_EQ(list.size(), n) << "depth " << n << " printed more than once or cut short";
        for (unsigned int j = 0; j < n && j < list.size(); ++j) {
            EXPECT_EQ(list[j].first, j);
            EXPECT_GE(list[j].second, 0.0);
            total += list[j].second;
            mean += n * list[j].second;
            sites += static_cast<long>(std::trunc(numSites * list[j].second));
        }
    }
    EXPECT_NEAR(total, 1.0, 1e-6) << params;
    EXPECT_EQ(sites, numSites) << params;
    EXPECT_NEAR(mean, meanDepth, 0.1 * meanDepth) << params;
    return table;
}

double PolymorphicShare(const TSpectrumTable& table) {
    double poly = 0;
    for (const auto& [n, list] : table) {
        for (unsigned int j = 1; j < n && j < list.size(); ++j) {
            poly += list[j].second;
        }
    }
    return poly;
}

TEST_F(Ms2SpectrumScript, PrintsWellFormedRecordsWithSomePolymorphicSites) {
    const double poly = PolymorphicShare(RunShipped("0.01 0 0", 5000, 12));
    EXPECT_GT(poly, 0.005);
    EXPECT_LT(poly, 0.1);
}

TEST_F(Ms2SpectrumScript, GrowthShortensTheGenealogy) {
    const double neutral = PolymorphicShare(RunShipped("0.05 0 0", 20000, 8));
    const double grown = PolymorphicShare(RunShipped("0.05 20 0", 20000, 8));
    std::printf("polymorphic share: neutral %g, growth 20: %g\n", neutral, grown);
    EXPECT_LT(grown, 0.6 * neutral);
}

TEST_F(Ms2SpectrumScript, RejectsBadArgumentsWithUsageAndNoRecords) {
    // A shrinking population, and a mean depth whose genealogies (and
    // Poisson draw) would never finish.
    const std::pair<const char*, const char*> cases[] = {
        {"-d 12 -n 10 -t 0.01 -r 0 -g -1", "-g must not be negative"},
        {"-d 1e300 -n 10 -t 0.01 -r 0 -g 0", "-d must not exceed 10000"},
    };
    for (const auto& [args, message] : cases) {
        const simtest::CommandResult r =
            simtest::RunCommand(std::string("./ms2spectrum.pl ") + args + " 2>usage.txt");
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.status, 2) << args;
        const std::string usage = simtest::ReadFile("usage.txt");
        EXPECT_NE(usage.find(message), std::string::npos) << usage;
        EXPECT_NE(usage.find("accepted and without effect"), std::string::npos) << usage;
    }
}

TEST_F(Ms2SpectrumScript, HugeThetaMakesEverySiteWithTwoReadsPolymorphic) {
    // Only whether a site has a mutation at all is drawn, so even an absurd
    // theta finishes.
    for (const auto& [n, list] : RunShipped("1e300 0 0", 2000, 12)) {
        if (n >= 2) {
            EXPECT_EQ(list[0].second, 0.0) << "depth " << n;
        }
    }
}

TEST_F(Ms2SpectrumScript, SeedMakesTheTableRepeatable) {
    auto run = [] {
        return simtest::RunCommand("./ms2spectrum.pl -d 5 -n 300 -t 0.1 -r 0 -g 1 -s 42").out;
    };
    const std::string a = run();
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, run());
}

}  // namespace
