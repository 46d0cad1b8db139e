#include "pileup/pileup_run.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/warnings.hpp"
#include "common/thread_pool.hpp"
#include "pileup/hts_handles.hpp"
#include "pileup_fixture.hpp"

namespace {

using fixture::Header;
using fixture::Inputs;
using fixture::LibraryDocument;
using fixture::Pile;
using fixture::PileError;
using fixture::Q;
using fixture::Read;

const std::string kHeader = Header({{"c1", 100}, {"c2", 50}});

// One single-base read on c1 at pos for each base, with these scores.
std::string Site(long pos, const std::string& bases, const std::vector<int>& scores) {
    std::string sam;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        sam += Read("r", 0, "c1", pos, 60, "1M", bases.substr(i, 1), Q(scores[i]));
    }
    return sam;
}

// c1:10 holds A (score 20), C (10, 12), G (40, 30, 25); c1:12 holds T, T, A,
// A, C.
const std::string kClassSites =
    kHeader + Site(10, "ACGCGG", {20, 10, 40, 12, 30, 25}) + Site(12, "TTAAC", {1, 2, 3, 4, 5});

const std::string kTwoContigs = kHeader +
                                Read("a", 0, "c1", 10, 60, "3M", "ACG", Q(1) + Q(2) + Q(3)) +
                                Read("b", 0, "c2", 5, 60, "2M", "TT", Q(4) + Q(5));

class Pileup : public fixture::CScratchTest {
  protected:
    // c1 (100 bases) is all 'a' (soft masked) but 'N' at 12; c2 is all 'C'.
    std::string Reference(bool index = true) {
        std::string c1(100, 'a');
        c1[11] = 'N';
        return Fasta("ref.fa",
                     ">c1\n" + c1.substr(0, 60) + "\n" + c1.substr(60) + "\n>c2\n" +
                         std::string(50, 'C') + "\n",
                     index);
    }
};

TEST_F(Pileup, ClassesFollowReadCountsOrTheReferenceBaseWithTiesInACGTOrder) {
    SPileupOptions opts = Inputs({Bam("a.bam", kClassSites)});
    auto run = Pile(opts);
    // c1:10: G is the majority, C the minor allele, A the first other base.
    // c1:12: A and T tie (A wins), T is the minor allele, C the other base.
    EXPECT_EQ(run.doc,
              LibraryDocument({{10, {{40, 0}, {30, 0}, {25, 0}, {10, 1}, {12, 1}, {20, 2}}},
                               {12, {{3, 0}, {4, 0}, {1, 1}, {2, 1}, {5, 2}}}}));
    EXPECT_EQ(run.summary.m_SitesWritten, 2u);
    // The reference 'a' at c1:10 makes the single A read class 0, G the minor
    // allele; its 'N' at c1:12 leaves the majority there.
    opts.m_Reference = Reference();
    EXPECT_EQ(Pile(opts).doc,
              LibraryDocument({{10, {{20, 0}, {40, 1}, {30, 1}, {25, 1}, {10, 2}, {12, 2}}},
                               {12, {{3, 0}, {4, 0}, {1, 1}, {2, 1}, {5, 2}}}}));
}

TEST_F(Pileup, ReadFiltersAndTheirCounts) {
    // One read for every filter at c1:20; its score tells which it is.
    SPileupOptions opts =
        Inputs({Bam("a.bam", kHeader + Read("ok", 0, "c1", 20, 60, "1M", "A", Q(1)) +
                                 Read("lowmq", 0, "c1", 20, 19, "1M", "A", Q(2)) +
                                 Read("dup", 1024, "c1", 20, 60, "1M", "A", Q(3)) +
                                 Read("sec", 256, "c1", 20, 60, "1M", "A", Q(4)) +
                                 Read("supp", 2048, "c1", 20, 60, "1M", "A", Q(5)) +
                                 Read("qcfail", 512, "c1", 20, 60, "1M", "A", Q(6)) +
                                 Read("unmapped", 4, "c1", 20, 0, "*", "A", Q(7)) +
                                 Read("noqual", 0, "c1", 20, 60, "1M", "A", "*"))});
    auto run = Pile(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{20, {{1, 0}}}}));
    EXPECT_EQ(run.summary.m_ReadsSkippedFlags, 5u);
    EXPECT_EQ(run.summary.m_ReadsSkippedMapQ, 1u);
    EXPECT_EQ(run.summary.m_ReadsNoQuality, 1u);

    opts.m_MinMapQ = 19;
    EXPECT_EQ(Pile(opts).doc, LibraryDocument({{20, {{1, 0}, {2, 0}}}}));

    // Without skip flags every mapped read counts; unmapped reads never do.
    opts.m_SkipFlags = 0;
    run = Pile(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{20, {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}}}}));
    EXPECT_EQ(run.summary.m_ReadsSkippedFlags, 1u);

    // Required flags: a read needs one of them.
    opts.m_RequireFlags = 0x400 | 0x800;
    EXPECT_EQ(Pile(opts).doc, LibraryDocument({{20, {{3, 0}, {5, 0}}}}));
}

