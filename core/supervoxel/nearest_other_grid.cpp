// Nearest other points from a uniform grid whose points are sorted by cell.
//
// A point is settled by the 3x3x3 block of cells around its own when the best
// distance found there is not above a lower bound of its distance to every
// point outside the block. Along each axis cell m starts at edge(m), a float
// that never decreases with m, and a coordinate lies in the last cell whose
// edge it reaches; so a point two or more cells below the query's cell i lies
// below edge(i - 1), one two or more above at or beyond edge(i + 2). Rounding
// is monotone: |fl(q - p)| is then at least fl(q - edge(i - 1)) (or
// fl(edge(i + 2) - q)), its square likewise, and the distance, a float sum of
// non-negative terms, at least any one of them. The bound is built from the
// distance's own float operations and holds bit for bit, not only in exact
// arithmetic.
//
// The cell size follows the occupied cells, not the bounding box: surfaces
// fill few cells of their box. What the block cannot settle is tried in wider
// cubes of cells, with the same bound from their outer edges, while they stay
// small; the rest (isolated points, cells far denser than the rest) is left
// to the caller's exact search, so no cloud makes the grid slow or wrong.
#include "supervoxel/nearest_other_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace detail {
namespace {

// Occupied cells hold about this many points: fewer leaves more points
// without their nearest in the block, more makes every block longer to scan.
constexpr double kPointsPerCell = 5.0;
// Blocks with more points are not scanned: the exact search is cheaper.
constexpr std::size_t kMaxBlockPoints = 600;
// Points the block leaves are tried in cubes of up to this many cells either
// side, scanning at most this many points for each in all; beyond, the exact
// search is cheaper.
constexpr std::int64_t kWidestRadius = 8;
constexpr std::size_t kMaxWiderPoints = 4096;
// Cells per axis, so that a cell's key (ix * ny + iy) * nz + iz fits 63 bits.
constexpr std::int64_t kMaxCellsPerAxis = std::int64_t{1} << 21;
// Points per task of the sort; fixed, so that the thread count never shows.
constexpr std::size_t kChunk = std::size_t{1} << 16;
constexpr std::size_t kCellsPerTask = 2048;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

struct Box {
    float low[3];
    float high[3];
};

struct Axis {
    double origin = 0.0;  // the smallest coordinate, edge(0)
    double size = 1.0;
    double inverse = 1.0;
    std::int64_t cells = 1;

    float edge(std::int64_t m) const { return static_cast<float>(origin + static_cast<double>(m) * size); }

