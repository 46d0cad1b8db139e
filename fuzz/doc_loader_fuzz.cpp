// The document loader: CQScores::LoadFromStream on any bytes, in folded and
// unfolded use, then what qualfit does with a loaded data set short of a
// fit: the log-likelihood at the document's parameters and the document
// written back. A thrown std::exception is the answer to bad input; any
// other way out, and any output on standard error, is a finding.

#include <cstdint>
#include <exception>
#include <ostream>
#include <sstream>
#include <streambuf>

#include "estimator/qscores.hpp"
#include "fuzz/fuzz_util.hpp"

namespace {

// Swallows output, as /dev/null would.
class CNullBuf : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void LoadAndUse(const std::string& text, bool useAll) {
    CQScores scores;
    scores.SetUseAll(useAll);
    std::istringstream in(text);
    try {
        scores.LoadFromStream(in);
    } catch (const std::exception&) {
        return;
    }
    scores.GetLogLike(scores.GetSpectrum().GetParams());
    CNullBuf sink;
    std::ostream out(&sink);
    scores.WriteToStream(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::AsString(data, size);
    fuzz::ExpectSilentStderr([&] {
        LoadAndUse(text, false);
        LoadAndUse(text, true);
    });
    return 0;
}
