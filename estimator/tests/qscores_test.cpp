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
#include <sstream>
#include <string>

namespace {

using testutil::C;
using testutil::CCerrCapture;
using testutil::Q;
using testutil::RuntimeMessage;
using Flags = std::vector<bool>;
using Probs = std::vector<double>;

const std::string kXmlDecl = "<?xml version=\"1.0\"?>\n";
const std::string kHead = kXmlDecl + "<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n";
const std::string kTable = "    <PrObservedCond>0.00999 0.49451 0.00099 </PrObservedCond>\n";
// The example site: a reference read of score 30, a minor read of score 20.
const std::string kExample = kHead +
                             "<Contig>\n"
                             "  <Column pos=\"1\">\n"
                             "    <Chr score=\"30\"/>\n"
                             "    <Chr score=\"20\" minor=\"\"/>\n" +
                             kTable +
                             "  </Column>\n"
                             "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n"
                             "</Contig>\n";

void Load(CQScores& data, const std::string& doc) {
    std::istringstream in(doc);
    data.LoadFromStream(in);
}

std::string Body(const std::string& contigContent) {
    return kHead + "<Contig>" + contigContent + "</Contig>\n";
}

std::string Write(const CQScores& data) {
    std::ostringstream out;
    data.WriteToStream(out);
    return out.str();
}

// A document whose table is `references` references to one flat entity of
// 100 KB, after a comment of `padding` bytes: 110 references are 11 MB of
// text, beyond the 10 MB that expand freely.
std::string FlatExpansion(int references, std::size_t padding) {
    std::string entity, refs;
    for (int i = 0; i < 25000; ++i) {
        entity += "0.5 ";
    }
    for (int i = 0; i < references; ++i) {
        refs += "&a;";
    }
    return kXmlDecl + "<!DOCTYPE Contig [<!ENTITY a \"" + entity + "\">]>\n<!-- " +
           std::string(padding, 'x') + " -->\n<Contig>" +
           "<Column pos=\"1\"><Chr score=\"20\"/><PrObservedCond>\n" + refs +
           "</PrObservedCond></Column></Contig>\n";
}

// A column of one score-20 read (more reads first) with the table text given.
std::string TableColumn(const std::string& table, const std::string& reads = "") {
    return "<Column pos=\"1\">" + reads + "<Chr score=\"20\"/><PrObservedCond>" + table +
           "</PrObservedCond></Column>";
}

TEST(QScoresLoad, ExampleDocumentComputesTheTableAndWritesItBack) {
    std::string withoutTable = kExample;
    withoutTable.erase(withoutTable.find(kTable), kTable.size());
    CQScores data;
    Load(data, withoutTable);
    ASSERT_EQ(data.GetColumns().size(), 1u);
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.m_Pos, 1);
    EXPECT_EQ(c.m_Scores, (C::TScores{Q{30}, Q{20}, {}, {}}));
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

TEST(QScoresLoad, ColumnsAppendAndTakeTheirFirstAttributeAsPosition) {
    CQScores data;
    Load(data, Body("<Column x=\"-17\" pos=\"3\"/><Column pos=\" 42abc\"/>"));
    // A Chr outside a Column is discarded.
    Load(data, Body("<Chr score=\"30\" minor=\"\"/><Column pos=\"z\"><Chr score=\"9\"/></Column>"));
    ASSERT_EQ(data.GetColumns().size(), 3u);
    EXPECT_EQ(data.GetColumns()[0]->m_Pos, -17);
    EXPECT_EQ(data.GetColumns()[1]->m_Pos, 42);
    EXPECT_EQ(data.GetColumns()[2]->m_Pos, 0);
    EXPECT_EQ(data.GetColumns()[1]->GetDepth(C::eAll), 0u);
    EXPECT_EQ(data.GetColumns()[2]->m_Scores[C::eMajor], Q{9});
}

TEST(QScoresLoad, ChrAttributes) {
    CQScores data;
    data.SetUseAll(true);  // classes as the document gives them
    // The class follows the last of minor and other; the score keeps its low
    // byte; error counts by presence.
    Load(data, Body("<Column pos=\"1\">"
                    "<Chr score=\"10\"/>"
                    "<Chr minor=\"\" other=\"1\" score=\"11\" error=\"\"/>"
                    "<Chr other=\"1\" minor=\"0\" score=\"12\"/>"
                    "<Chr score=\"13\" other=\"2\"/>"
                    "<Chr score=\"14\" other=\"x\"/>"
                    "<Chr score=\"15\" other=\"\"/>"
                    "<Chr score=\"16\" other=\" 1\"/>"
                    "<Chr score=\"256\" error=\"0\"/>"
                    "<Chr score=\"300\"/>"
                    "<Chr score=\"-1\" error=\"\"/>"
                    "<Chr score=\"abc\" ignored=\"7\"/>"
                    "</Column>"));
    const C& c = *data.GetColumns()[0];
    EXPECT_EQ(c.m_Scores[C::eMajor], Q({10, 0, 44, 255, 0}));
    EXPECT_EQ(c.m_Errors[C::eMajor], Flags({false, true, false, true, false}));
    EXPECT_EQ(c.m_Scores[C::eMinor], Q({12, 11, 13, 14, 15, 16}));  // classes 2, 3 merged
    EXPECT_EQ(c.m_Errors[C::eMinor], Flags({false, true, false, false, false, false}));
}

TEST(QScoresLoad, FSParamsAttributesActInDocumentOrder) {
    const struct {
        std::string content;
        std::string name;
        TParamVector params;
    } cases[] = {
        {"<FSParams dist=\"Growth\" params=\"0.02 0.3 \"/>", "Growth", {{0.02, true}, {0.3, true}}},
        // params before dist set the model that dist then replaces.
        {"<FSParams params=\"0.02 0.3 \" dist=\"Growth\"/>",
         "Growth",
         {{0.01, true}, {0.05, true}}},
        // An unknown dist keeps the model; its params still apply.
        {"<FSParams dist=\"m.s.\" params=\"0.03\"/>", "Neutral", {{0.03, true}}},
        // The second FSParams wins; it may sit anywhere.
        {"<FSParams dist=\"Growth\" params=\"0.02 0.3\"/><Column pos=\"1\"/>"
         "<FSParams dist=\"Neutral\" params=\"0.04 0.001\"/>",
         "Neutral",
         {{0.04, true}, {0.001, true}}},
    };
    for (const auto& k : cases) {
        CQScores data;
        Load(data, Body(k.content));
        EXPECT_EQ(data.GetSpectrum().GetName(), k.name) << k.content;
        EXPECT_EQ(data.GetSpectrum().GetParams(), k.params) << k.content;
    }
}

TEST(QScoresLoad, FaultsStopTheLoadWithAClearMessage) {
    std::string garbage, entity, refs;
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 7919 + 13) % 256);
    }
    // One flat entity of 100 KB referenced 2000 times: no nesting for the
    // library to object to, yet 200 MB of text from a 110 KB document.
    for (int i = 0; i < 25000; ++i) {
        entity += "0.5 ";
        refs += i < 2000 ? "&a;" : "";
    }
    const std::string corrupted = "CProbDist serialization corrupted!";
    const std::string first = "<Column pos=\"1\"/>";
    const std::string rest = TableColumn("0.5 0.5 ") + "<Column pos=\"3\"/>";
    const struct {
        std::string doc;
        std::string message;
        std::size_t columnsLeft;  // the columns before the fault stay
    } cases[] = {
        {Body(first + "\n<Column>\n<Chr score=\"3\"/></Column>"),
         "CQScores::LoadFromStream: Column element without attributes at line 4: the site has no "
         "position.",
         1},
        {Body("\n<Column pos=\"7\">\n<Chr minor=\"\"/></Column>"),
         "CQScores::LoadFromStream: Chr element without score at line 5 (in the Column at "
         "position 7).",
         0},
        {Body("<Chr error=\"\"/>"),
         "CQScores::LoadFromStream: Chr element without score at line 3 (outside any Column).", 0},
        {Body(first + TableColumn("0.5 ") + rest), corrupted, 1},
        {Body(first + TableColumn("0.5 0.5") + rest), corrupted, 1},
        {Body(first + TableColumn("0.5 x 0.5 ") + rest), corrupted, 1},
        // Only the text of PrObservedCond itself counts, not text after an
        // element nested in it.
        {Body(TableColumn("0.5 <x/>0.7 ")), corrupted, 0},
        {kHead + "<Contig>\n" + first + "\n",
         "CQScores::LoadFromStream: the document ends before its Contig element is closed: the "
         "input is truncated.",
         1},
        {"", "CQScores::LoadFromStream: the input holds no XML document.", 0},
        {garbage, "CQScores::LoadFromStream: the input holds no XML document.", 0},
        {kXmlDecl + "<!DOCTYPE Contig [<!ENTITY a \"" + entity + "\">]>\n<Contig>" +
             TableColumn("\n" + refs) + "</Contig>\n",
         "CQScores::LoadFromStream: entity references at line 4 expand the text to more than ten "
         "times the size of the document; the input is refused.",
         0},
        // 11 MB from 0.4 MB: refused at ten times, though not at a hundred.
        {FlatExpansion(110, 300000),
         "CQScores::LoadFromStream: entity references at line 5 expand the text to more than ten "
         "times the size of the document; the input is refused.",
         0},
    };
    for (const auto& k : cases) {
        CQScores data;
        EXPECT_EQ(RuntimeMessage([&] { Load(data, k.doc); }), k.message) << k.doc.substr(0, 200);
        EXPECT_EQ(data.GetColumns().size(), k.columnsLeft) << k.doc.substr(0, 200);
    }
    CQScores data;
    EXPECT_THROW(Load(data, Body(first + "<Column pos=\"2\">")), xmlpp::exception);
    EXPECT_EQ(data.GetColumns().size(), 1u);
}

