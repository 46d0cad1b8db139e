#include "div/div_run.hpp"

#include <algorithm>
#include <cmath>
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
#include "common/thread_pool.hpp"
#include "io/bed.hpp"
#include "pool/neutrality.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/pool_spectrum_file.hpp"
#include "pool/pool_store.hpp"
#include "pool/pool_windows.hpp"
#include "pool/spectrum_smoothing.hpp"
#include "windows/window_file.hpp"

#ifndef QUALDIV_VERSION
#define QUALDIV_VERSION "unknown"
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Convergence of the fits (pool_spectrum.hpp's gap: no spectrum's
// log-likelihood exceeds the fit's by more): the data's, and each
// resample's from the data's spectrum, which need less (their estimands
// then lie within sqrt(2 gap) standard errors of the resample's maximum,
// far inside the spread of the resamples).
constexpr double kFitGap = 1e-4;
constexpr double kResampleGap = 1e-2;

// The sites of a store in genome order, one after another: the one place
// qualdiv reads the store's layout (its chunks, in genome order, and their
// positions), so a change of layout changes this class alone.
class CStoreSites {
  public:
    explicit CStoreSites(const CPoolStore& store) : m_Chunks(store.Chunks()) { x_Skip(); }

    bool Done() const { return m_Chunk >= m_Chunks.size(); }
    int Contig() const { return m_Chunks[m_Chunk].m_Contig; }
    std::int64_t Pos() const { return m_Chunks[m_Chunk].Pos(m_Site); }
    void Advance() {
        ++m_Site;
        x_Skip();
    }
    // Whether the current site lies before (contig, pos).
    bool Before(int contig, std::int64_t pos) const {
        return !Done() && (Contig() < contig || (Contig() == contig && Pos() < pos));
    }

  private:
    // Past the chunks whose sites are all behind.
    void x_Skip() {
        while (m_Chunk < m_Chunks.size() && m_Site >= m_Chunks[m_Chunk].Sites()) {
            ++m_Chunk;
            m_Site = 0;
        }
    }

    const std::vector<SPoolChunk>& m_Chunks;
    std::size_t m_Chunk = 0;
    std::size_t m_Site = 0;
};

std::string WindowRow(const std::string& contig, const SWindowSums& w, const std::string& pool,
                      unsigned n, bool unfolded, bool enough) {
    SSpectrumSums sums;
    sums.sites = static_cast<double>(w.m_Sites);
    sums.pi = w.m_Sums[0];
    sums.segregating = w.m_Sums[1];
    sums.thetaH = w.m_Sums[2];
    SNeutrality v = Neutrality(sums, n, !unfolded);
    if (!enough) {
        v.pi = v.thetaW = v.tajimaD = v.thetaH = v.fayWuH = kNaN;
    }
    std::string row = contig + '\t' + std::to_string(w.m_Start) + '\t' + std::to_string(w.m_End) +
                      '\t' + pool + '\t' + std::to_string(w.m_Sites) + '\t' + FormatNumber(v.pi) +
                      '\t' + FormatNumber(v.thetaW) + '\t' + FormatNumber(v.tajimaD);
    if (unfolded) {
        row += '\t' + FormatNumber(v.thetaH) + '\t' + FormatNumber(v.fayWuH);
    }
    return row + '\n';
}

// The interval ends of one pool: pi, theta_W and D, low and high.
struct SEnds {
    double pi[2] = {kNaN, kNaN};
    double thetaW[2] = {kNaN, kNaN};
    double tajimaD[2] = {kNaN, kNaN};
};

// The stages of one run: the pools read into a store (or, with
// --windows-only, into the windows chunk by chunk), each pool fitted, and
// the outputs written once everything is complete.
class CDivRun {
  public:
    CDivRun(const SDivOptions& opts, std::ostream& out, std::ostream* progress,
            CProgressLine::EStyle style)
        : m_Opts(opts),
          m_Out(out),
          m_Threads(StartThreadPool(opts.m_Threads)),
          m_Bar(progress, "qualdiv", 1, style) {}

    SDivSummary Run();

  private:
    void x_OnPools(const std::vector<SPoolSpec>& specs);
    void x_CheckOutputs();
    CWindowPolicy x_WindowPolicy();
    void x_Take(SPoolBatch& batch);
    void x_WindowPass(const CPoolStore& sites, const std::vector<SPoolSpectrum>& spectra,
                      const std::vector<std::unique_ptr<CPoolSpectrumModel>>* models);
    void x_FitPools();
    SPoolFitResult x_Fit(std::size_t p, const CPoolSpectrumModel& model);
    SEnds x_Bootstrap(std::size_t p, const CPoolSpectrumModel& model, const SPoolFitResult& fit);
    void x_WriteOutputs();
    [[noreturn]] void x_RefusePrior(std::size_t p, std::uint64_t impossible) const;
    void x_Summarise();
    unsigned x_Size(std::size_t p) const { return m_Inputs.m_Specs[p].m_Size; }

    const SDivOptions& m_Opts;
    std::ostream& m_Out;
    SPoolProgram m_Program = DivProgram();
    TThreadPool m_Threads;
    CProgressLine m_Bar;
    SDivSummary m_Summary;
    SPoolInputs m_Inputs;
    std::unique_ptr<CPoolReader> m_Reader;
    std::vector<std::string> m_PriorFiles;
    std::vector<SPoolSpectrum> m_Priors;
    std::unique_ptr<CPoolStore> m_Store;
    std::unique_ptr<COutputTarget> m_WindowsFile;
    std::unique_ptr<CBedFile> m_WindowsBed;
    std::unique_ptr<CSeriesWindows> m_Windows;
    std::vector<std::unique_ptr<CPoolSpectrumModel>> m_Models;
    std::vector<SPoolFitResult> m_Fits;
    std::unique_ptr<CSiteBlocks> m_Blocks;
    std::vector<std::vector<double>> m_Resamples;
    std::vector<std::uint64_t> m_Impossible;  // per pool: sites the windows' prior rules out
    std::ostringstream m_Table;
};

SDivSummary CDivRun::Run() {
    m_Inputs = ResolvePoolInputs(m_Program, m_Opts, DivOptionTable());
    SPoolReadOptions read;
    read.m_MinCounting = 1;  // every site where a pool counts
    m_Reader =
        std::make_unique<CPoolReader>(m_Program, m_Opts, m_Inputs, read, m_Threads.get(), m_Bar);
    m_Reader->Run([this](const std::vector<SPoolSpec>& specs) { x_OnPools(specs); },
                  [this](SPoolBatch& batch) { x_Take(batch); });
    x_Summarise();
    m_Table << DivTableHeader(m_Opts.m_Unfolded);
    if (m_Store) {
        m_Store->Finish();
        x_FitPools();
    }
    if (m_Windows) {
        m_Windows->Finish();
        m_Summary.m_Windows = m_Windows->Count();
    }
    x_WriteOutputs();
    return m_Summary;
}

// The pools are known: names, the outputs checked, the priors read, the
// windows and the store set up.
void CDivRun::x_OnPools(const std::vector<SPoolSpec>& specs) {
    for (const SPoolSpec& s : specs) {
        m_Summary.m_Names.push_back(s.m_Name);
    }
    m_Summary.m_PoolSites.assign(specs.size(), 0);
    m_Impossible.assign(specs.size(), 0);
    if (!m_Opts.m_Prior.empty()) {
        for (const SPoolSpec& s : specs) {
            m_PriorFiles.push_back(PoolSpectrumFileName(m_Opts.m_Prior, s.m_Name));
        }
    }
    x_CheckOutputs();
    for (std::size_t p = 0; p < m_PriorFiles.size(); ++p) {
        m_Priors.push_back(ReadPoolSpectrum(m_PriorFiles[p], specs[p].m_Size, !m_Opts.m_Unfolded));
    }
    if (m_Opts.Windows()) {
        m_WindowsFile = std::make_unique<COutputTarget>(m_Opts.m_WindowsOutput, m_Out);
        SWindowsComment comment;
        comment.m_Intervals = "none";
        m_WindowsFile->Stream() << FormatWindowsComment(comment)
                                << DivWindowsHeader(m_Opts.m_Unfolded);
        m_Windows = std::make_unique<CSeriesWindows>(
            x_WindowPolicy(), specs.size(), m_Opts.m_MinSites, m_Reader->Ranges(),
            m_Reader->LastPositions(), m_Reader->ContigNames(),
            [this](const std::string& contig, std::size_t p, const SWindowSums& w, bool enough) {
                return WindowRow(contig, w, m_Summary.m_Names[p], x_Size(p), m_Opts.m_Unfolded,
                                 enough);
            },
            m_WindowsFile->Stream());
    }
    if (!m_Opts.m_WindowsOnly) {
        m_Store = std::make_unique<CPoolStore>(specs.size());
    }
    m_Bar.Status("reading " + std::to_string(specs.size()) +
                 (specs.size() == 1 ? " pool" : " pools"));
}

// Where the windows lie: fixed, whole contigs, or the lines of a BED file,
// whose contigs must be the input's (checked at once for alignments, at the
// end for pileup text).
CWindowPolicy CDivRun::x_WindowPolicy() {
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
void CDivRun::x_CheckOutputs() {
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"the table", m_Opts.m_WindowsOnly ? std::string() : m_Opts.m_Output},
        {"the windows file", m_Opts.m_WindowsOutput}};
    if (!m_Opts.m_Sfs.empty()) {
        for (const std::string& name : m_Summary.m_Names) {
            outputs.emplace_back("a spectrum file", PoolSpectrumFileName(m_Opts.m_Sfs, name));
        }
    }
    std::vector<std::string> inputs = m_Inputs.m_Files;
    inputs.insert(inputs.end(), m_PriorFiles.begin(), m_PriorFiles.end());
    CheckOutputsDistinct(outputs, inputs);
}