    // The last cell whose edge x reaches; the guess misses by a cell at most.
    std::int64_t cellOf(float x) const
    {
        // Not below 0: origin is the smallest coordinate.
        const double guess = (static_cast<double>(x) - origin) * inverse;
        std::int64_t m = guess < static_cast<double>(cells - 1) ? static_cast<std::int64_t>(guess) : cells - 1;
        while (m > 0 && x < edge(m)) --m;
        while (m + 1 < cells && x >= edge(m + 1)) ++m;
        return m;
    }
};

struct Entry {
    float c[3];
    std::uint32_t index;  // position in the caller's cloud
};

// A point's cell key and index, in one word when the keys fit 32 bits.
struct PackedKey {
    std::uint64_t word;
    PackedKey() = default;
    PackedKey(std::uint64_t key, std::uint32_t index) : word(key << 32 | index) {}
    std::uint64_t key() const { return word >> 32; }
    std::uint32_t index() const { return static_cast<std::uint32_t>(word); }
};

struct WideKey {
    std::uint64_t word;
    std::uint32_t position;
    WideKey() = default;
    WideKey(std::uint64_t key, std::uint32_t index) : word(key), position(index) {}
    std::uint64_t key() const { return word; }
    std::uint32_t index() const { return position; }
};

// The points in cell order and the occupied cells' keys, increasing.
struct Cells {
    Axis axis[3];
    std::vector<Entry> entries;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> starts;  // each cell's first entry, and the end
};

Box boundingBox(const std::vector<cl::Point3D<float>>& points)
{
    const std::size_t chunks = (points.size() + kChunk - 1) / kChunk;
    std::vector<Box> parts(chunks);
    parallelFor(chunks, 1, [&](std::size_t c) {
        Box box{{kInfinity, kInfinity, kInfinity}, {-kInfinity, -kInfinity, -kInfinity}};
        const std::size_t end = std::min(points.size(), (c + 1) * kChunk);
        for (std::size_t i = c * kChunk; i < end; ++i) {
            const float p[3] = {points[i].x, points[i].y, points[i].z};
            for (int a = 0; a < 3; ++a) {
                box.low[a] = std::min(box.low[a], p[a]);
                box.high[a] = std::max(box.high[a], p[a]);
            }
        }
        parts[c] = box;
    });
    Box box = parts[0];
    for (const Box& part : parts)
        for (int a = 0; a < 3; ++a) {
            box.low[a] = std::min(box.low[a], part.low[a]);
            box.high[a] = std::max(box.high[a], part.high[a]);
        }
    return box;
}

// The cell size of a surface spread over the box's two longest sides.
double firstCellSize(const Box& box, std::size_t n)
{
    double extent[3];
    for (int a = 0; a < 3; ++a)
        extent[a] = static_cast<double>(box.high[a]) - static_cast<double>(box.low[a]);
    std::sort(extent, extent + 3, [](double l, double r) { return l > r; });
    if (extent[1] > 0.0) return std::sqrt(kPointsPerCell * extent[0] * extent[1] / static_cast<double>(n));
    if (extent[0] > 0.0) return kPointsPerCell * extent[0] / static_cast<double>(n);
    return 1.0;
}

// Cells no finer than a few units in the last place of the largest
// coordinate (edges then increase strictly and the first guess of cellOf is
// close) nor than the normal floats.
double usableCellSize(const Box& box, double size)
{
    double largest = 0.0;
    for (int a = 0; a < 3; ++a)
        largest = std::max({largest, std::fabs(static_cast<double>(box.low[a])), std::fabs(static_cast<double>(box.high[a]))});
    return std::max({size, largest * 0x1p-19, 0x1p-120});
}

void setAxes(const Box& box, double size, Axis axis[3])
{
    for (int a = 0; a < 3; ++a) {
        axis[a].origin = box.low[a];
        axis[a].size = size;
        axis[a].inverse = 1.0 / size;
        const double cells = std::floor((static_cast<double>(box.high[a]) - axis[a].origin) * axis[a].inverse) + 1.0;
        axis[a].cells = cells < static_cast<double>(kMaxCellsPerAxis) ? static_cast<std::int64_t>(cells) : kMaxCellsPerAxis;
    }
}

// Stable LSD radix sort by key over the bits of keys below `limit`, in
// passes of at most 11 bits.
template <typename Keyed>
void sortByKey(std::vector<Keyed>& items, std::uint64_t limit)
{
    int bits = 0;
    while (bits < 64 && ((limit - 1) >> bits) != 0) ++bits;
    const int passes = (bits + 10) / 11;
    if (passes == 0) return;
    const int digit = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const std::size_t n = items.size();
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    std::vector<Keyed> sorted;
    cl::resizeOnLargePages(sorted, n);
    std::vector<std::size_t> offsets(chunks * buckets);
    for (int shift = 0; shift < bits; shift += digit) {
        auto bucketOf = [shift, buckets](const Keyed& item) { return (item.key() >> shift) & (buckets - 1); };
        parallelFor(chunks, 1, [&](std::size_t c) {
            std::size_t* const count = &offsets[c * buckets];
            std::fill(count, count + buckets, 0);
            const std::size_t end = std::min(n, (c + 1) * kChunk);
            for (std::size_t i = c * kChunk; i < end; ++i) ++count[bucketOf(items[i])];
        });
        std::size_t total = 0;
        bool oneBucket = false;
        for (std::size_t b = 0; b < buckets; ++b) {
            const std::size_t bucketStart = total;
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t count = offsets[c * buckets + b];
                offsets[c * buckets + b] = total;
                total += count;
            }
            oneBucket = oneBucket || total - bucketStart == n;
        }
        if (oneBucket) continue;  // this digit is the same everywhere
        parallelFor(chunks, 1, [&](std::size_t c) {
            std::size_t* const next = &offsets[c * buckets];
            const std::size_t end = std::min(n, (c + 1) * kChunk);
            for (std::size_t i = c * kChunk; i < end; ++i) sorted[next[bucketOf(items[i])]++] = items[i];
        });
        items.swap(sorted);
    }
}

