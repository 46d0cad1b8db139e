// qualscan's calibration on simulated data sets with known parameters:
// - the coverage of the 95 % theta interval over neutral sets like qualgen's
//   (theta 0.01, 3000 sites);
// - the growth test's power on growth sets (theta 0.02, growth rate 5,
//   30,000 sites) at p < 0.01, and its false positives on neutral sets of
//   the same theta and size at p < 0.05;
// - theta of a pool of 50 chromosomes read at depth about 100, with and
//   without --pool-size 50.
// Every set is drawn from an explicit seed (qualgen's library for the first
// three, a pool simulator below for the last), written as a data set and
// read back by qualscan's own run, so the whole path from the document to
// the table is calibrated. Prints each figure with its target; the status is
// 1 when a target is missed.
//
//   qualscan_check_coverage [--small] [--seed N] [--examples DIR]
//
// --small runs few sets against wider bounds (for CTest); --seed moves every
// seed; --examples names the folder of score_dist.dat and depth_dist.dat.

#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/warnings.hpp"
#include "common/doc_writer.hpp"
#include "common/main_guard.hpp"
#include "common/options.hpp"
#include "common/probdist.hpp"
#include "scan/scan_options.hpp"
#include "scan/scan_run.hpp"
#include "simulator/simdriver.hpp"

#ifndef QT_EXAMPLES_DIR
#define QT_EXAMPLES_DIR "examples"
#endif

namespace {

// A temporary file, removed with the object.
class CTempFile {
  public:
    CTempFile() {
        char name[] = "/tmp/qualscan_calibrationXXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) {
            throw std::runtime_error("Cannot make a temporary file in /tmp.");
        }
        ::close(fd);
        m_Path = name;
    }
    ~CTempFile() { std::remove(m_Path.c_str()); }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

// The rows of qualscan's genome-wide table that the figures need.
struct SScan {
    double theta = NAN, thetaLo = NAN, thetaHi = NAN;
    double pValue = NAN;
};

// qualscan's run on a data set, in this process: its table's neutral row
// and, when asked, the growth row's p-value.
SScan Scan(const std::string& path, bool growth, unsigned poolSize) {
    SScanOptions opts;
    opts.m_Pileup.m_Inputs = {path};
    opts.m_Pileup.m_Progress = false;
    opts.m_Models = growth ? EScanModels::eBoth : EScanModels::eNeutral;
    if (poolSize > 0) {
        opts.m_PoolSizes = {poolSize};
    }
    std::ostringstream table;
    RunQualScan(opts, table, nullptr);
    SScan r;
    std::istringstream in(table.str());
    for (std::string line; std::getline(in, line);) {
        std::vector<double> v;
        std::istringstream fields(line);
        std::string model, f;
        std::getline(fields, model, '\t');
        while (std::getline(fields, f, '\t')) {
            v.push_back(f == "NA" ? NAN : std::strtod(f.c_str(), nullptr));
        }
        if (model == "neutral" && v.size() >= 3) {
            r.theta = v[0];
            r.thetaLo = v[1];
            r.thetaHi = v[2];
        } else if (model == "growth" && v.size() >= 9) {
            r.pValue = v[8];
        }
    }
    if (std::isnan(r.theta) || (growth && std::isnan(r.pValue))) {
        throw std::runtime_error("qualscan gave no estimate for '" + path + "':\n" + table.str());
    }
    return r;
}

class CCalibration {
  public:
    CCalibration(std::string examples, unsigned long seed)
        : m_Examples(std::move(examples)), m_Seed(seed) {
        const std::string scores = m_Examples + "/score_dist.dat";
        std::ifstream in(scores);
        ReadDistribution(in, m_Scores);
        if (m_Scores.empty()) {
            throw std::runtime_error("Cannot read the score distribution '" + scores + "'.");
        }
    }

    // A qualgen data set (model, parameter string, sites) from seed into path.
    void Simulate(const std::string& path, const char* model, const char* params, unsigned sites,
                  unsigned long seed) const {
        const std::string scores = m_Examples + "/score_dist.dat";
        const std::string depths = m_Examples + "/depth_dist.dat";
        const std::string n = std::to_string(sites);
        TOptionMap opts{{'f', model},
                        {'p', params},
                        {'n', n.c_str()},
                        {'s', scores.c_str()},
                        {'d', depths.c_str()}};
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        RunSimulator(opts, seed, out);
    }

