#include "fst/fst_run.hpp"

#include <gsl/gsl_rng.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/input_error.hpp"
#include "base/warnings.hpp"
#include "common/progress.hpp"
#include "common/safe_output.hpp"
#include "common/table_format.hpp"
#include "common/taskpool.hpp"
#include "common/thread_pool.hpp"
#include "engine/bootstrap.hpp"
#include "fst/joint_fit.hpp"
#include "fst/spectrum_file.hpp"
#include "io/bed.hpp"
#include "io/input_kind.hpp"
#include "io/mpileup_reader.hpp"
#include "pileup/hts_handles.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_sheet.hpp"
#include "pool/pool_sources.hpp"
#include "pool/pool_store.hpp"
#include "spectrum/pool_diversity.hpp"
#include "windows/windows.hpp"

#ifndef QUALFST_VERSION
#define QUALFST_VERSION "unknown"
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Bases per job of the parallel pileup: enough jobs to share out, few
// enough that opening the files per job costs nothing worth measuring.
constexpr std::int64_t kJobBases = 250000;
// Sites per job of pileup text, read on one thread and tabulated on many.
constexpr std::size_t kTextBatch = 4096;
// Convergence of the fits: the data's, and each resample's from the data's
// spectrum (a resample's diversities moved by less than a tenth of their
// spread with tighter refits; see the docs).
constexpr double kFitTolerance = 1e-5;
constexpr double kResampleTolerance = 1e-3;

// The pools of the run and where their sites come from.
struct SPools {
    std::vector<SPoolSpec> m_Specs;
    bool m_PileupText = false;
    std::string m_TextPath;
};

SPools ResolvePools(const SFstOptions& o) {
    SPools pools;
    if (!o.m_PoolsSheet.empty()) {
        pools.m_Specs = ReadPoolSheet(o.m_PoolsSheet, kMaxPoolSize);
    } else if (o.m_PoolArgs.size() == 1 && o.m_PoolArgs[0].find(',') == std::string::npos &&
               o.m_PoolArgs[0] != "-" &&
               DetectInputKind(o.m_PoolArgs[0]) == EInputKind::eMpileupText) {
        pools.m_PileupText = true;
        pools.m_TextPath = o.m_PoolArgs[0];
        return pools;  // the columns are counted at the first line
    } else if (o.m_PoolArgs.size() == 1 && o.m_PoolArgs[0] == "-") {
        pools.m_PileupText = true;
        pools.m_TextPath = "-";
        return pools;
    } else {
        if (o.m_PoolArgs.size() < 2) {
            throw CInputError(EInputError::eFormat, SInputWhere{o.m_PoolArgs[0], 0, 0, "", 0},
                              "is one pool: qualfst compares two or more (give each pool's "
                              "files as one argument, lanes joined by commas).");
        }
        for (std::size_t i = 0; i < o.m_PoolArgs.size(); ++i) {
            SPoolSpec spec;
            spec.m_Files = SplitFiles(o.m_PoolArgs[i]);
            if (spec.m_Files.empty()) {
                throw std::runtime_error("The pool argument '" + o.m_PoolArgs[i] +
                                         "' names no file.");
            }
            spec.m_Name = PoolNameOf(spec.m_Files.front());
            spec.m_Size = o.m_PoolSizes.size() == 1 ? o.m_PoolSizes[0] : o.m_PoolSizes[i];
            pools.m_Specs.push_back(std::move(spec));
        }
    }
    for (std::size_t i = 0; i < pools.m_Specs.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (pools.m_Specs[i].m_Name == pools.m_Specs[k].m_Name) {
                throw std::runtime_error("Two pools are named '" + pools.m_Specs[i].m_Name +
                                         "' (after their first files): name them in a --pools "
                                         "sheet.");
            }
        }
        for (const std::string& f : pools.m_Specs[i].m_Files) {
            if (f == "-") {
                throw std::runtime_error(
                    "Alignments cannot be read from standard input: name the files.");
            }
            EInputKind kind;
            try {
                kind = DetectInputKind(f);
            } catch (const CInputError&) {
                throw;
            } catch (const std::runtime_error& e) {
                // The recogniser names the file; the fault is the input's.
                throw CInputError(EInputError::eFormat, SInputWhere{}, e.what());
            }
            if (kind != EInputKind::eAlignment) {
                throw CInputError(EInputError::eFormat, SInputWhere{f, 0, 0, "", 0},
                                  std::string("is ") + InputKindName(kind) +
                                      ", not an alignment file (SAM, BAM, CRAM): a pool is "
                                      "alignment files; pileup text is given alone, with one "
                                      "sample column per pool.");
            }
        }
    }
    return pools;
}