TEST_F(Pileup, DeletionsReferenceSkipsAndNBasesNeverCount) {
    // c1:30 has a deletion, a reference skip, an N, a low-quality base and a
    // good base; c1:35 only an N.
    SPileupOptions opts =
        Inputs({Bam("a.bam", kHeader + Read("del", 0, "c1", 29, 60, "1M1D1M", "AC", Q(8) + Q(8)) +
                                 Read("skip", 0, "c1", 29, 60, "1M1N1M", "AC", Q(8) + Q(8)) +
                                 Site(30, "NGG", {8, 3, 40}) + Site(35, "N", {40}))});
    auto run = Pile(opts);
    EXPECT_EQ(
        run.doc,
        LibraryDocument({{29, {{8, 0}, {8, 0}}}, {30, {{3, 0}, {40, 0}}}, {31, {{8, 0}, {8, 0}}}}));
    EXPECT_EQ(run.summary.m_BasesDeletion, 1u);
    EXPECT_EQ(run.summary.m_BasesRefSkip, 1u);
    EXPECT_EQ(run.summary.m_BasesN, 2u);
    EXPECT_EQ(run.summary.m_SitesNoReads, 1u);  // c1:35
    EXPECT_EQ(run.summary.m_BasesLowQuality, 0u);

    // A base of exactly --min-BQ stays (the scores of 8 at c1:29 and 31).
    opts.m_MinBaseQ = 8;
    run = Pile(opts);
    EXPECT_EQ(run.doc,
              LibraryDocument({{29, {{8, 0}, {8, 0}}}, {30, {{40, 0}}}, {31, {{8, 0}, {8, 0}}}}));
    EXPECT_EQ(run.summary.m_BasesLowQuality, 1u);
}

TEST_F(Pileup, DepthLimitsLeaveSitesOutAndCountThemAndTheEngineCapsNone) {
    // Depths 1, 2, 3 at c1:40, 41, 42.
    SPileupOptions opts = Inputs({Bam(
        "a.bam", kHeader + Read("a", 0, "c1", 40, 60, "3M", "AAA", Q(1) + Q(2) + Q(3)) +
                     Read("b", 0, "c1", 41, 60, "2M", "AA", Q(4) + Q(5)) + Site(42, "A", {6}))});
    opts.m_MinDepth = 2;
    opts.m_MaxDepth = 2;
    auto run = Pile(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{41, {{2, 0}, {4, 0}}}}));
    EXPECT_EQ(run.summary.m_SitesWritten, 1u);
    EXPECT_EQ(run.summary.m_SitesBelowMinDepth, 1u);
    EXPECT_EQ(run.summary.m_SitesAboveMaxDepth, 1u);
    EXPECT_EQ(FormatSummary(run.summary, opts),
              "qualpileup: 1 sites written; sites left out: 0 without reads after filtering, 1 "
              "below --min-depth 2, 1 above --max-depth 2; reads skipped: 0 by flags, 0 below "
              "--min-MQ 20, 0 without base qualities; bases skipped: 0 deletions, 0 reference "
              "skips, 0 N, 0 below --min-BQ 0, 0 in overlapping mates, 0 past their contig's end");

    // The limits are ours: htslib's pileup would keep only 8000 reads a site.
    opts = Inputs(
        {Bam("deep.bam", kHeader + Site(5, std::string(8100, 'A'), std::vector<int>(8100, 30)))});
    opts.m_MaxDepth = 8099;
    EXPECT_EQ(Pile(opts).summary.m_SitesAboveMaxDepth, 1u);
    opts.m_MaxDepth = 0;
    EXPECT_EQ(Pile(opts).doc,
              LibraryDocument({{5, std::vector<std::pair<int, int>>(8100, {30, 0})}}));
}

