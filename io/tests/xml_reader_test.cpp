// The streaming reader and the tabulator against qualfit's own loader, and
// the reader's strictness.

#include "io/xml_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/warnings.hpp"
#include "estimator/qscores.hpp"
#include "model/obstable.hpp"
#include "model/tabulate.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

using scanfix::CScratchTest;
using scanfix::Document;
using scanfix::ReadAll;

// How many sites a comparison covered, and how.
struct SCompared {
    unsigned m_Stored = 0;    // stored tables, taken by both
    unsigned m_Computed = 0;  // tables computed by both
    unsigned m_Quiet = 0;     // of those, where qualfit loses at most 1e-9 unsaid
};

// Probability mass that qualfit's row rules drop from the error-count
// distribution of these scores (0 when they leave it as it is).
double DroppedMass(const std::vector<std::uint8_t>& scores) {
    std::vector<double> exact, bounded;
    ErrCountDist(scores.data(), scores.size(), ETableMode::eExact, 0, exact);
    CScopedWarningSink quiet([](const std::string&) {});
    ErrCountDist(scores.data(), scores.size(), ETableMode::eSubsetLimit, 0, bounded);
    double dropped = 0.0;
    for (std::size_t k = 0; k < exact.size(); ++k) {
        dropped += exact[k] - bounded[k];
    }
    return dropped;
}

// Whether the probability that none of these reads is wrong is at most p.
bool NoErrorAtMost(const std::vector<std::uint8_t>& scores, double p) {
    double none = 1.0;
    for (std::uint8_t q : scores) {
        none *= 1.0 - std::pow(10.0, q / -10.0);
    }
    return none <= p;
}

// Reads path with qualfit's loader and with the streaming reader and the
// tabulator in one folding mode, and compares every site.
void CompareWithQualfit(const std::string& path, bool folded, SCompared& n) {
    SCOPED_TRACE(path + (folded ? " folded" : " unfolded"));
    CQScores q;
    q.SetUseAll(!folded);
    std::set<long> warned;
    {
        CScopedWarningSink sink([&](const std::string& line) {
            warned.insert(std::stol(line.substr(line.find('#') + 1)));
        });
        std::ifstream in(path);
        q.LoadFromStream(in);
    }
    CXmlSiteReader reader(path, folded);
    const scanfix::SAll all = ReadAll(reader);
    ASSERT_EQ(all.m_Error, "");
    ASSERT_EQ(all.m_Sites.size(), q.GetColumns().size());
    CSiteTabulator tab(folded);
    STabulatedSite out;
    for (std::size_t i = 0; i < all.m_Sites.size(); ++i) {
        const CQScoreColumn& c = *q.GetColumns()[i];
        const SRawSite& s = all.m_Sites[i];
        SCOPED_TRACE("site " + std::to_string(i) + " at " + std::to_string(c.m_Pos));
        ASSERT_EQ(s.m_Contig, 0);
        ASSERT_EQ(s.m_Pos + 1, c.m_Pos);
        tab.Tabulate(s, out);
        ASSERT_EQ(out.m_Depth, c.GetDepth(CQScoreColumn::eAll));
        ASSERT_EQ(out.m_Pos, s.m_Pos);
        if (!s.m_StoredTable.empty()) {
            // qualfit took the same table, and its classes as they stand.
            for (int w = 0; w < 4; ++w) {
                ASSERT_EQ(s.m_Scores[w], c.m_Scores[w]);
            }
            ASSERT_TRUE(out.m_Stored);
            ASSERT_EQ(out.m_LogScale, 0.0);
            ASSERT_EQ(out.m_Table, c.m_PrObservedCond.m_Probs);
            ++n.m_Stored;
            continue;
        }
        // qualfit's regrouping: the reference class (folded: the largest,
        // the lower on ties) to place 0, classes 2 and 3 after class 1.
        CQScoreColumn::TScores g = s.m_Scores;
        int best = 0;
        for (int w = 1; w < 4 && folded; ++w) {
            best = g[w].size() > g[best].size() ? w : best;
        }
        std::swap(g[0], g[best]);
        for (int w : {2, 3}) {
            g[1].insert(g[1].end(), g[w].begin(), g[w].end());
            g[w].clear();
        }
        for (int w = 0; w < 4; ++w) {
            ASSERT_EQ(g[w], c.m_Scores[w]) << "class " << w;
        }
        ASSERT_FALSE(out.m_Stored);
        ASSERT_EQ(out.m_MinorReads, g[1].size());
        ++n.m_Computed;
        // qualfit's row rules drop terms of the sums, mass D in all; entry
        // t is the sum over the pairs of error counts that give t, divided
        // by C(n, t), so it may lose up to D / C(n, t). Beyond that, both
        // programs must agree to rounding.
        // Without a warning only the rule of rows at or below 1e-10 acts,
        // and drops little.
        const double dropped = DroppedMass(g[0]) + DroppedMass(g[1]);
        // Unless a class is so poor that it has no read wrong with at
        // most that probability: its first row ends the distribution
        // (deep.xml), and qualfit says nothing.
        if (!warned.count(c.m_Pos)) {
            ASSERT_TRUE(dropped <= 1e-9 || NoErrorAtMost(g[0], 1e-10) || NoErrorAtMost(g[1], 1e-10))
                << "dropped " << dropped;
            n.m_Quiet += dropped <= 1e-9;
        }
        const unsigned depth = out.m_Depth;
        for (std::size_t t = 0; t < out.m_Table.size(); ++t) {
            const double mine = out.m_Table[t] * std::exp(out.m_LogScale);
            const double theirs = c.m_PrObservedCond.m_Probs[t];
            const double choose = std::exp(std::lgamma(depth + 1.0) - std::lgamma(t + 1.0) -
                                           std::lgamma(depth - t + 1.0));
            ASSERT_LE(theirs, mine * (1 + 1e-12) + 1e-300) << "t = " << t;
            ASSERT_LE(mine - theirs, 1e-12 * mine + dropped / choose * (1 + 1e-9) + 1e-300)
                << "t = " << t << ", dropped " << dropped;
        }
    }
}

