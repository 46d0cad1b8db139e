// Samples kept apart, windows that say what their intervals are, and the
// likelihood surface, through qualscan: a --per-sample run equals each
// sample run alone (alignments of two pools in lanes, or merged; pileup
// text of two columns), for every thread count; alignments of several
// samples are refused unless kept apart or merged; --pool-size per sample;
// per-sample summary files read back; a window as large as the genome gets
// the genome-wide bootstrap interval, one of fewer than 20 blocks none; the
// surface file holds the engine's own log-likelihood of the run's sites.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "model/tests/scan_fixture.hpp"
#include "scan/scan_options.hpp"
#include "scan/scan_run.hpp"
#include "scan/scan_samples.hpp"
#include "sitefile/site_file.hpp"

namespace {

using scanfix::ReadFile;

std::string BinDir() {
    const char* env = std::getenv("QT_BIN_DIR");
    return env ? env : QT_BIN_DIR;
}

using TRows = std::vector<std::vector<std::string>>;

// The lines of a table or windows file split at tabs; comment lines kept
// whole in comments when asked.
TRows Rows(const std::string& text, std::vector<std::string>* comments = nullptr) {
    TRows rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '#') {
            if (comments) {
                comments->push_back(line);
            }
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream l(line);
        for (std::string f; std::getline(l, f, '\t');) {
            fields.push_back(f);
        }
        rows.push_back(fields);
    }
    return rows;
}

// The rows of sample (the first column), without it; the header first.
TRows OfSample(const TRows& rows, const std::string& sample) {
    TRows out{TRows::value_type(rows.at(0).begin() + 1, rows.at(0).end())};
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].at(0) == sample) {
            out.emplace_back(rows[i].begin() + 1, rows[i].end());
        }
    }
    return out;
}

class CSamplesTest : public scanfix::CScratchTest {
  protected:
    struct SCmd {
        int m_Status;
        std::string m_Out, m_Err;
    };
    // qualscan in the scratch directory.
    SCmd Scan(const std::string& args) const {
        const int raw = std::system(
            ("cd '" + m_Dir + "' && '" + BinDir() + "/qualscan' -P " + args + " >out.tsv 2>err.txt")
                .c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(Path("out.tsv")),
                ReadFile(Path("err.txt"))};
    }
    // qualscan in this process, in the scratch directory: the input
    // error's kind, or eUnknown for another error, whose message is
    // returned; "" when the run succeeded.
    std::string InProcess(const std::string& args, EInputError& kind) const {
        std::vector<std::string> words{"qualscan", "-P"};
        std::istringstream in(args);
        for (std::string w; in >> w;) {
            words.push_back(w);
        }
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(&w[0]);
        }
        kind = EInputError::eUnknown;
        char here[4096];
        if (!::getcwd(here, sizeof here) || ::chdir(m_Dir.c_str()) != 0) {
            return "cannot change to the scratch directory";
        }
        std::string error;
        std::ostringstream out;
        try {
            SScanOptions opts;
            ParseScanArgs(static_cast<int>(argv.size()), argv.data(), opts, out);
            RunQualScan(opts, out, nullptr);
        } catch (const CInputError& e) {
            kind = e.Kind();
            error = e.what();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (::chdir(here) != 0) {
            return "cannot change back";
        }
        return error;
    }
    // Two pools of 20 and 30 chromosomes, two lanes each (read groups of
    // sample pool1 and pool2), on two contigs; the lanes merged into one
    // file; each pool's lanes merged; pileup text of both pools' columns
    // and of each alone, with the filters of qualscan's defaults.
    void MakePools() {
        const std::string make =
            "'" + BinDir() +
            "/qualpoolsim' -o p -n 20,30 -d 14 -l 16000,9000 --lanes 2 --seed 9 && "
            "samtools merge -f -o all.bam p.pool1.L1.bam p.pool2.L2.bam p.pool1.L2.bam "
            "p.pool2.L1.bam && samtools index all.bam && "
            "samtools merge -f -o one.bam p.pool1.L1.bam p.pool1.L2.bam && "
            "samtools merge -f -o two.bam p.pool2.L1.bam p.pool2.L2.bam && "
            "samtools mpileup -B -Q 0 -q 20 -d 0 "
            "--ff UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY -f p.fa one.bam two.bam > both.pileup "
            "&& cut -f 1-6 both.pileup > one.pileup && cut -f 1-3,7-9 both.pileup > two.pileup";
        ASSERT_EQ(Sh(make), 0);
    }
    const std::string m_Lanes = "p.pool1.L1.bam p.pool1.L2.bam p.pool2.L1.bam p.pool2.L2.bam";

