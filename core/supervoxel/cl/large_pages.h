// Large per-point arrays on 2 MB pages where the system grants them on
// request: such an array is first touched in one sweep and then read in
// scattered order, so small pages cost one fault per 4 KB on the way in and
// a TLB miss on most reads afterwards. Only where memory is placed changes,
// never what it holds; where large pages are not available nothing happens.
#pragma once

#include <cstddef>

namespace cl {

// Asks for large pages under the whole 2 MB blocks of [data, data + bytes).
// Pages already touched stay as they are, so it is called on fresh memory.
void adviseLargePages(const void* data, std::size_t bytes);

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

}  // namespace cl
