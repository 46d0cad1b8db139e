// Loading and writing data sets: the reader's rules for every element and
// attribute, stored tables, the writer's layout, round trips, and the
// reader's refusal of external entities, external DTDs and entity bombs.

#include "estimator/qscores.hpp"
#include "estimator/tests/test_util.hpp"

#include <gtest/gtest.h>
#include <libxml++/exceptions/exception.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using testutil::C;
using testutil::CCerrCapture;
using testutil::Q;
using testutil::RuntimeMessage;

const char kHead[] = "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n";

// The example site: a reference read of score 30, a minor read of score 20.
const char kExample[] =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n"
    "<Contig>\n"
    "  <Column pos=\"1\">\n"
    "    <Chr score=\"30\"/>\n"
    "    <Chr score=\"20\" minor=\"\"/>\n"
    "    <PrObservedCond>0.00999 0.49451 0.00099 </PrObservedCond>\n"
    "  </Column>\n"
    "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n"
    "</Contig>\n";

void Load(CQScores& data, const std::string& doc) {
    std::istringstream in(doc);
    data.LoadFromStream(in);
}

std::string Body(const std::string& contigContent) {
    return kHead + ("<Contig>" + contigContent + "</Contig>\n");
}

std::string Write(const CQScores& data) {
    std::ostringstream out;
    data.WriteToStream(out);
    return out.str();
}

TEST(QScoresLoad, ExampleDocumentComputesTheTableAndWritesItBack) {
    std::string withoutTable = kExample;
    withoutTable.erase(
        withoutTable.find("    <PrObservedCond>"),
        std::string("    <PrObservedCond>0.00999 0.49451 0.00099 </PrObservedCond>\n").size());
    CQScores data;
    Load(data, withoutTable);
    ASSERT_EQ(data.GetColumns().size(), 1u);
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.m_Pos, 1);
    EXPECT_EQ(c.m_Scores[C::eMajor], Q({30}));
    EXPECT_EQ(c.m_Scores[C::eMinor], Q({20}));
    EXPECT_EQ(data.GetSpectrum().GetName(), "Neutral");
    EXPECT_EQ(Write(data), kExample);
}

TEST(QScoresLoad, FailedStreamIsRejectedBeforeReading) {
    CQScores data;
    std::ifstream missing("/nonexistent/input.xml");
    EXPECT_EQ(RuntimeMessage([&] { data.LoadFromStream(missing); }),
              "CQScores::LoadFromStream: stream not Good.");
    std::ostringstream bad;
    bad.setstate(std::ios::failbit);
    EXPECT_EQ(RuntimeMessage([&] { data.WriteToStream(bad); }),
              "CQScores::WriteToStream: stream not Good.");
    EXPECT_EQ(bad.str(), "");
}

TEST(QScoresLoad, SecondLoadAppendsColumns) {
    CQScores data;
    Load(data, Body("<Column pos=\"5\"><Chr score=\"30\"/></Column>"));
    Load(data, Body("<Column pos=\"9\"><Chr score=\"30\"/></Column>"));
    ASSERT_EQ(data.GetColumns().size(), 2u);
    EXPECT_EQ(data.GetColumns()[0]->m_Pos, 5);
    EXPECT_EQ(data.GetColumns()[1]->m_Pos, 9);
}

TEST(QScoresLoad, ColumnPositionIsItsFirstAttributeWhateverItsName) {
    CQScores data;
    Load(data, Body("<Column x=\"-17\" pos=\"3\"/><Column pos=\" 42abc\"/><Column pos=\"z\"/>"));
    ASSERT_EQ(data.GetColumns().size(), 3u);
    EXPECT_EQ(data.GetColumns()[0]->m_Pos, -17);
    EXPECT_EQ(data.GetColumns()[1]->m_Pos, 42);
    EXPECT_EQ(data.GetColumns()[2]->m_Pos, 0);
    EXPECT_EQ(data.GetColumns()[2]->GetDepth(C::eAll), 0u);
}