    // A pool of N chromosomes at each site: k copies of the minor allele
    // from the unfolded neutral spectrum over N (theta / k for k >= 1), n
    // reads ~ Poisson(depth), t ~ Binomial(n, k / N) of them from the
    // minor allele; scores from the examples' distribution and errors drawn
    // from them as qualgen draws them (an erroneous read shows the other
    // allele or one of the two other bases with equal chances; the first
    // non-reference base present is written as the minor allele).
    void SimulatePool(const std::string& path, unsigned sites, int N, double theta, double depth,
                      unsigned long seed) const {
        std::unique_ptr<gsl_rng, void (*)(gsl_rng*)> rng(gsl_rng_alloc(gsl_rng_mt19937),
                                                         gsl_rng_free);
        gsl_rng_set(rng.get(), seed);
        std::vector<double> cumulative(static_cast<std::size_t>(N), 0.0);
        double polymorphic = 0.0;
        for (int k = 1; k < N; ++k) {
            polymorphic += theta / k;
        }
        cumulative[0] = 1.0 - polymorphic;
        for (int k = 1; k < N; ++k) {
            cumulative[static_cast<std::size_t>(k)] =
                cumulative[static_cast<std::size_t>(k - 1)] + theta / k;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        CQualDocWriter writer(out, path);
        writer.Begin();
        std::vector<unsigned> scores;
        std::vector<int> base;
        std::vector<bool> wrong;
        for (unsigned s = 0; s < sites; ++s) {
            const double u = gsl_rng_uniform(rng.get());
            int k = 0;
            while (k + 1 < N && u >= cumulative[static_cast<std::size_t>(k)]) {
                ++k;
            }
            const unsigned n = gsl_ran_poisson(rng.get(), depth);
            const unsigned t = gsl_ran_binomial(rng.get(), static_cast<double>(k) / N, n);
            scores.assign(n, 0);
            base.assign(n, 0);
            wrong.assign(n, false);
            int present[4] = {0, 0, 0, 0};
            for (unsigned r = 0; r < n; ++r) {
                scores[r] =
                    DrawFromDist(m_Scores, gsl_rng_uniform(rng.get()), "score distribution");
                const double e = std::pow(10.0, scores[r] / -10.0);
                const double x = gsl_rng_uniform(rng.get());
                const int truth = r < t ? 1 : 0;
                int b = truth;
                if (x < e) {
                    wrong[r] = true;
                    b = x < e / 3 ? 1 - truth : x < 2 * e / 3 ? 2 : 3;
                }
                base[r] = b;
                ++present[b];
            }
            int label[4] = {0, 0, 0, 0};
            for (int code = 1, next = 0; code < 4; ++code) {
                if (present[code] > 0) {
                    label[code] = ++next;
                }
            }
            writer.BeginColumn(static_cast<std::int64_t>(s) + 1);
            for (unsigned r = 0; r < n; ++r) {
                writer.AddChr(scores[r], static_cast<CQualDocWriter::EClass>(label[base[r]]),
                              wrong[r]);
            }
            writer.EndColumn();
        }
        writer.End();
        out.close();
        if (!out) {
            throw std::runtime_error("Cannot write '" + path + "'.");
        }
    }

    unsigned long Seed(unsigned long offset) const { return m_Seed + offset; }

  private:
    std::string m_Examples;
    unsigned long m_Seed;
    TProbDist m_Scores;
};

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Run(int argc, char** argv) {
    bool small = false;
    unsigned long seed = 1;
    std::string examples = QT_EXAMPLES_DIR;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--small") {
            small = true;
        } else if (a == "--seed" && i + 1 < argc) {
            seed = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--examples" && i + 1 < argc) {
            examples = argv[++i];
        } else {
            throw std::runtime_error(
                "Usage: qualscan_check_coverage [--small] [--seed N] "
                "[--examples DIR]");
        }
    }
    // The simulator's warnings are counted, not printed between the lines.
    unsigned warnings = 0;
    std::string firstWarning;
    CScopedWarningSink sink([&](const std::string& line) {
        if (warnings++ == 0) {
            firstWarning = line;
        }
    });

    const CCalibration cal(examples, seed);
    CTempFile file;
    bool allMet = true;
    std::printf("qualscan calibration%s: seeds from %lu, distributions from %s\n",
                small ? " (small version, wider bounds)" : "", seed, examples.c_str());

