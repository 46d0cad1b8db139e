// qualfit: estimates frequency-spectrum parameters from quality-scored reads.

#include "common/main_guard.hpp"
#include "common/options.hpp"
#include "estimator/driver.hpp"

int main(int argc, char* argv[]) {
    return GuardedMain([&] {
        TOptionMap opts;
        ParseCommandLine(argc, argv, kQualfitOptions, kQualfitRequired, opts, kQualfitUsage);
        return Run(opts);
    });
}
