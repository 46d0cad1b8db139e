#include "model/obstable.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/warnings.hpp"
#include "model/tests/obstable_oracle.hpp"

namespace {

using Q = std::vector<std::uint8_t>;

Q RandomScores(std::mt19937& rng, unsigned n, int low, int high) {
    std::uniform_int_distribution<int> score(low, high);
    Q q(n);
    for (auto& s : q) {
        s = static_cast<std::uint8_t>(score(rng));
    }
    return q;
}

double ExactTable(const Q& minor, const Q& major, std::vector<double>& table) {
    CObsTableWorkspace ws;
    return ComputeObsTable(minor.data(), minor.size(), major.data(), major.size(),
                           ETableMode::eExact, 0, ws, table);
}

TEST(ObsTableExact, AgreesWithSubsetEnumerationWithoutRowRules) {
    // Scores down to 0 and classes of up to 14 reads: rows qualfit's rules
    // would cut (tiny rows after a positive one) must be present here.
    std::mt19937 rng(11);
    std::uniform_int_distribution<unsigned> size(0, 14);
    std::ostringstream ignored;
    for (int trial = 0; trial < 200; ++trial) {
        const Q minor = RandomScores(rng, size(rng), 0, 60);
        const Q major = RandomScores(rng, size(rng), trial % 2 ? 30 : 0, 60);
        std::vector<double> table;
        EXPECT_EQ(ExactTable(minor, major, table), 0.0);
        const std::vector<double> want =
            oracle::ObservationTable(oracle::ErrCountDist(minor, 0, ignored, false),
                                     oracle::ErrCountDist(major, 0, ignored, false));
        ASSERT_EQ(table.size(), want.size());
        for (std::size_t t = 0; t < want.size(); ++t) {
            EXPECT_NEAR(table[t], want[t], 1e-12 * want[t]) << "trial " << trial << " t " << t;
        }
    }
}

TEST(ObsTableExact, DeepNoisySitesKeepEveryTermAndWarnNothing) {
    // 300 low-quality reads: qualfit's mode skips rows and reports them; the
    // exact table loses nothing, so the error configurations it weighs sum
    // to one: sum_t T[t] C(n, t) = sum_i A[i] sum_j B[j] = 1.
    std::mt19937 rng(3);
    const Q minor = RandomScores(rng, 40, 2, 20);
    const Q major = RandomScores(rng, 260, 2, 20);
    std::vector<std::string> warnings;
    CScopedWarningSink sink([&](const std::string& line) { warnings.push_back(line); });
    std::vector<double> table;
    ASSERT_EQ(ExactTable(minor, major, table), 0.0);
    EXPECT_TRUE(warnings.empty());
    long double total = 0;
    for (unsigned t = 0; t < table.size(); ++t) {
        total += static_cast<long double>(table[t]) *
                 std::exp(std::lgamma(301.0L) - std::lgamma(t + 1.0L) - std::lgamma(301.0L - t));
    }
    EXPECT_NEAR(static_cast<double>(total), 1.0, 1e-11);

    CObsTableWorkspace ws;
    std::vector<double> limited;
    ComputeObsTable(minor.data(), minor.size(), major.data(), major.size(),
                    ETableMode::eSubsetLimit, 77, ws, limited);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front().rfind("Depth/numFalse too big at #77; last prob: ", 0), 0u);
}

