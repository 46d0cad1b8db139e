// The streaming reader and the tabulator against qualfit's own loader, and
// the reader's strictness.

#include "io/xml_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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
        EInputError m_Kind;
    };
    const SCase cases[] = {
        {"pos with letters", bad("  <Column pos=\"12abc\">\n  </Column>\n"), 7,
         "the pos of Column, \"12abc\", " + wholePos, 1, EInputError::eRange},
        {"negative pos", bad("  <Column pos=\"-3\"/>\n"), 7, "\"-3\", " + wholePos, 1,
         EInputError::eRange},
        {"pos in exponent form", bad("  <Column pos=\"1e3\"/>\n"), 7, "\"1e3\", " + wholePos, 1,
         EInputError::eRange},
        {"pos 0", bad("  <Column pos=\"0\"/>\n"), 7, "\"0\", " + wholePos, 1, EInputError::eRange},
        {"pos with a blank", bad("  <Column pos=\" 5\"/>\n"), 7, "\" 5\", " + wholePos, 1,
         EInputError::eRange},
        {"pos 2^63", bad("  <Column pos=\"9223372036854775808\"/>\n"), 7,
         "\"9223372036854775808\", " + wholePos, 1, EInputError::eRange},
        {"huge pos", bad("  <Column pos=\"99999999999999999999999999999999999999999999\"/>\n"), 7,
         "\"9999999999999999999999999999999999999999...\", " + wholePos, 1, EInputError::eRange},
        {"no pos", bad("  <Column id=\"8\"/>\n"), 7, "Column has no pos attribute.", 1,
         EInputError::eFormat},
        {"score 256", chr("score=\"256\""), 8, "the score of Chr, \"256\", " + wholeScore, 1,
         EInputError::eRange},
        {"fractional score", chr("score=\"3.5\""), 8, "\"3.5\", " + wholeScore, 1,
         EInputError::eRange},
        {"empty score", chr("score=\"\""), 8, "\"\", " + wholeScore, 1, EInputError::eRange},
        {"signed score", chr("score=\"+3\""), 8, "\"+3\", " + wholeScore, 1, EInputError::eRange},
        {"score from a character reference", chr("score=\"&#51;&#48;x\""), 8,
         "\"30x\", " + wholeScore, 1, EInputError::eRange},
        {"no score", chr("minor=\"\""), 8, "Chr has no score attribute.", 1, EInputError::eFormat},
        {"other 3", chr("score=\"3\" other=\"3\""), 8,
         "the other of Chr, \"3\", is neither \"1\" nor \"2\".", 1, EInputError::eRange},
        {"empty other", chr("score=\"3\" other=\"\""), 8, "\"\", is neither", 1,
         EInputError::eRange},
        {"minor and other", chr("score=\"3\" minor=\"\" other=\"1\""), 8,
         "Chr is marked both minor and other.", 1, EInputError::eFormat},
        {"Chr outside a Column", bad("  <Chr score=\"3\"/>\n"), 7,
         "<Chr> is out of place: it must be a child of Column.", 1, EInputError::eFormat},
        {"Chr inside an unknown element", bad("  <Column pos=\"8\"><x><Chr score=\"3\"/></x>\n"), 7,
         "<Chr> is out of place", 1, EInputError::eFormat},
        {"Column inside a Column", bad("  <Column pos=\"8\">\n    <Column pos=\"9\"/>\n"), 8,
         "<Column> is out of place: it must be a child of Contig.", 1, EInputError::eFormat},
        {"nested Contig", bad("  <x>\n<Contig/>\n"), 8, "<Contig> inside", 1, EInputError::eFormat},
        {"root not Contig", "<?xml version=\"1.0\"?>\n<Sites>\n</Sites>\n", 2,
         "the root element is <Sites>, not <Contig>: this is not a qualtools data set.", 0,
         EInputError::eFormat},
        {"text in a Column", bad("  <Column pos=\"8\">\n   12 \n  </Column>\n"), 9,
         "text \"12\" where the format has none", 1, EInputError::eFormat},
        {"Chr after the table",
         bad("  <Column pos=\"8\">\n    <PrObservedCond>1 </PrObservedCond>\n    <Chr "
             "score=\"3\"/>\n"),
         9, "Chr after the Column's PrObservedCond", 1, EInputError::eFormat},
        {"two tables",
         bad("  <Column pos=\"8\">\n    <PrObservedCond>1 </PrObservedCond>\n    "
             "<PrObservedCond>1 </PrObservedCond>\n"),
         9, "a second PrObservedCond in one Column.", 1, EInputError::eFormat},
        {"table too short", table("0.5 "), 9,
         "PrObservedCond holds 1 numbers; its site needs 2 (one more than its reads).", 1,
         EInputError::eDamaged},
        {"table too long", table("0.5 0.5 0.5 "), 9,
         "PrObservedCond holds more than the 2 numbers of its site", 1, EInputError::eDamaged},
        {"NaN in a table", table("nan 0.5 "), 9,
         "PrObservedCond holds \"nan\", which is not a probability (a decimal number from 0 to "
         "1).",
         1, EInputError::eRange},
        {"hexadecimal number", table("0x1p-3 0.5 "), 9, "holds \"0x1p-3\", which is not", 1,
         EInputError::eRange},
        {"negative entry", table("-0.1 0.5 "), 9, "holds \"-0.1\", which is not", 1,
         EInputError::eRange},
        {"entry above 1", table("1.5 0.5 "), 9, "holds \"1.5\", which is not", 1,
         EInputError::eRange},
        {"number glued to text", table("0.5x 0.5 "), 9, "holds \"0.5x\", which is not", 1,
         EInputError::eRange},
        {"truncated between elements",
         Document("").substr(0, 67) + good + "  <Column pos=\"8\">\n    <Chr score=\"3\"/>\n", 8,
         "the document ends before its Contig element is closed: the input is truncated.", 1,
         EInputError::eTruncated},
        {"truncated inside a tag", Document(good).substr(0, 100), 5,
         "the document ends before its Contig element is closed: the input is truncated.", 0,
         EInputError::eTruncated},
        {"content after the root", Document(good) + "<Contig/>\n", 9,
         "the document is not well-formed XML: Extra content at the end of the document.", 1,
         EInputError::eFormat},
        {"mismatched tags", bad("  <Column pos=\"8\">\n  </Chr>\n"), 8,
         "the document is not well-formed XML: Opening and ending tag mismatch: Column line 7 "
         "and Chr.",
         1, EInputError::eFormat},
        {"external entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY x SYSTEM "
         "\"file:///etc/passwd\">\n]>\n<Contig>\n  <Column pos=\"1\"><Chr "
         "score=\"30\"/><PrObservedCond>&x;</PrObservedCond></Column>\n</Contig>\n",
         6, "the entity &x; is external; external entities are never loaded.", 0,
         EInputError::eFormat},
        {"entity of an external DTD",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"/etc/passwd\">\n<Contig>\n  <x>&y;</x>"
         "\n</Contig>\n",
         4, "the entity &y; is not declared in the document (an external DTD is never loaded).", 0,
         EInputError::eFormat},
        {"external parameter entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY % p SYSTEM "
         "\"file:///etc/passwd\">\n  %p;\n]>\n<Contig/>\n",
         4, "the parameter entity %p; is external; external entities are never loaded.", 0,
         EInputError::eFormat},
        {"entity standing for markup",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig [\n  <!ENTITY c \"<Column "
         "pos='1'/>\">\n]>\n<Contig>\n&c;&c;\n</Contig>\n",
         6, "an entity reference stands for markup (the element <Column>)", 0,
         EInputError::eFormat},
        {"nested entity expansion", laughs + "]>\n<Contig><x>&l10;</x></Contig>\n", 15,
         "the document is not well-formed XML:", 0, EInputError::eFormat},
        {"flat entity amplification", prologue + "]>\n<Contig>\n<x>" + many + "</x></Contig>\n", 6,
         "entity references expand the text to more than ten times the size of the document", 0,
         EInputError::eRange},
        {"contig back after another",
         bad("  <Column pos=\"8\" contig=\"c2\"/>\n  <Column pos=\"9\" contig=\"c3\"/>\n  "
             "<Column pos=\"10\" contig=\"c2\"/>\n"),
         9, "contig c2 comes back after another one", 3, EInputError::eOrder},
        {"position back in a named document",
         bad("  <Column pos=\"8\" contig=\"c2\"/>\n  <Column pos=\"3\"/>\n"), 8,
         "comes after c2:8; the sites of a data set must be in genome order", 2,
         EInputError::eOrder},
        {"position twice", bad("  <Column pos=\"7\"/>\n"), 7,
         "comes after .:7; a position may come only once", 1, EInputError::eOrder},
        {"TAB in a contig name", bad("  <Column pos=\"8\" contig=\"a&#9;b\"/>\n"), 7,
         "the contig name 'a?b' holds a TAB", 1, EInputError::eFormat},
        {"empty contig name", bad("  <Column pos=\"8\" contig=\"\"/>\n"), 7, "an empty contig name",
         1, EInputError::eFormat},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_What);
        const std::string path = Write("bad.xml", c.m_Doc);
        CXmlSiteReader reader(path, true);
        const scanfix::SAll all = ReadAll(reader);
        ASSERT_TRUE(all.m_InputError) << all.m_Error;
        EXPECT_EQ(all.m_Kind, c.m_Kind) << all.m_Error;
        EXPECT_EQ(all.m_Where.m_File, path);
        EXPECT_EQ(all.m_Where.m_Line, static_cast<std::uint64_t>(c.m_Line)) << all.m_Error;
        EXPECT_EQ(all.m_Error.find("'" + path + "'"), 0u) << all.m_Error;
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
    try {
        CXmlSiteReader reader(Path("missing.xml"), true);
        ADD_FAILURE() << "a missing file was opened";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eOpen);
    }
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

