#pragma once
// What the program tests of the pool programs share: files read whole,
// tab-separated tables split into cells (comment lines skipped: a windows
// file's first line is tested on its own), and the places of the source and
// the built programs.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pooltest {

inline const std::string kBin = QT_BIN_DIR;
inline const std::string kSource = QT_SOURCE_DIR;

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline std::vector<std::vector<std::string>> Table(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> f;
        std::istringstream s(line);
        std::string x;
        while (std::getline(s, x, '\t')) {
            f.push_back(x);
        }
        rows.push_back(f);
    }
    return rows;
}

// Runs a command with bash (no single quotes in it); returns its status.
inline int Shell(const std::string& command) {
    const int status = std::system(("bash -c '" + command + " 2>/dev/null'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two tables equal: the same words, numbers within rel of each other (the
// header row compared as words).
inline void ExpectTablesNear(const std::string& got, const std::string& want, double rel) {
    const auto a = Table(got), b = Table(want);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t r = 0; r < a.size(); ++r) {
        ASSERT_EQ(a[r].size(), b[r].size()) << "row " << r;
        for (std::size_t c = 0; c < a[r].size(); ++c) {
            char* end = nullptr;
            const double x = std::strtod(a[r][c].c_str(), &end);
            if (r == 0 || *end != '\0' || a[r][c].empty() || a[r][c] == "NA") {
                EXPECT_EQ(a[r][c], b[r][c]) << "row " << r << " column " << c;
            } else {
                const double y = std::strtod(b[r][c].c_str(), nullptr);
                EXPECT_NEAR(x, y, rel * std::fabs(y)) << "row " << r << " column " << c;
            }
        }
    }
}

}  // namespace pooltest