// A batch of sites in genome order: into the store, or with --windows-only
// into the windows at once.
void CDivRun::x_Take(SPoolBatch& batch) {
    const std::unique_ptr<CPoolStore> chunk =
        StoreBatch(batch, m_Summary.m_Names.size(), m_Store.get());
    if (chunk) {
        x_WindowPass(*chunk, m_Priors, nullptr);
    }
}

// Posterior windows of the sites of a store (all of them, or one chunk's):
// every pool is fed every stored site, those where it does not count
// without values, so that every pool gets the same windows.
void CDivRun::x_WindowPass(const CPoolStore& sites, const std::vector<SPoolSpectrum>& spectra,
                           const std::vector<std::unique_ptr<CPoolSpectrumModel>>* models) {
    for (std::size_t p = 0; p < spectra.size(); ++p) {
        std::unique_ptr<CPoolSpectrumModel> own;
        const CPoolSpectrumModel* model = models ? (*models)[p].get() : nullptr;
        if (!model) {
            own = std::make_unique<CPoolSpectrumModel>(sites, p, x_Size(p), !m_Opts.m_Unfolded);
            model = own.get();
            m_Summary.m_PoolSites[p] += model->Sites();
        }
        CStoreSites all(sites);
        model->Posterior(spectra[p], m_Threads.get(),
                         [&](int contig, std::int64_t pos, const SSpectrumSums& t) {
                             for (; all.Before(contig, pos); all.Advance()) {
                                 m_Windows->Add(p, all.Contig(), all.Pos(), nullptr);
                             }
                             // A site the prior makes impossible has no
                             // expectations (refused below).
                             const bool possible = std::isfinite(t.pi);
                             m_Impossible[p] += !possible;
                             const double v[kWindowValues] = {t.pi, t.segregating, t.thetaH, 0.0};
                             m_Windows->Add(p, contig, pos, possible ? v : nullptr);
                             all.Advance();
                         });
        for (; !all.Done(); all.Advance()) {
            m_Windows->Add(p, all.Contig(), all.Pos(), nullptr);
        }
        if (m_Impossible[p] > 0) {
            x_RefusePrior(p, m_Impossible[p]);
        }
    }
    m_Windows->Flush();
}

