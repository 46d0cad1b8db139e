#include "freq/freq_run.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/input_error.hpp"
#include "base/warnings.hpp"
#include "common/safe_output.hpp"
#include "common/taskpool.hpp"
#include "common/thread_pool.hpp"
#include "freq/call_output.hpp"
#include "freq/joint_prior.hpp"
#include "freq/snp_calls.hpp"
#include "freq/stored_sites.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_sources.hpp"
#include "pool/pool_spectrum.hpp"
#include "pool/pool_spectrum_file.hpp"
#include "pool/pool_store.hpp"

#ifndef QUALFREQ_VERSION
#define QUALFREQ_VERSION "unknown"
#endif

namespace {

// The stages of one run: the pools read into a store and their spectra
// fitted, or with --prior called batch by batch as they are read; the
// candidates called and written; the outputs committed once complete.
class CFreqRun {
  public:
    CFreqRun(const SFreqOptions& opts, std::ostream& out, std::ostream* progress,
             CProgressLine::EStyle style)
        : m_Opts(opts),
          m_Out(out),
          m_Threads(StartThreadPool(opts.m_Threads)),
          m_Bar(progress, "qualfreq", 1, style) {}

    SFreqSummary Run();

  private:
    void x_OnPools(const std::vector<SPoolSpec>& given);
    void x_CheckOutputs();
    void x_ReadShared();
    SCallHeader x_Header() const;
    void x_Take(SPoolBatch& batch);
    void x_FitPools();
    void x_CallStored();
    void x_Emit(const std::vector<SSnpCall>& calls);
    void x_Finish();
    void x_Summarise();

    SFreqOptions m_Opts;  // a copy: the run makes it unfolded
    std::ostream& m_Out;
    SPoolProgram m_Program = FreqProgram();
    TThreadPool m_Threads;
    CProgressLine m_Bar;
    SFreqSummary m_Summary;
    SPoolInputs m_Inputs;
    std::unique_ptr<CPoolReader> m_Reader;
    std::size_t m_Pools = 0;
    bool m_Test = false;  // two pools or more: the test of differentiation
    std::vector<std::string> m_PriorFiles;
    std::vector<SPoolSpectrum> m_Priors;  // read (--prior), or fitted
    SJointPrior m_Joint;
    std::vector<SPoolSpectrum> m_Written;    // fitted: each pool's prior as --sfs writes it
    std::vector<double> m_FitSites;          // per pool: the sites of its fit
    std::unique_ptr<CPoolStore> m_Store;     // without --prior
    SCandidateSites m_Candidates;            // with the store
    std::unique_ptr<CJointCaller> m_Caller;  // with --prior
    SCallCounts m_Counts;
    SPoolContigs m_Contigs;  // of the alignments
    std::unique_ptr<CVcfWriter> m_Vcf;
    std::unique_ptr<CCallTable> m_Table;
    std::unique_ptr<CCallSpool> m_Spool;
};

SFreqSummary CFreqRun::Run() {
    m_Inputs = ResolvePoolInputs(m_Program, m_Opts, FreqOptionTable());
    if (!m_Inputs.m_PileupText && m_Opts.m_Pileup.m_Reference.empty()) {
        BadOption(m_Program.m_Name,
                  "Alignments need their reference, -f FILE: every record's REF is its base, "
                  "and the first allele of every site.");
    }
    // Pileup text must carry its reference column, alignments take -f's
    // base: qualfreq is always unfolded.
    m_Opts.m_Unfolded = true;
    SPoolReadOptions read;
    read.m_MinCounting = 1;
    read.m_Alleles = true;
    m_Reader =
        std::make_unique<CPoolReader>(m_Program, m_Opts, m_Inputs, read, m_Threads.get(), m_Bar);
    m_Reader->Run([this](const std::vector<SPoolSpec>& given) { x_OnPools(given); },
                  [this](SPoolBatch& batch) { x_Take(batch); });
    if (m_Store) {
        m_Store->Finish();
        x_FitPools();
        x_CallStored();
    }
    m_Summary.m_Shared = m_Joint.m_Shared;
    m_Summary.m_Monomorphic = m_Joint.m_Monomorphic;
    x_Summarise();
    x_Finish();
    return m_Summary;
}

// The pools are known: the outputs checked and opened, the priors read or
// the store set up.
void CFreqRun::x_OnPools(const std::vector<SPoolSpec>& given) {
    m_Pools = given.size();
    m_Test = m_Pools >= 2;
    for (const SPoolSpec& s : given) {
        m_Summary.m_Names.push_back(s.m_Name);
        if (!m_Opts.m_Prior.empty()) {
            m_PriorFiles.push_back(PoolSpectrumPath(m_Opts.m_Prior, s.m_Name));
        }
    }
    x_CheckOutputs();
    for (std::size_t i = 0; i < m_PriorFiles.size(); ++i) {
        m_Priors.push_back(ReadPoolSpectrum(m_PriorFiles[i], given[i].m_Size, false));
    }
    if (!m_PriorFiles.empty()) {
        x_ReadShared();
    }
    if (!m_Inputs.m_PileupText) {
        std::vector<std::vector<std::string>> files;
        for (const SPoolSpec& s : given) {
            files.push_back(s.m_Files);
        }
        m_Contigs = CheckPoolReferences(files, m_Opts.m_Pileup.m_Reference);
    }
    m_Vcf = std::make_unique<CVcfWriter>(m_Opts.m_Output);
    if (!m_Opts.m_Table.empty()) {
        m_Table = std::make_unique<CCallTable>(m_Opts.m_Table, m_Out, m_Reader->ContigNames(),
                                               m_Summary.m_Names);
    }
    if (m_Priors.empty()) {
        m_Store = std::make_unique<CPoolStore>(m_Pools);
    } else {
        m_Joint = MakeJointPrior(m_Priors, m_Joint.m_Shared, m_Joint.m_Monomorphic);
        m_Caller = std::make_unique<CJointCaller>(m_Joint);
        // Alignments name their contigs in the header: the records follow
        // it at once. Pileup text names them as it goes: the records wait.
        if (m_Inputs.m_PileupText) {
            m_Spool = std::make_unique<CCallSpool>(m_Pools);
        } else {
            m_Vcf->WriteHeader(x_Header());
        }
    }
    m_Bar.Status("reading " + std::to_string(m_Pools) + (m_Pools == 1 ? " pool" : " pools"));
}

// Outputs that would overwrite each other, an input, an input's index or
// a prior are refused before anything is read.
void CFreqRun::x_CheckOutputs() {
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"the VCF", m_Opts.m_Output},
        {"the VCF's index", VcfIndexPath(m_Opts.m_Output)},
        {"the table", m_Opts.m_Table}};
    if (!m_Opts.m_Sfs.empty()) {
        for (const std::string& name : m_Summary.m_Names) {
            outputs.emplace_back("a spectrum file", PoolSpectrumPath(m_Opts.m_Sfs, name));
        }
    }
    std::vector<std::string> inputs = m_Inputs.m_Files;
    inputs.insert(inputs.end(), m_PriorFiles.begin(), m_PriorFiles.end());
    CheckOutputsDistinct(outputs, inputs);
}