TEST(ObsTableExact, BalancedSitesBeyondTheDoubleRangeAreScaled) {
    // Equal scores make both error counts binomial, so ln T[t] has a closed
    // form: ln sum_i Bin(i; m, e) Bin(t - m + i; M, e) - ln C(n, t), summed
    // here in long double logs. At 2400 reads, 1200 of them minor, the
    // largest entries are about 1e-720: a plain double table would be 0.
    const unsigned m = 1200, big = 1200, n = m + big;
    const Q minor(m, 25), major(big, 25);
    std::vector<double> table;
    const double scale = ExactTable(minor, major, table);
    ASSERT_LT(scale, -1600.0);
    const long double e = std::pow(10.0L, -2.5L);
    auto lbin = [&](unsigned k, unsigned size) {
        return std::lgamma(size + 1.0L) - std::lgamma(k + 1.0L) - std::lgamma(size - k + 1.0L) +
               k * std::log(e) + (size - k) * std::log1p(-e);
    };
    for (unsigned t : {1150u, 1190u, 1200u, 1210u, 1260u}) {
        long double best = -INFINITY, sum = 0;
        std::vector<long double> terms;
        for (unsigned i = 0; i <= m; ++i) {
            if (t + i < m || t + i - m > big) {
                continue;
            }
            terms.push_back(lbin(i, m) + lbin(t + i - m, big));
            best = std::max(best, terms.back());
        }
        for (long double v : terms) {
            sum += std::exp(v - best);
        }
        const long double want =
            best + std::log(sum) -
            (std::lgamma(n + 1.0L) - std::lgamma(t + 1.0L) - std::lgamma(n - t + 1.0L));
        EXPECT_NEAR(std::log(table[t]) + scale, static_cast<double>(want), 1e-9) << t;
    }
}

// The largest relative change, over every weight vector w that a spectrum of
// the class gives (obstable.hpp), of a site likelihood sum_t T[t] w_t when
// the table exact (linear, long double) is replaced by other (same scale).
// Every such likelihood is, up to a factor, pi(0) c[0] + theta sum_k v_k
// c[k] with c the pair sums of the class (engine/sitestore.hpp) and v
// non-increasing: a positive combination of c[0] and the prefix sums
// c[1] + ... + c[h], so the worst case is the worst of those.
class CWorstCase {
  public:
    long double Share(const SSpectrumClass& cls, const std::vector<long double>& exact,
                      const std::vector<long double>& other) {
        const std::vector<long double> ce = Collapsed(cls, exact), co = Collapsed(cls, other);
        // A likelihood 0 must stay 0.
        auto share = [](long double e, long double o) {
            return e > 0 ? std::fabs(o - e) / e : (o == 0 ? 0.0L : INFINITY);
        };
        long double worst = share(ce[0], co[0]);
        long double se = 0, so = 0;
        for (std::size_t k = 1; k < ce.size(); ++k) {
            se += ce[k];
            so += co[k];
            worst = std::max(worst, share(se, so));
        }
        return worst;
    }

  private:
    std::vector<long double> Collapsed(const SSpectrumClass& cls,
                                       const std::vector<long double>& tau) {
        const int n = static_cast<int>(tau.size()) - 1;
        const int K = cls.poolSize > 0 ? cls.poolSize : n;
        std::vector<long double> lambda(tau.begin(), tau.end());
        if (cls.poolSize > 0) {
            const std::vector<long double>& bin = Binomials(n, K);
            lambda.assign(K + 1, 0.0L);
            for (int k = 0; k <= K; ++k) {
                for (int t = 0; t <= n; ++t) {
                    lambda[k] += tau[t] * bin[static_cast<std::size_t>(k) * (n + 1) + t];
                }
            }
        }
        const int M = cls.folded ? K / 2 : K - 1;
        std::vector<long double> c(M + 1);
        for (int k = 0; k <= M; ++k) {
            c[k] = cls.folded && k < K - k ? lambda[k] + lambda[K - k] : lambda[k];
        }
        return c;
    }

    // Binom(t; n, k/N), k = 0..N, t = 0..n, t fastest.
    const std::vector<long double>& Binomials(int n, int pool) {
        std::vector<long double>& m = m_Binomials[{n, pool}];
        if (m.empty()) {
            m.resize(static_cast<std::size_t>(pool + 1) * (n + 1));
            for (int k = 0; k <= pool; ++k) {
                const long double f = static_cast<long double>(k) / pool;
                for (int t = 0; t <= n; ++t) {
                    long double v;
                    if (k == 0 || k == pool) {
                        v = (k == 0 && t == 0) || (k == pool && t == n) ? 1.0L : 0.0L;
                    } else {
                        v = std::exp(std::lgamma(n + 1.0L) - std::lgamma(t + 1.0L) -
                                     std::lgamma(n - t + 1.0L) + t * std::log(f) +
                                     (n - t) * std::log1p(-f));
                    }
                    m[static_cast<std::size_t>(k) * (n + 1) + t] = v;
                }
            }
        }
        return m;
    }

