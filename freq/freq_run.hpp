#pragma once
// One qualfreq run, in the stages every pool program has (pool/): the pools
// and their refusals, their sites read and tabulated (in parallel pieces of
// the genome for indexed alignments) into a store for the fit of each
// pool's spectrum, or with --prior called as they come; then the sites
// where a base other than the reference was read called under those
// spectra, and the VCF, the table and the spectra written.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "freq/freq_options.hpp"
#include "pool/pool_reader.hpp"

// What a run read and did; its sites are the positions where a pool counts
// and the reference base is known.
struct SFreqSummary : SPoolReadSummary {
    std::uint64_t m_Candidates = 0;  // sites where a base other than the reference was read
    std::uint64_t m_Written = 0;     // records written
    std::uint64_t m_Passes = 0;      // passes over the sites of the fits
    // The pools' joint prior (joint_prior.hpp): its shared frequency and
    // shared monomorphic shares.
    double m_Shared = 0.0, m_Monomorphic = 0.0;
    std::uint64_t m_NoReference = 0;  // sites whose reference base is not A, C, G or T
};

// Runs qualfreq with opts: the VCF to opts.m_Output (or out), the table and
// the spectra to their files, every file replaced only when the run is
// complete. progress, when not null, gets the progress line. Input faults
// throw CInputError, other faults std::runtime_error; both name the file.
SFreqSummary RunQualFreq(const SFreqOptions& opts, std::ostream& out, std::ostream* progress,
                         CProgressLine::EStyle style = CProgressLine::EStyle::eTerminal);

// The summary line (without line break).
std::string FormatFreqSummary(const SFreqSummary& summary, const SFreqOptions& opts);
