#pragma once
// What every program's windows file shares, so that a reader (a person, R,
// pandas, scripts/plot_windows) takes any of them the same way:
//   - the first line, a comment that says what the intervals of the file
//     are: "#intervals=KIND<TAB>level=L" (KIND profile, bootstrap, or none
//     for a file without intervals), written and read here;
//   - the rule that a window of fewer sites than --min-sites is written
//     with NA for every estimate (its row stays, with its sites), so that a
//     scaffold's few sites do not become false outliers.

#include <cstdint>
#include <string>

// --min-sites by default: every window with a site gets its estimates, as
// before the option. A window's interval already widens as its sites fall,
// and how many sites make an estimate worth plotting depends on the window
// size and the data; a default above 1 would turn windows of every earlier
// file into NA.
inline constexpr std::uint64_t kDefaultMinSites = 1;

// Whether a window of sites sites gets its estimates under --min-sites
// minSites; a window without sites never does (its values are NA anyway).
inline bool WindowEstimated(std::uint64_t sites, std::uint64_t minSites) {
    return sites > 0 && sites >= minSites;
}

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
