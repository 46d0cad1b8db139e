// qualfst's files: spectra as dadi folds and masks them, read back as the
// spectrum written, and the pools sheet; each bad file refused with the
// kind of its fault.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "fst/spectrum_file.hpp"
#include "pileup/samples.hpp"
#include "pool/pool_sheet.hpp"

namespace {

std::string TempDir() {
    char pattern[] = "/tmp/fst_files_test.XXXXXX";
    return mkdtemp(pattern);
}

// A spectrum of pools of 2 and 3 with cell (j1, j2) = 1 + j1 * 4 + j2, over
// their total, symmetrised when folded.
SJointSpectrum Example(bool folded) {
    SJointSpectrum s;
    s.n1 = 2;
    s.n2 = 3;
    s.folded = folded;
    double total = 0;
    for (unsigned c = 0; c < 12; ++c) {
        s.phi.push_back(1.0 + c);
        total += 1.0 + c;
    }
    for (double& x : s.phi) {
        x /= total;
    }
    if (folded) {
        for (unsigned c = 0; c < 6; ++c) {
            s.phi[c] = s.phi[11 - c] = 0.5 * (s.phi[c] + s.phi[11 - c]);
        }
    }
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line[0] != '#') {
            lines.push_back(line);
        }
    }
    return lines;
}

EInputError KindOfSpectrum(const std::string& path, unsigned n1, unsigned n2, bool folded) {
    try {
        ReadSpectrum(path, n1, n2, folded, "a", "b");
    } catch (const CInputError& e) {
        return e.Kind();
    }
    ADD_FAILURE() << "no error for " << path;
    return EInputError::eUnknown;
}

}  // namespace

// Unfolded: every cell as it is, times the sites, the corners masked.
// Folded (total 5 chromosomes: cells with j1 + j2 < 2.5 keep their sum with
// their mirror, the others are masked; no cell lies on the middle): as dadi
// folds. Both read back as the spectrum written.
TEST(SpectrumFile, WrittenAsDadiFoldsAndReadBack) {
    const std::string dir = TempDir();
    for (bool folded : {false, true}) {
        const SJointSpectrum s = Example(folded);
        std::ostringstream out;
        WriteSpectrum(out, s, 78.0, "a", "b", "made by the test\nsecond line");
        const std::vector<std::string> lines = Lines(out.str());
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0],
                  std::string("3 4 ") + (folded ? "folded" : "unfolded") + " \"a\" \"b\"");
        std::istringstream values(lines[1]), mask(lines[2]);
        for (unsigned j1 = 0; j1 <= 2; ++j1) {
            for (unsigned j2 = 0; j2 <= 3; ++j2) {
                double v;
                int m;
                values >> v;
                mask >> m;
                const double own = 78.0 * s.At(j1, j2), mirror = 78.0 * s.At(2 - j1, 3 - j2);
                if (!folded) {
                    EXPECT_DOUBLE_EQ(v, own);
                    EXPECT_EQ(m, (j1 + j2 == 0 || (j1 == 2 && j2 == 3)) ? 1 : 0);
                } else if (2 * (j1 + j2) < 5) {
                    EXPECT_DOUBLE_EQ(v, own + mirror);
                    EXPECT_EQ(m, j1 + j2 == 0 ? 1 : 0);
                } else {
                    EXPECT_EQ(m, 1);
                }
            }
        }
        EXPECT_EQ(out.str().substr(0, 19), "# made by the test\n");
        const std::string path = dir + (folded ? "/f.fs" : "/u.fs");
        std::ofstream(path) << out.str();
        const SJointSpectrum back = ReadSpectrum(path, 2, 3, folded, "a", "b");
        for (std::size_t c = 0; c < 12; ++c) {
            EXPECT_NEAR(back.phi[c], s.phi[c], 1e-15) << c;
        }
        // The other folding, other sizes: refused as mismatches.
        EXPECT_EQ(KindOfSpectrum(path, 2, 3, !folded), EInputError::eMismatch);
        EXPECT_EQ(KindOfSpectrum(path, 3, 2, folded), EInputError::eMismatch);
    }
    // A folded spectrum with a middle line (pools of 2 and 2: j1 + j2 = 2):
    // those cells hold half their pair's sum, as dadi's fold does.
    SJointSpectrum even;
    even.n1 = even.n2 = 2;
    even.folded = true;
    even.phi.assign(9, 1.0 / 9);
    std::ostringstream out;
    WriteSpectrum(out, even, 9.0, "a", "b", "");
    EXPECT_EQ(Lines(out.str())[1], "2 2 1 2 1 0 1 0 0");
    EXPECT_EQ(Lines(out.str())[2], "1 0 0 0 0 1 0 1 1");
    // ... and read back whole: a cell on the middle line keeps its share
    // (it holds half of its pair's sum, which is all of it).
    {
        SJointSpectrum uneven = even;
        for (std::size_t c = 0; c < 9; ++c) {
            uneven.phi[c] = 0.02 * static_cast<double>(c + 1);
        }
        for (std::size_t c = 0; c < 4; ++c) {
            uneven.phi[c] = uneven.phi[8 - c] = 0.5 * (uneven.phi[c] + uneven.phi[8 - c]);
        }
        double total = 0.0;
        for (double x : uneven.phi) {
            total += x;
        }
        for (double& x : uneven.phi) {
            x /= total;
        }
        std::ostringstream written;
        WriteSpectrum(written, uneven, 1000.0, "a", "b", "");
        std::ofstream(dir + "/even.fs") << written.str();
        const SJointSpectrum back = ReadSpectrum(dir + "/even.fs", 2, 2, true, "a", "b");
        for (std::size_t c = 0; c < 9; ++c) {
            EXPECT_NEAR(back.phi[c], uneven.phi[c], 1e-15) << c;
        }
    }
    // A folded file whose mirrored middle cells differ (no fold of dadi's
    // makes one; fuzzing did): read symmetric, the pair's total kept.
    {
        std::ofstream(dir + "/odd.fs") << "3 3 folded \"a\" \"b\"\n20 2 2 1 1 0 1 0 0\n"
                                       << "1 0 0 0 0 1 0 1 1\n";
        const SJointSpectrum back = ReadSpectrum(dir + "/odd.fs", 2, 2, true, "a", "b");
        for (std::size_t c = 0; c < 9; ++c) {
            EXPECT_EQ(back.phi[c], back.phi[8 - c]) << c;
        }
        EXPECT_NEAR(back.phi[2] / back.phi[0], 1.5 / 10, 1e-15);
    }
    // Files that are not spectra of the run's pair.
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        return dir + "/" + name;
    };
    EXPECT_EQ(KindOfSpectrum(write("few.fs", "3 4 unfolded\n1 2 3\n"), 2, 3, false),
              EInputError::eFormat);
    EXPECT_EQ(KindOfSpectrum(write("neg.fs", "2 2 unfolded\n1 -2 3 4\n"), 1, 1, false),
              EInputError::eFormat);
    EXPECT_EQ(KindOfSpectrum(write("mono.fs", "2 2 unfolded\n0 2 3 4\n"), 1, 1, false),
              EInputError::eRange);
    EXPECT_EQ(KindOfSpectrum(write("empty.fs", "# nothing\n"), 1, 1, false),
              EInputError::eTruncated);
    EXPECT_EQ(KindOfSpectrum(dir + "/missing.fs", 1, 1, false), EInputError::eOpen);
    EXPECT_EQ(SpectrumFileName("out/run.fs", "a", "b"), "out/run.a.b.fs");
    EXPECT_EQ(SpectrumFileName("run", "a", "b"), "run.a.b.fs");
    std::system(("rm -rf " + dir).c_str());
}

