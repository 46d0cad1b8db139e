// qualgen: simulates a quality-score data set and writes it as XML to
// standard output.

#include <exception>
#include <iostream>

#include "common/options.hpp"
#include "simulator/simdriver.hpp"

int main(int argc, char* argv[]) {
    try {
        TOptionMap opts;
        ParseCommandLine(argc, argv, kQualgenOptions, kQualgenRequired, opts, kQualgenUsage);
        return RunSimulator(opts);
    } catch (const std::exception& e) {
        std::cerr << "Exception:\n\t" << e.what() << std::endl;
        return 1;
    }
}
