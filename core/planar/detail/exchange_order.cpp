#include "planar/detail/exchange_order.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "supervoxel/thread_pool.h"

namespace vela {

// Restricted to the elements <= v, the exchange sort runs exactly as it would
// on that subsequence alone, in which v is the largest value. There a v only
// moves while it is the pass's first element and a smaller element lies
// behind it: it then jumps to the first smaller element's slot. So from the
// pass at the first v's rank P1 up to pass L-1 (L = number of smaller
// elements) the v's in front of the unsorted tail form a run that turns like
// a queue, one v from its front to its back per pass; after pass i the run
// ends at slot i + m and takes in the v at rank i + m + 1, if any, with the
// v's right after it. Passes before P1 or from L on leave the v's alone.
void orderTieGroup(std::vector<int>& order, std::size_t first, int size, const std::vector<int>& ranks,
                   std::vector<int>& ring)
{
    const long smaller = static_cast<long>(first);
    // The run lives in a ring of the group's size: its logical end has a free
    // slot until every v has joined it.
    ring.resize(size);
    // Slots are below 2 * size wherever they are wrapped.
    auto wrap = [size](int slot) { return slot >= size ? slot - size : slot; };
    int head = 0;
    int length = 0;
    int joined = 0;
    long pass = ranks[0] - 1L;  // last pass accounted for
    auto absorb = [&]() {
        while (joined < size && ranks[joined] == pass + length + 1) {
            ring[wrap(head + length)] = order[first + joined];
            ++length;
            ++joined;
        }
    };
    absorb();
    while (pass < smaller - 1) {
        long target = smaller - 1;
        if (joined < size) target = std::min(target, ranks[joined] - length - 1L);
        const int turns = static_cast<int>((target - pass) % length);
        pass = target;
        if (length == size) {
            head = wrap(head + turns);
        } else if (turns <= length - turns) {
            for (int s = 0; s < turns; ++s) {
                ring[wrap(head + length)] = ring[head];
                head = wrap(head + 1);
            }
        } else {
            for (int s = 0; s < length - turns; ++s) {
                const int last = wrap(head + length - 1);
                head = head == 0 ? size - 1 : head - 1;
                ring[head] = ring[last];
            }
        }
        absorb();
    }
    for (int t = 0; t < size; ++t) order[first + t] = ring[wrap(head + t)];
}

namespace {

// The plain exchange sort; only used for lists holding a not-a-number value,
// which compares false both ways and breaks the tie analysis below.
void exchangeSort(std::vector<int>& indices, std::vector<double>& distances)
{
    const std::size_t n = distances.size();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            if (distances[i] > distances[j]) {
                std::swap(distances[i], distances[j]);
                std::swap(indices[i], indices[j]);
            }
        }
    }
}

