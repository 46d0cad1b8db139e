// Summary files as the reader takes them: what the writer wrote comes back
// record for record; any damage to a record is refused as an input error of
// its kind, or leaves numbers a fit can use (never NaN, never a read past a
// record); the writer replaces the file a symbolic link leads to.

#include "sitefile/site_file.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/input_error.hpp"
#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

class CSiteFileReaderTest : public scanfix::CScratchTest {
  protected:
    // Every site of the files, or the input error that ended them.
    struct SRead {
        SSiteBatch m_Sites;
        bool m_Failed = false;
        EInputError m_Kind = EInputError::eUnknown;
        std::string m_Error;
    };
    static SRead ReadAll(const std::vector<std::string>& paths, const SSiteOptions& options) {
        SRead r;
        try {
            CSiteFileReader reader(paths, options);
            SSiteBatch batch;
            while (reader.Next(batch, 7)) {
                r.m_Sites.sites.insert(r.m_Sites.sites.end(), batch.sites.begin(),
                                       batch.sites.end());
                r.m_Sites.bytes.insert(r.m_Sites.bytes.end(), batch.bytes.begin(),
                                       batch.bytes.end());
            }
        } catch (const CInputError& e) {
            r.m_Failed = true;
            r.m_Kind = e.Kind();
            r.m_Error = e.what();
        }
        return r;
    }

