#pragma once
// Windows of several series of per-site values at once (the pairs of
// qualfst, the pools of qualdiv), written window-major: every window gets
// one row per series, in series order, every series the same windows.
//
// Each series is fed in genome order with every stored site: a site where
// the series counts carries its values, the others only occupy their
// position. So a contig of unknown length (pileup text) gets the same
// windows in every series (those that hold any stored site), and a series
// without sites in a window still gets its row, with NA values. A window
// with fewer sites of a series than the minimum gets NA values too (its
// site count stays), so that a scaffold's handful of sites is not read as
// an outlier.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "pool/pool_reader.hpp"
#include "windows/windows.hpp"

inline constexpr std::size_t kWindowValues = 4;

// The sums of one series in one window.
struct SWindowSums {
    int m_Contig = 0;
    std::int64_t m_Start = 0, m_End = 0;
    std::uint64_t m_Sites = 0;
    std::array<double, kWindowValues> m_Sums{};
};

class CSeriesWindows {
  public:
    // A row of series s for window w (its sites at least the minimum), or
    // with NA values (below it); the text ends with a line break.
    using TRow = std::function<std::string(const std::string& contig, std::size_t series,
                                           const SWindowSums& w, bool enough)>;

    // policy: where the windows lie (fixed, whole contigs, BED lines);
    // ranges and lastPos: the reader's (CPoolReader), which must outlive
    // this; rows go to out.
    CSeriesWindows(const CWindowPolicy& policy, std::size_t series, std::uint64_t minSites,
                   const std::vector<SContigRange>& ranges,
                   const std::vector<std::int64_t>& lastPos,
                   const std::vector<std::string>& contigNames, TRow row, std::ostream& out);
    ~CSeriesWindows();

    // A stored site of series s (values null: the series does not count
    // there; it only occupies its position). Sites of one series come in
    // genome order.
    void Add(std::size_t s, int contig, std::int64_t pos, const double* values);
    // Every series' sites so far are in: rows of the windows every series
    // has closed are written.
    void Flush();
    // The end of the input: every contig's remaining windows are closed and
    // written.
    void Finish();
    // Windows written (each counted once, not per series).
    std::uint64_t Count() const { return m_Count; }

  private:
    struct SSeries;
    std::vector<std::unique_ptr<SSeries>> m_Series;
    std::uint64_t m_MinSites;
    const std::vector<std::string>& m_ContigNames;
    TRow m_Row;
    std::ostream& m_Out;
    std::uint64_t m_Count = 0;
};