TEST(QScoresLoad, ChrClassesFollowTheLastOfMinorAndOther) {
    CQScores data;
    data.SetUseAll(true);  // classes as the document gives them
    Load(data, Body("<Column pos=\"1\">"
                    "<Chr score=\"10\"/>"
                    "<Chr minor=\"\" other=\"1\" score=\"11\"/>"
                    "<Chr other=\"1\" minor=\"0\" score=\"12\"/>"
                    "<Chr score=\"13\" other=\"2\"/>"
                    "<Chr score=\"14\" other=\"x\"/>"
                    "<Chr score=\"15\" other=\"\"/>"
                    "<Chr score=\"16\" other=\" 1\"/>"
                    "</Column>"));
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.m_Scores[C::eMajor], Q({10}));
    EXPECT_EQ(c.m_Scores[C::eMinor], Q({12, 11, 13, 14, 15, 16}));  // classes 2, 3 merged
}

TEST(QScoresLoad, ChrScoreKeepsTheLowByteAndErrorCountsByPresence) {
    CQScores data;
    data.SetUseAll(true);
    Load(data, Body("<Column pos=\"1\">"
                    "<Chr score=\"256\" error=\"0\"/>"
                    "<Chr score=\"300\"/>"
                    "<Chr score=\"-1\" error=\"\"/>"
                    "<Chr score=\"abc\" ignored=\"7\"/>"
                    "<PrObservedCond anc=\"\">1 0 0 0 0 </PrObservedCond>"
                    "</Column>"));
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.m_Scores[C::eMajor], Q({0, 44, 255, 0}));
    EXPECT_EQ(c.m_Errors[C::eMajor], std::vector<bool>({true, false, true, false}));
}

TEST(QScoresLoad, FSParamsAttributesActInDocumentOrder) {
    {
        CQScores data;
        Load(data, Body("<FSParams dist=\"Growth\" params=\"0.02 0.3 \"/>"));
        EXPECT_EQ(data.GetSpectrum().GetName(), "Growth");
        EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.02, true}, {0.3, true}}));
    }
    {
        // params before dist set the model that dist then replaces.
        CQScores data;
        Load(data, Body("<FSParams params=\"0.02 0.3 \" dist=\"Growth\"/>"));
        EXPECT_EQ(data.GetSpectrum().GetName(), "Growth");
        EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.01, true}, {0.05, true}}));
    }
    {
        // An unknown dist keeps the model; its params still apply.
        CQScores data;
        Load(data, Body("<FSParams dist=\"m.s.\" params=\"0.03\"/>"));
        EXPECT_EQ(data.GetSpectrum().GetName(), "Neutral");
        EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.03, true}}));
    }
    {
        // The second FSParams wins; it may sit anywhere.
        CQScores data;
        Load(data, Body("<FSParams dist=\"Growth\" params=\"0.02 0.3\"/>"
                        "<Column pos=\"1\"/>"
                        "<FSParams dist=\"Neutral\" params=\"0.04 0.001\"/>"));
        EXPECT_EQ(data.GetSpectrum().GetName(), "Neutral");
        EXPECT_EQ(data.GetSpectrum().GetParams(), TParamVector({{0.04, true}, {0.001, true}}));
        EXPECT_EQ(data.GetColumns().size(), 1u);
    }
}

TEST(QScoresLoad, ChrOutsideAColumnIsDiscarded) {
    CQScores data;
    Load(data,
         Body("<Chr score=\"30\" minor=\"\"/><Column pos=\"2\"><Chr score=\"20\"/></Column>"));
    ASSERT_EQ(data.GetColumns().size(), 1u);
    EXPECT_EQ(data.GetColumns()[0]->GetDepth(C::eAll), 1u);
}