TEST_F(Pileup, OverlappingMatesCountOnce) {
    // Pair p: first mate c1:60-63 (score 10), second mate c1:62-65 (score
    // 20). Pair q: its first mate fails --min-MQ, so its second mate counts
    // everywhere. Pair s: both mates start at c1:70; the first in the file
    // (score 30) counts.
    SPileupOptions opts =
        Inputs({Bam("a.bam", kHeader + Read("p", 99, "c1", 60, 60, "4M", "AAAA", "++++", "=", 62) +
                                 Read("q", 99, "c1", 60, 5, "2M", "CC", "++", "=", 61) +
                                 Read("q", 147, "c1", 61, 60, "2M", "CC", "55", "=", 60) +
                                 Read("p", 147, "c1", 62, 60, "4M", "AAAA", "5555", "=", 60) +
                                 Read("s", 99, "c1", 70, 60, "2M", "GG", "??", "=", 70) +
                                 Read("s", 147, "c1", 70, 60, "2M", "GG", "((", "=", 70))});
    auto run = Pile(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{60, {{10, 0}}},
                                        {61, {{10, 0}, {20, 1}}},
                                        {62, {{10, 0}, {20, 1}}},
                                        {63, {{10, 0}}},
                                        {64, {{20, 0}}},
                                        {65, {{20, 0}}},
                                        {70, {{30, 0}}},
                                        {71, {{30, 0}}}}));
    EXPECT_EQ(run.summary.m_BasesOverlap, 4u);
    opts.m_KeepOverlaps = true;
    run = Pile(opts);
    EXPECT_EQ(run.summary.m_BasesOverlap, 0u);
    EXPECT_EQ(run.doc, LibraryDocument({{60, {{10, 0}}},
                                        {61, {{10, 0}, {20, 1}}},
                                        {62, {{10, 0}, {20, 0}, {20, 1}}},
                                        {63, {{10, 0}, {20, 0}}},
                                        {64, {{20, 0}}},
                                        {65, {{20, 0}}},
                                        {70, {{30, 0}, {7, 0}}},
                                        {71, {{30, 0}, {7, 0}}}}));
}

TEST_F(Pileup, RegionKeepsOneContigWhereSeveralAreWarnedAbout) {
    SPileupOptions opts = Inputs({Bam("a.bam", kTwoContigs)});
    auto run = Pile(opts);
    EXPECT_EQ(run.summary.m_ContigsWritten, 2u);
    EXPECT_EQ(FormatWarnings(run.summary),
              "qualpileup: warning: the document holds sites of 2 contigs; Column positions "
              "restart with each contig, so a position alone does not name a site (--region "
              "keeps one contig).\n");
    opts.m_Region = "c2";
    run = Pile(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{5, {{4, 0}}}, {6, {{5, 0}}}}, "c2"));
    EXPECT_EQ(run.summary.m_ContigsWritten, 1u);
    EXPECT_EQ(FormatWarnings(run.summary), "");
    // Sites are clipped to the region even where a read reaches beyond it.
    opts.m_Region = "c1:11-11";
    EXPECT_EQ(Pile(opts).doc, LibraryDocument({{11, {{2, 0}}}}));
    // A region starting past its contig holds nothing, however far out (the
    // index query would walk its bins one by one).
    for (const char* empty : {"c1:1,000-2,000", "c1:9223372034707292159"}) {
        opts.m_Region = empty;
        EXPECT_EQ(Pile(opts).doc, LibraryDocument({})) << empty;
    }
    // A contig whose name reads as another contig and a range: the whole
    // name wins, braces choose, and a text that is both is refused.
    opts = Inputs({Bam("colon.bam", Header({{"c1", 100}, {"c1:5", 50}, {"c2:7", 50}}) +
                                        Read("a", 0, "c1", 5, 60, "2M", "AC", Q(1) + Q(2)) +
                                        Read("b", 0, "c1:5", 3, 60, "1M", "G", Q(3)) +
                                        Read("c", 0, "c2:7", 4, 60, "1M", "T", Q(4)))});
    const std::pair<const char*, std::vector<fixture::SCol>> colons[] = {
        {"{c1:5}", {{3, {{3, 0}}, "c1:5"}}},
        {"{c1}:5", {{5, {{1, 0}}}, {6, {{2, 0}}}}},
        {"c2:7", {{4, {{4, 0}}, "c2:7"}}},
        {"{c2:7}:4-4", {{4, {{4, 0}}, "c2:7"}}},
    };
    for (const auto& c : colons) {
        opts.m_Region = c.first;
        EXPECT_EQ(Pile(opts).doc, LibraryDocument(c.second)) << c.first;
    }
    opts.m_Region = "c1:5";
    EXPECT_EQ(PileError(opts),
              "Region 'c1:5' is ambiguous: write {c1:5} for the contig or {c1}:5 for the range.");
}

