// The parameter string: CFreqSpectrum::SetParams(text) on any bytes, for the
// neutral and the growth model, then what the programs do with a model:
// the range check, the spectrum at small depths, folded and unfolded, and
// the string written back (qualfit -o, qualgen's FSParams).
//
// Properties beyond "no crash":
// - the written string reads back to itself, with as many parameters;
// - inside the domain, with theta <= 1, every value is finite.

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Deep enough for every branch of both models (the neutral range check
// vouches for depths up to 31), shallow enough for many runs a second: the
// growth model's cost grows with the cube of the deepest depth.
constexpr int kMaxDepth = 32;

void Exercise(CFreqSpectrum& model, const std::string& text) {
    model.SetParams(text);
    const std::string written = model.GetParamString();
    std::unique_ptr<CFreqSpectrum> back(model.Clone());
    back->SetParams(TParamVector());
    back->SetParams(written);
    fuzz::Check(back->GetParamString() == written, model.GetName() + ": parameter string '" +
                                                       written + "' reads back as '" +
                                                       back->GetParamString() + "'");
    fuzz::Check(back->GetNumParams() == model.GetNumParams(),
                model.GetName() + ": parameter string '" + written + "' changes the count");

    const bool inDomain = !model.ParamsOutOfRange();
    const bool checkFinite = inDomain && model.GetParam(0) <= 1;
    for (bool folded : {true, false}) {
        model.SetFolded(folded);
        for (int depth = 1; depth <= kMaxDepth; ++depth) {
            for (int k = 0; k <= depth; ++k) {
                const double p = model(k, depth);
                if (checkFinite && !std::isfinite(p)) {
                    fuzz::Finding(model.GetName() + " '" + written + "'" +
                                  (folded ? " folded" : " unfolded") + ": value " +
                                  std::to_string(p) + " at k = " + std::to_string(k) +
                                  ", n = " + std::to_string(depth));
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::AsString(data, size);
    fuzz::ExpectSilentStderr([&] {
        CFSNeutral neutral;
        Exercise(neutral, text);
        CFSGrowth growth;
        Exercise(growth, text);
    });
    return 0;
}
