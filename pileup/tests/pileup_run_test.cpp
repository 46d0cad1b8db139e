#include "pileup/pileup_run.hpp"

#include <gtest/gtest.h>
#include <htslib/faidx.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pileup_fixture.hpp"

namespace {

using fixture::CTempDir;
using fixture::Header;
using fixture::Inputs;
using fixture::LibraryDocument;
using fixture::Pileup;
using fixture::PileupError;
using fixture::Q;
using fixture::Read;
using fixture::SamTextToBam;
using fixture::SCol;

const std::string kHeader = Header({{"c1", 100}, {"c2", 50}});

// A reference for c1 (100 bases) and c2 (50 bases): c1 is all 'a' (soft
// masked) but 'N' at position 12; c2 is all 'C'.
std::string WriteReference(const CTempDir& dir, bool index = true) {
    std::string c1(100, 'a');
    c1[11] = 'N';
    std::string fa =
        ">c1\n" + c1.substr(0, 60) + "\n" + c1.substr(60) + "\n>c2\n" + std::string(50, 'C') + "\n";
    std::string path = dir / "ref.fa";
    fixture::WriteFile(path, fa);
    if (index) {
        EXPECT_EQ(fai_build(path.c_str()), 0);
    }
    return path;
}

// Site c1:10 holds A (score 20), C (10, 12), G (40, 30, 25) in this read
// order; site c1:12 holds T, T, A, A, C.
std::string ClassSites() {
    return kHeader + Read("a", 0, "c1", 10, 60, "1M", "A", Q(20)) +
           Read("c", 0, "c1", 10, 60, "1M", "C", Q(10)) +
           Read("g", 0, "c1", 10, 60, "1M", "G", Q(40)) +
           Read("c", 0, "c1", 10, 60, "1M", "C", Q(12)) +
           Read("g", 0, "c1", 10, 60, "1M", "G", Q(30)) +
           Read("g", 0, "c1", 10, 60, "1M", "G", Q(25)) +
           Read("t", 0, "c1", 12, 60, "1M", "T", Q(1)) +
           Read("t", 0, "c1", 12, 60, "1M", "T", Q(2)) +
           Read("a", 0, "c1", 12, 60, "1M", "A", Q(3)) +
           Read("a", 0, "c1", 12, 60, "1M", "A", Q(4)) +
           Read("c", 0, "c1", 12, 60, "1M", "C", Q(5));
}

TEST(Pileup, ClassesFollowReadCountsAndTiesGoInACGTOrder) {
    CTempDir dir;
    SamTextToBam(ClassSites(), dir / "a.bam");
    auto run = Pileup(Inputs({dir / "a.bam"}));
    // c1:10: G is the majority, C the minor allele, A the first other base.
    // c1:12: A and T tie (A wins), T is the minor allele, C the other base.
    EXPECT_EQ(run.doc, LibraryDocument({
                           {10, {{40, 0}, {30, 0}, {25, 0}, {10, 1}, {12, 1}, {20, 2}}},
                           {12, {{3, 0}, {4, 0}, {1, 1}, {2, 1}, {5, 2}}},
                       }));
    EXPECT_EQ(run.summary.m_SitesWritten, 2u);
}

TEST(Pileup, ReferenceBaseIsClassZeroAndAnNInTheReferenceFallsBackToTheMajority) {
    CTempDir dir;
    SamTextToBam(ClassSites(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    opts.m_Reference = WriteReference(dir);
    auto run = Pileup(opts);
    // c1:10 has reference 'a': the single A read is class 0, G (3 reads) the
    // minor allele, C the first other base. c1:12 has 'N' in the reference.
    EXPECT_EQ(run.doc, LibraryDocument({
                           {10, {{20, 0}, {40, 1}, {30, 1}, {25, 1}, {10, 2}, {12, 2}}},
                           {12, {{3, 0}, {4, 0}, {1, 1}, {2, 1}, {5, 2}}},
                       }));
}

TEST(Pileup, CramIsReadWithItsReferenceAndGivesTheSameDocument) {
    CTempDir dir;
    SamTextToBam(ClassSites(), dir / "a.bam");
    std::string ref = WriteReference(dir);
    auto made = fixture::Shell(dir, "samtools view -C -T '" + ref + "' -o '" + (dir / "a.cram") +
                                        "' '" + (dir / "a.bam") + "'");
    ASSERT_EQ(made.status, 0) << made.err;
    SPileupOptions bam = Inputs({dir / "a.bam"});
    bam.m_Reference = ref;
    SPileupOptions cram = Inputs({dir / "a.cram"});
    cram.m_Reference = ref;
    EXPECT_EQ(Pileup(cram).doc, Pileup(bam).doc);

    cram.m_Reference.clear();
    EXPECT_EQ(PileupError(cram),
              "'" + (dir / "a.cram") +
                  "' is a CRAM file: it needs its reference FASTA (-f/--reference).");
}

TEST(Pileup, ReferenceErrors) {
    CTempDir dir;
    SamTextToBam(ClassSites(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});

    opts.m_Reference = dir / "missing.fa";
    EXPECT_EQ(PileupError(opts),
              "Cannot open reference '" + opts.m_Reference + "': No such file or directory.");

    opts.m_Reference = WriteReference(dir, false);
    EXPECT_EQ(PileupError(opts), "Reference '" + opts.m_Reference + "' has no usable index (" +
                                     opts.m_Reference + ".fai); create it with 'samtools faidx " +
                                     opts.m_Reference + "'.");

    // A reference without the contig, and one whose contig is shorter.
    fixture::WriteFile(dir / "other.fa", ">c2\nCCCC\n");
    ASSERT_EQ(fai_build((dir / "other.fa").c_str()), 0);
    opts.m_Reference = dir / "other.fa";
    EXPECT_EQ(PileupError(opts), "Reference '" + opts.m_Reference + "' has no contig 'c1' of '" +
                                     (dir / "a.bam") + "'.");
    fixture::WriteFile(dir / "short.fa", ">c1\nACGTACGTACGTACGT\n");
    ASSERT_EQ(fai_build((dir / "short.fa").c_str()), 0);
    opts.m_Reference = dir / "short.fa";
    EXPECT_EQ(PileupError(opts), "Contig 'c1' has length 16 in '" + opts.m_Reference +
                                     "' but 100 in '" + (dir / "a.bam") +
                                     "': the reference does not match the alignments.");
}

// One site (c1:20) with a read for every read filter, each base telling
// which read it is by its score.
std::string ReadFilterSite() {
    return kHeader + Read("ok", 0, "c1", 20, 60, "1M", "A", Q(1)) +
           Read("lowmq", 0, "c1", 20, 19, "1M", "A", Q(2)) +
           Read("dup", 1024, "c1", 20, 60, "1M", "A", Q(3)) +
           Read("sec", 256, "c1", 20, 60, "1M", "A", Q(4)) +
           Read("supp", 2048, "c1", 20, 60, "1M", "A", Q(5)) +
           Read("qcfail", 512, "c1", 20, 60, "1M", "A", Q(6)) +
           Read("unmapped", 4, "c1", 20, 0, "*", "A", Q(7)) +
           Read("noqual", 0, "c1", 20, 60, "1M", "A", "*");
}

TEST(Pileup, ReadFiltersAndTheirCounts) {
    CTempDir dir;
    SamTextToBam(ReadFilterSite(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    auto run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{20, {{1, 0}}}}));
    EXPECT_EQ(run.summary.m_ReadsSkippedFlags, 5u);
    EXPECT_EQ(run.summary.m_ReadsSkippedMapQ, 1u);
    EXPECT_EQ(run.summary.m_ReadsNoQuality, 1u);

    opts.m_MinMapQ = 19;
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({{20, {{1, 0}, {2, 0}}}}));

    // Without skip flags every mapped read counts; unmapped reads never do.
    opts.m_SkipFlags = 0;
    run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{20, {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}}}}));
    EXPECT_EQ(run.summary.m_ReadsSkippedFlags, 1u);

    // Required flags: a read needs one of them.
    opts.m_RequireFlags = 0x400 | 0x800;
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({{20, {{3, 0}, {5, 0}}}}));
}

