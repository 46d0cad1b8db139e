#include "fst/fst_run.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/input_error.hpp"
#include "base/warnings.hpp"
#include "common/quantile.hpp"
#include "common/safe_output.hpp"
#include "common/table_format.hpp"
#include "common/taskpool.hpp"
#include "common/thread_pool.hpp"
#include "fst/joint_fit.hpp"
#include "fst/spectrum_file.hpp"
#include "io/bed.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_store.hpp"
#include "pool/pool_windows.hpp"
#include "spectrum/pool_diversity.hpp"
#include "windows/window_file.hpp"

#ifndef QUALFST_VERSION
#define QUALFST_VERSION "unknown"
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Convergence of the fits: the data's, and each resample's from the data's
// spectrum (a resample's diversities moved by less than a tenth of their
// spread with tighter refits; see the docs).
constexpr double kFitTolerance = 1e-5;
constexpr double kResampleTolerance = 1e-3;

struct SPair {
    std::size_t a, b;
};

std::string WindowRow(const std::string& contig, const SWindowSums& w, const std::string& pool1,
                      const std::string& pool2, bool enough) {
    const double n = static_cast<double>(w.m_Sites);
    const double pi1 = enough ? w.m_Sums[0] / n : kNaN;
    const double pi2 = enough ? w.m_Sums[1] / n : kNaN;
    const double dxy = enough ? w.m_Sums[2] / n : kNaN;
    return contig + '\t' + std::to_string(w.m_Start) + '\t' + std::to_string(w.m_End) + '\t' +
           pool1 + '\t' + pool2 + '\t' + std::to_string(w.m_Sites) + '\t' + FormatNumber(pi1) +
           '\t' + FormatNumber(pi2) + '\t' + FormatNumber(dxy) + '\t' +
           FormatNumber(enough ? HudsonFst(pi1, pi2, dxy) : kNaN) + '\n';
}

// The stages of one run: the pools read into a store (or, with
// --windows-only, into the windows chunk by chunk), each pair fitted, and
// the outputs written once everything is complete.
class CFstRun {
  public:
    CFstRun(const SFstOptions& opts, std::ostream& out, std::ostream* progress,
            CProgressLine::EStyle style)
        : m_Opts(opts),
          m_Out(out),
          m_Threads(StartThreadPool(opts.m_Threads)),
          m_Bar(progress, "qualfst", 1, style) {}

    SFstSummary Run();

  private:
    void x_OnPools(const std::vector<SPoolSpec>& specs);
    void x_CheckOutputs();
    CWindowPolicy x_WindowPolicy();
    void x_Take(SPoolBatch& batch);
    // What fitting a pair gives, made on any thread; the progress line and
    // the warnings are the calling thread's.
    struct SPairFit {
        std::uint64_t sites = 0;
        SJointFitResult fit;
        double ends[4] = {kNaN, kNaN, kNaN, kNaN};
        std::uint64_t passes = 0;
        std::vector<std::string> warnings;
        std::exception_ptr error;
    };

    void x_WindowPass(const CPoolStore& sites, const std::vector<SJointSpectrum>& spectra,
                      bool countSites);
    void x_FitPairs();
    // Pair p fitted, its bootstrap with it; with a thread pool the passes
    // run on it and the progress line follows them (only one pair at a
    // time), without one the pair runs on the calling thread alone.
    SPairFit x_FitPair(std::size_t p, hts_tpool* pool);
    SJointFitResult x_Fit(std::size_t p, const CPairModel& model, hts_tpool* pool, SPairFit& out);
    void x_Bootstrap(std::size_t p, const CPairModel& model, const SJointFitResult& fit,
                     hts_tpool* pool, SPairFit& out);
    void x_TakePair(std::size_t p, SPairFit& done);
    void x_WriteOutputs();
    void x_WriteMatrix(const char* statistic, double (*value)(const SPairValues&), double diagonal);
    void x_Summarise();

