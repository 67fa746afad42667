// The input points that lie in the frame (those that take part in the
// geometry), each made into another type, in input order, on the pool's
// threads: each block of the input counted first, then all written at once,
// the pages of the copy faulted in on the pool too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace vela {

// out[k] = make(i) for the k-th point i in the frame; `out` is replaced.
template <typename Vector, typename Make>
void copyInFrame(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset, Vector& out, Make make)
{
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    const std::size_t blocks = (points.size() + kBlock - 1) / kBlock;
    std::vector<std::size_t> firstOf(blocks + 1, 0);
    parallelFor(blocks, 1, [&](std::size_t b) {
        const std::size_t end = std::min(points.size(), (b + 1) * kBlock);
        for (std::size_t i = b * kBlock; i < end; ++i) firstOf[b + 1] += inFrame(points[i], offset);
    });
    for (std::size_t b = 0; b < blocks; ++b) firstOf[b + 1] += firstOf[b];
    out.clear();
    resizeOnPopulatedPages(out, firstOf.back());
    parallelFor(blocks, 1, [&](std::size_t b) {
        const std::size_t end = std::min(points.size(), (b + 1) * kBlock);
        std::size_t next = firstOf[b];
        for (std::size_t i = b * kBlock; i < end; ++i)
            if (inFrame(points[i], offset)) out[next++] = make(i);
    });
}

}  // namespace vela
