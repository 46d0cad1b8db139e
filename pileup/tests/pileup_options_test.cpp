#include "pileup/pileup_options.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Parses the arguments (program name added); returns the result and keeps
// what was printed.
EParseResult Parse(std::vector<std::string> args, SPileupOptions& opts,
                   std::string* printed = nullptr) {
    args.insert(args.begin(), "qualpileup");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::ostringstream out;
    EParseResult r = ParsePileupArgs(static_cast<int>(args.size()), argv.data(), opts, out);
    if (printed) {
        *printed = out.str();
    }
    return r;
}

std::string ParseError(std::vector<std::string> args) {
    SPileupOptions opts;
    try {
        Parse(std::move(args), opts);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(ParsePileupArgs, DefaultsAreTheUsualPileupFilters) {
    SPileupOptions o;
    ASSERT_EQ(Parse({"a.bam", "b.bam"}, o), EParseResult::eRun);
    EXPECT_EQ(o.m_Inputs, (std::vector<std::string>{"a.bam", "b.bam"}));
    EXPECT_EQ(o.m_MinMapQ, 20);
    EXPECT_EQ(o.m_MinBaseQ, 0);
    EXPECT_EQ(o.m_SkipFlags, 0xf04u);  // UNMAP, SECONDARY, QCFAIL, DUP, SUPPLEMENTARY
    EXPECT_EQ(o.m_RequireFlags, 0u);
    EXPECT_EQ(o.m_MinDepth, 1u);
    EXPECT_EQ(o.m_MaxDepth, 0u);
    EXPECT_FALSE(o.m_KeepOverlaps);
    EXPECT_TRUE(o.m_Progress);
    EXPECT_EQ(o.m_Output + o.m_Region + o.m_Reference, "");  // none of them given
}

TEST(ParsePileupArgs, ShortAndLongOptionsSetTheSameFields) {
    SPileupOptions s, l;
    Parse({"-o", "out.xml", "-r", "chr1:5-9", "-f", "ref.fa", "-q", "30", "-Q", "13", "-d", "4",
           "-D", "200", "-x", "-P", "in.bam"},
          s);
    Parse({"--output", "out.xml", "--region=chr1:5-9", "--reference", "ref.fa", "--min-MQ", "30",
           "--min-BQ", "13", "--min-depth", "4", "--max-depth", "200", "--ignore-overlaps",
           "--no-progress", "in.bam"},
          l);
    for (const SPileupOptions* o : {&s, &l}) {
        EXPECT_EQ(o->m_Output, "out.xml");
        EXPECT_EQ(o->m_Region, "chr1:5-9");
        EXPECT_EQ(o->m_Reference, "ref.fa");
        EXPECT_EQ(o->m_MinMapQ, 30);
        EXPECT_EQ(o->m_MinBaseQ, 13);
        EXPECT_EQ(o->m_MinDepth, 4u);
        EXPECT_EQ(o->m_MaxDepth, 200u);
        EXPECT_TRUE(o->m_KeepOverlaps);
        EXPECT_FALSE(o->m_Progress);
        EXPECT_EQ(o->m_Inputs, (std::vector<std::string>{"in.bam"}));
    }
}

TEST(ParsePileupArgs, FlagsAcceptNumbersAndNames) {
    SPileupOptions o;
    Parse({"--skip-flags", "UNMAP,DUP", "--incl-flags", "0x40", "in.bam"}, o);
    EXPECT_EQ(o.m_SkipFlags, 0x404u);
    EXPECT_EQ(o.m_RequireFlags, 0x40u);
    Parse({"--ff", "0", "--rf", "READ2", "in.bam"}, o);
    EXPECT_EQ(o.m_SkipFlags, 0u);
    EXPECT_EQ(o.m_RequireFlags, 0x80u);
}

TEST(ParsePileupArgs, BadArgumentsNameTheOption) {
    const std::string range = "expected an integer from 0 to ";
    struct {
        std::vector<std::string> args;
        std::string msg;
    } cases[] = {
        {{"-q", "x", "a.bam"}, "Invalid value 'x' for --min-MQ: " + range + "255."},
        {{"--min-BQ", "256", "a.bam"}, "Invalid value '256' for --min-BQ: " + range + "255."},
        {{"-d", "3x", "a.bam"}, "Invalid value '3x' for --min-depth: " + range + "1000000000."},
        {{"-D", "-1", "a.bam"}, "Invalid value '-1' for --max-depth: " + range + "1000000000."},
        {{"-q", "99999999999999999999", "a.bam"},
         "Invalid value '99999999999999999999' for --min-MQ: " + range + "255."},
        {{"-d", "-1", "a.bam"}, "Invalid value '-1' for --min-depth: " + range + "1000000000."},
        {{"-D", "abc", "a.bam"}, "Invalid value 'abc' for --max-depth: " + range + "1000000000."},
        {{"-Q", "", "a.bam"}, "Invalid value '' for --min-BQ: " + range + "255."},
        {{"--skip-flags", "UNMAPPED", "a.bam"},
         "Invalid flags 'UNMAPPED' for --skip-flags: expected a number or names such as "
         "UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY."},
        {{"-d", "5", "-D", "4", "a.bam"}, "--max-depth 4 is below --min-depth 5."},
        {{}, "No input file given."},
        {{"-y", "a.bam"}, "Unknown option -y."},
        {{"--frobnicate", "a.bam"}, "Unknown option --frobnicate."},
        {{"a.bam", "-r"}, "Option -r needs a value."},
        {{"a.bam", "--region"}, "Option --region needs a value."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseError(c.args), c.msg + "\nTry 'qualpileup --help' for the options.");
    }
}

TEST(ParsePileupArgs, HelpListsEveryOptionWithItsDefaultAndVersionNamesHtslib) {
    SPileupOptions o;
    std::string text;
    ASSERT_EQ(Parse({"--help"}, o, &text), EParseResult::eHelp);
    EXPECT_EQ(text, PileupUsage());
    // Every option and every default.
    for (const char* shown :
         {"-o, --output", "-r, --region", "-f, --reference", "-q, --min-MQ", "-Q, --min-BQ",
          "--skip-flags, --ff", "--incl-flags, --rf", "-d, --min-depth", "-D, --max-depth",
          "-x, --ignore-overlaps", "-P, --no-progress", "-h, --help", "-V, --version",
          "--fasta-ref", "--min-mq", "--min-bq"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown;
    }
    for (const char* shown : {"[standard output]", "[20]", "[0]", "[1]",
                              "[UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY]"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown;
    }
    ASSERT_EQ(Parse({"-h"}, o, &text), EParseResult::eHelp);
    ASSERT_EQ(Parse({"-V"}, o, &text), EParseResult::eVersion);
    EXPECT_EQ(text.rfind("qualpileup 1.", 0), 0u) << text;
    EXPECT_NE(text.find("\nUsing htslib "), std::string::npos);
}

TEST(AlignmentUsage, SharedLinesGiveTheDefaultsInTheHelpColumns) {
    // The lines every alignment program's help takes (qualpileup, qualscan,
    // the pool programs), with the defaults of the options themselves.
    EXPECT_EQ(ReadQualityUsage(),
              "  -q, --min-MQ INT         skip reads with mapping quality below INT [20]\n"
              "  -Q, --min-BQ INT         skip bases with quality below INT [0]\n");
    EXPECT_EQ(OverlapsUsage(),
              "  -x, --ignore-overlaps    count both mates of a read pair where they overlap\n"
              "                           [off: the later mate is skipped there]\n");
    const std::string help = PileupUsage();
    EXPECT_NE(help.find(ReadQualityUsage()), std::string::npos);
    EXPECT_NE(help.find(OverlapsUsage()), std::string::npos);
}

}  // namespace
