#include "scan/scan_windows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

#include "base/input_error.hpp"
#include "common/taskpool.hpp"
#include "engine/bootstrap.hpp"
#include "io/bed.hpp"
#include "windows/window_file.hpp"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

}  // namespace

CWindowWriter::CWindowWriter(const SScanOptions& opts, const SSiteOptions& site,
                             const SFitOptions& fit, hts_tpool* pool, std::ostream& out,
                             const SContigs& contigs, CCoverageRuns& covered, bool coveredKnown,
                             const std::string& input, const std::string& sample,
                             const CBedFile* windowsBed)
    : m_Covered(covered),
      m_CoveredKnown(coveredKnown),
      m_Site(site),
      m_Fit(fit),
      m_Pool(pool),
      m_Out(out),
      m_Contigs(contigs),
      m_Input(input),
      m_Sample(sample),
      m_Bootstrap(opts.m_Bootstrap),
      m_MinSites(opts.m_MinSites),
      m_Stream(
          x_Policy(opts, windowsBed), [this](const SWindowSpan<SSite>& w) { x_Collect(w); },
          coveredKnown ? CWindowStream<SSite>::TOccupied([this](int contig, std::int64_t from) {
              return m_Covered.NextCovered(contig, from);
          })
                       : nullptr) {}

CWindowWriter::~CWindowWriter() = default;

CWindowPolicy CWindowWriter::x_Policy(const SScanOptions& opts, const CBedFile* windowsBed) {
    if (windowsBed) {
        return BedWindowPolicy(*windowsBed, [this](int contig) { return m_Contigs.Name(contig); });
    }
    if (opts.m_ContigWindows) {
        return CWindowPolicy::WholeContigs();
    }
    return CWindowPolicy(opts.m_WindowSize, opts.m_WindowStep);
}

void CWindowWriter::EnterContig(int tid) {
    x_CloseCurrent();
    const int from = m_Current < 0 ? 0 : m_Current + 1;
    for (int c = from; c < tid; ++c) {
        x_EmptyContig(c);
    }
    m_Current = tid;
    std::int64_t beg = 0, end = m_Contigs.Length(tid);
    x_Clip(tid, beg, end);
    m_Stream.BeginContig(tid, beg, end);
}

void CWindowWriter::Add(const SEncodedSite& s) {
    if (!m_Stream.Accepts(s.pos)) {
        // The run checks the contig's end and the order before; a site
        // that still falls outside the windows' range is the input's
        // fault, never a reason to stop on an assertion.
        throw CInputError(EInputError::eRange,
                          SInputWhere{m_Input, 0, 0, m_Contigs.Name(s.contig), s.pos + 1},
                          "the site lies outside the range of the contig's windows.");
    }
    const std::int64_t block = s.pos / m_Site.blockSize;
    if (s.contig != m_BlockContig || block != m_BlockIndex) {
        m_BlockContig = s.contig;
        m_BlockIndex = block;
        ++m_Blocks;
    }
    SSite w;
    w.m_Pos = s.pos;
    w.m_Site.m_Pos = s.pos;
    w.m_Site.m_A = s.neutralA;
    w.m_Site.m_B = s.neutralB;
    w.m_Site.m_LogScale = s.constant;
    w.m_Site.m_Reads = static_cast<std::uint32_t>(s.reads);
    w.m_Block = static_cast<std::uint32_t>(m_Blocks - 1);
    m_Stream.AddSite(w);
}

void CWindowWriter::Finish() {
    x_CloseCurrent();
    for (int c = m_Current < 0 ? 0 : m_Current + 1; c < static_cast<int>(m_Contigs.Count()); ++c) {
        x_EmptyContig(c);
    }
    x_Flush();
}

bool CWindowWriter::x_Clip(int tid, std::int64_t& beg, std::int64_t& end) const {
    // With a region only its contig has windows, over its range.
    if (m_Contigs.m_RegionTid < 0) {
        return true;
    }
    if (tid != m_Contigs.m_RegionTid) {
        return false;
    }
    beg = m_Contigs.m_RegionBeg;
    if (end < 0 || m_Contigs.m_RegionEnd < end) {
        end = m_Contigs.m_RegionEnd;
    }
    return true;
}

void CWindowWriter::x_CloseCurrent() {
    // Without a known length, a contig's windows are those that hold a
    // covered position (the source has passed the contig when it is closed).
    if (m_Current >= 0) {
        m_Stream.EndContig(m_Covered.End(m_Current));
    }
}