TEST(QScoresLoad, ColumnWithoutAttributesAndChrWithoutScoreAreRejected) {
    CQScores data;
    EXPECT_EQ(RuntimeMessage([&] {
                  Load(data, Body("\n<Column pos=\"4\"/>\n<Column>\n<Chr score=\"3\"/></Column>"));
              }),
              "CQScores::LoadFromStream: Column element without attributes at line 5: the site "
              "has no position.");
    EXPECT_EQ(data.GetColumns().size(), 1u);  // the column before the fault stays

    CQScores other;
    EXPECT_EQ(RuntimeMessage(
                  [&] { Load(other, Body("\n<Column pos=\"7\">\n<Chr minor=\"\"/></Column>")); }),
              "CQScores::LoadFromStream: Chr element without score at line 5 (in the Column at "
              "position 7).");
    EXPECT_EQ(
        RuntimeMessage([&] { Load(other, Body("<Chr error=\"\"/>")); }),
        "CQScores::LoadFromStream: Chr element without score at line 3 (outside any Column).");
}

TEST(QScoresLoad, StoredTableIsReusedOnlyInItsOwnFoldingMode) {
    // Class 2 holds the most reads: computing the table would regroup them.
    const std::string doc = Body(
        "<Column pos=\"1\"><Chr score=\"20\"/><Chr score=\"20\" other=\"1\"/>"
        "<Chr score=\"20\" other=\"1\"/><PrObservedCond>0.1 0.2 0.3\n0.4 "
        "</PrObservedCond></Column>");
    {
        CQScores data;
        CCerrCapture err;
        Load(data, doc);
        const C& c = *data.GetColumns()[0];
        EXPECT_EQ(c.m_PrObservedCond.m_Probs, std::vector<double>({0.1, 0.2, 0.3, 0.4}));
        EXPECT_EQ(c.m_Scores[C::eMajor].size(), 1u);
        EXPECT_EQ(c.m_Scores[C::eOther1].size(), 2u);
        EXPECT_EQ(err.Text(), "");
    }
    {
        CQScores data;
        data.SetUseAll(true);  // the table lacks anc: it was made folded
        Load(data, doc);
        const C& c = *data.GetColumns()[0];
        EXPECT_NE(c.m_PrObservedCond.m_Probs[0], 0.1);
        EXPECT_EQ(c.m_Scores[C::eMajor].size(), 1u);
        EXPECT_EQ(c.m_Scores[C::eMinor].size(), 2u);
        EXPECT_EQ(c.m_Scores[C::eOther1].size(), 0u);
    }
}

TEST(QScoresLoad, TableTextDeliveredInPiecesIsUsedWhole) {
    CQScores data;
    // Lines reach the parser one by one, and a character reference splits
    // the text once more.
    Load(data, Body("<Column pos=\"1\"><Chr score=\"20\"/><Chr score=\"20\"/>"
                    "<PrObservedCond>0.25\n0.5&#32;0.2\n5 </PrObservedCond></Column>"));
    EXPECT_EQ(data.GetColumns()[0]->m_PrObservedCond.m_Probs,
              std::vector<double>({0.25, 0.5, 0.2}));
    // Only the text of PrObservedCond itself counts: neither text elsewhere
    // in the Column nor text after an element nested in the table.
    CQScores other;
    Load(other, Body("<Column pos=\"1\">0.9 0.9 <Chr score=\"20\"/>"
                     "<PrObservedCond>0.5 0.5 </PrObservedCond></Column>"));
    EXPECT_EQ(other.GetColumns()[0]->m_PrObservedCond.m_Probs, std::vector<double>({0.5, 0.5}));
    EXPECT_EQ(RuntimeMessage([&] {
                  Load(other, Body("<Column pos=\"1\"><Chr score=\"20\"/>"
                                   "<PrObservedCond>0.5 <x/>0.7 </PrObservedCond></Column>"));
              }),
              "CProbDist serialization corrupted!");
}

