// Summary files: CSiteFileReader on the input, BGZF-compressed by the
// target unless it already is gzip data (so that mutations reach the
// format, not the compression), with the model settings its header names.
// Bad input must end in CInputError naming the file; whatever the reader
// accepts must give the site store a finite likelihood at every theta of
// the domain (no NaN, no read past a record).

#include <htslib/bgzf.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "engine/fit.hpp"
#include "engine/priorrows.hpp"
#include "engine/sitestore.hpp"
#include "fuzz/reader_fuzz_util.hpp"
#include "sitefile/site_file.hpp"

namespace {

void ReadAll(const std::string& path) {
    SSiteOptions options;
    try {
        const SSiteFileSettings s = ReadSiteFileSettings(path);
        options.folded = s.folded;
        options.poolSize = s.poolSize == 1 ? 0 : s.poolSize;
    } catch (const CInputError&) {
        // The reader below refuses it in its own words.
    }
    CSiteFileReader reader({path}, options);
    CSiteStore store(options);
    SSiteBatch batch;
    while (reader.Next(batch, 64)) {
        store.Append(batch);
    }
    const CPriorRows rows = CPriorRows::Neutral(store);
    for (const double theta : {0.0, 1e-3, 0.01}) {
        const double ll = LogLikelihood(store, rows, theta, nullptr);
        fuzz::Check(std::isfinite(ll), "an accepted file gives a likelihood that is not finite");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::ReaderScratch() / "in.sites";
    if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
        fuzz::InputFile("in.sites", data, size);
    } else {
        BGZF* out = bgzf_open(path.c_str(), "w");
        fuzz::Check(out != nullptr && bgzf_write(out, data, size) == static_cast<ssize_t>(size) &&
                        bgzf_close(out) == 0,
                    "cannot write the scratch summary file");
    }
    fuzz::ExpectSilentStderr([&] { fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path); }); });
    return 0;
}
