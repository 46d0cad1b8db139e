#include "common/qualxml.hpp"

#include <gtest/gtest.h>

#include <libxml++/libxml++.h>

namespace {

// The text of a whole document whose root holds body.
std::string Framed(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n<Contig>\n" + body +
           "</Contig>\n";
}

TEST(QualXml, FrameAndLayout) {
    xmlpp::Element* root = nullptr;
    auto doc = qualxml::NewDocument(root);
    xmlpp::Element* col = root->add_child(qualxml::kColumn);
    col->set_attribute(qualxml::kPos, "1");
    col->add_child(qualxml::kChr)->set_attribute(qualxml::kScore, "30");
    std::string text;
    qualxml::AppendNumber(text, 0.00999);
    qualxml::AppendNumber(text, 0.49451);
    col->add_child(qualxml::kPrObservedCond)->add_child_text(text);
    qualxml::AppendFSParams(root, "Growth", {{0.01, true}, {0.05, true}});
    EXPECT_EQ(qualxml::Serialize(*doc),
              Framed("  <Column pos=\"1\">\n"
                     "    <Chr score=\"30\"/>\n"
                     "    <PrObservedCond>0.00999 0.49451 </PrObservedCond>\n"
                     "  </Column>\n"
                     "  <FSParams dist=\"Growth\" params=\"0.01 0.05 \"/>\n"));

    // An empty data set holds only FSParams.
    auto empty = qualxml::NewDocument(root);
    qualxml::AppendFSParams(root, "Neutral", {{0.01, true}});
    EXPECT_EQ(qualxml::Serialize(*empty),
              Framed("  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n"));
}

TEST(QualXml, NumbersUseSixSignificantDigitsAndATrailingBlank) {
    std::string text;
    for (double v : {0.123456789, 1e-05, 0.01, 1.0, 123456789.0, 0.0}) {
        qualxml::AppendNumber(text, v);
    }
    EXPECT_EQ(text, "0.123457 1e-05 0.01 1 1.23457e+08 0 ");
}

}  // namespace
