// qualfreq: SNPs in pools and every pool's allele frequency at each, from
// quality-weighted reads, as VCF.

#include <htslib/hts_log.h>
#include <malloc.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "common/progress.hpp"
#include "freq/freq_options.hpp"
#include "freq/freq_run.hpp"

int main(int argc, char* argv[]) {
    // Blocks of a megabyte and more (a job's sites, a chunk of the store)
    // go back to the system when freed, so that a run with --prior, which
    // frees every batch once it is called, keeps its memory flat.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // Our own messages name the file and the fault.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualfreq", [&] {
        SFreqOptions opts;
        if (ParseFreqArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        std::ostream* progress = opts.m_Pileup.m_Progress ? &std::cerr : nullptr;
        const CProgressLine::EStyle style = CProgressLine::StandardErrorStyle();
        const SFreqSummary summary = RunQualFreq(opts, std::cout, progress, style);
        std::cerr << FormatFreqSummary(summary, opts) << std::endl;
        return 0;
    });
}
