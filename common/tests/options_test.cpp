#include "common/options.hpp"

#include <gtest/gtest.h>

#include <iostream>
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

}  // namespace
