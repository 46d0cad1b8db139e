// qualscan's streaming XML reader: CXmlSiteReader on any bytes, folded and
// unfolded, each site tabulated and encoded as a run would. Bad input must
// end in CInputError naming the file; the sites delivered must lie in
// genome order on contigs the reader names, with names a table can carry.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/sitestore.hpp"
#include "fuzz/reader_fuzz_util.hpp"
#include "io/xml_reader.hpp"
#include "model/tabulate.hpp"

namespace {

void ReadAll(const std::string& path, bool folded) {
    CXmlSiteReader reader(path, folded, "fz");
    SSiteOptions options;
    options.folded = folded;
    CSiteEncoder encoder(options);
    CSiteTabulator tabulator(folded);
    STabulatedSite tabulated;
    SSiteBatch batch;
    SRawSite site;
    int lastContig = -1;
    std::int64_t lastPos = -1;
    while (reader.Next(site)) {
        const std::vector<std::string>& contigs = reader.Contigs();
        fuzz::Check(site.m_Contig >= 0 && static_cast<std::size_t>(site.m_Contig) < contigs.size(),
                    "a site on a contig the reader does not name");
        fuzz::Check(fuzz::UsableName(contigs[static_cast<std::size_t>(site.m_Contig)]),
                    "a contig name a table cannot carry");
        fuzz::Check(
            site.m_Contig > lastContig || (site.m_Contig == lastContig && site.m_Pos > lastPos),
            "sites out of genome order");
        fuzz::Check(site.m_Pos >= 0, "a negative position");
        lastContig = site.m_Contig;
        lastPos = site.m_Pos;
        tabulator.Tabulate(site, tabulated);
        batch.Clear();
        try {
            batch.Add(encoder, tabulated.m_Contig, tabulated.m_Pos,
                      static_cast<int>(tabulated.m_Depth), tabulated.m_Table.data(),
                      tabulated.m_LogScale);
        } catch (const CInputError& e) {
            // The encoder knows the position only; the run places it, as
            // the batch tabulator does.
            throw Placed(e, {path, 0, 0, contigs[static_cast<std::size_t>(site.m_Contig)], 0});
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::InputFile("in.xml", data, size);
    fuzz::ExpectSilentStderr([&] {
        for (const bool folded : {true, false}) {
            fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path, folded); });
        }
    });
    return 0;
}