    // Coverage of the 95 % interval.
    {
        const auto start = std::chrono::steady_clock::now();
        const int sets = small ? 40 : 200;
        const double lo = small ? 0.80 : 0.92, hi = small ? 1.00 : 0.98;
        const double theta = 0.01;
        int covered = 0;
        double sum = 0.0;
        for (int i = 0; i < sets; ++i) {
            cal.Simulate(file.Path(), "neutral", "0.01", 3000,
                         cal.Seed(static_cast<unsigned long>(i)));
            const SScan r = Scan(file.Path(), false, 0);
            covered += r.thetaLo <= theta && theta <= r.thetaHi ? 1 : 0;
            sum += r.theta;
        }
        const double share = static_cast<double>(covered) / sets;
        const bool met = share >= lo && share <= hi;
        allMet = allMet && met;
        std::printf(
            "neutral, theta 0.01, 3000 sites: the 95%% interval covers the truth in %d of "
            "%d sets = %.3f (target %.2f to %.2f): %s; mean theta %.5f; %.0f s\n",
            covered, sets, share, lo, hi, Verdict(met), sum / sets, Seconds(start));
    }
    // Power and false positives of the growth test.
    struct STest {
        const char* name;
        const char* model;
        const char* params;
        double alpha;
        int sets, smallSets;
        bool atLeast;  // share >= target, else share <= target
        double target, smallTarget;
        unsigned long seedOffset;
    };
    const STest tests[] = {
        // Every growth set.
        {"growth, theta 0.02, growth rate 5", "growth", "0.02 5", 0.01, 100, 6, true, 1.0, 1.0,
         100000},
        {"neutral, theta 0.02", "neutral", "0.02", 0.05, 100, 20, false, 0.08, 0.25, 200000},
    };
    for (const STest& t : tests) {
        const auto start = std::chrono::steady_clock::now();
        const int sets = small ? t.smallSets : t.sets;
        const double target = small ? t.smallTarget : t.target;
        int below = 0;
        double largest = 0.0;
        for (int i = 0; i < sets; ++i) {
            cal.Simulate(file.Path(), t.model, t.params, 30000,
                         cal.Seed(t.seedOffset + static_cast<unsigned long>(i)));
            const SScan r = Scan(file.Path(), true, 0);
            below += r.pValue < t.alpha ? 1 : 0;
            largest = std::max(largest, r.pValue);
        }
        const double share = static_cast<double>(below) / sets;
        const bool met = t.atLeast ? share >= target : share <= target;
        allMet = allMet && met;
        std::printf(
            "%s, 30000 sites: growth p-value below %.2f in %d of %d sets = %.3f (target "
            "%s %.2f): %s; largest p-value %.3g; %.0f s\n",
            t.name, t.alpha, below, sets, share, t.atLeast ? ">=" : "<=", target, Verdict(met),
            largest, Seconds(start));
    }
    // A pool of 50 chromosomes: every set within the bound.
    {
        const auto start = std::chrono::steady_clock::now();
        const int sets = small ? 1 : 5;
        const unsigned sites = small ? 5000 : 20000;
        const double theta = 0.01, bound = small ? 0.25 : 0.10;
        double sumPooled = 0.0, sumPerRead = 0.0, worst = 0.0;
        double loPerRead = INFINITY, hiPerRead = -INFINITY;
        for (int i = 0; i < sets; ++i) {
            cal.SimulatePool(file.Path(), sites, 50, theta, 100.0,
                             cal.Seed(300000 + static_cast<unsigned long>(i)));
            const double pooled = Scan(file.Path(), false, 50).theta;
            const double perRead = Scan(file.Path(), false, 0).theta;
            sumPooled += pooled;
            sumPerRead += perRead;
            if (std::fabs(pooled / theta - 1.0) > std::fabs(worst)) {
                worst = pooled / theta - 1.0;
            }
            loPerRead = std::min(loPerRead, perRead / theta - 1.0);
            hiPerRead = std::max(hiPerRead, perRead / theta - 1.0);
        }
        const bool met = std::fabs(worst) <= bound;
        allMet = allMet && met;
        std::printf(
            "pool of 50 chromosomes, theta 0.01, depth Poisson(100), %d set%s of %u sites: "
            "with --pool-size 50 mean theta %.5f, farthest %+.1f%% (target within "
            "%.0f%%): %s; without it mean theta %.5f (%+.1f%% to %+.1f%%); %.0f s\n",
            sets, sets == 1 ? "" : "s", sites, sumPooled / sets, 100.0 * worst, 100.0 * bound,
            Verdict(met), sumPerRead / sets, 100.0 * loPerRead, 100.0 * hiPerRead, Seconds(start));
    }
    if (warnings > 0) {
        std::printf("%u warnings while simulating, the first: %s\n", warnings,
                    firstWarning.c_str());
    }
    std::fflush(stdout);
    return allMet ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return GuardedMain([&] { return Run(argc, argv); });
}