namespace {

// The sites of a document as (contig, 0-based position), and its contigs.
struct SPlaces {
    std::vector<std::pair<int, std::int64_t>> m_Sites;
    std::vector<std::string> m_Contigs;
    std::string m_Error;
};

SPlaces Places(const std::string& path, const std::string& fallback = kUnnamedContig) {
    CXmlSiteReader reader(path, true, fallback);
    const scanfix::SAll all = ReadAll(reader);
    SPlaces p;
    for (const SRawSite& s : all.m_Sites) {
        p.m_Sites.emplace_back(s.m_Contig, s.m_Pos);
    }
    p.m_Contigs = reader.Contigs();
    p.m_Error = all.m_Error;
    return p;
}

using TPlaces = std::vector<std::pair<int, std::int64_t>>;

}  // namespace

// qualpileup names each contig on its first Column; a document without
// names (qualgen, qualfit -o, qualpileup before it named them) starts a
// contig wherever a position goes back. Positions are 64-bit throughout.
TEST_F(CXmlReaderTest, NamesContigsFromTheDocumentOrByPositionsThatGoBack) {
    const std::string chr = "<Chr score=\"30\"/>";
    auto col = [&](const std::string& attrs) {
        return "  <Column " + attrs + ">" + chr + "</Column>\n";
    };
    const std::string named =
        Write("named.xml", Document(col("pos=\"5\" contig=\"chrA\"") + col("pos=\"9\"") +
                                    col("contig=\"chrB\" pos=\"2\"") + col("pos=\"3000000000\"") +
                                    col("pos=\"3000000001\" contig=\"chrB\"")));
    SPlaces p = Places(named, "ignored");
    EXPECT_EQ(p.m_Error, "");
    EXPECT_EQ(p.m_Sites, (TPlaces{{0, 4}, {0, 8}, {1, 1}, {1, 2999999999}, {1, 3000000000}}));
    EXPECT_EQ(p.m_Contigs, (std::vector<std::string>{"chrA", "chrB"}));

    const std::string nameless =
        Write("nameless.xml", Document(col("pos=\"5\"") + col("pos=\"9\"") + col("pos=\"2\"") +
                                       col("pos=\"4294967296\"") + col("pos=\"1\"")));
    p = Places(nameless);
    EXPECT_EQ(p.m_Error, "");
    EXPECT_EQ(p.m_Sites, (TPlaces{{0, 4}, {0, 8}, {1, 1}, {1, 4294967295}, {2, 0}}));
    EXPECT_EQ(p.m_Contigs, (std::vector<std::string>{".", "._2", "._3"}));
    EXPECT_EQ(Places(nameless, "chrX").m_Contigs,
              (std::vector<std::string>{"chrX", "chrX_2", "chrX_3"}));

    // A document that starts without a name and names its next contig has
    // names from there on: a position that goes back needs a name.
    const std::string mixed =
        Write("mixed.xml",
              Document(col("pos=\"5\"") + col("pos=\"1\" contig=\"c2\"") + col("pos=\"1\"")));
    p = Places(mixed, "c1");
    EXPECT_EQ(p.m_Sites, (TPlaces{{0, 4}, {1, 0}}));
    EXPECT_EQ(p.m_Contigs, (std::vector<std::string>{"c1", "c2"}));
    EXPECT_NE(p.m_Error.find("c2:1: comes after c2:1"), std::string::npos) << p.m_Error;
}

