#pragma once
// What the fuzz targets of qualscan's readers share: the input as a file in
// the scratch directory (the readers take files), and the rule that a
// reader answers bad input with CInputError only.

#include <cstdint>
#include <exception>
#include <string>

#include "base/input_error.hpp"
#include "fuzz/fuzz_util.hpp"

namespace fuzz {

inline const CScratchDir& ReaderScratch() {
    static const CScratchDir dir;
    return dir;
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
