#pragma once
// The one pool of worker threads of a run (-t/--threads): htslib's, so that
// decompression and the run's own jobs (taskpool.hpp) share it.

#include <htslib/thread_pool.h>

#include <memory>
#include <stdexcept>
#include <string>

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
