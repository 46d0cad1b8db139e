#pragma once
// What the fuzz targets of the readers of outside input share: htslib kept
// quiet, the input as a file in the scratch directory (the readers take
// files), and the rule that a reader answers bad input with CInputError
// only.

#include <htslib/hts_log.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "base/input_error.hpp"
#include "fuzz/fuzz_util.hpp"

namespace fuzz {

// For LLVMFuzzerInitialize of a target that reads through htslib. The
// programs' main switches htslib's messages off, as their own name the
// fault; here a message of htslib would be a finding of ExpectSilentStderr.
inline void InitQuietHts() {
    Init();
    hts_set_log_level(HTS_LOG_OFF);
}

inline const CScratchDir& ReaderScratch() {
    static const CScratchDir dir;
    return dir;
}

// The input as the file name of the scratch directory; its path.
inline std::string InputFile(const char* name, const std::uint8_t* data, std::size_t size) {
    return ReaderScratch().Write(name, AsString(data, size));
}

// Runs body; an input error is the answer to bad input, any other exception
// a finding (the readers have one error vocabulary). An input error must
// name its file.
template <typename TBody>
void ExpectInputErrorsOnly(const std::string& path, TBody body) {
    try {
        body();
    } catch (const CInputError& e) {
        Check(e.Where().m_File == path,
              std::string("an input error without its file: ") + e.what());
    } catch (const std::exception& e) {
        Finding(std::string("an error other than an input error: ") + e.what());
    }
}

// Whether a contig name can stand in a table's column.
inline bool UsableName(const std::string& name) {
    return ContigNameFault(name).empty();
}

}  // namespace fuzz