    std::map<std::pair<int, int>, std::vector<long double>> m_Binomials;
};

// Scores drawn from Illumina's four bins, 6% of them below Q20.
Q BinnedScores(std::mt19937& rng, unsigned n) {
    std::discrete_distribution<int> bin({0.02, 0.04, 0.14, 0.80});
    const std::uint8_t value[] = {2, 12, 23, 37};
    Q q(n);
    for (auto& s : q) {
        s = value[bin(rng)];
    }
    return q;
}

struct SBoundCase {
    std::string what;
    Q minor, major;
};

std::vector<SBoundCase> BoundCases() {
    std::mt19937 rng(29);
    std::vector<SBoundCase> cases;
    for (unsigned n : {30u, 60u, 100u}) {
        for (unsigned m : {0u, 1u, 2u, 5u}) {
            cases.push_back({"binned " + std::to_string(n) + "/" + std::to_string(m),
                             BinnedScores(rng, m), BinnedScores(rng, n - m)});
        }
    }
    for (unsigned m : {0u, 3u, 30u, 90u}) {
        cases.push_back({"deep noisy, minor " + std::to_string(m), RandomScores(rng, m, 2, 20),
                         RandomScores(rng, 300 - m, 2, 20)});
    }
    for (unsigned m : {0u, 1u, 40u, 150u}) {
        cases.push_back({"deep clean, minor " + std::to_string(m), RandomScores(rng, m, 30, 60),
                         RandomScores(rng, 400 - m, 30, 60)});
    }
    cases.push_back({"balanced", RandomScores(rng, 100, 10, 40), RandomScores(rng, 100, 10, 40)});
    cases.push_back(
        {"balanced noisy", RandomScores(rng, 100, 2, 12), RandomScores(rng, 100, 2, 12)});
    cases.push_back({"balanced equal", Q(100, 37), Q(100, 37)});
    for (unsigned m : {0u, 5u, 20u}) {
        cases.push_back({"very low, minor " + std::to_string(m), RandomScores(rng, m, 0, 5),
                         RandomScores(rng, 50 - m, 0, 5)});
    }
    for (unsigned m : {0u, 1u, 2u}) {
        Q major = RandomScores(rng, 150 - m, 60, 93);
        major.push_back(255);
        cases.push_back(
            {"very high, minor " + std::to_string(m), RandomScores(rng, m, 60, 93), major});
    }
    cases.push_back({"poor minor reads", Q(3, 2), Q(100, 37)});
    cases.push_back({"poor reference reads", Q(10, 40), Q(40, 5)});
    cases.push_back({"no reads", Q(), Q()});
    cases.push_back({"one read", Q(1, 20), Q()});
    cases.push_back({"every read wrong", Q(3, 0), Q(5, 0)});
    return cases;
}

