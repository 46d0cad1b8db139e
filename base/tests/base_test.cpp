#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/params.hpp"
#include "base/warnings.hpp"

namespace {

TEST(ParamString, GivenEntriesInDefaultFormatEachFollowedByABlank) {
    EXPECT_EQ(FormatParamString({{1234567.0, true}, {1.0 / 3, true}, {1e-7, true}}),
              "1.23457e+06 0.333333 1e-07 ");
    EXPECT_EQ(FormatParamString({}), "");
    // The count of given entries decides how many leading values are written.
    EXPECT_EQ(FormatParamString({{0.5, false}, {2.0, true}}), "0.5 ");
    EXPECT_EQ(CountGivenParams({{0.5, false}, {2.0, true}, {3.0, true}}), 2u);
}

TEST(WarningSink, ScopedSinkCollectsLinesAndRestoresThePreviousOne) {
    std::vector<std::string> outer, inner;
    CScopedWarningSink a([&](const std::string& line) { outer.push_back(line); });
    Warn("one");
    {
        CScopedWarningSink b([&](const std::string& line) { inner.push_back(line); });
        Warn("two");
    }
    Warn("three");
    EXPECT_EQ(outer, (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(inner, (std::vector<std::string>{"two"}));
}

}  // namespace
