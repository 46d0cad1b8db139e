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
    siteOptions.blockSize = opts.m_BlockSize;
    // The neutral fit alone needs two numbers per site.
    siteOptions.neutralOnly = opts.m_Models == EScanModels::eNeutral;
    SFitOptions fitOptions;
    fitOptions.level = opts.m_Level;

    const TThreadPool pool = StartThreadPool(opts.m_Threads);
    htsThreadPool htsPool{pool.get(), 0};

    // Inputs, recognised by content; the options are checked against their
    // kind before any is read.
    std::vector<CInputFile> inputs = OpenInputs(p.m_Inputs);
    const EInputKind kind = inputs.front().Kind();
    if (!opts.m_PoolsSheet.empty() && kind != EInputKind::eAlignment) {
        throw CInputError(EInputError::eFormat, SInputWhere{inputs.front().Path(), 0, 0, "", 0},
                          std::string("is ") + InputKindName(kind) + ", but " +
                              InputName(opts.m_PoolsSheet) +
                              " names alignment files (SAM, BAM, CRAM) for its pools.");
    }
    CheckOptionsForInput(opts, kind);
    // The input as the user named it, for the places of input errors.
    const std::string inputPath = p.m_Inputs.front();

    // The intervals next: a bad file should not wait for the input.
    std::unique_ptr<CBedFile> regions, mask, windowsBed;
    if (!opts.m_RegionsFile.empty()) {
        regions = std::make_unique<CBedFile>(opts.m_RegionsFile);
    }
    if (!opts.m_MaskFile.empty()) {
        mask = std::make_unique<CBedFile>(opts.m_MaskFile);
    }
    if (!opts.m_WindowsBed.empty()) {
        windowsBed = std::make_unique<CBedFile>(opts.m_WindowsBed, CBedFile::ELines::eKeep);
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
    CMpileupReader* pileupText = nullptr;
    std::unique_ptr<CSampleSplitter> splitter;
    // The samples, in order; a run that pools them has one lane for all.
    std::vector<std::string> samples;
    // Pileup text and data sets name their contigs as they come.
    const std::vector<std::string>* streamedContigs = nullptr;
    // Summary files, grouped by the sample they record.
    std::vector<std::vector<std::unique_ptr<COpenSiteFile>>> fileGroups;
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
            if (opts.m_SampleNames.size() > 1) {
                throw std::runtime_error("--samples names " +
                                         std::to_string(opts.m_SampleNames.size()) +
                                         " samples, but a data set holds one.");
            }
            // A data set names no sample.
            samples = {!opts.m_PerSample            ? std::string()
                       : opts.m_SampleNames.empty() ? std::string("sample1")
                                                    : opts.m_SampleNames.front()};
            break;
        }
        case EInputKind::eMpileupText: {
            summary.m_InputKind = "pileup text";
            const std::string path = inputs.front().Path();
            auto reader = std::make_unique<CMpileupReader>(inputs.front(), sourceOptions, filtered,
                                                           opts.m_Unfolded);
            reader->UseThreadPool(pool.get());
            streamedContigs = &reader->Contigs();
            contigs.m_Names = streamedContigs;
            pileupText = reader.get();
            if (opts.m_PerSample) {
                // The first line says how many columns there are.
                splitter = CPileupTextSplitter::Open(
                    *reader, std::max<std::size_t>(opts.m_SampleNames.size(), 1));
                for (std::size_t s = 0; s < splitter->Samples(); ++s) {
                    samples.push_back("sample" + std::to_string(s + 1));
                }
                if (!opts.m_SampleNames.empty()) {
                    if (opts.m_SampleNames.size() != samples.size()) {
                        throw CInputError(EInputError::eMismatch, SInputWhere{path, 0, 0, "", 0},
                                          "has " + std::to_string(samples.size()) +
                                              " sample columns, but --samples names " +
                                              std::to_string(opts.m_SampleNames.size()) + ".");
                    }
                    samples = opts.m_SampleNames;
                }
            } else {
                samples = {""};
            }
            source = std::move(reader);
            break;
        }
        case EInputKind::eSiteFile: {
            summary.m_InputKind = "summary files";
            // From the handles already open: standard input is read once.
            std::vector<SSiteFileInput> handles;
            for (CInputFile& in : inputs) {
                const std::string path = in.Path();
                handles.push_back(SSiteFileInput{in.Release(), path});
            }
            std::vector<std::unique_ptr<COpenSiteFile>> files = OpenSiteFiles(std::move(handles));
            // Files of another sample than the first: kept apart, pooled
            // on request, else refused. Files that name no sample go with
            // the others.
            std::vector<std::string> named;
            for (const auto& f : files) {
                const std::string& s = f->Settings().sample;
                if (std::find(named.begin(), named.end(), s) == named.end()) {
                    named.push_back(s);
                }
            }
            if (opts.m_PerSample) {
                for (const std::string& s : named) {
                    std::vector<std::unique_ptr<COpenSiteFile>> group;
                    for (auto& f : files) {
                        if (f && f->Settings().sample == s) {
                            group.push_back(std::move(f));
                        }
                    }
                    fileGroups.push_back(std::move(group));
                    samples.push_back(s.empty() ? "sample" + std::to_string(samples.size() + 1)
                                                : s);
                }
            } else {
                named.erase(std::remove(named.begin(), named.end(), std::string()), named.end());
                if (named.size() > 1 && !opts.m_MergeSamples) {
                    throw CInputError(
                        EInputError::eMismatch, SInputWhere{},
                        "The summary files hold the sites of " + std::to_string(named.size()) +
                            " samples (" + QuotedList(named) +
                            "): add --per-sample for an estimate of each, or --merge-samples "
                            "to pool them into one.");
                }
                fileGroups.push_back(std::move(files));
                samples = {named.size() == 1 ? named.front() : std::string()};
            }
            inputs.clear();
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
            auto alignments = std::make_unique<CAlignmentSiteSource>(
                sourceOptions, filtered, pool ? &htsPool : nullptr, opts.m_PerSample);
            const int n = alignments->NumContigs();
            contigs.m_Own.reserve(static_cast<std::size_t>(n));
            contigs.m_Lengths.reserve(static_cast<std::size_t>(n));
            for (int tid = 0; tid < n; ++tid) {
                contigs.m_Own.push_back(alignments->ContigName(tid));
                contigs.m_Lengths.push_back(alignments->ContigLength(tid));
            }
            alignments->Region(contigs.m_RegionTid, contigs.m_RegionBeg, contigs.m_RegionEnd);
            const std::vector<std::string>& named = alignments->Samples();
            if (opts.m_PerSample) {
                samples = named;
                if (named.size() > 1) {
                    splitter = std::make_unique<CAlignmentSplitter>(*alignments);
                }
            } else {
                // Files without read groups are lanes of one sample, as
                // they always were; read groups of several samples are
                // pooled only when asked.
                if (named.size() > 1 && alignments->SamplesFromReadGroups() &&
                    !opts.m_MergeSamples) {
                    throw CInputError(
                        EInputError::eMismatch,
                        SInputWhere{p.m_Inputs.size() == 1 ? p.m_Inputs.front() : std::string(), 0,
                                    0, "", 0},
                        (p.m_Inputs.size() == 1 ? std::string("holds")
                                                : std::string("The alignments hold")) +
                            " reads of " + std::to_string(named.size()) + " samples (" +
                            QuotedList(named) +
                            "; a sample is the SM of a read group, or a file without read "
                            "groups): add --per-sample for an estimate of each, or "
                            "--merge-samples to pool them into one (what qualscan did before).");
                }
                summary.m_PooledSamples = named.size();
                samples = {named.size() == 1 ? named.front() : std::string()};
            }
            source = std::move(alignments);
            break;
        }
    }
    CheckPoolSizes(opts, samples);

    // Contigs of the intervals must be contigs of the input; pileup text and
    // data sets name their contigs as they come, so they are checked at
    // their end. (Summary files take no intervals but windows:
    // CheckOptionsForInput refused the others; their windows are checked
    // against the files' contigs at the end.)
    auto checkContigs = [&](const std::string& what) {
        for (const CBedFile* bed : {regions.get(), mask.get(), windowsBed.get()}) {
            if (bed) {
                bed->CheckContigs(*contigs.m_Names, what);
            }
        }
    };
    if (!streamedContigs && fileGroups.empty()) {
        checkContigs("the alignments' header does not name");
    }
    std::function<std::string(int)> contigName = [&](int c) { return contigs.Name(c); };
    SSiteFilterOptions filterOptions;
    filterOptions.m_Regions = regions.get();
    filterOptions.m_Mask = mask.get();
    filterOptions.m_MinDepth = p.m_MinDepth;
    filterOptions.m_MaxDepth = p.m_MaxDepth;
    const std::string filterPath = inputs.empty() ? std::string() : inputs.front().Path();

    // One lane per sample kept apart, or one for all.
    std::vector<std::unique_ptr<SLane>> lanes;
    for (std::size_t s = 0; s < samples.size(); ++s) {
        auto lane = std::make_unique<SLane>();
        lane->m_Column = opts.m_PerSample ? samples[s] : std::string();
        lane->m_Sample = samples[s];
        lane->m_Site = siteOptions;
        lane->m_Site.poolSize = static_cast<int>(opts.PoolSize(s));
        lane->m_Contigs = &contigs;
        if (!fileGroups.empty()) {
            // The files' own settings, which a value given must match.
            for (const auto& f : fileGroups[s]) {
                CheckSiteFileSettings(opts, f->Settings(), f->Path(), s);
            }
            lane->m_Files =
                std::make_unique<CSiteFileReader>(std::move(fileGroups[s]), lane->m_Site, true);
            lane->m_Site = lane->m_Files->Options();
            lane->m_FileContigs.m_Names = &lane->m_Files->Contigs();
            lane->m_Contigs = &lane->m_FileContigs;
        } else {
            lane->m_Source = splitter ? &splitter->Queue(s) : source.get();
            lane->m_Filter = std::make_unique<CSiteFilter>(
                *lane->m_Source, filterOptions, contigName,
                opts.Windows() ? &lane->m_Covered : nullptr, filterPath);
            lane->m_Tabulator =
                std::make_unique<CBatchTabulator>(*lane->m_Filter, !opts.m_Unfolded, pool.get(),
                                                  CBatchTabulator::kDefaultBatch, &lane->m_Site);
            lane->m_Tabulator->SetInputNames(filterPath, contigName);
        }
        if (!opts.m_WindowsOnly) {
            lane->m_Store = std::make_unique<CSiteStore>(lane->m_Site);
        }
        lanes.push_back(std::move(lane));
    }

    // Samples kept apart keep files open until the end: a summary file
    // each (the file and its stream: 2 descriptors) and, after the first,
    // a temporary file of windows each. Room for them is made, or the run
    // refused, before any is opened.
    if (opts.m_PerSample && lanes.size() > 1) {
        const std::size_t saved = opts.m_SaveSites.empty() ? 0 : lanes.size();
        const std::size_t scratch = opts.Windows() ? lanes.size() - 1 : 0;
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

    // The summary files, one per sample kept apart.
    if (!opts.m_SaveSites.empty()) {
        std::vector<std::pair<std::string, std::string>> outputs;
        for (auto& lane : lanes) {
            lane->m_SavePath = opts.m_PerSample ? SampleFilePath(opts.m_SaveSites, lane->m_Sample)
                                                : opts.m_SaveSites;
            outputs.emplace_back("the summary file of " + (lane->m_Sample.empty()
                                                               ? std::string("the run")
                                                               : "sample '" + lane->m_Sample + "'"),
                                 lane->m_SavePath);
        }
        if (opts.m_PerSample) {
            std::vector<std::string> read = p.m_Inputs;
            for (const std::string& other : {opts.m_Output, opts.m_WindowsOutput, opts.m_Surface,
                                             p.m_Reference, opts.m_RegionsFile, opts.m_MaskFile}) {
                read.push_back(other);
            }
            CheckOutputsDistinct(outputs, read);
        }
        for (auto& lane : lanes) {
            // Sites from summary files keep the filters those files record.
            SSiteFileSettings settings =
                RunSettings(opts, summary.m_InputKind, static_cast<unsigned>(lane->m_Site.poolSize),
                            lane->m_Sample);
            if (lane->m_Files) {
                settings = SavedAgain(lane->m_Files->Settings(), opts, p.m_Inputs.size());
                settings.sample = lane->m_Sample;
            }
            lane->m_Save = std::make_unique<CSiteFileWriter>(lane->m_SavePath, settings);
        }
    }

    COutputTarget table(opts.m_Output, out);
    std::unique_ptr<COutputTarget> surfaceFile;
    if (!opts.m_Surface.empty()) {
        surfaceFile = std::make_unique<COutputTarget>(opts.m_Surface, out);
    }
    std::unique_ptr<COutputTarget> windowsFile;
    if (opts.Windows()) {
        windowsFile = std::make_unique<COutputTarget>(opts.m_WindowsOutput, out);
        windowsFile->Stream() << WindowsHeader(opts.m_Bootstrap, opts.m_Level, opts.m_PerSample);
        for (std::size_t s = 0; s < lanes.size(); ++s) {
            SLane& lane = *lanes[s];
            // The first sample's windows go straight to the file; the
            // others' follow them at the end.
            if (s > 0) {
                lane.m_Scratch =
                    std::make_unique<CScratchText>("the windows of sample '" + lane.m_Sample + "'");
            }
            lane.m_Windows = std::make_unique<CWindowWriter>(
                opts, lane.m_Site, fitOptions, pool.get(),
                s > 0 ? lane.m_Scratch->Stream() : windowsFile->Stream(), *lane.m_Contigs,
                lane.m_Covered, !lane.m_Files, inputPath, lane.m_Column, windowsBed.get());
        }
    }

    CProgressLine bar(progress, "qualscan", 1, progressStyle);
    // A batch of one sample's sites into its store, summary file and
    // windows. A site past its contig's end (the header's length, or the
    // last position a window can hold) is refused before anything keeps it.
    auto take = [&](SLane& lane, const SSiteBatch& encoded) {
        if (encoded.sites.empty()) {
            return;
        }
        const SContigs& names = *lane.m_Contigs;
        for (const SEncodedSite& s : encoded.sites) {
            if (s.contig != lane.m_CheckedContig) {
                lane.m_CheckedContig = s.contig;
                const std::int64_t length = names.Length(s.contig);
                lane.m_ContigEnd = length >= 0 ? length : CWindowPolicy::kLast;
            }
            if (s.pos >= lane.m_ContigEnd) {
                throw CInputError(EInputError::eRange,
                                  SInputWhere{inputPath, 0, 0, names.Name(s.contig), s.pos + 1},
                                  lane.m_ContigEnd == CWindowPolicy::kLast
                                      ? "the position is past the last one a contig can have."
                                      : "the position is past the contig's end (length " +
                                            std::to_string(lane.m_ContigEnd) + ").");
            }
        }
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
        bar.Tick(names.Name(last.contig), last.pos);
    };
    // Samples kept apart are read in rounds: each round fills every
    // sample's queue (until one holds a round's worth of sites), then every
    // sample's tabulator takes its queue's sites, the samples in turn, a
    // batch at a time, so that the threads tabulate all of them at once.
    // Batches still at work when the queues are empty stay in flight while
    // the next round is read. Every queue stays below a round, and each
    // sample's batches come back in its order, whatever the threads.
    const std::size_t roundSites =
        CBatchTabulator::kDefaultBatch * 2 * std::max<std::size_t>(opts.m_Threads, 1);
    auto drain = [&](SLane& lane) {
        for (;;) {
            const STabulatedBatch batch = lane.m_Tabulator->NextBatch();
            if (batch.m_Count == 0) {
                return;
            }
            take(lane, *batch.m_Encoded);
        }
    };
    if (splitter) {
        for (bool more = true; more;) {
            more = splitter->Fill(roundSites);
            for (auto& lane : lanes) {
                lane->m_Tabulator->Resume();
            }
            for (bool left = true; left;) {
                left = false;
                for (std::size_t s = 0; s < lanes.size(); ++s) {
                    if (splitter->Queue(s).Size() > 0) {
                        const STabulatedBatch batch = lanes[s]->m_Tabulator->NextBatch();
                        if (batch.m_Count > 0) {
                            take(*lanes[s], *batch.m_Encoded);
                        }
                        left = true;
                    }
                }
            }
        }
    }
    SSiteBatch fromFiles;
    for (auto& lane : lanes) {
        if (lane->m_Files) {
            while (lane->m_Files->Next(fromFiles)) {
                take(*lane, fromFiles);
            }
        } else {
            drain(*lane);
        }
    }
    if (streamedContigs) {
        checkContigs("does not occur in " + inputs.front().Name());
    }
    if (windowsBed && !fileGroups.empty()) {
        std::vector<std::string> named;
        for (const auto& lane : lanes) {
            named.insert(named.end(), lane->m_Contigs->m_Names->begin(),
                         lane->m_Contigs->m_Names->end());
        }
        windowsBed->CheckContigs(named, "no summary file holds a site of");
    }
    for (auto& lane : lanes) {
        summary.m_Sites += lane->m_Sites;
        summary.m_Reads += lane->m_Reads;
        if (lane->m_Windows) {
            lane->m_Windows->Finish();
            summary.m_Windows += lane->m_Windows->Count();
        }
        if (lane->m_Save) {
            lane->m_Save->Commit();
        }
    }
    // Contigs with sites, of any sample (summary files number their
    // contigs per sample: counted by name).
    {
        std::unordered_set<std::string> seen;
        for (const auto& lane : lanes) {
            for (std::size_t c = 0; c < lane->m_Seen.size(); ++c) {
                if (lane->m_Seen[c]) {
                    seen.insert(lane->m_Contigs->Name(static_cast<int>(c)));
                }
            }
        }
        summary.m_Contigs = seen.size();
    }
    summary.m_BasesPastEnd = filtered.m_BasesPastEnd;
    if (opts.m_PerSample) {
        for (const auto& lane : lanes) {
            summary.m_SampleSites.emplace_back(lane->m_Sample, lane->m_Sites);
        }
    } else if (pileupText && pileupText->SampleColumns() > 1) {
        summary.m_PooledSamples = pileupText->SampleColumns();
    }

    std::vector<SSurfaceText> surfaces;
    if (!opts.m_WindowsOnly) {
        table.Stream() << TableHeader(opts.m_PerSample);
        for (auto& lane : lanes) {
            const CSiteStore& store = *lane->m_Store;
            const std::string of = lane->m_Column.empty() ? std::string() : " of " + lane->m_Column;
            bar.Status("fitting the models" + of);
            SFitResult neutral = FitNeutral(store, fitOptions, pool.get());
            SFitResult growth;
            if (opts.m_Models != EScanModels::eNeutral) {
                growth = FitGrowth(store, fitOptions, neutral, pool.get());
            }
            if (surfaceFile) {
                // Around the profile fit, before a bootstrap replaces its
                // intervals: the contour's extent is the profile interval.
                bar.Status("the likelihood surface" + of);
                const SSurfaceGrid grid =
                    SurfaceGridAround(neutral, growth, fitOptions, kSurfaceThetas, kSurfaceGrowths);
                surfaces.push_back(FormatSurface(lane->m_Column, opts.m_Level, neutral, growth,
                                                 grid, LikelihoodSurface(store, grid, pool.get())));
            }
            if (opts.m_Bootstrap) {
                if (opts.m_Replicates < 100 && lane == lanes.front()) {
                    Warn("qualscan: " + std::to_string(opts.m_Replicates) +
                         " bootstrap resamples give rough interval ends; 200 or more are "
                         "advised.");
                }
                const SBootstrapReport report = ApplyBootstrap(
                    opts, store, fitOptions, pool.get(), neutral, growth, bar, lane->m_Column);
                summary.m_Resamples = report.replicates;
                summary.m_ResamplesNoNeutral += report.noNeutral;
                summary.m_ResamplesNoGrowth += report.noGrowth;
                if (lane->m_Windows) {
                    // The windows' intervals from the same draws.
                    std::size_t blocks = 0;
                    SegmentBlocks(store, blocks);
                    QT_ASSERT(blocks == lane->m_Windows->Blocks());
                    lane->m_Windows->WriteBootstrap(blocks, opts.m_Replicates, opts.m_Seed,
                                                    [&bar, &of](std::size_t done, std::size_t all) {
                                                        bar.Status("bootstrap of window " +
                                                                   std::to_string(done) + " of " +
                                                                   std::to_string(all) + of);
                                                    });
                }
            }
            if (opts.m_Models != EScanModels::eGrowth) {
                table.Stream() << FormatTableRow(ToRow(neutral, lane->m_Column));
            }
            if (opts.m_Models != EScanModels::eNeutral) {
                table.Stream() << FormatTableRow(ToRow(growth, lane->m_Column));
            }
        }
    }
    // Windows with estimates but none with blocks enough for a bootstrap
    // interval: every interval of the file is NA, which a reader should not
    // have to discover.
    if (windowsFile && opts.m_Bootstrap && !opts.m_WindowsOnly) {
        std::uint64_t estimated = 0, withBootstrap = 0;
        for (const auto& lane : lanes) {
            estimated += lane->m_Windows->Estimated();
            withBootstrap += lane->m_Windows->WithBootstrap();
        }
        if (estimated > 0 && withBootstrap == 0) {
            Warn("qualscan: no window holds the " + std::to_string(kMinBootstrapBlocks) +
                 " blocks of --block " + std::to_string(opts.m_BlockSize) +
                 " bases that a bootstrap interval needs, so every window's theta_lo and "
                 "theta_hi are NA: take a smaller --block (yet longer than the extent of "
                 "linkage), larger windows, or --ci profile.");
        }
    }
    // The windows first: a table on standard output is the last word.
    if (windowsFile) {
        for (auto& lane : lanes) {
            if (lane->m_Scratch) {
                lane->m_Scratch->AppendTo(windowsFile->Stream());
            }
        }
        windowsFile->Commit();
    }
    if (surfaceFile) {
        for (const SSurfaceText& t : surfaces) {
            surfaceFile->Stream() << t.m_Comment;
        }
        surfaceFile->Stream() << (opts.m_PerSample ? "sample\t" : "") << "theta\tgrowth\tloglik\n";
        for (const SSurfaceText& t : surfaces) {
            surfaceFile->Stream() << t.m_Rows;
        }
        surfaceFile->Commit();
    }
    if (!opts.m_WindowsOnly) {
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
