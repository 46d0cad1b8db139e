// One pool's spectrum as dadi's text file: written as dadi folds and masks
// it, read back as the spectrum written (the middle entry of a folded
// spectrum of even n too), and each bad file refused with the kind and the
// line of its fault.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "pool/pool_spectrum_file.hpp"
#include "pool/tests/pool_test_sim.hpp"

using namespace pool_test;

namespace {

std::string TempDir() {
    char pattern[] = "/tmp/pool_spectrum_file_test.XXXXXX";
    return mkdtemp(pattern);
}

// Shares 1, 2, ..., n + 1 over their total, mirrored when folded.
SPoolSpectrum Example(unsigned n, bool folded) {
    SPoolSpectrum s{n, folded, {}};
    double total = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        s.phi.push_back(1.0 + j);
        total += 1.0 + j;
    }
    for (double& x : s.phi) {
        x /= total;
    }
    if (folded) {
        for (unsigned j = 0; 2 * j < n; ++j) {
            s.phi[j] = s.phi[n - j] = 0.5 * (s.phi[j] + s.phi[n - j]);
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

std::vector<double> Numbers(const std::string& line) {
    std::vector<double> v;
    std::istringstream in(line);
    double x;
    while (in >> x) {
        v.push_back(x);
    }
    return v;
}

}  // namespace

// Unfolded: every entry times the sites, 0 and n masked. Folded: below the
// middle each entry with its mirror, the middle (even n) its own, above
// masked and 0. Read back, each is the spectrum written.
TEST(PoolSpectrumFile, WrittenAsDadiFoldsAndReadBack) {
    const std::string dir = TempDir();
    for (unsigned n : {4u, 5u}) {
        for (bool folded : {false, true}) {
            const SPoolSpectrum s = Example(n, folded);
            std::ostringstream out;
            WritePoolSpectrum(out, s, 1000.0, "north", "made by the test\nsecond line");
            EXPECT_EQ(out.str().substr(0, 33), "# made by the test\n# second line\n");
            const std::vector<std::string> lines = Lines(out.str());
            ASSERT_EQ(lines.size(), 3u);
            EXPECT_EQ(lines[0],
                      std::to_string(n + 1) + (folded ? " folded" : " unfolded") + " \"north\"");
            const std::vector<double> v = Numbers(lines[1]), mask = Numbers(lines[2]);
            ASSERT_EQ(v.size(), n + 1);
            ASSERT_EQ(mask.size(), n + 1);
            for (unsigned j = 0; j <= n; ++j) {
                const double own = 1000.0 * s.phi[j], mirror = 1000.0 * s.phi[n - j];
                if (!folded) {
                    EXPECT_DOUBLE_EQ(v[j], own);
                    EXPECT_EQ(mask[j], j == 0 || j == n ? 1 : 0);
                } else if (2 * j < n) {
                    EXPECT_DOUBLE_EQ(v[j], own + mirror);
                    EXPECT_EQ(mask[j], j == 0 ? 1 : 0);
                } else if (2 * j == n) {
                    EXPECT_DOUBLE_EQ(v[j], own);
                    EXPECT_EQ(mask[j], 0);
                } else {
                    EXPECT_EQ(v[j], 0.0);
                    EXPECT_EQ(mask[j], 1);
                }
            }
            const std::string path = dir + "/s.fs";
            std::ofstream(path) << out.str();
            const SPoolSpectrum back = ReadPoolSpectrum(path, n, folded);
            EXPECT_EQ(back.folded, folded);
            ASSERT_EQ(back.phi.size(), n + 1);
            for (unsigned j = 0; j <= n; ++j) {
                // The middle entry of a folded spectrum of even n included.
                EXPECT_NEAR(back.phi[j], s.phi[j], 1e-15) << n << folded << j;
            }
        }
    }
    std::system(("rm -rf " + dir).c_str());
}

// Each fault named by its kind and line (comments count as lines).
TEST(PoolSpectrumFile, RefusesBadFiles) {
    const std::string dir = TempDir();
    auto refused = [&](const std::string& text, unsigned n, bool folded, EInputError kind,
                       std::uint64_t line) {
        const std::string path = dir + "/bad.fs";
        std::ofstream(path) << text;
        try {
            ReadPoolSpectrum(path, n, folded);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const CInputError& e) {
            EXPECT_EQ(e.Kind(), kind) << text;
            EXPECT_EQ(e.Where().m_Line, line) << text;
            EXPECT_EQ(e.Where().m_File, path);
        }
    };
    refused("# two pools\n3 3 unfolded\n1 2 3 4 5 6 7 8 9\n", 2, false, EInputError::eMismatch, 2);
    refused("4 unfolded\n1 2 3 4\n", 4, false, EInputError::eMismatch, 1);
    refused("5 folded\n1 2 3 0 0\n", 4, false, EInputError::eMismatch, 1);
    refused("five unfolded\n1 2 3 4 5\n", 4, false, EInputError::eFormat, 1);
    refused("5 sideways\n1 2 3 4 5\n", 4, false, EInputError::eFormat, 1);
    refused("5 unfolded\n1 2 -3 4 5\n", 4, false, EInputError::eRange, 2);
    refused("5 unfolded\n1 2 inf 4 5\n", 4, false, EInputError::eRange, 2);
    refused("5 unfolded\n1 nan 3 4 5\n", 4, false, EInputError::eRange, 2);
    refused("5 unfolded\n1 2 1e999 4 5\n", 4, false, EInputError::eRange, 2);
    refused("5 unfolded\n1e308 1e308 1e308 1e308 1e308\n", 4, false, EInputError::eRange, 2);
    refused("5 unfolded\n0 0 0 0 0\n", 4, false, EInputError::eRange, 2);
    refused("5 folded\n0 0 0 7 7\n", 4, true, EInputError::eRange, 2);
    refused("5 unfolded\n1 2 x 4 5\n", 4, false, EInputError::eFormat, 2);
    refused("5 unfolded\n1 2 3 4\n", 4, false, EInputError::eFormat, 2);
    refused("5 unfolded\n1 2 3 4 5 6\n", 4, false, EInputError::eFormat, 2);
    refused("# nothing\n\n", 4, false, EInputError::eTruncated, 2);
    refused("5 unfolded\n# no entries\n", 4, false, EInputError::eTruncated, 2);
    try {
        ReadPoolSpectrum(dir + "/missing.fs", 4, false);
        ADD_FAILURE() << "a missing file accepted";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eOpen);
    }
    // dadi's own habits: no label, masked entries holding numbers.
    std::ofstream(dir + "/ok.fs") << "5 unfolded\n  10 2 3 4 5 \n1 0 0 0 1\n";
    EXPECT_NEAR(ReadPoolSpectrum(dir + "/ok.fs", 4, false).phi[0], 10.0 / 24, 1e-15);
    std::system(("rm -rf " + dir).c_str());
}

// A prior the data cannot come from (only monomorphic sites, against reads
// that all show the second allele) is refused when applied, naming the
// file; one that leaves some site possible is not.
TEST(PoolSpectrumFile, RefusesAPriorNoSiteCanComeFrom) {
    TRng rng = MakeRng(3);
    const unsigned n = 10;
    std::vector<SPoolSite> sites;
    for (int s = 0; s < 20; ++s) {
        SPoolSite site;
        site.m_Pos = s;
        site.m_RefBase = kFirst;
        site.m_Reads.push_back(PoolReads(rng.get(), n, n, 30, 35, 40));
        sites.push_back(site);
    }
    const CPoolStore store = StoreOf(sites, true);
    const CPoolSpectrumModel model(store, 0, n, false);
    SPoolSpectrum mono{n, false, std::vector<double>(n + 1, 0.0)};
    mono.phi[0] = 1.0;
    try {
        CheckPriorOnData(model, mono, "prior.fs", nullptr);
        ADD_FAILURE() << "an impossible prior accepted";
    } catch (const CInputError& e) {
        EXPECT_EQ(e.Kind(), EInputError::eRange);
        EXPECT_EQ(e.Where().m_File, "prior.fs");
    }
    SPoolSpectrum some = mono;
    some.phi[0] = 0.5;
    some.phi[n] = 0.5;
    EXPECT_NO_THROW(CheckPriorOnData(model, some, "prior.fs", nullptr));
    // Such a prior as a start: the fit mixes in the default start and finds
    // the data's spectrum, every site possible.
    const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, nullptr, &mono);
    EXPECT_EQ(fit.impossibleSites, 0u);
    EXPECT_GT(fit.spectrum.phi[n], 0.9);
}
