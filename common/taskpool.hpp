#pragma once
// Jobs on htslib's thread pool with results handed back in job order, so that
// sums over sites are reduced in a fixed order whatever the number of
// threads. A null pool runs the jobs one after the other on the caller's
// thread, with the very same reduction.

#include <cstddef>
#include <functional>
#include <memory>

struct hts_tpool;

// Jobs handed to a pool thread at a time: kOneJob for jobs that are large or
// whose results are (each held until merged), kSmallJobs to group small jobs
// into about eight dispatches per thread, which saves the wake-ups of a
// dispatch per job. The grouping changes no result: every job still has its
// own result, merged in job order.
constexpr std::size_t kOneJob = 1;
constexpr std::size_t kSmallJobs = 0;

// Runs job(i) for i = 0 .. count-1 and calls merge(i, result) on the caller's
// thread for i = 0, 1, 2, ... in that order. job must be safe to run on
// several threads at once. An exception thrown by a job is rethrown here,
// after every dispatched job has finished.
template <typename TResult>
void RunOrdered(hts_tpool* pool, std::size_t count, const std::function<TResult(std::size_t)>& job,
                const std::function<void(std::size_t, TResult&)>& merge,
                std::size_t group = kOneJob);

// The untyped engine behind RunOrdered: job returns a heap object that
// merge consumes and deletes through destroy.
void RunOrderedRaw(hts_tpool* pool, std::size_t count, const std::function<void*(std::size_t)>& job,
                   const std::function<void(std::size_t, void*)>& merge,
                   const std::function<void(void*)>& destroy, std::size_t group = kOneJob);

template <typename TResult>
void RunOrdered(hts_tpool* pool, std::size_t count, const std::function<TResult(std::size_t)>& job,
                const std::function<void(std::size_t, TResult&)>& merge, std::size_t group) {
    RunOrderedRaw(
        pool, count, [&job](std::size_t i) -> void* { return new TResult(job(i)); },
        [&merge](std::size_t i, void* data) { merge(i, *static_cast<TResult*>(data)); },
        [](void* data) { delete static_cast<TResult*>(data); }, group);
}
