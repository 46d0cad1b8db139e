#include "scan/scan_run.hpp"

#include <htslib/thread_pool.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/input_error.hpp"
#include "base/qt_assert.hpp"
#include "base/warnings.hpp"
#include "common/progress.hpp"
#include "common/safe_output.hpp"
#include "common/taskpool.hpp"
#include "common/thread_pool.hpp"
#include "engine/batch_tabulator.hpp"
#include "engine/bootstrap.hpp"
#include "engine/fit.hpp"
#include "engine/sitestore.hpp"
#include "engine/surface.hpp"
#include "io/alignment_source.hpp"
#include "io/input_kind.hpp"
#include "io/mpileup_reader.hpp"
#include "io/site_filter.hpp"
#include "io/xml_reader.hpp"
#include "pileup/hts_handles.hpp"
#include "pileup/pileup_summary.hpp"
#include "scan/scan_report.hpp"
#include "scan/scan_samples.hpp"
#include "scan/scan_windows.hpp"
#include "sitefile/site_file.hpp"
#include "windows/windows.hpp"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

// Text kept aside until it can be appended in its place (the windows of
// every sample after the first, which follow the first sample's), in a
// temporary file that is gone however the run ends.
class CScratchText {
  public:
    explicit CScratchText(const std::string& what) : m_What(what) {
        const char* dir = std::getenv("TMPDIR");
        const std::string folder = dir && *dir ? dir : "/tmp";
        std::string name = folder + "/qualscan.XXXXXX";
        errno = 0;
        const int fd = ::mkstemp(&name[0]);
        if (fd < 0) {
            throw std::runtime_error("Cannot make a temporary file for " + what + " in '" + folder +
                                     "': " + std::strerror(errno) + ".");
        }
        ::close(fd);
        m_Stream.open(name, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
        ::unlink(name.c_str());
        if (!m_Stream) {
            throw std::runtime_error("Cannot open the temporary file for " + what + " in '" +
                                     folder + "'.");
        }
    }
    std::ostream& Stream() { return m_Stream; }
    void AppendTo(std::ostream& out) {
        errno = 0;
        m_Stream.flush();
        if (!m_Stream) {
            throw std::runtime_error(WriteFailure("the temporary file for " + m_What, errno));
        }
        m_Stream.seekg(0);
        char buffer[1 << 16];
        while (m_Stream.read(buffer, sizeof buffer) || m_Stream.gcount() > 0) {
            out.write(buffer, m_Stream.gcount());
        }
    }

  private:
    std::string m_What;
    std::fstream m_Stream;
};

// One sample's way from its sites to its rows: its own filter (depth limits
// per sample), tables and records (its pool size), store, windows and
// summary file. A run of one sample, or of samples pooled, has one.
struct SLane {
    std::string m_Column;  // the sample column; empty without --per-sample
    std::string m_Sample;  // the sample's name as a summary file records it
    SSiteOptions m_Site;
    const SContigs* m_Contigs = nullptr;
    CSiteSource* m_Source = nullptr;  // the input itself, or the sample's queue
    CCoverageRuns m_Covered;
    std::unique_ptr<CSiteFilter> m_Filter;
    std::unique_ptr<CBatchTabulator> m_Tabulator;
    std::unique_ptr<CSiteFileReader> m_Files;  // summary files: the sample's
    SContigs m_FileContigs;                    // ... and their contigs
    std::unique_ptr<CSiteStore> m_Store;
    std::unique_ptr<CScratchText> m_Scratch;
    std::unique_ptr<CWindowWriter> m_Windows;
    std::string m_SavePath;
    std::unique_ptr<CSiteFileWriter> m_Save;
    std::uint64_t m_Sites = 0, m_Reads = 0;
    std::vector<char> m_Seen;  // contigs with sites
    int m_LastContig = -1;
    int m_CheckedContig = -1;
    std::int64_t m_ContigEnd = 0;  // the positions of m_CheckedContig lie below it
};

// --ci bootstrap: the percentile intervals of the block bootstrap replace
// the profile-likelihood ones.
SBootstrapReport ApplyBootstrap(const SScanOptions& opts, const CSiteStore& store,
                                const SFitOptions& fit, hts_tpool* pool, SFitResult& neutral,
                                SFitResult& growth, CProgressLine& bar, const std::string& sample) {
    SBootstrapOptions b;
    b.replicates = opts.m_Replicates;
    b.seed = opts.m_Seed;
    b.growth = opts.m_Models != EScanModels::eNeutral;
    const std::string of = sample.empty() ? std::string() : " of " + sample;
    b.progress = [&bar, &of](int done, int total) {
        bar.Status("bootstrap resample " + std::to_string(done) + " of " + std::to_string(total) +
                   of);
    };
    return BootstrapIntervals(store, fit, b, pool, neutral, b.growth ? &growth : nullptr);
}

SModelRow ToRow(const SFitResult& r, const std::string& sample) {
    SModelRow row;
    row.m_Sample = sample;
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

// 'a', 'b', 'c' (at most a dozen, then how many more).
std::string QuotedList(const std::vector<std::string>& names) {
    std::string list;
    const std::size_t shown = std::min<std::size_t>(names.size(), 12);
    for (std::size_t i = 0; i < shown; ++i) {
        list += (i ? ", '" : "'") + names[i] + "'";
    }
    if (names.size() > shown) {
        list += " and " + std::to_string(names.size() - shown) + " more";
    }
    return list;
}

// The summary file of one sample: path with the sample's name before the
// first dot of the file's name ("out/a.sites.gz" -> "out/a.NAME.sites.gz"),
// every character of the name that is not a letter, a digit, '-', '_' or
// '.' written as '_'.
std::string SampleFilePath(const std::string& path, const std::string& sample) {
    std::string safe = sample;
    for (char& c : safe) {
        const bool plain =
            std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
        c = plain ? c : '_';
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find('.', base + 1);
    if (dot == std::string::npos) {
        return path + "." + safe;
    }
    return path.substr(0, dot) + "." + safe + path.substr(dot);
}

// The pool sizes given against the samples: one for all, or one each.
void CheckPoolSizes(const SScanOptions& opts, const std::vector<std::string>& samples) {
    const std::size_t given = opts.m_PoolSizes.size();
    if (given <= 1 || given == samples.size()) {
        return;
    }
    if (samples.size() == 1) {
        throw std::runtime_error("--pool-size gives " + std::to_string(given) +
                                 " sizes, but the run estimates a single sample: give one size.");
    }
    throw std::runtime_error("--pool-size gives " + std::to_string(given) + " sizes for " +
                             std::to_string(samples.size()) + " samples (" + QuotedList(samples) +
                             "): give one size for all, or one per sample.");
}

// The surface's grid: fine enough for smooth contours, a pass over the
// sites per growth rate.
constexpr int kSurfaceThetas = 81;
constexpr int kSurfaceGrowths = 41;

// One sample's surface: its comment line, which names the estimate, the
// neutral fit and the contour of the profile region at level, and its
// rows: theta, growth rate and log-likelihood per point, growth rates in
// the outer loop. Every sample's comment line comes before the header.
struct SSurfaceText {
    std::string m_Comment, m_Rows;
};

SSurfaceText FormatSurface(const std::string& sample, double level, const SFitResult& neutral,
                           const SFitResult& growth, const SSurfaceGrid& grid,
                           const std::vector<double>& logLik) {
    SSurfaceText t;
    t.m_Comment =
        "#surface\t" + (sample.empty() ? std::string() : "sample=" + sample + "\t") +
        "theta=" + FormatNumber(growth.theta) + "\tgrowth=" + FormatNumber(growth.growth) +
        "\tloglik=" + FormatNumber(growth.logLik) +
        "\tneutral_theta=" + FormatNumber(neutral.theta) +
        "\tneutral_loglik=" + FormatNumber(neutral.logLik) + "\tlevel=" + FormatNumber(level) +
        "\tcontour=" + FormatNumber(growth.logLik - ChiSquareDrop(level)) + "\n";
    const std::string prefix = sample.empty() ? std::string() : sample + '\t';
    const std::size_t n = grid.thetas.size();
    for (std::size_t i = 0; i < grid.logGrowths.size(); ++i) {
        const std::string rate = FormatNumber(std::pow(10.0, grid.logGrowths[i]));
        for (std::size_t j = 0; j < n; ++j) {
            t.m_Rows += prefix + FormatNumber(grid.thetas[j]) + '\t' + rate + '\t' +
                        FormatNumber(logLik[i * n + j]) + '\n';
        }
    }
    return t;
}

// The stages of one run, in the order they run: the settings, the inputs
// and their kind, the source of sites and the samples, a lane per sample,
// the files kept open, the summary files, the outputs, the reading, the
// fits (with surface and bootstrap) and the writing. The members are the
// run's state, declared in the order the stages make them so that they are
// torn down in reverse: a lane goes before the source, queue and thread
// pool it reads from, the progress line before the outputs.
class CScanRun {
  public:
    CScanRun(const SScanOptions& opts, std::ostream& out, std::ostream* progress,
             CProgressLine::EStyle style)
        : m_Opts(opts), m_P(opts.m_Pileup), m_Out(out), m_Progress(progress), m_Style(style) {}

    SScanSummary Run();

  private:
    void x_Settings();
    void x_OpenInputs();
    void x_OpenIntervals();
    void x_OpenSource();
    void x_OpenDataSet();
    void x_OpenPileupText();
    void x_OpenSiteFiles();
    void x_OpenAlignments();
    void x_SamplesOfAlignments(CAlignmentSiteSource& alignments);
    void x_CheckContigs(const std::string& what);
    void x_MakeLanes();
    std::unique_ptr<SLane> x_MakeLane(std::size_t s);
    void x_ReserveOpenFiles();
    void x_OpenSavedSites();
    void x_OpenOutputs();
    void x_Read();
    void x_Take(SLane& lane, const SSiteBatch& encoded);
    void x_CheckPositions(SLane& lane, const SSiteBatch& encoded);
    void x_FinishReading();
    void x_Summarise();
    void x_FitLanes();
    void x_FitLane(SLane& lane, bool first);
    void x_Bootstrap(SLane& lane, bool first, SFitResult& neutral, SFitResult& growth);
    void x_WarnWindowsWithoutBootstrap();
    void x_WriteOutputs();

    const SScanOptions& m_Opts;
    const SPileupOptions& m_P;
    std::ostream& m_Out;
    std::ostream* m_Progress;
    CProgressLine::EStyle m_Style;
    SScanSummary m_Summary;
    SSiteOptions m_SiteOptions;
    SFitOptions m_FitOptions;
    TThreadPool m_Threads;
    htsThreadPool m_HtsPool{nullptr, 0};
    std::vector<CInputFile> m_Inputs;
    EInputKind m_Kind = EInputKind::eAlignment;
    // The input as the user named it, for the places of input errors.
    std::string m_InputPath;
    std::unique_ptr<CBedFile> m_Regions, m_Mask, m_WindowsBed;
    SPileupOptions m_SourceOptions;
    SPileupSummary m_Filtered;
    SContigs m_Contigs;
    std::unique_ptr<CSiteSource> m_Source;
    CMpileupReader* m_PileupText = nullptr;
    std::unique_ptr<CSampleSplitter> m_Splitter;
    // The samples, in order; a run that pools them has one lane for all.
    std::vector<std::string> m_Samples;
    // Pileup text and data sets name their contigs as they come.
    const std::vector<std::string>* m_StreamedContigs = nullptr;
    // Summary files, grouped by the sample they record.
    std::vector<std::vector<std::unique_ptr<COpenSiteFile>>> m_FileGroups;
    std::function<std::string(int)> m_ContigName;
    SSiteFilterOptions m_FilterOptions;
    std::string m_FilterPath;
    std::vector<std::unique_ptr<SLane>> m_Lanes;
    std::unique_ptr<COutputTarget> m_Table, m_SurfaceFile, m_WindowsFile;
    std::unique_ptr<CProgressLine> m_Bar;
    std::vector<SSurfaceText> m_Surfaces;
};

SScanSummary CScanRun::Run() {
    x_Settings();
    x_OpenInputs();
    x_OpenIntervals();
    x_OpenSource();
    x_MakeLanes();
    x_ReserveOpenFiles();
    x_OpenSavedSites();
    x_OpenOutputs();
    m_Bar = std::make_unique<CProgressLine>(m_Progress, "qualscan", 1, m_Style);
    x_Read();
    x_FinishReading();
    x_Summarise();
    if (!m_Opts.m_WindowsOnly) {
        x_FitLanes();
    }
    x_WarnWindowsWithoutBootstrap();
    x_WriteOutputs();
    return m_Summary;
}

// What every lane shares: the outputs checked, the sites' encoding, the
// fits' level and the threads.
void CScanRun::x_Settings() {
    // Outputs that would overwrite each other or an input are refused
    // before anything is read.
    CheckOutputs(m_Opts);
    m_SiteOptions.folded = !m_Opts.m_Unfolded;
    m_SiteOptions.blockSize = m_Opts.m_BlockSize;
    // The neutral fit alone needs two numbers per site.
    m_SiteOptions.neutralOnly = m_Opts.m_Models == EScanModels::eNeutral;
    m_FitOptions.level = m_Opts.m_Level;
    m_Threads = StartThreadPool(m_Opts.m_Threads);
    m_HtsPool = htsThreadPool{m_Threads.get(), 0};
}

// Inputs, recognised by content; the options are checked against their
// kind before any is read.
void CScanRun::x_OpenInputs() {
    m_Inputs = OpenInputs(m_P.m_Inputs);
    m_Kind = m_Inputs.front().Kind();
    if (!m_Opts.m_PoolsSheet.empty() && m_Kind != EInputKind::eAlignment) {
        throw CInputError(EInputError::eFormat, SInputWhere{m_Inputs.front().Path(), 0, 0, "", 0},
                          std::string("is ") + InputKindName(m_Kind) + ", but " +
                              InputName(m_Opts.m_PoolsSheet) +
                              " names alignment files (SAM, BAM, CRAM) for its pools.");
    }
    CheckOptionsForInput(m_Opts, m_Kind);
    m_InputPath = m_P.m_Inputs.front();
}

// The intervals next: a bad file should not wait for the input.
void CScanRun::x_OpenIntervals() {
    if (!m_Opts.m_RegionsFile.empty()) {
        m_Regions = std::make_unique<CBedFile>(m_Opts.m_RegionsFile);
    }
    if (!m_Opts.m_MaskFile.empty()) {
        m_Mask = std::make_unique<CBedFile>(m_Opts.m_MaskFile);
    }
    if (!m_Opts.m_WindowsBed.empty()) {
        m_WindowsBed = std::make_unique<CBedFile>(m_Opts.m_WindowsBed, CBedFile::ELines::eKeep);
    }
    // The sources deliver every position with reads; the site filter
    // applies the depth limits, so that covered positions count whatever
    // the depth.
    m_SourceOptions = m_P;
    m_SourceOptions.m_MinDepth = 0;
    m_SourceOptions.m_MaxDepth = 0;
}

// The source of sites for the input's kind, and its samples: one, or with
// --per-sample each sample the input holds (read apart by a splitter).
void CScanRun::x_OpenSource() {
    switch (m_Kind) {
        case EInputKind::eXmlDataSet:
            x_OpenDataSet();
            break;
        case EInputKind::eMpileupText:
            x_OpenPileupText();
            break;
        case EInputKind::eSiteFile:
            x_OpenSiteFiles();
            break;
        case EInputKind::eAlignment:
            x_OpenAlignments();
            break;
    }
    CheckPoolSizes(m_Opts, m_Samples);
    // Contigs of the intervals must be contigs of the input; pileup text and
    // data sets name their contigs as they come, so they are checked at
    // their end. (Summary files take no intervals but windows:
    // CheckOptionsForInput refused the others; their windows are checked
    // against the files' contigs at the end.)
    if (!m_StreamedContigs && m_FileGroups.empty()) {
        x_CheckContigs("the alignments' header does not name");
    }
}

// An XML data set: one sample, which it does not name.
void CScanRun::x_OpenDataSet() {
    m_Summary.m_InputKind = "an XML data set";
    CInputFile& in = m_Inputs.front();
    const std::string path = in.Path();
    auto reader =
        std::make_unique<CXmlSiteReader>(in.Release(), path, !m_Opts.m_Unfolded, m_Opts.m_Contig);
    reader->UseThreadPool(m_Threads.get());
    m_StreamedContigs = &reader->Contigs();
    m_Contigs.m_Names = m_StreamedContigs;
    m_Source = std::move(reader);
    if (m_Opts.m_SampleNames.size() > 1) {
        throw std::runtime_error("--samples names " + std::to_string(m_Opts.m_SampleNames.size()) +
                                 " samples, but a data set holds one.");
    }
    m_Samples = {!m_Opts.m_PerSample            ? std::string()
                 : m_Opts.m_SampleNames.empty() ? std::string("sample1")
                                                : m_Opts.m_SampleNames.front()};
}

// samtools mpileup text: its sample columns pooled, or each kept apart
// under the names of --samples.
void CScanRun::x_OpenPileupText() {
    m_Summary.m_InputKind = "pileup text";
    const std::string path = m_Inputs.front().Path();
    auto reader = std::make_unique<CMpileupReader>(m_Inputs.front(), m_SourceOptions, m_Filtered,
                                                   m_Opts.m_Unfolded);
    reader->UseThreadPool(m_Threads.get());
    m_StreamedContigs = &reader->Contigs();
    m_Contigs.m_Names = m_StreamedContigs;
    m_PileupText = reader.get();
    if (m_Opts.m_PerSample) {
        // The first line says how many columns there are.
        m_Splitter = CPileupTextSplitter::Open(
            *reader, std::max<std::size_t>(m_Opts.m_SampleNames.size(), 1));
        for (std::size_t s = 0; s < m_Splitter->Samples(); ++s) {
            m_Samples.push_back("sample" + std::to_string(s + 1));
        }
        if (!m_Opts.m_SampleNames.empty()) {
            if (m_Opts.m_SampleNames.size() != m_Samples.size()) {
                throw CInputError(EInputError::eMismatch, SInputWhere{path, 0, 0, "", 0},
                                  "has " + std::to_string(m_Samples.size()) +
                                      " sample columns, but --samples names " +
                                      std::to_string(m_Opts.m_SampleNames.size()) + ".");
            }
            m_Samples = m_Opts.m_SampleNames;
        }
    } else {
        m_Samples = {""};
    }
    m_Source = std::move(reader);
}

// Summary files of --save-sites, grouped by the sample they record.
void CScanRun::x_OpenSiteFiles() {
    m_Summary.m_InputKind = "summary files";
    // From the handles already open: standard input is read once.
    std::vector<SSiteFileInput> handles;
    for (CInputFile& in : m_Inputs) {
        const std::string path = in.Path();
        handles.push_back(SSiteFileInput{in.Release(), path});
    }
    std::vector<std::unique_ptr<COpenSiteFile>> files = OpenSiteFiles(std::move(handles));
    // Files of another sample than the first: kept apart, pooled on
    // request, else refused. Files that name no sample go with the others.
    std::vector<std::string> named;
    for (const auto& f : files) {
        const std::string& s = f->Settings().sample;
        if (std::find(named.begin(), named.end(), s) == named.end()) {
            named.push_back(s);
        }
    }
    if (m_Opts.m_PerSample) {
        for (const std::string& s : named) {
            std::vector<std::unique_ptr<COpenSiteFile>> group;
            for (auto& f : files) {
                if (f && f->Settings().sample == s) {
                    group.push_back(std::move(f));
                }
            }
            m_FileGroups.push_back(std::move(group));
            m_Samples.push_back(s.empty() ? "sample" + std::to_string(m_Samples.size() + 1) : s);
        }
    } else {
        named.erase(std::remove(named.begin(), named.end(), std::string()), named.end());
        if (named.size() > 1 && !m_Opts.m_MergeSamples) {
            throw CInputError(EInputError::eMismatch, SInputWhere{},
                              "The summary files hold the sites of " +
                                  std::to_string(named.size()) + " samples (" + QuotedList(named) +
                                  "): add --per-sample for an estimate of each, or "
                                  "--merge-samples to pool them into one.");
        }
        m_FileGroups.push_back(std::move(files));
        m_Samples = {named.size() == 1 ? named.front() : std::string()};
    }
    m_Inputs.clear();
}

// Alignments, piled up by the source itself (it opens the files): their
// contigs and lengths from the header, their samples from the read groups.
void CScanRun::x_OpenAlignments() {
    m_Summary.m_InputKind = "alignments";
    for (const CInputFile& in : m_Inputs) {
        if (in.Path() == "-") {
            throw std::runtime_error(
                "Alignments cannot be read from standard input: name the file (it is read by "
                "its index for -r, and as a file by htslib).");
        }
    }
    if (m_Opts.m_Unfolded && m_P.m_Reference.empty()) {
        throw std::runtime_error(
            "--unfolded takes the reference base as ancestral: alignments need the reference "
            "FASTA (-f/--reference).");
    }
    m_Inputs.clear();  // the source opens the files itself
    auto alignments = std::make_unique<CAlignmentSiteSource>(
        m_SourceOptions, m_Filtered, m_Threads ? &m_HtsPool : nullptr, m_Opts.m_PerSample);
    const int n = alignments->NumContigs();
    m_Contigs.m_Own.reserve(static_cast<std::size_t>(n));
    m_Contigs.m_Lengths.reserve(static_cast<std::size_t>(n));
    for (int tid = 0; tid < n; ++tid) {
        m_Contigs.m_Own.push_back(alignments->ContigName(tid));
        m_Contigs.m_Lengths.push_back(alignments->ContigLength(tid));
    }
    alignments->Region(m_Contigs.m_RegionTid, m_Contigs.m_RegionBeg, m_Contigs.m_RegionEnd);
    x_SamplesOfAlignments(*alignments);
    m_Source = std::move(alignments);
}

// Each sample of the alignments kept apart, or all pooled: files without
// read groups are lanes of one sample, as they always were; read groups of
// several samples are pooled only when asked.
void CScanRun::x_SamplesOfAlignments(CAlignmentSiteSource& alignments) {
    const std::vector<std::string>& named = alignments.Samples();
    if (m_Opts.m_PerSample) {
        m_Samples = named;
        if (named.size() > 1) {
            m_Splitter = std::make_unique<CAlignmentSplitter>(alignments);
        }
        return;
    }
    if (named.size() > 1 && alignments.SamplesFromReadGroups() && !m_Opts.m_MergeSamples) {
        const bool one = m_P.m_Inputs.size() == 1;
        throw CInputError(
            EInputError::eMismatch,
            SInputWhere{one ? m_P.m_Inputs.front() : std::string(), 0, 0, "", 0},
            (one ? std::string("holds") : std::string("The alignments hold")) + " reads of " +
                std::to_string(named.size()) + " samples (" + QuotedList(named) +
                "; a sample is the SM of a read group, or a file without read groups): add "
                "--per-sample for an estimate of each, or --merge-samples to pool them into one "
                "(what qualscan did before).");
    }
    m_Summary.m_PooledSamples = named.size();
    m_Samples = {named.size() == 1 ? named.front() : std::string()};
}

// Contigs of the intervals must be contigs of the input.
void CScanRun::x_CheckContigs(const std::string& what) {
    for (const CBedFile* bed : {m_Regions.get(), m_Mask.get(), m_WindowsBed.get()}) {
        if (bed) {
            bed->CheckContigs(*m_Contigs.m_Names, what);
        }
    }
}

// One lane per sample kept apart, or one for all.
void CScanRun::x_MakeLanes() {
    m_ContigName = [this](int c) { return m_Contigs.Name(c); };
    m_FilterOptions.m_Regions = m_Regions.get();
    m_FilterOptions.m_Mask = m_Mask.get();
    m_FilterOptions.m_MinDepth = m_P.m_MinDepth;
    m_FilterOptions.m_MaxDepth = m_P.m_MaxDepth;
    m_FilterPath = m_Inputs.empty() ? std::string() : m_Inputs.front().Path();
    for (std::size_t s = 0; s < m_Samples.size(); ++s) {
        m_Lanes.push_back(x_MakeLane(s));
    }
}

// Sample s's lane: summary files read with their own settings, or the
// source (or the sample's queue) through the filter into the tabulator; a
// store unless only windows are written.
std::unique_ptr<SLane> CScanRun::x_MakeLane(std::size_t s) {
    auto lane = std::make_unique<SLane>();
    lane->m_Column = m_Opts.m_PerSample ? m_Samples[s] : std::string();
    lane->m_Sample = m_Samples[s];
    lane->m_Site = m_SiteOptions;
    lane->m_Site.poolSize = static_cast<int>(m_Opts.PoolSize(s));
    lane->m_Contigs = &m_Contigs;
    if (!m_FileGroups.empty()) {
        // The files' own settings, which a value given must match.
        for (const auto& f : m_FileGroups[s]) {
            CheckSiteFileSettings(m_Opts, f->Settings(), f->Path(), s);
        }
        lane->m_Files =
            std::make_unique<CSiteFileReader>(std::move(m_FileGroups[s]), lane->m_Site, true);
        lane->m_Site = lane->m_Files->Options();
        lane->m_FileContigs.m_Names = &lane->m_Files->Contigs();
        lane->m_Contigs = &lane->m_FileContigs;
    } else {
        lane->m_Source = m_Splitter ? &m_Splitter->Queue(s) : m_Source.get();
        lane->m_Filter = std::make_unique<CSiteFilter>(
            *lane->m_Source, m_FilterOptions, m_ContigName,
            m_Opts.Windows() ? &lane->m_Covered : nullptr, m_FilterPath);
        lane->m_Tabulator =
            std::make_unique<CBatchTabulator>(*lane->m_Filter, !m_Opts.m_Unfolded, m_Threads.get(),
                                              CBatchTabulator::kDefaultBatch, &lane->m_Site);
        lane->m_Tabulator->SetInputNames(m_FilterPath, m_ContigName);
    }
    if (!m_Opts.m_WindowsOnly) {
        lane->m_Store = std::make_unique<CSiteStore>(lane->m_Site);
    }
    return lane;
}

// Samples kept apart keep files open until the end: a summary file each
// (the file and its stream: 2 descriptors) and, after the first, a
// temporary file of windows each. Room for them is made, or the run
// refused, before any is opened.
void CScanRun::x_ReserveOpenFiles() {
    if (!m_Opts.m_PerSample || m_Lanes.size() <= 1) {
        return;
    }
    const std::size_t saved = m_Opts.m_SaveSites.empty() ? 0 : m_Lanes.size();
    const std::size_t scratch = m_Opts.Windows() ? m_Lanes.size() - 1 : 0;
    std::string what;
    if (saved > 0) {
        what = "--save-sites keeps " + std::to_string(saved) +
               " summary files open, 2 descriptors each";
    }
    if (scratch > 0) {
        what += std::string(what.empty() ? "" : "; ") + "--windows keeps " +
                std::to_string(scratch) + " temporary files of windows open";
    }
    ReserveOpenFiles(2 * saved + scratch, what);
}

// --save-sites: the summary files, one per sample kept apart, none of them
// one of the run's other files.
void CScanRun::x_OpenSavedSites() {
    if (m_Opts.m_SaveSites.empty()) {
        return;
    }
    std::vector<std::pair<std::string, std::string>> outputs;
    for (auto& lane : m_Lanes) {
        lane->m_SavePath = m_Opts.m_PerSample ? SampleFilePath(m_Opts.m_SaveSites, lane->m_Sample)
                                              : m_Opts.m_SaveSites;
        outputs.emplace_back(
            "the summary file of " + (lane->m_Sample.empty() ? std::string("the run")
                                                             : "sample '" + lane->m_Sample + "'"),
            lane->m_SavePath);
    }
    if (m_Opts.m_PerSample) {
        std::vector<std::string> read = m_P.m_Inputs;
        for (const std::string& other :
             {m_Opts.m_Output, m_Opts.m_WindowsOutput, m_Opts.m_Surface, m_P.m_Reference,
              m_Opts.m_RegionsFile, m_Opts.m_MaskFile}) {
            read.push_back(other);
        }
        CheckOutputsDistinct(outputs, read);
    }
    for (auto& lane : m_Lanes) {
        // Sites from summary files keep the filters those files record.
        SSiteFileSettings settings =
            RunSettings(m_Opts, m_Summary.m_InputKind, static_cast<unsigned>(lane->m_Site.poolSize),
                        lane->m_Sample);
        if (lane->m_Files) {
            settings = SavedAgain(lane->m_Files->Settings(), m_Opts, m_P.m_Inputs.size());
            settings.sample = lane->m_Sample;
        }
        lane->m_Save = std::make_unique<CSiteFileWriter>(lane->m_SavePath, settings);
    }
}

// The table, the surface and the windows, each replaced only when complete;
// each lane's window writer.
void CScanRun::x_OpenOutputs() {
    m_Table = std::make_unique<COutputTarget>(m_Opts.m_Output, m_Out);
    if (!m_Opts.m_Surface.empty()) {
        m_SurfaceFile = std::make_unique<COutputTarget>(m_Opts.m_Surface, m_Out);
    }
    if (!m_Opts.Windows()) {
        return;
    }
    m_WindowsFile = std::make_unique<COutputTarget>(m_Opts.m_WindowsOutput, m_Out);
    m_WindowsFile->Stream() << WindowsHeader(m_Opts.m_Bootstrap, m_Opts.m_Level,
                                             m_Opts.m_PerSample);
    for (std::size_t s = 0; s < m_Lanes.size(); ++s) {
        SLane& lane = *m_Lanes[s];
        // The first sample's windows go straight to the file; the others'
        // follow them at the end.
        if (s > 0) {
            lane.m_Scratch =
                std::make_unique<CScratchText>("the windows of sample '" + lane.m_Sample + "'");
        }
        lane.m_Windows = std::make_unique<CWindowWriter>(
            m_Opts, lane.m_Site, m_FitOptions, m_Threads.get(),
            s > 0 ? lane.m_Scratch->Stream() : m_WindowsFile->Stream(), *lane.m_Contigs,
            lane.m_Covered, !lane.m_Files, m_InputPath, lane.m_Column, m_WindowsBed.get());
    }
}

// Every sample's sites into its lane. Samples kept apart are read in
// rounds: each round fills every sample's queue (until one holds a round's
// worth of sites), then every sample's tabulator takes its queue's sites,
// the samples in turn, a batch at a time, so that the threads tabulate all
// of them at once. Batches still at work when the queues are empty stay in
// flight while the next round is read. Every queue stays below a round, and
// each sample's batches come back in its order, whatever the threads.
// Whatever is left (a single lane's sites, the last round's batches,
// summary files) is then drained lane by lane.
void CScanRun::x_Read() {
    const std::size_t roundSites =
        CBatchTabulator::kDefaultBatch * 2 * std::max<std::size_t>(m_Opts.m_Threads, 1);
    for (bool more = m_Splitter != nullptr; more;) {
        more = m_Splitter->Fill(roundSites);
        for (auto& lane : m_Lanes) {
            lane->m_Tabulator->Resume();
        }
        for (bool left = true; left;) {
            left = false;
            for (std::size_t s = 0; s < m_Lanes.size(); ++s) {
                if (m_Splitter->Queue(s).Size() > 0) {
                    const STabulatedBatch batch = m_Lanes[s]->m_Tabulator->NextBatch();
                    if (batch.m_Count > 0) {
                        x_Take(*m_Lanes[s], *batch.m_Encoded);
                    }
                    left = true;
                }
            }
        }
    }
    SSiteBatch fromFiles;
    for (auto& lane : m_Lanes) {
        if (lane->m_Files) {
            while (lane->m_Files->Next(fromFiles)) {
                x_Take(*lane, fromFiles);
            }
            continue;
        }
        for (;;) {
            const STabulatedBatch batch = lane->m_Tabulator->NextBatch();
            if (batch.m_Count == 0) {
                break;
            }
            x_Take(*lane, *batch.m_Encoded);
        }
    }
}

// A batch of one sample's sites into its store, summary file and windows,
// once its positions are checked.
void CScanRun::x_Take(SLane& lane, const SSiteBatch& encoded) {
    if (encoded.sites.empty()) {
        return;
    }
    x_CheckPositions(lane, encoded);
    const SContigs& names = *lane.m_Contigs;
    if (lane.m_Store) {
        lane.m_Store->Append(encoded);
    }
    if (lane.m_Save) {
        lane.m_Save->Add(encoded, *names.m_Names);
    }
    for (const SEncodedSite& s : encoded.sites) {
        if (s.contig != lane.m_LastContig) {
            lane.m_LastContig = s.contig;
            const std::size_t c = static_cast<std::size_t>(s.contig);
            if (lane.m_Seen.size() <= c) {
                lane.m_Seen.resize(c + 1, 0);
            }
            lane.m_Seen[c] = 1;
            if (lane.m_Windows) {
                lane.m_Windows->EnterContig(s.contig);
            }
        }
        if (lane.m_Windows) {
            lane.m_Windows->Add(s);
        }
        ++lane.m_Sites;
        lane.m_Reads += static_cast<std::uint64_t>(s.reads);
    }
    const SEncodedSite& last = encoded.sites.back();
    m_Bar->Tick(names.Name(last.contig), last.pos);
}

// A site past its contig's end (the header's length, or the last position
// a window can hold) is refused before anything keeps it.
void CScanRun::x_CheckPositions(SLane& lane, const SSiteBatch& encoded) {
    const SContigs& names = *lane.m_Contigs;
    for (const SEncodedSite& s : encoded.sites) {
        if (s.contig != lane.m_CheckedContig) {
            lane.m_CheckedContig = s.contig;
            const std::int64_t length = names.Length(s.contig);
            lane.m_ContigEnd = length >= 0 ? length : CWindowPolicy::kLast;
        }
        if (s.pos >= lane.m_ContigEnd) {
            throw CInputError(EInputError::eRange,
                              SInputWhere{m_InputPath, 0, 0, names.Name(s.contig), s.pos + 1},
                              lane.m_ContigEnd == CWindowPolicy::kLast
                                  ? "the position is past the last one a contig can have."
                                  : "the position is past the contig's end (length " +
                                        std::to_string(lane.m_ContigEnd) + ").");
        }
    }
}

// The input is read: the contigs of streamed inputs and summary files are
// known now and checked, every lane's windows closed and summary file
// committed.
void CScanRun::x_FinishReading() {
    if (m_StreamedContigs) {
        x_CheckContigs("does not occur in " + m_Inputs.front().Name());
    }
    if (m_WindowsBed && !m_FileGroups.empty()) {
        std::vector<std::string> named;
        for (const auto& lane : m_Lanes) {
            named.insert(named.end(), lane->m_Contigs->m_Names->begin(),
                         lane->m_Contigs->m_Names->end());
        }
        m_WindowsBed->CheckContigs(named, "no summary file holds a site of");
    }
    for (auto& lane : m_Lanes) {
        m_Summary.m_Sites += lane->m_Sites;
        m_Summary.m_Reads += lane->m_Reads;
        if (lane->m_Windows) {
            lane->m_Windows->Finish();
            m_Summary.m_Windows += lane->m_Windows->Count();
        }
        if (lane->m_Save) {
            lane->m_Save->Commit();
        }
    }
}

// What the reading saw, for the summary line.
void CScanRun::x_Summarise() {
    // Contigs with sites, of any sample (summary files number their contigs
    // per sample: counted by name).
    std::unordered_set<std::string> seen;
    for (const auto& lane : m_Lanes) {
        for (std::size_t c = 0; c < lane->m_Seen.size(); ++c) {
            if (lane->m_Seen[c]) {
                seen.insert(lane->m_Contigs->Name(static_cast<int>(c)));
            }
        }
    }
    m_Summary.m_Contigs = seen.size();
    m_Summary.m_BasesPastEnd = m_Filtered.m_BasesPastEnd;
    if (m_Opts.m_PerSample) {
        for (const auto& lane : m_Lanes) {
            m_Summary.m_SampleSites.emplace_back(lane->m_Sample, lane->m_Sites);
        }
    } else if (m_PileupText && m_PileupText->SampleColumns() > 1) {
        m_Summary.m_PooledSamples = m_PileupText->SampleColumns();
    }
}

// The genome-wide table: its header, then every lane's rows.
void CScanRun::x_FitLanes() {
    m_Table->Stream() << TableHeader(m_Opts.m_PerSample);
    for (std::size_t s = 0; s < m_Lanes.size(); ++s) {
        x_FitLane(*m_Lanes[s], s == 0);
    }
}

// One lane's models fitted, its surface around the profile fit, its
// bootstrap intervals, and its rows.
void CScanRun::x_FitLane(SLane& lane, bool first) {
    const CSiteStore& store = *lane.m_Store;
    const std::string of = lane.m_Column.empty() ? std::string() : " of " + lane.m_Column;
    m_Bar->Status("fitting the models" + of);
    SFitResult neutral = FitNeutral(store, m_FitOptions, m_Threads.get());
    SFitResult growth;
    if (m_Opts.m_Models != EScanModels::eNeutral) {
        growth = FitGrowth(store, m_FitOptions, neutral, m_Threads.get());
    }
    if (m_SurfaceFile) {
        // Around the profile fit, before a bootstrap replaces its intervals:
        // the contour's extent is the profile interval.
        m_Bar->Status("the likelihood surface" + of);
        const SSurfaceGrid grid =
            SurfaceGridAround(neutral, growth, m_FitOptions, kSurfaceThetas, kSurfaceGrowths);
        m_Surfaces.push_back(FormatSurface(lane.m_Column, m_Opts.m_Level, neutral, growth, grid,
                                           LikelihoodSurface(store, grid, m_Threads.get())));
    }
    if (m_Opts.m_Bootstrap) {
        x_Bootstrap(lane, first, neutral, growth);
    }
    if (m_Opts.m_Models != EScanModels::eGrowth) {
        m_Table->Stream() << FormatTableRow(ToRow(neutral, lane.m_Column));
    }
    if (m_Opts.m_Models != EScanModels::eNeutral) {
        m_Table->Stream() << FormatTableRow(ToRow(growth, lane.m_Column));
    }
}

// --ci bootstrap: the lane's intervals, and its windows' from the same
// draws, replaced by the block bootstrap's.
void CScanRun::x_Bootstrap(SLane& lane, bool first, SFitResult& neutral, SFitResult& growth) {
    if (m_Opts.m_Replicates < 100 && first) {
        Warn("qualscan: " + std::to_string(m_Opts.m_Replicates) +
             " bootstrap resamples give rough interval ends; 200 or more are advised.");
    }
    const CSiteStore& store = *lane.m_Store;
    const SBootstrapReport report = ApplyBootstrap(m_Opts, store, m_FitOptions, m_Threads.get(),
                                                   neutral, growth, *m_Bar, lane.m_Column);
    m_Summary.m_Resamples = report.replicates;
    m_Summary.m_ResamplesNoNeutral += report.noNeutral;
    m_Summary.m_ResamplesNoGrowth += report.noGrowth;
    if (!lane.m_Windows) {
        return;
    }
    std::size_t blocks = 0;
    SegmentBlocks(store, blocks);
    QT_ASSERT(blocks == lane.m_Windows->Blocks());
    const std::string of = lane.m_Column.empty() ? std::string() : " of " + lane.m_Column;
    CProgressLine& bar = *m_Bar;
    lane.m_Windows->WriteBootstrap(blocks, m_Opts.m_Replicates, m_Opts.m_Seed,
                                   [&bar, &of](std::size_t done, std::size_t all) {
                                       bar.Status("bootstrap of window " + std::to_string(done) +
                                                  " of " + std::to_string(all) + of);
                                   });
}

// Windows with estimates but none with blocks enough for a bootstrap
// interval: every interval of the file is NA, which a reader should not
// have to discover.
void CScanRun::x_WarnWindowsWithoutBootstrap() {
    if (!m_WindowsFile || !m_Opts.m_Bootstrap || m_Opts.m_WindowsOnly) {
        return;
    }
    std::uint64_t estimated = 0, withBootstrap = 0;
    for (const auto& lane : m_Lanes) {
        estimated += lane->m_Windows->Estimated();
        withBootstrap += lane->m_Windows->WithBootstrap();
    }
    if (estimated > 0 && withBootstrap == 0) {
        Warn("qualscan: no window holds the " + std::to_string(kMinBootstrapBlocks) +
             " blocks of --block " + std::to_string(m_Opts.m_BlockSize) +
             " bases that a bootstrap interval needs, so every window's theta_lo and "
             "theta_hi are NA: take a smaller --block (yet longer than the extent of "
             "linkage), larger windows, or --ci profile.");
    }
}

// Every output is complete: the windows first (every sample's after the
// first appended from its temporary file), then the surface; a table on
// standard output is the last word.
void CScanRun::x_WriteOutputs() {
    if (m_WindowsFile) {
        for (auto& lane : m_Lanes) {
            if (lane->m_Scratch) {
                lane->m_Scratch->AppendTo(m_WindowsFile->Stream());
            }
        }
        m_WindowsFile->Commit();
    }
    if (m_SurfaceFile) {
        for (const SSurfaceText& t : m_Surfaces) {
            m_SurfaceFile->Stream() << t.m_Comment;
        }
        m_SurfaceFile->Stream() << (m_Opts.m_PerSample ? "sample\t" : "")
                                << "theta\tgrowth\tloglik\n";
        for (const SSurfaceText& t : m_Surfaces) {
            m_SurfaceFile->Stream() << t.m_Rows;
        }
        m_SurfaceFile->Commit();
    }
    if (!m_Opts.m_WindowsOnly) {
        m_Table->Commit();
    }
}

}  // namespace

SScanSummary RunQualScan(const SScanOptions& opts, std::ostream& out, std::ostream* progress,
                         CProgressLine::EStyle progressStyle) {
    CScanRun run(opts, out, progress, progressStyle);
    return run.Run();
}

std::string FormatScanSummary(const SScanSummary& s, const SScanOptions& opts) {
    std::ostringstream os;
    os << "qualscan: " << s.m_Sites << " sites with " << s.m_Reads << " reads from "
       << s.m_InputKind << " on " << s.m_Contigs << (s.m_Contigs == 1 ? " contig" : " contigs");
    if (opts.m_WindowSize > 0) {
        os << "; " << s.m_Windows << " windows of " << opts.m_WindowSize << " bases (step "
           << opts.m_WindowStep << ") written to '" << opts.m_WindowsOutput << "'";
    } else if (opts.m_ContigWindows) {
        os << "; " << s.m_Windows << (s.m_Windows == 1 ? " window" : " windows")
           << ", one per contig, written to '" << opts.m_WindowsOutput << "'";
    } else if (!opts.m_WindowsBed.empty()) {
        os << "; " << s.m_Windows << (s.m_Windows == 1 ? " window" : " windows")
           << " of the lines of '" << opts.m_WindowsBed << "' written to '" << opts.m_WindowsOutput
           << "'";
    }
    if (!s.m_SampleSites.empty()) {
        os << "; " << s.m_SampleSites.size()
           << (s.m_SampleSites.size() == 1 ? " sample" : " samples") << " kept apart:";
        // Each sample's pool size beside its name when the sizes differ
        // (they are matched to the samples by order: the line shows how).
        const bool sizes = opts.m_PoolSizes.size() > 1;
        for (std::size_t i = 0; i < s.m_SampleSites.size(); ++i) {
            os << (i ? ", " : " ") << s.m_SampleSites[i].first;
            if (sizes) {
                os << " (pool of " << opts.PoolSize(i) << ")";
            }
            os << " " << s.m_SampleSites[i].second << " sites";
        }
    } else if (s.m_PooledSamples > 1) {
        os << "; " << s.m_PooledSamples
           << (s.m_InputKind == "pileup text" ? " sample columns" : " samples")
           << " pooled into one estimate";
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