TEST_F(Pileup, ReadsPastTheirContigsEndAreClippedThereAndCounted) {
    // c1 has 20 bases: r1 (15M at 11) and r2 (15M at 12) hang 5 and 6 bases
    // off its end; c2 (30 bases) holds r3 within it. r2 repeats r1 one base
    // on, so both read the same base where they overlap.
    auto sorted = Sh("samtools sort -o $/o.bam " + fixture::SourceDir() +
                     "/pileup/tests/data/past-end-two-contigs.sam && samtools index $/o.bam");
    ASSERT_EQ(sorted.status, 0) << sorted.err;
    std::vector<fixture::SCol> c1, c2;
    for (long pos = 11; pos <= 20; ++pos) {
        c1.push_back({pos, pos == 11 ? std::vector<std::pair<int, int>>{{40, 0}}
                                     : std::vector<std::pair<int, int>>{{40, 0}, {40, 0}}});
    }
    for (long pos = 1; pos <= 10; ++pos) {
        c2.push_back({pos, {{40, 0}}, pos == 1 ? "c2" : ""});
    }
    std::vector<fixture::SCol> both = c1;
    both.insert(both.end(), c2.begin(), c2.end());
    SPileupOptions opts = Inputs({dir / "o.bam"});
    // Region, the sites expected, the bases clipped: a region reaching past
    // the contig is clipped to it, one starting past it is empty.
    const struct {
        const char* region;
        std::vector<fixture::SCol> sites;
        std::uint64_t clipped;
    } cases[] = {
        {"", both, 11},
        {"c1:1-1000000", c1, 11},
        {"c1:18-22", {c1.begin() + 7, c1.end()}, 4},
        {"c1:21-1000000", {}, 0},
        {"c2", c2, 0},
    };
    for (const auto& c : cases) {
        opts.m_Region = c.region;
        auto run = Pile(opts);
        EXPECT_EQ(run.doc, LibraryDocument(c.sites)) << c.region;
        EXPECT_EQ(run.summary.m_BasesPastEnd, c.clipped) << c.region;
        EXPECT_EQ(run.summary.m_SitesWritten, c.sites.size()) << c.region;
    }
    // Read as it comes (no index): a 10-base read on a 5-base contig.
    auto run = Pile(Inputs({fixture::SourceDir() + "/pileup/tests/data/past-end-one-contig.sam"}));
    EXPECT_EQ(run.doc,
              LibraryDocument(
                  {{1, {{40, 0}}}, {2, {{40, 0}}}, {3, {{40, 0}}}, {4, {{40, 0}}}, {5, {{40, 0}}}},
                  "c0"));
    EXPECT_EQ(run.summary.m_BasesPastEnd, 5u);
}

TEST_F(Pileup, PositionsPastIntMaxAreWrittenAndWarnedAbout) {
    // qualfit keeps a position in an int: these are written as they are,
    // and said to be beyond what it reads back.
    fixture::WriteFile(dir / "big.sam",
                       Header({{"big", 2147483700}}) +
                           Read("a", 0, "big", 2147483646, 60, "3M", "ACG", Q(1) + Q(2) + Q(3)) +
                           Read("b", 0, "big", 2147483690, 60, "1M", "A", Q(4)));
    auto run = Pile(Inputs({dir / "big.sam"}));
    EXPECT_EQ(run.doc, LibraryDocument({{2147483646, {{1, 0}}},
                                        {2147483647, {{2, 0}}},
                                        {2147483648, {{3, 0}}},
                                        {2147483690, {{4, 0}}}},
                                       "big"));
    EXPECT_EQ(run.summary.m_SitesPastIntMax, 2u);
    EXPECT_EQ(FormatWarnings(run.summary),
              "qualpileup: warning: 2 sites lie beyond position 2147483647 (the first at "
              "big:2147483648); qualfit reads positions as 32-bit numbers and reports these "
              "wrongly (its likelihood does not use them).\n");
}