// Every pool fitted (or evaluated under its prior), with its bootstrap
// intervals, into the table; then the windows from the fitted spectra.
void CDivRun::x_FitPools() {
    if (m_Opts.m_Bootstrap) {
        m_Blocks = std::make_unique<CSiteBlocks>(*m_Store, m_Opts.m_BlockSize);
        const std::size_t n = m_Blocks->Blocks();
        if (n > 1) {
            if (n < 20) {
                Warn("qualdiv: only " + std::to_string(n) + " bootstrap blocks of " +
                     std::to_string(m_Opts.m_BlockSize) +
                     " bases hold sites: the intervals are rough; a smaller --block gives more.");
            }
            if (m_Opts.m_Replicates < 100) {
                Warn("qualdiv: " + std::to_string(m_Opts.m_Replicates) +
                     " bootstrap resamples give rough interval ends; 200 or more are advised.");
            }
            m_Resamples = DrawResamples(n, m_Opts.m_Replicates, m_Opts.m_Seed);
        }
    }
    const bool folded = !m_Opts.m_Unfolded;
    for (std::size_t p = 0; p < m_Summary.m_Names.size(); ++p) {
        SPoolLogLinear family;
        if (m_Opts.m_Splines > 0) {
            family = SmoothSpectrumFamily(x_Size(p), folded, m_Opts.m_Splines, m_Opts.m_Smoothing);
        }
        m_Models.push_back(
            std::make_unique<CPoolSpectrumModel>(*m_Store, p, x_Size(p), folded, family));
        const CPoolSpectrumModel& model = *m_Models.back();
        m_Summary.m_PoolSites[p] = model.Sites();
        SPoolFitResult fit = x_Fit(p, model);
        SEnds ends;
        if (!m_Resamples.empty() && model.Sites() > 0) {
            ends = x_Bootstrap(p, model, fit);
        }
        SNeutrality v = Neutrality(fit.sums, x_Size(p), folded);
        m_Table << m_Summary.m_Names[p] << '\t' << model.Sites() << '\t' << FormatNumber(v.pi)
                << '\t' << FormatNumber(ends.pi[0]) << '\t' << FormatNumber(ends.pi[1]) << '\t'
                << FormatNumber(v.thetaW) << '\t' << FormatNumber(ends.thetaW[0]) << '\t'
                << FormatNumber(ends.thetaW[1]) << '\t' << FormatNumber(v.tajimaD) << '\t'
                << FormatNumber(ends.tajimaD[0]) << '\t' << FormatNumber(ends.tajimaD[1]);
        if (m_Opts.m_Unfolded) {
            m_Table << '\t' << FormatNumber(v.thetaH) << '\t' << FormatNumber(v.fayWuH);
        }
        m_Table << '\n';
        m_Fits.push_back(std::move(fit));
    }
    if (m_Windows) {
        std::vector<SPoolSpectrum> spectra;
        for (const SPoolFitResult& f : m_Fits) {
            spectra.push_back(f.spectrum);
        }
        m_Bar.Status("windows");
        x_WindowPass(*m_Store, spectra, &m_Models);
    }
}

