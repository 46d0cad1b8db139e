#include "pileup/doc_writer.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "pileup_fixture.hpp"

namespace {

using fixture::LibraryDocument;
using fixture::SCol;

void Write(const std::vector<SCol>& cols, std::ostream& out) {
    CQualDocWriter w(out, "result.xml");
    w.Begin();
    for (const SCol& c : cols) {
        w.BeginColumn(c.pos);
        for (const auto& r : c.chr) {
            w.AddChr(static_cast<unsigned>(r.first), static_cast<CQualDocWriter::EClass>(r.second));
        }
        w.EndColumn();
    }
    w.End();
}

std::string Write(const std::vector<SCol>& cols) {
    std::ostringstream out;
    Write(cols, out);
    return out.str();
}

TEST(CQualDocWriter, MatchesTheXmlLibraryByteForByte) {
    // Every class, the extreme scores and positions, and enough sites to pass
    // through the buffer many times.
    std::vector<SCol> cols = {
        {1, {{30, 0}, {20, 1}}},
        {17, {{0, 0}, {255, 0}, {41, 1}, {2, 2}, {93, 3}}},
        {2147483647, {{7, 3}}},
    };
    for (long pos = 1; pos <= 5000; ++pos) {
        cols.push_back({pos, {{static_cast<int>(pos % 94), 0}, {static_cast<int>(pos % 7), 1}}});
    }
    EXPECT_EQ(Write(cols), LibraryDocument(cols));
    EXPECT_EQ(Write({}), LibraryDocument({}));
    EXPECT_EQ(Write({}),
              "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n<Contig>\n"
              "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n");
}

TEST(CQualDocWriter, FailedStreamIsReportedWithItsName) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    try {
        Write({}, out);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot write 'result.xml'.");
    }
}

}  // namespace