// Counts, over positions 0..n-1, how many inserted positions lie below a
// given one: a bit per position, and counts per block of 512 and of 4096
// positions. An insertion touches three words; a count adds up a few
// counts and bits.
inline int bitCount(std::uint64_t x)
{
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

void rankCountReset(RankCount& rc, std::size_t n)
{
    rc.inserted.assign(n / 64 + 1, 0);
    rc.blockCounts.assign(n / 512 + 1, 0);
    rc.regionCounts.assign(n / 4096 + 1, 0);
}

inline void rankCountInsert(RankCount& rc, int position)
{
    const auto p = static_cast<std::size_t>(position);
    rc.inserted[p >> 6] |= std::uint64_t{1} << (p & 63);
    ++rc.blockCounts[p >> 9];
    ++rc.regionCounts[p >> 12];
}

inline int rankCountBelow(const RankCount& rc, int position)
{
    const auto p = static_cast<std::size_t>(position);
    int count = 0;
    for (std::size_t r = 0; r < (p >> 12); ++r) count += rc.regionCounts[r];
    for (std::size_t b = (p >> 12) << 3; b < (p >> 9); ++b) count += rc.blockCounts[b];
    for (std::size_t w = (p >> 9) << 3; w < (p >> 6); ++w) count += bitCount(rc.inserted[w]);
    return count + bitCount(rc.inserted[p >> 6] & ((std::uint64_t{1} << (p & 63)) - 1));
}

// Shares a sort of n entries is split into: one below kSharedSortFrom.
std::size_t sortShares(std::size_t n)
{
    if (n < kSharedSortFrom) return 1;
    return static_cast<std::size_t>(std::min(poolThreads(), 8));
}

// The groups of equal keys from groups[begin] on, up to groups[end], ordered
// with their own rank count: it takes in every position that stood before
// the first of them, from the order before any group was rearranged.
void orderTieGroupsByCount(const std::vector<std::uint32_t>& groups, std::size_t begin, std::size_t end,
                           const int* orderBefore, std::size_t n, std::vector<int>& order, RankCount& rc)
{
    rankCountReset(rc, n);
    std::size_t inserted = 0;
    for (std::size_t g = begin; g < end; g += 2) {
        const std::size_t first = groups[g];
        const int size = static_cast<int>(groups[g + 1]);
        for (; inserted < first; ++inserted) rankCountInsert(rc, orderBefore[inserted]);
        rc.ranks.resize(size);
        for (int t = 0; t < size; ++t) rc.ranks[t] = rankCountBelow(rc, order[first + t]) + t;
        if (rc.ranks[0] < static_cast<int>(first)) orderTieGroup(order, first, size, rc.ranks, rc.ring);
    }
}

// Number of keys below v among keyAt[begin..end).
template <typename Key>
int countBelow(const Key* keyAt, std::size_t begin, std::size_t end, Key v)
{
    int count = 0;
    for (std::size_t i = begin; i < end; ++i) count += keyAt[i] < v;
    return count;
}

// Beyond this many groups of equal distances one count over all positions
// is cheaper than scanning the keys once per group.
constexpr std::size_t kScannedTieGroups = 64;

// The groups of equal keys other than the smallest, as (first, size) pairs.
template <typename Key>
void listTieGroups(const Key* sortedKeys, std::size_t n, std::vector<std::uint32_t>& groups)
{
    groups.clear();
    std::size_t p = 1;
    while (p < n && sortedKeys[p] == sortedKeys[0]) ++p;
    // Most lists have no other ties; this check vectorises.
    unsigned tied = 0;
    for (std::size_t q = p + 1; q < n; ++q) tied |= sortedKeys[q] == sortedKeys[q - 1];
    if (tied == 0) return;
    for (++p; p < n; ++p) {
        if (sortedKeys[p] != sortedKeys[p - 1]) continue;
        const std::size_t first = p - 1;
        while (p + 1 < n && sortedKeys[p + 1] == sortedKeys[first]) ++p;
        groups.push_back(static_cast<std::uint32_t>(first));
        groups.push_back(static_cast<std::uint32_t>(p + 1 - first));
    }
}

// Few groups: each one's ranks counted by scanning the keys between its
// members.
template <typename Key>
void orderTieGroupsByScan(const Key* keyAt, const Key* sortedKeys, std::size_t n, ResidualSortBuffers& buffers)
{
    std::vector<int>& order = buffers.order;
    const std::vector<std::uint32_t>& groups = buffers.tieGroups;
    std::vector<int>& ranks = buffers.tieRanks;
    for (std::size_t g = 0; g < groups.size(); g += 2) {
        const std::size_t first = groups[g];
        const int size = static_cast<int>(groups[g + 1]);
        const Key v = sortedKeys[first];
        const std::size_t p0 = static_cast<std::size_t>(order[first]);
        // Smaller elements before the first v, counted on the shorter side.
        int below = p0 <= n - p0 ? countBelow(keyAt, 0, p0, v)
                                 : static_cast<int>(first) - countBelow(keyAt, p0, n, v);
        if (below >= static_cast<int>(first)) continue;  // all smaller ones stand before every v
        ranks.resize(size);
        ranks[0] = below;
        for (int t = 1; t < size; ++t) {
            below += countBelow(keyAt, static_cast<std::size_t>(order[first + t - 1]) + 1,
                                static_cast<std::size_t>(order[first + t]), v);
            ranks[t] = below + t;
        }
        orderTieGroup(order, first, size, ranks, buffers.ring);
    }
}

// Splits the groups into `shares` runs of consecutive groups holding about
// equal numbers of tied points, whose counts are the work: run s is
// groups[bounds[s] .. bounds[s + 1]).
void shareGroupsByTiedPoints(const std::vector<std::uint32_t>& groups, std::size_t shares,
                             std::vector<std::uint32_t>& bounds)
{
    bounds.assign(shares + 1, static_cast<std::uint32_t>(groups.size()));
    bounds[0] = 0;
    std::size_t tiedPoints = 0;
    for (std::size_t g = 0; g < groups.size(); g += 2) tiedPoints += groups[g + 1];
    std::size_t share = 1;
    std::size_t seen = 0;
    for (std::size_t g = 0; g < groups.size() && share < shares; g += 2) {
        if (seen >= share * tiedPoints / shares) bounds[share++] = static_cast<std::uint32_t>(g);
        seen += groups[g + 1];
    }
}

// Many groups: in shares of consecutive groups, each with a rank count of
// its own. A group only moves its own slots, and the positions before it are
// the same set however the groups before it were rearranged.
void orderTieGroupsInShares(std::size_t n, ResidualSortBuffers& buffers)
{
    std::vector<int>& order = buffers.order;
    const std::vector<std::uint32_t>& groups = buffers.tieGroups;
    const std::size_t shares = std::min(sortShares(n), groups.size() / 2);
    if (buffers.rankCounts.size() < shares) buffers.rankCounts.resize(shares);
    const int* orderBefore = order.data();
    if (shares > 1) {
        buffers.orderBefore.assign(order.begin(), order.end());
        orderBefore = buffers.orderBefore.data();
    }
    std::vector<std::uint32_t>& bounds = buffers.shareBounds;
    shareGroupsByTiedPoints(groups, shares, bounds);
    auto orderShare = [&](std::size_t s) {
        orderTieGroupsByCount(groups, bounds[s], std::max(bounds[s], bounds[s + 1]), orderBefore, n, order,
                              buffers.rankCounts[s]);
    };
    if (shares == 1) {
        orderShare(0);
    } else {
        parallelFor(shares, 1, orderShare);
    }
}

// Rearranges every group of equal keys in `order` (positions sorted by key,
// equal keys by position) as the exchange sort leaves it. keyAt holds the keys
// by position, sortedKeys in sorted order. The group of the smallest key
// keeps its order: nothing smaller lies behind any of it.
template <typename Key>
void orderTieGroups(const Key* keyAt, const Key* sortedKeys, std::size_t n, ResidualSortBuffers& buffers)
{
    listTieGroups(sortedKeys, n, buffers.tieGroups);
    if (buffers.tieGroups.empty()) return;
    if (buffers.tieGroups.size() / 2 <= kScannedTieGroups)
        orderTieGroupsByScan(keyAt, sortedKeys, n, buffers);
    else
        orderTieGroupsInShares(n, buffers);
}

// The bits of each distance as a float. They order like the distances when
// every distance is zero or a positive normal float widened to double, as
// plane distances are: false otherwise (negative zero included, whose sign
// bit would sort it last). Read from the double's bits rather than narrowed,
// so that the loop vectorises and never narrows a value out of float range.
bool floatKeys(const std::vector<double>& distances, std::vector<std::uint32_t>& keys)
{
    const std::size_t n = distances.size();
    keys.resize(n);
    const double* in = distances.data();
    std::uint32_t* out = keys.data();
    std::uint64_t rejected = 0;
    for (std::size_t p = 0; p < n; ++p) {
        std::uint64_t bits;
        std::memcpy(&bits, &in[p], sizeof bits);
        const std::uint64_t nonzero = (bits | (0 - bits)) >> 63;
        // Biased exponent with the sign above it: a normal float has 897..1150,
        // and its 29 low mantissa bits are clear.
        const std::uint64_t exponent = bits >> 52;
        const std::uint64_t misfit = (bits & 0x1fffffffu) | ((exponent - 897) >> 8) | ((1150 - exponent) >> 63);
        rejected |= misfit & (0 - nonzero);
        out[p] = static_cast<std::uint32_t>(((bits >> 29) - (std::uint64_t{896} << 23)) & (0 - nonzero));
    }
    return rejected == 0;
}

constexpr std::uint64_t packed(std::uint32_t key, std::size_t position)
{
    return (std::uint64_t{key} << 32) | position;
}

// Stable: a packed entry holds its position below the key. Most entries
// move by no slot or one, so the last slot's value is carried in a register
// and only entries that move further take a branch that mispredicts. False,
// with the entries only partly sorted, once `budget` moves are spent.
bool insertionSort(std::uint64_t* entries, std::size_t n, std::size_t budget)
{
    if (n < 2) return true;
    std::uint64_t largest = entries[0];
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t next = entries[i];
        const std::uint64_t low = next < largest ? next : largest;
        largest = next < largest ? largest : next;
        entries[i - 1] = low;
        if (i >= 2 && entries[i - 2] > low) {
            std::size_t j = i - 1;
            do {
                entries[j] = entries[j - 1];
                --j;
            } while (j > 0 && entries[j - 1] > low);
            entries[j] = low;
            const std::size_t moves = i - 1 - j;
            if (moves > budget) {
                entries[i] = largest;
                return false;
            }
            budget -= moves;
        }
    }
    entries[n - 1] = largest;
    return true;
}

