// The thread counts every parallel step is checked on: one, two, and more
// threads than this machine has cores.
#pragma once

#include <vector>

#include "supervoxel/thread_pool.h"

namespace testsupport {

constexpr int kThreadCounts[] = {1, 2, 7};

// What run() gives on each of the thread counts, in their order.
template <typename Run>
auto onEachThreadCount(const Run& run) -> std::vector<decltype(run())>
{
    std::vector<decltype(run())> results;
    for (int threads : kThreadCounts) {
        const vela::PoolSize pool(threads);
        results.push_back(run());
    }
    return results;
}

}  // namespace testsupport
