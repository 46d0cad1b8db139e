#include "common/stderr_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/warnings.hpp"
#include "common/main_guard.hpp"

namespace {

// Everything written to file so far.
std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
    }
    std::fseek(file, 0, SEEK_END);
    return text;
}

// Warn() and std::cerr share the buffer in the order of their writes, which
// reach the target only before standard output is written, when the buffer
// fills (then in whole lines) and at the end; afterwards the streams and the
// sink are as before.
TEST(BufferedStandardError, KeepsOrderAndWritesLateInWholeLines) {
    std::FILE* target = std::tmpfile();
    ASSERT_NE(target, nullptr);
    std::vector<std::string> earlier;
    CScopedWarningSink collect([&earlier](const std::string& line) { earlier.push_back(line); });
    std::streambuf* cerrBuffer = std::cerr.rdbuf();
    std::ostream* cerrTie = std::cerr.tie();
    std::ostream* coutTie = std::cout.tie();
    const auto cerrFlags = std::cerr.flags();
    std::string expected;
    {
        CBufferedStandardError buffer(target);
        Warn("Depth/numFalse too big at #1; last prob: 0.25");
        std::cerr << "Depth/numFalse too big at #" << 2 << "; last prob: " << 0.5 << std::endl;
        expected =
            "Depth/numFalse too big at #1; last prob: 0.25\n"
            "Depth/numFalse too big at #2; last prob: 0.5\n";
        EXPECT_EQ(Contents(target), "");

        testing::internal::CaptureStdout();
        std::cout << "LogLikelihood: -1\n";
        EXPECT_EQ(Contents(target), expected);
        std::cout.flush();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "LogLikelihood: -1\n");

        // Far more than the buffer holds: whenever the target has been
        // written, it ends on a line break.
        std::string line;
        for (int i = 0; i < 20000; ++i) {
            line = "line " + std::to_string(i) + (i % 2 ? " from Warn" : " from std::cerr");
            expected += line + '\n';
            if (i % 2) {
                Warn(line);
            } else {
                std::cerr << line << std::endl;
            }
            if (i % 1000 == 999) {
                const std::string written = Contents(target);
                EXPECT_EQ(written, expected.substr(0, written.size())) << i;
                EXPECT_EQ(written.back(), '\n') << i;
                EXPECT_GT(expected.size() - written.size(), 0u) << i;
                EXPECT_LE(expected.size() - written.size(), CBufferedStandardError::kCapacity) << i;
            }
        }
        Warn("last");
        expected += "last\n";
    }
    EXPECT_EQ(Contents(target), expected);
    EXPECT_EQ(std::cerr.rdbuf(), cerrBuffer);
    EXPECT_EQ(std::cerr.tie(), cerrTie);
    EXPECT_EQ(std::cout.tie(), coutTie);
    EXPECT_EQ(std::cerr.flags(), cerrFlags);
    Warn("after");
    EXPECT_EQ(earlier, std::vector<std::string>{"after"});
    std::fclose(target);
}

// Created inside the body that GuardedMain runs, the buffer is written while
// the exception unwinds: the warnings come before the report.
TEST(BufferedStandardError, WarningsPrecedeTheReportOfAnException) {
    testing::internal::CaptureStderr();
    const int status = GuardedMain([] {
        CBufferedStandardError buffer;
        Warn("first warning");
        std::cerr << "second warning" << std::endl;
        throw std::runtime_error("the run failed.");
        return 0;
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "first warning\nsecond warning\nException:\n\tthe run failed.\n");
}

}  // namespace