    const SFstOptions& m_Opts;
    std::ostream& m_Out;
    SPoolProgram m_Program = FstProgram();
    TThreadPool m_Threads;
    CProgressLine m_Bar;
    SFstSummary m_Summary;
    SPoolInputs m_Inputs;
    std::unique_ptr<CPoolReader> m_Reader;
    std::vector<SPair> m_Pairs;
    std::vector<std::string> m_PriorFiles;
    std::vector<SJointSpectrum> m_Priors;
    std::unique_ptr<CPoolStore> m_Store;
    std::unique_ptr<COutputTarget> m_WindowsFile;
    std::unique_ptr<CBedFile> m_WindowsBed;
    std::unique_ptr<CSeriesWindows> m_Windows;
    std::vector<SJointFitResult> m_Fits;
    std::unique_ptr<CSiteBlocks> m_Blocks;
    std::vector<std::vector<double>> m_Resamples;
    std::ostringstream m_Table;
};

SFstSummary CFstRun::Run() {
    m_Inputs = ResolvePoolInputs(m_Program, m_Opts, FstOptionTable());
    SPoolReadOptions read;
    read.m_MinCounting = 2;  // a site counts for a pair where both pools do
    m_Reader =
        std::make_unique<CPoolReader>(m_Program, m_Opts, m_Inputs, read, m_Threads.get(), m_Bar);
    m_Reader->Run([this](const std::vector<SPoolSpec>& specs) { x_OnPools(specs); },
                  [this](SPoolBatch& batch) { x_Take(batch); });
    x_Summarise();
    m_Table << FstTableHeader();
    if (m_Store) {
        m_Store->Finish();
        x_FitPairs();
    }
    if (m_Windows) {
        m_Windows->Finish();
        m_Summary.m_Windows = m_Windows->Count();
    }
    x_WriteOutputs();
    return m_Summary;
}

// The pools are known: names, pairs, the outputs checked, the priors read,
// the windows and the store set up.
void CFstRun::x_OnPools(const std::vector<SPoolSpec>& specs) {
    for (const SPoolSpec& s : specs) {
        m_Summary.m_Names.push_back(s.m_Name);
    }
    CheckPairSizes(specs);
    for (std::size_t a = 0; a < specs.size(); ++a) {
        for (std::size_t b = a + 1; b < specs.size(); ++b) {
            m_Pairs.push_back(SPair{a, b});
        }
    }
    m_Summary.m_PairSites.assign(m_Pairs.size(), 0);
    const std::vector<std::string>& names = m_Summary.m_Names;
    if (!m_Opts.m_Prior.empty()) {
        for (const SPair& p : m_Pairs) {
            m_PriorFiles.push_back(SpectrumFileName(m_Opts.m_Prior, names[p.a], names[p.b]));
        }
    }
    x_CheckOutputs();
    for (std::size_t p = 0; p < m_PriorFiles.size(); ++p) {
        const SPair& pr = m_Pairs[p];
        m_Priors.push_back(ReadSpectrum(m_PriorFiles[p], specs[pr.a].m_Size, specs[pr.b].m_Size,
                                        !m_Opts.m_Unfolded, names[pr.a], names[pr.b]));
    }
    if (m_Opts.Windows()) {
        m_WindowsFile = std::make_unique<COutputTarget>(m_Opts.m_WindowsOutput, m_Out);
        SWindowsComment comment;
        comment.m_Intervals = "none";
        m_WindowsFile->Stream() << FormatWindowsComment(comment) << FstWindowsHeader();
        m_Windows = std::make_unique<CSeriesWindows>(
            x_WindowPolicy(), m_Pairs.size(), m_Opts.m_MinSites, m_Reader->Ranges(),
            m_Reader->LastPositions(), m_Reader->ContigNames(),
            [this](const std::string& contig, std::size_t p, const SWindowSums& w, bool enough) {
                const SPair& pr = m_Pairs[p];
                return WindowRow(contig, w, m_Summary.m_Names[pr.a], m_Summary.m_Names[pr.b],
                                 enough);
            },
            m_WindowsFile->Stream());
    }
    if (!m_Opts.m_WindowsOnly) {
        m_Store = std::make_unique<CPoolStore>(specs.size());
    }
    m_Bar.Status("reading " + std::to_string(specs.size()) + " pools (" +
                 std::to_string(m_Pairs.size()) + (m_Pairs.size() == 1 ? " pair" : " pairs") + ")");
}