class CXmlReaderTest : public CScratchTest {};

TEST_F(CXmlReaderTest, AgreesWithQualfitOnGoldenAndSimulatedDocuments) {
    const std::string golden = scanfix::SourceDir() + "/tests/golden/inputs/";
    std::vector<std::string> docs;
    for (const char* name :
         {"example", "example_table", "sites", "sites_written", "sites_written_anc", "growth",
          "growth_fitted", "neutral_245", "neutral_p2", "report1_stored", "deep", "empty_contig",
          "internal_entity", "fsparams_two", "fsparams_ms", "params_1001", "self"}) {
        docs.push_back(golden + name + ".xml");
    }
    docs.push_back(Write("sim.xml", scanfix::SimulatedDocument(1500, 7)));
    // Stored tables as qualfit -o writes them, in each mode.
    for (bool useAll : {false, true}) {
        CQScores q;
        q.SetUseAll(useAll);
        CScopedWarningSink quiet([](const std::string&) {});
        std::ifstream in(docs.back());
        q.LoadFromStream(in);
        std::ostringstream out;
        q.WriteToStream(out);
        docs.push_back(Write(useAll ? "sim_anc.xml" : "sim_folded.xml", out.str()));
    }
    SCompared n;
    for (const std::string& doc : docs) {
        for (bool folded : {true, false}) {
            CompareWithQualfit(doc, folded, n);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
    // Every simulated site is read twice with its stored table (once in
    // each mode) and four times without.
    EXPECT_GE(n.m_Stored, 2 * 1500u);
    EXPECT_GE(n.m_Computed, 4 * 1500u);
    // The comparison of the numbers must not be vacuous: qualfit's rules
    // drop little from most tables.
    EXPECT_GE(n.m_Quiet, n.m_Computed / 2) << n.m_Quiet << " of " << n.m_Computed;
}

// One bad document per case: the message names the file and the line, and
// the sites before the fault are delivered.
TEST_F(CXmlReaderTest, RefusesBadDocumentsNamingTheLine) {
    const std::string good = "  <Column pos=\"7\">\n    <Chr score=\"30\"/>\n  </Column>\n";
    // Frame: lines 1-3, the good site lines 4-6, the bad part from line 7.
    auto bad = [&](const std::string& part) { return Document(good + part); };
    auto chr = [&](const std::string& attrs) {
        return bad("  <Column pos=\"8\">\n    <Chr " + attrs + "/>\n  </Column>\n");
    };
    auto table = [&](const std::string& text) {
        return bad("  <Column pos=\"8\">\n    <Chr score=\"3\"/>\n    <PrObservedCond>" + text +
                   "</PrObservedCond>\n  </Column>\n");
    };
    const std::string wholePos = "is not a whole number from 1 to 9223372036854775807.";
    const std::string wholeScore = "is not a whole number from 0 to 255.";
    const std::string prologue = "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY big \"" +
                                 std::string(1000, 'x') + "\">\n";
    std::string many;
    for (int i = 0; i < 2000; ++i) {
        many += "&big;&big;&big;&big;&big;&big;&big;&big;&big;&big;";
    }
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n<!ENTITY l0 \"ha\">\n";
    for (int i = 1; i <= 10; ++i) {
        std::string refs;
        for (int j = 0; j < 10; ++j) {
            refs += "&l" + std::to_string(i - 1) + ";";
        }
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + refs + "\">\n";
    }
    struct SCase {
        const char* m_What;
        std::string m_Doc;
        int m_Line;  // 0: the message names no line
        std::string m_Message;
        std::size_t m_SitesBefore;
    };
    const SCase cases[] = {
        {"pos with letters", bad("  <Column pos=\"12abc\">\n  </Column>\n"), 7,
         "the pos of Column, \"12abc\", " + wholePos, 1},
        {"negative pos", bad("  <Column pos=\"-3\"/>\n"), 7, "\"-3\", " + wholePos, 1},
        {"pos in exponent form", bad("  <Column pos=\"1e3\"/>\n"), 7, "\"1e3\", " + wholePos, 1},
        {"pos 0", bad("  <Column pos=\"0\"/>\n"), 7, "\"0\", " + wholePos, 1},
        {"pos with a blank", bad("  <Column pos=\" 5\"/>\n"), 7, "\" 5\", " + wholePos, 1},
        {"pos 2^63", bad("  <Column pos=\"9223372036854775808\"/>\n"), 7,
         "\"9223372036854775808\", " + wholePos, 1},
        {"huge pos", bad("  <Column pos=\"99999999999999999999999999999999999999999999\"/>\n"), 7,
         "\"9999999999999999999999999999999999999999...\", " + wholePos, 1},
        {"no pos", bad("  <Column id=\"8\"/>\n"), 7, "Column has no pos attribute.", 1},
        {"score 256", chr("score=\"256\""), 8, "the score of Chr, \"256\", " + wholeScore, 1},
        {"fractional score", chr("score=\"3.5\""), 8, "\"3.5\", " + wholeScore, 1},
        {"empty score", chr("score=\"\""), 8, "\"\", " + wholeScore, 1},
        {"signed score", chr("score=\"+3\""), 8, "\"+3\", " + wholeScore, 1},
        {"score from a character reference", chr("score=\"&#51;&#48;x\""), 8,
         "\"30x\", " + wholeScore, 1},
        {"no score", chr("minor=\"\""), 8, "Chr has no score attribute.", 1},
        {"other 3", chr("score=\"3\" other=\"3\""), 8,
         "the other of Chr, \"3\", is neither \"1\" nor \"2\".", 1},
        {"empty other", chr("score=\"3\" other=\"\""), 8, "\"\", is neither", 1},
        {"minor and other", chr("score=\"3\" minor=\"\" other=\"1\""), 8,
         "Chr is marked both minor and other.", 1},
        {"Chr outside a Column", bad("  <Chr score=\"3\"/>\n"), 7,
         "<Chr> is out of place: it must be a child of Column.", 1},
        {"Chr inside an unknown element", bad("  <Column pos=\"8\"><x><Chr score=\"3\"/></x>\n"), 7,
         "<Chr> is out of place", 1},
        {"Column inside a Column", bad("  <Column pos=\"8\">\n    <Column pos=\"9\"/>\n"), 8,
         "<Column> is out of place: it must be a child of Contig.", 1},
        {"nested Contig", bad("  <x>\n<Contig/>\n"), 8, "<Contig> inside", 1},
        {"root not Contig", "<?xml version=\"1.0\"?>\n<Sites>\n</Sites>\n", 2,
         "the root element is <Sites>, not <Contig>: this is not a qualtools data set.", 0},
        {"text in a Column", bad("  <Column pos=\"8\">\n   12 \n  </Column>\n"), 9,
         "text \"12\" where the format has none", 1},
        {"Chr after the table",
         bad("  <Column pos=\"8\">\n    <PrObservedCond>1 </PrObservedCond>\n    <Chr "
             "score=\"3\"/>\n"),
         9, "Chr after the Column's PrObservedCond", 1},
        {"two tables",
         bad("  <Column pos=\"8\">\n    <PrObservedCond>1 </PrObservedCond>\n    "
             "<PrObservedCond>1 </PrObservedCond>\n"),
         9, "a second PrObservedCond in one Column.", 1},
        {"table too short", table("0.5 "), 9,
         "PrObservedCond holds 1 numbers; its site needs 2 (one more than its reads).", 1},
        {"table too long", table("0.5 0.5 0.5 "), 9,
         "PrObservedCond holds more than the 2 numbers of its site", 1},
        {"NaN in a table", table("nan 0.5 "), 9,
         "PrObservedCond holds \"nan\", which is not a probability (a decimal number from 0 to "
         "1).",
         1},
        {"hexadecimal number", table("0x1p-3 0.5 "), 9, "holds \"0x1p-3\", which is not", 1},
        {"negative entry", table("-0.1 0.5 "), 9, "holds \"-0.1\", which is not", 1},
        {"entry above 1", table("1.5 0.5 "), 9, "holds \"1.5\", which is not", 1},
        {"number glued to text", table("0.5x 0.5 "), 9, "holds \"0.5x\", which is not", 1},
        {"truncated between elements",
         Document("").substr(0, 67) + good + "  <Column pos=\"8\">\n    <Chr score=\"3\"/>\n", 8,
         "the document ends before its Contig element is closed: the input is truncated.", 1},
        {"truncated inside a tag", Document(good).substr(0, 100), 5,
         "the document ends before its Contig element is closed: the input is truncated.", 0},
        {"content after the root", Document(good) + "<Contig/>\n", 9,
         "the document is not well-formed XML: Extra content at the end of the document.", 1},
        {"mismatched tags", bad("  <Column pos=\"8\">\n  </Chr>\n"), 8,
         "the document is not well-formed XML: Opening and ending tag mismatch: Column line 7 "
         "and Chr.",
         1},
        {"external entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY x SYSTEM "
         "\"file:///etc/passwd\">\n]>\n<Contig>\n  <Column pos=\"1\"><Chr "
         "score=\"30\"/><PrObservedCond>&x;</PrObservedCond></Column>\n</Contig>\n",
         6, "the entity &x; is external; external entities are never loaded.", 0},
        {"entity of an external DTD",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"/etc/passwd\">\n<Contig>\n  <x>&y;</x>"
         "\n</Contig>\n",
         4, "the entity &y; is not declared in the document (an external DTD is never loaded).", 0},
        {"external parameter entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY % p SYSTEM "
         "\"file:///etc/passwd\">\n  %p;\n]>\n<Contig/>\n",
         4, "the parameter entity %p; is external; external entities are never loaded.", 0},
        {"entity standing for markup",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY c \"<Column "
         "pos='1'/>\">\n]>\n<Contig>\n&c;&c;\n</Contig>\n",
         6, "an entity reference stands for markup (the element <Column>)", 0},
        {"nested entity expansion", laughs + "]>\n<Contig><x>&l10;</x></Contig>\n", 15,
         "the document is not well-formed XML:", 0},
        {"flat entity amplification", prologue + "]>\n<Contig>\n<x>" + many + "</x></Contig>\n", 6,
         "entity references expand the text to more than ten times the size of the document", 0},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_What);
        const std::string path = Write("bad.xml", c.m_Doc);
        CXmlSiteReader reader(path, true);
        const scanfix::SAll all = ReadAll(reader);
        const std::string at =
            "'" + path + "'" + (c.m_Line ? ", line " + std::to_string(c.m_Line) + ": " : "");
        EXPECT_EQ(all.m_Error.substr(0, at.size()), at) << all.m_Error;
        EXPECT_NE(all.m_Error.find(c.m_Message), std::string::npos) << all.m_Error;
        EXPECT_EQ(all.m_Sites.size(), c.m_SitesBefore);
    }

    // Inputs that hold no document at all.
    for (const std::string& text : {std::string(""), std::string("  \n\n"), std::string("<<<")}) {
        const std::string path = Write("none.xml", text);
        CXmlSiteReader reader(path, true);
        const std::string error = ReadAll(reader).m_Error;
        EXPECT_EQ(error.find("'" + path + "'"), 0u) << error;
        EXPECT_NE(error.find(text == "<<<" ? "not well-formed" : "holds no XML document"),
                  std::string::npos)
            << error;
    }
    EXPECT_THROW(CXmlSiteReader(Path("missing.xml"), true), std::runtime_error);
}

// What the format leaves open is read as qualfit reads it, or by name.
TEST_F(CXmlReaderTest, ReadsWhatTheFormatAllows) {
    const std::string doc =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY half \"0.5 \">\n]>\n"
        "<Contig xmlns:q=\"urn:q\" note=\"x\">\n"
        "  <Column pos=\"1\"/>\n"
        "  <Comment>any <b>text</b> inside</Comment>\n"
        "  <Column id=\"77\" pos=\"9223372036854775807\" q:pos=\"x\">\n"
        "    <Chr q:score=\"x\" score=\"255\" error=\"0\" flag=\"1\"/>\n"
        "    <Chr score=\"0\" minor=\"0\"/>\n"
        "    <Chr score=\"007\" other=\"2\"/>\n"
        "    <Extra/>\n"
        "    <PrObservedCond anc=\"\">&half;<!-- split -->\n0.25\t1e-3 <![CDATA[1]]></"
        "PrObservedCond>\n"
        "  </Column>\n"
        "  <FSParams dist=\"m.s.\" params=\"x y\"/>\n"
        "  <q:Column pos=\"x\"/>\n"
        "</Contig>\n";
    const std::string path = Write("odd.xml", doc);
    for (bool folded : {false, true}) {
        CXmlSiteReader reader(path, folded);
        const scanfix::SAll all = ReadAll(reader);
        ASSERT_EQ(all.m_Error, "");
        ASSERT_EQ(all.m_Sites.size(), 2u);
        EXPECT_EQ(all.m_Sites[0].m_Pos, 0);
        EXPECT_EQ(all.m_Sites[0].Depth(), 0u);
        const SRawSite& s = all.m_Sites[1];
        EXPECT_EQ(s.m_Pos, 9223372036854775806);
        EXPECT_EQ(s.m_Scores[0], std::vector<std::uint8_t>{255});
        EXPECT_EQ(s.m_Scores[1], std::vector<std::uint8_t>{0});
        EXPECT_TRUE(s.m_Scores[2].empty());
        EXPECT_EQ(s.m_Scores[3], std::vector<std::uint8_t>{7});
        // The unfolded (anc) table only in an unfolded run.
        const std::vector<double> anc = {0.5, 0.25, 1e-3, 1};
        EXPECT_EQ(s.m_StoredTable, folded ? std::vector<double>() : anc);
    }
}

// A document far larger than the reader's chunks, read through the queue of
// completed sites: the same sites as a whole-document parse by qualfit.
TEST_F(CXmlReaderTest, StreamsSitesAcrossChunks) {
    const std::string path = Write("long.xml", scanfix::SimulatedDocument(20000, 11, 5000000));
    ASSERT_GT(scanfix::ReadFile(path).size(), 8u * 64 * 1024);
    CQScores q;
    q.SetUseAll(true);
    {
        CScopedWarningSink quiet([](const std::string&) {});
        std::ifstream in(path);
        q.LoadFromStream(in);
    }
    CXmlSiteReader reader(path, false);
    SRawSite site;
    std::size_t i = 0;
    for (; reader.Next(site); ++i) {
        ASSERT_LT(i, q.GetColumns().size());
        const CQScoreColumn& c = *q.GetColumns()[i];
        ASSERT_EQ(site.m_Pos + 1, c.m_Pos);
        ASSERT_EQ(site.m_Scores[0], c.m_Scores[0]);
        ASSERT_EQ(site.Depth(), c.GetDepth(CQScoreColumn::eAll));
    }
    EXPECT_EQ(i, q.GetColumns().size());
    EXPECT_FALSE(reader.Next(site));
}

}  // namespace
