// qualscan: theta of the neutral spectrum and theta and the growth rate of
// the exponential-growth spectrum, with profile-likelihood intervals and a
// growth test, genome-wide and in windows, from alignments, pileup text or a
// data set.

#include <htslib/hts_log.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "common/progress.hpp"
#include "scan/scan_options.hpp"
#include "scan/scan_run.hpp"

int main(int argc, char* argv[]) {
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualscan", [&] {
        SScanOptions opts;
        if (ParseScanArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        // On a terminal the progress line is redrawn in place; in a log it
        // is a line a minute.
        std::ostream* progress = opts.m_Pileup.m_Progress ? &std::cerr : nullptr;
        const CProgressLine::EStyle style = CProgressLine::StandardErrorStyle();
        const SScanSummary summary = RunQualScan(opts, std::cout, progress, style);
        std::cerr << FormatScanSummary(summary, opts) << std::endl;
        return 0;
    });
}
