// qualpileup: aligned reads (SAM, BAM, CRAM) to the quality-score data-set
// document that qualfit reads.

#include <htslib/hts_log.h>

#include <exception>
#include <iostream>

#include "pileup/pileup_options.hpp"
#include "pileup/pileup_run.hpp"

int main(int argc, char* argv[]) {
    // Our own messages name the file and the fault; htslib's would repeat
    // them in its own words.
    hts_set_log_level(HTS_LOG_OFF);
    try {
        SPileupOptions opts;
        if (ParsePileupArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        RunQualPileup(opts);
    } catch (const std::exception& e) {
        std::cerr << "Exception:\n\t" << e.what() << std::endl;
        return 1;
    }
    return 0;
}
