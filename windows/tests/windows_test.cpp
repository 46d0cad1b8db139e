#include "windows/windows.hpp"

#include <gtest/gtest.h>

#include <random>
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

}  // namespace