// The pools' shared frequency share of --prior's spectra: the one their
// files carry (every file the same), else 0 (independent pools).
void CFreqRun::x_ReadShared() {
    std::size_t carrying = 0;
    for (std::size_t i = 0; i < m_PriorFiles.size(); ++i) {
        double r = 0.0, w = 0.0;
        if (!ReadJointComment(m_PriorFiles[i], r, w)) {
            continue;
        }
        if (carrying > 0 && (r != m_Joint.m_Shared || w != m_Joint.m_Monomorphic)) {
            throw CInputError(EInputError::eMismatch, SInputWhere{m_PriorFiles[i], 0, 0, "", 0},
                              "gives the pools' joint prior other shares than '" + m_PriorFiles[0] +
                                  "': the spectra of --prior must come from one run.");
        }
        m_Joint.m_Shared = r;
        m_Joint.m_Monomorphic = w;
        ++carrying;
    }
    double limit = 1.0;
    for (const SPoolSpectrum& s : m_Priors) {
        limit = std::min(limit, s.phi[0]);
    }
    if (m_Pools < 2) {
        m_Joint.m_Shared = m_Joint.m_Monomorphic = 0.0;
    } else if (carrying == 0) {
        Warn(
            "qualfreq: the spectra of --prior do not say how far the pools share their "
            "frequencies (qualfreq's --sfs writes it): the pools are taken as independent.");
    } else if (carrying < m_PriorFiles.size()) {
        throw CInputError(EInputError::eMismatch, SInputWhere{m_PriorFiles[0], 0, 0, "", 0},
                          "and the other spectra of --prior do not come from one qualfreq run "
                          "on these pools: some carry the joint prior's shares, some none.");
    } else if (m_Joint.m_Monomorphic > limit) {
        throw CInputError(EInputError::eMismatch, SInputWhere{m_PriorFiles[0], 0, 0, "", 0},
                          "and the other spectra of --prior do not come from one qualfreq run "
                          "on these pools: their shared monomorphic share exceeds a pool's "
                          "monomorphic share.");
    }
}