// Site c1:30 with a deletion, a reference skip, an N, a low-quality base and
// a good base; c1:35 holds only an N.
std::string BaseFilterSites() {
    return kHeader + Read("del", 0, "c1", 29, 60, "1M1D1M", "AC", Q(8) + Q(8)) +
           Read("skip", 0, "c1", 29, 60, "1M1N1M", "AC", Q(8) + Q(8)) +
           Read("n", 0, "c1", 30, 60, "1M", "N", Q(8)) +
           Read("low", 0, "c1", 30, 60, "1M", "G", Q(3)) +
           Read("good", 0, "c1", 30, 60, "1M", "G", Q(40)) +
           Read("nonly", 0, "c1", 35, 60, "1M", "N", Q(40));
}

TEST(Pileup, DeletionsReferenceSkipsAndNBasesNeverCount) {
    CTempDir dir;
    SamTextToBam(BaseFilterSites(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    auto run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({
                           {29, {{8, 0}, {8, 0}}},
                           {30, {{3, 0}, {40, 0}}},
                           {31, {{8, 0}, {8, 0}}},
                       }));
    EXPECT_EQ(run.summary.m_BasesDeletion, 1u);
    EXPECT_EQ(run.summary.m_BasesRefSkip, 1u);
    EXPECT_EQ(run.summary.m_BasesN, 2u);
    EXPECT_EQ(run.summary.m_SitesNoReads, 1u);  // c1:35
    EXPECT_EQ(run.summary.m_BasesLowQuality, 0u);

    opts.m_MinBaseQ = 4;
    run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({
                           {29, {{8, 0}, {8, 0}}},
                           {30, {{40, 0}}},
                           {31, {{8, 0}, {8, 0}}},
                       }));
    EXPECT_EQ(run.summary.m_BasesLowQuality, 1u);
}

