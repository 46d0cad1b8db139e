// qualgen: simulates a quality-score data set and writes it as XML to
// standard output.

#include "common/main_guard.hpp"
#include "common/options.hpp"
#include "simulator/simdriver.hpp"

int main(int argc, char* argv[]) {
    return GuardedMain([&] {
        TOptionMap opts;
        ParseCommandLine(argc, argv, kQualgenOptions, kQualgenRequired, opts, kQualgenUsage);
        return RunSimulator(opts);
    });
}
