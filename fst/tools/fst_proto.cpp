// Prototype driver: qualfst's model on BAM pools, printing the fit.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <gsl/gsl_rng.h>
#include <htslib/thread_pool.h>

#include "fst/joint_fit.hpp"
#include "fst/pool_record.hpp"
#include "fst/pool_sources.hpp"
#include "fst/pool_store.hpp"

int main(int argc, char* argv[]) {
    // fst_proto n1 n2 ref a.bam b.bam [threads]
    const unsigned n1 = std::atoi(argv[1]), n2 = std::atoi(argv[2]);
    const std::string ref = argv[3];
    std::vector<std::vector<std::string>> pools = {{argv[4]}, {argv[5]}};
    int threads = argc > 6 ? std::atoi(argv[6]) : 1;
    SPileupOptions filters;
    filters.m_Reference = ref;
    std::vector<SPileupSummary> sums;
    auto t0 = std::chrono::steady_clock::now();
    CAlignmentPools source(pools, filters, "", sums, nullptr);
    CPoolEncoder enc(2, 1, 0, !ref.empty());
    CPoolStore store(2);
    SPoolSite site;
    std::vector<unsigned char> bytes;
    SPoolEncodeCounts counts;
    std::vector<std::uint64_t> countHist(20, 0);
    while (source.Next(site)) {
        bytes.clear();
        std::uint64_t rr = 0;
        if (enc.Encode(site, bytes, counts, rr) >= 2) {
            store.Append(site.m_Contig, site.m_Pos, bytes.data(), bytes.size());
            SPoolRecordView v;
            const unsigned char* p = bytes.data();
            for (int i = 0; i < 2; ++i) {
                p = ReadPoolRecord(p, v);
                ++countHist[std::min(v.count, 19u)];
            }
        }
    }
    store.Finish();
    auto t1 = std::chrono::steady_clock::now();
    std::fprintf(stderr, "sites %llu bytes/site %.1f read %.2fs\n",
                 (unsigned long long)store.Sites(), double(store.Bytes()) / store.Sites(),
                 std::chrono::duration<double>(t1 - t0).count());
    for (int c = 0; c < 20; ++c)
        if (countHist[c])
            std::fprintf(stderr, " count %d: %llu\n", c, (unsigned long long)countHist[c]);
    hts_tpool* pool = threads > 1 ? hts_tpool_init(threads) : nullptr;
    CPairModel model(store, 0, 1, n1, n2, ref.empty());
    auto t2 = std::chrono::steady_clock::now();
    SJointFitOptions o;
    if (getenv("TOL"))
        o.tolerance = atof(getenv("TOL"));
    SJointFitResult r;
    if (getenv("STRIDE")) {
        SJointFitOptions pre = o;
        pre.stride = atoi(getenv("STRIDE"));
        pre.tolerance = atof(getenv("PRETOL"));
        r = model.Fit(pre, pool);
        std::printf("pre: pi1 %.6g pi2 %.6g dxy %.6g passes %d\n", r.values.pi1, r.values.pi2,
                    r.values.dxy, r.passes);
        r = model.Fit(o, pool, &r.spectrum);
    } else {
        r = model.Fit(o, pool);
    }
    auto t3 = std::chrono::steady_clock::now();
    std::printf(
        "pi1 %.6g pi2 %.6g dxy %.6g fst %.6g passes %d conv %d ll %.10g setup %.2fs fit %.2fs\n",
        r.values.pi1, r.values.pi2, r.values.dxy, r.values.fst, r.passes, r.converged, r.logLik,
        std::chrono::duration<double>(t2 - t1).count(),
        std::chrono::duration<double>(t3 - t2).count());
    if (getenv("BOOT")) {
        CSiteBlocks blocks(store, 10000);
        gsl_rng* rng = gsl_rng_alloc(gsl_rng_mt19937);
        for (int rep = 0; rep < atoi(getenv("BOOT")); ++rep) {
            std::vector<double> w(blocks.Blocks(), 0.0);
            for (std::size_t k = 0; k < blocks.Blocks(); ++k)
                w[gsl_rng_uniform_int(rng, blocks.Blocks())] += 1;
            for (double tol : {1e-3, 1e-4, 1e-5, 1e-6}) {
                SJointFitOptions bo;
                bo.tolerance = tol;
                SJointFitResult b = model.Fit(bo, pool, &r.spectrum, &blocks, &w);
                std::printf("rep %d tol %g pi1 %.7g pi2 %.7g dxy %.7g fst %.7g passes %d\n", rep,
                            tol, b.values.pi1, b.values.pi2, b.values.dxy, b.values.fst, b.passes);
            }
        }
    }
    if (pool)
        hts_tpool_destroy(pool);
    return 0;
}