    // SAM text of samples read groups (SM s0, s1, ...) with reads reads of
    // 50 bases each, at random places on one contig of 2,000 bases, a base
    // in 50 miscalled.
    static std::string ManySamples(int samples, int reads) {
        std::mt19937 rng(5);
        const char* const acgt = "ACGT";
        std::string ref;
        for (int i = 0; i < 2000; ++i) {
            ref += acgt[rng() % 4];
        }
        std::string sam = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:2000\n";
        for (int s = 0; s < samples; ++s) {
            sam += "@RG\tID:rg" + std::to_string(s) + "\tSM:s" + std::to_string(s) + "\n";
        }
        std::multimap<int, std::string> records;
        for (int s = 0; s < samples; ++s) {
            for (int r = 0; r < reads; ++r) {
                const int pos = static_cast<int>(rng() % 1950);
                std::string seq = ref.substr(static_cast<std::size_t>(pos), 50);
                for (char& c : seq) {
                    c = rng() % 50 == 0 ? acgt[rng() % 4] : c;
                }
                records.emplace(pos,
                                "r" + std::to_string(s) + "_" + std::to_string(r) + "\t0\tchr1\t" +
                                    std::to_string(pos + 1) + "\t60\t50M\t*\t0\t0\t" + seq + "\t" +
                                    std::string(50, 'I') + "\tRG:Z:rg" + std::to_string(s) + "\n");
            }
        }
        for (const auto& [pos, record] : records) {
            sam += record;
        }
        return sam;
    }
    // qualscan run in a child in the scratch directory, its output thrown
    // away: its exit status and the largest resident set it reached (KiB).
    std::pair<int, long> PeakMemory(const std::vector<std::string>& args) const {
        const std::string program = BinDir() + "/qualscan";
        std::vector<std::string> words{program, "-P"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(&w[0]);
        }
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::chdir(m_Dir.c_str()) != 0 || !std::freopen("/dev/null", "w", stdout) ||
                !std::freopen("/dev/null", "w", stderr)) {
                ::_exit(127);
            }
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        int status = 0;
        struct rusage usage {};
        if (child < 0 || ::wait4(child, &status, 0, &usage) != child) {
            return {-1, 0};
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
    }
};

