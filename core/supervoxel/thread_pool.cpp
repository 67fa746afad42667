#include "supervoxel/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include "vela_plane.h"

namespace VELA {

namespace {

// Far beyond any machine we run on; keeps a typo like 1e9 from spawning
// threads by the million.
constexpr long kMaxThreads = 256;

int hardwareThreads() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

}  // namespace

int VELA_ThreadCount()
{
    const char* value = std::getenv("VELASEG_THREADS");
    if (value == nullptr || *value == '\0') return hardwareThreads();
    char* end = nullptr;
    const long threads = std::strtol(value, &end, 10);
    if (*end == '\0' && threads >= 1) return static_cast<int>(std::min(threads, kMaxThreads));
    static std::atomic<bool> warned(false);
    if (!warned.exchange(true)) {
        std::cerr << "velaseg: VELASEG_THREADS=\"" << value << "\" is not a positive number; using "
                  << hardwareThreads() << " threads" << std::endl;
    }
    return hardwareThreads();
}

}  // namespace VELA

namespace vela {

namespace {

#if defined(VELASEG_PLAIN_THREADS)

// ThreadSanitizer cannot look inside the oneTBB library, which is not built
// for it: the task memory the library recycles between threads reads as
// races. Its builds run the same loops on plain threads, which it follows,
// so that what it checks is the loops' own work.
struct Pool {
    int threads = 1;
};

void resize(Pool& pool, int threads) { pool.threads = std::max(threads, 1); }

void runRanges(Pool& pool, std::size_t count, std::size_t grain,
               const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    const std::size_t chunks = (count + grain - 1) / grain;
    std::atomic<std::size_t> next(0);
    std::mutex failing;
    std::exception_ptr failure;
    auto work = [&] {
        try {
            for (std::size_t c = next++; c < chunks; c = next++) body(c * grain, std::min(count, (c + 1) * grain));
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failing);
            if (!failure) failure = std::current_exception();
            next = chunks;
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < std::min<std::size_t>(static_cast<std::size_t>(pool.threads), chunks); ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

#else

struct Pool {
    int threads = 1;
    std::unique_ptr<tbb::global_control> limit;
    std::unique_ptr<tbb::task_arena> arena;
};

void resize(Pool& pool, int threads)
{
    pool.arena.reset();
    pool.limit.reset();
    pool.threads = std::max(threads, 1);
    if (pool.threads == 1) return;
    // More threads than cores is allowed on request (the checks run seven on
    // two cores): without the limit raised the arena would get no more
    // workers than the machine has cores.
    pool.limit.reset(new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                             static_cast<std::size_t>(pool.threads)));
    pool.arena.reset(new tbb::task_arena(pool.threads));
}

void runRanges(Pool& pool, std::size_t count, std::size_t grain,
               const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    // Split down to the grain, no further and no coarser: a loop over a few
    // costly items (the supervoxels of RPS generation) must give each its
    // own task, or two of them could share one thread while the other idles.
    // Isolated: while the caller waits for the last ranges it takes no task
    // of an outer loop, which could reach the caller's thread-local state
    // (a nested loop's caller is in the middle of an outer item) or keep it
    // from returning for the length of another item.
    pool.arena->execute([&] {
        tbb::this_task_arena::isolate([&] {
            tbb::parallel_for(
                tbb::blocked_range<std::size_t>(0, count, grain),
                [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); },
                tbb::simple_partitioner());
        });
    });
}

#endif

Pool& pool()
{
    // Made once and never destroyed: loops may still be asked for while
    // other static objects are torn down at exit.
    static Pool* const made = [] {
        Pool* p = new Pool;
        resize(*p, VELA::VELA_ThreadCount());
        return p;
    }();
    return *made;
}

std::atomic<std::int64_t> loopNanoseconds(0);
thread_local int loopDepth = 0;

// Adds the time of the outermost parallel loop of the calling thread.
class LoopTimer {
public:
    LoopTimer() : outermost_(loopDepth++ == 0)
    {
        if (outermost_) start_ = Clock::now();
    }
    ~LoopTimer()
    {
        --loopDepth;
        if (!outermost_) return;
        const auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_);
        loopNanoseconds += static_cast<std::int64_t>(spent.count());
    }
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    bool outermost_;
    Clock::time_point start_;
};

}  // namespace

int poolThreads() { return pool().threads; }

double parallelLoopSeconds() { return static_cast<double>(loopNanoseconds.load()) * 1e-9; }

void parallelRanges(std::size_t count, std::size_t grain,
                    const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    if (count == 0) return;
    grain = std::max<std::size_t>(grain, 1);
    const LoopTimer timer;
    Pool& p = pool();
    if (p.threads == 1 || count <= grain) {
        body(0, count);
        return;
    }
    runRanges(p, count, grain, body);
}

PoolSize::PoolSize(int threads) : previous_(poolThreads()) { resize(pool(), threads); }

PoolSize::~PoolSize() { resize(pool(), previous_); }

}  // namespace vela
