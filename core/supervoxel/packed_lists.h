// Neighbour lists packed into half their room: written by the search, read
// by the fusion and the boundary refinement, and written out whole again at
// the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/clustering.h"
#include "supervoxel/populated_pages.h"

namespace vela {
namespace detail {

// Neighbour lists in half the room, for the fusion and the refinement:
// each entry as its offset from the point in 16 bits. A list with an entry
// too far for that is kept whole in `far`; its first entry then holds the
// mark and the next two where it is. With `plain` the lists are read as
// they are instead.
//
// The offsets lie in the front half of room reserved for the whole lists,
// which are written out there in the end: the back half is never touched
// before, so it takes no memory while the lists are packed, and no second
// buffer is needed beside the packed one.
using Offset = std::int16_t __attribute__((may_alias));  // stored in room for ints
struct PackedLists {
    cl::Array<int> room;        // kNeighbourCount offsets per point in its front half
    std::vector<int> far;       // kNeighbourCount per far list
    const int* plain = nullptr; // kNeighbourCount per point

    void reserve(std::size_t n)
    {
        cl::reserveOnLargePages(room, n * kNeighbourCount);
        resizeOnPopulatedPages(room, (n * kNeighbourCount + 1) / 2);
    }
    Offset* offsets(std::size_t i) { return reinterpret_cast<Offset*>(room.data()) + i * kNeighbourCount; }
    const Offset* offsets(std::size_t i) const
    {
        return reinterpret_cast<const Offset*>(room.data()) + i * kNeighbourCount;
    }
};

constexpr std::int16_t kFarList = INT16_MIN;
constexpr std::int16_t kNoNeighbour = INT16_MAX;  // stands for every entry below 0

// Writes list i to `out` as offsets; false when an entry not below 0 lies
// beyond their range, and `out` then holds nothing of use.
inline bool packList(const int* list, std::size_t i, Offset* out)
{
    bool fits = true;
    for (int k = 0; k < kNeighbourCount; ++k) {
        const long long d = static_cast<long long>(list[k]) - static_cast<long long>(i);
        fits &= list[k] < 0 || (d > kFarList && d < kNoNeighbour);
        out[k] = list[k] < 0 ? kNoNeighbour : static_cast<std::int16_t>(list[k] - static_cast<int>(i));
    }
    return fits;
}

// Marks a packed list as the far list numbered e.
inline void markFar(Offset* out, std::size_t e)
{
    out[0] = kFarList;
    out[1] = static_cast<std::int16_t>(static_cast<std::uint16_t>(e >> 16));
    out[2] = static_cast<std::int16_t>(static_cast<std::uint16_t>(e & 0xffff));
}

// The n lists of `lists`, kNeighbourCount entries each, packed.
PackedLists packLists(const int* lists, std::size_t n);

// The whole list a far mark stands for: its place in `far` follows the mark.
inline const int* farList(const PackedLists& packed, const Offset* in)
{
    const std::size_t e = static_cast<std::size_t>(static_cast<std::uint16_t>(in[1])) << 16 |
                          static_cast<std::uint16_t>(in[2]);
    return packed.far.data() + e * kNeighbourCount;
}

// Entry k of list i, for readers of a few entries.
inline int neighbourAt(const PackedLists& packed, std::size_t i, int k)
{
    if (packed.plain != nullptr) return packed.plain[i * kNeighbourCount + static_cast<std::size_t>(k)];
    const Offset* in = packed.offsets(i);
    if (in[0] == kFarList) return farList(packed, in)[k];
    return in[k] == kNoNeighbour ? -1 : static_cast<int>(i) + in[k];
}

// List i: in place when it is far, written out to `buffer` otherwise.
inline const int* unpackList(const PackedLists& packed, std::size_t i, int* buffer)
{
    if (packed.plain != nullptr) return packed.plain + i * kNeighbourCount;
    const Offset* in = packed.offsets(i);
    if (in[0] == kFarList) return farList(packed, in);
    for (int k = 0; k < kNeighbourCount; ++k) buffer[k] = in[k] == kNoNeighbour ? -1 : static_cast<int>(i) + in[k];
    return buffer;
}

// The lists written out whole over their packed form (every entry below 0
// as -1, as the search writes it). List i takes the room of the packed lists
// 2i and 2i + 1, so lists written from the last to the first overwrite only
// lists already written out. Past the first few, they go in rounds of the
// points [m, 2m), the last round first: a round reads below byte 60m of the
// room and writes above it, so its points are written out at the same time.
void writeOutInPlace(PackedLists& packed, std::size_t n);

}  // namespace detail
}  // namespace vela