TEST_F(CSamplesTest, APerSampleRunEqualsEachSampleRunAloneForEveryInputAndThreadCount) {
    MakePools();
    // Depth limits apply per sample: pooled, -D 25 would leave out most
    // sites.
    const std::string common = "-d 3 -D 25 --windows 4000:3000 -w w.tsv ";
    // The reference's base is class 0, as in the pileup text.
    const std::string bam = common + "-f p.fa ";
    // Each pool alone: its two lanes pooled, its own pool size.
    std::map<std::string, TRows> table, windows;
    for (const auto& [sample, args] : std::map<std::string, std::string>{
             {"pool1", "--pool-size 20 p.pool1.L1.bam p.pool1.L2.bam"},
             {"pool2", "--pool-size 30 p.pool2.L2.bam p.pool2.L1.bam"}}) {
        const SCmd r = Scan(bam + args);
        ASSERT_EQ(r.m_Status, 0) << r.m_Err;
        table[sample] = Rows(r.m_Out);
        std::vector<std::string> comments;
        windows[sample] = Rows(ReadFile(Path("w.tsv")), &comments);
        EXPECT_EQ(comments, std::vector<std::string>{"#intervals=profile\tlevel=0.95"});
        ASSERT_EQ(table[sample].size(), 3u);
        ASSERT_GT(std::stoul(table[sample][1][10]), 10000u);
    }
    std::string first, firstWindows;
    for (const std::string& input :
         std::vector<std::string>{m_Lanes + " -t 1", m_Lanes + " -t 3", "all.bam -t 2"}) {
        SCOPED_TRACE(input);
        const SCmd r = Scan(bam + "--per-sample --pool-size 20,30 " + input);
        ASSERT_EQ(r.m_Status, 0) << r.m_Err;
        EXPECT_NE(r.m_Err.find("2 samples kept apart: pool1 "), std::string::npos) << r.m_Err;
        const std::string w = ReadFile(Path("w.tsv"));
        if (first.empty()) {
            first = r.m_Out;
            firstWindows = w;
            const TRows rows = Rows(r.m_Out);
            ASSERT_EQ(rows.size(), 5u);
            EXPECT_EQ(rows[0][0], "sample");
            EXPECT_EQ(rows[1][0] + rows[2][0] + rows[3][0] + rows[4][0], "pool1pool1pool2pool2");
            for (const std::string sample : {"pool1", "pool2"}) {
                EXPECT_EQ(OfSample(rows, sample), table[sample]) << sample;
                EXPECT_EQ(OfSample(Rows(w), sample), windows[sample]) << sample;
            }
            continue;
        }
        // The same bytes for any thread count, lanes in files or merged.
        EXPECT_EQ(r.m_Out, first);
        EXPECT_EQ(w, firstWindows);
    }

    // Pileup text: its columns kept apart are the texts of one column each,
    // and the alignments' numbers.
    std::map<std::string, TRows> text;
    for (const std::string sample : {"one", "two"}) {
        const SCmd r =
            Scan(common + "--pool-size " + (sample == "one" ? "20 " : "30 ") + sample + ".pileup");
        ASSERT_EQ(r.m_Status, 0) << r.m_Err;
        text[sample] = Rows(r.m_Out);
        windows[sample] = Rows(ReadFile(Path("w.tsv")));
    }
    for (const std::string names : {"", "--samples one,two "}) {
        SCOPED_TRACE(names);
        const SCmd r = Scan(common + "--per-sample --pool-size 20,30 " + names + "both.pileup");
        ASSERT_EQ(r.m_Status, 0) << r.m_Err;
        const TRows rows = Rows(r.m_Out);
        const std::string a = names.empty() ? "sample1" : "one";
        const std::string b = names.empty() ? "sample2" : "two";
        EXPECT_EQ(OfSample(rows, a), text["one"]);
        EXPECT_EQ(OfSample(rows, b), text["two"]);
        EXPECT_EQ(OfSample(Rows(ReadFile(Path("w.tsv"))), a), windows["one"]);
        EXPECT_EQ(OfSample(Rows(ReadFile(Path("w.tsv"))), b), windows["two"]);
        EXPECT_EQ(OfSample(rows, a), table["pool1"]);
        EXPECT_EQ(OfSample(rows, b), table["pool2"]);
    }
    // Pooled, the text says how many columns it pooled.
    const SCmd pooled = Scan("both.pileup");
    ASSERT_EQ(pooled.m_Status, 0) << pooled.m_Err;
    EXPECT_NE(pooled.m_Err.find("; 2 sample columns pooled"), std::string::npos) << pooled.m_Err;
}