// Where the windows lie: fixed, whole contigs, or the lines of a BED file,
// whose contigs must be the input's (checked at once for alignments, at the
// end for pileup text).
CWindowPolicy CFstRun::x_WindowPolicy() {
    if (!m_Opts.m_WindowsBed.empty()) {
        m_WindowsBed = std::make_unique<CBedFile>(m_Opts.m_WindowsBed, CBedFile::ELines::eKeep);
        const std::vector<std::string>& names = m_Reader->ContigNames();
        if (!m_Inputs.m_PileupText) {
            m_WindowsBed->CheckContigs(names, "the alignments' header does not name");
        }
        return BedWindowPolicy(*m_WindowsBed,
                               [&names](int c) { return names[static_cast<std::size_t>(c)]; });
    }
    if (m_Opts.m_ContigWindows) {
        return CWindowPolicy::WholeContigs();
    }
    return CWindowPolicy(m_Opts.m_WindowSize, m_Opts.m_WindowStep);
}

// Outputs that would overwrite each other, an input, an input's index or
// a prior are refused before anything is read.
void CFstRun::x_CheckOutputs() {
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"the table", m_Opts.m_WindowsOnly ? std::string() : m_Opts.m_Output},
        {"the windows file", m_Opts.m_WindowsOutput}};
    const std::vector<std::string>& names = m_Summary.m_Names;
    if (!m_Opts.m_Sfs.empty()) {
        for (const SPair& p : m_Pairs) {
            outputs.emplace_back("a spectrum file",
                                 SpectrumFileName(m_Opts.m_Sfs, names[p.a], names[p.b]));
        }
    }
    if (!m_Opts.m_Matrix.empty()) {
        for (const char* statistic : {"fst", "dxy"}) {
            outputs.emplace_back("a matrix file", MatrixFileName(m_Opts.m_Matrix, statistic));
        }
    }
    std::vector<std::string> inputs = m_Inputs.m_Files;
    inputs.insert(inputs.end(), m_PriorFiles.begin(), m_PriorFiles.end());
    CheckOutputsDistinct(outputs, inputs);
}

// A batch of sites in genome order: into the store, or with --windows-only
// into the windows at once.
void CFstRun::x_Take(SPoolBatch& batch) {
    const std::unique_ptr<CPoolStore> chunk =
        StoreBatch(batch, m_Summary.m_Names.size(), m_Store.get());
    if (chunk) {
        x_WindowPass(*chunk, m_Priors, true);
    }
}

// Posterior windows of the sites of a store (all of them, or one chunk's),
// one pair after the other (each pair's windows in genome order), the
// passes on the thread pool. countSites: the store's sites are counted into
// the pairs' (--windows-only, where no fit counted them).
void CFstRun::x_WindowPass(const CPoolStore& sites, const std::vector<SJointSpectrum>& spectra,
                           bool countSites) {
    for (std::size_t p = 0; p < m_Pairs.size(); ++p) {
        const SPair& pr = m_Pairs[p];
        const CPairModel model(sites, pr.a, pr.b, m_Inputs.m_Specs[pr.a].m_Size,
                               m_Inputs.m_Specs[pr.b].m_Size, !m_Opts.m_Unfolded);
        if (countSites) {
            m_Summary.m_PairSites[p] += model.Sites();
        }
        model.Posterior(spectra[p], m_Threads.get(),
                        [&](int contig, std::int64_t pos, const double* e) {
                            const double v[kWindowValues] = {e ? e[0] : 0.0, e ? e[1] : 0.0,
                                                             e ? e[2] : 0.0, 0.0};
                            m_Windows->Add(p, contig, pos, e ? v : nullptr);
                        });
    }
    m_Windows->Flush();
}

