#include "common/options.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char kFitUsage[] = " -i <input.xml> [-o <output.xml>]\nWhere\t-i --> input\n";

// Runs the parser on a command line given as words; returns the exception
// message ("" on success) and captures standard error.
struct ParseResult {
    TOptionMap opts;
    std::string message;
    std::string err;
};

ParseResult Parse(std::vector<std::string> words, const char* optstring, const char* required,
                  const char* usage = kFitUsage) {
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    ParseResult r;
    testing::internal::CaptureStderr();
    try {
        ParseCommandLine(static_cast<int>(words.size()), argv.data(), optstring, required, r.opts,
                         usage);
    } catch (const std::runtime_error& e) {
        r.message = e.what();
    }
    r.err = testing::internal::GetCapturedStderr();
    // Arguments point into words, which die here: keep only presence.
    for (auto& kv : r.opts) {
        kv.second = kv.second ? "" : nullptr;
    }
    return r;
}

TEST(ParseCommandLine, MissingRequiredPrintsUsageAndNote) {
    ParseResult r = Parse({"qualfit"}, "i:o:f:gap123", "i");
    EXPECT_EQ(r.message, "Missing required argument.");
    EXPECT_EQ(r.err, std::string("Usage:\n   qualfit") + kFitUsage +
                         "\nNOTE: Parameters 'i' are required.\n");
}

TEST(ParseCommandLine, UnknownLetterIsInvalidEvenWithRequiredPresent) {
    ParseResult r = Parse({"qualfit", "-i", "x.xml", "-c", "5"}, "i:o:f:gap123", "i");
    EXPECT_EQ(r.message, "Invalid arguments.");
    // getopt's own diagnostic comes first, then the usage block and the note.
    EXPECT_EQ(r.err, std::string("qualfit: invalid option -- 'c'\nUsage:\n   qualfit") + kFitUsage +
                         "\nNOTE: Parameters 'i' are required.\n");
}

TEST(ParseCommandLine, MissingArgumentIsInvalid) {
    ParseResult r = Parse({"qualfit", "-i"}, "i:o:f:gap123", "i");
    EXPECT_EQ(r.message, "Invalid arguments.");
    EXPECT_EQ(r.err,
              std::string("qualfit: option requires an argument -- 'i'\nUsage:\n   qualfit") +
                  kFitUsage + "\nNOTE: Parameters 'i' are required.\n");
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

TEST(ParseCommandLine, AllRequiredLettersAreChecked) {
    ParseResult r =
        Parse({"qualgen", "-f", "neutral", "-n", "10"}, "f:ben:s:d:p:", "fpn", " -f x\n");
    EXPECT_EQ(r.message, "Missing required argument.");
    EXPECT_NE(r.err.find("NOTE: Parameters 'fpn' are required.\n"), std::string::npos);
}

TEST(ParseCommandLine, NoRequiredLettersMeansNoNote) {
    ParseResult r = Parse({"prog", "-z"}, "a", "", " [-a]\n");
    EXPECT_EQ(r.message, "Invalid arguments.");
    EXPECT_EQ(r.err.find("NOTE"), std::string::npos);
    EXPECT_TRUE(Parse({"prog"}, "a", "").message.empty());
}

TEST(ParseCommandLine, FlagsAndRepeatedOptions) {
    std::vector<std::string> words = {"qualfit", "-i", "a.xml", "-g", "-i", "b.xml"};
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    TOptionMap opts;
    ParseCommandLine(static_cast<int>(words.size()), argv.data(), "i:o:f:gap123", "i", opts, "");
    ASSERT_EQ(opts.count('i'), 1u);
    EXPECT_STREQ(opts['i'], "b.xml");        // the last occurrence wins
    EXPECT_EQ(opts['i'], words[5].c_str());  // a pointer into argv, not a copy
    ASSERT_EQ(opts.count('g'), 1u);
    EXPECT_EQ(opts['g'], nullptr);  // a flag carries no argument
    EXPECT_EQ(opts.count('p'), 0u);
}

}  // namespace