// The points' keys in increasing order.
template <typename Keyed>
std::vector<Keyed> sortedKeys(const std::vector<cl::Point3D<float>>& points, const Axis axis[3])
{
    std::vector<Keyed> keyed;
    cl::resizeOnLargePages(keyed, points.size());
    const auto ny = static_cast<std::uint64_t>(axis[1].cells), nz = static_cast<std::uint64_t>(axis[2].cells);
    parallelFor(points.size(), 1 << 14, [&](std::size_t i) {
        const auto ix = static_cast<std::uint64_t>(axis[0].cellOf(points[i].x));
        const auto iy = static_cast<std::uint64_t>(axis[1].cellOf(points[i].y));
        const auto iz = static_cast<std::uint64_t>(axis[2].cellOf(points[i].z));
        keyed[i] = Keyed((ix * ny + iy) * nz + iz, static_cast<std::uint32_t>(i));
    });
    sortByKey(keyed, static_cast<std::uint64_t>(axis[0].cells) * ny * nz);
    return keyed;
}

// Where each chunk of sorted keys starts a new cell.
template <typename Keyed>
std::vector<std::size_t> cellStartsPerChunk(const std::vector<Keyed>& keyed)
{
    const std::size_t chunks = (keyed.size() + kChunk - 1) / kChunk;
    std::vector<std::size_t> firstCell(chunks + 1, 0);
    parallelFor(chunks, 1, [&](std::size_t c) {
        const std::size_t end = std::min(keyed.size(), (c + 1) * kChunk);
        std::size_t count = 0;
        for (std::size_t i = c * kChunk; i < end; ++i) count += i == 0 || keyed[i].key() != keyed[i - 1].key();
        firstCell[c + 1] = count;
    });
    for (std::size_t c = 0; c < chunks; ++c) firstCell[c + 1] += firstCell[c];
    return firstCell;
}

template <typename Keyed>
void fillCells(const std::vector<cl::Point3D<float>>& points, const std::vector<Keyed>& keyed,
               const std::vector<std::size_t>& firstCell, Cells& cells)
{
    const std::size_t n = keyed.size();
    cl::resizeOnLargePages(cells.entries, n);
    cells.keys.resize(firstCell.back());
    cells.starts.resize(firstCell.back() + 1);
    cells.starts.back() = static_cast<std::uint32_t>(n);
    parallelFor(firstCell.size() - 1, 1, [&](std::size_t c) {
        const std::size_t end = std::min(n, (c + 1) * kChunk);
        std::size_t cell = firstCell[c];
        for (std::size_t i = c * kChunk; i < end; ++i) {
            const cl::Point3D<float>& p = points[keyed[i].index()];
            cells.entries[i] = Entry{{p.x, p.y, p.z}, keyed[i].index()};
            if (i == 0 || keyed[i].key() != keyed[i - 1].key()) {
                cells.keys[cell] = keyed[i].key();
                cells.starts[cell++] = static_cast<std::uint32_t>(i);
            }
        }
    });
}

// Sorts the points into cells of the given size and keeps them when the
// occupied cells hold about kPointsPerCell points or `last` says so; else
// corrects the size as for a surface, whose points per cell grow with the
// square of the size.
template <typename Keyed>
bool trySize(const std::vector<cl::Point3D<float>>& points, const Box& box, double& size, bool last, Cells& cells)
{
    const std::vector<Keyed> keyed = sortedKeys<Keyed>(points, cells.axis);
    const std::vector<std::size_t> firstCell = cellStartsPerChunk(keyed);
    const double perCell = static_cast<double>(points.size()) / static_cast<double>(firstCell.back());
    const double next = usableCellSize(box, size * std::sqrt(kPointsPerCell / perCell));
    const bool close = perCell > 0.5 * kPointsPerCell && perCell < 2.0 * kPointsPerCell;
    if (last || close || next == size) {
        fillCells(points, keyed, firstCell, cells);
        return true;
    }
    size = next;
    return false;
}

