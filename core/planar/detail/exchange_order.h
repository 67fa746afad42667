// Orders left by an exchange sort -- for each position i in turn, every
// later smaller element is exchanged into position i -- worked out in
// O(n log n) for typical lists. Its order of equal elements is its own (it is
// not stable), and the plane test's cuts depend on it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vela {

// Counts, over the positions of a list, the inserted positions below a
// given one; with the ranks and ring of the tie groups it orders.
struct RankCount {
    std::vector<std::uint64_t> inserted;  // a bit per position,
    std::vector<int> blockCounts;         // and the bits set per 512 positions
    std::vector<int> regionCounts;        // and per 4096
    std::vector<int> ranks;
    std::vector<int> ring;
};

// Scratch space of the sorts below, kept by the caller across hypotheses so
// that the per-hypothesis loop does not allocate.
struct ResidualSortBuffers {
    std::vector<std::uint32_t> keys;        // single-precision bits of each distance, by position
    std::vector<std::uint64_t> wideKeys;    // order keys of distances that are not widened floats
    std::vector<std::uint64_t> sorted;      // key << 32 | position, ascending
    std::vector<std::uint64_t> spare;       // the other half of the radix sort's passes
    std::vector<std::uint32_t> sortedKeys;
    std::vector<std::uint64_t> sortedWideKeys;
    std::vector<std::uint32_t> buckets;
    std::vector<int> order;                 // positions in sorted order
    std::vector<std::uint32_t> tieGroups;   // first slot and size of each group of equal distances
    std::vector<RankCount> rankCounts;      // one per share of the groups
    std::vector<std::uint32_t> shareBounds; // where each share's groups begin
    std::vector<int> orderBefore;           // positions in sorted order, groups not yet rearranged
    std::vector<std::uint32_t> digitCounts; // per share of the list and digit
    std::vector<int> ring;
    std::vector<int> tieRanks;
    std::vector<int> indexCopy;
    std::vector<double> distanceCopy;
};

// From this many distances on, the sorts below go by radix instead of by
// buckets and insertion (the two give the one order).
constexpr std::size_t kDigitSortFrom = 2048;

// From this many distances on, the radix sort and the ordering of many tie
// groups are split into shares on the pool (the order is the same).
constexpr std::size_t kSharedSortFrom = 16384;

// The double a float's bits stand for.
inline double widenedBits(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Sorts the index and distance lists together, in place, into the order the
// exchange sort ascending by distance leaves them in.
void exchangeSortDistances(std::vector<int>& indices, std::vector<double>& distances, ResidualSortBuffers& buffers);

// The same for distances given as the bits of non-negative floats (not a
// number excluded), as the plane test computes them: `indices` takes the
// order, `bits` ends ascending. False, with nothing changed, when the two
// lists differ in length.
bool sortDistanceBits(std::vector<int>& indices, std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers);

// Positions of `bits` (as above) sorted by bits, equal bits by position, into
// buffers.order, with the bits in that order in buffers.sortedKeys. Equal
// bits are left for the caller to rearrange.
void sortPositionsByBits(const std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers);

// Puts one group of equal distances, order[first..first+size) (sorted by
// position before the sort), into the order the exchange sort leaves them in.
// ranks[t] is the slot of the group's t-th element in the subsequence of the
// elements up to its value (the `first` smaller ones and the group), in the
// order before the sort.
void orderTieGroup(std::vector<int>& order, std::size_t first, int size, const std::vector<int>& ranks,
                   std::vector<int>& ring);

// Sorts the bits (as above) ascending, when only the values matter.
void sortBitsAscending(std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers);

}  // namespace vela
