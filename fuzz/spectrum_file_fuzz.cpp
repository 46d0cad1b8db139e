// qualfst's reader of joint spectra (.fs, the text format of dadi and
// moments), as --prior reads them: ReadSpectrum on any bytes, for a pair
// whose sizes (1 to 8 each) and folding the first byte picks. Bad input must
// end in CInputError naming the file; a spectrum read must be shares of the
// sites: finite, not negative, summing to 1, symmetric when folded, with
// monomorphic sites.

#include <cmath>
#include <cstdint>
#include <string>

#include "fst/spectrum_file.hpp"
#include "fuzz/reader_fuzz_util.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned n1 = 1 + (data[0] & 7), n2 = 1 + ((data[0] >> 3) & 7);
    const bool folded = (data[0] & 64) != 0;
    const std::string path = fuzz::InputFile("prior.a.b.fs", data + 1, size - 1);
    fuzz::ExpectSilentStderr([&] {
        fuzz::ExpectInputErrorsOnly(path, [&] {
            const SJointSpectrum s = ReadSpectrum(path, n1, n2, folded, "a", "b");
            fuzz::Check(s.n1 == n1 && s.n2 == n2 && s.folded == folded, "other dimensions");
            fuzz::Check(s.phi.size() == std::size_t{n1 + 1} * (n2 + 1), "a spectrum's size");
            double sum = 0.0;
            for (std::size_t c = 0; c < s.phi.size(); ++c) {
                fuzz::Check(std::isfinite(s.phi[c]) && s.phi[c] >= 0.0, "a share not in [0, inf)");
                sum += s.phi[c];
                if (folded) {
                    fuzz::Check(s.phi[c] == s.phi[s.phi.size() - 1 - c],
                                "a folded spectrum's mirror");
                }
            }
            fuzz::Check(std::fabs(sum - 1.0) < 1e-9, "shares that do not sum to 1");
            fuzz::Check(s.phi[0] > 0.0, "no monomorphic sites");
        });
    });
    return 0;
}
