#include "windows/window_file.hpp"

#include <cstdlib>

#include "common/table_format.hpp"

std::string FormatWindowsComment(const SWindowsComment& comment) {
    return "#intervals=" + comment.m_Intervals + "\tlevel=" + FormatNumber(comment.m_Level) + '\n';
}

bool ParseWindowsComment(const std::string& line, SWindowsComment& comment) {
    std::string text = line;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const std::string intervals = "#intervals=";
    if (text.compare(0, intervals.size(), intervals) != 0) {
        return false;
    }
    const std::size_t tab = text.find('\t');
    const std::string kind = text.substr(intervals.size(), tab - intervals.size());
    if (kind != "profile" && kind != "bootstrap" && kind != "none") {
        return false;
    }
    const std::string level = "level=";
    if (tab == std::string::npos || text.compare(tab + 1, level.size(), level) != 0) {
        return false;
    }
    const std::size_t end = text.find('\t', tab + 1);
    const std::string value =
        text.substr(tab + 1 + level.size(),
                    end == std::string::npos ? std::string::npos : end - tab - 1 - level.size());
    char* stop = nullptr;
    const double l = std::strtod(value.c_str(), &stop);
    if (value.empty() || *stop != '\0' || !(l > 0.0 && l < 1.0)) {
        return false;
    }
    comment.m_Intervals = kind;
    comment.m_Level = l;
    return true;
}