TEST(QScoresLoad, StoredTableIsReusedOnlyInItsOwnFoldingMode) {
    // Class 2 holds the most reads: computing the table would regroup them.
    const std::string doc = Body(TableColumn(
        "0.1 0.2 0.3\n0.4 ", "<Chr score=\"20\" other=\"1\"/><Chr score=\"20\" other=\"1\"/>"));
    CQScores folded;
    CCerrCapture err;
    Load(folded, doc);
    const C& c = *folded.GetColumns()[0];
    EXPECT_EQ(c.m_PrObservedCond.m_Probs, Probs({0.1, 0.2, 0.3, 0.4}));
    EXPECT_EQ(c.m_Scores, (C::TScores{Q{20}, {}, Q{20, 20}, {}}));
    EXPECT_EQ(err.Text(), "");

    CQScores unfolded;
    unfolded.SetUseAll(true);  // the table lacks anc: it was made folded
    Load(unfolded, doc);
    const C& u = *unfolded.GetColumns()[0];
    EXPECT_NE(u.m_PrObservedCond.m_Probs[0], 0.1);
    EXPECT_EQ(u.m_Scores, (C::TScores{Q{20}, Q{20, 20}, {}, {}}));
}

TEST(QScoresLoad, TableTextIsUsedWholeAndOnlyItsOwn) {
    const struct {
        std::string content;
        Probs table;
    } cases[] = {
        // Lines reach the parser one by one, and a character reference
        // splits the text once more.
        {TableColumn("0.25\n0.5&#32;0.2\n5 ", "<Chr score=\"20\"/>"), {0.25, 0.5, 0.2}},
        // Text elsewhere in the Column does not count.
        {"<Column pos=\"1\">0.9 0.9 <Chr score=\"20\"/><PrObservedCond>0.5 0.5 "
         "</PrObservedCond></Column>",
         {0.5, 0.5}},
        // Numbers beyond the depth are ignored.
        {TableColumn("0.5 0.5 9 9"), {0.5, 0.5}},
    };
    for (const auto& k : cases) {
        CQScores data;
        Load(data, Body(k.content));
        EXPECT_EQ(data.GetColumns()[0]->m_PrObservedCond.m_Probs, k.table) << k.content;
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
    static bool Loads(const std::string& doc) {
        CQScores data;
        try {
            Load(data, doc);
        } catch (const std::exception&) {
            return false;
        }
        for (const auto& c : data.GetColumns()) {
            EXPECT_NE(c->m_PrObservedCond.m_Probs, Probs({0.25, 0.75}));
        }
        return true;
    }

    std::string m_Dir;
};

TEST_F(QScoresEntities, ExternalFilesAndEntityBombsAreNeverExpanded) {
    const std::string useX = "<Contig>" + TableColumn("&x;") + "</Contig>";
    const std::string useY = "<Contig>" + TableColumn("&y;") + "</Contig>";
    // Ten levels of tenfold references: 10^10 copies if expanded.
    std::string bomb = kXmlDecl + "<!DOCTYPE Contig [\n<!ENTITY l0 \"0.5 0.5 \">\n";
    for (int i = 1; i <= 10; ++i) {
        bomb += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            bomb += "&l" + std::to_string(i - 1) + ";";
        }
        bomb += "\">\n";
    }
    bomb += "]>\n<Contig>" + TableColumn("&l10;") + "</Contig>";
    for (const std::string& doc : {
             kXmlDecl + "<!DOCTYPE Contig [<!ENTITY x SYSTEM \"file://" + m_Dir +
                 "/secret.txt\">]>\n" + useX,
             kXmlDecl + "<!DOCTYPE Contig [<!ENTITY x SYSTEM \"" + m_Dir + "/secret.txt\">]>\n" +
                 useX,
             kXmlDecl + "<!DOCTYPE Contig SYSTEM \"" + m_Dir + "/evil.dtd\">\n" + useY,
             kXmlDecl + "<!DOCTYPE Contig [<!ENTITY % p SYSTEM \"" + m_Dir +
                 "/evil.dtd\"> %p;]>\n" + useY,
             bomb,
         }) {
        EXPECT_FALSE(Loads(doc)) << doc.substr(0, 200);
    }
    // A few references to a small entity are fine, and so is a flat
    // expansion to 11 MB from a document of 2.1 MB.
    EXPECT_TRUE(Loads(kXmlDecl + "<!DOCTYPE Contig [<!ENTITY h \"0.5 \">]>\n<Contig>" +
                      TableColumn("&h;&h;") + "</Contig>\n"));
    EXPECT_TRUE(Loads(FlatExpansion(110, 2000000)));
}

