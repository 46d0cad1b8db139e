// BED intervals: CBedFile on any bytes, its contigs checked against a known
// list, and every contig's intervals walked by the cursor. Bad input must
// end in CInputError naming the file; the intervals kept must be sorted,
// merged and non-empty, and the cursor must agree with a search of them.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/reader_fuzz_util.hpp"
#include "io/bed.hpp"

namespace {

void ReadAll(const std::string& path) {
    CBedFile bed(path);
    for (const std::string& contig : bed.Contigs()) {
        const std::vector<SBedInterval>* list = bed.Intervals(contig);
        fuzz::Check(list != nullptr, "a contig of the file without its list");
        for (std::size_t i = 0; i < list->size(); ++i) {
            const SBedInterval& iv = (*list)[i];
            fuzz::Check(0 <= iv.m_Beg && iv.m_Beg < iv.m_End, "an empty or negative interval");
            fuzz::Check(i == 0 || (*list)[i - 1].m_End < iv.m_Beg,
                        "intervals not merged or not sorted");
        }
        // Positions in increasing order, around every interval's ends.
        std::vector<std::int64_t> probes;
        for (const SBedInterval& iv : *list) {
            for (const std::int64_t p : {iv.m_Beg - 1, iv.m_Beg, iv.m_End - 1, iv.m_End}) {
                if (p >= 0) {
                    probes.push_back(p);
                }
            }
        }
        std::sort(probes.begin(), probes.end());
        CBedCursor cursor;
        cursor.Reset(list);
        for (const std::int64_t p : probes) {
            const bool inside =
                std::any_of(list->begin(), list->end(),
                            [p](const SBedInterval& iv) { return iv.m_Beg <= p && p < iv.m_End; });
            fuzz::Check(cursor.Contains(p) == inside, "the cursor disagrees with the intervals");
        }
    }
    bed.CheckContigs({"chr1", "chr2", "c1"}, "is not known");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::InputFile("in.bed", data, size);
    fuzz::ExpectSilentStderr([&] { fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path); }); });
    return 0;
}
