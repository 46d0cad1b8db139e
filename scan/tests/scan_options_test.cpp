// qualscan's command line: the rows it shares with qualpileup read every
// spelling alike in both programs, and a region given twice is refused by
// both.

#include "scan/scan_options.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return argv;
}

SPileupOptions ParseBoth(std::vector<std::string> args, SPileupOptions& pileup) {
    std::ostringstream out;
    std::vector<std::string> p = args, s = args;
    p.insert(p.begin(), "qualpileup");
    s.insert(s.begin(), "qualscan");
    std::vector<char*> pv = Argv(p), sv = Argv(s);
    EXPECT_EQ(ParsePileupArgs(static_cast<int>(p.size()), pv.data(), pileup, out),
              EParseResult::eRun);
    SScanOptions scan;
    EXPECT_EQ(ParseScanArgs(static_cast<int>(s.size()), sv.data(), scan, out), EParseResult::eRun);
    return scan.m_Pileup;
}

// Every long name of the shared rows, given once with a value the row
// accepts, sets the same field in both programs.
TEST(SharedOptionRows, EverySpellingSetsTheSameFieldInBothPrograms) {
    const std::vector<option> shared = ProgramOptionTable({});
    ASSERT_GE(shared.size(), 19u);
    int checked = 0;
    for (const option& row : shared) {
        if (!row.name || row.val == 'h' || row.val == 'V') {
            continue;
        }
        const std::string name = row.name;
        SCOPED_TRACE(name);
        const std::string value = row.val == 'r'                     ? "chr2:5-9"
                                  : row.val == 'f' || row.val == 'o' ? "x.fa"
                                  : row.val == kSkipFlagsOption || row.val == kInclFlagsOption
                                      ? "DUP"
                                      : "7";
        std::vector<std::string> args{"--" + name};
        if (row.has_arg == required_argument) {
            args.push_back(value);
        }
        args.push_back("in.bam");
        SPileupOptions pileup;
        const SPileupOptions scan = ParseBoth(args, pileup);
        EXPECT_EQ(scan.m_Region, pileup.m_Region);
        EXPECT_EQ(scan.m_Reference, pileup.m_Reference);
        EXPECT_EQ(scan.m_MinMapQ, pileup.m_MinMapQ);
        EXPECT_EQ(scan.m_MinBaseQ, pileup.m_MinBaseQ);
        EXPECT_EQ(scan.m_SkipFlags, pileup.m_SkipFlags);
        EXPECT_EQ(scan.m_RequireFlags, pileup.m_RequireFlags);
        EXPECT_EQ(scan.m_MinDepth, pileup.m_MinDepth);
        EXPECT_EQ(scan.m_MaxDepth, pileup.m_MaxDepth);
        EXPECT_EQ(scan.m_KeepOverlaps, pileup.m_KeepOverlaps);
        EXPECT_EQ(scan.m_Progress, pileup.m_Progress);
        // The option did something: some field left its default.
        const SPileupOptions d;
        EXPECT_TRUE(pileup.m_Output != d.m_Output || pileup.m_Region != d.m_Region ||
                    pileup.m_Reference != d.m_Reference || pileup.m_MinMapQ != d.m_MinMapQ ||
                    pileup.m_MinBaseQ != d.m_MinBaseQ || pileup.m_SkipFlags != d.m_SkipFlags ||
                    pileup.m_RequireFlags != d.m_RequireFlags ||
                    pileup.m_MinDepth != d.m_MinDepth || pileup.m_MaxDepth != d.m_MaxDepth ||
                    pileup.m_KeepOverlaps != d.m_KeepOverlaps || pileup.m_Progress != d.m_Progress);
        ++checked;
    }
    EXPECT_EQ(checked, 16);  // output, the alignment options and their samtools spellings
}

TEST(SharedOptionRows, ARegionGivenTwiceIsRefusedByBothPrograms) {
    for (const std::string program : {"qualpileup", "qualscan"}) {
        SCOPED_TRACE(program);
        std::vector<std::string> args{program, "-r", "c1", "--region", "c2", "in.bam"};
        std::vector<char*> argv = Argv(args);
        std::ostringstream out;
        try {
            if (program == "qualscan") {
                SScanOptions o;
                ParseScanArgs(static_cast<int>(args.size()), argv.data(), o, out);
            } else {
                SPileupOptions o;
                ParsePileupArgs(static_cast<int>(args.size()), argv.data(), o, out);
            }
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "-r/--region is given twice ('c1' and 'c2'): a run reads one region.\nTry '" +
                          program + " --help' for the options.");
        }
    }
}

}  // namespace