void CheckPairSizes(const std::vector<SPoolSpec>& specs) {
    for (std::size_t a = 0; a < specs.size(); ++a) {
        for (std::size_t b = a + 1; b < specs.size(); ++b) {
            const std::uint64_t cells = std::uint64_t{specs[a].m_Size + 1} * (specs[b].m_Size + 1);
            if (cells > kMaxSpectrumCells) {
                throw std::runtime_error("Pools '" + specs[a].m_Name + "' (" +
                                         std::to_string(specs[a].m_Size) + " chromosomes) and '" +
                                         specs[b].m_Name + "' (" + std::to_string(specs[b].m_Size) +
                                         ") need a joint spectrum of " + std::to_string(cells) +
                                         " cells; at most " + std::to_string(kMaxSpectrumCells) +
                                         " are fitted.");
            }
        }
    }
}

// Sites read and encoded by one job, in genome order.
struct SJobSites {
    std::vector<int> m_Contig;
    std::vector<std::int64_t> m_Pos;
    std::vector<std::uint32_t> m_Size;
    std::vector<unsigned char> m_Bytes;
    SPoolEncodeCounts m_Counts;
    std::uint64_t m_Reads = 0;
    std::vector<SPileupSummary> m_Summaries;
};

// The positions that count: in the regions, outside the mask.
class CPositionFilter {
  public:
    CPositionFilter(const CBedFile* regions, const CBedFile* mask)
        : m_Regions(regions), m_Mask(mask) {}
    bool Keep(int contig, const std::string& name, std::int64_t pos) {
        if (!m_Regions && !m_Mask) {
            return true;
        }
        if (contig != m_Contig) {
            m_Contig = contig;
            m_In.Reset(m_Regions ? m_Regions->Intervals(name) : nullptr);
            m_Out.Reset(m_Mask ? m_Mask->Intervals(name) : nullptr);
        }
        return (!m_Regions || m_In.Contains(pos)) && !(m_Mask && m_Out.Contains(pos));
    }

  private:
    const CBedFile* m_Regions;
    const CBedFile* m_Mask;
    int m_Contig = -1;
    CBedCursor m_In, m_Out;
};

// Encodes a site into job; false when fewer than two pools count.
bool EncodeSite(CPoolEncoder& encoder, const SPoolSite& site, SJobSites& job) {
    const std::size_t before = job.m_Bytes.size();
    std::uint64_t reads = 0;
    if (encoder.Encode(site, job.m_Bytes, job.m_Counts, reads) < 2) {
        job.m_Bytes.resize(before);
        return false;
    }
    job.m_Contig.push_back(site.m_Contig);
    job.m_Pos.push_back(site.m_Pos);
    job.m_Size.push_back(static_cast<std::uint32_t>(job.m_Bytes.size() - before));
    job.m_Reads += reads;
    return true;
}

bool HasIndex(const std::string& path) {
    CHtsStderrFilter filter;
    CQuietHts quiet;
    THtsFile fp(hts_open(path.c_str(), "r"));
    if (!fp) {
        return false;
    }
    TIndex idx(sam_index_load(fp.get(), path.c_str()));
    return idx != nullptr;
}

// Where a contig's windows lie: [beg, end), end -1 while unknown.
struct SContigRange {
    bool m_Windows = true;
    std::int64_t m_Beg = 0, m_End = -1;
};

// A site's posterior diversities, as the window stream carries them.
struct SPostSite {
    std::int64_t m_Pos;
    double m_Within1, m_Within2, m_Between;
};

struct SWindowSums {
    int m_Contig;
    std::int64_t m_Start, m_End;
    std::uint64_t m_Sites = 0;
    double m_Within1 = 0, m_Within2 = 0, m_Between = 0;
};

// The windows of one pair, filled from its sites' posteriors in genome
// order; every contig with a known range gets its windows, sites or not.
class CPairWindows {
  public:
    // lastStored[c]: the last position stored on contig c (-1: none), which
    // ends the windows of a contig whose length is unknown.
    CPairWindows(std::int64_t size, std::int64_t step, const std::vector<SContigRange>& ranges,
                 const std::vector<std::int64_t>& lastStored)
        : m_Ranges(ranges),
          m_LastStored(lastStored),
          m_Stream(size, step, [this](const SWindowSpan<SPostSite>& w) {
              SWindowSums s;
              s.m_Contig = w.m_Contig;
              s.m_Start = w.m_Start;
              s.m_End = w.m_End;
              for (std::size_t i = 0; i < w.m_Count; ++i) {
                  ++s.m_Sites;
                  s.m_Within1 += w.m_First[i].m_Within1;
                  s.m_Within2 += w.m_First[i].m_Within2;
                  s.m_Between += w.m_First[i].m_Between;
              }
              m_Ready.push_back(s);
          }) {}

