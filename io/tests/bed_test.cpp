// BED intervals: merged per contig, checked against the input's contigs by
// name, and every fault an input error of its kind at its line.

#include "io/bed.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>

#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

class CBedTest : public scanfix::CScratchTest {
  protected:
    // The error of reading text as a BED file (kind eUnknown and line 0
    // when there is none).
    CInputError Error(const std::string& text) {
        try {
            CBedFile bed(Write("bad.bed", text));
        } catch (const CInputError& e) {
            return e;
        }
        return CInputError(EInputError::eUnknown, {}, "none");
    }
};

TEST_F(CBedTest, MergesIntervalsAndChecksContigsByName) {
    // Many contigs, listed out of order against the input's: each is found
    // by name.
    std::string text = "# comment\ntrack name=x\n";
    std::vector<std::string> known;
    for (int i = 0; i < 20000; ++i) {
        known.push_back("scaffold_" + std::to_string(i));
    }
    for (int i = 19999; i >= 0; i -= 2) {
        text += "scaffold_" + std::to_string(i) + " 10\t20\n";
    }
    text += "scaffold_1\t15 30\nscaffold_1\t30\t31\nscaffold_1\t5\t5\n";
    CBedFile bed(Write("a.bed", text));
    EXPECT_EQ(bed.Contigs().size(), 10000u);
    const std::vector<SBedInterval>* s1 = bed.Intervals("scaffold_1");
    ASSERT_NE(s1, nullptr);
    ASSERT_EQ(s1->size(), 1u);
    EXPECT_EQ((*s1)[0].m_Beg, 10);
    EXPECT_EQ((*s1)[0].m_End, 31);
    EXPECT_EQ(bed.Intervals("scaffold_0"), nullptr);
    EXPECT_NO_THROW(bed.CheckContigs(known, "is not known"));
    known.erase(known.begin() + 7);
    try {
        bed.CheckContigs(known, "is not known");
        ADD_FAILURE() << "an unknown contig passed";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eUnknown);
        EXPECT_EQ(e.Where().m_Contig, "scaffold_7");
        EXPECT_EQ(e.Where().m_File, Path("a.bed"));
    }
}

TEST_F(CBedTest, FaultsAreInputErrorsOfTheirKindAtTheirLine) {
    struct SCase {
        std::string m_Text;
        EInputError m_Kind;
        std::uint64_t m_Line;
    };
    for (const SCase& c : {SCase{"c1\t0\t5\nc1\t4\n", EInputError::eFormat, 2},
                           SCase{"c1\t-1\t5\n", EInputError::eRange, 1},
                           SCase{"c1\t0\t5x\n", EInputError::eRange, 1},
                           SCase{"c1\t+3\t5\n", EInputError::eRange, 1},
                           SCase{"c1\t0\t99999999999999999999\n", EInputError::eRange, 1},
                           SCase{"\n\nc1\t9\t3\n", EInputError::eRange, 3}}) {
        SCOPED_TRACE(c.m_Text);
        const CInputError e = Error(c.m_Text);
        EXPECT_EQ(e.Kind(), c.m_Kind) << e.what();
        EXPECT_EQ(e.Where().m_Line, c.m_Line) << e.what();
    }
    // BGZF cut where a block ends.
    const std::string path = Path("cut.bed.gz");
    BGZF* out = bgzf_open(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    const std::string text = "c1\t0\t5\n";
    ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(bgzf_close(out), 0);
    EXPECT_NO_THROW(CBedFile{path});
    const std::string bytes = scanfix::ReadFile(path);
    Write("cut.bed.gz", bytes.substr(0, bytes.size() - 28));
    try {
        CBedFile bed(path);
        ADD_FAILURE() << "a cut file was read";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eTruncated);
    }
    try {
        CBedFile bed(Path("missing.bed"));
        ADD_FAILURE() << "a missing file was read";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eOpen);
    }
}

}  // namespace