void CWindowWriter::x_EmptyContig(int tid) {
    std::int64_t beg = 0, end = m_Contigs.Length(tid);
    if (end < 0 && m_Stream.Policy().Kind() == CWindowPolicy::EKind::eRanges &&
        m_Contigs.m_RegionTid < 0) {
        // The lines of a contig the input names are windows, with sites or
        // without.
        m_Stream.BeginContig(tid, 0, -1);
        m_Stream.EndContig();
        return;
    }
    if (end < 0) {
        // Unknown length: the windows of its covered positions, if any.
        if (m_Covered.End(tid) > 0 && m_Contigs.m_RegionTid < 0) {
            m_Stream.BeginContig(tid, 0, -1);
            m_Stream.EndContig(m_Covered.End(tid));
        }
        return;
    }
    if (end <= 0 || !x_Clip(tid, beg, end) || end <= beg) {
        return;
    }
    m_Stream.BeginContig(tid, beg, end);
    m_Stream.EndContig();
}

void CWindowWriter::x_Collect(const SWindowSpan<SSite>& w) {
    SPending p;
    p.m_Contig = w.m_Contig;
    p.m_Start = w.m_Start;
    p.m_End = w.m_End;
    p.m_Sites.reserve(w.m_Count);
    for (std::size_t i = 0; i < w.m_Count; ++i) {
        p.m_Sites.push_back(w.m_First[i].m_Site);
    }
    if (m_Bootstrap) {
        p.m_SiteBlocks.reserve(w.m_Count);
        for (std::size_t i = 0; i < w.m_Count; ++i) {
            p.m_SiteBlocks.push_back(w.m_First[i].m_Block);
        }
    }
    p.m_Covered = m_Covered.CountAndDrop(w.m_Contig, w.m_Start, w.m_End);
    m_Pending.push_back(std::move(p));
    m_PendingSites += w.m_Count;
    // Enough windows to keep the threads busy, but never so many sites
    // that the pending copies outgrow a few windows.
    if (m_Pending.size() >= kGroup || m_PendingSites >= kGroupSites) {
        x_Flush();
    }
}

void CWindowWriter::x_Flush() {
    if (m_Pending.empty()) {
        return;
    }
    // Groups of windows per job, each job with its own fitter; rows are
    // merged in window order, so the file is the same for any number of
    // threads.
    const std::size_t perJob = 16;
    const std::size_t jobs = (m_Pending.size() + perJob - 1) / perJob;
    std::function<std::vector<SWindowRow>(std::size_t)> job = [&](std::size_t j) {
        CWindowFitter fitter(m_Site, m_Fit);
        std::vector<SWindowRow> rows;
        const std::size_t last = std::min(m_Pending.size(), (j + 1) * perJob);
        for (std::size_t i = j * perJob; i < last; ++i) {
            const SPending& p = m_Pending[i];
            SWindowRow row;
            row.m_Sample = m_Sample;
            row.m_Contig = m_Contigs.Name(p.m_Contig);
            row.m_Start = p.m_Start;
            row.m_End = p.m_End;
            row.m_Sites = p.m_Sites.size();
            row.m_Covered = p.m_Covered;
            row.m_CoveredKnown = m_CoveredKnown;
            for (const SWindowSite& s : p.m_Sites) {
                row.m_Reads += s.m_Reads;
            }
            row.m_Theta = row.m_ThetaLo = row.m_ThetaHi = row.m_LogLik = kNA;
            // Below --min-sites the window keeps its counts, without
            // estimates (nor, with the bootstrap, an interval).
            if (WindowEstimated(p.m_Sites.size(), m_MinSites)) {
                const SWindowEstimate e = fitter.Fit(p.m_Sites.data(), p.m_Sites.size());
                row.m_Theta = e.theta;
                row.m_ThetaLo = e.thetaLo;
                row.m_ThetaHi = e.thetaHi;
                row.m_LogLik = e.logLik;
            }
            rows.push_back(std::move(row));
        }
        return rows;
    };
    std::function<void(std::size_t, std::vector<SWindowRow>&)> merge =
        [&](std::size_t j, std::vector<SWindowRow>& rows) {
            for (std::size_t k = 0; k < rows.size(); ++k) {
                if (!m_Bootstrap) {
                    m_Out << FormatWindowRow(rows[k]);
                    continue;
                }
                SHeldRow held;
                held.m_Row = std::move(rows[k]);
                // Until the resamples say otherwise: no interval.
                held.m_Row.m_ThetaLo = held.m_Row.m_ThetaHi = kNA;
                x_Hold(m_Pending[j * perJob + k], held);
                m_Rows.push_back(std::move(held));
            }
        };
    RunOrdered<std::vector<SWindowRow>>(m_Pool, jobs, job, merge);
    m_Written += m_Pending.size();
    m_Pending.clear();
    m_PendingSites = 0;
}

