#include "windows/windows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "windows/window_file.hpp"

#include <limits>
#include <random>
#include <set>
#include <vector>

namespace {

// The stream is generic; the test's sites carry a position only.
struct SWindowSite {
    std::int64_t m_Pos = 0;
};

struct SSeen {
    std::int64_t start, end;
    std::vector<std::int64_t> pos;
    bool operator==(const SSeen& o) const {
        return start == o.start && end == o.end && pos == o.pos;
    }
};

// Every window k step .. k step + size that overlaps [from, to), clipped,
// with the sites inside: the slow way.
std::vector<SSeen> BruteForce(const std::vector<std::int64_t>& sites, std::int64_t size,
                              std::int64_t step, std::int64_t from, std::int64_t to) {
    std::vector<SSeen> out;
    for (std::int64_t start = 0; start < to; start += step) {
        if (start + size <= from) {
            continue;
        }
        SSeen w{std::max(start, from), std::min(start + size, to), {}};
        for (std::int64_t p : sites) {
            if (p >= w.start && p < w.end) {
                w.pos.push_back(p);
            }
        }
        out.push_back(w);
    }
    return out;
}

TEST(WindowStream, EmitsEveryWindowWithItsSitesAsABruteForceScanDoes) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        const std::int64_t size = 1 + static_cast<std::int64_t>(rng() % 40);
        const std::int64_t step = 1 + static_cast<std::int64_t>(rng() % size);
        const std::int64_t from = static_cast<std::int64_t>(rng() % 50);
        const std::int64_t to = from + 1 + static_cast<std::int64_t>(rng() % 200);
        std::vector<std::int64_t> sites;
        for (std::int64_t p = from; p < to; ++p) {
            if (rng() % 4 == 0) {
                sites.push_back(p);
                if (rng() % 5 == 0) {
                    sites.push_back(p);  // the same position twice (pooled contigs)
                }
            }
        }
        std::vector<SSeen> got;
        CWindowStream<SWindowSite> stream(size, step, [&](const SWindowSpan<SWindowSite>& w) {
            SSeen s{w.m_Start, w.m_End, {}};
            for (std::size_t i = 0; i < w.m_Count; ++i) {
                s.pos.push_back(w.m_First[i].m_Pos);
            }
            got.push_back(s);
        });
        stream.BeginContig(0, from, to);
        for (std::int64_t p : sites) {
            SWindowSite s;
            s.m_Pos = p;
            stream.AddSite(s);
        }
        stream.EndContig();
        EXPECT_EQ(got, BruteForce(sites, size, step, from, to))
            << "size " << size << " step " << step << " from " << from << " to " << to;
    }
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
__extension__ typedef __int128 TWide;  // GCC and Clang; wide enough for any sum here

// Runs the stream over one contig and records what it emitted.
std::vector<SSeen> Stream(const std::vector<std::int64_t>& sites, std::int64_t size,
                          std::int64_t step, std::int64_t from, std::int64_t to,
                          const std::vector<std::int64_t>& occupied, std::int64_t atLeast) {
    std::vector<SSeen> got;
    CWindowStream<SWindowSite>::TOccupied next = [&](int contig, std::int64_t at) {
        EXPECT_EQ(contig, 3);
        const auto it = std::lower_bound(occupied.begin(), occupied.end(), at);
        return it == occupied.end() ? kMax : *it;
    };
    CWindowStream<SWindowSite> stream(
        size, step,
        [&](const SWindowSpan<SWindowSite>& w) {
            EXPECT_EQ(w.m_Contig, 3);
            SSeen s{w.m_Start, w.m_End, {}};
            for (std::size_t i = 0; i < w.m_Count; ++i) {
                s.pos.push_back(w.m_First[i].m_Pos);
            }
            got.push_back(s);
        },
        next);
    stream.BeginContig(3, from, to);
    for (std::int64_t p : sites) {
        EXPECT_TRUE(stream.Accepts(p)) << p;
        SWindowSite s;
        s.m_Pos = p;
        stream.AddSite(s);
    }
    EXPECT_FALSE(stream.Accepts(to >= 0 ? to : kMax));
    if (!sites.empty()) {
        EXPECT_FALSE(stream.Accepts(sites.back() - 1));
    }
    stream.EndContig(atLeast);
    return got;
}

