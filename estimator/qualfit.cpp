// qualfit: estimates frequency-spectrum parameters from quality-scored reads.

#include "common/main_guard.hpp"
#include "common/options.hpp"
#include "common/stderr_buffer.hpp"
#include "estimator/driver.hpp"

int main(int argc, char* argv[]) {
    return GuardedMain([&] {
        // A data set of deep, noisy sites gives a warning line per site;
        // the buffer is emptied before an exception is reported.
        CBufferedStandardError warnings;
        TOptionMap opts;
        ParseCommandLine(argc, argv, kQualfitOptions, kQualfitRequired, opts, kQualfitUsage);
        return Run(opts);
    });
}