    // Windows up to contig (exclusive) closed; then sites of contig follow.
    void Enter(int contig) {
        if (contig == m_Current) {
            return;
        }
        x_Close();
        for (int c = m_Current + 1; c < contig; ++c) {
            x_Empty(c);
        }
        m_Current = contig;
        const SContigRange& r = m_Ranges[static_cast<std::size_t>(contig)];
        m_Stream.BeginContig(contig, r.m_Beg, r.m_End);
    }
    void Add(int contig, std::int64_t pos, double w1, double w2, double b) {
        Enter(contig);
        m_Stream.AddSite(SPostSite{pos, w1, w2, b});
    }
    // Closes the current contig and gives every later contig with a known
    // range its windows.
    void Finish() {
        x_Close();
        for (int c = m_Current + 1; c < static_cast<int>(m_Ranges.size()); ++c) {
            x_Empty(c);
        }
        m_Current = static_cast<int>(m_Ranges.size());
    }

    std::deque<SWindowSums> m_Ready;

  private:
    void x_Close() {
        if (m_Current >= 0 && m_Current < static_cast<int>(m_Ranges.size())) {
            const std::size_t c = static_cast<std::size_t>(m_Current);
            m_Stream.EndContig(c < m_LastStored.size() ? m_LastStored[c] + 1 : 0);
        }
    }
    void x_Empty(int c) {
        const SContigRange& r = m_Ranges[static_cast<std::size_t>(c)];
        if (!r.m_Windows || r.m_End <= r.m_Beg) {
            return;
        }
        m_Stream.BeginContig(c, r.m_Beg, r.m_End);
        m_Stream.EndContig();
    }

    const std::vector<SContigRange>& m_Ranges;
    const std::vector<std::int64_t>& m_LastStored;
    CWindowStream<SPostSite> m_Stream;
    int m_Current = -1;
};

std::string WindowRow(const std::string& contig, const SWindowSums& w, const std::string& pool1,
                      const std::string& pool2) {
    const double n = static_cast<double>(w.m_Sites);
    const double pi1 = w.m_Sites ? w.m_Within1 / n : kNaN;
    const double pi2 = w.m_Sites ? w.m_Within2 / n : kNaN;
    const double dxy = w.m_Sites ? w.m_Between / n : kNaN;
    return contig + '\t' + std::to_string(w.m_Start) + '\t' + std::to_string(w.m_End) + '\t' +
           pool1 + '\t' + pool2 + '\t' + std::to_string(w.m_Sites) + '\t' + FormatNumber(pi1) +
           '\t' + FormatNumber(pi2) + '\t' + FormatNumber(dxy) + '\t' +
           FormatNumber(w.m_Sites ? HudsonFst(pi1, pi2, dxy) : kNaN) + '\n';
}

struct SPair {
    std::size_t a, b;
};

}  // namespace

std::string FstTableHeader() {
    return "pool1\tpool2\tsites\tpi1\tpi2\tdxy\tdxy_lo\tdxy_hi\tfst\tfst_lo\tfst_hi\n";
}

std::string FstWindowsHeader() {
    return "contig\tstart\tend\tpool1\tpool2\tsites\tpi1\tpi2\tdxy\tfst\n";
}