// The windows in 128-bit arithmetic, which cannot overflow: with a known
// end every window overlapping [from, to), clipped; without one, the
// windows holding a site or an occupied position below the last site or
// atLeast.
std::vector<SSeen> Wide(const std::vector<std::int64_t>& sites, std::int64_t size,
                        std::int64_t step, std::int64_t from, std::int64_t to,
                        const std::vector<std::int64_t>& occupied, std::int64_t atLeast) {
    std::set<TWide> starts;
    auto holding = [&](TWide p) {  // the starts k step <= p < k step + size
        TWide k = (p - size + 1) > 0 ? (p - size + 1 + step - 1) / step : 0;
        for (; k * step <= p; ++k) {
            starts.insert(k * step);
        }
    };
    if (to >= 0) {
        for (TWide k = from - size + 1 > 0 ? (from - size + 1 + step - 1) / step : 0; k * step < to;
             ++k) {
            starts.insert(k * step);
        }
    } else {
        std::int64_t end = atLeast;
        for (std::int64_t p : sites) {
            holding(p);
            end = std::max(end, p + 1);
        }
        for (std::int64_t p : occupied) {
            if (p < end) {
                holding(p);
            }
        }
    }
    std::vector<SSeen> out;
    for (TWide start : starts) {
        TWide end = start + size;
        if (end > kMax) {
            end = kMax;
        }
        if (to >= 0 && end > to) {
            end = to;
        }
        SSeen w{static_cast<std::int64_t>(std::max<TWide>(start, from)),
                static_cast<std::int64_t>(end),
                {}};
        for (std::int64_t p : sites) {
            if (p >= w.start && p < w.end) {
                w.pos.push_back(p);
            }
        }
        out.push_back(w);
    }
    return out;
}

// Positions and window sizes anywhere up to 2^63 - 1 (reads far along
// assemblies, sizes typed by mistake), with known and unknown contig ends.
TEST(WindowStream, AgreesWithWideArithmeticUpToTheLastPosition) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        // Size: small or huge; at most 40 windows per position, so the
        // oracle's enumeration stays short.
        const std::int64_t size = trial % 3 == 0 ? 1 + static_cast<std::int64_t>(rng() % 50)
                                                 : 1 + static_cast<std::int64_t>(rng() >> 1);
        const std::int64_t stepped =
            std::max(std::max<std::int64_t>(1, size / 40),
                     1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(size)));
        // Sites in a cluster at the start, in the middle or at the very end
        // of the 64-bit range.
        const int where = static_cast<int>(rng() % 3);
        const std::int64_t base = where == 0   ? 0
                                  : where == 1 ? static_cast<std::int64_t>(rng() >> 2)
                                               : kMax - 1 - 300;
        std::vector<std::int64_t> sites, occupied;
        for (std::int64_t p = base; p < base + 300; ++p) {
            const unsigned r = static_cast<unsigned>(rng() % 16);
            if (r == 0) {
                sites.push_back(p);
            }
            if (r <= 1) {
                occupied.push_back(p);
            }
        }
        const bool known = trial % 2 == 0;
        // A known end: the cluster's range, so the oracle enumerates few
        // windows.
        const std::int64_t from = known ? base : 0;
        const std::int64_t to = known ? base + 300 : -1;
        if (known && (TWide{300} + size) / stepped > 2000) {
            continue;
        }
        const std::int64_t atLeast = rng() % 2 ? base + 300 : 0;
        SCOPED_TRACE("size " + std::to_string(size) + " step " + std::to_string(stepped) +
                     " base " + std::to_string(base) + (known ? " known" : " unknown"));
        EXPECT_EQ(Stream(sites, size, stepped, from, to, occupied, atLeast),
                  Wide(sites, size, stepped, from, to, occupied, atLeast));
    }
}

