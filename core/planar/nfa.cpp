#include "planar/nfa.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace vela {

NfaTable buildNfaTable(int n, int k)
{
    NfaTable table;
    table.N = n;
    table.k = k;
    if (n < 0) return table;

    table.logInt.assign(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) table.logInt[i] = std::log10(static_cast<double>(i));
    if (n < k) return table;

    // log10(m!) summed in increasing i, so that every table of the same N is
    // built from the same rounding.
    auto logFactorial = [&table](int m) {
        double sum = 0.0;
        for (int i = 1; i <= m; ++i) sum += table.logInt[i];
        return sum;
    };

    const int cuts = n - k + 1;
    table.logChooseN.assign(cuts, 0.0);
    table.logChooseK.assign(cuts, 0.0);
    if (n > k) table.logChooseN[0] = logFactorial(n) - logFactorial(n - k) - logFactorial(k);
    for (int j = 1; j < cuts; ++j) {
        table.logChooseN[j] = table.logChooseN[j - 1] - table.logInt[k + j] + table.logInt[n - k - j + 1];
        table.logChooseK[j] = table.logInt[k + j] + table.logChooseK[j - 1] - table.logInt[j];
    }
    return table;
}

namespace {

using Entry = ResidualSortBuffers::Entry;

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

// Counts, over positions 0..n-1, how many inserted positions lie below a given one.
void fenwickReset(std::vector<int>& tree, std::size_t n) { tree.assign(n + 1, 0); }

void fenwickInsert(std::vector<int>& tree, int position)
{
    for (std::size_t i = static_cast<std::size_t>(position) + 1; i < tree.size(); i += i & (~i + 1)) ++tree[i];
}

int fenwickCountBelow(const std::vector<int>& tree, int position)
{
    int count = 0;
    for (std::size_t i = static_cast<std::size_t>(position); i > 0; i -= i & (~i + 1)) count += tree[i];
    return count;
}

// Puts one group of equal distances, keyed[first..first+size) (sorted by
// original position, all smaller distances already in the tree), into the
// order the exchange sort leaves them in.
//
// Restricted to the elements <= v, the exchange sort runs exactly as it would
// on that subsequence alone, in which v is the largest value. There a v only
// moves while it is the pass's first element and a smaller element lies
// behind it: it then jumps to the first smaller element's slot. So from the
// pass at the first v's rank P1 up to pass L-1 (L = number of smaller
// elements) the v's in front of the unsorted tail form a run that turns like
// a queue, one v from its front to its back per pass; after pass i the run
// ends at slot i + m and takes in the v at rank i + m + 1, if any, with the
// v's right after it. Passes before P1 or from L on leave the v's alone.
void orderTieGroup(std::vector<Entry>& keyed, std::size_t first, int size,
                   const std::vector<int>& fenwick, std::vector<int>& ranks, std::vector<int>& ring)
{
    const long smaller = static_cast<long>(first);
    ranks.resize(size);
    for (int t = 0; t < size; ++t) ranks[t] = fenwickCountBelow(fenwick, keyed[first + t].position) + t;
    if (ranks[0] >= smaller) return;  // every v already stands behind all smaller ones

    // The run lives in a ring of the group's size: its logical end has a free
    // slot until every v has joined it.
    ring.resize(size);
    int head = 0;
    int length = 0;
    int joined = 0;
    long pass = ranks[0] - 1L;  // last pass accounted for
    auto absorb = [&]() {
        while (joined < size && ranks[joined] == pass + length + 1) {
            ring[(head + length) % size] = keyed[first + joined].position;
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
            head = (head + turns) % size;
        } else if (turns <= length - turns) {
            for (int s = 0; s < turns; ++s) {
                ring[(head + length) % size] = ring[head];
                head = (head + 1) % size;
            }
        } else {
            for (int s = 0; s < length - turns; ++s) {
                const int last = (head + length - 1) % size;
                head = (head + size - 1) % size;
                ring[head] = ring[last];
            }
        }
        absorb();
    }
    for (int t = 0; t < size; ++t) keyed[first + t].position = ring[(head + t) % size];
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

// Stable sort by key, so equal keys stay in position order. Least significant
// byte first; bytes on which all keys agree are skipped, which leaves at most five
// passes for distances widened from single precision.
void radixSortByKey(std::vector<Entry>& entries, std::vector<Entry>& spare, std::vector<std::uint32_t>& histogram)
{
    const std::size_t n = entries.size();
    if (n < 32) {
        for (std::size_t i = 1; i < n; ++i) {
            const Entry moving = entries[i];
            std::size_t j = i;
            for (; j > 0 && entries[j - 1].key > moving.key; --j) entries[j] = entries[j - 1];
            entries[j] = moving;
        }
        return;
    }
    std::uint64_t anySet = 0;
    std::uint64_t allSet = ~std::uint64_t{0};
    for (const Entry& e : entries) {
        anySet |= e.key;
        allSet &= e.key;
    }
    const std::uint64_t varying = anySet ^ allSet;
    histogram.resize(256);
    spare.resize(n);
    for (int shift = 0; shift < 64; shift += 8) {
        if (((varying >> shift) & 255) == 0) continue;
        std::fill(histogram.begin(), histogram.end(), 0u);
        for (const Entry& e : entries) ++histogram[(e.key >> shift) & 255];
        std::uint32_t offset = 0;
        for (std::uint32_t& count : histogram) {
            const std::uint32_t c = count;
            count = offset;
            offset += c;
        }
        for (const Entry& e : entries) spare[histogram[(e.key >> shift) & 255]++] = e;
        entries.swap(spare);
    }
}

// Sorted order of the exchange sort in O(n log n) (plus the turning of tie
// runs, small in practice): one stable sort by distance, which is the whole
// answer when no two distances are equal, then each group of equal distances
// rearranged as the exchange sort leaves it.
void exchangeOrder(std::vector<int>& indices, std::vector<double>& distances, ResidualSortBuffers& buffers)
{
    const std::size_t n = distances.size();
    auto& keyed = buffers.entries;
    keyed.resize(n);
    for (std::size_t p = 0; p < n; ++p) keyed[p] = {orderedKey(distances[p]), static_cast<int>(p)};
    radixSortByKey(keyed, buffers.spare, buffers.histogram);

    std::size_t lastTieEnd = 0;
    for (std::size_t p = 1; p < n; ++p) {
        if (keyed[p].key == keyed[p - 1].key) lastTieEnd = p + 1;
    }
    if (lastTieEnd > 0) {
        fenwickReset(buffers.fenwick, n);
        std::size_t first = 0;
        while (first < lastTieEnd) {
            std::size_t end = first + 1;
            while (end < n && keyed[end].key == keyed[first].key) ++end;
            if (end - first > 1 && first > 0) {
                orderTieGroup(keyed, first, static_cast<int>(end - first), buffers.fenwick,
                              buffers.tieRanks, buffers.ring);
            }
            for (std::size_t p = first; p < end; ++p) fenwickInsert(buffers.fenwick, keyed[p].position);
            first = end;
        }
    }

    // Values are moved with their points rather than rebuilt from the keys, so
    // that equal but differently signed zeros travel as the exchange sort moves them.
    buffers.indexCopy.assign(indices.begin(), indices.end());
    buffers.distanceCopy.assign(distances.begin(), distances.end());
    for (std::size_t p = 0; p < n; ++p) {
        const int from = keyed[p].position;
        indices[p] = buffers.indexCopy[from];
        distances[p] = buffers.distanceCopy[from];
    }
}

}  // namespace

bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers)
{
    if (indices.size() != distances.size()) return false;
    const std::size_t n = distances.size();

    if (std::any_of(distances.begin(), distances.end(), [](double v) { return std::isnan(v); })) {
        exchangeSort(indices, distances);
    } else {
        exchangeOrder(indices, distances, buffers);
    }

    // The first three are the sample points, at distance zero up to rounding;
    // a zero further on would give log10 = -inf and a cut of unbounded merit.
    if (n >= 4) {
        double firstPositive = 0.0;
        for (std::size_t j = 3; j < n; ++j) {
            if (distances[j] > 0.0) {
                firstPositive = distances[j];
                break;
            }
        }
        for (std::size_t j = 3; j < n && !(distances[j] > 0.0); ++j) {
            if (distances[j] <= 0.0) distances[j] = firstPositive;
        }
    }

    residuals.clear();
    for (std::size_t i = 0; i < n; ++i) residuals.push_back(distances[i] / tau);
    return true;
}

bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau)
{
    ResidualSortBuffers buffers;
    return sortResiduals(indices, distances, residuals, tau, buffers);
}

bool bestNfa(const NfaTable& table, const std::vector<double>& residuals, NfaResult& result)
{
    if (residuals.size() != static_cast<std::size_t>(table.N)) return false;
    const int n = table.N;
    const int k = table.k;
    for (int i = k; i < n; ++i) {
        // Residuals ascend, so nothing past the first one beyond tau can be an
        // inlier: its logarithm is never needed.
        const double logResidual = std::log10(residuals[i]);
        if (logResidual > 0.0) break;
        const int j = i + 1 - k;
        const double value = table.logChooseN[j] + table.logInt[n - k] + table.logChooseK[j] + j * logResidual;
        // Strict, so that among equal scores the smallest cut stays.
        if (value < result.logNfa) {
            result.logNfa = value;
            result.logResidual = logResidual;
            result.count = i + 1;
        }
    }
    return true;
}

}  // namespace vela