SCallHeader CFreqRun::x_Header() const {
    SCallHeader h;
    if (m_Inputs.m_PileupText) {
        h.m_Contigs = m_Reader->ContigNames();
        h.m_Lengths.assign(h.m_Contigs.size(), -1);
    } else {
        h.m_Contigs = m_Contigs.m_Names;
        h.m_Lengths = m_Contigs.m_Lengths;
        h.m_Reference = m_Opts.m_Pileup.m_Reference;
    }
    h.m_Pools = m_Summary.m_Names;
    for (const SPoolSpec& s : m_Inputs.m_Specs) {
        h.m_Sizes.push_back(s.m_Size);
    }
    h.m_Version = QUALFREQ_VERSION;
    h.m_CommandLine = m_Opts.m_CommandLine;
    h.m_Differentiation = m_Test;
    return h;
}

// A batch of sites in genome order: every site with a reference base into
// the store, the candidates kept; with --prior the candidates called and
// written at once.
void CFreqRun::x_Take(SPoolBatch& batch) {
    if (m_Store) {
        m_Summary.m_NoReference +=
            SplitBatch(batch, m_Pools, m_Store.get(), &m_Candidates, nullptr);
        return;
    }
    SPoolBatch candidates;
    m_Summary.m_NoReference += SplitBatch(batch, m_Pools, nullptr, nullptr, &candidates);
    std::vector<SSnpCall> calls;
    CallCandidates(candidates, m_Pools, *m_Caller, m_Opts.m_MinQual, m_Test, calls, m_Counts);
    x_Emit(calls);
}

// Each pool's spectrum fitted over every site where it counts.
void CFreqRun::x_FitPools() {
    for (std::size_t i = 0; i < m_Pools; ++i) {
        const SPoolSpec& pool = m_Inputs.m_Specs[i];
        const CPoolSpectrumModel model(*m_Store, i, pool.m_Size, false);
        m_Bar.Status("fitting the spectrum of " + pool.m_Name + " (pool " + std::to_string(i + 1) +
                     " of " + std::to_string(m_Pools) + ", " + std::to_string(model.Sites()) +
                     " sites)");
        if (model.Sites() == 0) {
            // No site to fit: the pool is missing from every record, and
            // its prior (every site monomorphic) bounds nothing.
            SPoolSpectrum none;
            none.n = pool.m_Size;
            none.phi.assign(pool.m_Size + 1, 0.0);
            none.phi[0] = 1.0;
            m_Priors.push_back(none);
            m_Written.push_back(none);
            m_FitSites.push_back(0.0);
            continue;
        }
        const SPoolFitResult fit = model.Fit(SPoolFitOptions{}, m_Threads.get());
        m_Summary.m_Passes += static_cast<std::uint64_t>(fit.passes);
        if (!fit.converged) {
            Warn("qualfreq: the fit of the spectrum of " + pool.m_Name + " stopped after " +
                 std::to_string(fit.passes) +
                 " passes before its log-likelihood settled to within 1e-4 of its maximum.");
        }
        // The prior as --sfs writes it, and as --prior reads it back (the
        // shares over the entries' sum), so that both runs call alike.
        m_Written.push_back(NearestBinomialMixture(fit.spectrum));
        m_Priors.push_back(AsReadBack(m_Written.back(), fit.weight));
        m_FitSites.push_back(fit.weight);
    }
    m_Joint = MakeJointPrior(m_Priors, 0.0, 0.0);
    if (m_Pools >= 2) {
        m_Bar.Status("fitting the pools' joint prior");
        const SJointFit joint = FitJointPrior(*m_Store, m_Joint, m_Threads.get());
        m_Joint.m_Shared = joint.m_Shared;
        m_Joint.m_Monomorphic = joint.m_Monomorphic;
    }
}

// The candidates of the store's run called under the fitted prior, chunk
// by chunk in parallel, merged in genome order.
void CFreqRun::x_CallStored() {
    const std::size_t chunks = StoredChunks(*m_Store);
    m_Bar.Status("calling " + std::to_string(m_Candidates.Sites()) + " sites");
    m_Vcf->WriteHeader(x_Header());
    struct SResult {
        std::vector<SSnpCall> calls;
        SCallCounts counts;
    };
    const std::function<SResult(std::size_t)> job = [&](std::size_t c) {
        SResult r;
        CJointCaller caller(m_Joint);
        CallStoredChunk(*m_Store, c, m_Candidates, caller, m_Opts.m_MinQual, m_Test, r.calls,
                        r.counts);
        return r;
    };
    const std::function<void(std::size_t, SResult&)> merge = [&](std::size_t, SResult& r) {
        m_Counts.Add(r.counts);
        x_Emit(r.calls);
    };
    RunOrdered<SResult>(m_Threads.get(), chunks, job, merge);
}

void CFreqRun::x_Emit(const std::vector<SSnpCall>& calls) {
    for (const SSnpCall& c : calls) {
        if (m_Spool) {
            m_Spool->Put(c);
        } else {
            m_Vcf->Write(c);
        }
        if (m_Table) {
            m_Table->Write(c);
        }
    }
}