// The points in cells of `cellSize`, or of a size adapted to the cloud in up
// to three tries.
Cells sortIntoCells(const std::vector<cl::Point3D<float>>& points, double cellSize)
{
    const Box box = boundingBox(points);
    double size = usableCellSize(box, cellSize > 0.0 ? cellSize : firstCellSize(box, points.size()));
    Cells cells;
    for (int attempt = 0;; ++attempt) {
        setAxes(box, size, cells.axis);
        const bool last = attempt == 2 || cellSize > 0.0;
        std::uint64_t limit = 1;  // keys lie below
        for (const Axis& axis : cells.axis) limit *= static_cast<std::uint64_t>(axis.cells);
        const bool done = limit <= (std::uint64_t{1} << 32) ? trySize<PackedKey>(points, box, size, last, cells)
                                                            : trySize<WideKey>(points, box, size, last, cells);
        if (done) return cells;
    }
}

// A cell's position along each axis.
void cellCoordinates(const Cells& cells, std::uint64_t key, std::int64_t i[3])
{
    const auto ny = static_cast<std::uint64_t>(cells.axis[1].cells), nz = static_cast<std::uint64_t>(cells.axis[2].cells);
    i[0] = static_cast<std::int64_t>(key / nz / ny);
    i[1] = static_cast<std::int64_t>(key / nz % ny);
    i[2] = static_cast<std::int64_t>(key % nz);
}

// Along each axis, where points more than `radius` cells from cell i start:
// below low, or at or above high (infinite where there are none).
void boundsAround(const Cells& cells, const std::int64_t i[3], std::int64_t radius, float low[3], float high[3])
{
    for (int a = 0; a < 3; ++a) {
        const Axis& axis = cells.axis[a];
        low[a] = i[a] - radius >= 1 ? axis.edge(i[a] - radius) : -kInfinity;
        high[a] = i[a] + radius + 1 < axis.cells ? axis.edge(i[a] + radius + 1) : kInfinity;
    }
}

// The smallest of the bounds at q: no point beyond them is nearer.
float boundAt(const float q[3], const float low[3], const float high[3])
{
    float bound = kInfinity;
    for (int a = 0; a < 3; ++a) {
        const float below = q[a] - low[a], above = high[a] - q[a];
        bound = std::min({bound, below * below, above * above});
    }
    return bound;
}

// The points of the block around one cell: for each of the 3x3 columns of
// cells beside it, the entries of up to three consecutive cells.
struct Block {
    std::size_t begin[9];
    std::size_t end[9];
    int columns = 0;
    std::size_t points = 0;
    float low[3];   // points of the cloud outside the block lie below low
    float high[3];  // or at or above high, along some axis
};

// Finds the columns of successive cells in key order: each column's cursor
// only moves forward.
struct BlockFinder {
    const Cells& cells;
    std::int64_t offset[9];  // key offset of the column's lowest cell beside
    std::size_t cursor[9];

    BlockFinder(const Cells& cells_, std::size_t firstCell) : cells(cells_)
    {
        const std::int64_t ny = cells.axis[1].cells, nz = cells.axis[2].cells;
        for (int c = 0; c < 9; ++c) {
            offset[c] = ((c / 3 - 1) * ny + (c % 3 - 1)) * nz;
            const std::int64_t lowest = static_cast<std::int64_t>(cells.keys[firstCell]) + offset[c] - 1;
            cursor[c] = static_cast<std::size_t>(
                std::lower_bound(cells.keys.begin(), cells.keys.end(), static_cast<std::uint64_t>(std::max<std::int64_t>(lowest, 0))) -
                cells.keys.begin());
        }
    }