int bitWidth(std::uint64_t value)
{
    int bits = 0;
    for (; value != 0; value >>= 1) ++bits;
    return bits;
}

// Short lists: one distribution into at most 4n buckets by the leading bits
// of the key, then an insertion pass.
void sortByFloatKeyInBuckets(const std::vector<std::uint32_t>& keys, ResidualSortBuffers& buffers)
{
    const std::size_t n = keys.size();
    std::vector<std::uint64_t>& sorted = buffers.sorted;
    sorted.resize(n);
    if (n <= 16) {
        for (std::size_t p = 0; p < n; ++p) sorted[p] = packed(keys[p], p);
        insertionSort(sorted.data(), n, n * n);
        return;
    }

    // Distances of exactly zero (the sample points) are kept out of the key
    // range: with them it would span every exponent below the smallest
    // positive distance. Keys minus one wrap zeros out of the minimum.
    std::uint32_t low = ~std::uint32_t{0};
    std::uint32_t high = 0;
    for (std::uint32_t key : keys) {
        low = std::min(low, key - 1u);
        high = std::max(high, key);
    }
    if (high == 0) {
        for (std::size_t p = 0; p < n; ++p) sorted[p] = packed(0, p);
        return;
    }
    // Zero maps to 0, positive keys to 1 ... high - low, in order.
    auto offset = [low](std::uint32_t key) { return key != 0 ? key - low : 0u; };
    const int spanBits = bitWidth(high - low);
    const int bucketBits = bitWidth(n) + 1;
    const int shift = spanBits > bucketBits ? spanBits - bucketBits : 0;
    const std::size_t bucketCount = static_cast<std::size_t>((high - low) >> shift) + 1;

    std::vector<std::uint32_t>& buckets = buffers.buckets;
    buckets.assign(bucketCount, 0u);
    for (std::uint32_t key : keys) ++buckets[offset(key) >> shift];
    std::uint32_t start = 0;
    for (std::size_t b = 0; b < bucketCount; ++b) {
        const std::uint32_t count = buckets[b];
        buckets[b] = start;
        start += count;
    }
    for (std::size_t p = 0; p < n; ++p) sorted[buckets[offset(keys[p]) >> shift]++] = packed(keys[p], p);
    // Entries only move within their bucket; should the buckets be crowded,
    // a comparison sort bounds the cost. Entries are distinct, so any sort
    // gives the one order.
    if (!insertionSort(sorted.data(), n, 8 * n)) std::sort(sorted.begin(), sorted.end());
}