TEST(QScoresLoad, ShortOrUnterminatedTableStopsTheLoad) {
    const std::string first = "<Column pos=\"1\"/>";
    for (const char* table : {"0.5 ", "0.5 0.5", "0.5 x 0.5 "}) {
        CQScores data;
        EXPECT_EQ(RuntimeMessage([&] {
                      Load(data,
                           Body(first + "<Column pos=\"2\"><Chr score=\"20\"/><PrObservedCond>" +
                                table + "</PrObservedCond></Column><Column pos=\"3\"/>"));
                  }),
                  "CProbDist serialization corrupted!")
            << table;
        EXPECT_EQ(data.GetColumns().size(), 1u);  // the parse stopped at the fault
    }
    CQScores data;
    Load(data, Body("<Column pos=\"2\"><Chr score=\"20\"/><PrObservedCond>0.5 0.5 9 9"
                    "</PrObservedCond></Column>"));
    EXPECT_EQ(data.GetColumns()[0]->m_PrObservedCond.m_Probs, std::vector<double>({0.5, 0.5}));
}

TEST(QScoresLoad, MalformedInputEndsWithAClearError) {
    {
        CQScores data;
        std::string doc = Body("<Column pos=\"1\"/><Column pos=\"2\">");
        EXPECT_THROW(Load(data, doc), xmlpp::exception);  // mismatched end tag
        EXPECT_EQ(data.GetColumns().size(), 1u);
    }
    {
        CQScores data;
        EXPECT_EQ(RuntimeMessage(
                      [&] { Load(data, std::string(kHead) + "<Contig>\n<Column pos=\"1\"/>\n"); }),
                  "CQScores::LoadFromStream: the document ends before its Contig element is "
                  "closed: the input is truncated.");
    }
    {
        CQScores data;
        EXPECT_EQ(RuntimeMessage([&] { Load(data, ""); }),
                  "CQScores::LoadFromStream: the input holds no XML document.");
        std::string garbage;
        for (int i = 0; i < 4096; ++i) {
            garbage += static_cast<char>((i * 7919 + 13) % 256);
        }
        EXPECT_NE(RuntimeMessage([&] { Load(data, garbage); }).find("no XML document"),
                  std::string::npos);
    }
}

// A scratch directory holding files that a document could try to reach.
class QScoresEntities : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qscores_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        // Read through an entity, this would be a valid table for one read.
        std::ofstream(m_Dir + "/secret.txt") << "0.25 0.75 ";
        std::ofstream(m_Dir + "/evil.dtd") << "<!ENTITY y \"0.25 0.75 \">\n";
    }
    void TearDown() override {
        std::remove((m_Dir + "/secret.txt").c_str());
        std::remove((m_Dir + "/evil.dtd").c_str());
        rmdir(m_Dir.c_str());
    }

    // Loads doc; true when it loaded. A loaded table never holds the file.
    bool Loads(const std::string& doc) {
        CQScores data;
        try {
            Load(data, doc);
        } catch (const std::exception&) {
            return false;
        }
        for (const auto& c : data.GetColumns()) {
            EXPECT_NE(c->m_PrObservedCond.m_Probs, std::vector<double>({0.25, 0.75}));
        }
        return true;
    }

    std::string m_Dir;
};

const char kUseX[] =
    "<Contig><Column pos=\"1\"><Chr "
    "score=\"30\"/><PrObservedCond>&x;</PrObservedCond></Column></Contig>";
const char kUseY[] =
    "<Contig><Column pos=\"1\"><Chr "
    "score=\"30\"/><PrObservedCond>&y;</PrObservedCond></Column></Contig>";

TEST_F(QScoresEntities, ExternalEntityIsNeverRead) {
    EXPECT_FALSE(Loads("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [<!ENTITY x SYSTEM \"file://" +
                       m_Dir + "/secret.txt\">]>\n" + kUseX));
    EXPECT_FALSE(Loads("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [<!ENTITY x SYSTEM \"" + m_Dir +
                       "/secret.txt\">]>\n" + kUseX));
}

TEST_F(QScoresEntities, ExternalDtdAndParameterEntitiesAreNeverLoaded) {
    EXPECT_FALSE(Loads("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"" + m_Dir +
                       "/evil.dtd\">\n" + kUseY));
    EXPECT_FALSE(Loads("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [<!ENTITY % p SYSTEM \"" + m_Dir +
                       "/evil.dtd\"> %p;]>\n" + kUseY));
}