TEST_F(Pileup, PooledFilesAreOneSample) {
    Bam("a.bam", kHeader + Read("a", 0, "c1", 10, 60, "2M", "AC", Q(1) + Q(2)));
    Bam("b.bam", kHeader + Site(10, "G", {3}) + Site(11, "C", {4}) +
                     Read("c", 0, "c2", 3, 60, "1M", "T", Q(5)));
    fixture::WriteFile(dir / "c.sam", kHeader + Site(10, "G", {6}));
    EXPECT_EQ(Pile(Inputs({dir / "a.bam", dir / "b.bam", dir / "c.sam"})).doc,
              LibraryDocument(
                  {{10, {{3, 0}, {6, 0}, {1, 1}}}, {11, {{2, 0}, {4, 0}}}, {3, {{5, 0}}, "c2"}}));
}

TEST_F(Pileup, SeveralSamplesArePooledWithOneWarningNamingThem) {
    std::vector<std::string> warnings;
    CScopedWarningSink sink([&](const std::string& line) { warnings.push_back(line); });
    const std::string reads = Site(10, "ACGA", {20, 21, 22, 23});
    // The same reads in read groups of two samples, and of one sample in
    // two lanes: the document is the one of the reads alone.
    std::string twoSamples = kHeader + "@RG\tID:1\tSM:north\n@RG\tID:2\tSM:south\n";
    std::string twoLanes = kHeader + "@RG\tID:1\tSM:north\n@RG\tID:2\tSM:north\n";
    for (std::size_t i = 0; i < 4; ++i) {
        std::string line = Read("r", 0, "c1", 10, 60, "1M", std::string(1, "ACGA"[i]),
                                Q(20 + static_cast<int>(i)));
        line.insert(line.size() - 1, i % 2 ? "\tRG:Z:2" : "\tRG:Z:1");
        twoSamples += line;
        twoLanes += line;
    }
    const std::string alone = Pile(Inputs({Bam("alone.bam", kHeader + reads)})).doc;
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(Pile(Inputs({Bam("lanes.bam", twoLanes)})).doc, alone);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(Pile(Inputs({Bam("two.bam", twoSamples)})).doc, alone);
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "qualpileup: warning: the inputs hold reads of 2 samples ('north', "
                            "'south'); the document pools them as one sample (the SM of a read "
                            "group, or a file without read groups, is a sample)."});
    // Many samples: the first ten are named.
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) {
        files.push_back(dir / ("s" + std::to_string(i) + ".sam"));
        fixture::WriteFile(files.back(), kHeader + reads);
    }
    warnings.clear();
    Pile(Inputs(files));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("12 samples ('s0', 's1', 's2', 's3', 's4', 's5', 's6', 's7', "
                               "'s8', 's9' and 2 more)"),
              std::string::npos)
        << warnings[0];
}

TEST_F(Pileup, ProgressNamesContigAndPositionAndIsClearedAtTheEnd) {
    // The first line comes at the 1024th site; the next not within a second
    // nor before another 1024 sites.
    Bam("a.bam",
        Header({{"c1", 2000}}) + Read("a", 0, "c1", 1, 60, "1100M", std::string(1100, 'A')));
    std::ostringstream out, progress;
    WritePileupDocument(Inputs({dir / "a.bam"}), out, "out", &progress);
    EXPECT_EQ(progress.str(), "\r\033[Kqualpileup: c1:1024\r\033[K");
}

