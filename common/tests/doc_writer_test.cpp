#include "common/doc_writer.hpp"

#include <gtest/gtest.h>
#include <libxml++/libxml++.h>
#include <libxml/tree.h>

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/qualxml.hpp"

namespace {

// One read: score, class (0 to 3), known error.
struct SRead {
    unsigned score;
    int cls;
    bool error;
};

struct SCol {
    long pos;
    std::vector<SRead> reads;
    std::string contig = "";  // written when not empty
};

// The model written into FSParams; empty dist: the writer's default.
struct SModel {
    std::string dist;
    TParamVector params;
};

void Write(const std::vector<SCol>& cols, const SModel& model, std::ostream& out) {
    CQualDocWriter w(out, "result.xml");
    w.Begin();
    for (const SCol& c : cols) {
        if (c.contig.empty()) {
            w.BeginColumn(c.pos);
        } else {
            w.BeginColumn(c.pos, c.contig);
        }
        for (const SRead& r : c.reads) {
            w.AddChr(r.score, static_cast<CQualDocWriter::EClass>(r.cls), r.error);
        }
        w.EndColumn();
    }
    if (model.dist.empty()) {
        w.End();
    } else {
        w.End(model.dist, model.params);
    }
}

std::string Write(const std::vector<SCol>& cols, const SModel& model = {}) {
    std::ostringstream out;
    Write(cols, model, out);
    return out.str();
}

// The same document built as a node tree and serialised by libxml2, the
// way the programs wrote it before the writer existed.
std::string LibraryDocument(const std::vector<SCol>& cols, const SModel& model = {}) {
    xmlpp::Element* root = nullptr;
    std::unique_ptr<xmlpp::Document> doc = qualxml::NewDocument(root);
    for (const SCol& c : cols) {
        xmlpp::Element* col = root->add_child("Column");
        col->set_attribute("pos", std::to_string(c.pos));
        if (!c.contig.empty()) {
            col->set_attribute("contig", c.contig);
        }
        for (const SRead& r : c.reads) {
            xmlpp::Element* chr = col->add_child("Chr");
            chr->set_attribute("score", std::to_string(r.score));
            if (r.cls == 1) {
                chr->set_attribute("minor", "");
            } else if (r.cls >= 2) {
                chr->set_attribute("other", std::to_string(r.cls - 1));
            }
            if (r.error) {
                chr->set_attribute("error", "");
            }
        }
    }
    if (model.dist.empty()) {
        qualxml::AppendFSParams(root, "Neutral", TParamVector{{0.01, true}});
    } else {
        qualxml::AppendFSParams(root, model.dist, model.params);
    }
    return qualxml::Serialize(*doc);
}

TEST(CQualDocWriter, MatchesTheXmlLibraryByteForByte) {
    // Every class with and without the error mark, the extreme scores and
    // positions, a column without reads, and enough sites to pass through
    // the buffer many times.
    std::vector<SCol> cols = {
        {1, {{30, 0, false}, {20, 1, false}}},
        {17,
         {{0, 0, true},
          {255, 0, false},
          {41, 1, true},
          {2, 2, false},
          {2, 2, true},
          {93, 3, false},
          {93, 3, true}}},
        {18, {}},
        {2147483647, {{7, 3, false}}},
    };
    for (long pos = 1; pos <= 5000; ++pos) {
        cols.push_back(
            {pos,
             {{static_cast<unsigned>(pos % 94), 0, pos % 3 == 0},
              {static_cast<unsigned>(pos % 7), static_cast<int>(pos % 4), pos % 5 == 0}}});
    }
    const double inf = std::numeric_limits<double>::infinity();
    const SModel models[] = {
        {},
        {"Growth", {{0.02, true}, {5, true}}},
        // Only the given leading parameters are written.
        {"m.s.", {{0.01, true}, {0, true}, {1e-300, true}, {7, false}}},
        {"Neutral", {{-inf, true}, {std::nan(""), true}, {inf, true}}},
        // Whatever a name holds comes out escaped as the library does it.
        {"a<b>&\"c\"\td\ne\rf'", {{1, true}}},
    };
    for (const SModel& m : models) {
        EXPECT_EQ(Write(cols, m), LibraryDocument(cols, m)) << m.dist;
        EXPECT_EQ(Write({}, m), LibraryDocument({}, m)) << m.dist;
    }
    EXPECT_EQ(Write({}),
              "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n<Contig>\n"
              "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n");
}

TEST(CQualDocWriter, FailedStreamIsReportedWithItsName) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    for (const SModel& m : {SModel{}, SModel{"Growth", {{0.02, true}}}}) {
        try {
            Write({{1, {{30, 0, false}}}}, m, out);
            FAIL() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot write 'result.xml'.");
        }
    }
}

// Contig names as libxml2 writes them: markup characters and line breaks as
// references, characters beyond ASCII as hexadecimal references; a name an
// XML document cannot carry is refused.
TEST(CQualDocWriter, WritesContigNamesAsTheXmlLibraryDoes) {
    const std::vector<SCol> cols = {
        {3, {{30, 0, false}}, "chr1"},
        {4, {{31, 1, false}}},
        {1, {}, "a&b<c>\"d\"'e'"},
        {2, {{2, 0, false}}, "tab\there\nline\rcr"},
        {9, {{9, 0, false}}, "\xC3\xA9\xE6\xBC\xA2\xF0\x9D\x84\x9E\x7F~"},
    };
    EXPECT_EQ(Write(cols), LibraryDocument(cols));
    for (const std::string& bad :
         {std::string("a\x01b"), std::string("\xFF"), std::string("\xC3"), std::string("\xC0\x80"),
          std::string("\xED\xA0\x80"), std::string(1, '\0')}) {
        std::ostringstream out;
        CQualDocWriter w(out, "x.xml");
        w.Begin();
        EXPECT_THROW(w.BeginColumn(1, bad), std::runtime_error);
    }
}

}  // namespace