    static std::string Decompressed(const std::string& path) {
        BGZF* in = bgzf_open(path.c_str(), "r");
        std::string text;
        char buf[65536];
        ssize_t n;
        while ((n = bgzf_read(in, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        bgzf_close(in);
        return text;
    }

    static void Compress(const std::string& path, const std::string& text) {
        BGZF* out = bgzf_open(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ASSERT_EQ(bgzf_close(out), 0);
    }
};

// Sites of random tables (depths 1 to 40) on three contigs, encoded as the
// run encodes them.
SSiteBatch RandomSites(const SSiteOptions& options, unsigned seed, int n) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    CSiteEncoder encoder(options);
    SSiteBatch batch;
    std::int64_t pos = 0;
    for (int i = 0; i < n; ++i) {
        const int contig = i * 3 / n;
        pos = (i * 3 % n < 3) ? 0 : pos + 1 + static_cast<std::int64_t>(rng() % 5);
        const int depth = 1 + static_cast<int>(rng() % 40);
        std::vector<double> table(static_cast<std::size_t>(depth) + 1);
        for (double& t : table) {
            t = std::pow(u(rng), 8.0);
        }
        batch.Add(encoder, contig, pos, depth, table.data(), -u(rng) * 50.0);
    }
    return batch;
}

TEST_F(CSiteFileReaderTest, WhatIsWrittenComesBackAndDamageIsRefusedOrHarmless) {
    SSiteOptions options;
    const SSiteBatch written = RandomSites(options, 3, 300);
    const std::vector<std::string> contigs = {"chr1", "scaffold_2", "c3"};
    SSiteFileSettings settings;
    settings.version = "test";
    {
        CSiteFileWriter writer(Path("a.sites"), settings);
        writer.Add(written, contigs);
        writer.Commit();
    }
    const SRead back = ReadAll({Path("a.sites")}, options);
    ASSERT_FALSE(back.m_Failed) << back.m_Error;
    ASSERT_EQ(back.m_Sites.sites.size(), written.sites.size());
    EXPECT_EQ(back.m_Sites.bytes, written.bytes);
    for (std::size_t i = 0; i < written.sites.size(); ++i) {
        const SEncodedSite& a = written.sites[i];
        const SEncodedSite& b = back.m_Sites.sites[i];
        ASSERT_EQ(std::tie(a.contig, a.pos, a.reads, a.chromosomes, a.kept, a.bytes),
                  std::tie(b.contig, b.pos, b.reads, b.chromosomes, b.kept, b.bytes));
        ASSERT_EQ(std::tie(a.constant, a.neutralA, a.neutralB),
                  std::tie(b.constant, b.neutralA, b.neutralB));
    }

    // The same file twice: its first contig comes back after its last.
    const SRead twice = ReadAll({Path("a.sites"), Path("a.sites")}, options);
    ASSERT_TRUE(twice.m_Failed);
    EXPECT_EQ(twice.m_Kind, EInputError::eOrder) << twice.m_Error;
    EXPECT_NE(twice.m_Error.find("chr1: comes after c3:"), std::string::npos) << twice.m_Error;

    // Damage: one byte of the body changed, recompressed so that only the
    // reader's own checks stand between the damage and the fit. Whatever
    // it accepts must give a finite likelihood at every theta.
    const std::string text = Decompressed(Path("a.sites"));
    const std::size_t body = text.find("\n\n") + 2;
    ASSERT_LT(body, text.size());
    // The likelihood is finite where theta keeps every prior a probability.
    std::vector<double> thetas;
    {
        CSiteStore store(options);
        store.Append(back.m_Sites);
        const CPriorRows rows = CPriorRows::Neutral(store);
        for (const double theta : {0.0, 1e-4, 0.01, 0.05, 0.1, 0.2, 0.3, 1.0}) {
            if (std::isfinite(LogLikelihood(store, rows, theta, nullptr))) {
                thetas.push_back(theta);
            }
        }
        ASSERT_GE(thetas.size(), 4u);
    }
    std::mt19937_64 rng(17);
    int refused = 0, accepted = 0;
    for (int trial = 0; trial < 400; ++trial) {
        std::string damaged = text;
        const std::size_t at = body + rng() % (text.size() - body);
        damaged[at] = static_cast<char>(damaged[at] ^ static_cast<char>(1 + rng() % 255));
        Compress(Path("d.sites"), damaged);
        const SRead r = ReadAll({Path("d.sites")}, options);
        if (r.m_Failed) {
            ++refused;
            continue;
        }
        ++accepted;
        CSiteStore store(options);
        store.Append(r.m_Sites);
        const CPriorRows rows = CPriorRows::Neutral(store);
        for (const double theta : thetas) {
            const double ll = LogLikelihood(store, rows, theta, nullptr);
            ASSERT_TRUE(std::isfinite(ll))
                << "trial " << trial << " byte " << at << " theta " << theta;
        }
    }
    // Some single-byte damage is caught; a changed bit of a number that
    // stays in its range passes as the number it now is (the format keeps
    // nothing twice).
    EXPECT_GT(refused, 20) << accepted << " accepted";
    EXPECT_GT(accepted, 20);
}

// The inputs of a fuzzing campaign on the first format (refused by name
// now), and the same faults in the format of today: each is refused as what
// it is. The regression inputs hold the decompressed content, as the fuzz
// target takes it.
TEST_F(CSiteFileReaderTest, ReproducersAreRefusedByKind) {
    const std::string dir = scanfix::SourceDir() + "/fuzz/regression/site_file_fuzz/";
    for (const char* old : {"01_wrap_record.sites", "03_huge_record.sites", "06_nan_payload.sites",
                            "06_inf_payload.sites", "06_huge_constant.sites", "07_dup_pos.sites",
                            "08_tab_contig.sites", "valid-one.sites"}) {
        SCOPED_TRACE(old);
        const SRead r = ReadAll({dir + old}, SSiteOptions());
        ASSERT_TRUE(r.m_Failed);
        EXPECT_EQ(r.m_Kind, EInputError::eMismatch) << r.m_Error;
    }
    struct SCase {
        const char* m_Name;
        EInputError m_Kind;
        int m_Record;  // the entry named: 1 the contig, 2 the first site
    };
    const SCase cases[] = {
        {"format2-counts-wrap", EInputError::eDamaged, 2},
        {"format2-record-claims-64mb", EInputError::eTruncated, 2},
        {"format2-depth-2-33", EInputError::eDamaged, 2},
        {"format2-nan-entry", EInputError::eDamaged, 2},
        {"format2-inf-weight", EInputError::eDamaged, 2},
        {"format2-huge-constant", EInputError::eDamaged, 2},
        {"format2-position-twice", EInputError::eOrder, 3},
        {"format2-tab-in-contig-name", EInputError::eFormat, 1},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.m_Name);
        Compress(Path("r.sites"), scanfix::ReadFile(dir + c.m_Name));
        const SRead r = ReadAll({Path("r.sites")}, SSiteOptions());
        ASSERT_TRUE(r.m_Failed);
        EXPECT_EQ(r.m_Kind, c.m_Kind) << r.m_Error;
        EXPECT_EQ(r.m_Error.find("'" + Path("r.sites") + "', record " + std::to_string(c.m_Record)),
                  0u)
            << r.m_Error;
    }
    Compress(Path("r.sites"), scanfix::ReadFile(dir + "format2-valid-one"));
    const SRead valid = ReadAll({Path("r.sites")}, SSiteOptions());
    EXPECT_FALSE(valid.m_Failed) << valid.m_Error;
    EXPECT_EQ(valid.m_Sites.sites.size(), 1u);
}

// The writer goes through the project's output file: a symbolic link stays
// a link to the file it replaces, and a new file has the mode the umask
// leaves.
TEST_F(CSiteFileReaderTest, WriterFollowsLinksAndHonoursTheUmask) {
    SSiteOptions options;
    const SSiteBatch sites = RandomSites(options, 5, 30);
    ASSERT_EQ(Sh("mkdir real && echo old > real/target.sites && ln -s real/target.sites "
                 "link.sites"),
              0);
    const mode_t old = ::umask(027);
    {
        CSiteFileWriter writer(Path("link.sites"), SSiteFileSettings());
        writer.Add(sites, {"a", "b", "c"});
        writer.Commit();
        CSiteFileWriter fresh(Path("new.sites"), SSiteFileSettings());
        fresh.Commit();
    }
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::lstat(Path("link.sites").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const SRead r = ReadAll({Path("real/target.sites")}, options);
    ASSERT_FALSE(r.m_Failed) << r.m_Error;
    EXPECT_EQ(r.m_Sites.sites.size(), sites.sites.size());
    ASSERT_EQ(::stat(Path("new.sites").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_FALSE(ReadAll({Path("new.sites")}, options).m_Failed);
}

// The settings a file records are the ones its records were made under.
// A folded file with its header edited to "folded 0" was read as unfolded
// (other estimates, exit 0): an edit of any setting is refused as damage,
// naming the file once. Files written before the checksum are read as
// before; a line after the checksum is damage too.
TEST_F(CSiteFileReaderTest, AnEditedSettingIsRefusedAsDamage) {
    SSiteOptions options;
    options.poolSize = 12;
    const SSiteBatch sites = RandomSites(options, 8, 40);
    SSiteFileSettings settings;
    settings.version = "test";
    settings.poolSize = 12;
    settings.region = "chr1:1-100";
    settings.reference = "ref.fa";
    settings.input = "alignments";
    settings.sample = "north";
    {
        CSiteFileWriter writer(Path("a.sites"), settings);
        writer.Add(sites, {"chr1", "chr2", "chr3"});
        writer.Commit();
    }
    const std::string text = Decompressed(Path("a.sites"));
    const std::size_t sum = text.find("\nchecksum\t");
    ASSERT_NE(sum, std::string::npos);
    ASSERT_EQ(text.compare(sum + 26, 2, "\n\n"), 0) << "the checksum ends the header";
    // Every line before the checksum, its value changed.
    int edited = 0;
    for (std::size_t at = text.find('\n') + 1; at <= sum; at = text.find('\n', at) + 1) {
        const std::size_t tab = text.find('\t', at);
        const std::string key = text.substr(at, tab - at);
        SCOPED_TRACE(key);
        std::string edit = text;
        const std::size_t end = text.find('\n', tab);
        edit.replace(tab + 1, end - tab - 1, text.compare(tab + 1, 1, "1") == 0 ? "0" : "1");
        Compress(Path("e.sites"), edit);
        const SRead r = ReadAll({Path("e.sites")}, options);
        ASSERT_TRUE(r.m_Failed);
        EXPECT_EQ(r.m_Kind, EInputError::eDamaged);
        EXPECT_EQ(r.m_Error.find("'" + Path("e.sites") +
                                 "': is damaged: its settings do not "
                                 "match their checksum"),
                  0u)
            << r.m_Error;
        ++edited;
    }
    EXPECT_EQ(edited, 15);
    // Without its checksum (a file of an earlier qualscan): read as before.
    std::string old = text;
    old.erase(sum + 1, 26);
    Compress(Path("old.sites"), old);
    const SRead back = ReadAll({Path("old.sites")}, options);
    ASSERT_FALSE(back.m_Failed) << back.m_Error;
    EXPECT_EQ(back.m_Sites.bytes, sites.bytes);
    // A setting after the checksum is not covered by it.
    std::string after = text;
    after.insert(sum + 27, "folded\t0\n");
    Compress(Path("after.sites"), after);
    const SRead late = ReadAll({Path("after.sites")}, options);
    ASSERT_TRUE(late.m_Failed);
    EXPECT_EQ(late.m_Kind, EInputError::eDamaged) << late.m_Error;
}

// Files fitted together were made under one model and one set of filters:
// a file that differs from the first in any of them is refused, naming it
// and the setting, and so is a first file that differs from the run's
// model. (Saved with other -D, files were fitted together: the tests
// compared only the pool size and the folding.) What a file only records
// (the block size, the region, the input, the version, the sample) may
// differ.
TEST_F(CSiteFileReaderTest, FilesOfOtherSettingsAreNotFittedTogether) {
    SSiteOptions options;
    const SSiteFileSettings base;
    auto write = [&](const std::string& name, const SSiteFileSettings& s) {
        CSiteFileWriter writer(Path(name), s);
        writer.Commit();
        return Path(name);
    };
    const std::string first = write("first.sites", base);
    struct SCase {
        std::string m_Setting;  // as the message names it
        void (*m_Change)(SSiteFileSettings&);
    };
    const SCase differ[] = {
        {"folding", [](SSiteFileSettings& s) { s.folded = false; }},
        {"pool size", [](SSiteFileSettings& s) { s.poolSize = 20; }},
        {"min-MQ", [](SSiteFileSettings& s) { s.minMapQ = 20; }},
        {"min-BQ", [](SSiteFileSettings& s) { s.minBaseQ = 20; }},
        {"skip-flags", [](SSiteFileSettings& s) { s.skipFlags = 4; }},
        {"incl-flags", [](SSiteFileSettings& s) { s.requireFlags = 2; }},
        {"min-depth", [](SSiteFileSettings& s) { s.minDepth = 3; }},
        {"max-depth", [](SSiteFileSettings& s) { s.maxDepth = 80; }},
        {"ignore-overlaps", [](SSiteFileSettings& s) { s.keepOverlaps = true; }},
        {"reference", [](SSiteFileSettings& s) { s.reference = "other.fa"; }},
    };
    for (const SCase& c : differ) {
        SCOPED_TRACE(c.m_Setting);
        SSiteFileSettings other = base;
        c.m_Change(other);
        const std::string second = write("second.sites", other);
        for (const bool secondFirst : {false, true}) {
            const SRead r = ReadAll(secondFirst ? std::vector<std::string>{second, first}
                                                : std::vector<std::string>{first, second},
                                    options);
            ASSERT_TRUE(r.m_Failed);
            EXPECT_EQ(r.m_Kind, EInputError::eMismatch);
            if (c.m_Setting == "folding" || c.m_Setting == "pool size") {
                // The first file's model is checked against the run's.
                const std::string& named = secondFirst ? second : first;
                const std::string start =
                    secondFirst
                        ? "'" + named + "': was written with another " + c.m_Setting
                        : "'" + second + "': differs from '" + first + "' in its " + c.m_Setting;
                EXPECT_EQ(r.m_Error.find(start), 0u) << r.m_Error;
                continue;
            }
            const std::string& later = secondFirst ? first : second;
            const std::string& earlier = secondFirst ? second : first;
            EXPECT_EQ(r.m_Error.find("'" + later + "': differs from '" + earlier + "' in its " +
                                     c.m_Setting + " ("),
                      0u)
                << r.m_Error;
        }
    }
    // Both files of the other model, read with it: fitted together.
    SSiteFileSettings pooled = base;
    pooled.poolSize = 20;
    SSiteOptions pooledOptions;
    pooledOptions.poolSize = 20;
    EXPECT_FALSE(
        ReadAll({write("p1.sites", pooled), write("p2.sites", pooled)}, pooledOptions).m_Failed);
    const SCase recorded[] = {
        {"block size", [](SSiteFileSettings& s) { s.blockSize = 5000; }},
        {"region", [](SSiteFileSettings& s) { s.region = "chr2"; }},
        {"input", [](SSiteFileSettings& s) { s.input = "pileup text"; }},
        {"version", [](SSiteFileSettings& s) { s.version = "0.9"; }},
        {"sample", [](SSiteFileSettings& s) { s.sample = "south"; }},
    };
    for (const SCase& c : recorded) {
        SCOPED_TRACE(c.m_Setting);
        SSiteFileSettings other = base;
        c.m_Change(other);
        const SRead r = ReadAll({first, write("second.sites", other)}, options);
        EXPECT_FALSE(r.m_Failed) << r.m_Error;
    }
}

}  // namespace
