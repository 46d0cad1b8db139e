// Jobs on the pool, one by one or grouped: every job's result is merged once,
// in job order, and sums come out bit for bit as without a pool; an exception
// of a job reaches the caller after the jobs before it were merged.
#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/taskpool.hpp"

namespace {

struct SPoolDeleter {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

// A sum whose value depends on the order of its terms.
double OrderedSum(hts_tpool* pool, std::size_t count, std::size_t group,
                  std::vector<std::size_t>& order) {
    double sum = 0.0;
    std::function<double(std::size_t)> job = [](std::size_t i) {
        return std::sin(static_cast<double>(i)) * std::pow(10.0, static_cast<double>(i % 17));
    };
    std::function<void(std::size_t, double&)> merge = [&](std::size_t i, double& v) {
        order.push_back(i);
        sum += v;
    };
    RunOrdered<double>(pool, count, job, merge, group);
    return sum;
}

}  // namespace

TEST(TaskPool, GroupedJobsAreMergedOnceInOrderWithTheSameSum) {
    std::unique_ptr<hts_tpool, SPoolDeleter> pool(hts_tpool_init(2));
    ASSERT_TRUE(pool);
    std::vector<std::size_t> serialOrder;
    const double serial = OrderedSum(nullptr, 1001, kOneJob, serialOrder);
    for (const std::size_t group : {kOneJob, kSmallJobs, std::size_t{7}, std::size_t{5000}}) {
        for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1001}}) {
            SCOPED_TRACE(testing::Message() << "group " << group << ", count " << count);
            std::vector<std::size_t> order;
            const double sum = OrderedSum(pool.get(), count, group, order);
            ASSERT_EQ(order.size(), count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(order[i], i);
            }
            if (count == 1001) {
                EXPECT_EQ(sum, serial);  // bit for bit, not approximately
            }
        }
    }
}

TEST(TaskPool, AnExceptionInAGroupComesBackAfterTheJobsBeforeIt) {
    std::unique_ptr<hts_tpool, SPoolDeleter> pool(hts_tpool_init(2));
    ASSERT_TRUE(pool);
    for (hts_tpool* p : {static_cast<hts_tpool*>(nullptr), pool.get()}) {
        for (const std::size_t group : {kOneJob, kSmallJobs, std::size_t{10}}) {
            std::vector<std::size_t> merged;
            std::function<int(std::size_t)> job = [](std::size_t i) {
                if (i == 123) {
                    throw std::runtime_error("job 123");
                }
                return static_cast<int>(i);
            };
            std::function<void(std::size_t, int&)> merge = [&](std::size_t i, int&) {
                merged.push_back(i);
            };
            EXPECT_THROW(RunOrdered<int>(p, 500, job, merge, group), std::runtime_error);
            ASSERT_EQ(merged.size(), 123U) << "group " << group;
            for (std::size_t i = 0; i < merged.size(); ++i) {
                ASSERT_EQ(merged[i], i);
            }
        }
    }
}
