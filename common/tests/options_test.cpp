#include "common/options.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kFitOptions[] = "i:o:f:gap123";
const char kFitUsage[] = " -i <input.xml> [-o <output.xml>]\nWhere\t-i --> input\n";

// Runs the parser on a command line given as words, keeping the words alive
// for the argument pointers; records the exception message ("" on success)
// and standard error.
struct CParse {
    CParse(std::vector<std::string> line, const char* optstring, const char* required,
           const char* usage = kFitUsage)
        : words(std::move(line)) {
        std::vector<char*> argv;
        for (auto& w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStderr();
        try {
            ParseCommandLine(static_cast<int>(words.size()), argv.data(), optstring, required, opts,
                             usage);
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        err = testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> words;
    TOptionMap opts;
    std::string message;
    std::string err;
};

TEST(ParseCommandLine, FailuresPrintUsageAndNoteAndThrow) {
    const std::string fitError =
        std::string("Usage:\n   qualfit") + kFitUsage + "\nNOTE: Parameters 'i' are required.\n";
    const struct {
        CParse parse;
        const char* message;
        std::string err;
    } cases[] = {
        {CParse({"qualfit"}, kFitOptions, "i"), "Missing required argument.", fitError},
        // getopt's own diagnostic comes first, even with the required present.
        {CParse({"qualfit", "-i", "x.xml", "-c", "5"}, kFitOptions, "i"), "Invalid arguments.",
         "qualfit: invalid option -- 'c'\n" + fitError},
        {CParse({"qualfit", "-i"}, kFitOptions, "i"), "Invalid arguments.",
         "qualfit: option requires an argument -- 'i'\n" + fitError},
        // Every required letter is checked.
        {CParse({"qualgen", "-f", "neutral", "-n", "10"}, "f:ben:s:d:p:", "fpn", " -f x\n"),
         "Missing required argument.",
         "Usage:\n   qualgen -f x\n\nNOTE: Parameters 'fpn' are required.\n"},
        // No required letters, no note.
        {CParse({"prog", "-z"}, "a", "", " [-a]\n"), "Invalid arguments.",
         "prog: invalid option -- 'z'\nUsage:\n   prog [-a]\n\n"}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.parse.message, c.message) << c.parse.words[0];
        EXPECT_EQ(c.parse.err, c.err) << c.parse.words[0];
    }
}

TEST(ParseCommandLine, EmptyArgumentVectorStillReports) {
    char* argv[] = {nullptr};
    TOptionMap opts;
    testing::internal::CaptureStderr();
    EXPECT_THROW(ParseCommandLine(0, argv, "i:", "i", opts, " -i x\n"), std::runtime_error);
    const bool usable = std::cerr.good();
    std::cerr.clear();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Usage:\n    -i x\n\nNOTE: Parameters 'i' are required.\n");
    EXPECT_TRUE(usable);
}

TEST(ParseCommandLine, FlagsAndRepeatedOptions) {
    const CParse r({"qualfit", "-i", "a.xml", "-g", "-i", "b.xml"}, kFitOptions, "i");
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.opts.count('i'), 1u);
    EXPECT_EQ(r.opts.at('i'), r.words[5].c_str());  // the last occurrence, not a copy
    ASSERT_EQ(r.opts.count('g'), 1u);
    EXPECT_EQ(r.opts.at('g'), nullptr);  // a flag carries no argument
    EXPECT_EQ(r.opts.count('p'), 0u);
    EXPECT_EQ(CParse({"prog"}, "a", "").message, "");
}

// ParseProgramOptions on a command line given as words, with a program of
// two options: -n N (a number, 1..9) and --tag (long only, no value);
// --other is in the table but not the program's, as a code it forgot.
struct CProgramParse {
    explicit CProgramParse(std::vector<std::string> line) : words(std::move(line)) {
        std::vector<char*> argv;
        for (auto& w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        const option table[] = {
            {"number", required_argument, nullptr, 'n'}, {"tag", no_argument, nullptr, 300},
            {"other", no_argument, nullptr, 301},        {"help", no_argument, nullptr, 'h'},
            {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0}};
        try {
            result = ParseProgramOptions(
                "prog", static_cast<int>(words.size()), argv.data(), "n:hV", table, out,
                [] { return std::string("usage text\n"); },
                [] { return std::string("prog 1.0\n"); },
                [&](int c, const char* arg) {
                    if (c == 'n') {
                        number = ParseOptionInt("prog", arg, "--number", 1, 9);
                    } else if (c == 300) {
                        ++tags;
                    } else {
                        return false;
                    }
                    return true;
                });
            // getopt_long moves the operands behind the options.
            for (int i = optind; i < static_cast<int>(words.size()); ++i) {
                operands.push_back(argv[static_cast<std::size_t>(i)]);
            }
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
    }
    std::vector<std::string> words;
    EParseResult result = EParseResult::eRun;
    std::ostringstream out;
    long long number = 0;
    int tags = 0;
    std::vector<std::string> operands;
    std::string message;
};

TEST(ParseProgramOptions, AppliesOptionsAndLeavesTheOperands) {
    // Twice in one process: the second scan starts afresh.
    for (int run = 0; run < 2; ++run) {
        const CProgramParse r({"prog", "-n", "3", "a", "--tag", "--num=7", "--tag", "b"});
        EXPECT_EQ(r.message, "");
        EXPECT_EQ(r.result, EParseResult::eRun);
        EXPECT_EQ(r.number, 7);
        EXPECT_EQ(r.tags, 2);
        EXPECT_EQ(r.operands, (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(r.out.str(), "");
    }
}

TEST(ParseProgramOptions, HelpAndVersionEndTheScanWhereTheyStand) {
    const CProgramParse help({"prog", "-n", "2", "--help", "-n", "bad"});
    EXPECT_EQ(help.message, "");
    EXPECT_EQ(help.result, EParseResult::eHelp);
    EXPECT_EQ(help.out.str(), "usage text\n");
    EXPECT_EQ(help.number, 2);
    const CProgramParse version({"prog", "-V", "--nonsense"});
    EXPECT_EQ(version.result, EParseResult::eVersion);
    EXPECT_EQ(version.out.str(), "prog 1.0\n");
    // An error before them wins.
    const CProgramParse late({"prog", "-n", "0", "-h"});
    EXPECT_EQ(late.out.str(), "");
    EXPECT_EQ(late.message,
              "Invalid value '0' for --number: expected an integer from 1 to 9.\n"
              "Try 'prog --help' for the options.");
}

TEST(ParseProgramOptions, BadOptionsAreNamedAsTheUserWroteThem) {
    const std::string tail = "\nTry 'prog --help' for the options.";
    const struct {
        std::vector<std::string> words;
        std::string message;
    } cases[] = {
        {{"prog", "-q"}, "Unknown option -q." + tail},
        {{"prog", "--bogus", "x"}, "Unknown option --bogus." + tail},
        {{"prog", "-n"}, "Option -n needs a value." + tail},
        // After a refused -q, whose letter getopt_long leaves behind.
        {{"prog", "-q"}, "Unknown option -q." + tail},
        {{"prog", "--other"}, "Unknown option --other." + tail},
        {{"prog", "a", "--number"}, "Option --number needs a value." + tail},
    };
    for (const auto& c : cases) {
        const CProgramParse r(c.words);
        EXPECT_EQ(r.message, c.message) << c.words[1];
        EXPECT_EQ(r.out.str(), "");
    }
}

// The message of what f throws ("" when it returns).
template <typename TFunction>
std::string Refusal(TFunction f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(SharedOptions, ValuesOfOnePerRunAreRefusedTwiceAndOutputsNeedAFile) {
    const std::string tail = "\nTry 'prog --help' for the options.";
    EXPECT_EQ(Refusal([] { RefuseGivenTwice("prog", "--pools", "", "b", "one sheet."); }), "");
    EXPECT_EQ(Refusal([] { RefuseGivenTwice("prog", "--pools", "a", "b", "one sheet."); }),
              "--pools is given twice ('a' and 'b'): one sheet." + tail);
    // The BED options keep their wording, first and empty values included.
    std::string bed;
    SetBedFileOption("prog", bed, "a.bed", "--mask");
    EXPECT_EQ(bed, "a.bed");
    EXPECT_EQ(Refusal([&] { SetBedFileOption("prog", bed, "b.bed", "--mask"); }),
              "--mask is given twice ('a.bed' and 'b.bed'): a run takes one such BED file; join "
              "them into one (cat a.bed b.bed)." +
                  tail);
    EXPECT_EQ(bed, "a.bed");
    std::string none;
    EXPECT_EQ(Refusal([&] { SetBedFileOption("prog", none, "", "--mask"); }),
              "Invalid value '' for --mask: expected a BED file." + tail);
    EXPECT_EQ(OutputFileOption("prog", "out.tsv", "unused"), "out.tsv");
    for (const char* bad : {"", "-"}) {
        EXPECT_EQ(Refusal([&] { OutputFileOption("prog", bad, "--x needs a file name."); }),
                  "--x needs a file name." + tail)
            << bad;
    }
}

TEST(SharedOptions, WindowsOfAnyKindAndTheLevel) {
    std::int64_t size = 7, step = 7;
    bool contigs = false;
    ParseWindowsOrContigOption("prog", "contig", size, step, contigs);
    EXPECT_TRUE(contigs);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(step, 0);
    // A later fixed size takes the place of whole contigs, as the last
    // --windows given does.
    ParseWindowsOrContigOption("prog", "100:40", size, step, contigs);
    EXPECT_FALSE(contigs);
    EXPECT_EQ(size, 100);
    EXPECT_EQ(step, 40);
    EXPECT_NE(Refusal([&] { ParseWindowsOrContigOption("prog", "contigs", size, step, contigs); }),
              "");
    EXPECT_EQ(Refusal([&] { ParseWindowsOrContigOption("prog", "10:20", size, step, contigs); }),
              "Invalid value '10:20' for --windows: the step 20 is larger than the window 10, so "
              "positions between windows would not count.\nTry 'prog --help' for the options.");
    EXPECT_DOUBLE_EQ(ParseLevelOption("prog", "0.9"), 0.9);
    for (const char* bad : {"0", "1", "1.5", "-0.1", "x", "nan"}) {
        EXPECT_EQ(Refusal([&] { ParseLevelOption("prog", bad); }),
                  std::string("Invalid value '") + bad +
                      "' for --level: expected a number between 0 and 1 (exclusive), such as "
                      "0.95.\nTry 'prog --help' for the options.")
            << bad;
    }
}

TEST(SharedOptions, UsageLinesKeepTheColumnsOfEveryHelpText) {
    const std::string boot = BootstrapUsage(5000, 300, 42);
    EXPECT_EQ(boot,
              "      --block SIZE         bases per bootstrap block [5000]\n"
              "      --bootstrap B        bootstrap resamples [300]\n"
              "      --seed N             seed of the bootstrap's draws [42]\n");
    EXPECT_EQ(HelpVersionUsage("prog"),
              "  -h, --help               this text\n"
              "  -V, --version            version of prog and htslib\n");
}

TEST(ProgramVersion, NamesTheProgramAndHtslib) {
    const std::string v = ProgramVersion("prog", "1.2.3");
    EXPECT_EQ(v.rfind("prog 1.2.3\nUsing htslib ", 0), 0u) << v;
    EXPECT_EQ(v.back(), '\n');
    EXPECT_GT(v.size(), std::string("prog 1.2.3\nUsing htslib \n").size());
}

}  // namespace
