#include "scan/scan_run.hpp"

#include <htslib/thread_pool.h>

#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/input_error.hpp"
#include "base/warnings.hpp"
#include "common/progress.hpp"
#include "common/safe_output.hpp"
#include "engine/batch_tabulator.hpp"
#include "engine/bootstrap.hpp"
#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "engine/taskpool.hpp"
#include "io/alignment_source.hpp"
#include "io/input_kind.hpp"
#include "io/mpileup_reader.hpp"
#include "io/site_filter.hpp"
#include "io/xml_reader.hpp"
#include "pileup/pileup_summary.hpp"
#include "scan/scan_report.hpp"
#include "sitefile/site_file.hpp"
#include "windows/windows.hpp"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

struct SPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

// The contigs of a run: names and, where known, lengths. The names are the
// run's own (an alignments' header, a data set's --contig) or a reader's,
// which grows as its input names new contigs; never copied per batch.
struct SContigs {
    SContigs() = default;
    SContigs(const SContigs&) = delete;
    SContigs& operator=(const SContigs&) = delete;

    std::vector<std::string> m_Own;
    const std::vector<std::string>* m_Names = &m_Own;
    std::vector<std::int64_t> m_Lengths;  // of the first contigs; the others unknown
    // -r: only this contig and range get windows.
    int m_RegionTid = -1;
    std::int64_t m_RegionBeg = 0, m_RegionEnd = -1;

    std::size_t Count() const { return m_Names->size(); }
    const std::string& Name(int c) const { return (*m_Names)[static_cast<std::size_t>(c)]; }
    // -1: unknown.
    std::int64_t Length(int c) const {
        return static_cast<std::size_t>(c) < m_Lengths.size()
                   ? m_Lengths[static_cast<std::size_t>(c)]
                   : -1;
    }
};

// Windows: streamed over the encoded sites, fitted in parallel in groups,
// written in order.
class CWindowWriter {
  public:
    // input names the input in messages. Without coveredKnown (summary
    // files) the windows of a contig of unknown length are those with sites.
    CWindowWriter(const SScanOptions& opts, const SSiteOptions& site, const SFitOptions& fit,
                  hts_tpool* pool, std::ostream& out, const SContigs& contigs,
                  CCoverageRuns& covered, bool coveredKnown, const std::string& input)
        : m_Covered(covered),
          m_CoveredKnown(coveredKnown),
          m_Site(site),
          m_Fit(fit),
          m_Pool(pool),
          m_Out(out),
          m_Contigs(contigs),
          m_Input(input),
          m_Stream(
              opts.m_WindowSize, opts.m_WindowStep,
              [this](const SWindowSpan<SWindowSite>& w) { x_Collect(w); },
              coveredKnown
                  ? CWindowStream<SWindowSite>::TOccupied([this](int contig, std::int64_t from) {
                        return m_Covered.NextCovered(contig, from);
                    })
                  : nullptr) {
        m_Out << WindowsHeader();
    }

    // Sites of contig tid follow; every contig before it without sites gets
    // its windows (NA) when its length is known.
    void EnterContig(int tid) {
        x_CloseCurrent();
        const int from = m_Current < 0 ? 0 : m_Current + 1;
        for (int c = from; c < tid; ++c) {
            x_EmptyContig(c);
        }
        m_Current = tid;
        std::int64_t beg = 0, end = x_Length(tid);
        x_Clip(tid, beg, end);
        m_Stream.BeginContig(tid, beg, end);
    }

    void Add(const SEncodedSite& s) {
        if (!m_Stream.Accepts(s.pos)) {
            // The run checks the contig's end and the order before; a site
            // that still falls outside the windows' range is the input's
            // fault, never a reason to stop on an assertion.
            throw CInputError(EInputError::eRange,
                              SInputWhere{m_Input, 0, 0, m_Contigs.Name(s.contig), s.pos + 1},
                              "the site lies outside the range of the contig's windows.");
        }
        SWindowSite w;
        w.m_Pos = s.pos;
        w.m_A = s.neutralA;
        w.m_B = s.neutralB;
        w.m_LogScale = s.constant;
        w.m_Reads = static_cast<std::uint32_t>(s.reads);
        m_Stream.AddSite(w);
    }

