// qualpoolsim's command line and the program as a shell runs it: the ranges
// it shares with the pool programs and the runs it must refuse up front.

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pool/pool_sheet.hpp"
#include "poolsim/pool_sim_options.hpp"

namespace {

// Parses args (after the program's name); the error message, or "" when
// the line is accepted.
std::string ParseError(std::vector<std::string> args, SPoolSimOptions* parsed = nullptr) {
    args.insert(args.begin(), "qualpoolsim");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    SPoolSimOptions opts;
    std::ostringstream out;
    try {
        ParsePoolSimArgs(static_cast<int>(args.size()), argv.data(), opts, out);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    if (parsed) {
        *parsed = opts;
    }
    return "";
}

}  // namespace

// A sheet qualpoolsim writes must be one qualfst reads: the sizes come from
// the same constants, at both ends, alone and in lists.
TEST(QualpoolsimOptions, PoolSizesAreThePoolProgramsRange) {
    ASSERT_EQ(kMinPoolSize, 2u);
    ASSERT_EQ(kMaxPoolSize, 10000u);
    for (const char* bad : {"1", "10001", "0", "50,1", "2,10001", "-3"}) {
        const std::string e = ParseError({"-o", "x", "-n", bad});
        EXPECT_NE(e.find("--pool-size"), std::string::npos) << bad << ": " << e;
        EXPECT_NE(e.find("from 2 to 10000"), std::string::npos) << bad << ": " << e;
    }
    SPoolSimOptions o;
    EXPECT_EQ(ParseError({"-o", "x", "-n", "2,10000"}, &o), "");
    EXPECT_EQ(o.m_PoolSizes, (std::vector<unsigned>{2, 10000}));
    EXPECT_EQ(ParseError({"-o", "x", "-p", "3", "-n", "10000"}, &o), "");
    EXPECT_EQ(o.m_PoolSizes, (std::vector<unsigned>{10000, 10000, 10000}));
}

// --fst: one value for every pool, or one per pool.
TEST(QualpoolsimOptions, FstOncePerRunOrOncePerPool) {
    SPoolSimOptions o;
    EXPECT_EQ(ParseError({"-o", "x", "-p", "3", "--fst", "0.2"}, &o), "");
    EXPECT_EQ(o.m_PoolFst, (std::vector<double>{0.2, 0.2, 0.2}));
    EXPECT_EQ(ParseError({"-o", "x", "--names", "a,b,c", "--fst", "0,0.1,0.5"}, &o), "");
    EXPECT_EQ(o.m_PoolFst, (std::vector<double>{0, 0.1, 0.5}));
    EXPECT_EQ(ParseError({"-o", "x"}, &o), "");
    EXPECT_TRUE(o.m_PoolFst.empty());  // the default for every pool
    EXPECT_NE(ParseError({"-o", "x", "-p", "3", "--fst", "0.1,0.2"}).find("--fst gives 2 values"),
              std::string::npos);
    EXPECT_NE(ParseError({"-o", "x", "--fst", "0.1,1"}).find("Invalid value '1' for --fst"),
              std::string::npos);
}