void CWindowWriter::x_Hold(const SPending& p, SHeldRow& held) {
    // Blocks in the window: their numbers rise with the sites.
    std::size_t blocks = 0;
    for (std::size_t i = 0; i < p.m_SiteBlocks.size(); ++i) {
        blocks += (i == 0 || p.m_SiteBlocks[i] != p.m_SiteBlocks[i - 1]) ? 1 : 0;
    }
    if (std::isnan(held.m_Row.m_Theta)) {
        return;
    }
    ++m_Estimated;
    if (blocks < kMinBootstrapBlocks) {
        return;
    }
    ++m_WithBootstrap;
    // The sites held last belong to the windows held before; the ones this
    // window shares with them (from its first site to the last held) are
    // kept once. (block, position) orders sites as the genome does. Windows
    // come in order of their starts, so the held sites from this window's
    // first on are every site from there to the furthest end held: this
    // window's first ones, or all of them when it ends before (a range
    // nested in another).
    auto before = [](std::uint32_t b1, std::int64_t p1, std::uint32_t b2, std::int64_t p2) {
        return b1 < b2 || (b1 == b2 && p1 < p2);
    };
    std::size_t first = m_Held.size();
    while (first > 0 && !before(m_HeldBlocks[first - 1], m_Held[first - 1].m_Pos, p.m_SiteBlocks[0],
                                p.m_Sites[0].m_Pos)) {
        --first;
    }
    const std::size_t shared = std::min(m_Held.size() - first, p.m_Sites.size());
    m_Held.insert(m_Held.end(), p.m_Sites.begin() + static_cast<std::ptrdiff_t>(shared),
                  p.m_Sites.end());
    m_HeldBlocks.insert(m_HeldBlocks.end(),
                        p.m_SiteBlocks.begin() + static_cast<std::ptrdiff_t>(shared),
                        p.m_SiteBlocks.end());
    held.m_First = first;
    held.m_Count = p.m_Sites.size();
    held.m_Refit = true;
}

void CWindowWriter::WriteBootstrap(std::size_t blocks, int replicates, unsigned long seed,
                                   const std::function<void(std::size_t, std::size_t)>& progress) {
    std::vector<std::size_t> refit;
    for (std::size_t i = 0; i < m_Rows.size(); ++i) {
        if (m_Rows[i].m_Refit) {
            refit.push_back(i);
        }
    }
    if (!refit.empty()) {
        const std::vector<std::vector<double>> resamples = DrawResamples(blocks, replicates, seed);
        // A few windows per job: each refits its window once per resample.
        const std::size_t perJob = 4;
        const std::size_t jobs = (refit.size() + perJob - 1) / perJob;
        std::function<std::vector<std::pair<double, double>>(std::size_t)> job =
            [&](std::size_t j) {
                CWindowFitter fitter(m_Site, m_Fit);
                std::vector<std::pair<double, double>> ends;
                const std::size_t last = std::min(refit.size(), (j + 1) * perJob);
                for (std::size_t k = j * perJob; k < last; ++k) {
                    const SHeldRow& h = m_Rows[refit[k]];
                    double lo = kNA, hi = kNA;
                    WindowBootstrapInterval(fitter, m_Held.data() + h.m_First,
                                            m_HeldBlocks.data() + h.m_First, h.m_Count, resamples,
                                            m_Fit.level, lo, hi);
                    ends.emplace_back(lo, hi);
                }
                return ends;
            };
        std::size_t done = 0;
        std::function<void(std::size_t, std::vector<std::pair<double, double>>&)> merge =
            [&](std::size_t j, std::vector<std::pair<double, double>>& ends) {
                for (std::size_t k = 0; k < ends.size(); ++k) {
                    SWindowRow& row = m_Rows[refit[j * perJob + k]].m_Row;
                    row.m_ThetaLo = ends[k].first;
                    row.m_ThetaHi = ends[k].second;
                }
                done += ends.size();
                if (progress) {
                    progress(done, refit.size());
                }
            };
        RunOrdered<std::vector<std::pair<double, double>>>(m_Pool, jobs, job, merge);
    }
    for (const SHeldRow& h : m_Rows) {
        m_Out << FormatWindowRow(h.m_Row);
    }
    m_Rows.clear();
    m_Held.clear();
    m_HeldBlocks.clear();
}
