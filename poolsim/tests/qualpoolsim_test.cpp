// qualpoolsim's command line and the program as a shell runs it: the ranges
// it shares with the pool programs and the runs it must refuse up front.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pool/pool_sheet.hpp"
#include "poolsim/pool_sim.hpp"
#include "poolsim/pool_sim_options.hpp"

// Sanitizers reserve terabytes of address space and hold freed blocks back:
// neither a limit on the address space nor a peak means the same there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

namespace {

std::string Program() {
    const char* env = std::getenv("QT_BIN_DIR");
    return std::string(env ? env : QT_BIN_DIR) + "/qualpoolsim";
}

// A scratch directory, removed with what it holds.
struct SScratch {
    SScratch() {
        char pattern[] = "/tmp/qualpoolsim_test.XXXXXX";
        if (!mkdtemp(pattern)) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_Path = pattern;
    }
    ~SScratch() { std::system(("rm -rf '" + m_Path + "'").c_str()); }
    // Names of the entries, "." and ".." left out.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(m_Path.c_str())) {
            while (const dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            closedir(d);
        }
        return names;
    }
    std::string m_Path;
};

struct SRun {
    int m_Status = -1;
    std::string m_Stderr;
    long m_PeakKiB = 0;  // the child's largest resident set
};

// Runs qualpoolsim with args in dir, under an address-space limit (bytes;
// 0 for none), and waits for it alone, so that its own peak is measured.
SRun RunProgram(const std::string& dir, const std::vector<std::string>& args,
                rlim_t addressSpace = 0) {
    const std::string err = dir + "/stderr.txt";
    SRun run;
    const pid_t pid = fork();
    if (pid == 0) {
        if (addressSpace > 0) {
            const rlimit limit{addressSpace, addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (!std::freopen(err.c_str(), "w", stderr) || chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        std::vector<std::string> all{Program()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
        run.m_Status = WEXITSTATUS(status);
        run.m_PeakKiB = usage.ru_maxrss;
    }
    std::ifstream in(err);
    std::getline(in, run.m_Stderr, '\0');
    std::remove(err.c_str());
    return run;
}

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

// A contig longer than memory can hold (about 11 bytes per base) is refused
// before anything is allocated or written, naming the memory it needs and
// what it exceeds: the machine's memory, or the process's own limit. It
// ended in std::bad_alloc (poolsim_limits.sh).
TEST(QualpoolsimProgram, ContigsBeyondMemoryAreRefusedUpFront) {
    SScratch dir;
    const SRun huge = RunProgram(dir.m_Path, {"-o", "big", "-l", "1099511627776", "-d", "1"});
    EXPECT_EQ(huge.m_Status, 1);
    EXPECT_EQ(huge.m_Stderr.rfind("qualpoolsim: error: The simulation needs about ", 0), 0u)
        << huge.m_Stderr;
    EXPECT_NE(huge.m_Stderr.find(" TiB of memory"), std::string::npos) << huge.m_Stderr;
    EXPECT_NE(huge.m_Stderr.find("1099511627776 bases"), std::string::npos) << huge.m_Stderr;
    EXPECT_EQ(std::count(huge.m_Stderr.begin(), huge.m_Stderr.end(), '\n'), 1) << huge.m_Stderr;
    EXPECT_TRUE(dir.Entries().empty());

    if (kSanitized) {
        GTEST_SKIP() << "a limit on the address space stops a sanitized program at its start";
    }
    // 10^9 bases fit the machine but not 4 GB of address space.
    const SRun limited = RunProgram(dir.m_Path, {"-o", "big", "-l", "1000000000", "-d", "1"},
                                    rlim_t(4000000) * 1024);
    EXPECT_EQ(limited.m_Status, 1);
    EXPECT_NE(limited.m_Stderr.find("GiB of memory"), std::string::npos) << limited.m_Stderr;
    EXPECT_NE(limited.m_Stderr.find("more than the 3.8 GiB of the address-space limit of the "
                                    "process (ulimit -v)"),
              std::string::npos)
        << limited.m_Stderr;
    EXPECT_TRUE(dir.Entries().empty());
}

// The figure the check compares is the run's real peak, from above and not
// far off (a quarter, beyond the 48 MiB it keeps for the program and its
// thread), where the contig's sites, their pools' bits or the windows hold
// most of it.
TEST(QualpoolsimProgram, MemoryNeededBoundsThePeakOfARun) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' own memory is no part of the figure";
    }
    SScratch dir;
    const std::vector<std::vector<std::string>> cases = {
        {"-l", "500000", "--theta", "0.05", "--ancestral-size", "100"},
        {"-l", "200000", "-p", "4", "-n", "1000", "--theta", "0.02", "--fst", "0"},
        {"-l", "300000", "--windows", "1"},
    };
    for (std::vector<std::string> args : cases) {
        args.insert(args.end(), {"-o", "m", "-d", "0.001"});
        SPoolSimOptions o;
        EXPECT_EQ(ParseError(args, &o), "");
        const double need = PoolSimMemory(o) / 1024;
        const SRun run = RunProgram(dir.m_Path, args);
        ASSERT_EQ(run.m_Status, 0) << run.m_Stderr;
        const double peak = static_cast<double>(run.m_PeakKiB);
        EXPECT_GT(need, peak) << args[1] << " " << args[2];
        EXPECT_LT(need, 1.25 * peak + 48 * 1024) << args[1] << " " << args[2];
    }
}
