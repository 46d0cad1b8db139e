#pragma once
// What every program's windows file shares, so that a reader (a person, R,
// pandas, scripts/plot_windows) takes any of them the same way: the first
// line, a comment that says what the intervals of the file are:
// "#intervals=KIND<TAB>level=L" (KIND profile, bootstrap, or none for a
// file without intervals), written and read here.

#include <string>

// The windows file's first line.
struct SWindowsComment {
    std::string m_Intervals = "profile";  // "profile", "bootstrap" or "none"
    double m_Level = 0.95;                // the intervals' level
};

// "#intervals=profile\tlevel=0.95\n": the level with up to 10 significant
// digits, as every number of the file.
std::string FormatWindowsComment(const SWindowsComment& comment);

// Reads a first line written by FormatWindowsComment (with or without its
// line break); false when line is not one: no leading '#', no intervals=
// of a known kind, or no level= between 0 and 1. Further key=value fields
// after the level are allowed and ignored.
bool ParseWindowsComment(const std::string& line, SWindowsComment& comment);
