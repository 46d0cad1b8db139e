// The progress line: redrawn in place on a terminal, whole lines spaced by
// the interval in a log, nothing when switched off.

#include "common/progress.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

TEST(ProgressLine, LogsGetWholeLinesSpacedByTheIntervalAndTerminalsARedrawnLine) {
    std::ostringstream log;
    {
        CProgressLine bar(&log, "prog", 1, CProgressLine::EStyle::eLog,
                          std::chrono::milliseconds(300));
        bar.Tick("chr1", 0);  // before the first interval: nothing
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        bar.Tick("chr1", 99);
        bar.Tick("chr1", 100);  // within the interval: nothing
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        bar.Status("bootstrap resample 3 of 10");
    }
    const std::string text = log.str();
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(Count(text, "\n"), 2) << text;
    EXPECT_EQ(text.rfind("prog: chr1:100 (", 0), 0u) << text;
    EXPECT_NE(text.find("\nprog: bootstrap resample 3 of 10 ("), std::string::npos) << text;

    std::ostringstream terminal;
    {
        CProgressLine bar(&terminal, "prog", 1, CProgressLine::EStyle::eTerminal);
        bar.Tick("chr2", 4);  // at once
        bar.Tick("chr2", 5);  // within the second: nothing
    }
    EXPECT_EQ(terminal.str(), "\r\033[Kprog: chr2:5\r\033[K");

    CProgressLine off(nullptr, "prog");
    off.Tick("chr1", 1);
    off.Status("nothing");
}

}  // namespace
