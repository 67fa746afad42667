// The process's thread pool. Every parallel loop of the library runs on it,
// and every loop is split so that each result is computed exactly as in one
// thread and written to its own slot; whatever depends on order is combined
// afterwards, in order. The number of threads therefore never shows in a
// result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>

namespace vela {

// Threads of the pool: VELA::VELA_ThreadCount() at its first use.
int poolThreads();

// Calls body(begin, end) on consecutive ranges that together cover
// [0, count) once, concurrently on the pool, and returns when all are done.
// Ranges are at most `grain` long, so that costly items get tasks of their
// own. With one thread, or when the work makes one range, the whole range
// runs on the caller. A loop may run within another loop's body: while its
// caller waits for it, the caller takes no work but this loop's ranges.
void parallelRanges(std::size_t count, std::size_t grain,
                    const std::function<void(std::size_t begin, std::size_t end)>& body);

// Wall seconds spent in parallelRanges since the process started, loops run
// within loops of the same thread counted once. On one thread, its share of a run is the part more
// threads can shorten; the benchmarks weigh the two.
double parallelLoopSeconds();

// body(i) for every i in [0, count), as parallelRanges splits it.
template <typename Body>
void parallelFor(std::size_t count, std::size_t grain, const Body& body)
{
    parallelRanges(count, grain, [&body](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) body(i);
    });
}

// body(i) for every i in [0, count), the items taken one at a time, in
// order, by whichever thread is free. Made for a few items of very different
// costs sorted largest first: parallelFor halves the range, and its caller
// would take the first, largest items one after the other.
template <typename Body>
void parallelForEach(std::size_t count, const Body& body)
{
    std::atomic<std::size_t> next(0);
    const std::size_t takers = std::min(count, static_cast<std::size_t>(poolThreads()));
    parallelRanges(takers, 1, [&](std::size_t, std::size_t) {
        try {
            for (std::size_t i = next++; i < count; i = next++) body(i);
        } catch (...) {
            // The other takers stop at their next item.
            next = count;
            throw;
        }
    });
}

// Runs the pool on `threads` threads while it lives, so that a test or a
// benchmark can compare thread counts in one process. Not to be made or
// dropped while a loop runs.
class PoolSize {
public:
    explicit PoolSize(int threads);
    ~PoolSize();
    PoolSize(const PoolSize&) = delete;
    PoolSize& operator=(const PoolSize&) = delete;

private:
    int previous_;
};

}  // namespace vela
