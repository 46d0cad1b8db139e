#include "pool/fs_text.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// Blank lines and comments, however indented, are passed over; the line an
// error names is the file's own line number.
TEST(FsText, LinesThatHoldSomethingAndTheLineTheirErrorsName) {
    std::istringstream in("# a comment\n\n   \t\r\n  # indented\n5 folded \"a\"\r\n#\n1 2 3\n");
    CFsLines lines(in, "x.fs");
    ASSERT_TRUE(lines.Next());
    EXPECT_EQ(lines.Line(), "5 folded \"a\"\r");
    const CInputError head = lines.Fail(EInputError::eFormat, "bad head.");
    EXPECT_EQ(head.Kind(), EInputError::eFormat);
    EXPECT_NE(std::string(head.what()).find("line 5"), std::string::npos) << head.what();
    ASSERT_TRUE(lines.Next());
    EXPECT_EQ(lines.Line(), "1 2 3");
    EXPECT_NE(std::string(lines.Fail(EInputError::eRange, "x").what()).find("line 7"),
              std::string::npos);
    EXPECT_FALSE(lines.Next());
}

TEST(FsText, EntriesKeepEveryDigitAndCommentsEveryLine) {
    EXPECT_EQ(FsEntry(0.0), "0");
    EXPECT_EQ(FsEntry(2.0), "2");
    const double third = 1.0 / 3.0;
    EXPECT_EQ(std::stod(FsEntry(third)), third);  // read back, the same double
    EXPECT_EQ(std::stod(FsEntry(1e-300 / 7)), 1e-300 / 7);
    std::ostringstream out;
    WriteFsComment(out, "first\nsecond\n\nfourth");
    EXPECT_EQ(out.str(), "# first\n# second\n# \n# fourth\n");
}

}  // namespace