// Every pair fitted (or evaluated under its prior), with its bootstrap
// intervals, into the table; then the windows from the fitted spectra.
// With several threads and several pairs, the pairs are shared out (each
// pair's passes in one thread, summed in the same fixed parts as on the
// pool, so the numbers are those of one thread); one pair runs its passes
// on the pool.
void CFstRun::x_FitPairs() {
    if (m_Opts.m_Bootstrap) {
        m_Blocks = std::make_unique<CSiteBlocks>(*m_Store, m_Opts.m_BlockSize);
        const std::size_t n = m_Blocks->Blocks();
        if (n > 1) {
            if (n < 20) {
                Warn("qualfst: only " + std::to_string(n) + " bootstrap blocks of " +
                     std::to_string(m_Opts.m_BlockSize) +
                     " bases hold sites: the intervals are rough; a smaller --block gives more.");
            }
            if (m_Opts.m_Replicates < 100) {
                Warn("qualfst: " + std::to_string(m_Opts.m_Replicates) +
                     " bootstrap resamples give rough interval ends; 200 or more are advised.");
            }
            m_Resamples = DrawResamples(n, m_Opts.m_Replicates, m_Opts.m_Seed);
        }
    }
    m_Fits.resize(m_Pairs.size());
    if (m_Threads && m_Opts.m_Threads > 1 && m_Pairs.size() > 1) {
        m_Bar.Status("fitting " + std::to_string(m_Pairs.size()) + " pairs");
        std::function<SPairFit(std::size_t)> job = [&](std::size_t p) {
            return x_FitPair(p, nullptr);
        };
        std::function<void(std::size_t, SPairFit&)> merge = [&](std::size_t p, SPairFit& done) {
            x_TakePair(p, done);
            m_Bar.Status("fitted " + std::to_string(p + 1) + " of " +
                         std::to_string(m_Pairs.size()) + " pairs");
        };
        RunOrdered<SPairFit>(m_Threads.get(), m_Pairs.size(), job, merge);
    } else {
        for (std::size_t p = 0; p < m_Pairs.size(); ++p) {
            SPairFit done = x_FitPair(p, m_Threads.get());
            x_TakePair(p, done);
        }
    }
    if (m_Windows) {
        std::vector<SJointSpectrum> spectra;
        for (const SJointFitResult& f : m_Fits) {
            spectra.push_back(f.spectrum);
        }
        m_Bar.Status("windows");
        x_WindowPass(*m_Store, spectra, false);
    }
}

CFstRun::SPairFit CFstRun::x_FitPair(std::size_t p, hts_tpool* pool) {
    SPairFit out;
    try {
        const SPair& pr = m_Pairs[p];
        const CPairModel model(*m_Store, pr.a, pr.b, m_Inputs.m_Specs[pr.a].m_Size,
                               m_Inputs.m_Specs[pr.b].m_Size, !m_Opts.m_Unfolded);
        out.sites = model.Sites();
        out.fit = x_Fit(p, model, pool, out);
        if (!m_Resamples.empty() && model.Sites() > 0) {
            x_Bootstrap(p, model, out.fit, pool, out);
        }
    } catch (...) {
        out.error = std::current_exception();
    }
    return out;
}