TEST(ObsTableBounded, EveryLikelihoodOfTheClassKeepsTheRuleOnDeepNoisyAndBalancedSites) {
    // Under every spectrum of each class (the worst case over the weights):
    // the entries kept equal the long-double oracle's, the entries left out
    // move no likelihood by more than 1e-12 min(1, lam) of itself (lam =
    // -log max_t T[t] <= -log L), and against the exact table in doubles the
    // bounded one keeps the 1e-10 rule on every log-likelihood.
    const std::vector<SBoundCase> cases = BoundCases();
    CWorstCase worst;
    CObsTableWorkspace ws;  // one for all, as a worker has
    const SSpectrumClass classes[] = {{true, 0},  {true, 20},  {true, 200},
                                      {false, 0}, {false, 20}, {false, 200}};
    int cut = 0, binnedCut = 0, checked = 0;
    for (const SSpectrumClass& cls : classes) {
        for (const SBoundCase& c : cases) {
            SCOPED_TRACE(c.what + (cls.folded ? ", folded" : ", unfolded") + ", pool " +
                         std::to_string(cls.poolSize));
            Q minor = c.minor, major = c.major;
            std::sort(minor.begin(), minor.end());
            std::sort(major.begin(), major.end());
            std::vector<double> table;
            std::size_t kept = 0;
            const double scale = ComputeBoundedObsTable(
                cls, minor.data(), minor.size(), major.data(), major.size(), ws, table, kept);
            const std::size_t n = minor.size() + major.size();
            ASSERT_EQ(table.size(), n + 1);
            ASSERT_GE(kept, minor.size() + 1);
            ASSERT_LE(kept, n + 1);
            const std::vector<long double> lnExact = oracle::LogTable(minor, major);
            const long double top = *std::max_element(lnExact.begin(), lnExact.end());
            const long double lam = -top;
            std::vector<double> full;
            const double fullScale = ComputeObsTable(minor.data(), minor.size(), major.data(),
                                                     major.size(), ETableMode::eExact, 0, ws, full);
            std::vector<long double> exact(n + 1), omitted(n + 1), mine(n + 1), reference(n + 1);
            for (std::size_t t = 0; t <= n; ++t) {
                exact[t] = std::exp(lnExact[t] - top);
                omitted[t] = t < kept ? exact[t] : 0.0L;
                mine[t] = static_cast<long double>(table[t]) * std::exp(scale - top);
                reference[t] = static_cast<long double>(full[t]) * std::exp(fullScale - top);
                if (t >= kept) {
                    ASSERT_EQ(table[t], 0.0) << "t " << t;
                } else if (lnExact[t] + std::lgamma(n + 1.0L) - std::lgamma(t + 1.0L) -
                                   std::lgamma(n - t + 1.0L) >
                               -700 &&
                           lnExact[t] - (scale != 0 ? top : 0) > -690) {
                    // Sums U[t] = T[t] C(n, t) below 1e-304, and entries
                    // below 1e-300 of an unscaled table, underflow in
                    // doubles, as in every exact table; the worst case below
                    // counts their loss.
                    ASSERT_NEAR(static_cast<double>(std::log(mine[t])),
                                static_cast<double>(std::log(exact[t])), 1e-12)
                        << "t " << t;
                }
            }
            if (n == 0) {
                // No likelihood: the engine keeps no site without reads.
                EXPECT_EQ(table, std::vector<double>{1.0});
                continue;
            }
            const long double leftOut = worst.Share(cls, exact, omitted);
            EXPECT_LE(leftOut, 1e-12L * std::min(1.0L, lam) * (1 + 1e-9L));
            EXPECT_LE(worst.Share(cls, reference, mine), 1e-10L * lam);
            cut += kept < n + 1;
            const bool binned = c.what.rfind("binned", 0) == 0 && n >= 60;
            binnedCut += binned && 2 * kept < n + 1;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 6 * static_cast<int>(cases.size() - 1));
    // The bound is not empty: most sites lose entries, and binned sites of
    // depth 60 or more keep less than half of theirs.
    EXPECT_GE(cut, checked / 2);
    EXPECT_EQ(binnedCut, 6 * 8);
}

TEST(ObsTableBounded, TheBoundHoldsWhereItFirstAllowsACut) {
    // The bound alone, fed the oracle's numbers, at every cut point from m
    // up: at the first it allows (the tightest), what is left out moves no
    // likelihood of the class by more than 1e-12 min(1, lam) of itself, so
    // no later cut does either (they leave out less). On binned sites of
    // depth 60 or more it allows cutting before half the table.
    const std::vector<SBoundCase> cases = BoundCases();
    CWorstCase worst;
    CObsTableWorkspace ws;
    const SSpectrumClass classes[] = {{true, 0},  {true, 20},  {true, 200},
                                      {false, 0}, {false, 20}, {false, 200}};
    int allowed = 0, early = 0;
    for (const SSpectrumClass& cls : classes) {
        for (const SBoundCase& c : cases) {
            SCOPED_TRACE(c.what + (cls.folded ? ", folded" : ", unfolded") + ", pool " +
                         std::to_string(cls.poolSize));
            const std::size_t m = c.minor.size(), M = c.major.size(), n = m + M;
            const std::vector<long double> a = oracle::ErrCountByScores(c.minor);
            const std::vector<long double> bl = oracle::ErrCountByScores(c.major);
            std::vector<long double> ul(n + 1, 0.0L);
            for (std::size_t i = 0; i <= m; ++i) {
                for (std::size_t j = 0; j <= M; ++j) {
                    ul[m - i + j] += a[i] * bl[j];
                }
            }
            std::vector<double> u(ul.begin(), ul.end());
            std::size_t first = n;
            for (std::size_t tStar = m; tStar < n && first == n; ++tStar) {
                const std::vector<double> b(
                    bl.begin(), bl.begin() + static_cast<std::ptrdiff_t>(std::min(M, tStar) + 1));
                if (CanLeaveOutAbove(cls, m, M, tStar, b, u, ws)) {
                    first = tStar;
                }
            }
            if (first == n) {
                continue;
            }
            ++allowed;
            const std::vector<long double> lnExact = oracle::LogTable(c.minor, c.major);
            const long double top = *std::max_element(lnExact.begin(), lnExact.end());
            std::vector<long double> exact(n + 1), omitted(n + 1);
            for (std::size_t t = 0; t <= n; ++t) {
                exact[t] = std::exp(lnExact[t] - top);
                omitted[t] = t <= first ? exact[t] : 0.0L;
            }
            EXPECT_LE(worst.Share(cls, exact, omitted), 1e-12L * std::min(1.0L, -top) * (1 + 1e-9L))
                << "cut above " << first;
            early += c.what.rfind("binned", 0) == 0 && n >= 60 && 2 * first < n;
        }
    }
    EXPECT_GE(allowed, 6 * 24);
    EXPECT_EQ(early, 6 * 8);
}

TEST(ObsTableBounded, RunsOfEqualScoresGiveTheTableOfTheMultiset) {
    // Runs in another order, or split, give the same numbers up to rounding;
    // the same runs give the same bits, whatever came before in the
    // workspace.
    std::mt19937 rng(5);
    const SSpectrumClass cls{true, 50};
    CObsTableWorkspace one, other;
    for (int trial = 0; trial < 50; ++trial) {
        Q minor = BinnedScores(rng, trial % 4), major = BinnedScores(rng, 40 + trial);
        std::sort(minor.begin(), minor.end());
        std::sort(major.begin(), major.end());
        std::vector<double> a, b, c;
        std::size_t ka = 0, kb = 0, kc = 0;
        const double sa = ComputeBoundedObsTable(cls, minor.data(), minor.size(), major.data(),
                                                 major.size(), one, a, ka);
        const double sb = ComputeBoundedObsTable(cls, minor.data(), minor.size(), major.data(),
                                                 major.size(), other, b, kb);
        ASSERT_EQ(sa, sb);
        ASSERT_EQ(ka, kb);
        ASSERT_EQ(a, b);
        std::shuffle(major.begin(), major.end(), rng);
        ComputeBoundedObsTable(cls, minor.data(), minor.size(), major.data(), major.size(), one, c,
                               kc);
        ASSERT_EQ(kc, ka);
        for (std::size_t t = 0; t < ka; ++t) {
            EXPECT_NEAR(c[t], a[t], 1e-12 * a[t]) << trial << " " << t;
        }
    }
}

// The run around the largest entry (what qualfst's records keep) against the
// whole table: bit for bit inside the range, and everything outside it
// below keep of the largest. Both ends of the cut (few minor reads, and
// pools fixed for the minor class), scores 0 to 60 (a score of 0 is an
// error for sure), depths from 1 to 400, balanced sites.
TEST(ObsTableRun, TheRunIsTheWholeTablesBitForBit) {
    std::mt19937 rng(29);
    CObsTableWorkspace ws;
    const double keep = 1e-12;
    int cut = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const unsigned depth = 1 + static_cast<unsigned>(rng() % (trial % 10 == 0 ? 400 : 60));
        unsigned m = static_cast<unsigned>(rng() % 4);
        if (trial % 3 == 1) {
            m = depth - std::min(depth, m);  // fixed for the minor class
        } else if (trial % 7 == 2) {
            m = depth / 2;
        }
        m = std::min(m, depth);
        const int low = trial % 5 == 0 ? 0 : 2;
        const Q minor = RandomScores(rng, m, low, 41),
                major = RandomScores(rng, depth - m, low, 41);
        std::vector<double> full;
        ExactTable(minor, major, full);
        const double largest = *std::max_element(full.begin(), full.end());
        const std::size_t top =
            static_cast<std::size_t>(std::max_element(full.begin(), full.end()) - full.begin());
        std::vector<double> run;
        SObsTableRun r;
        ComputeObsTableRun(minor.data(), minor.size(), major.data(), major.size(), keep, ws, run,
                           r);
        ASSERT_EQ(run.size(), full.size()) << trial;
        ASSERT_EQ(r.top, top) << trial;
        ASSERT_LE(r.first, r.top);
        ASSERT_GE(r.last, r.top);
        cut += r.last - r.first < depth;
        for (std::size_t t = 0; t < full.size(); ++t) {
            if (t >= r.first && t <= r.last) {
                ASSERT_EQ(run[t], full[t] / largest) << trial << " t " << t;
            } else {
                ASSERT_LT(full[t], keep * largest) << trial << " t " << t;
                ASSERT_EQ(run[t], 0.0);
            }
        }
        EXPECT_TRUE(r.first == 0 || run[r.first] < keep) << trial;
        EXPECT_TRUE(r.last == depth || run[r.last] < keep) << trial;
    }
    // Most of these tables were cut, so the test saw the cut ends.
    EXPECT_GT(cut, 400);
}