SFstSummary RunQualFst(const SFstOptions& opts, std::ostream& out, std::ostream* progress,
                       CProgressLine::EStyle style) {
    SFstSummary summary;
    const SPileupOptions& filters = opts.m_Pileup;
    const bool folded = filters.m_Reference.empty();

    // Everything that can be checked before reading: intervals, pools.
    std::unique_ptr<CBedFile> regions, mask;
    if (!opts.m_RegionsFile.empty()) {
        regions = std::make_unique<CBedFile>(opts.m_RegionsFile);
    }
    if (!opts.m_MaskFile.empty()) {
        mask = std::make_unique<CBedFile>(opts.m_MaskFile);
    }
    SPools pools = ResolvePools(opts);
    std::vector<std::string> inputs;
    for (const SPoolSpec& s : pools.m_Specs) {
        inputs.insert(inputs.end(), s.m_Files.begin(), s.m_Files.end());
    }
    if (pools.m_PileupText) {
        inputs.push_back(pools.m_TextPath);
    }
    for (const std::string* in :
         {&opts.m_PoolsSheet, &opts.m_RegionsFile, &opts.m_MaskFile, &filters.m_Reference}) {
        if (!in->empty()) {
            inputs.push_back(*in);
        }
    }

    const TThreadPool threads = StartThreadPool(opts.m_Threads);
    hts_tpool* pool = threads.get();
    htsThreadPool htsPool{pool, 0};
    CProgressLine bar(progress, "qualfst", 1, style);

    // The outputs are checked now and written at the end.
    std::vector<std::pair<std::string, std::string>> outputNames = {
        {"the table", opts.m_WindowsOnly ? std::string() : opts.m_Output},
        {"the windows file", opts.m_WindowsOutput}};
    auto checkOutputs = [&](const std::vector<std::string>& names) {
        auto all = outputNames;
        if (!opts.m_Sfs.empty()) {
            for (std::size_t a = 0; a < names.size(); ++a) {
                for (std::size_t b = a + 1; b < names.size(); ++b) {
                    all.emplace_back("a spectrum file",
                                     SpectrumFileName(opts.m_Sfs, names[a], names[b]));
                }
            }
        }
        CheckOutputsDistinct(all, inputs);
    };

    std::vector<std::string> contigNames;
    std::vector<SContigRange> ranges;
    std::vector<std::int64_t> lastStored;  // per contig: last stored position, -1 none
    std::vector<SPileupSummary> pileupSummaries;
    SPoolEncodeCounts counts;
    std::unique_ptr<CPoolStore> store;
    std::vector<SPair> pairs;
    std::vector<std::string>& names = summary.m_Names;

    // The consumer of the sites read, in genome order: the store, or with
    // --windows-only the windows of each chunk at once.
    std::vector<std::unique_ptr<CPairWindows>> windows;
    std::vector<SJointSpectrum> priors;
    std::unique_ptr<COutputTarget> windowsFile;
    int lastContig = -1;
    auto writeReadyWindows = [&]() {
        for (;;) {
            for (const auto& w : windows) {
                if (w->m_Ready.empty()) {
                    return;
                }
            }
            for (std::size_t p = 0; p < windows.size(); ++p) {
                const SWindowSums w = windows[p]->m_Ready.front();
                windows[p]->m_Ready.pop_front();
                windowsFile->Stream()
                    << WindowRow(contigNames[static_cast<std::size_t>(w.m_Contig)], w,
                                 names[pairs[p].a], names[pairs[p].b]);
                if (p == 0) {
                    ++summary.m_Windows;
                }
            }
        }
    };
    // Posterior windows of the sites of store (all of them, or one chunk's).
    auto windowPass = [&](const CPoolStore& sites, const std::vector<SJointSpectrum>& spectra,
                          const std::vector<std::unique_ptr<CPairModel>>* models) {
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            std::unique_ptr<CPairModel> own;
            const CPairModel* model = models ? (*models)[p].get() : nullptr;
            if (!model) {
                own = std::make_unique<CPairModel>(sites, pairs[p].a, pairs[p].b,
                                                   pools.m_Specs[pairs[p].a].m_Size,
                                                   pools.m_Specs[pairs[p].b].m_Size, folded);
                model = own.get();
                summary.m_PairSites[p] += model->Sites();
            }
            CPairWindows& w = *windows[p];
            model->Posterior(spectra[p], pool,
                             [&](int contig, std::int64_t pos, double w1, double w2, double b) {
                                 w.Add(contig, pos, w1, w2, b);
                             });
        }
        writeReadyWindows();
    };

    auto setupPools = [&]() {
        for (const SPoolSpec& s : pools.m_Specs) {
            names.push_back(s.m_Name);
        }
        CheckPairSizes(pools.m_Specs);
        checkOutputs(names);
        for (std::size_t a = 0; a < names.size(); ++a) {
            for (std::size_t b = a + 1; b < names.size(); ++b) {
                pairs.push_back(SPair{a, b});
            }
        }
        summary.m_PairSites.assign(pairs.size(), 0);
        if (!opts.m_Prior.empty()) {
            for (const SPair& p : pairs) {
                priors.push_back(
                    ReadSpectrum(SpectrumFileName(opts.m_Prior, names[p.a], names[p.b]),
                                 pools.m_Specs[p.a].m_Size, pools.m_Specs[p.b].m_Size, folded));
            }
        }
        if (opts.m_WindowSize > 0) {
            windowsFile = std::make_unique<COutputTarget>(opts.m_WindowsOutput, out);
            windowsFile->Stream() << FstWindowsHeader();
            for (std::size_t p = 0; p < pairs.size(); ++p) {
                windows.push_back(std::make_unique<CPairWindows>(
                    opts.m_WindowSize, opts.m_WindowStep, ranges, lastStored));
            }
        }
        if (!opts.m_WindowsOnly) {
            store = std::make_unique<CPoolStore>(names.size());
        }
    };

    // Takes a job's sites in order.
    auto consume = [&](SJobSites& job) {
        std::unique_ptr<CPoolStore> chunk;
        CPoolStore* to = store.get();
        if (!to) {
            chunk = std::make_unique<CPoolStore>(names.size());
            to = chunk.get();
        }
        std::size_t offset = 0;
        for (std::size_t i = 0; i < job.m_Pos.size(); ++i) {
            const int contig = job.m_Contig[i];
            if (contig != lastContig) {
                lastContig = contig;
                ++summary.m_Contigs;
            }
            if (lastStored.size() <= static_cast<std::size_t>(contig)) {
                lastStored.resize(static_cast<std::size_t>(contig) + 1, -1);
            }
            lastStored[static_cast<std::size_t>(contig)] = job.m_Pos[i];
            to->Append(contig, job.m_Pos[i], &job.m_Bytes[offset], job.m_Size[i]);
            offset += job.m_Size[i];
        }
        summary.m_Sites += job.m_Pos.size();
        summary.m_Reads += job.m_Reads;
        counts.m_BelowMinDepth += job.m_Counts.m_BelowMinDepth;
        counts.m_AboveMaxDepth += job.m_Counts.m_AboveMaxDepth;
        for (std::size_t i = 0; i < job.m_Summaries.size(); ++i) {
            if (pileupSummaries.size() <= i) {
                pileupSummaries.resize(i + 1);
            }
            AddCounts(pileupSummaries[i], job.m_Summaries[i]);
        }
        if (chunk) {
            chunk->Finish();
            while (ranges.size() < contigNames.size()) {
                ranges.push_back(SContigRange{});
            }
            windowPass(*chunk, priors, nullptr);
        }
        if (!job.m_Pos.empty()) {
            bar.Tick(contigNames[static_cast<std::size_t>(job.m_Contig.back())], job.m_Pos.back());
        }
    };

    if (!pools.m_PileupText) {
        summary.m_InputKind = "alignments";
        std::vector<std::vector<std::string>> files;
        for (const SPoolSpec& s : pools.m_Specs) {
            files.push_back(s.m_Files);
        }
        const SPoolContigs contigs = CheckPoolReferences(files, filters.m_Reference);
        contigNames = contigs.m_Names;
        for (const CBedFile* bed : {regions.get(), mask.get()}) {
            if (bed) {
                bed->CheckContigs(contigNames, "the alignments' header does not name");
            }
        }
        // The jobs: pieces of every contig (or of the region), or one job
        // over everything when a file has no index.
        struct SJob {
            int tid;
            std::int64_t beg, end;
        };
        std::vector<SJob> jobs;
        bool indexed = true;
        for (const auto& f : files) {
            for (const std::string& path : f) {
                indexed = indexed && HasIndex(path);
            }
        }
        ranges.assign(contigNames.size(), SContigRange{});
        for (std::size_t c = 0; c < contigNames.size(); ++c) {
            ranges[c].m_End = contigs.m_Lengths[c];
        }
        if (!filters.m_Region.empty()) {
            std::vector<SPileupSummary> unused;
            CAlignmentPools probe(files, filters, filters.m_Region, unused, nullptr);
            int tid = -1;
            std::int64_t beg = 0, end = 0;
            probe.Region(tid, beg, end);
            for (std::size_t c = 0; c < ranges.size(); ++c) {
                ranges[c].m_Windows = static_cast<int>(c) == tid;
                ranges[c].m_Beg = beg;
                ranges[c].m_End = end;
            }
            for (std::int64_t at = beg; at < end; at += kJobBases) {
                jobs.push_back(SJob{tid, at, std::min(end, at + kJobBases)});
            }
        } else if (indexed) {
            for (std::size_t c = 0; c < contigNames.size(); ++c) {
                for (std::int64_t at = 0; at < contigs.m_Lengths[c]; at += kJobBases) {
                    jobs.push_back(SJob{static_cast<int>(c), at,
                                        std::min(contigs.m_Lengths[c], at + kJobBases)});
                }
            }
        }
        setupPools();
        const std::size_t nPools = names.size();
        if (jobs.empty() && filters.m_Region.empty()) {
            // A file without an index: one pass over everything on this
            // thread (the pool decompresses), taken in batches.
            SJobSites batch;
            std::vector<SPileupSummary> summaries;
            CAlignmentPools source(files, filters, "", summaries, pool ? &htsPool : nullptr);
            CPoolEncoder encoder(nPools, filters.m_MinDepth, filters.m_MaxDepth, !folded);
            CPositionFilter keep(regions.get(), mask.get());
            SPoolSite site;
            while (source.Next(site)) {
                if (keep.Keep(site.m_Contig, contigNames[static_cast<std::size_t>(site.m_Contig)],
                              site.m_Pos) &&
                    EncodeSite(encoder, site, batch) && batch.m_Pos.size() >= kTextBatch * 16) {
                    consume(batch);
                    batch = SJobSites();
                }
            }
            batch.m_Summaries = summaries;
            consume(batch);
        }
        std::function<SJobSites(std::size_t)> job = [&](std::size_t j) {
            const SJob& range = jobs[j];
            SJobSites result;
            std::string region;
            if (range.tid >= 0) {
                region = "{" + contigNames[static_cast<std::size_t>(range.tid)] +
                         "}:" + std::to_string(range.beg + 1) + "-" + std::to_string(range.end);
            }
            CAlignmentPools source(files, filters, region, result.m_Summaries, nullptr);
            CPoolEncoder encoder(nPools, filters.m_MinDepth, filters.m_MaxDepth, !folded);
            CPositionFilter keep(regions.get(), mask.get());
            SPoolSite site;
            while (source.Next(site)) {
                if (keep.Keep(site.m_Contig, contigNames[static_cast<std::size_t>(site.m_Contig)],
                              site.m_Pos)) {
                    EncodeSite(encoder, site, result);
                }
            }
            return result;
        };
        std::function<void(std::size_t, SJobSites&)> merge = [&](std::size_t, SJobSites& r) {
            consume(r);
        };
        RunOrdered<SJobSites>(pool, jobs.size(), job, merge);
    } else {
        summary.m_InputKind = "pileup text";
        CInputFile in(pools.m_TextPath);
        if (in.Kind() != EInputKind::eMpileupText) {
            throw CInputError(
                EInputError::eFormat, SInputWhere{pools.m_TextPath, 0, 0, "", 0},
                std::string("is ") + InputKindName(in.Kind()) + ", not samtools mpileup text.");
        }
        const std::string name = in.Name();
        SPileupOptions textFilters = filters;
        textFilters.m_MinDepth = 0;
        textFilters.m_MaxDepth = 0;
        pileupSummaries.resize(1);
        CMpileupReader reader(in.Release(), name, textFilters, pileupSummaries[0]);
        std::vector<SPoolSite> batch;
        bool more = true;
        bool first = true;
        while (more) {
            // Read a group of batches on this thread, tabulate them on all.
            const std::size_t groups = pool ? 4 * opts.m_Threads : 1;
            std::vector<std::vector<SPoolSite>> group(groups);
            std::size_t filled = 0;
            for (; filled < groups && more; ++filled) {
                auto& b = group[filled];
                b.resize(kTextBatch);
                std::size_t n = 0;
                SMpileupSamples samples;
                while (n < kTextBatch) {
                    if (!reader.NextSamples(samples)) {
                        more = false;
                        break;
                    }
                    if (first) {
                        first = false;
                        const std::size_t k = samples.m_Reads.size();
                        if (k < 2) {
                            throw CInputError(EInputError::eFormat,
                                              SInputWhere{pools.m_TextPath, 0, 0, "", 0},
                                              "has one sample column: qualfst compares two or "
                                              "more pools (one column each).");
                        }
                        if (opts.m_PoolSizes.size() != 1 && opts.m_PoolSizes.size() != k) {
                            throw std::runtime_error(
                                "--pool-size gives " + std::to_string(opts.m_PoolSizes.size()) +
                                " sizes, but " + name + " has " + std::to_string(k) +
                                " sample columns (pools): give one size for all, or one per "
                                "column.");
                        }
                        for (std::size_t s = 0; s < k; ++s) {
                            SPoolSpec spec;
                            spec.m_Name =
                                PoolNameOf(pools.m_TextPath == "-" ? std::string("stdin.txt")
                                                                   : pools.m_TextPath) +
                                "." + std::to_string(s + 1);
                            spec.m_Size = opts.m_PoolSizes.size() == 1 ? opts.m_PoolSizes[0]
                                                                       : opts.m_PoolSizes[s];
                            pools.m_Specs.push_back(spec);
                        }
                        setupPools();
                    }
                    SPoolSite& site = b[n++];
                    site.m_Contig = samples.m_Contig;
                    site.m_Pos = samples.m_Pos;
                    site.m_RefBase = samples.m_RefBase;
                    site.m_Reads.swap(samples.m_Reads);
                }
                b.resize(n);
            }
            contigNames = reader.Contigs();
            while (ranges.size() < contigNames.size()) {
                ranges.push_back(SContigRange{});
            }
            if (names.empty()) {
                break;  // no line at all
            }
            const std::size_t nPools = names.size();
            std::function<SJobSites(std::size_t)> job = [&](std::size_t j) {
                SJobSites result;
                CPoolEncoder encoder(nPools, filters.m_MinDepth, filters.m_MaxDepth, !folded);
                CPositionFilter keep(regions.get(), mask.get());
                for (const SPoolSite& site : group[j]) {
                    if (site.m_Reads.size() != nPools) {
                        throw std::runtime_error(
                            name + ": a line has " + std::to_string(site.m_Reads.size()) +
                            " sample columns where the first had " + std::to_string(nPools) + ".");
                    }
                    if (keep.Keep(site.m_Contig,
                                  contigNames[static_cast<std::size_t>(site.m_Contig)],
                                  site.m_Pos)) {
                        EncodeSite(encoder, site, result);
                    }
                }
                return result;
            };
            std::function<void(std::size_t, SJobSites&)> merge = [&](std::size_t, SJobSites& r) {
                consume(r);
            };
            RunOrdered<SJobSites>(pool, filled, job, merge);
        }
        if (names.empty()) {
            throw CInputError(EInputError::eFormat, SInputWhere{pools.m_TextPath, 0, 0, "", 0},
                              "holds no site with a read: nothing to compare.");
        }
        for (const CBedFile* bed : {regions.get(), mask.get()}) {
            if (bed) {
                bed->CheckContigs(contigNames, "does not occur in " + name);
            }
        }
        // Pileup text does not know its contigs' lengths: windows reach the
        // last site stored.
        for (std::size_t c = 0; c < ranges.size(); ++c) {
            ranges[c].m_End = -1;
            ranges[c].m_Windows = c < lastStored.size() && lastStored[c] >= 0;
        }
    }

    // The fits, windows and intervals, pair by pair.
    std::ostringstream table;
    table << FstTableHeader();
    std::vector<std::unique_ptr<CPairModel>> models;
    std::vector<SJointFitResult> fits;
    if (store) {
        store->Finish();
        std::unique_ptr<CSiteBlocks> blocks;
        std::vector<std::vector<double>> weights;
        if (opts.m_Bootstrap) {
            blocks = std::make_unique<CSiteBlocks>(*store, opts.m_BlockSize);
            std::unique_ptr<gsl_rng, void (*)(gsl_rng*)> rng(gsl_rng_alloc(gsl_rng_mt19937),
                                                             gsl_rng_free);
            if (!rng) {
                throw std::runtime_error("Out of memory.");
            }
            gsl_rng_set(rng.get(), opts.m_Seed);
            const std::size_t n = blocks->Blocks();
            if (n > 1) {
                if (n < 20) {
                    Warn("qualfst: only " + std::to_string(n) + " bootstrap blocks of " +
                         std::to_string(opts.m_BlockSize) +
                         " bases hold sites: the intervals are rough; a smaller --block gives "
                         "more.");
                }
                if (opts.m_Replicates < 100) {
                    Warn("qualfst: " + std::to_string(opts.m_Replicates) +
                         " bootstrap resamples give rough interval ends; 200 or more are "
                         "advised.");
                }
                weights.assign(static_cast<std::size_t>(opts.m_Replicates),
                               std::vector<double>(n, 0.0));
                for (auto& w : weights) {
                    for (std::size_t k = 0; k < n; ++k) {
                        w[gsl_rng_uniform_int(rng.get(), static_cast<unsigned long>(n))] += 1.0;
                    }
                }
            }
        }
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const SPair& pr = pairs[p];
            const std::string pairName = names[pr.a] + " and " + names[pr.b];
            bar.Status("fitting " + pairName);
            models.push_back(std::make_unique<CPairModel>(*store, pr.a, pr.b,
                                                          pools.m_Specs[pr.a].m_Size,
                                                          pools.m_Specs[pr.b].m_Size, folded));
            const CPairModel& model = *models.back();
            summary.m_PairSites[p] = model.Sites();
            SJointFitResult fit;
            if (!priors.empty()) {
                fit = model.Evaluate(priors[p], pool);
            } else {
                SJointFitOptions fo;
                fo.tolerance = kFitTolerance;
                fit = model.Fit(fo, pool);
                if (!fit.converged && model.Sites() > 0) {
                    Warn("qualfst: the fit of " + pairName + " stopped after " +
                         std::to_string(fit.passes) +
                         " passes before its diversities settled to 1e-5 of their values.");
                }
            }
            summary.m_Passes += static_cast<std::uint64_t>(fit.passes);
            double dxyLo = kNaN, dxyHi = kNaN, fstLo = kNaN, fstHi = kNaN;
            if (!weights.empty() && model.Sites() > 0) {
                std::vector<double> dxy, fst;
                for (std::size_t r = 0; r < weights.size(); ++r) {
                    bar.Status("resampling " + pairName + ", " + std::to_string(r + 1) + " of " +
                               std::to_string(weights.size()));
                    SJointFitOptions fo;
                    fo.tolerance = kResampleTolerance;
                    const SJointFitResult rep =
                        model.Fit(fo, pool, &fit.spectrum, blocks.get(), &weights[r]);
                    summary.m_Passes += static_cast<std::uint64_t>(rep.passes);
                    if (rep.weight > 0) {
                        dxy.push_back(rep.values.dxy);
                        if (!std::isnan(rep.values.fst)) {
                            fst.push_back(rep.values.fst);
                        }
                    }
                }
                const double lo = 0.5 * (1.0 - opts.m_Level), hi = 0.5 * (1.0 + opts.m_Level);
                std::sort(dxy.begin(), dxy.end());
                std::sort(fst.begin(), fst.end());
                if (!dxy.empty()) {
                    dxyLo = Quantile(dxy, lo);
                    dxyHi = Quantile(dxy, hi);
                }
                if (!fst.empty()) {
                    fstLo = Quantile(fst, lo);
                    fstHi = Quantile(fst, hi);
                }
            }
            const bool any = model.Sites() > 0;
            const SPairValues& v = fit.values;
            table << names[pr.a] << '\t' << names[pr.b] << '\t' << model.Sites() << '\t'
                  << FormatNumber(any ? v.pi1 : kNaN) << '\t' << FormatNumber(any ? v.pi2 : kNaN)
                  << '\t' << FormatNumber(any ? v.dxy : kNaN) << '\t' << FormatNumber(dxyLo) << '\t'
                  << FormatNumber(dxyHi) << '\t' << FormatNumber(any ? v.fst : kNaN) << '\t'
                  << FormatNumber(fstLo) << '\t' << FormatNumber(fstHi) << '\n';
            fits.push_back(std::move(fit));
        }
        if (!windows.empty()) {
            std::vector<SJointSpectrum> spectra;
            for (const SJointFitResult& f : fits) {
                spectra.push_back(f.spectrum);
            }
            bar.Status("windows");
            windowPass(*store, spectra, &models);
        }
    }
    if (!windows.empty()) {
        for (auto& w : windows) {
            w->Finish();
        }
        writeReadyWindows();
    }

    // Every output is complete: write them. The spectra and windows first;
    // a table on standard output is the last word.
    std::vector<std::unique_ptr<CSafeOutputFile>> spectra;
    if (!opts.m_Sfs.empty()) {
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const SPair& pr = pairs[p];
            const std::string path = SpectrumFileName(opts.m_Sfs, names[pr.a], names[pr.b]);
            spectra.push_back(std::make_unique<CSafeOutputFile>(path));
            std::ostream& s = spectra.back()->stream();
            if (!s.good()) {
                throw std::runtime_error("Cannot open '" + path + "' for writing.");
            }
            std::ostringstream comment;
            comment << "qualfst " << QUALFST_VERSION << ": joint spectrum of " << names[pr.a]
                    << " (" << pools.m_Specs[pr.a].m_Size << " chromosomes) and " << names[pr.b]
                    << " (" << pools.m_Specs[pr.b].m_Size
                    << "), the fitted shares times the pair's " << summary.m_PairSites[p]
                    << " sites\n"
                    << (folded ? "folded: no reference, the second allele of a site is the "
                                 "rarer one in the reads"
                               : "unfolded: the reference base is the first allele (take it as "
                                 "ancestral only where it is)");
            WriteSpectrum(s, fits[p].spectrum, fits[p].weight, names[pr.a], names[pr.b],
                          comment.str());
        }
    }
    for (auto& s : spectra) {
        s->Commit();
    }
    if (windowsFile) {
        windowsFile->Commit();
    }
    if (store) {
        COutputTarget tableFile(opts.m_Output, out);
        tableFile.Stream() << table.str();
        tableFile.Commit();
    }
    summary.m_PoolSitesBelowMinDepth = counts.m_BelowMinDepth;
    summary.m_PoolSitesAboveMaxDepth = counts.m_AboveMaxDepth;
    return summary;
}