// Pool p's fit, or its prior evaluated; a prior under which every site of
// the pool is impossible is refused (pool_spectrum_file.hpp).
SPoolFitResult CDivRun::x_Fit(std::size_t p, const CPoolSpectrumModel& model) {
    const std::string& name = m_Summary.m_Names[p];
    m_Bar.Status("fitting " + name + " (pool " + std::to_string(p + 1) + " of " +
                 std::to_string(m_Summary.m_Names.size()) + ", " + std::to_string(model.Sites()) +
                 " sites)");
    SPoolFitResult fit;
    if (!m_Priors.empty()) {
        if (model.Sites() > 0) {
            CheckPriorOnData(model, m_Priors[p], m_PriorFiles[p], m_Threads.get());
        }
        fit = model.Evaluate(m_Priors[p], m_Threads.get());
        if (fit.impossibleSites > 0) {
            x_RefusePrior(p, fit.impossibleSites);
        }
    } else {
        SPoolFitOptions fo;
        fo.gap = kFitGap;
        fit = model.Fit(fo, m_Threads.get());
        if (!fit.converged && model.Sites() > 0) {
            Warn("qualdiv: the fit of " + name + " stopped after " + std::to_string(fit.passes) +
                 " passes, " + FormatNumber(fit.gap) +
                 " log-likelihood units or less below its maximum.");
        }
    }
    m_Summary.m_Passes += static_cast<std::uint64_t>(fit.passes);
    return fit;
}

// A prior under which some sites of pool p are impossible is no spectrum of
// the pool: its values would leave those sites out.
void CDivRun::x_RefusePrior(std::size_t p, std::uint64_t impossible) const {
    throw CInputError(EInputError::eMismatch, SInputWhere{m_PriorFiles[p], 0, 0, "", 0},
                      "gives " + std::to_string(impossible) + " sites of " + m_Summary.m_Names[p] +
                          " no chance at all (a likelihood of 0): it is no spectrum of this "
                          "pool; give the spectrum an earlier run on its reads wrote with --sfs.");
}

// The percentile intervals of pi, theta_W and D from every resample
// refitted, starting at the data's spectrum.
SEnds CDivRun::x_Bootstrap(std::size_t p, const CPoolSpectrumModel& model,
                           const SPoolFitResult& fit) {
    const std::string& name = m_Summary.m_Names[p];
    std::vector<double> pi, thetaW, tajimaD;
    for (std::size_t r = 0; r < m_Resamples.size(); ++r) {
        m_Bar.Status("resampling " + name + ", " + std::to_string(r + 1) + " of " +
                     std::to_string(m_Resamples.size()));
        SPoolFitOptions fo;
        fo.gap = kResampleGap;
        const SPoolFitResult rep =
            model.Fit(fo, m_Threads.get(), &fit.spectrum, m_Blocks.get(), &m_Resamples[r]);
        m_Summary.m_Passes += static_cast<std::uint64_t>(rep.passes);
        if (rep.weight > 0) {
            const SNeutrality v = Neutrality(rep.sums, x_Size(p), !m_Opts.m_Unfolded);
            pi.push_back(v.pi);
            thetaW.push_back(v.thetaW);
            tajimaD.push_back(v.tajimaD);
        }
    }
    SEnds e;
    PercentileInterval(pi, m_Opts.m_Level, e.pi[0], e.pi[1]);
    PercentileInterval(thetaW, m_Opts.m_Level, e.thetaW[0], e.thetaW[1]);
    PercentileInterval(tajimaD, m_Opts.m_Level, e.tajimaD[0], e.tajimaD[1]);
    return e;
}

