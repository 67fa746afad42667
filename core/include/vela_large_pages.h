// Large per-point arrays on 2 MB pages where the system grants them on
// request: such an array is first touched in one sweep and then read in
// scattered order, so small pages cost one fault per 4 KB on the way in and
// a TLB miss on most reads afterwards. Only where memory is placed changes,
// never what it holds; where large pages are not available nothing happens.
// Shared by the library and the program, which both hold such arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vela {

// Asks for large pages under the whole 2 MB blocks of [data, data + bytes).
// Pages already touched stay as they are, so it is called on fresh memory.
inline void adviseLargePages(const void* data, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLargePage = std::uintptr_t(2) << 20;
    // Below a few large pages the advice saves nothing worth a system call.
    if (data == nullptr || bytes < 2 * kLargePage) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kLargePage - 1);
    // A refusal (no large pages configured) leaves the small pages in place.
    if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Reserves room for `count` elements and, when that took fresh memory, asks
// for large pages under it before anything is written there.
template <typename Vector>
void reserveOnLargePages(Vector& v, std::size_t count)
{
    if (v.capacity() >= count) return;
    v.reserve(count);
    adviseLargePages(v.data(), v.capacity() * sizeof(*v.data()));
}

// reserveOnLargePages, then the size (new elements value-initialised).
template <typename Vector>
void resizeOnLargePages(Vector& v, std::size_t count)
{
    reserveOnLargePages(v, count);
    v.resize(count);
}

}  // namespace vela