constexpr int kDigitBits = 11;
constexpr std::uint32_t kDigits = 1u << kDigitBits;

// One radix pass over entries [begin, end): the count of each digit, and the
// entries distributed to the slots the counts were turned into.
void countDigits(const std::uint64_t* __restrict from, std::size_t begin, std::size_t end, int shift,
                 std::uint32_t* __restrict counts)
{
    for (std::size_t p = begin; p < end; ++p) ++counts[(from[p] >> shift) & (kDigits - 1)];
}

void distributeDigits(const std::uint64_t* __restrict from, std::size_t begin, std::size_t end, int shift,
                      std::uint32_t* __restrict slots, std::uint64_t* __restrict to)
{
    for (std::size_t p = begin; p < end; ++p) to[slots[(from[p] >> shift) & (kDigits - 1)]++] = from[p];
}

// Long lists, which in the plane test hold many equal distances and crowd
// the buckets above: a radix sort on the key's digits from the lowest up,
// each pass stable, skipping the digits that no two keys differ in.
void sortByFloatKeyInDigits(const std::vector<std::uint32_t>& keys, ResidualSortBuffers& buffers)
{
    const std::size_t n = keys.size();
    std::vector<std::uint64_t>& sorted = buffers.sorted;
    sorted.resize(n);
    std::uint32_t any = 0;
    std::uint32_t all = ~std::uint32_t{0};
    for (std::size_t p = 0; p < n; ++p) {
        any |= keys[p];
        all &= keys[p];
        sorted[p] = packed(keys[p], p);
    }
    const std::uint32_t varying = any ^ all;
    std::vector<std::uint64_t>& spare = buffers.spare;
    spare.resize(n);
    std::uint64_t* from = sorted.data();
    std::uint64_t* to = spare.data();
    // Each pass counts and distributes the list in shares; a share's entries
    // of one digit go after those of the shares before it, so every pass
    // stays stable however the list is split.
    const std::size_t shares = sortShares(n);
    auto shareBegin = [n, shares](std::size_t share) { return share * n / shares; };
    std::vector<std::uint32_t>& counts = buffers.digitCounts;
    for (int shift = 0; shift < 32; shift += kDigitBits) {
        if (((varying >> shift) & (kDigits - 1)) == 0) continue;
        counts.assign(shares * kDigits, 0u);
        const int digitShift = 32 + shift;
        if (shares == 1) {
            countDigits(from, 0, n, digitShift, counts.data());
        } else {
            parallelFor(shares, 1, [&, from, digitShift](std::size_t share) {
                countDigits(from, shareBegin(share), shareBegin(share + 1), digitShift,
                            counts.data() + share * kDigits);
            });
        }
        std::uint32_t start = 0;
        for (std::uint32_t d = 0; d < kDigits; ++d) {
            for (std::size_t share = 0; share < shares; ++share) {
                const std::uint32_t count = counts[share * kDigits + d];
                counts[share * kDigits + d] = start;
                start += count;
            }
        }
        if (shares == 1) {
            distributeDigits(from, 0, n, digitShift, counts.data(), to);
        } else {
            parallelFor(shares, 1, [&, from, to, digitShift](std::size_t share) {
                distributeDigits(from, shareBegin(share), shareBegin(share + 1), digitShift,
                                 counts.data() + share * kDigits, to);
            });
        }
        std::swap(from, to);
    }
    if (from != sorted.data()) sorted.swap(spare);
}