// Every output is complete: the spectra and windows first; a table on
// standard output is the last word.
void CDivRun::x_WriteOutputs() {
    std::vector<std::unique_ptr<CSafeOutputFile>> spectra;
    if (!m_Opts.m_Sfs.empty() && m_Store) {
        for (std::size_t p = 0; p < m_Fits.size(); ++p) {
            const std::string& name = m_Summary.m_Names[p];
            spectra.push_back(
                std::make_unique<CSafeOutputFile>(PoolSpectrumFileName(m_Opts.m_Sfs, name)));
            spectra.back()->CheckOpen();
            std::ostringstream comment;
            comment << "qualdiv " << QUALDIV_VERSION << ": spectrum of pool " << name << " ("
                    << x_Size(p) << " chromosomes), the fitted shares times its "
                    << m_Summary.m_PoolSites[p] << " sites\n"
                    << (m_Opts.m_Unfolded
                            ? "unfolded: the reference base is the first allele, taken as "
                              "ancestral"
                            : "folded: the second allele of a site is the rarer one in the reads");
            WritePoolSpectrum(spectra.back()->stream(), m_Fits[p].spectrum,
                              static_cast<double>(m_Summary.m_PoolSites[p]), name, comment.str());
        }
    }
    for (auto& s : spectra) {
        s->Commit();
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

// What the reading saw, and a warning for every pool without a read.
void CDivRun::x_Summarise() {
    for (const std::size_t i : SummariseReading(*m_Reader, m_Summary)) {
        Warn("qualdiv: pool '" + m_Summary.m_Names[i] +
             "' has no site where it counts (no read after the filters): its values are "
             "NA.");
    }
}

}  // namespace

std::string PoolSpectrumFileName(const std::string& prefix, const std::string& name) {
    std::string base = prefix;
    if (base.size() > 3 && base.compare(base.size() - 3, 3, ".fs") == 0) {
        base.erase(base.size() - 3);
    }
    return base + "." + name + ".fs";
}

std::string DivTableHeader(bool unfolded) {
    return std::string(
               "pool\tsites\tpi\tpi_lo\tpi_hi\ttheta_w\ttheta_w_lo\ttheta_w_hi\ttajima_d\t"
               "tajima_d_lo\ttajima_d_hi") +
           (unfolded ? "\ttheta_h\tfay_wu_h\n" : "\n");
}

std::string DivWindowsHeader(bool unfolded) {
    return std::string("contig\tstart\tend\tpool\tsites\tpi\ttheta_w\ttajima_d") +
           (unfolded ? "\ttheta_h\tfay_wu_h\n" : "\n");
}

SDivSummary RunQualDiv(const SDivOptions& opts, std::ostream& out, std::ostream* progress,
                       CProgressLine::EStyle style) {
    CDivRun run(opts, out, progress, style);
    return run.Run();
}

std::string FormatDivSummary(const SDivSummary& s, const SDivOptions& opts) {
    std::ostringstream os;
    os << "qualdiv: " << s.m_Names.size() << (s.m_Names.size() == 1 ? " pool, " : " pools, ")
       << s.m_Sites << " sites with " << s.m_Reads << " reads from " << s.m_InputKind << " on "
       << s.m_Contigs << (s.m_Contigs == 1 ? " contig" : " contigs");
    if (s.m_Names.size() > 1) {
        for (std::size_t p = 0; p < s.m_Names.size() && p < s.m_PoolSites.size(); ++p) {
            os << (p == 0 ? "; sites per pool: " : ", ") << s.m_Names[p] << ' ' << s.m_PoolSites[p];
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
        os << "; " << s.m_Windows << " windows, one per contig, written to '"
           << opts.m_WindowsOutput << "'";
    } else if (!opts.m_WindowsBed.empty()) {
        os << "; " << s.m_Windows << " windows of the lines of '" << opts.m_WindowsBed
           << "' written to '" << opts.m_WindowsOutput << "'";
    }
    return os.str();
}
