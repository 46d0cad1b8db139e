#include "common/taskpool.hpp"

#include <htslib/thread_pool.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <vector>

namespace {

// One dispatch as the pool sees it: jobs first .. last-1, run in order. Its
// outcome carries each job's object, and the exception that stopped the
// group if one did; exceptions must not unwind through htslib's C code.
struct SJob {
    const std::function<void*(std::size_t)>* job;
    std::size_t first, last;
};

struct SOutcome {
    std::vector<void*> data;
    std::exception_ptr error;
};

void* RunJob(void* arg) {
    std::unique_ptr<SJob> job(static_cast<SJob*>(arg));
    auto* outcome = new SOutcome;
    try {
        outcome->data.reserve(job->last - job->first);
        for (std::size_t i = job->first; i < job->last; ++i) {
            outcome->data.push_back((*job->job)(i));
        }
    } catch (...) {
        outcome->error = std::current_exception();
    }
    return outcome;
}

}  // namespace

void RunOrderedRaw(hts_tpool* pool, std::size_t count, const std::function<void*(std::size_t)>& job,
                   const std::function<void(std::size_t, void*)>& merge,
                   const std::function<void(void*)>& destroy, std::size_t group) {
    if (pool == nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            void* data = job(i);
            try {
                merge(i, data);
            } catch (...) {
                destroy(data);
                throw;
            }
            destroy(data);
        }
        return;
    }
    // Twice as many jobs in flight as threads keeps every thread busy while
    // the caller merges; the queue bounds the results held at once.
    const int threads = hts_tpool_size(pool);
    const std::size_t workers = static_cast<std::size_t>(threads > 0 ? threads : 1);
    if (group == kSmallJobs) {
        group = std::max<std::size_t>(1, count / (8 * workers));
    }
    hts_tpool_process* queue = hts_tpool_process_init(pool, static_cast<int>(2 * workers), 0);
    if (queue == nullptr) {
        throw std::runtime_error("Cannot create a queue on the thread pool.");
    }
    std::exception_ptr firstError;
    std::size_t merged = 0;
    std::size_t takenGroups = 0;
    // Takes the next result in job order and merges it, unless an earlier
    // job or merge failed: then the result is only freed.
    auto takeOne = [&]() {
        hts_tpool_result* r = hts_tpool_next_result_wait(queue);
        if (r == nullptr) {
            if (!firstError) {
                firstError = std::make_exception_ptr(
                    std::runtime_error("The thread pool stopped before a job finished."));
            }
            return false;
        }
        std::unique_ptr<SOutcome> outcome(static_cast<SOutcome*>(hts_tpool_result_data(r)));
        hts_tpool_delete_result(r, 0);
        for (void* data : outcome->data) {
            if (!firstError) {
                try {
                    merge(merged, data);
                } catch (...) {
                    firstError = std::current_exception();
                }
            }
            destroy(data);
            ++merged;
        }
        if (outcome->error && !firstError) {
            firstError = outcome->error;
        }
        ++takenGroups;
        return true;
    };
    std::size_t dispatched = 0, groups = 0;
    while (dispatched < count && !firstError) {
        const std::size_t last = std::min(count, dispatched + group);
        auto* arg = new SJob{&job, dispatched, last};
        if (hts_tpool_dispatch2(pool, queue, RunJob, arg, 1) == 0) {
            dispatched = last;
            ++groups;
            continue;
        }
        delete arg;
        if (errno != EAGAIN || !takeOne()) {
            if (!firstError) {
                firstError = std::make_exception_ptr(
                    std::runtime_error("Cannot hand a job to the thread pool."));
            }
            break;
        }
    }
    while (takenGroups < groups) {
        if (!takeOne()) {
            break;
        }
    }
    hts_tpool_process_destroy(queue);
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}