// Positions sorted by key, equal keys by position, into buffers.sorted (as
// key << 32 | position).
void sortByFloatKey(const std::vector<std::uint32_t>& keys, ResidualSortBuffers& buffers)
{
    if (keys.size() >= kDigitSortFrom)
        sortByFloatKeyInDigits(keys, buffers);
    else
        sortByFloatKeyInBuckets(keys, buffers);
}

// An unsigned key with the order of the doubles (not-a-number excluded);
// both zeros get one key, as they compare equal.
std::uint64_t orderedKey(double value)
{
    if (value == 0.0) value = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint64_t sign = std::uint64_t{1} << 63;
    return (bits & sign) ? ~bits : bits | sign;
}

// The exchange order for any distances but not-a-number, through 64-bit keys:
// a sort by key and position, then the groups of equal keys rearranged.
void exchangeOrderOfDoubles(std::vector<int>& indices, std::vector<double>& distances, ResidualSortBuffers& buffers)
{
    const std::size_t n = distances.size();
    std::vector<int>& order = buffers.order;
    std::vector<std::uint64_t>& keys = buffers.wideKeys;
    order.resize(n);
    keys.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        keys[p] = orderedKey(distances[p]);
        order[p] = static_cast<int>(p);
    }
    std::sort(order.begin(), order.end(),
              [&keys](int a, int b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); });
    std::vector<std::uint64_t>& sortedKeys = buffers.sortedWideKeys;
    sortedKeys.resize(n);
    for (std::size_t p = 0; p < n; ++p) sortedKeys[p] = keys[order[p]];
    orderTieGroups(keys.data(), sortedKeys.data(), n, buffers);
    // Values are moved with their points rather than rebuilt from the keys, so
    // that equal but differently signed zeros travel as the exchange sort moves them.
    buffers.indexCopy.assign(indices.begin(), indices.end());
    buffers.distanceCopy.assign(distances.begin(), distances.end());
    for (std::size_t p = 0; p < n; ++p) {
        indices[p] = buffers.indexCopy[order[p]];
        distances[p] = buffers.distanceCopy[order[p]];
    }
}

}  // namespace