TEST_F(Pileup, BadInputsAreErrorsNamingTheFileAndTheFault) {
    Bam("a.bam", kClassSites);
    Bam("noindex.bam", kClassSites, false);
    Bam("unsorted.bam",
        kHeader + Read("late", 0, "c1", 10, 60, "1M", "A") +
            Read("early", 0, "c1", 5, 60, "1M", "A"),
        false);
    const std::string read = Site(10, "A", {40});
    Bam("fewer.bam", Header({{"c1", 100}}) + read);
    Bam("longer.bam", Header({{"c1", 100}, {"c2", 51}}) + read);
    Bam("renamed.bam", Header({{"c1", 100}, {"chr2", 50}}) + read);
    Bam("reordered.bam", Header({{"c2", 50}, {"c1", 100}}) + read);
    fixture::WriteFile(dir / "notes.txt", "hello world\n");
    fixture::WriteFile(dir / "empty.bam", "");
    fixture::WriteFile(dir / "nosq.sam", "@HD\tVN:1.6\n");
    Reference(false);
    Fasta("other.fa", ">c2\nCCCC\n");
    Fasta("short.fa", ">c1\nACGTACGTACGTACGT\n");
    const std::string differ = "' have different reference sequences: ";
    // Inputs, "-r region" and "-f reference"; every file is in the scratch
    // directory, which '$' in a message stands for.
    const std::pair<std::string, std::string> cases[] = {
        {"none.bam", "Cannot open '$/none.bam': No such file or directory."},
        {"notes.txt", "'$/notes.txt' is not a SAM, BAM or CRAM file."},
        {"empty.bam", "'$/empty.bam' is not a SAM, BAM or CRAM file."},
        {"nosq.sam", "'$/nosq.sam' names no reference sequences in its header (@SQ lines)."},
        {"unsorted.bam",
         "'$/unsorted.bam' is not sorted by coordinate: read 'early' at c1:5 "
         "follows c1:10; sort it with 'samtools sort'."},
        {"a.bam -f missing.fa", "Cannot open reference '$/missing.fa': No such file or directory."},
        {"a.bam -f ref.fa",
         "Reference '$/ref.fa' has no usable index ($/ref.fa.fai); create it "
         "with 'samtools faidx $/ref.fa'."},
        {"a.bam -f other.fa", "Reference '$/other.fa' has no contig 'c1' of '$/a.bam'."},
        {"a.bam -f short.fa",
         "Contig 'c1' has length 16 in '$/short.fa' but 100 in '$/a.bam': "
         "the reference does not match the alignments."},
        {"a.bam -r chr1:1-5", "Region 'chr1:1-5' names a contig 'chr1' that '$/a.bam' lacks."},
        {"a.bam -r {c1:7}:1,000-",
         "Region '{c1:7}:1,000-' names a contig 'c1:7' that '$/a.bam' lacks."},
        {"a.bam -r c3", "Region 'c3' names a contig 'c3' that '$/a.bam' lacks."},
        {"noindex.bam -r c1",
         "'$/noindex.bam' has no index, which --region needs; create it with "
         "'samtools index $/noindex.bam' (the file must be BAM, CRAM or "
         "bgzip-compressed SAM)."},
        {"a.bam fewer.bam", "'$/fewer.bam' and '$/a.bam" + differ + "1 against 2 contigs."},
        {"a.bam longer.bam", "'$/longer.bam' and '$/a.bam" + differ +
                                 "contig 2 is 'c2' of length 51 against 'c2' of length 50."},
        {"a.bam renamed.bam", "'$/renamed.bam' and '$/a.bam" + differ +
                                  "contig 2 is 'chr2' of length 50 against 'c2' of length 50."},
        {"a.bam reordered.bam", "'$/reordered.bam' and '$/a.bam" + differ +
                                    "contig 1 is 'c2' of length 50 against 'c1' of length 100."},
    };
    for (const auto& c : cases) {
        SPileupOptions opts;
        std::istringstream words(c.first);
        for (std::string w; words >> w;) {
            if (w == "-r") {
                words >> opts.m_Region;
            } else if (w == "-f") {
                words >> w;
                opts.m_Reference = dir / w;
            } else {
                opts.m_Inputs.push_back(dir / w);
            }
        }
        EXPECT_EQ(PileError(opts), InDir(c.second)) << c.first;
    }
    // Text after the range is no contig name.
    SPileupOptions opts = Inputs({dir / "a.bam"});
    // Coordinates start at 1 and end within the 64-bit range.
    for (const char* bad :
         {"c1:9-3", "c1:abc", ":1-5", "c1:1-5x", "c1:1-5,c2", "c9:5-1", "c1:0-5",
          "c1:9223372034707292160", "c1:1-99999999999999999999", "{c1", "{c1}x"}) {
        opts.m_Region = bad;
        EXPECT_EQ(PileError(opts), std::string("Region '") + bad +
                                       "' does not parse: expected chr, chr:beg or chr:beg-end "
                                       "with 1 <= beg <= end.");
    }
}