std::string FormatFstSummary(const SFstSummary& s, const SFstOptions& opts) {
    std::ostringstream os;
    os << "qualfst: " << s.m_Names.size() << " pools, " << s.m_Sites << " sites with " << s.m_Reads
       << " reads from " << s.m_InputKind << " on " << s.m_Contigs
       << (s.m_Contigs == 1 ? " contig" : " contigs");
    std::size_t p = 0;
    for (std::size_t a = 0; a < s.m_Names.size(); ++a) {
        for (std::size_t b = a + 1; b < s.m_Names.size() && p < s.m_PairSites.size(); ++b, ++p) {
            os << (p == 0 ? "; sites per pair: " : ", ") << s.m_Names[a] << '/' << s.m_Names[b]
               << ' ' << s.m_PairSites[p];
        }
    }
    if (s.m_PoolSitesBelowMinDepth + s.m_PoolSitesAboveMaxDepth > 0) {
        os << "; left out for depth: " << s.m_PoolSitesBelowMinDepth << " pool-sites below -d, "
           << s.m_PoolSitesAboveMaxDepth << " above -D";
    }
    if (s.m_Passes > 0) {
        os << "; " << s.m_Passes << " passes over the sites";
    }
    if (opts.m_WindowSize > 0) {
        os << "; " << s.m_Windows << " windows of " << opts.m_WindowSize << " bases (step "
           << opts.m_WindowStep << ") written to '" << opts.m_WindowsOutput << "'";
    }
    return os.str();
}