    // Closes the last contig and gives the remaining known contigs their
    // windows.
    void Finish() {
        x_CloseCurrent();
        for (int c = m_Current < 0 ? 0 : m_Current + 1; c < static_cast<int>(m_Contigs.Count());
             ++c) {
            x_EmptyContig(c);
        }
        x_Flush();
    }

    std::uint64_t Count() const { return m_Written; }

  private:
    struct SPending {
        int m_Contig;
        std::int64_t m_Start, m_End;
        std::vector<SWindowSite> m_Sites;
        std::uint64_t m_Covered;
    };
    static constexpr std::size_t kGroup = 256;
    static constexpr std::size_t kGroupSites = 1 << 16;

    std::int64_t x_Length(int tid) const { return m_Contigs.Length(tid); }
    // With a region only its contig has windows, over its range.
    bool x_Clip(int tid, std::int64_t& beg, std::int64_t& end) const {
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
    // Without a known length, a contig's windows are those that hold a
    // covered position (the source has passed the contig when it is closed).
    void x_CloseCurrent() {
        if (m_Current >= 0) {
            m_Stream.EndContig(m_Covered.End(m_Current));
        }
    }
    void x_EmptyContig(int tid) {
        std::int64_t beg = 0, end = x_Length(tid);
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
    void x_Collect(const SWindowSpan<SWindowSite>& w) {
        m_Pending.push_back(SPending{w.m_Contig,
                                     w.m_Start,
                                     w.m_End,
                                     {w.m_First, w.m_First + w.m_Count},
                                     m_Covered.CountAndDrop(w.m_Contig, w.m_Start, w.m_End)});
        m_PendingSites += w.m_Count;
        // Enough windows to keep the threads busy, but never so many sites
        // that the pending copies outgrow a few windows.
        if (m_Pending.size() >= kGroup || m_PendingSites >= kGroupSites) {
            x_Flush();
        }
    }
    void x_Flush() {
        if (m_Pending.empty()) {
            return;
        }
        // Groups of windows per job, each job with its own fitter; rows are
        // written in window order, so the file is the same for any number
        // of threads.
        const std::size_t perJob = 16;
        const std::size_t jobs = (m_Pending.size() + perJob - 1) / perJob;
        std::function<std::string(std::size_t)> job = [&](std::size_t j) {
            CWindowFitter fitter(m_Site, m_Fit);
            std::string text;
            const std::size_t last = std::min(m_Pending.size(), (j + 1) * perJob);
            for (std::size_t i = j * perJob; i < last; ++i) {
                const SPending& p = m_Pending[i];
                SWindowRow row;
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
                if (!p.m_Sites.empty()) {
                    const SWindowEstimate e = fitter.Fit(p.m_Sites.data(), p.m_Sites.size());
                    row.m_Theta = e.theta;
                    row.m_ThetaLo = e.thetaLo;
                    row.m_ThetaHi = e.thetaHi;
                    row.m_LogLik = e.logLik;
                }
                text += FormatWindowRow(row);
            }
            return text;
        };
        std::function<void(std::size_t, std::string&)> merge = [&](std::size_t, std::string& t) {
            m_Out << t;
        };
        RunOrdered<std::string>(m_Pool, jobs, job, merge);
        m_Written += m_Pending.size();
        m_Pending.clear();
        m_PendingSites = 0;
    }

    CCoverageRuns& m_Covered;
    bool m_CoveredKnown;
    SSiteOptions m_Site;
    SFitOptions m_Fit;
    hts_tpool* m_Pool;
    std::ostream& m_Out;
    const SContigs& m_Contigs;
    std::string m_Input;
    CWindowStream<SWindowSite> m_Stream;
    int m_Current = -1;
    std::vector<SPending> m_Pending;
    std::size_t m_PendingSites = 0;
    std::uint64_t m_Written = 0;
};

// --ci bootstrap: the percentile intervals of the block bootstrap replace
// the profile-likelihood ones.
SBootstrapReport ApplyBootstrap(const SScanOptions& opts, const CSiteStore& store,
                                const SFitOptions& fit, hts_tpool* pool, SFitResult& neutral,
                                SFitResult& growth, CProgressLine& bar) {
    if (opts.m_Replicates < 100) {
        Warn("qualscan: " + std::to_string(opts.m_Replicates) +
             " bootstrap resamples give rough interval ends; 200 or more are advised.");
    }
    SBootstrapOptions b;
    b.replicates = opts.m_Replicates;
    b.seed = opts.m_Seed;
    b.growth = opts.m_Models != EScanModels::eNeutral;
    b.progress = [&bar](int done, int total) {
        bar.Status("bootstrap resample " + std::to_string(done) + " of " + std::to_string(total));
    };
    return BootstrapIntervals(store, fit, b, pool, neutral, b.growth ? &growth : nullptr);
}

SModelRow ToRow(const SFitResult& r) {
    SModelRow row;
    row.m_Model = r.model;
    row.m_Theta = r.theta;
    row.m_ThetaLo = r.thetaLo;
    row.m_ThetaHi = r.thetaHi;
    row.m_Growth = r.growth;
    row.m_GrowthLo = r.growthLo;
    row.m_GrowthHi = r.growthHi;
    row.m_LogLik = r.logLik;
    row.m_Lrt = r.lrt;
    row.m_PValue = r.pValue;
    row.m_Sites = r.sites;
    row.m_Reads = r.reads;
    return row;
}

}  // namespace

SScanSummary RunQualScan(const SScanOptions& opts, std::ostream& out, std::ostream* progress,
                         CProgressLine::EStyle progressStyle) {
    SScanSummary summary;
    const SPileupOptions& p = opts.m_Pileup;
    // Outputs that would overwrite each other or an input are refused
    // before anything is read.
    CheckOutputs(opts);

    SSiteOptions siteOptions;
    siteOptions.folded = !opts.m_Unfolded;
    siteOptions.poolSize = static_cast<int>(opts.m_PoolSize);
    siteOptions.blockSize = opts.m_BlockSize;
    // The neutral fit alone needs two numbers per site.
    siteOptions.neutralOnly = opts.m_Models == EScanModels::eNeutral;
    SFitOptions fitOptions;
    fitOptions.level = opts.m_Level;

    std::unique_ptr<hts_tpool, SPoolFree> pool;
    if (opts.m_Threads > 1) {
        pool.reset(hts_tpool_init(static_cast<int>(opts.m_Threads)));
        if (!pool) {
            throw std::runtime_error("Cannot start " + std::to_string(opts.m_Threads) +
                                     " threads.");
        }
    }
    htsThreadPool htsPool{pool.get(), 0};

    // Inputs, recognised by content; the options are checked against their
    // kind before any is read.
    std::vector<CInputFile> inputs = OpenInputs(p.m_Inputs);
    const EInputKind kind = inputs.front().Kind();
    CheckOptionsForInput(opts, kind);
    // The input as the user named it, for the places of input errors.
    const std::string inputPath = p.m_Inputs.front();

    // The intervals next: a bad file should not wait for the input.
    std::unique_ptr<CBedFile> regions, mask;
    if (!opts.m_RegionsFile.empty()) {
        regions = std::make_unique<CBedFile>(opts.m_RegionsFile);
    }
    if (!opts.m_MaskFile.empty()) {
        mask = std::make_unique<CBedFile>(opts.m_MaskFile);
    }
    // The sources deliver every position with reads; the site filter
    // applies the depth limits, so that covered positions count whatever
    // the depth.
    SPileupOptions sourceOptions = p;
    sourceOptions.m_MinDepth = 0;
    sourceOptions.m_MaxDepth = 0;

    SPileupSummary filtered;
    SContigs contigs;
    std::unique_ptr<CSiteSource> source;
    // Pileup text and data sets name their contigs as they come.
    const std::vector<std::string>* streamedContigs = nullptr;
    std::unique_ptr<CSiteFileReader> siteFiles;
    switch (kind) {
        case EInputKind::eXmlDataSet: {
            summary.m_InputKind = "an XML data set";
            CInputFile& in = inputs.front();
            const std::string path = in.Path();
            auto reader = std::make_unique<CXmlSiteReader>(in.Release(), path, !opts.m_Unfolded,
                                                           opts.m_Contig);
            reader->UseThreadPool(pool.get());
            streamedContigs = &reader->Contigs();
            contigs.m_Names = streamedContigs;
            source = std::move(reader);
            break;
        }
        case EInputKind::eMpileupText: {
            summary.m_InputKind = "pileup text";
            CInputFile& in = inputs.front();
            const std::string path = in.Path();
            auto reader = std::make_unique<CMpileupReader>(in.Release(), path, sourceOptions,
                                                           filtered, opts.m_Unfolded);
            reader->UseThreadPool(pool.get());
            streamedContigs = &reader->Contigs();
            contigs.m_Names = streamedContigs;
            source = std::move(reader);
            break;
        }
        case EInputKind::eSiteFile: {
            summary.m_InputKind = "summary files";
            // From the handles already open: standard input is read once.
            std::vector<SSiteFileInput> files;
            for (CInputFile& in : inputs) {
                const std::string path = in.Path();
                files.push_back(SSiteFileInput{in.Release(), path});
            }
            inputs.clear();
            siteFiles = std::make_unique<CSiteFileReader>(std::move(files), siteOptions);
            contigs.m_Names = &siteFiles->Contigs();
            break;
        }
        case EInputKind::eAlignment: {
            summary.m_InputKind = "alignments";
            for (const CInputFile& in : inputs) {
                if (in.Path() == "-") {
                    throw std::runtime_error(
                        "Alignments cannot be read from standard input: name the file (it is "
                        "read by its index for -r, and as a file by htslib).");
                }
            }
            if (opts.m_Unfolded && p.m_Reference.empty()) {
                throw std::runtime_error(
                    "--unfolded takes the reference base as ancestral: alignments need the "
                    "reference FASTA (-f/--reference).");
            }
            inputs.clear();  // the source opens the files itself
            auto alignments = std::make_unique<CAlignmentSiteSource>(sourceOptions, filtered,
                                                                     pool ? &htsPool : nullptr);
            const int n = alignments->NumContigs();
            contigs.m_Own.reserve(static_cast<std::size_t>(n));
            contigs.m_Lengths.reserve(static_cast<std::size_t>(n));
            for (int tid = 0; tid < n; ++tid) {
                contigs.m_Own.push_back(alignments->ContigName(tid));
                contigs.m_Lengths.push_back(alignments->ContigLength(tid));
            }
            alignments->Region(contigs.m_RegionTid, contigs.m_RegionBeg, contigs.m_RegionEnd);
            source = std::move(alignments);
            break;
        }
    }

    // Contigs of the intervals must be contigs of the input; pileup text and
    // data sets name their contigs as they come, so they are checked at
    // their end. (Summary files take no intervals: CheckOptionsForInput
    // refused them.)
    auto checkContigs = [&](const std::string& what) {
        for (const CBedFile* bed : {regions.get(), mask.get()}) {
            if (bed) {
                bed->CheckContigs(*contigs.m_Names, what);
            }
        }
    };
    if (!streamedContigs) {
        checkContigs("the alignments' header does not name");
    }
    std::function<std::string(int)> contigName = [&](int c) { return contigs.Name(c); };
    SSiteFilterOptions filterOptions;
    filterOptions.m_Regions = regions.get();
    filterOptions.m_Mask = mask.get();
    filterOptions.m_MinDepth = p.m_MinDepth;
    filterOptions.m_MaxDepth = p.m_MaxDepth;
    CCoverageRuns covered;
    std::unique_ptr<CSiteFilter> filter;
    if (source) {
        filter = std::make_unique<CSiteFilter>(
            *source, filterOptions, contigName, opts.m_WindowSize > 0 ? &covered : nullptr,
            inputs.empty() ? std::string() : inputs.front().Path());
    }

    COutputTarget table(opts.m_Output, out);
    std::unique_ptr<COutputTarget> windowsFile;
    std::unique_ptr<CWindowWriter> windows;
    if (opts.m_WindowSize > 0) {
        windowsFile = std::make_unique<COutputTarget>(opts.m_WindowsOutput, out);
        windows = std::make_unique<CWindowWriter>(opts, siteOptions, fitOptions, pool.get(),
                                                  windowsFile->Stream(), contigs, covered,
                                                  siteFiles == nullptr, inputPath);
    }
    std::unique_ptr<CSiteStore> store;
    if (!opts.m_WindowsOnly) {
        store = std::make_unique<CSiteStore>(siteOptions);
    }

    std::unique_ptr<CSiteFileWriter> saveSites;
    if (!opts.m_SaveSites.empty()) {
        // Sites from summary files keep the filters those files record.
        SSiteFileSettings settings = RunSettings(opts, summary.m_InputKind);
        if (siteFiles) {
            settings = SavedAgain(siteFiles->Settings(), opts, p.m_Inputs.size());
        }
        saveSites = std::make_unique<CSiteFileWriter>(opts.m_SaveSites, settings);
    }

    CProgressLine bar(progress, "qualscan", 1, progressStyle);
    std::unique_ptr<CBatchTabulator> tabulator;
    if (filter) {
        tabulator = std::make_unique<CBatchTabulator>(*filter, !opts.m_Unfolded, pool.get(),
                                                      CBatchTabulator::kDefaultBatch, &siteOptions);
        tabulator->SetInputNames(inputs.empty() ? std::string() : inputs.front().Path(),
                                 contigName);
    }
    SSiteBatch fromFiles;
    int lastContig = -1;
    int checkedContig = -1;
    std::int64_t contigEnd = 0;  // the positions of checkedContig lie below it
    for (;;) {
        const SSiteBatch* next = nullptr;
        if (siteFiles) {
            next = siteFiles->Next(fromFiles) ? &fromFiles : nullptr;
        } else {
            const STabulatedBatch batch = tabulator->NextBatch();
            next = batch.m_Count == 0 ? nullptr : batch.m_Encoded;
        }
        if (!next) {
            break;
        }
        const SSiteBatch& encoded = *next;
        if (encoded.sites.empty()) {
            continue;
        }
        // A site past its contig's end (the header's length, or the last
        // position a window can hold) is refused before anything keeps it.
        for (const SEncodedSite& s : encoded.sites) {
            if (s.contig != checkedContig) {
                checkedContig = s.contig;
                const std::int64_t length = contigs.Length(s.contig);
                contigEnd = length >= 0 ? length : CWindowPolicy::kLast;
            }
            if (s.pos >= contigEnd) {
                throw CInputError(EInputError::eRange,
                                  SInputWhere{inputPath, 0, 0, contigs.Name(s.contig), s.pos + 1},
                                  contigEnd == CWindowPolicy::kLast
                                      ? "the position is past the last one a contig can have."
                                      : "the position is past the contig's end (length " +
                                            std::to_string(contigEnd) + ").");
            }
        }
        if (store) {
            store->Append(encoded);
        }
        if (saveSites) {
            saveSites->Add(encoded, *contigs.m_Names);
        }
        for (const SEncodedSite& s : encoded.sites) {
            if (s.contig != lastContig) {
                lastContig = s.contig;
                ++summary.m_Contigs;
                if (windows) {
                    windows->EnterContig(s.contig);
                }
            }
            if (windows) {
                windows->Add(s);
            }
            ++summary.m_Sites;
            summary.m_Reads += static_cast<std::uint64_t>(s.reads);
        }
        const SEncodedSite& last = encoded.sites.back();
        bar.Tick(contigs.Name(last.contig), last.pos);
    }
    if (streamedContigs) {
        checkContigs("does not occur in " + inputs.front().Name());
    }
    if (windows) {
        windows->Finish();
        summary.m_Windows = windows->Count();
    }
    summary.m_BasesPastEnd = filtered.m_BasesPastEnd;
    if (saveSites) {
        saveSites->Commit();
    }

    if (store) {
        table.Stream() << TableHeader();
        bar.Status("fitting the models");
        SFitResult neutral = FitNeutral(*store, fitOptions, pool.get());
        SFitResult growth;
        if (opts.m_Models != EScanModels::eNeutral) {
            growth = FitGrowth(*store, fitOptions, neutral, pool.get());
        }
        if (opts.m_Bootstrap) {
            const SBootstrapReport report =
                ApplyBootstrap(opts, *store, fitOptions, pool.get(), neutral, growth, bar);
            summary.m_Resamples = report.replicates;
            summary.m_ResamplesNoNeutral = report.noNeutral;
            summary.m_ResamplesNoGrowth = report.noGrowth;
        }
        if (opts.m_Models != EScanModels::eGrowth) {
            table.Stream() << FormatTableRow(ToRow(neutral));
        }
        if (opts.m_Models != EScanModels::eNeutral) {
            table.Stream() << FormatTableRow(ToRow(growth));
        }
    }
    // The windows first: a table on standard output is the last word.
    if (windowsFile) {
        windowsFile->Commit();
    }
    if (store) {
        table.Commit();
    }
    return summary;
}

std::string FormatScanSummary(const SScanSummary& s, const SScanOptions& opts) {
    std::ostringstream os;
    os << "qualscan: " << s.m_Sites << " sites with " << s.m_Reads << " reads from "
       << s.m_InputKind << " on " << s.m_Contigs << (s.m_Contigs == 1 ? " contig" : " contigs");
    if (opts.m_WindowSize > 0) {
        os << "; " << s.m_Windows << " windows of " << opts.m_WindowSize << " bases (step "
           << opts.m_WindowStep << ") written to '" << opts.m_WindowsOutput << "'";
    }
    if (s.m_BasesPastEnd > 0) {
        os << "; " << s.m_BasesPastEnd << (s.m_BasesPastEnd == 1 ? " base" : " bases")
           << " of reads past their contig's end left out";
    }
    if (s.m_Resamples > 0) {
        os << "; " << s.m_Resamples << " bootstrap resamples";
        // The neutral fit runs under the growth one too, so its count
        // matters only where its row is printed.
        const bool neutralRow = opts.m_Models != EScanModels::eGrowth;
        const bool growthRow = opts.m_Models != EScanModels::eNeutral;
        const int noNeutral = neutralRow ? s.m_ResamplesNoNeutral : 0;
        const int noGrowth = growthRow ? s.m_ResamplesNoGrowth : 0;
        if (noNeutral > 0 || noGrowth > 0) {
            os << ", left out of the intervals for want of an estimate:";
            if (neutralRow) {
                os << ' ' << noNeutral << " of the neutral theta";
            }
            if (growthRow) {
                os << (neutralRow ? ", " : " ") << noGrowth << " of the growth rate";
            }
        }
    }
    return os.str();
}