// Pair p's row of the table, in pair order: its error (the first pair's in
// order, whatever thread met it), its warnings, its numbers.
void CFstRun::x_TakePair(std::size_t p, SPairFit& done) {
    if (done.error) {
        std::rethrow_exception(done.error);
    }
    for (const std::string& w : done.warnings) {
        Warn(w);
    }
    const SPair& pr = m_Pairs[p];
    const std::vector<std::string>& names = m_Summary.m_Names;
    m_Summary.m_PairSites[p] = done.sites;
    m_Summary.m_Passes += done.passes;
    const bool any = done.sites > 0;
    const SPairValues& v = done.fit.values;
    m_Table << names[pr.a] << '\t' << names[pr.b] << '\t' << done.sites << '\t'
            << FormatNumber(any ? v.pi1 : kNaN) << '\t' << FormatNumber(any ? v.pi2 : kNaN) << '\t'
            << FormatNumber(any ? v.dxy : kNaN) << '\t' << FormatNumber(done.ends[0]) << '\t'
            << FormatNumber(done.ends[1]) << '\t' << FormatNumber(any ? v.fst : kNaN) << '\t'
            << FormatNumber(done.ends[2]) << '\t' << FormatNumber(done.ends[3]) << '\n';
    m_Fits[p] = std::move(done.fit);
}

// Pair p's fit, or its prior evaluated; a prior under which a site of the
// pair is impossible is refused.
SJointFitResult CFstRun::x_Fit(std::size_t p, const CPairModel& model, hts_tpool* pool,
                               SPairFit& out) {
    const SPair& pr = m_Pairs[p];
    const std::string pairName = m_Summary.m_Names[pr.a] + " and " + m_Summary.m_Names[pr.b];
    if (pool || !m_Threads) {
        m_Bar.Status("fitting " + pairName + " (pair " + std::to_string(p + 1) + " of " +
                     std::to_string(m_Pairs.size()) + ", " + std::to_string(model.Sites()) +
                     " sites)");
    }
    SJointFitResult fit;
    if (!m_Priors.empty()) {
        fit = model.Evaluate(m_Priors[p], pool);
        if (model.Sites() > 0 && !std::isfinite(fit.logLik)) {
            throw CInputError(EInputError::eMismatch, SInputWhere{m_PriorFiles[p], 0, 0, "", 0},
                              "gives some of the sites of " + pairName +
                                  " no chance at all (a likelihood of 0): it is no spectrum of "
                                  "these pools; give the spectra an earlier run on them wrote "
                                  "with --sfs.");
        }
    } else {
        SJointFitOptions fo;
        fo.tolerance = kFitTolerance;
        fit = model.Fit(fo, pool);
        if (!fit.converged && model.Sites() > 0) {
            out.warnings.push_back("qualfst: the fit of " + pairName + " stopped after " +
                                   std::to_string(fit.passes) +
                                   " passes before its diversities settled to 1e-5 of their "
                                   "values.");
        }
    }
    out.passes += static_cast<std::uint64_t>(fit.passes);
    return fit;
}

// The percentile intervals of d_xy and F_ST (ends: dxy lo, hi, fst lo, hi)
// from every resample refitted, starting at the data's spectrum.
void CFstRun::x_Bootstrap(std::size_t p, const CPairModel& model, const SJointFitResult& fit,
                          hts_tpool* pool, SPairFit& out) {
    const SPair& pr = m_Pairs[p];
    const std::string pairName = m_Summary.m_Names[pr.a] + " and " + m_Summary.m_Names[pr.b];
    std::vector<double> dxy, fst;
    for (std::size_t r = 0; r < m_Resamples.size(); ++r) {
        if (pool || !m_Threads) {
            m_Bar.Status("resampling " + pairName + ", " + std::to_string(r + 1) + " of " +
                         std::to_string(m_Resamples.size()));
        }
        SJointFitOptions fo;
        fo.tolerance = kResampleTolerance;
        const SJointFitResult rep =
            model.Fit(fo, pool, &fit.spectrum, m_Blocks.get(), &m_Resamples[r]);
        out.passes += static_cast<std::uint64_t>(rep.passes);
        if (rep.weight > 0) {
            dxy.push_back(rep.values.dxy);
            fst.push_back(rep.values.fst);
        }
    }
    PercentileInterval(dxy, m_Opts.m_Level, out.ends[0], out.ends[1]);
    PercentileInterval(fst, m_Opts.m_Level, out.ends[2], out.ends[3]);
}