TEST_F(CSamplesTest, SamplesArePooledOnlyOnRequestAndPoolSizesAndSummaryFilesFollowThem) {
    MakePools();
    EInputError kind;
    // Read groups of two samples, in one file or in four: refused, as an
    // input that does not match the options.
    for (const std::string& input : {std::string("all.bam"), m_Lanes}) {
        SCOPED_TRACE(input);
        EXPECT_NE(InProcess(input, kind), "");
        EXPECT_EQ(kind, EInputError::eMismatch);
        EXPECT_EQ(InProcess("--merge-samples " + input, kind), "");
    }
    // Merged: today's single estimate, the same from the merged file.
    const SCmd merged = Scan("--merge-samples all.bam");
    ASSERT_EQ(merged.m_Status, 0) << merged.m_Err;
    EXPECT_EQ(Rows(merged.m_Out)[0][0], "model");
    EXPECT_NE(merged.m_Err.find("; 2 samples pooled"), std::string::npos) << merged.m_Err;
    EXPECT_EQ(Scan("--merge-samples " + m_Lanes).m_Out, merged.m_Out);
    // Lanes of one sample, and files without read groups, are one sample.
    ASSERT_EQ(Sh("samtools view -h p.pool1.L1.bam | grep -v '^@RG' | sed 's/\\tRG:Z:[^\\t]*//' | "
                 "samtools view -b -o bare1.bam - && cp bare1.bam bare2.bam && "
                 "samtools index bare1.bam && samtools index bare2.bam"),
              0);
    for (const std::string input : {"p.pool1.L1.bam p.pool1.L2.bam", "bare1.bam bare2.bam"}) {
        EXPECT_EQ(InProcess(input, kind), "") << input;
    }

    // Pool sizes: one for all, or one per sample, never more than the run
    // estimates.
    for (const std::string& bad : std::vector<std::string>{
             "--per-sample --pool-size 20,30,40 " + m_Lanes, "--pool-size 20,30 one.bam",
             "--merge-samples --pool-size 20,30 all.bam", "--pool-size 20, all.bam",
             "--per-sample --pool-size 20,1 all.bam"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(InProcess(bad, kind), "");
        EXPECT_EQ(kind, EInputError::eUnknown);  // an option's fault, not the input's
    }
    const SCmd each = Scan("--per-sample --pool-size 25 all.bam");
    ASSERT_EQ(each.m_Status, 0) << each.m_Err;
    const SCmd both = Scan("--per-sample --pool-size 25,25 all.bam");
    EXPECT_EQ(both.m_Out, each.m_Out);

    // Summary files, one per sample, named after it; read back apart they
    // are the run again, and together they are refused unless merged.
    const SCmd saved = Scan("--per-sample --pool-size 20,30 --save-sites s.sites.gz all.bam");
    ASSERT_EQ(saved.m_Status, 0) << saved.m_Err;
    EXPECT_EQ(ReadSiteFileSettings(Path("s.pool2.sites.gz")).sample, "pool2");
    EXPECT_EQ(ReadSiteFileSettings(Path("s.pool2.sites.gz")).poolSize, 30);
    const SCmd back = Scan("--per-sample s.pool1.sites.gz s.pool2.sites.gz");
    ASSERT_EQ(back.m_Status, 0) << back.m_Err;
    EXPECT_EQ(back.m_Out, saved.m_Out);
    EXPECT_NE(InProcess("s.pool1.sites.gz s.pool2.sites.gz", kind), "");
    EXPECT_EQ(kind, EInputError::eMismatch);
    // The pool size given must be the one each file records.
    EXPECT_NE(InProcess("--per-sample --pool-size 20,31 s.pool1.sites.gz s.pool2.sites.gz", kind),
              "");
    EXPECT_EQ(kind, EInputError::eMismatch);
    EXPECT_EQ(Scan("--per-sample --pool-size 20,30 s.pool1.sites.gz s.pool2.sites.gz").m_Out,
              saved.m_Out);
}

// Memory of samples kept apart follows their sites: each sample's tables,
// caches, batches and store start small and grow with what it holds. A
// thousand samples of five reads each took 1.7 MB a sample (1.7 GB in all;
// std::bad_alloc under a limit of 4 GB), whatever the data.
TEST_F(CSamplesTest, ManySamplesOfAFewReadsEachCostMemoryInProportionToTheirReads) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own memory hides the run's";
#endif
    Write("many.sam", ManySamples(1000, 5));
    const auto [mergedStatus, merged] = PeakMemory({"--merge-samples", "many.sam"});
    ASSERT_EQ(mergedStatus, 0);
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        const auto [status, apart] = PeakMemory({"--per-sample", "-t", threads, "many.sam"});
        ASSERT_EQ(status, 0);
        // The same sites in one lane, plus at most 200 KiB a sample (about
        // 250 sites each: their queue, batch, cache and store).
        EXPECT_LT(apart, merged + 1000 * 200) << "merged: " << merged << " KiB";
    }
}