// Windows of given ranges (BED lines: genes, nested and overlapping) and of
// whole contigs go through the same stream: on random contigs of known and
// unknown length, each window holds exactly the sites a scan of every site
// finds inside it, the windows come in order of their starts, clipped to
// the contig's range, and a contig of unknown length gets its whole-contig
// window only when it holds a site or an occupied position.
TEST(WindowStream, RangesAndWholeContigsHoldTheSitesABruteForceScanFinds) {
    std::mt19937 rng(23);
    for (int trial = 0; trial < 400; ++trial) {
        const std::int64_t from = static_cast<std::int64_t>(rng() % 30);
        const bool known = trial % 2 == 0;
        const std::int64_t to = known ? from + static_cast<std::int64_t>(rng() % 300) : -1;
        std::vector<std::int64_t> sites;
        for (std::int64_t p = from; p < (known ? to : from + 300); ++p) {
            if (rng() % 3 == 0) {
                sites.push_back(p);
            }
        }
        // Ranges anywhere around the contig, sorted by start (ties kept
        // in the order drawn).
        std::vector<SWindowRange> ranges(rng() % 12);
        for (SWindowRange& r : ranges) {
            r.m_Start = static_cast<std::int64_t>(rng() % 350);
            r.m_End = r.m_Start + 1 + static_cast<std::int64_t>(rng() % 120);
        }
        std::stable_sort(
            ranges.begin(), ranges.end(),
            [](const SWindowRange& a, const SWindowRange& b) { return a.m_Start < b.m_Start; });
        const std::int64_t atLeast = rng() % 2 ? static_cast<std::int64_t>(rng() % 400) : 0;
        SCOPED_TRACE("trial " + std::to_string(trial));
        for (const bool whole : {false, true}) {
            std::vector<SSeen> got;
            CWindowPolicy policy =
                whole ? CWindowPolicy::WholeContigs() : CWindowPolicy::Ranges([&](int contig) {
                    EXPECT_EQ(contig, 7);
                    return &ranges;
                });
            CWindowStream<SWindowSite> stream(policy, [&](const SWindowSpan<SWindowSite>& w) {
                EXPECT_EQ(w.m_Contig, 7);
                SSeen seen{w.m_Start, w.m_End, {}};
                for (std::size_t i = 0; i < w.m_Count; ++i) {
                    seen.pos.push_back(w.m_First[i].m_Pos);
                }
                got.push_back(seen);
            });
            stream.BeginContig(7, from, to);
            for (std::int64_t p : sites) {
                SWindowSite site;
                site.m_Pos = p;
                stream.AddSite(site);
            }
            stream.EndContig(atLeast);
            // The slow way: every range clipped to [from, to), every site
            // tested against every window.
            std::vector<SWindowRange> want;
            if (whole) {
                const std::int64_t last =
                    sites.empty() ? atLeast : std::max(atLeast, sites.back() + 1);
                const std::int64_t end = known ? to : last;
                if (end > from) {
                    want.push_back({from, end});
                }
            } else {
                for (const SWindowRange& r : ranges) {
                    const SWindowRange c{std::max(r.m_Start, from),
                                         known ? std::min(r.m_End, to) : r.m_End};
                    if (c.m_Start < c.m_End) {
                        want.push_back(c);
                    }
                }
            }
            std::vector<SSeen> expected;
            for (const SWindowRange& w : want) {
                SSeen seen{w.m_Start, w.m_End, {}};
                for (std::int64_t p : sites) {
                    if (p >= w.m_Start && p < w.m_End) {
                        seen.pos.push_back(p);
                    }
                }
                expected.push_back(seen);
            }
            EXPECT_EQ(got, expected) << (whole ? "whole contig" : "ranges");
        }
    }
}

// Every program's windows file starts with the same line, which reads back
// as written; lines of another kind are not taken for it.
TEST(WindowsFile, TheFirstLineReadsBackAsWritten) {
    for (const SWindowsComment& c :
         {SWindowsComment{"profile", 0.95}, SWindowsComment{"bootstrap", 0.9},
          SWindowsComment{"none", 0.123456789012}}) {
        const std::string line = FormatWindowsComment(c);
        EXPECT_EQ(line.back(), '\n');
        SWindowsComment back{"", 0};
        ASSERT_TRUE(ParseWindowsComment(line, back)) << line;
        EXPECT_EQ(back.m_Intervals, c.m_Intervals);
        EXPECT_NEAR(back.m_Level, c.m_Level, 1e-10);
    }
    EXPECT_EQ(FormatWindowsComment(SWindowsComment{"bootstrap", 0.95}),
              "#intervals=bootstrap\tlevel=0.95\n");
    SWindowsComment c;
    EXPECT_TRUE(ParseWindowsComment("#intervals=none\tlevel=0.5\tmin_sites=3", c));
    for (const std::string bad :
         {"contig\tstart\tend", "#intervals=jackknife\tlevel=0.95", "#intervals=profile",
          "#intervals=profile\tlevel=1.5", "#intervals=profile\tlevel=0.9x", "intervals=profile",
          "#intervals=profile\tlevel="}) {
        EXPECT_FALSE(ParseWindowsComment(bad, c)) << bad;
    }
}

}  // namespace
