// Tabulates and encodes the sites of alignments or an XML data set the way
// qualscan does, for scripts/bench_pool: prints the sites, the share of
// tables the workers' caches gave, the seconds the pass took and a checksum
// of the records, so that runs with other caches or threads can be compared.
//
//   scan_table_bench [-t THREADS] [--pool-size N] [--unfolded]
//                    [--cache-slots S] [--cache-bytes B]
//                    [--pileup-only] [--htslib-pileup] FILE
//
// --pileup-only reads the sites of alignments without tabulating them and
// prints the sites, reads, seconds and a checksum of the scores by class;
// --htslib-pileup piles up with htslib's generic pileup instead of the
// column pileup (the reference it is checked against).

#include <htslib/thread_pool.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/main_guard.hpp"
#include "engine/batch_tabulator.hpp"
#include "io/alignment_source.hpp"
#include "io/input_kind.hpp"
#include "io/xml_reader.hpp"

namespace {

struct SPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

int Run(int argc, char** argv) {
    int threads = 1;
    SSiteOptions options;
    STableCacheLimits cache;
    std::string path;
    bool pileupOnly = false, htslibPileup = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--pool-size") == 0 && i + 1 < argc) {
            options.poolSize = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--cache-slots") == 0 && i + 1 < argc) {
            cache.slots = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (std::strcmp(argv[i], "--cache-bytes") == 0 && i + 1 < argc) {
            cache.bytes = static_cast<std::size_t>(std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--unfolded") == 0) {
            options.folded = false;
        } else if (std::strcmp(argv[i], "--pileup-only") == 0) {
            pileupOnly = true;
        } else if (std::strcmp(argv[i], "--htslib-pileup") == 0) {
            htslibPileup = true;
        } else {
            path = argv[i];
        }
    }
    if (path.empty() || threads < 1) {
        throw std::runtime_error(
            "usage: scan_table_bench [-t THREADS] [--pool-size N] [--unfolded] "
            "[--cache-slots S] [--cache-bytes B] [--pileup-only] [--htslib-pileup] FILE");
    }
    CheckSiteOptions(options);
    std::unique_ptr<hts_tpool, SPoolFree> pool(threads > 1 ? hts_tpool_init(threads) : nullptr);
    htsThreadPool htsPool{pool.get(), 0};
    CInputFile in(path);
    std::unique_ptr<CSiteSource> source;
    SPileupSummary summary;
    if (in.Kind() == EInputKind::eXmlDataSet) {
        const std::string name = in.Name();
        source = std::make_unique<CXmlSiteReader>(in.Release(), name, options.folded);
    } else if (in.Kind() == EInputKind::eAlignment) {
        SPileupOptions p;
        p.m_Inputs = {path};
        p.m_MinMapQ = 0;
        p.m_MinDepth = 1;
        p.m_HtslibPileup = htslibPileup;
        source = std::make_unique<CAlignmentSiteSource>(p, summary, pool ? &htsPool : nullptr);
    } else {
        throw std::runtime_error(in.Name() + " is neither alignments nor an XML data set.");
    }
    const auto start = std::chrono::steady_clock::now();
    if (pileupOnly) {
        unsigned long long sites = 0, reads = 0, checksum = 0;
        SRawSite site;
        while (source->Next(site)) {
            ++sites;
            for (const auto& scores : site.m_Scores) {
                reads += scores.size();
                for (unsigned char c : scores) {
                    checksum = checksum * 1099511628211ULL + c;
                }
                checksum = checksum * 1099511628211ULL + 255;
            }
        }
        std::printf("sites %llu reads %llu seconds %.3f checksum %016llx\n", sites, reads,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                    checksum);
        return 0;
    }
    CBatchTabulator tab(*source, options.folded, pool.get(), CBatchTabulator::kDefaultBatch,
                        &options, cache);
    unsigned long long sites = 0, bytes = 0;
    unsigned long long checksum = 0;
    for (STabulatedBatch b = tab.NextBatch(); b.m_Count > 0; b = tab.NextBatch()) {
        sites += b.m_Count;
        bytes += b.m_Encoded->bytes.size();
        for (unsigned char c : b.m_Encoded->bytes) {
            checksum = checksum * 1099511628211ULL + c;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const STableCacheCounts counts = tab.CacheCounts();
    std::printf(
        "sites %llu lookups %llu hits %llu hit_rate %.4f seconds %.3f bytes %llu "
        "checksum %016llx\n",
        sites, static_cast<unsigned long long>(counts.lookups),
        static_cast<unsigned long long>(counts.hits),
        counts.lookups ? static_cast<double>(counts.hits) / counts.lookups : 0.0, seconds, bytes,
        checksum);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return GuardedMain([&] { return Run(argc, argv); });
}