    void find(std::size_t cell, Block& block)
    {
        const Axis* const axis = cells.axis;
        const std::uint64_t key = cells.keys[cell];
        std::int64_t i[3];
        cellCoordinates(cells, key, i);
        boundsAround(cells, i, 1, block.low, block.high);
        const std::int64_t below = i[2] > 0 ? -1 : 0, above = i[2] + 1 < axis[2].cells ? 1 : 0;
        const std::size_t count = cells.keys.size();
        block.columns = 0;
        block.points = 0;
        for (int c = 0; c < 9; ++c) {
            const std::int64_t x = i[0] + c / 3 - 1, y = i[1] + c % 3 - 1;
            if (x < 0 || x >= axis[0].cells || y < 0 || y >= axis[1].cells) continue;
            const auto first = static_cast<std::uint64_t>(static_cast<std::int64_t>(key) + offset[c] + below);
            const auto last = static_cast<std::uint64_t>(static_cast<std::int64_t>(key) + offset[c] + above);
            std::size_t& at = cursor[c];
            while (at < count && cells.keys[at] < first) ++at;
            std::size_t end = at;
            while (end < count && cells.keys[end] <= last) ++end;
            if (end == at) continue;
            block.begin[block.columns] = cells.starts[at];
            block.end[block.columns] = cells.starts[end];
            block.points += block.end[block.columns] - block.begin[block.columns];
            ++block.columns;
        }
    }
};

constexpr std::size_t kGatheredCapacity = (kMaxBlockPoints + kLanes - 1) / kLanes * kLanes;

// A block's points in one place, coordinates apart, padded to whole lanes
// with points at infinity (their distances are infinite, never the nearest).
struct Gathered {
    alignas(16) float x[kGatheredCapacity];
    alignas(16) float y[kGatheredCapacity];
    alignas(16) float z[kGatheredCapacity];
    std::size_t count = 0;
    std::size_t ownCell = 0;  // where the entries of the block's own cell start

    void gather(const Cells& cells, const Block& block, std::size_t ownEntry)
    {
        count = 0;
        for (int c = 0; c < block.columns; ++c) {
            if (ownEntry >= block.begin[c] && ownEntry < block.end[c]) ownCell = count + (ownEntry - block.begin[c]);
            for (std::size_t j = block.begin[c]; j < block.end[c]; ++j, ++count) {
                x[count] = cells.entries[j].c[0];
                y[count] = cells.entries[j].c[1];
                z[count] = cells.entries[j].c[2];
            }
        }
        for (; count % kLanes != 0; ++count) x[count] = y[count] = z[count] = kInfinity;
    }

    // The smallest distance from the point at `self` to the others.
    float nearestTo(std::size_t self)
    {
        const float q[3] = {x[self], y[self], z[self]};
        x[self] = kInfinity;  // not its own neighbour
        const Floats qx = {q[0], q[0], q[0], q[0]}, qy = {q[1], q[1], q[1], q[1]}, qz = {q[2], q[2], q[2], q[2]};
        Floats best = {kInfinity, kInfinity, kInfinity, kInfinity};
        for (std::size_t j = 0; j < count; j += kLanes) {
            Floats px, py, pz;
            std::memcpy(&px, x + j, sizeof px);
            std::memcpy(&py, y + j, sizeof py);
            std::memcpy(&pz, z + j, sizeof pz);
            const Floats d = flannSquaredDistances(qx, qy, qz, px, py, pz);
            best = d < best ? d : best;
        }
        x[self] = q[0];
        return std::min(std::min(best[0], best[1]), std::min(best[2], best[3]));
    }
};

// The nearest distance of the point at `self` if the block settles it, else NaN.
float settle(Gathered& gathered, const Block& block, std::size_t self)
{
    const float best = gathered.nearestTo(self);
    const float q[3] = {gathered.x[self], gathered.y[self], gathered.z[self]};
    return best <= boundAt(q, block.low, block.high) ? best : std::numeric_limits<float>::quiet_NaN();
}