TEST_F(QScoresEntities, EntityExpansionIsBounded) {
    // Ten levels of tenfold references: 10^10 copies if expanded.
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n<!ENTITY l0 \"0.5 0.5 \">\n";
    for (int i = 1; i <= 10; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            doc += "&l" + std::to_string(i - 1) + ";";
        }
        doc += "\">\n";
    }
    doc +=
        "]>\n<Contig><Column pos=\"1\"><Chr score=\"30\"/><PrObservedCond>&l10;</PrObservedCond>"
        "</Column></Contig>";
    EXPECT_FALSE(Loads(doc));
}

TEST_F(QScoresEntities, EntityAmplificationIsBounded) {
    // One flat entity of 100 KB referenced 2000 times: no nesting for the
    // library to object to, yet 200 MB of text from a 110 KB document.
    std::string entity;
    while (entity.size() < 100000) {
        entity += "0.5 ";
    }
    std::string refs;
    for (int i = 0; i < 2000; ++i) {
        refs += "&a;";
    }
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [<!ENTITY a \"" + entity +
        "\">]>\n<Contig><Column pos=\"1\"><Chr score=\"30\"/>\n<PrObservedCond>" + refs +
        "</PrObservedCond></Column></Contig>\n";
    CQScores data;
    EXPECT_EQ(RuntimeMessage([&] { Load(data, doc); }),
              "CQScores::LoadFromStream: entity references at line 4 expand the text to more than "
              "ten times the size of the document; the input is refused.");
    EXPECT_TRUE(data.GetColumns().empty());
    // A few references to a small entity are fine.
    EXPECT_TRUE(
        Loads("<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [<!ENTITY h \"0.5 \">]>\n"
              "<Contig><Column pos=\"1\"><Chr score=\"30\"/><PrObservedCond>&h;&h;"
              "</PrObservedCond></Column></Contig>\n"));
}

TEST(QScoresWrite, ReadsAreWrittenByClassWithFlagsAndAnc) {
    C::TScores scores = {Q({30, 31}), Q({20}), Q({10}), Q({12})};
    C::TErrors errors = {std::vector<bool>({false, true}), std::vector<bool>({true}),
                         std::vector<bool>({false}), std::vector<bool>({true})};
    CQScores data;
    data.SetUseAll(true);
    data.AddColumn(
        std::make_unique<C>(-3, scores, "0.5 0.25 0.125 0.0625 0.123456789 1e-05 ", true, &errors));
    data.SetSpectrum(new CFSGrowth);
    EXPECT_EQ(
        Write(data),
        std::string(kHead) +
            "<Contig>\n"
            "  <Column pos=\"-3\">\n"
            "    <Chr score=\"30\"/>\n"
            "    <Chr score=\"31\" error=\"\"/>\n"
            "    <Chr score=\"20\" error=\"\" minor=\"\"/>\n"
            "    <Chr score=\"10\" other=\"1\"/>\n"
            "    <Chr score=\"12\" error=\"\" other=\"2\"/>\n"
            "    <PrObservedCond anc=\"\">0.5 0.25 0.125 0.0625 0.123457 1e-05 </PrObservedCond>\n"
            "  </Column>\n"
            "  <FSParams dist=\"Growth\" params=\"0.01 0.05 \"/>\n"
            "</Contig>\n");
}

TEST(QScoresWrite, EmptyDataSetHoldsOnlyFSParams) {
    CQScores data;
    Load(data, Body(""));
    EXPECT_EQ(Write(data),
              std::string(kHead) +
                  "<Contig>\n  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n");
}

// Sites with several classes, flags and a deep, low-quality column.
std::string MixedDocument() {
    std::string columns;
    for (int site = 0; site < 6; ++site) {
        columns += "<Column pos=\"" + std::to_string(100 + site) + "\">";
        for (int r = 0; r <= site * 7; ++r) {
            columns += "<Chr score=\"" + std::to_string(site == 5 ? 10 : 2 + (r * 13) % 39) + "\"";
            if (r % 5 == 1) {
                columns += " minor=\"\"";
            }
            if (r % 7 == 3) {
                columns += " other=\"" + std::string(r % 2 ? "1" : "2") + "\"";
            }
            if (r % 4 == 0) {
                columns += " error=\"\"";
            }
            columns += "/>";
        }
        columns += "</Column>";
    }
    return Body(columns + "<FSParams dist=\"Growth\" params=\"0.015 0.2\"/>");
}

void ExpectSameSites(const CQScores& a, const CQScores& b) {
    ASSERT_EQ(a.GetColumns().size(), b.GetColumns().size());
    for (std::size_t i = 0; i < a.GetColumns().size(); ++i) {
        const C& x = *a.GetColumns()[i];
        const C& y = *b.GetColumns()[i];
        EXPECT_EQ(x.m_Pos, y.m_Pos);
        EXPECT_EQ(x.m_Scores, y.m_Scores);
        EXPECT_EQ(x.m_Errors, y.m_Errors);
        ASSERT_EQ(x.m_PrObservedCond.size(), y.m_PrObservedCond.size());
        for (std::size_t t = 0; t < x.m_PrObservedCond.size(); ++t) {
            EXPECT_NEAR(x.m_PrObservedCond.m_Probs[t], y.m_PrObservedCond.m_Probs[t],
                        5e-6 * x.m_PrObservedCond.m_Probs[t] + 1e-300);
        }
    }
}

TEST(QScoresWrite, RoundTripInTheSameModeReusesEveryTable) {
    for (bool useAll : {false, true}) {
        CQScores first;
        first.SetUseAll(useAll);
        std::string written;
        {
            CCerrCapture err;
            Load(first, MixedDocument());
            EXPECT_NE(err.Text().find("Depth/numFalse too big at #105"), std::string::npos);
            written = Write(first);
        }
        CQScores second;
        second.SetUseAll(useAll);
        CCerrCapture err;
        Load(second, written);
        EXPECT_EQ(err.Text(), "");  // nothing recomputed
        ExpectSameSites(first, second);
        EXPECT_EQ(Write(second), written);
        EXPECT_EQ(second.GetSpectrum().GetParams(), TParamVector({{0.015, true}, {0.2, true}}));
    }
}

TEST(QScoresWrite, RoundTripInTheOtherModeRecomputesAndRegroups) {
    CQScores unfolded;
    unfolded.SetUseAll(true);
    Load(unfolded,
         Body("<Column pos=\"1\"><Chr score=\"20\" minor=\"\"/><Chr score=\"30\" minor=\"\"/>"
              "<Chr score=\"25\"/></Column>"));
    const std::string written = Write(unfolded);
    EXPECT_NE(written.find("anc=\"\""), std::string::npos);

    CQScores folded;
    Load(folded, written);
    const C& c = *folded.GetColumns()[0];
    EXPECT_EQ(c.m_Scores[C::eMajor], Q({20, 30}));  // the larger class became the reference
    EXPECT_EQ(c.m_Scores[C::eMinor], Q({25}));
    CQScores direct;
    Load(direct, Body("<Column pos=\"1\"><Chr score=\"20\"/><Chr score=\"30\"/>"
                      "<Chr score=\"25\" minor=\"\"/></Column>"));
    EXPECT_EQ(c.m_PrObservedCond.m_Probs, direct.GetColumns()[0]->m_PrObservedCond.m_Probs);
}

TEST(QScoresLoad, DeepColumnLoads) {
    std::string column = "<Column pos=\"1\">";
    for (int r = 0; r < 2000; ++r) {
        column += std::string("<Chr score=\"") + std::to_string(2 + r % 39) + "\"" +
                  (r % 50 == 0 ? " minor=\"\"" : "") + "/>";
    }
    column += "</Column>";
    CQScores data;
    CCerrCapture err;
    Load(data, Body(column));
    ASSERT_EQ(data.GetColumns().size(), 1u);
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.GetDepth(C::eAll), 2000u);
    EXPECT_EQ(c.m_PrObservedCond.size(), 2001u);
    for (double p : c.m_PrObservedCond.m_Probs) {
        EXPECT_TRUE(p >= 0.0 && p <= 1.0) << p;
    }
}

}  // namespace