TEST(Pileup, DepthLimitsLeaveSitesOutAndCountThem) {
    CTempDir dir;
    // Depths 1, 2, 3 at c1:40, 41, 42.
    SamTextToBam(kHeader + Read("a", 0, "c1", 40, 60, "3M", "AAA", Q(1) + Q(2) + Q(3)) +
                     Read("b", 0, "c1", 41, 60, "2M", "AA", Q(4) + Q(5)) +
                     Read("c", 0, "c1", 42, 60, "1M", "A", Q(6)),
                 dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    opts.m_MinDepth = 2;
    opts.m_MaxDepth = 2;
    auto run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({{41, {{2, 0}, {4, 0}}}}));
    EXPECT_EQ(run.summary.m_SitesWritten, 1u);
    EXPECT_EQ(run.summary.m_SitesBelowMinDepth, 1u);
    EXPECT_EQ(run.summary.m_SitesAboveMaxDepth, 1u);
    EXPECT_EQ(FormatSummary(run.summary, opts),
              "qualpileup: 1 sites written; sites left out: 0 without reads after filtering, 1 "
              "below --min-depth 2, 1 above --max-depth 2; reads skipped: 0 by flags, 0 below "
              "--min-MQ 20, 0 without base qualities; bases skipped: 0 deletions, 0 reference "
              "skips, 0 N, 0 below --min-BQ 0, 0 in overlapping mates");
}

