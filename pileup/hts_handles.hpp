#pragma once
// Owners of htslib objects, and the quoting of names in error messages.

#include <htslib/faidx.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "pileup/hts_quiet.hpp"

// Closing may report a fault of its own; the file's faults are reported by
// its reader.
struct SHtsFileCloser {
    void operator()(htsFile* f) const {
        CQuietHts quiet;
        hts_close(f);
    }
};
struct SHeaderFree {
    void operator()(sam_hdr_t* h) const { sam_hdr_destroy(h); }
};
struct SIndexFree {
    void operator()(hts_idx_t* i) const { hts_idx_destroy(i); }
};
struct SIterFree {
    void operator()(hts_itr_t* i) const { hts_itr_destroy(i); }
};
struct SFaiFree {
    void operator()(faidx_t* f) const { fai_destroy(f); }
};

using THtsFile = std::unique_ptr<htsFile, SHtsFileCloser>;
using THeader = std::unique_ptr<sam_hdr_t, SHeaderFree>;
using TIndex = std::unique_ptr<hts_idx_t, SIndexFree>;
using TIterator = std::unique_ptr<hts_itr_t, SIterFree>;
using TFai = std::unique_ptr<faidx_t, SFaiFree>;

struct SThreadPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};
using TThreadPool = std::unique_ptr<hts_tpool, SThreadPoolFree>;

// htslib's pool of threads workers for a run's -t/--threads; none for one
// thread, where the run's own thread does the work. Throws
// std::runtime_error when the threads cannot be started.
inline TThreadPool StartThreadPool(unsigned threads) {
    TThreadPool pool;
    if (threads > 1) {
        pool.reset(hts_tpool_init(static_cast<int>(threads)));
        if (!pool) {
            throw std::runtime_error("Cannot start " + std::to_string(threads) + " threads.");
        }
    }
    return pool;
}

// A file name or contig name as messages show it: in single quotes.
inline std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}
