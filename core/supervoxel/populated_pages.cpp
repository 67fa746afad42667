#include "supervoxel/populated_pages.h"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "supervoxel/thread_pool.h"

namespace vela {

void populateOnThreads(void* data, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Below this the zeroing is too short to share out.
    constexpr std::size_t kSmallest = std::size_t(8) << 20;
    constexpr std::uintptr_t kChunk = std::uintptr_t(2) << 20;
    if (data == nullptr || bytes < kSmallest || poolThreads() < 2) return;
    // Whole pages: the first and last may hold other data, which faulting
    // in leaves as it is.
    const std::uintptr_t page = 4096;
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes + page - 1) & ~(page - 1);
    const std::size_t chunks = static_cast<std::size_t>((end - begin + kChunk - 1) / kChunk);
    parallelFor(chunks, 1, [begin, end, kChunk](std::size_t c) {
        const std::uintptr_t from = begin + c * kChunk;
        const std::uintptr_t to = std::min(end, from + kChunk);
        // A refusal (an older kernel) leaves the pages to the first write.
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    });
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace vela
