// qualscan's command line: the rows it shares with qualpileup read every
// spelling alike in both programs.

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
    // qualscan keeps its output and threads beside the alignment options.
    SPileupOptions seen = scan.m_Pileup;
    seen.m_Output = scan.m_Output;
    seen.m_Threads = scan.m_Threads;
    return seen;
}

std::string Fields(const SPileupOptions& o) {
    std::ostringstream s;
    s << o.m_Region << '|' << o.m_Reference << '|' << o.m_MinMapQ << '|' << o.m_MinBaseQ << '|'
      << o.m_SkipFlags << '|' << o.m_RequireFlags << '|' << o.m_MinDepth << '|' << o.m_MaxDepth
      << '|' << o.m_KeepOverlaps << '|' << o.m_Progress << '|' << o.m_Output << '|' << o.m_Threads;
    return s.str();
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
        const SPileupOptions d;
        EXPECT_EQ(Fields(scan), Fields(pileup));
        // The option did something: some field left its default.
        EXPECT_NE(Fields(pileup), Fields(d));
        ++checked;
    }
    EXPECT_EQ(checked, 17);  // output, threads, the alignment options and their samtools spellings
}

}  // namespace
