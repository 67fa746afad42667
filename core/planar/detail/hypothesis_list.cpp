#include "planar/detail/hypothesis_list.h"

#include <algorithm>
#include <cstddef>

namespace vela {

namespace {

// Past this many points in groups of equal keys (the smallest value aside),
// the scans below -- one vectorised pass over all keys per point, a small
// fraction of a sort each -- would cost more than the sorts a failed rebuild
// may have to redo.
constexpr int kScannedTiePoints = 128;

// Orders the group of equal keys at order[first..last) as the exchange sort
// leaves it, with `before` standing in for the order before the sort: false
// when it cannot, because a group point shares its key before with another
// group point or with a smaller one.
bool orderGroupByKeysBefore(const std::vector<std::uint32_t>& keys, const std::uint32_t* before,
                            std::size_t first, std::size_t last, HypothesisList& list)
{
    std::vector<int>& order = list.buffers.order;
    const auto begin = order.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = order.begin() + static_cast<std::ptrdiff_t>(last);
    std::sort(begin, end, [before](int a, int b) { return before[a] < before[b]; });
    for (auto it = begin + 1; it < end; ++it) {
        if (before[*it] == before[*(it - 1)]) return false;
    }
    if (first == 0) return true;  // the smallest value keeps the order before

    const int size = static_cast<int>(last - first);
    const std::uint32_t v = keys[order[first]];
    const std::size_t n = keys.size();
    list.ranks.resize(size);
    for (int t = 0; t < size; ++t) {
        // Smaller points that stood before this one, and smaller points that
        // the keys before cannot place against it.
        const std::uint32_t own = before[order[first + t]];
        int below = 0;
        int unplaced = 0;
        for (std::size_t x = 0; x < n; ++x) {
            below += (keys[x] < v) & (before[x] < own);
            unplaced += (keys[x] < v) & (before[x] == own);
        }
        if (unplaced > 0) return false;
        if (t == 0 && below >= static_cast<int>(first)) return true;  // all smaller ones stood before every v
        list.ranks[t] = below + t;
    }
    orderTieGroup(order, first, size, list.ranks, list.buffers.ring);
    return true;
}

// Rebuilds the list after sort `level` (counted from 1) from its keys and the
// keys of the sort before -- or the written list's positions -- into
// list.rebuilt. False when the keys before do not decide the order.
bool rebuildFromKeysBefore(HypothesisList& list, int level)
{
    const std::vector<std::uint32_t>& keys = list.sortKeys[level - 1];
    const std::size_t n = keys.size();
    if (level == 1) {
        list.writtenPositions.resize(n);
        for (std::size_t p = 0; p < n; ++p) list.writtenPositions[list.written[p]] = static_cast<std::uint32_t>(p);
    }
    const std::uint32_t* before = level == 1 ? list.writtenPositions.data() : list.sortKeys[level - 2].data();

    // Short lists sort faster than the check.
    if (n >= kDigitSortFrom && tooTiedToRebuild(keys, list)) return false;
    sortPositionsByBits(keys, list.buffers);
    const std::vector<std::uint32_t>& sorted = list.buffers.sortedKeys;
    std::vector<std::uint32_t>& groups = list.groups;
    groups.clear();
    int scanned = 0;
    for (std::size_t first = 0; first + 1 < n;) {
        std::size_t last = first + 1;
        while (last < n && sorted[last] == sorted[first]) ++last;
        if (last - first > 1) {
            groups.push_back(static_cast<std::uint32_t>(first));
            groups.push_back(static_cast<std::uint32_t>(last));
            if (first > 0) scanned += static_cast<int>(last - first);
        }
        first = last;
    }
    if (scanned > kScannedTiePoints) return false;
    for (std::size_t g = 0; g < groups.size(); g += 2) {
        if (!orderGroupByKeysBefore(keys, before, groups[g], groups[g + 1], list)) return false;
    }
    list.rebuilt.assign(list.buffers.order.begin(), list.buffers.order.end());
    return true;
}

}  // namespace

bool tooTiedToRebuild(const std::vector<std::uint32_t>& keys, HypothesisList& list)
{
    const std::size_t n = keys.size();
    if (n <= static_cast<std::size_t>(kScannedTiePoints)) return false;
    std::uint32_t smallest = ~std::uint32_t{0};
    for (std::uint32_t key : keys) smallest = std::min(smallest, key);
    // Open addressing in a table at most half full; a slot holds key + 1
    // (keys stop short of the not-a-numbers), 0 when free.
    int bits = 1;
    while ((std::size_t{1} << bits) < 2 * n) ++bits;
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    list.tieSlots.assign(std::size_t{1} << bits, 0u);
    list.tieCounts.assign(std::size_t{1} << bits, 0u);
    int tied = 0;
    for (std::uint32_t key : keys) {
        if (key == smallest) continue;
        std::uint32_t slot = (key * 0x9e3779b1u) >> (32 - bits);
        while (list.tieSlots[slot] != 0 && list.tieSlots[slot] != key + 1) slot = (slot + 1) & mask;
        if (list.tieSlots[slot] == 0) {
            list.tieSlots[slot] = key + 1;
            list.tieCounts[slot] = 1;
            continue;
        }
        // The second point of a group brings the first one in with it.
        tied += list.tieCounts[slot] == 1 ? 2 : 1;
        list.tieCounts[slot] = 2;
        if (tied > kScannedTiePoints) return true;
    }
    return false;
}

void resetHypothesisList(HypothesisList& list, int pointCount, int capacity)
{
    list.written.resize(pointCount);
    for (int i = 0; i < pointCount; ++i) list.written[i] = i;
    // A list reset for another cloud keeps the room of its key lists.
    list.capacity = std::max(capacity, 1);
    if (list.sortKeys.size() < static_cast<std::size_t>(list.capacity)) list.sortKeys.resize(list.capacity);
    list.levels = 0;
}

std::vector<std::uint32_t>& nextSortKeys(HypothesisList& list)
{
    if (list.levels == list.capacity) writeOutHypothesisList(list);
    std::vector<std::uint32_t>& keys = list.sortKeys[list.levels];
    keys.resize(list.written.size());
    return keys;
}

void commitSortKeys(HypothesisList& list) { ++list.levels; }

std::vector<int>& writeOutHypothesisList(HypothesisList& list)
{
    // The newest sort that rebuilds from the keys before it; a failed try
    // costs about one sort, as does each sort redone below.
    int start = 0;
    for (int level = list.levels; level >= 1; --level) {
        if (rebuildFromKeysBefore(list, level)) {
            list.written.swap(list.rebuilt);
            start = level;
            break;
        }
    }
    // The sorts after that, done in full.
    const std::size_t n = list.written.size();
    for (int level = start + 1; level <= list.levels; ++level) {
        const std::vector<std::uint32_t>& keys = list.sortKeys[level - 1];
        list.gathered.resize(n);
        for (std::size_t p = 0; p < n; ++p) list.gathered[p] = keys[list.written[p]];
        sortDistanceBits(list.written, list.gathered, list.buffers);
    }
    list.levels = 0;
    return list.written;
}

}  // namespace vela
