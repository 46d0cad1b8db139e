// The pool simulator: its draws against their distributions, its truth
// against the sites it wrote, and its reads against the pools and qualities
// they come from.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/obstable.hpp"
#include "pileup/pileup_source.hpp"
#include "poolsim/pool_sim.hpp"
#include "spectrum/sample_diversity.hpp"

namespace {

std::string TempDir() {
    char pattern[] = "/tmp/poolsim_test.XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) {
        throw std::runtime_error("mkdtemp failed");
    }
    return dir;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream s(line);
        std::string f;
        while (std::getline(s, f, '\t')) {
            fields.push_back(f);
        }
        rows.push_back(fields);
    }
    return rows;
}

// strtod, not std::stod: frequencies drifted to 1e-320 are subnormal, which
// std::stod refuses.
double Num(const std::string& s) {
    return std::strtod(s.c_str(), nullptr);
}

SPoolSimOptions SmallRun(const std::string& prefix) {
    SPoolSimOptions o;
    o.m_Prefix = prefix;
    o.m_Names = {"north", "south"};
    o.m_PoolSizes = {10, 30};
    o.m_Depths = {25, 25};
    o.m_Lengths = {40000, 20000};
    o.m_Theta = 0.01;
    o.m_Fst = 0.2;
    o.m_Qualities = "low5";
    o.m_ReadLength = 50;
    o.m_WindowSize = 20000;
    o.m_WindowStep = 20000;
    o.m_Seed = 7;
    return o;
}

}  // namespace

TEST(PoolSimDraws, QualityProfiles) {
    const CQualityProfile low5("low5");
    EXPECT_NEAR(low5.ShareBelow(20), 0.05, 1e-12);
    EXPECT_NEAR(low5.ShareBelow(2), 0.0, 1e-12);
    // 5% uniform over 2..19 and 95% over 20..40, each 10^(-q/10).
    double expected = 0.0;
    for (int q = 2; q <= 19; ++q) {
        expected += 0.05 / 18 * std::pow(10.0, -q / 10.0);
    }
    for (int q = 20; q <= 40; ++q) {
        expected += 0.95 / 21 * std::pow(10.0, -q / 10.0);
    }
    EXPECT_NEAR(low5.MeanError(), expected, 1e-12);
    EXPECT_NEAR(expected, 0.0106, 0.0005);  // "about 1% errors"
    const CQualityProfile binned("binned");
    std::map<int, int> seen;
    for (int i = 0; i < 1000; ++i) {
        ++seen[binned.Draw((i + 0.5) / 1000)];
    }
    EXPECT_EQ(seen, (std::map<int, int>{{2, 20}, {12, 30}, {23, 150}, {37, 800}}));
    for (const char* bad : {"", "40-20", "94", "20-40:0", "20:x", "nice"}) {
        EXPECT_THROW(CQualityProfile{bad}, std::runtime_error) << bad;
    }
}

TEST(PoolSimDraws, DriftKeepsTheMeanAndShrinksDiversityByF) {
    std::unique_ptr<gsl_rng, void (*)(gsl_rng*)> rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
    gsl_rng_set(rng.get(), 11);
    for (double p : {0.3, 0.02}) {
        const double f = 0.1;
        const int draws = 40000;
        double sum = 0.0, het = 0.0, sq = 0.0;
        for (int i = 0; i < draws; ++i) {
            const double x = DriftFrequency(rng.get(), p, f);
            ASSERT_TRUE(x >= 0.0 && x <= 1.0);
            sum += x;
            sq += x * x;
            het += x * (1.0 - x);
        }
        // Beta(p (1-F)/F, (1-p)(1-F)/F): mean p, variance F p (1 - p).
        const double sd = std::sqrt(f * p * (1 - p) / draws);
        EXPECT_NEAR(sum / draws, p, 5 * sd) << p;
        EXPECT_NEAR(sq / draws - (sum / draws) * (sum / draws), f * p * (1 - p),
                    0.05 * f * p * (1 - p))
            << p;
        EXPECT_NEAR(het / draws, (1 - f) * p * (1 - p), 0.02 * p * (1 - p)) << p;
    }
    // Shapes of 1e-5 would make a direct gamma draw 0 and the ratio 0/0.
    for (int i = 0; i < 1000; ++i) {
        const double x = DriftFrequency(rng.get(), 1e-4, 0.1);
        ASSERT_TRUE(x >= 0.0 && x <= 1.0) << x;
    }
    EXPECT_EQ(DriftFrequency(rng.get(), 0.25, 0.0), 0.25);
}

