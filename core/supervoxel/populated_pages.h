// Large arrays whose pages are faulted in on the pool's threads. The kernel
// zeroes a fresh page in the thread that first writes it, and an array sized
// at once is first written by the one thread that sizes it: for the arrays
// of a large cloud that zeroing is a serial step of tens of milliseconds.
// Only where the pages come from changes, never what the arrays hold.
#pragma once

#include <cstddef>

#include "supervoxel/cl/large_pages.h"

namespace vela {

// Faults in the pages under [data, data + bytes) on the pool's threads,
// without writing to them; nothing happens on one thread, for a small range,
// or where the system cannot do it.
void populateOnThreads(void* data, std::size_t bytes);

// cl::resizeOnLargePages, the new elements' pages faulted in on the pool
// before the elements are made.
template <typename Vector>
void resizeOnPopulatedPages(Vector& v, std::size_t count)
{
    cl::reserveOnLargePages(v, count);
    if (v.size() < count) populateOnThreads(v.data() + v.size(), (count - v.size()) * sizeof(*v.data()));
    v.resize(count);
}

}  // namespace vela