void sortPositionsByBits(const std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers)
{
    const std::size_t n = bits.size();
    sortByFloatKey(bits, buffers);
    const std::vector<std::uint64_t>& sorted = buffers.sorted;
    std::vector<int>& order = buffers.order;
    std::vector<std::uint32_t>& sortedKeys = buffers.sortedKeys;
    order.resize(n);
    sortedKeys.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        order[p] = static_cast<int>(sorted[p] & 0xffffffffu);
        sortedKeys[p] = static_cast<std::uint32_t>(sorted[p] >> 32);
    }
}

void sortBitsAscending(std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers)
{
    sortByFloatKey(bits, buffers);
    const std::size_t n = bits.size();
    for (std::size_t p = 0; p < n; ++p) bits[p] = static_cast<std::uint32_t>(buffers.sorted[p] >> 32);
}

bool sortDistanceBits(std::vector<int>& indices, std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers)
{
    if (indices.size() != bits.size()) return false;
    const std::size_t n = indices.size();
    sortPositionsByBits(bits, buffers);
    orderTieGroups(bits.data(), buffers.sortedKeys.data(), n, buffers);
    buffers.indexCopy.assign(indices.begin(), indices.end());
    for (std::size_t p = 0; p < n; ++p) indices[p] = buffers.indexCopy[buffers.order[p]];
    bits.swap(buffers.sortedKeys);
    return true;
}

void exchangeSortDistances(std::vector<int>& indices, std::vector<double>& distances, ResidualSortBuffers& buffers)
{
    const std::size_t n = distances.size();
    if (floatKeys(distances, buffers.keys)) {
        sortDistanceBits(indices, buffers.keys, buffers);
        // Equal keys are equal floats: the distances follow from the keys.
        for (std::size_t p = 0; p < n; ++p) distances[p] = widenedBits(buffers.keys[p]);
    } else if (std::any_of(distances.begin(), distances.end(), [](double v) { return std::isnan(v); })) {
        exchangeSort(indices, distances);
    } else {
        exchangeOrderOfDoubles(indices, distances, buffers);
    }
}

}  // namespace vela