// Every output is complete: the spooled records behind their header, the
// spectra, the table, and the VCF last.
void CFreqRun::x_Finish() {
    if (!m_Vcf->HeaderWritten()) {
        m_Vcf->WriteHeader(x_Header());
    }
    if (m_Spool) {
        m_Spool->Drain([this](const SSnpCall& c) { m_Vcf->Write(c); });
    }
    if (m_Counts.m_ImpossiblePools > 0) {
        Warn("qualfreq: at " + std::to_string(m_Counts.m_ImpossiblePools) +
             " pool-sites of the records written the prior gives the reads no chance at all: "
             "their AF is missing; the spectra of --prior should be those an earlier run on "
             "these pools wrote with --sfs.");
    }
    std::vector<std::unique_ptr<CSafeOutputFile>> spectra;
    if (!m_Opts.m_Sfs.empty()) {
        for (std::size_t i = 0; i < m_Pools; ++i) {
            const SPoolSpec& pool = m_Inputs.m_Specs[i];
            if (m_FitSites[i] <= 0.0) {
                Warn("qualfreq: pool '" + pool.m_Name +
                     "' has no site to fit its spectrum to: no spectrum file is written for it.");
                continue;
            }
            spectra.push_back(
                std::make_unique<CSafeOutputFile>(PoolSpectrumPath(m_Opts.m_Sfs, pool.m_Name)));
            spectra.back()->CheckOpen();
            WritePoolSpectrum(
                spectra.back()->stream(), m_Written[i], m_FitSites[i], pool.m_Name,
                "qualfreq " QUALFREQ_VERSION ": the prior of " + pool.m_Name + " (" +
                    std::to_string(pool.m_Size) +
                    " chromosomes): the binomial mixture nearest its fitted spectrum, "
                    "the shares times its sites\n"
                    "unfolded: the reference base is the first allele\n" +
                    JointComment(m_Joint.m_Shared, m_Joint.m_Monomorphic));
        }
    }
    for (auto& s : spectra) {
        s->Commit();
    }
    if (m_Table) {
        m_Table->Commit();
    }
    m_Vcf->Commit();
}

// What the reading saw, and a warning for every pool without a read.
void CFreqRun::x_Summarise() {
    for (const std::size_t i : SummariseReading(*m_Reader, m_Summary)) {
        Warn("qualfreq: pool '" + m_Summary.m_Names[i] +
             "' has no site (no read after the filters): its values are missing from "
             "every record.");
    }
    m_Summary.m_Sites -= m_Summary.m_NoReference;
    m_Summary.m_Candidates = m_Counts.m_Candidates;
    m_Summary.m_Written = m_Counts.m_Written;
}

}  // namespace

SFreqSummary RunQualFreq(const SFreqOptions& opts, std::ostream& out, std::ostream* progress,
                         CProgressLine::EStyle style) {
    CFreqRun run(opts, out, progress, style);
    return run.Run();
}

std::string FormatFreqSummary(const SFreqSummary& s, const SFreqOptions& opts) {
    std::ostringstream os;
    const bool toFile = !opts.m_Output.empty() && opts.m_Output != "-";
    os << "qualfreq: " << s.m_Names.size() << (s.m_Names.size() == 1 ? " pool, " : " pools, ")
       << s.m_Sites << " sites with " << s.m_Reads << " reads from " << s.m_InputKind << " on "
       << s.m_Contigs << (s.m_Contigs == 1 ? " contig" : " contigs") << "; " << s.m_Candidates
       << " with a base other than the reference, " << s.m_Written
       << " with QUAL >= " << opts.m_MinQual << " written to "
       << (toFile ? "'" + opts.m_Output + "'" : std::string("standard output"));
    if (!opts.m_Prior.empty()) {
        os << " (the spectra of '" << opts.m_Prior << "' as priors)";
    }
    if (s.m_PoolSitesBelowMinDepth + s.m_PoolSitesAboveMaxDepth > 0) {
        os << "; left out for depth: " << s.m_PoolSitesBelowMinDepth << " pool-sites below -d, "
           << s.m_PoolSitesAboveMaxDepth << " above -D";
    }
    if (s.m_MultiAllelic > 0) {
        os << "; " << s.m_MultiAllelic << (s.m_MultiAllelic == 1 ? " site" : " sites")
           << " with a third allele left out";
    }
    if (s.m_NoReference > 0) {
        os << "; " << s.m_NoReference << (s.m_NoReference == 1 ? " site" : " sites")
           << " without a reference base (N) left out";
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
    if (s.m_Names.size() > 1) {
        os << "; joint prior: shared frequency share " << s.m_Shared
           << ", shared monomorphic share " << s.m_Monomorphic;
    }
    return os.str();
}
