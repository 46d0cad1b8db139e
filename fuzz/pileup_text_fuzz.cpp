// qualscan's reader of samtools mpileup text: CMpileupReader on any bytes
// (plain, or compressed when they are), without filters and with --min-BQ
// 20 and the reference needed (--unfolded). Bad input must end in
// CInputError naming the file; the sites delivered must lie in genome
// order, with reads that passed the filters.

#include <cstdint>
#include <string>

#include "fuzz/reader_fuzz_util.hpp"
#include "io/mpileup_reader.hpp"

namespace {

void ReadAll(const std::string& path, int minBaseQ, bool needReference) {
    SPileupOptions filters;
    filters.m_MinBaseQ = minBaseQ;
    filters.m_MinDepth = 0;
    filters.m_MaxDepth = 0;
    SPileupSummary summary;
    CMpileupReader reader(path, filters, summary, needReference);
    SRawSite site;
    int lastContig = -1;
    std::int64_t lastPos = -1;
    while (reader.Next(site)) {
        fuzz::Check(
            site.m_Contig >= 0 && static_cast<std::size_t>(site.m_Contig) < reader.Contigs().size(),
            "a site on a contig the reader does not name");
        fuzz::Check(fuzz::UsableName(reader.Contigs()[static_cast<std::size_t>(site.m_Contig)]),
                    "a contig name a table cannot carry");
        fuzz::Check(
            site.m_Contig > lastContig || (site.m_Contig == lastContig && site.m_Pos > lastPos),
            "sites out of genome order");
        fuzz::Check(site.Depth() > 0, "a site without reads");
        for (const auto& scores : site.m_Scores) {
            for (const std::uint8_t q : scores) {
                fuzz::Check(q >= minBaseQ && q <= 93, "a score the filter should have taken");
            }
        }
        lastContig = site.m_Contig;
        lastPos = site.m_Pos;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::InputFile("in.pileup", data, size);
    fuzz::ExpectSilentStderr([&] {
        fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path, 0, false); });
        fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path, 20, true); });
    });
    return 0;
}
