// qualpoolsim: pools of chromosomes from populations that drifted apart, and
// their reads as BAM files, with the truth to check estimates against.

#include <htslib/hts_log.h>

#include <iostream>

#include "common/main_guard.hpp"
#include "poolsim/pool_sim.hpp"
#include "poolsim/pool_sim_options.hpp"

int main(int argc, char* argv[]) {
    hts_set_log_level(HTS_LOG_OFF);
    return GuardedMain("qualpoolsim", [&] {
        SPoolSimOptions opts;
        if (ParsePoolSimArgs(argc, argv, opts, std::cout) != EParseResult::eRun) {
            return 0;
        }
        const SPoolSimSummary s = RunPoolSim(opts);
        std::uint64_t reads = 0;
        for (std::uint64_t r : s.m_Reads) {
            reads += r;
        }
        std::cerr << "qualpoolsim: " << opts.m_Names.size()
                  << (opts.m_Names.size() == 1 ? " pool, " : " pools, ") << s.m_Positions
                  << " positions (" << s.m_AncestralPolymorphic << " polymorphic), " << reads
                  << " reads; " << s.m_Files.size() << " files written to " << opts.m_Prefix << ".*"
                  << std::endl;
        return 0;
    });
}