// The sheet: columns in any order, files relative to its directory, and the
// faults of a sheet refused by kind, naming its line.
TEST(PoolSheet, ColumnsPathsAndFaults) {
    const std::string dir = TempDir();
    auto sheet = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        return dir + "/" + name;
    };
    const auto pools =
        ReadPoolSheet(sheet("ok.tsv",
                            "# pools\nfiles\tname\tnote\tsize\nx.bam, y.bam\tnorth\tlanes\t40\n"
                            "/abs/z.bam\tsouth\t\t2\n\n"),
                      2, "qualfst");
    ASSERT_EQ(pools.size(), 2u);
    EXPECT_EQ(pools[0].m_Name, "north");
    EXPECT_EQ(pools[0].m_Size, 40u);
    EXPECT_EQ(pools[0].m_Files, (std::vector<std::string>{dir + "/x.bam", dir + "/y.bam"}));
    EXPECT_EQ(pools[1].m_Files, (std::vector<std::string>{"/abs/z.bam"}));
    auto kind = [&](const std::string& path, std::uint64_t line) {
        try {
            ReadPoolSheet(path, 2, "qualfst");
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Where().m_Line, line) << path;
            return e.Kind();
        }
        ADD_FAILURE() << "no error for " << path;
        return EInputError::eUnknown;
    };
    EXPECT_EQ(kind(sheet("nosize.tsv", "name\tfiles\na\tx.bam\n"), 1), EInputError::eFormat);
    EXPECT_EQ(kind(sheet("one.tsv", "name\tsize\tfiles\na\t1\tx.bam\nb\t5\ty.bam\n"), 2),
              EInputError::eRange);
    EXPECT_EQ(kind(sheet("big.tsv", "name\tsize\tfiles\na\t10001\tx.bam\nb\t5\ty.bam\n"), 2),
              EInputError::eRange);
    EXPECT_EQ(kind(sheet("twice.tsv", "name\tsize\tfiles\na\t4\tx.bam\na\t5\ty.bam\n"), 3),
              EInputError::eFormat);
    EXPECT_EQ(kind(sheet("nofile.tsv", "name\tsize\tfiles\na\t4\t , \nb\t5\ty.bam\n"), 2),
              EInputError::eFormat);
    EXPECT_EQ(kind(sheet("short.tsv", "name\tsize\tfiles\na 4 x.bam\n"), 2), EInputError::eFormat);
    EXPECT_EQ(kind(sheet("single.tsv", "name\tsize\tfiles\na\t4\tx.bam\n"), 0),
              EInputError::eFormat);
    EXPECT_EQ(SampleOfFile("dir/north.L1.bam"), "north.L1");
    EXPECT_EQ(SampleOfFile("plain"), "plain");
    std::system(("rm -rf " + dir).c_str());
}