TEST(PoolSimRun, TruthAndReadsAgreeWithTheSites) {
    const std::string dir = TempDir();
    const SPoolSimOptions opts = SmallRun(dir + "/a");
    const SPoolSimSummary summary = RunPoolSim(opts);

    // The truth recomputed from the sites file (an independent reading).
    const auto sites = ReadTsv(dir + "/a.sites.tsv");
    ASSERT_GT(sites.size(), 300u);
    ASSERT_EQ(sites[0], (std::vector<std::string>{"contig", "pos", "ref", "alt", "ancestral",
                                                  "p_north", "p_south", "n_north", "n_south"}));
    double w1 = 0, w2 = 0, b = 0;
    std::map<std::pair<std::string, long>, std::vector<double>> polymorphic;
    for (std::size_t r = 1; r < sites.size(); ++r) {
        const double p1 = Num(sites[r][5]), p2 = Num(sites[r][6]);
        w1 += 2 * p1 * (1 - p1);
        w2 += 2 * p2 * (1 - p2);
        b += p1 * (1 - p2) + p2 * (1 - p1);
        polymorphic[{sites[r][0], std::stol(sites[r][1]) - 1}] = {Num(sites[r][7]) / 10,
                                                                  Num(sites[r][8]) / 30};
    }
    const double positions = 60000;
    const auto truth = ReadTsv(dir + "/a.truth.tsv");
    ASSERT_EQ(truth.size(), 2u);
    EXPECT_EQ(truth[1][0], "north");
    EXPECT_EQ(truth[1][2], "60000");
    EXPECT_NEAR(Num(truth[1][3]), w1 / positions, 1e-9 * w1 / positions);
    EXPECT_NEAR(Num(truth[1][4]), w2 / positions, 1e-9 * w2 / positions);
    EXPECT_NEAR(Num(truth[1][5]), b / positions, 1e-9 * b / positions);
    EXPECT_NEAR(Num(truth[1][6]), 1 - (w1 + w2) / 2 / b, 1e-8);
    // The model's values: theta (A - 1)/A between, (1 - F) of it within.
    EXPECT_NEAR(Num(truth[1][9]), 0.01 * 9999 / 10000, 1e-12);
    EXPECT_NEAR(Num(truth[1][7]), 0.8 * 0.01 * 9999 / 10000, 1e-12);
    EXPECT_NEAR(Num(truth[1][10]), 0.2, 1e-9);
    // Realised values near the model's (60 kb of independent sites).
    EXPECT_NEAR(b / positions, 0.01, 0.002);
    EXPECT_NEAR(1 - (w1 + w2) / 2 / b, 0.2, 0.07);
    // Windows add up to the genome.
    const auto windows = ReadTsv(dir + "/a.truth.windows.tsv");
    ASSERT_EQ(windows.size(), 1u + 2 + 1);
    double wsum = 0, wsites = 0;
    for (std::size_t r = 1; r < windows.size(); ++r) {
        wsum += Num(windows[r][8]) * Num(windows[r][5]);
        wsites += Num(windows[r][5]);
    }
    EXPECT_EQ(wsites, positions);
    EXPECT_NEAR(wsum, b, 1e-6 * b);

    // The reads: depth, the pools' allele shares and the error rate by
    // quality, through the project's own pileup with the reference.
    const auto errProb = ErrProbTable();
    for (int pool = 0; pool < 2; ++pool) {
        SPileupOptions p;
        p.m_Inputs = {opts.m_Prefix + "." + opts.m_Names[pool] + ".bam"};
        p.m_Reference = opts.m_Prefix + ".fa";
        p.m_MinMapQ = 0;
        SPileupSummary sum;
        CPileupSiteSource source(p, sum);
        SPileupSite site;
        double reads = 0, positionsSeen = 0;
        double altReads = 0, altExpected = 0, altVar = 0;
        std::map<int, std::pair<double, double>> byQuality;  // errors seen, expected
        while (source.Next(site)) {
            positionsSeen += 1;
            reads += static_cast<double>(site.m_Reads.size());
            const auto it = polymorphic.find({source.ContigName(site.m_Tid), site.m_Pos});
            if (it == polymorphic.end()) {
                for (const SPileupRead& r : site.m_Reads) {
                    auto& q = byQuality[r.m_Score];
                    q.first += r.m_Base != site.m_RefBase;
                    q.second += errProb[r.m_Score];
                }
                continue;
            }
            const double x = it->second[static_cast<std::size_t>(pool)];
            for (const SPileupRead& r : site.m_Reads) {
                altReads += r.m_Base != site.m_RefBase;
                const double e = errProb[r.m_Score];
                // A carrier's read shows the reference only when its error
                // lands there (e/3); any error of another read leaves it.
                const double pr = x * (1 - e / 3) + (1 - x) * e;
                altExpected += pr;
                altVar += pr * (1 - pr);
            }
        }
        EXPECT_EQ(positionsSeen, positions);
        EXPECT_NEAR(reads / positions, 25.0, 0.5) << pool;
        EXPECT_NEAR(altReads, altExpected, 5 * std::sqrt(altVar) + 0.01 * altExpected) << pool;
        double seen = 0, expected = 0;
        for (const auto& [q, c] : byQuality) {
            if (q < 20) {
                seen += c.first;
                expected += c.second;
            }
        }
        EXPECT_GT(expected, 1000);
        EXPECT_NEAR(seen, expected, 5 * std::sqrt(expected)) << pool;
    }

    // The sheet names the files, relative to its own directory.
    EXPECT_EQ(Slurp(dir + "/a.pools.tsv"),
              "name\tsize\tfiles\nnorth\t10\ta.north.bam\nsouth\t30\ta.south.bam\n");
    EXPECT_EQ(summary.m_Files.size(), 11u);

    // The same seed gives the same files, another seed others.
    SPoolSimOptions again = opts;
    again.m_Prefix = dir + "/b";
    RunPoolSim(again);
    for (const char* f : {".sites.tsv", ".truth.tsv", ".fa", ".north.bam", ".south.bam"}) {
        EXPECT_EQ(Slurp(dir + "/a" + f), Slurp(dir + "/b" + f)) << f;
    }
    SPoolSimOptions other = opts;
    other.m_Prefix = dir + "/c";
    other.m_Seed = 8;
    RunPoolSim(other);
    EXPECT_NE(Slurp(dir + "/a.sites.tsv"), Slurp(dir + "/c.sites.tsv"));
    // The populations do not depend on the reads' settings.
    SPoolSimOptions deeper = opts;
    deeper.m_Prefix = dir + "/d";
    deeper.m_Depths = {5, 60};
    deeper.m_Qualities = "clean";
    RunPoolSim(deeper);
    EXPECT_EQ(Slurp(dir + "/a.sites.tsv"), Slurp(dir + "/d.sites.tsv"));
    std::system(("rm -rf " + dir).c_str());
}

