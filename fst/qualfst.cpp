// qualfst: diversity within pools, divergence between them and F_ST, at the
// population level, from quality-weighted reads of several pools.

#include <htslib/hts_log.h>
#include <unistd.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "common/progress.hpp"
#include "fst/fst_options.hpp"
#include "fst/fst_run.hpp"

int main(int argc, char* argv[]) {
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain([&] {
        SFstOptions opts;
        if (ParseFstArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        // On a terminal the progress line is redrawn in place; in a log it
        // is a line a minute.
        std::ostream* progress = opts.m_Pileup.m_Progress ? &std::cerr : nullptr;
        const CProgressLine::EStyle style = ::isatty(STDERR_FILENO)
                                                ? CProgressLine::EStyle::eTerminal
                                                : CProgressLine::EStyle::eLog;
        const SFstSummary summary = RunQualFst(opts, std::cout, progress, style);
        std::cerr << FormatFstSummary(summary, opts) << std::endl;
        return 0;
    });
}
