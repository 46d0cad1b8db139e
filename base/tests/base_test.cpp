#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "base/params.hpp"
#include "base/split.hpp"
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

TEST(InputError, MessageNamesOnlyThePartsItHasAndKeepsTheKind) {
    const CInputError e(EInputError::eRange, {"a.pileup", 12, 0, "chr2", 1045},
                        "the depth 'x' is not a whole number.");
    EXPECT_STREQ(e.what(), "'a.pileup', line 12, chr2:1045: the depth 'x' is not a whole number.");
    EXPECT_EQ(e.Kind(), EInputError::eRange);
    EXPECT_EQ(e.Where().m_Pos, 1045);
    EXPECT_EQ(CInputError(EInputError::eTruncated, {"-", 0, 7, "", 0}, "cut.").what(),
              std::string("standard input, record 7: cut."));
    EXPECT_EQ(CInputError(EInputError::eFormat, {}, "bad.").what(), std::string("bad."));
    EXPECT_EQ(FormatWhere({"", 0, 0, "", 5}), "position 5");
    EXPECT_EQ(FormatWhere({"b.bed", 0, 0, "scaffold_9", 0}), "'b.bed', contig scaffold_9");
}

TEST(InputError, OutOfOrderNamesBothEntries) {
    const CInputError e =
        OutOfOrder({"x.sites", 0, 3, "c1", 5}, "c1", 9, "sites must be in genome order");
    EXPECT_EQ(e.Kind(), EInputError::eOrder);
    EXPECT_EQ(std::string(e.what()),
              "'x.sites', record 3, c1:5: comes after c1:9; sites must be in genome order.");
}

TEST(SplitAt, KeepsEveryItemSoThatJoiningGivesTheTextBack) {
    EXPECT_EQ(SplitAt("", ','), (std::vector<std::string>{""}));
    EXPECT_EQ(SplitAt("a", ','), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitAt(",a,,b,", ','), (std::vector<std::string>{"", "a", "", "b", ""}));
    EXPECT_EQ(SplitAt("name\tsize\tfiles", '\t'),
              (std::vector<std::string>{"name", "size", "files"}));
    // Any text: one item more than separators, none holding a separator,
    // and the items joined by the separator are the text.
    std::mt19937 rng(11);
    const char letters[] = {'a', ',', 'b', '\t', ','};
    for (int round = 0; round < 500; ++round) {
        std::string text;
        for (std::size_t n = rng() % 12; n > 0; --n) {
            text += letters[rng() % sizeof letters];
        }
        const std::vector<std::string> items = SplitAt(text, ',');
        std::string joined;
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].find(','), std::string::npos);
            joined += (i ? "," : "") + items[i];
        }
        EXPECT_EQ(joined, text);
        EXPECT_EQ(items.size(),
                  static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1);
    }
}

}  // namespace