// As settle, over the cells within `radius` of the entry's cell, found by
// binary search; adds the points scanned to `scanned`, and gives up (NaN)
// before a column would take it beyond kMaxWiderPoints.
float settleWithin(const Cells& cells, std::size_t cell, std::size_t self, std::int64_t radius, std::size_t& scanned)
{
    std::int64_t i[3];
    cellCoordinates(cells, cells.keys[cell], i);
    float low[3], high[3];
    boundsAround(cells, i, radius, low, high);
    const std::int64_t ny = cells.axis[1].cells, nz = cells.axis[2].cells;
    const auto zLow = static_cast<std::uint64_t>(std::max<std::int64_t>(i[2] - radius, 0));
    const auto zHigh = static_cast<std::uint64_t>(std::min(i[2] + radius, nz - 1));
    const float* const q = cells.entries[self].c;
    float best = kInfinity;
    for (std::int64_t x = std::max<std::int64_t>(i[0] - radius, 0); x <= std::min(i[0] + radius, cells.axis[0].cells - 1); ++x)
        for (std::int64_t y = std::max<std::int64_t>(i[1] - radius, 0); y <= std::min(i[1] + radius, ny - 1); ++y) {
            const auto column = static_cast<std::uint64_t>((x * ny + y) * nz);
            const auto first = std::lower_bound(cells.keys.begin(), cells.keys.end(), column + zLow);
            const auto last = std::upper_bound(first, cells.keys.end(), column + zHigh);
            const std::size_t begin = cells.starts[first - cells.keys.begin()], end = cells.starts[last - cells.keys.begin()];
            if (scanned + (end - begin) > kMaxWiderPoints) return std::numeric_limits<float>::quiet_NaN();
            for (std::size_t j = begin; j < end; ++j)
                if (j != self) best = std::min(best, flannSquaredDistance(q, cells.entries[j].c));
            scanned += end - begin;
        }
    return best <= boundAt(q, low, high) ? best : std::numeric_limits<float>::quiet_NaN();
}

// A point the block left, tried in ever wider cubes of cells while they stay
// cheap to scan; NaN when none settles it.
float settleWider(const Cells& cells, std::size_t cell, std::size_t self)
{
    std::size_t scanned = 0;
    for (std::int64_t radius = 2; radius <= kWidestRadius; radius *= 2) {
        const float d = settleWithin(cells, cell, self, radius, scanned);
        if (!std::isnan(d)) return d;
    }
    return std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

std::size_t nearestOtherInGrid(const std::vector<cl::Point3D<float>>& points, std::vector<float>& nearest,
                               double cellSize)
{
    const Cells cells = sortIntoCells(points, cellSize);
    const std::size_t tasks = (cells.keys.size() + kCellsPerTask - 1) / kCellsPerTask;
    // Per task, the cells and entries the block did not settle.
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> left(tasks);
    parallelFor(tasks, 1, [&](std::size_t t) {
        const std::size_t first = t * kCellsPerTask, last = std::min(cells.keys.size(), first + kCellsPerTask);
        BlockFinder finder(cells, first);
        Block block;
        Gathered gathered;
        for (std::size_t cell = first; cell < last; ++cell) {
            finder.find(cell, block);
            const bool scan = block.points <= kMaxBlockPoints;
            if (scan) gathered.gather(cells, block, cells.starts[cell]);
            for (std::size_t e = cells.starts[cell]; e < cells.starts[cell + 1]; ++e) {
                const float d = scan ? settle(gathered, block, gathered.ownCell + (e - cells.starts[cell]))
                                     : std::numeric_limits<float>::quiet_NaN();
                nearest[cells.entries[e].index] = d;
                if (std::isnan(d)) left[t].emplace_back(cell, e);
            }
        }
    });
    std::vector<std::pair<std::size_t, std::size_t>> unsettled;
    for (const auto& part : left) unsettled.insert(unsettled.end(), part.begin(), part.end());
    // Many unsettled points: a cloud the grid does not suit, better all in the tree.
    if (unsettled.size() > points.size() / 16) return unsettled.size();
    std::vector<std::size_t> stillLeft(unsettled.size());
    parallelFor(unsettled.size(), 64, [&](std::size_t u) {
        const auto [cell, e] = unsettled[u];
        const float d = settleWider(cells, cell, e);
        nearest[cells.entries[e].index] = d;
        stillLeft[u] = std::isnan(d);
    });
    std::size_t total = 0;
    for (const std::size_t one : stillLeft) total += one;
    return total;
}

}  // namespace detail
}  // namespace vela