// Every output is complete: the spectra and windows first; a table on
// standard output is the last word.
void CFstRun::x_WriteOutputs() {
    const std::vector<std::string>& names = m_Summary.m_Names;
    std::vector<std::unique_ptr<CSafeOutputFile>> spectra;
    if (!m_Opts.m_Sfs.empty() && m_Store) {
        for (std::size_t p = 0; p < m_Pairs.size(); ++p) {
            const SPair& pr = m_Pairs[p];
            const std::string path = SpectrumFileName(m_Opts.m_Sfs, names[pr.a], names[pr.b]);
            spectra.push_back(std::make_unique<CSafeOutputFile>(path));
            spectra.back()->CheckOpen();
            std::ostringstream comment;
            comment << "qualfst " << QUALFST_VERSION << ": joint spectrum of " << names[pr.a]
                    << " (" << m_Inputs.m_Specs[pr.a].m_Size << " chromosomes) and " << names[pr.b]
                    << " (" << m_Inputs.m_Specs[pr.b].m_Size
                    << "), the fitted shares times the pair's " << m_Summary.m_PairSites[p]
                    << " sites\n"
                    << (m_Opts.m_Unfolded
                            ? "unfolded: the reference base is the first allele (take it as "
                              "ancestral only where it is)"
                            : "folded: no reference, the second allele of a site is the rarer "
                              "one in the reads");
            WriteSpectrum(spectra.back()->stream(), m_Fits[p].spectrum, m_Fits[p].weight,
                          names[pr.a], names[pr.b], comment.str());
        }
    }
    for (auto& s : spectra) {
        s->Commit();
    }
    if (!m_Opts.m_Matrix.empty() && m_Store) {
        x_WriteMatrix(
            "fst", [](const SPairValues& v) { return v.fst; }, 0.0);
        x_WriteMatrix(
            "dxy", [](const SPairValues& v) { return v.dxy; }, kNaN);
    }
    if (m_WindowsFile) {
        m_WindowsFile->Commit();
    }
    if (m_Store) {
        COutputTarget tableFile(m_Opts.m_Output, m_Out);
        tableFile.Stream() << m_Table.str();
        tableFile.Commit();
    }
}

// A square matrix of one statistic of every pair, the pools' names heading
// its columns and rows (R: read.table(f, header = TRUE, row.names = 1)),
// NA where a pair has no site.
void CFstRun::x_WriteMatrix(const char* statistic, double (*value)(const SPairValues&),
                            double diagonal) {
    const std::vector<std::string>& names = m_Summary.m_Names;
    const std::size_t k = names.size();
    std::vector<double> m(k * k, kNaN);
    for (std::size_t i = 0; i < k; ++i) {
        m[i * k + i] = diagonal;
    }
    for (std::size_t p = 0; p < m_Pairs.size(); ++p) {
        const double v = m_Summary.m_PairSites[p] > 0 ? value(m_Fits[p].values) : kNaN;
        m[m_Pairs[p].a * k + m_Pairs[p].b] = m[m_Pairs[p].b * k + m_Pairs[p].a] = v;
    }
    CSafeOutputFile file(MatrixFileName(m_Opts.m_Matrix, statistic));
    file.CheckOpen();
    std::ostream& out = file.stream();
    out << "pool";
    for (const std::string& n : names) {
        out << '\t' << n;
    }
    out << '\n';
    for (std::size_t i = 0; i < k; ++i) {
        out << names[i];
        for (std::size_t j = 0; j < k; ++j) {
            out << '\t' << FormatNumber(m[i * k + j]);
        }
        out << '\n';
    }
    file.Commit();
}

// What the reading saw, and a warning for every pool without a read.
void CFstRun::x_Summarise() {
    for (const std::size_t i : SummariseReading(*m_Reader, m_Summary)) {
        Warn("qualfst: pool '" + m_Summary.m_Names[i] +
             "' has no site where it and another pool count (no read after the filters, "
             "or none where another pool has one): the values of its pairs are NA.");
    }
}

}  // namespace