// Pools that drift by different amounts: every pair's realised F_ST, from
// the sites file, near (F_i + F_k) / 2, which the truth file states; each
// population keeps (1 - F_i) of the ancestral diversity.
TEST(PoolSimRun, EachPoolDriftsByItsOwnF) {
    const std::string dir = TempDir();
    SPoolSimOptions o;
    o.m_Prefix = dir + "/f";
    o.m_Names = {"a", "b", "c"};
    o.m_PoolSizes = {10, 10, 10};
    o.m_Depths = {0.01, 0.01, 0.01};  // the reads do not matter here
    o.m_Lengths = {300000};
    o.m_Theta = 0.01;
    o.m_PoolFst = {0.0, 0.1, 0.4};
    o.m_Seed = 3;
    RunPoolSim(o);
    const auto sites = ReadTsv(dir + "/f.sites.tsv");
    ASSERT_GT(sites.size(), 10000u);
    double ancestral = 0;
    std::vector<double> within(3, 0);
    std::vector<std::vector<double>> between(3, std::vector<double>(3, 0));
    for (std::size_t r = 1; r < sites.size(); ++r) {
        const double p = Num(sites[r][4]);
        ancestral += 2 * p * (1 - p);
        for (int i = 0; i < 3; ++i) {
            const double pi = Num(sites[r][5 + i]);
            within[i] += 2 * pi * (1 - pi);
            for (int k = i + 1; k < 3; ++k) {
                const double pk = Num(sites[r][5 + k]);
                between[i][k] += pi * (1 - pk) + pk * (1 - pi);
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(within[i] / ancestral, 1 - o.m_PoolFst[i], 0.03) << i;
    }
    const auto truth = ReadTsv(dir + "/f.truth.tsv");
    ASSERT_EQ(truth.size(), 4u);
    const double model = 0.01 * 9999 / 10000;
    std::size_t row = 1;
    for (int i = 0; i < 3; ++i) {
        for (int k = i + 1; k < 3; ++k, ++row) {
            const double expected = (o.m_PoolFst[i] + o.m_PoolFst[k]) / 2;
            const double realised = 1 - (within[i] + within[k]) / 2 / between[i][k];
            EXPECT_EQ(truth[row][0], o.m_Names[i]);
            EXPECT_EQ(truth[row][1], o.m_Names[k]);
            EXPECT_NEAR(Num(truth[row][6]), realised, 1e-8) << row;
            EXPECT_NEAR(realised, expected, 0.03) << row;
            EXPECT_NEAR(Num(truth[row][7]), (1 - o.m_PoolFst[i]) * model, 1e-12) << row;
            EXPECT_NEAR(Num(truth[row][8]), (1 - o.m_PoolFst[k]) * model, 1e-12) << row;
            EXPECT_NEAR(Num(truth[row][9]), model, 1e-12) << row;
            EXPECT_NEAR(Num(truth[row][10]), expected, 1e-9) << row;
        }
    }
    std::system(("rm -rf " + dir).c_str());
}

// Spectra that are not neutral: over many simulated pools, the diversity
// of the pools' own chromosomes against the expectations of the ancestral
// spectrum theta / k^ALPHA, summed here apart (without drift, j ~
// Binomial(n, x) for x = k / A):
//   E[pi] = theta sum_k w_k 2 x (1 - x),
//   E[S] = theta sum_k w_k (1 - (1 - x)^n - x^n),
//   E[theta_H] = theta sum_k w_k 2 (n x (1 - x) + n^2 x^2 - n^2 x^n) / (n (n - 1));
// and Tajima's D below 0 with more rare alleles (ALPHA > 1), above with more
// common ones, about 0 for the neutral spectrum. The file agrees with the
// pool counts of the sites file.
TEST(PoolSimRun, SpectrumPowerMovesTajimasDAndTheDiversityIsThePools) {
    const std::string dir = TempDir();
    const unsigned n = 20, ancestral = 1000;
    const double length = 30000;
    struct SCase {
        double alpha, theta;
    };
    for (const SCase c : {SCase{0.5, 0.002}, SCase{1.0, 0.005}, SCase{1.6, 0.03}}) {
        double expectPi = 0, expectS = 0, expectH = 0;
        for (unsigned k = 1; k < ancestral; ++k) {
            const double x = static_cast<double>(k) / ancestral;
            const double w = c.theta / std::pow(k, c.alpha);
            expectPi += w * 2 * x * (1 - x);
            expectS += w * (1 - std::pow(1 - x, n) - std::pow(x, n));
            expectH += w * 2 * (n * x * (1 - x) + n * n * x * x - n * n * std::pow(x, n)) /
                       (n * (n - 1.0));
        }
        double an = 0;
        for (unsigned i = 1; i < n; ++i) {
            an += 1.0 / i;
        }
        const int runs = 12;
        std::vector<double> runD;
        double pi = 0, thetaW = 0, thetaH = 0, pools = 0;
        for (int run = 0; run < runs; ++run) {
            SPoolSimOptions o;
            o.m_Prefix = dir + "/s";
            o.m_Names = {"a", "b"};
            o.m_PoolSizes = {n, n};
            o.m_Depths = {0.001, 0.001};
            o.m_Lengths = {static_cast<std::int64_t>(length)};
            o.m_Theta = c.theta;
            o.m_SpectrumPower = c.alpha;
            o.m_AncestralSize = ancestral;
            o.m_Fst = 0;
            o.m_Seed = 100 + run;
            RunPoolSim(o);
            const auto rows = ReadTsv(dir + "/s.diversity.tsv");
            ASSERT_EQ(rows.size(), 3u);
            ASSERT_EQ(rows[0], (std::vector<std::string>{"pool", "n", "sites", "pi", "theta_w",
                                                         "tajima_d", "theta_h", "fay_wu_h"}));
            double d = 0;
            for (std::size_t r = 1; r < rows.size(); ++r) {
                EXPECT_EQ(rows[r][1], "20");
                EXPECT_EQ(rows[r][2], "30000");
                pi += Num(rows[r][3]);
                thetaW += Num(rows[r][4]);
                d += Num(rows[r][5]) / 2;
                thetaH += Num(rows[r][6]);
                pools += 1;
            }
            runD.push_back(d);
            if (run == 0) {
                // The pools' counts in the sites file give the same figures.
                const auto sites = ReadTsv(dir + "/s.sites.tsv");
                for (int pool = 0; pool < 2; ++pool) {
                    double pairwise = 0, s = 0, h = 0;
                    for (std::size_t r = 1; r < sites.size(); ++r) {
                        const double j = Num(sites[r][7 + pool]);
                        if (j > 0 && j < n) {
                            pairwise += 2 * j * (n - j) / (n * (n - 1.0));
                            h += 2 * j * j / (n * (n - 1.0));
                            s += 1;
                        }
                    }
                    const auto& row = rows[1 + pool];
                    EXPECT_NEAR(Num(row[3]), pairwise / length, 1e-9 * pairwise / length);
                    EXPECT_NEAR(Num(row[4]), s / an / length, 1e-9 * s / length);
                    EXPECT_NEAR(Num(row[5]), TajimaD(n, pairwise, s), 1e-8);
                    EXPECT_NEAR(Num(row[6]), h / length, 1e-9 * h / length);
                    EXPECT_NEAR(Num(row[7]), (pairwise - h) / length, 1e-9 * h / length);
                }
            }
        }
        // Per position, the mean of 24 pools of 30 kb each: a few percent.
        EXPECT_NEAR(pi / pools, expectPi, 0.05 * expectPi) << c.alpha;
        EXPECT_NEAR(thetaW / pools * an, expectS, 0.05 * expectS) << c.alpha;
        EXPECT_NEAR(thetaH / pools, expectH, 0.08 * expectH) << c.alpha;
        double mean = 0, var = 0;
        for (double d : runD) {
            mean += d / runs;
        }
        for (double d : runD) {
            var += (d - mean) * (d - mean) / (runs - 1);
        }
        const double se = std::sqrt(var / runs);
        if (c.alpha > 1) {
            EXPECT_LT(mean + 4 * se, 0) << c.alpha << ": " << mean << " +- " << se;
        } else if (c.alpha < 1) {
            EXPECT_GT(mean - 4 * se, 0) << c.alpha << ": " << mean << " +- " << se;
        } else {
            EXPECT_LT(std::fabs(mean), std::max(0.1, 4 * se)) << mean << " +- " << se;
        }
        std::printf("ALPHA %.1f: mean D %.3f (se %.3f), pi %.5f (expected %.5f)\n", c.alpha, mean,
                    se, pi / pools, expectPi);
    }
    std::system(("rm -rf " + dir).c_str());
}

TEST(PoolSimRun, BadOptionsAreRefused) {
    SPoolSimOptions o = SmallRun("/nonexistent-dir/x");
    EXPECT_THROW(RunPoolSim(o), std::runtime_error);  // cannot write
    auto refused = [](void (*change)(SPoolSimOptions&)) {
        SPoolSimOptions bad = SmallRun("/tmp/x");
        change(bad);
        EXPECT_THROW(CheckPoolSimOptions(bad), std::runtime_error);
    };
    refused([](SPoolSimOptions& b) { b.m_PoolSizes = {10}; });
    refused([](SPoolSimOptions& b) { b.m_Names = {"a", "a"}; });
    refused([](SPoolSimOptions& b) { b.m_Names = {"a b", "c"}; });
    refused([](SPoolSimOptions& b) { b.m_PoolSizes = {0, 3}; });
    refused([](SPoolSimOptions& b) { b.m_PoolSizes = {1, 3}; });  // qualfst would refuse the sheet
    refused([](SPoolSimOptions& b) { b.m_PoolSizes = {3, 10001}; });
    refused([](SPoolSimOptions& b) { b.m_Theta = 0.2; });  // theta H_9999 > 1
    refused([](SPoolSimOptions& b) { b.m_Fst = 1.0; });
    refused([](SPoolSimOptions& b) { b.m_PoolFst = {0.1, 1.0}; });
    refused([](SPoolSimOptions& b) { b.m_PoolFst = {0.1, 0.2, 0.3}; });  // two pools
    refused([](SPoolSimOptions& b) { b.m_Lengths = {}; });
    refused([](SPoolSimOptions& b) { b.m_WindowStep = 30000; });
    refused([](SPoolSimOptions& b) { b.m_Qualities = "20-10"; });
    refused([](SPoolSimOptions& b) { b.m_SpectrumPower = -0.5; });
    // ALPHA 0: theta times 9999 positions' worth of derived counts.
    refused([](SPoolSimOptions& b) { b.m_SpectrumPower = 0; });
}
