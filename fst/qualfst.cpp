// qualfst: diversity within pools, divergence between them and F_ST, at the
// population level, from quality-weighted reads of several pools.

#include <htslib/hts_log.h>
#include <malloc.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "common/progress.hpp"
#include "fst/fst_options.hpp"
#include "fst/fst_run.hpp"

int main(int argc, char* argv[]) {
    // Blocks of a megabyte and more (a job's sites, a chunk of the store)
    // come from and go back to the system. glibc would otherwise raise this
    // threshold as large blocks are freed and keep later ones in its heap,
    // where --windows-only, which frees every job's sites, would see its
    // memory creep with the genome's length.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualfst", [&] {
        SFstOptions opts;
        if (ParseFstArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        // On a terminal the progress line is redrawn in place; in a log it
        // is a line a minute.
        std::ostream* progress = opts.m_Pileup.m_Progress ? &std::cerr : nullptr;
        const CProgressLine::EStyle style = CProgressLine::StandardErrorStyle();
        const SFstSummary summary = RunQualFst(opts, std::cout, progress, style);
        std::cerr << FormatFstSummary(summary, opts) << std::endl;
        return 0;
    });
}