TEST(QScoresWrite, ReadsAreWrittenByClassWithFlagsAndAnc) {
    const C::TScores scores = {Q({30, 31}), Q({20}), Q({10}), Q({12})};
    const C::TErrors errors = {Flags({false, true}), Flags({true}), Flags({false}), Flags({true})};
    CQScores data;
    data.SetUseAll(true);
    data.AddColumn(
        std::make_unique<C>(-3, scores, "0.5 0.25 0.125 0.0625 0.123456789 1e-05 ", true, &errors));
    data.SetSpectrum(new CFSGrowth);
    EXPECT_EQ(
        Write(data),
        kHead +
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
    CQScores empty;
    Load(empty, Body(""));
    EXPECT_EQ(Write(empty),
              kHead + "<Contig>\n  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n");
}

// Sites with several classes, flags and a deep, low-quality column.
std::string MixedDocument() {
    std::string columns;
    for (int site = 0; site < 6; ++site) {
        columns += "<Column pos=\"" + std::to_string(100 + site) + "\">";
        for (int r = 0; r <= site * 7; ++r) {
            columns += "<Chr score=\"" + std::to_string(site == 5 ? 10 : 2 + (r * 13) % 39) + "\"";
            columns += r % 5 == 1 ? " minor=\"\"" : "";
            columns += r % 7 == 3 ? (r % 2 ? " other=\"1\"" : " other=\"2\"") : "";
            columns += r % 4 == 0 ? " error=\"\"/>" : "/>";
        }
        columns += "</Column>";
    }
    return Body(columns + "<FSParams dist=\"Growth\" params=\"0.015 0.2\"/>");
}

TEST(QScoresWrite, RoundTripInTheSameModeReusesEveryTable) {
    for (bool useAll : {false, true}) {
        CQScores first, second;
        first.SetUseAll(useAll);
        second.SetUseAll(useAll);
        std::string written;
        {
            CCerrCapture err;
            Load(first, MixedDocument());
            EXPECT_NE(err.Text().find("Depth/numFalse too big at #105"), std::string::npos);
            written = Write(first);
        }
        CCerrCapture err;
        Load(second, written);
        EXPECT_EQ(err.Text(), "");          // nothing recomputed
        EXPECT_EQ(Write(second), written);  // every site, flag and table as before
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

    CQScores folded, direct;
    Load(folded, written);
    const C& c = *folded.GetColumns()[0];
    // The larger class became the reference.
    EXPECT_EQ(c.m_Scores, (C::TScores{Q{20, 30}, Q{25}, {}, {}}));
    Load(direct, Body("<Column pos=\"1\"><Chr score=\"20\"/><Chr score=\"30\"/>"
                      "<Chr score=\"25\" minor=\"\"/></Column>"));
    EXPECT_EQ(c.m_PrObservedCond.m_Probs, direct.GetColumns()[0]->m_PrObservedCond.m_Probs);
}

}  // namespace
