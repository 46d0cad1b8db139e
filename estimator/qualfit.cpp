// qualfit: estimates frequency-spectrum parameters from quality-scored reads.

#include <exception>
#include <iostream>

#include "common/options.hpp"
#include "estimator/driver.hpp"

int main(int argc, char* argv[]) {
    try {
        TOptionMap opts;
        ParseCommandLine(argc, argv, kQualfitOptions, kQualfitRequired, opts, kQualfitUsage);
        return Run(opts);
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Exception:\n\t" << e.what() << std::endl;
        return 1;
    } catch (...) {
        // Nothing may end the program by std::terminate.
        std::cout.flush();
        std::cerr << "Exception:\n\tunknown error." << std::endl;
        return 1;
    }
}
