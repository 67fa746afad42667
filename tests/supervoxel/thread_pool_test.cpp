#include "supervoxel/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/populated_pages.h"
#include "support/thread_counts.h"

namespace {

TEST(ThreadPool, every_index_is_taken_exactly_once_for_any_thread_count_and_grain)
{
    for (int threads : testsupport::kThreadCounts) {
        const vela::PoolSize pool(threads);
        EXPECT_EQ(vela::poolThreads(), threads);
        for (std::size_t count : {0u, 1u, 7u, 1000u, 100003u}) {
            for (std::size_t grain : {0u, 1u, 64u, 5000u}) {
                std::vector<std::atomic<int>> taken(count);
                vela::parallelRanges(count, grain, [&](std::size_t begin, std::size_t end) {
                    ASSERT_LT(begin, end);
                    if (threads > 1 && count > grain) {
                        ASSERT_LE(end - begin, std::max<std::size_t>(grain, 1));
                    }
                    for (std::size_t i = begin; i < end; ++i) ++taken[i];
                });
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(taken[i].load(), 1) << threads << " threads, " << count << " items, grain " << grain;
            }
        }
    }
}

TEST(ThreadPool, items_taken_in_turn_are_each_taken_once_and_a_failure_reaches_the_caller)
{
    for (int threads : testsupport::kThreadCounts) {
        const vela::PoolSize pool(threads);
        for (std::size_t count : {0u, 1u, 3u, 1000u}) {
            std::vector<std::atomic<int>> taken(count);
            vela::parallelForEach(count, [&](std::size_t i) { ++taken[i]; });
            for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(taken[i].load(), 1) << threads << " threads, " << count << " items";
        }
        EXPECT_THROW(vela::parallelForEach(100000,
                                           [](std::size_t i) {
                                               if (i == 10) throw std::bad_alloc();
                                           }),
                     std::bad_alloc);
    }
}

TEST(ThreadPool, pool_size_holds_while_its_scope_lasts)
{
    const int before = vela::poolThreads();
    {
        const vela::PoolSize seven(7);
        EXPECT_EQ(vela::poolThreads(), 7);
        {
            const vela::PoolSize one(1);
            EXPECT_EQ(vela::poolThreads(), 1);
        }
        EXPECT_EQ(vela::poolThreads(), 7);
    }
    EXPECT_EQ(vela::poolThreads(), before);
}

TEST(ThreadPool, loop_time_counts_a_loop_within_a_loop_once)
{
    // Benchmarks divide by it: a nested loop counted twice would claim more
    // of a stage for the loops than the stage lasted.
    const vela::PoolSize pool(1);
    const double before = vela::parallelLoopSeconds();
    const auto start = std::chrono::steady_clock::now();
    vela::parallelFor(1, 1, [](std::size_t) {
        vela::parallelFor(1, 1, [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    });
    const double outside = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double inLoops = vela::parallelLoopSeconds() - before;
    EXPECT_GE(inLoops, 0.05);
    EXPECT_LE(inLoops, outside);
}

TEST(ThreadPool, a_thread_waiting_for_a_loop_within_a_loop_takes_no_other_outer_item)
{
    // An outer item may keep state in its thread (the plane test keeps its
    // lists there): were its thread to take another outer item while waiting
    // for its own inner loop, the two would share that state.
    for (int threads : testsupport::kThreadCounts) {
        const vela::PoolSize pool(threads);
        std::atomic<int> overlaps(0);
        vela::parallelFor(64, 1, [&](std::size_t) {
            thread_local int outerItems = 0;
            if (++outerItems > 1) ++overlaps;
            vela::parallelFor(16, 1, [](std::size_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); });
            --outerItems;
        });
        EXPECT_EQ(overlaps.load(), 0) << threads << " threads";
    }
}

TEST(ThreadPool, allocation_failure_in_a_task_reaches_the_caller)
{
    // Memory exhaustion ends a run through the standard exception, from
    // whichever thread it happens on.
    for (int threads : testsupport::kThreadCounts) {
        const vela::PoolSize pool(threads);
        EXPECT_THROW(vela::parallelFor(10000, 1,
                                       [](std::size_t i) {
                                           if (i == 6789) throw std::bad_alloc();
                                       }),
                     std::bad_alloc);
    }
}

TEST(ThreadPool, pages_faulted_in_on_the_pool_keep_what_the_array_held_and_new_elements_start_at_zero)
{
    // Large enough to be faulted in on the pool; grown from a size that
    // ends inside a page, whose held part the faulting must leave alone.
    const std::size_t held = 3'000'001, grown = 6'000'000;
    for (int threads : testsupport::kThreadCounts) {
        const vela::PoolSize pool(threads);
        std::vector<std::uint32_t> values(held);
        for (std::size_t i = 0; i < held; ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
        vela::resizeOnPopulatedPages(values, grown);
        ASSERT_EQ(values.size(), grown);
        for (std::size_t i = 0; i < held; ++i)
            ASSERT_EQ(values[i], static_cast<std::uint32_t>(i * 2654435761u)) << threads << " threads, element " << i;
        for (std::size_t i = held; i < grown; ++i) ASSERT_EQ(values[i], 0u) << threads << " threads, element " << i;
    }
}

}  // namespace
