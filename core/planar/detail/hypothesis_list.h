// The hypothesis list of the plane test. Every evaluated hypothesis reorders
// it by its distances as the exchange sort does, starting from the order the
// previous hypothesis left; but a hypothesis only needs its sorted distances,
// and the list itself is needed only when a hypothesis becomes the best. So
// the list is kept as the distances (sort keys) of the hypotheses since it
// was last written out, and rebuilt from them on demand.
//
// Rebuilding the last sort needs the order before it only among points of
// equal keys and between those and the smaller ones. Where the keys of the
// sort before tell those points apart, they decide it; otherwise that sort is
// rebuilt first, from further back, and the later ones are redone in full.
#pragma once

#include <cstdint>
#include <vector>

#include "planar/detail/exchange_order.h"

namespace vela {

struct HypothesisList {
    std::vector<int> written;                         // the list when last written out
    std::vector<std::vector<std::uint32_t>> sortKeys;  // keys of each sort since, by point index
    int capacity = 0;                                 // sorts kept at most (sortKeys may hold more)
    int levels = 0;                                   // sorts since the list was written out

    // Scratch space, kept across hypotheses.
    std::vector<std::uint32_t> writtenPositions;
    std::vector<std::uint32_t> gathered;
    std::vector<int> rebuilt;
    std::vector<std::uint32_t> groups;
    std::vector<int> ranks;
    std::vector<std::uint32_t> tieSlots;
    std::vector<std::uint8_t> tieCounts;
    ResidualSortBuffers buffers;
};

// Whether a sort by `keys` puts more points in groups of equal keys (the
// smallest value aside) than a rebuild from the keys before it scans: such a
// sort is redone in full. Told without sorting, mostly after a small part of
// the keys when it is so (clouds on a coordinate grid tie by the thousand).
bool tooTiedToRebuild(const std::vector<std::uint32_t>& keys, HypothesisList& list);

// The list 0, 1, ..., pointCount - 1, keeping up to `capacity` sorts (at least 1).
void resetHypothesisList(HypothesisList& list, int pointCount, int capacity);

// Where the keys of the next sort go, one per point by point index (the
// single-precision bits of its distance, not a number excluded). Writes the
// list out first when it keeps as many sorts as it may.
std::vector<std::uint32_t>& nextSortKeys(HypothesisList& list);

// The list is now sorted by the keys last handed out by nextSortKeys.
void commitSortKeys(HypothesisList& list);

// The list as it stands, written out; it becomes the new starting point, and
// the caller may reorder it (as another sort would) before the next sort.
std::vector<int>& writeOutHypothesisList(HypothesisList& list);

}  // namespace vela
