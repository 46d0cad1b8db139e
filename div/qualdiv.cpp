// qualdiv: each pool's pi, Watterson's theta and Tajima's D (and, unfolded,
// Fay and Wu's H), genome-wide and in windows, from quality-weighted reads.

#include <htslib/hts_log.h>
#include <malloc.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "common/progress.hpp"
#include "div/div_options.hpp"
#include "div/div_run.hpp"

int main(int argc, char* argv[]) {
    // Blocks of a megabyte and more (a job's sites, a chunk of the store)
    // come from and go back to the system, so that --windows-only, which
    // frees every job's sites, keeps a flat memory (as in qualfst).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualdiv", [&] {
        SDivOptions opts;
        if (ParseDivArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        std::ostream* progress = opts.m_Pileup.m_Progress ? &std::cerr : nullptr;
        const CProgressLine::EStyle style = CProgressLine::StandardErrorStyle();
        const SDivSummary summary = RunQualDiv(opts, std::cout, progress, style);
        std::cerr << FormatDivSummary(summary, opts) << std::endl;
        return 0;
    });
}