// A deep site whose chance of no error at all underflows the double range
// (10,000 reads of scores 10 and 12: about e^-850): its largest entry is
// still the one of no minor read, and its run agrees with the long-double
// oracle. (The whole table, computed in doubles, lost it: its entries below
// t = 20 or so were 0, and its largest came out at the first one that was
// not.)
TEST(ObsTableRun, DeepSitesKeepTheirLargestEntries) {
    Q major;
    for (int r = 0; r < 10000; ++r) {
        major.push_back(r % 2 ? 10 : 12);
    }
    for (const Q& minor : {Q{}, Q{30, 35, 12}}) {
        CObsTableWorkspace ws;
        std::vector<double> run;
        SObsTableRun r;
        ComputeObsTableRun(minor.data(), minor.size(), major.data(), major.size(), 1e-12, ws, run,
                           r);
        const std::vector<long double> want = oracle::LogTable(minor, major);
        const std::size_t top =
            static_cast<std::size_t>(std::max_element(want.begin(), want.end()) - want.begin());
        EXPECT_EQ(r.top, top);
        EXPECT_LE(top, minor.size());
        EXPECT_EQ(r.first, 0u);
        ASSERT_LT(r.last, 40u);
        for (std::size_t t = r.first; t <= r.last; ++t) {
            const double expect = static_cast<double>(std::exp(want[t] - want[top]));
            EXPECT_NEAR(run[t], expect, 1e-9 * expect) << t;
        }
        EXPECT_LT(run[r.last], 1e-12);
    }
}

}  // namespace
