// Reads and tabulates one XML data set the way qualscan will, for
// scripts/bench_scan_xml: prints the sites, reads and a checksum of the
// tables, so that runs with different thread counts can be compared.
//
//   scan_read_bench [-t THREADS] [--unfolded] FILE

#include <htslib/thread_pool.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/main_guard.hpp"
#include "engine/batch_tabulator.hpp"
#include "io/input_kind.hpp"
#include "io/xml_reader.hpp"

namespace {

struct SPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

int Run(int argc, char** argv) {
    int threads = 1;
    bool folded = true;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--unfolded") == 0) {
            folded = false;
        } else {
            path = argv[i];
        }
    }
    if (path.empty() || threads < 1) {
        throw std::runtime_error("usage: scan_read_bench [-t THREADS] [--unfolded] FILE");
    }
    CInputFile in(path);
    if (in.Kind() != EInputKind::eXmlDataSet) {
        throw std::runtime_error(in.Name() + " is not an XML data set.");
    }
    CXmlSiteReader reader(in.Release(), in.Path(), folded);
    std::unique_ptr<hts_tpool, SPoolFree> pool(threads > 1 ? hts_tpool_init(threads) : nullptr);
    CBatchTabulator tab(reader, folded, pool.get());
    unsigned long long sites = 0, reads = 0;
    double checksum = 0.0;
    for (STabulatedBatch b = tab.NextBatch(); b.m_Count > 0; b = tab.NextBatch()) {
        for (std::size_t i = 0; i < b.m_Count; ++i) {
            const STabulatedSite& s = b.m_Sites[i];
            ++sites;
            reads += s.m_Depth;
            double sum = 0.0;
            for (double v : s.m_Table) {
                sum += v;
            }
            checksum += std::log(sum) + s.m_LogScale;
        }
    }
    std::printf("sites %llu reads %llu checksum %.17g\n", sites, reads, checksum);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return GuardedMain([&] { return Run(argc, argv); });
}