TEST_F(Pileup, CramNeedsItsReferenceAndCutOrDamagedFilesAreErrors) {
    // Enough reads for several compressed blocks, sorted by position.
    std::string sam = kHeader, seq;
    for (int i = 0; i < 50; ++i) {
        seq += "ACGT"[(i * 7) % 4];
    }
    for (int i = 0; i < 3000; ++i) {
        sam += Read("read" + std::to_string(i), 0, "c1", 1 + i / 60, 60, "50M", seq);
    }
    const std::string bam = Bam("a.bam", sam, false);
    const std::string ref = Reference();
    auto made =
        Sh("samtools view -C -T $/ref.fa -o $/a.cram $/a.bam && "
           "samtools view -h -O sam.gz -o $/a.sam.gz $/a.bam");
    ASSERT_EQ(made.status, 0) << made.err;
    SPileupOptions opts = Inputs({bam});
    opts.m_Reference = ref;
    const std::string doc = Pile(opts).doc;

    // Cut at a block or container boundary, before their end-of-file marker
    // (BGZF's empty last block, CRAM's last container), these read like
    // complete files that end early.
    struct {
        const char* name;
        std::size_t markerSize;
    } cases[] = {{"a.cram", 38}, {"a.sam.gz", 28}, {"a.bam", 28}};
    for (const auto& c : cases) {
        opts.m_Inputs = {dir / c.name};
        EXPECT_EQ(Pile(opts).doc, doc) << c.name;
        std::string bytes = fixture::ReadFile(dir / c.name);
        std::string cut = dir / (std::string("cut.") + c.name);
        fixture::WriteFile(cut, bytes.substr(0, bytes.size() - c.markerSize));
        opts.m_Inputs = {cut};
        EXPECT_EQ(PileError(opts),
                  "'" + cut + "' is truncated (its end-of-file marker is missing).");
    }
    opts = Inputs({dir / "a.cram"});
    EXPECT_EQ(PileError(opts), InDir("'$/a.cram' is a CRAM file: it needs its reference FASTA "
                                     "(-f/--reference)."));

    // The CRAM is decoded with the FASTA given and nothing else: not with
    // the file its header names (UR), nor one found by checksum (M5), and
    // without changing the environment for the rest of the process. Its
    // reads on c2 fail --min-MQ, but decoding them needs c2.
    ::unsetenv("REF_PATH");
    Bam("two.bam",
        kHeader + Read("a", 0, "c1", 5, 60, "2M", "AA") + Read("b", 0, "c2", 5, 0, "2M", "CC"));
    Fasta("c1.fa", ">c1\n" + std::string(100, 'a') + "\n");
    made =
        Sh("samtools view -C -T $/ref.fa -o $/two.cram $/two.bam && samtools view -H "
           "$/two.cram | grep -c 'SN:c2.*M5:.*UR:'");
    ASSERT_EQ(made.status, 0) << made.err;
    opts = Inputs({dir / "two.cram"});
    opts.m_Reference = dir / "c1.fa";
    EXPECT_EQ(PileError(opts),
              InDir("'$/two.cram' is truncated or corrupt (or '$/c1.fa' is not its reference: it "
                    "lacks 'c2') after c1:5."));
    EXPECT_EQ(std::getenv("REF_PATH"), nullptr);

    // A BAM cut mid-block, and one damaged in the middle of its data.
    std::string bytes = fixture::ReadFile(bam);
    ASSERT_GT(bytes.size(), 4000u);
    fixture::WriteFile(dir / "half.bam", bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(PileError(Inputs({dir / "half.bam"})),
              InDir("'$/half.bam' is truncated (its end-of-file marker is missing)."));
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    }
    fixture::WriteFile(dir / "bad.bam", bytes);
    std::string err = PileError(Inputs({dir / "bad.bam"}));
    std::string head = InDir("'$/bad.bam' is truncated or corrupt");
    EXPECT_EQ(err.substr(0, head.size()), head) << err;
    EXPECT_EQ(err.back(), '.');
}

}  // namespace

TEST(StartThreadPool, OneThreadIsTheRunsOwnAndMoreAreAPoolOfThatSize) {
    EXPECT_EQ(StartThreadPool(0), nullptr);
    EXPECT_EQ(StartThreadPool(1), nullptr);
    const TThreadPool pool = StartThreadPool(3);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(hts_tpool_size(pool.get()), 3);
}