// BGZF is complete only with its end block: a document cut at a block
// boundary decompresses cleanly, and would otherwise pass for a shorter one.
TEST_F(CXmlReaderTest, RefusesBgzfWithoutItsEndBlockAndNamesEncodingFaultsQuietly) {
    const std::string doc = scanfix::SimulatedDocument(3000, 5);
    const std::string path = Path("d.xml.gz");
    {
        BGZF* out = bgzf_open(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(bgzf_write(out, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
        ASSERT_EQ(bgzf_close(out), 0);
    }
    CXmlSiteReader whole(path, true);
    const scanfix::SAll all = ReadAll(whole);
    ASSERT_EQ(all.m_Error, "");
    const std::string bytes = scanfix::ReadFile(path);
    ASSERT_GT(bytes.size(), 3u * 28);
    // The end block alone, and the end block with the blocks before it, cut
    // off at a block boundary (the BGZF block size is in its header).
    const std::size_t firstBlock =
        1 + (static_cast<unsigned char>(bytes[16]) | static_cast<unsigned char>(bytes[17]) << 8);
    for (const std::size_t keep : {bytes.size() - 28, firstBlock}) {
        SCOPED_TRACE(keep);
        const std::string cut = Write("cut.xml.gz", bytes.substr(0, keep));
        CXmlSiteReader reader(cut, true);
        const scanfix::SAll got = ReadAll(reader);
        ASSERT_TRUE(got.m_InputError) << got.m_Error;
        EXPECT_EQ(got.m_Kind, EInputError::eTruncated) << got.m_Error;
        EXPECT_LE(got.m_Sites.size(), all.m_Sites.size());
    }

    // Bytes that do not convert from the encoding the document's start
    // implies (UCS-4): libxml2 reports them on its generic channel, which
    // stays off standard error; the reader names the fault itself.
    const std::string encoding =
        scanfix::SourceDir() + "/fuzz/regression/doc_loader_fuzz/encoding-error-message";
    const std::string errPath = Path("stderr.txt");
    const int saved = ::dup(2);
    const int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::dup2(fd, 2);
    ::close(fd);
    scanfix::SAll got;
    {
        CXmlSiteReader reader(encoding, true);
        got = ReadAll(reader);
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(scanfix::ReadFile(errPath), "");
    ASSERT_TRUE(got.m_InputError) << got.m_Error;
    EXPECT_EQ(got.m_Kind, EInputError::eFormat);
    EXPECT_NE(got.m_Error.find("input conversion failed"), std::string::npos) << got.m_Error;

    // libxml2 may report the first bytes' encoding while it makes the
    // parser, before the reader owns the context (once a crash).
    CXmlSiteReader early(
        scanfix::SourceDir() + "/fuzz/regression/xml_reader_fuzz/error-before-context-is-ours",
        true);
    got = ReadAll(early);
    ASSERT_TRUE(got.m_InputError) << got.m_Error;
    EXPECT_EQ(got.m_Kind, EInputError::eFormat) << got.m_Error;
}