SPoolProgram FstProgram() {
    SPoolProgram p;
    p.m_Name = "qualfst";
    p.m_MinPools = 2;
    p.m_Windows = true;
    p.m_Spectra = true;
    p.m_Bootstrap = true;
    p.m_ReferenceUnfolds = true;
    p.m_UnfoldedOption = true;
    return p;
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

std::string FstTableHeader() {
    return "pool1\tpool2\tsites\tpi1\tpi2\tdxy\tdxy_lo\tdxy_hi\tfst\tfst_lo\tfst_hi\n";
}

std::string FstWindowsHeader() {
    return "contig\tstart\tend\tpool1\tpool2\tsites\tpi1\tpi2\tdxy\tfst\n";
}

SFstSummary RunQualFst(const SFstOptions& opts, std::ostream& out, std::ostream* progress,
                       CProgressLine::EStyle style) {
    CFstRun run(opts, out, progress, style);
    return run.Run();
}

std::string FormatFstSummary(const SFstSummary& s, const SFstOptions& opts) {
    std::ostringstream os;
    os << "qualfst: " << s.m_Names.size() << " pools, " << s.m_Sites << " sites with " << s.m_Reads
       << " reads from " << s.m_InputKind << " on " << s.m_Contigs
       << (s.m_Contigs == 1 ? " contig" : " contigs");
    // Each pair is named up to a few pairs; a design of many pools would
    // make this one line hundreds of kilobytes, so the pairs' sites are then
    // summarised (each pair's count stays in the table's sites column).
    const std::size_t kNamedPairs = 10;
    if (s.m_PairSites.size() > kNamedPairs) {
        std::vector<std::uint64_t> sites(s.m_PairSites.begin(), s.m_PairSites.end());
        std::sort(sites.begin(), sites.end());
        os << "; sites per pair (" << sites.size() << " pairs): " << sites.front() << " to "
           << sites.back() << ", median " << sites[sites.size() / 2];
    } else {
        std::size_t p = 0;
        for (std::size_t a = 0; a < s.m_Names.size(); ++a) {
            for (std::size_t b = a + 1; b < s.m_Names.size() && p < s.m_PairSites.size();
                 ++b, ++p) {
                os << (p == 0 ? "; sites per pair: " : ", ") << s.m_Names[a] << '/' << s.m_Names[b]
                   << ' ' << s.m_PairSites[p];
            }
        }
    }
    if (s.m_PoolSitesBelowMinDepth + s.m_PoolSitesAboveMaxDepth > 0) {
        os << "; left out for depth: " << s.m_PoolSitesBelowMinDepth << " pool-sites below -d, "
           << s.m_PoolSitesAboveMaxDepth << " above -D";
    }
    if (s.m_MultiAllelic > 0) {
        os << "; " << s.m_MultiAllelic << (s.m_MultiAllelic == 1 ? " site" : " sites")
           << " with a third allele left out";
    }
    if (!s.m_EmptyPools.empty()) {
        os << "; without sites:";
        for (std::size_t i = 0; i < s.m_EmptyPools.size(); ++i) {
            os << (i ? ", " : " ") << s.m_EmptyPools[i];
        }
    }
    if (s.m_Passes > 0) {
        os << "; " << s.m_Passes << " passes over the sites";
    }
    if (opts.m_WindowSize > 0) {
        os << "; " << s.m_Windows << " windows of " << opts.m_WindowSize << " bases (step "
           << opts.m_WindowStep << ") written to '" << opts.m_WindowsOutput << "'";
    } else if (opts.m_ContigWindows) {
        os << "; " << s.m_Windows << (s.m_Windows == 1 ? " window" : " windows")
           << ", one per contig, written to '" << opts.m_WindowsOutput << "'";
    } else if (!opts.m_WindowsBed.empty()) {
        os << "; " << s.m_Windows << " windows of the lines of '" << opts.m_WindowsBed
           << "' written to '" << opts.m_WindowsOutput << "'";
    }
    return os.str();
}
