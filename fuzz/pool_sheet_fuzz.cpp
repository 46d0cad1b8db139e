// The pool sheet of every pool program: ReadPoolSheet on any bytes. Bad
// input must end in CInputError naming the sheet; a sheet read must hold
// pools with names a table, a file name and a spectrum's labels can carry
// (a NUL and a CR in names once sent three pairs' spectra into one file),
// sizes in range and at least one file each.

#include <cstdint>
#include <set>
#include <string>

#include "base/input_error.hpp"
#include "fuzz/reader_fuzz_util.hpp"
#include "pool/pool_sheet.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::InputFile("pools.tsv", data, size);
    fuzz::ExpectSilentStderr([&] {
        fuzz::ExpectInputErrorsOnly(path, [&] {
            const std::vector<SPoolSpec> pools = ReadPoolSheet(path, 1, "fuzz");
            std::set<std::string> names;
            for (const SPoolSpec& p : pools) {
                fuzz::Check(SampleNameFault(p.m_Name).empty(), "a name a table cannot carry");
                fuzz::Check(p.m_Name.find_first_of(" /") == std::string::npos,
                            "a name of more than one word");
                fuzz::Check(names.insert(p.m_Name).second, "a name twice");
                fuzz::Check(p.m_Size >= kMinPoolSize && p.m_Size <= kMaxPoolSize,
                            "a size out of range");
                fuzz::Check(!p.m_Files.empty(), "a pool without files");
                for (const std::string& f : p.m_Files) {
                    fuzz::Check(!f.empty(), "an empty file name");
                }
            }
        });
    });
    return 0;
}
