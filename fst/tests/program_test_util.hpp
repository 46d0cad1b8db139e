#pragma once
// What the program tests of the pool programs share: files read whole,
// tab-separated tables split into cells (comment lines skipped: a windows
// file's first line is tested on its own), and the places of the source and
// the built programs.

#include <sys/stat.h>

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

}  // namespace pooltest