// Every sample kept apart keeps its summary file open (2 descriptors) and,
// after the first, its windows' temporary file: 1,000 samples stopped at
// the 508th under ulimit -n 1024, with files half written. A soft limit too
// low is raised; a hard one is a refusal before anything is written,
// naming the limit and the number needed.
TEST_F(CSamplesTest, ManySamplesGetTheOpenFilesTheyNeedOrARefusalUpFront) {
    Write("many.sam", ManySamples(60, 5));
    const std::string run = m_Qualscan +
                            "--per-sample --windows 500 -w w.tsv --save-sites s.sites many.sam "
                            ">out.tsv";
    scanfix::CScratchTest::SCmd r = Run("ulimit -n 64 && " + run);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("60 summary files open, 2 descriptors each; --windows keeps 59 "
                         "temporary files"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("the limit is 64 (ulimit -n, which only an administrator can raise)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(Sh("ls s.*.sites"), 0) << "no summary file is left";
    // The number named is enough.
    const std::size_t at = r.err.find("needs about ") + 12;
    const std::string needed = r.err.substr(at, r.err.find(' ', at) - at);
    r = Run("ulimit -n " + needed + " && " + run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sh("test $(ls s.*.sites | wc -l) -eq 60"), 0);
    // A soft limit below it is raised, when the hard one allows.
    r =
        Run("if [ \"$(ulimit -Hn)\" != unlimited ] && [ $(ulimit -Hn) -lt 512 ]; then exit 77; "
            "fi; ulimit -Sn 64 && rm s.*.sites && " +
            run);
    if (r.status == 77) {
        GTEST_SKIP() << "the hard limit on open files is below 512";
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sh("test $(ls s.*.sites | wc -l) -eq 60"), 0);
}

TEST_F(CSamplesTest, WindowsTakeTheirBootstrapIntervalsFromTheGenomeWideResamples) {
    Write("x.xml", scanfix::SimulatedDocument(6000, 17));
    const std::string ci = "--ci bootstrap --block 100 --bootstrap 60 --seed 4 ";
    // One window holds the whole genome (60 blocks): its interval is the
    // genome-wide one, from the same draws.
    SCmd r = Scan(ci + "--model neutral --windows 10000 -w w.tsv x.xml");
    ASSERT_EQ(r.m_Status, 0) << r.m_Err;
    std::vector<std::string> comments;
    const TRows whole = Rows(ReadFile(Path("w.tsv")), &comments);
    EXPECT_EQ(comments, std::vector<std::string>{"#intervals=bootstrap\tlevel=0.95"});
    const TRows table = Rows(r.m_Out);
    ASSERT_EQ(whole.size(), 2u);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(whole[1][3], table[1][10]);  // every site
    for (int col : {7, 8}) {
        const double w = std::stod(whole[1][static_cast<std::size_t>(col)]);
        const double t = std::stod(table[1][static_cast<std::size_t>(col - 5)]);
        EXPECT_NEAR(w, t, 1e-7 * t) << col;
    }
    // 25 blocks a window get intervals around their estimates; 10 get none
    // (NA), and keep their estimates (the last window of 2500 bases holds
    // 10). The same for any thread count.
    for (const std::string size : {"2500", "1000"}) {
        std::string one;
        for (const std::string threads : {"-t 1 ", "-t 3 "}) {
            r = Scan(ci + threads + "--windows " + size + " -w w.tsv x.xml");
            ASSERT_EQ(r.m_Status, 0) << r.m_Err;
            const std::string w = ReadFile(Path("w.tsv"));
            if (one.empty()) {
                one = w;
            }
            EXPECT_EQ(w, one);
        }
        const TRows rows = Rows(one);
        ASSERT_GT(rows.size(), 2u);
        for (std::size_t i = 1; i < rows.size(); ++i) {
            SCOPED_TRACE(size + " " + rows[i][1]);
            ASSERT_NE(rows[i][6], "NA");
            // Sites at 0-based positions 0..5999, blocks of 100 bases.
            const long blocks =
                (std::min(std::stol(rows[i][2]), 6000L) - std::stol(rows[i][1])) / 100;
            if (blocks < 20) {
                EXPECT_EQ(rows[i][7], "NA");
                EXPECT_EQ(rows[i][8], "NA");
                continue;
            }
            const double theta = std::stod(rows[i][6]);
            EXPECT_LT(std::stod(rows[i][7]), theta);
            EXPECT_GT(std::stod(rows[i][8]), theta);
        }
    }
    // Without windows' resamples there is no bootstrap for them: refused
    // with --windows-only, which keeps no genome.
    EInputError kind;
    EXPECT_NE(InProcess(ci + "--windows-only --windows 100 -w w.tsv x.xml", kind), "");
}

TEST_F(CSamplesTest, TheSurfaceHoldsTheEnginesLogLikelihoodOfTheRunsSites) {
    Write("x.xml", scanfix::SimulatedDocument(3000, 23));
    const SCmd r = Scan("--surface s.tsv --save-sites x.sites x.xml");
    ASSERT_EQ(r.m_Status, 0) << r.m_Err;
    std::vector<std::string> comments;
    const TRows surface = Rows(ReadFile(Path("s.tsv")), &comments);
    const TRows table = Rows(r.m_Out);
    ASSERT_EQ(comments.size(), 1u);
    // The comment names the growth row's estimate and the contour.
    const std::vector<std::string>& growth = table.at(2);
    EXPECT_EQ(comments[0].substr(0, comments[0].find("\tneutral_theta")),
              "#surface\ttheta=" + growth[1] + "\tgrowth=" + growth[4] + "\tloglik=" + growth[7]);
    EXPECT_NE(comments[0].find("\tlevel=0.95\tcontour="), std::string::npos) << comments[0];
    ASSERT_EQ(surface.at(0), (std::vector<std::string>{"theta", "growth", "loglik"}));
    ASSERT_EQ(surface.size(), 1 + 81u * 41u);
    // The run's sites from its summary file, evaluated by the engine.
    SSiteOptions options;
    CSiteFileReader reader({Path("x.sites")}, options);
    CSiteStore store(options);
    SSiteBatch batch;
    while (reader.Next(batch)) {
        store.Append(batch);
    }
    const double top = std::stod(growth[7]);
    for (std::size_t i = 1; i < surface.size(); i += 97) {
        SCOPED_TRACE(surface[i][0] + " " + surface[i][1]);
        const double theta = std::stod(surface[i][0]), g = std::stod(surface[i][1]);
        const CPriorRows rows = CPriorRows::Growth(store, g);
        if (theta > rows.ThetaMax()) {
            EXPECT_EQ(surface[i][2], "NA");
            continue;
        }
        const double want = LogLikelihood(store, rows, theta, nullptr);
        EXPECT_NEAR(std::stod(surface[i][2]), want, 2e-9 * std::fabs(want));
        EXPECT_LE(std::stod(surface[i][2]), top + 1e-6);
    }
}

}  // namespace

// A sample's queue is taken to its last site without being asked once more
// (the run stops asking when it is empty): the next round must reuse the
// slots, or a per-sample run would keep every site of the genome.
TEST(CSampleQueueTest, RoundsReuseTheirSlotsWhenTakenToTheEnd) {
    CSampleQueue queue;
    SRawSite site;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 10; ++i) {
            site.m_Pos = round * 10 + i;
            queue.Push(site);
        }
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(queue.Next(site));
            EXPECT_EQ(site.m_Pos, round * 10 + i);
        }
        EXPECT_EQ(queue.Size(), 0U);
    }
    EXPECT_LE(queue.Slots(), 10U);
    EXPECT_FALSE(queue.Next(site));
}
