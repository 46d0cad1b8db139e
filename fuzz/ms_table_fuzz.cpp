// The coalescent-table reader of simulator/fsms: ReadSpectrumTable on any
// bytes, as qualgen reads the output of ./ms2spectrum.pl, without running a
// script. Beyond "no crash", the table must be what the generator relies
// on: every depth n >= 1 holds whole records of n entries, entry j of each
// for minor count j.

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.hpp"
#include "simulator/fsms.hpp"

namespace {

struct SFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen needs a buffer of at least one byte.
    std::string bytes = fuzz::AsString(data, size);
    if (bytes.empty()) {
        bytes = " ";
    }
    std::unique_ptr<std::FILE, SFileCloser> in(fmemopen(bytes.data(), bytes.size(), "r"));
    if (!in) {
        fuzz::Finding("fmemopen failed");
    }
    TSpectrumTable table;
    bool gotRecord = false;
    bool failed = false;
    fuzz::ExpectSilentStderr([&] {
        try {
            gotRecord = ReadSpectrumTable(in.get(), "fuzz input", table);
        } catch (const std::exception&) {
            failed = true;
        }
    });
    if (failed) {
        return 0;
    }
    fuzz::Check(gotRecord == !table.empty(), "the reader's answer disagrees with its table");
    for (const auto& [depth, list] : table) {
        fuzz::Check(depth >= 1 && !list.empty() && list.size() % depth == 0,
                    "depth " + std::to_string(depth) + " holds " + std::to_string(list.size()) +
                        " entries");
        for (std::size_t i = 0; i < list.size(); ++i) {
            fuzz::Check(list[i].first == i % depth, "entry " + std::to_string(i) + " of depth " +
                                                        std::to_string(depth) +
                                                        " has the wrong minor count");
        }
    }
    return 0;
}
