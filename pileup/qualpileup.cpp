// qualpileup: aligned reads (SAM, BAM, CRAM) to the quality-score data-set
// document that qualfit reads.

#include <htslib/hts_log.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_run.hpp"

int main(int argc, char* argv[]) {
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualpileup", [&] {
        SPileupOptions opts;
        if (ParsePileupArgs(argc, argv, opts, std::cout) == EParseResult::eRun) {
            RunQualPileup(opts);
        }
        return 0;
    });
}