TEST(Pileup, DeepSitesAreNotCappedByTheEngine) {
    // htslib's pileup keeps 8000 reads a site unless told otherwise.
    CTempDir dir;
    std::string sam = kHeader;
    for (int i = 0; i < 8100; ++i) {
        sam += Read("r" + std::to_string(i), 0, "c1", 5, 60, "1M", "A", Q(30));
    }
    SamTextToBam(sam, dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    opts.m_MaxDepth = 8099;
    auto run = Pileup(opts);
    EXPECT_EQ(run.summary.m_SitesAboveMaxDepth, 1u);
    opts.m_MaxDepth = 0;
    run = Pileup(opts);
    std::string chr = "    <Chr score=\"30\"/>\n";
    std::size_t n = 0;
    for (std::size_t at = run.doc.find(chr); at != std::string::npos;
         at = run.doc.find(chr, at + 1)) {
        ++n;
    }
    EXPECT_EQ(n, 8100u);
}

TEST(Pileup, OverlappingMatesCountOnce) {
    CTempDir dir;
    // Pair p: first mate c1:60-63 (score 10), second mate c1:62-65 (score
    // 20). Pair q: its first mate fails --min-MQ, so its second mate counts
    // everywhere.
    SamTextToBam(kHeader + Read("p", 99, "c1", 60, 60, "4M", "AAAA", std::string(4, '+'), "=", 62) +
                     Read("q", 99, "c1", 60, 5, "2M", "CC", std::string(2, '+'), "=", 61) +
                     Read("q", 147, "c1", 61, 60, "2M", "CC", std::string(2, '5'), "=", 60) +
                     Read("p", 147, "c1", 62, 60, "4M", "AAAA", std::string(4, '5'), "=", 60),
                 dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    auto run = Pileup(opts);
    EXPECT_EQ(run.doc, LibraryDocument({
                           {60, {{10, 0}}},
                           {61, {{10, 0}, {20, 1}}},
                           {62, {{10, 0}, {20, 1}}},
                           {63, {{10, 0}}},
                           {64, {{20, 0}}},
                           {65, {{20, 0}}},
                       }));
    EXPECT_EQ(run.summary.m_BasesOverlap, 2u);
    opts.m_KeepOverlaps = true;
    run = Pileup(opts);
    EXPECT_EQ(run.summary.m_BasesOverlap, 0u);
    EXPECT_EQ(run.doc, LibraryDocument({
                           {60, {{10, 0}}},
                           {61, {{10, 0}, {20, 1}}},
                           {62, {{10, 0}, {20, 0}, {20, 1}}},
                           {63, {{10, 0}, {20, 0}}},
                           {64, {{20, 0}}},
                           {65, {{20, 0}}},
                       }));
}

std::string TwoContigs() {
    return kHeader + Read("a", 0, "c1", 10, 60, "3M", "ACG", Q(1) + Q(2) + Q(3)) +
           Read("b", 0, "c2", 5, 60, "2M", "TT", Q(4) + Q(5));
}

TEST(Pileup, RegionSelectsSitesAndNeedsAnIndex) {
    CTempDir dir;
    SamTextToBam(TwoContigs(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    opts.m_Region = "c2";
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({{5, {{4, 0}}}, {6, {{5, 0}}}}));
    // Sites are clipped to the region even where a read reaches beyond it.
    opts.m_Region = "c1:11-11";
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({{11, {{2, 0}}}}));
    opts.m_Region = "c1:1,000-2,000";
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({}));

    // Text after the range is no contig name.
    for (const char* bad : {"c1:9-3", "c1:abc", ":1-5", "c1:1-5x", "c1:1-5,c2", "c9:5-1"}) {
        opts.m_Region = bad;
        EXPECT_EQ(PileupError(opts),
                  std::string("Region '") + bad +
                      "' does not parse: expected chr, chr:beg or chr:beg-end with 1 <= beg <= "
                      "end.");
    }
    opts.m_Region = "chr1:1-5";
    EXPECT_EQ(PileupError(opts),
              "Region 'chr1:1-5' names a contig 'chr1' that '" + (dir / "a.bam") + "' lacks.");
    opts.m_Region = "{c1:7}:1,000-";
    EXPECT_EQ(PileupError(opts),
              "Region '{c1:7}:1,000-' names a contig 'c1:7' that '" + (dir / "a.bam") + "' lacks.");
    opts.m_Region = "c3";
    EXPECT_EQ(PileupError(opts),
              "Region 'c3' names a contig 'c3' that '" + (dir / "a.bam") + "' lacks.");

    SamTextToBam(TwoContigs(), dir / "noindex.bam", false);
    opts = Inputs({dir / "noindex.bam"});
    opts.m_Region = "c1";
    EXPECT_EQ(PileupError(opts), "'" + (dir / "noindex.bam") +
                                     "' has no index, which --region needs; create it with "
                                     "'samtools index " +
                                     (dir / "noindex.bam") +
                                     "' (the file must be BAM, CRAM or bgzip-compressed SAM).");
}

TEST(Pileup, PooledFilesAreOneSample) {
    CTempDir dir;
    SamTextToBam(kHeader + Read("a", 0, "c1", 10, 60, "2M", "AC", Q(1) + Q(2)), dir / "a.bam");
    SamTextToBam(kHeader + Read("b", 0, "c1", 10, 60, "1M", "G", Q(3)) +
                     Read("b", 0, "c1", 11, 60, "1M", "C", Q(4)) +
                     Read("c", 0, "c2", 3, 60, "1M", "T", Q(5)),
                 dir / "b.bam");
    fixture::WriteFile(dir / "c.sam", kHeader + Read("s", 0, "c1", 10, 60, "1M", "G", Q(6)));
    SPileupOptions opts = Inputs({dir / "a.bam", dir / "b.bam", dir / "c.sam"});
    EXPECT_EQ(Pileup(opts).doc, LibraryDocument({
                                    {10, {{3, 0}, {6, 0}, {1, 1}}},
                                    {11, {{2, 0}, {4, 0}}},
                                    {3, {{5, 0}}},
                                }));
}

TEST(Pileup, SitesOfSeveralContigsAndPositionsPastIntMaxAreWarnedAbout) {
    CTempDir dir;
    SamTextToBam(TwoContigs(), dir / "a.bam");
    SPileupOptions opts = Inputs({dir / "a.bam"});
    auto run = Pileup(opts);
    EXPECT_EQ(run.summary.m_ContigsWritten, 2u);
    EXPECT_EQ(FormatWarnings(run.summary),
              "qualpileup: warning: the document holds sites of 2 contigs; Column positions "
              "restart with each contig, so a position alone does not name a site (--region "
              "keeps one contig).\n");
    opts.m_Region = "c2";
    run = Pileup(opts);
    EXPECT_EQ(run.summary.m_ContigsWritten, 1u);
    EXPECT_EQ(FormatWarnings(run.summary), "");

    // qualfit keeps a position in an int: these are written as they are,
    // and said to be beyond what it reads back.
    fixture::WriteFile(dir / "big.sam",
                       Header({{"big", 2147483700}}) +
                           Read("a", 0, "big", 2147483646, 60, "3M", "ACG", Q(1) + Q(2) + Q(3)) +
                           Read("b", 0, "big", 2147483690, 60, "1M", "A", Q(4)));
    run = Pileup(Inputs({dir / "big.sam"}));
    EXPECT_EQ(run.doc, LibraryDocument({{2147483646, {{1, 0}}},
                                        {2147483647, {{2, 0}}},
                                        {2147483648, {{3, 0}}},
                                        {2147483690, {{4, 0}}}}));
    EXPECT_EQ(run.summary.m_SitesPastIntMax, 2u);
    EXPECT_EQ(FormatWarnings(run.summary),
              "qualpileup: warning: 2 sites lie beyond position 2147483647 (the first at "
              "big:2147483648); qualfit reads positions as 32-bit numbers and reports these "
              "wrongly (its likelihood does not use them).\n");
}

TEST(Pileup, ProgressNamesContigAndPositionAndIsClearedAtTheEnd) {
    // The first line comes at the 1024th site; the next not within a second
    // nor before another 1024 sites.
    CTempDir dir;
    SamTextToBam(
        Header({{"c1", 2000}}) + Read("a", 0, "c1", 1, 60, "1100M", std::string(1100, 'A')),
        dir / "a.bam");
    std::ostringstream out, progress;
    WritePileupDocument(Inputs({dir / "a.bam"}), out, "out", &progress);
    EXPECT_EQ(progress.str(), "\r\033[Kqualpileup: c1:1024\r\033[K");
}

TEST(Pileup, PooledFilesNeedTheSameReferences) {
    CTempDir dir;
    std::string read = Read("a", 0, "c1", 10, 60, "1M", "A");
    SamTextToBam(kHeader + read, dir / "a.bam");
    SamTextToBam(Header({{"c1", 100}}) + read, dir / "fewer.bam");
    SamTextToBam(Header({{"c1", 100}, {"c2", 51}}) + read, dir / "longer.bam");
    SamTextToBam(Header({{"c1", 100}, {"chr2", 50}}) + read, dir / "renamed.bam");
    SamTextToBam(Header({{"c2", 50}, {"c1", 100}}) + read, dir / "reordered.bam");
    std::string a = dir / "a.bam";
    EXPECT_EQ(PileupError(Inputs({a, dir / "fewer.bam"})),
              "'" + (dir / "fewer.bam") + "' and '" + a +
                  "' have different reference sequences: 1 against 2 contigs.");
    EXPECT_EQ(PileupError(Inputs({a, dir / "longer.bam"})),
              "'" + (dir / "longer.bam") + "' and '" + a +
                  "' have different reference sequences: contig 2 is 'c2' of length 51 against "
                  "'c2' of length 50.");
    EXPECT_EQ(PileupError(Inputs({a, dir / "renamed.bam"})),
              "'" + (dir / "renamed.bam") + "' and '" + a +
                  "' have different reference sequences: contig 2 is 'chr2' of length 50 "
                  "against 'c2' of length 50.");
    EXPECT_EQ(PileupError(Inputs({a, dir / "reordered.bam"})),
              "'" + (dir / "reordered.bam") + "' and '" + a +
                  "' have different reference sequences: contig 1 is 'c2' of length 50 against "
                  "'c1' of length 100.");
}

TEST(Pileup, UnreadableInputsAreNamed) {
    CTempDir dir;
    EXPECT_EQ(PileupError(Inputs({dir / "none.bam"})),
              "Cannot open '" + (dir / "none.bam") + "': No such file or directory.");
    fixture::WriteFile(dir / "notes.txt", "hello world\n");
    EXPECT_EQ(PileupError(Inputs({dir / "notes.txt"})),
              "'" + (dir / "notes.txt") + "' is not a SAM, BAM or CRAM file.");
    fixture::WriteFile(dir / "empty.bam", "");
    EXPECT_EQ(PileupError(Inputs({dir / "empty.bam"})),
              "'" + (dir / "empty.bam") + "' is not a SAM, BAM or CRAM file.");
    fixture::WriteFile(dir / "nosq.sam", "@HD\tVN:1.6\n");
    EXPECT_EQ(
        PileupError(Inputs({dir / "nosq.sam"})),
        "'" + (dir / "nosq.sam") + "' names no reference sequences in its header (@SQ lines).");
}

TEST(Pileup, UnsortedInputIsAnError) {
    CTempDir dir;
    SamTextToBam(kHeader + Read("late", 0, "c1", 10, 60, "1M", "A") +
                     Read("early", 0, "c1", 5, 60, "1M", "A"),
                 dir / "a.bam", false);
    EXPECT_EQ(PileupError(Inputs({dir / "a.bam"})),
              "'" + (dir / "a.bam") +
                  "' is not sorted by coordinate: read 'early' at c1:5 follows c1:10; sort it "
                  "with 'samtools sort'.");
}

// A BAM of several compressed blocks, sorted by position.
std::string BigBam(const CTempDir& dir) {
    std::string seq;
    for (int i = 0; i < 50; ++i) {
        seq += "ACGT"[(i * 7) % 4];
    }
    std::string path = dir / "big.bam";
    std::string sorted = kHeader;
    for (int p = 1; p <= 50; ++p) {
        for (int i = p - 1; i < 3000; i += 50) {
            sorted += Read("read" + std::to_string(i), 0, "c1", p, 60, "50M", seq);
        }
    }
    SamTextToBam(sorted, path, false);
    return path;
}

TEST(Pileup, TruncatedOrCorruptBamIsAnError) {
    CTempDir dir;
    std::string big = BigBam(dir);
    std::string bytes = fixture::ReadFile(big);
    ASSERT_GT(bytes.size(), 4000u);

    fixture::WriteFile(dir / "cut.bam", bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(PileupError(Inputs({dir / "cut.bam"})),
              "'" + (dir / "cut.bam") + "' is truncated (its end-of-file marker is missing).");

    // Damage the middle of the data but keep the end-of-file marker.
    std::string bad = bytes;
    for (std::size_t i = bad.size() / 2; i < bad.size() / 2 + 64; ++i) {
        bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    }
    fixture::WriteFile(dir / "bad.bam", bad);
    std::string err = PileupError(Inputs({dir / "bad.bam"}));
    std::string head = "'" + (dir / "bad.bam") + "' is truncated or corrupt";
    EXPECT_EQ(err.substr(0, head.size()), head) << err;
    EXPECT_EQ(err.back(), '.');
}

TEST(Pileup, CramAndBgzippedSamCutAtABoundaryAreTruncated) {
    // Without their end-of-file marker (CRAM's last container, BGZF's empty
    // last block) both read like complete files that end early.
    CTempDir dir;
    std::string big = BigBam(dir);
    std::string ref = dir / "c.fa";
    fixture::WriteFile(ref,
                       ">c1\n" + std::string(100, 'A') + "\n>c2\n" + std::string(50, 'A') + "\n");
    ASSERT_EQ(fai_build(ref.c_str()), 0);
    auto made = fixture::Shell(dir, "samtools view -C -T '" + ref + "' -o '" + (dir / "a.cram") +
                                        "' '" + big + "' && samtools view -h -O sam.gz -o '" +
                                        (dir / "a.sam.gz") + "' '" + big + "'");
    ASSERT_EQ(made.status, 0) << made.err;
    struct {
        const char* name;
        std::size_t markerSize;
    } cases[] = {{"a.cram", 38}, {"a.sam.gz", 28}};
    for (const auto& c : cases) {
        std::string whole = dir / c.name;
        std::string cut = dir / (std::string("cut.") + c.name);
        std::string bytes = fixture::ReadFile(whole);
        fixture::WriteFile(cut, bytes.substr(0, bytes.size() - c.markerSize));
        SPileupOptions opts = Inputs({whole});
        opts.m_Reference = ref;
        EXPECT_EQ(PileupError(opts), "") << c.name;
        opts.m_Inputs = {cut};
        EXPECT_EQ(PileupError(opts),
                  "'" + cut + "' is truncated (its end-of-file marker is missing).");
    }
}

}  // namespace
