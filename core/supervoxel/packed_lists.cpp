// Packing neighbour lists, and writing them out whole again in place.
#include "supervoxel/packed_lists.h"

#include <algorithm>
#include <vector>

#include "supervoxel/thread_pool.h"

namespace vela {
namespace detail {

PackedLists packLists(const int* lists, std::size_t n)
{
    PackedLists packed;
    packed.reserve(n);
    // Every list is written as offsets and marked when it does not fit; the
    // far ones are then numbered in point order, the same on any number of
    // threads.
    std::vector<std::uint8_t> fits(n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        fits[i] = packList(lists + i * kNeighbourCount, i, packed.offsets(i)) ? 1 : 0;
    });
    for (std::size_t i = 0; i < n; ++i) {
        if (fits[i]) continue;
        markFar(packed.offsets(i), packed.far.size() / kNeighbourCount);
        packed.far.insert(packed.far.end(), lists + i * kNeighbourCount, lists + (i + 1) * kNeighbourCount);
    }
    return packed;
}

void writeOutInPlace(PackedLists& packed, std::size_t n)
{
    // Within the reserved room: the packed front half stays in place.
    packed.room.resize(n * kNeighbourCount);
    auto writeOut = [&packed](std::size_t i) {
        int buffer[kNeighbourCount];
        const int* list = unpackList(packed, i, buffer);
        std::copy(list, list + kNeighbourCount, packed.room.data() + i * kNeighbourCount);
    };
    constexpr std::size_t kFirstRound = 4096;
    const std::size_t first = std::min(n, kFirstRound);
    std::vector<std::size_t> rounds;
    for (std::size_t m = first; m < n; m *= 2) rounds.push_back(m);
    for (auto m = rounds.rbegin(); m != rounds.rend(); ++m) {
        const std::size_t end = std::min(n, 2 * *m);
        parallelFor(end - *m, kPointGrain, [&](std::size_t k) { writeOut(*m + k); });
    }
    for (std::size_t i = first; i-- > 0;) writeOut(i);
}

}  // namespace detail
}  // namespace vela
