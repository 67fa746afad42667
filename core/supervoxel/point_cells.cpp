// Points sorted into cells by a parallel radix sort over their cell keys.
#include "supervoxel/point_cells.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace detail {
namespace {

// Cells per axis, so that a cell's key (ix * ny + iy) * nz + iz fits 63 bits.
constexpr std::int64_t kMaxCellsPerAxis = std::int64_t{1} << 21;
// Points per task of the sort; fixed, so that the thread count never shows.
constexpr std::size_t kChunk = std::size_t{1} << 16;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The caller's points, read as floats (exact: their coordinates are floats),
// and the number of points a cell should hold.
template <typename Coordinate>
struct View {
    const cl::Point3D<Coordinate>* points;
    std::size_t n;
    double perCell;

    std::size_t size() const { return n; }
    cl::Point3D<float> operator[](std::size_t i) const
    {
        const cl::Point3D<Coordinate>& p = points[i];
        return cl::Point3D<float>(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    }
};

struct Box {
    float low[3];
    float high[3];
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

template <typename Coordinate>
Box boundingBox(const View<Coordinate>& points)
{
    const std::size_t chunks = (points.size() + kChunk - 1) / kChunk;
    std::vector<Box> parts(chunks);
    parallelFor(chunks, 1, [&](std::size_t c) {
        Box box{{kInfinity, kInfinity, kInfinity}, {-kInfinity, -kInfinity, -kInfinity}};
        const std::size_t end = std::min(points.size(), (c + 1) * kChunk);
        for (std::size_t i = c * kChunk; i < end; ++i) {
            const cl::Point3D<float> q = points[i];
            const float p[3] = {q.x, q.y, q.z};
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
double firstCellSize(const Box& box, std::size_t n, double pointsPerCell)
{
    double extent[3];
    for (int a = 0; a < 3; ++a)
        extent[a] = static_cast<double>(box.high[a]) - static_cast<double>(box.low[a]);
    std::sort(extent, extent + 3, [](double l, double r) { return l > r; });
    if (extent[1] > 0.0) return std::sqrt(pointsPerCell * extent[0] * extent[1] / static_cast<double>(n));
    if (extent[0] > 0.0) return pointsPerCell * extent[0] / static_cast<double>(n);
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
    resizeOnPopulatedPages(sorted, n);
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
template <typename Keyed, typename Coordinate>
std::vector<Keyed> sortedKeys(const View<Coordinate>& points, const Axis axis[3])
{
    std::vector<Keyed> keyed;
    resizeOnPopulatedPages(keyed, points.size());
    const auto ny = static_cast<std::uint64_t>(axis[1].cells), nz = static_cast<std::uint64_t>(axis[2].cells);
    parallelFor(points.size(), 1 << 14, [&](std::size_t i) {
        const cl::Point3D<float> p = points[i];
        const auto ix = static_cast<std::uint64_t>(axis[0].cellOf(p.x));
        const auto iy = static_cast<std::uint64_t>(axis[1].cellOf(p.y));
        const auto iz = static_cast<std::uint64_t>(axis[2].cellOf(p.z));
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

template <typename Keyed, typename Coordinate>
void fillCells(const View<Coordinate>& points, const std::vector<Keyed>& keyed,
               const std::vector<std::size_t>& firstCell, Cells& cells)
{
    const std::size_t n = keyed.size();
    resizeOnPopulatedPages(cells.entries, n);
    cells.keys.resize(firstCell.back());
    cells.starts.resize(firstCell.back() + 1);
    cells.starts.back() = static_cast<std::uint32_t>(n);
    parallelFor(firstCell.size() - 1, 1, [&](std::size_t c) {
        const std::size_t end = std::min(n, (c + 1) * kChunk);
        std::size_t cell = firstCell[c];
        for (std::size_t i = c * kChunk; i < end; ++i) {
            const cl::Point3D<float> p = points[keyed[i].index()];
            cells.entries[i] = Entry{{p.x, p.y, p.z}, keyed[i].index()};
            if (i == 0 || keyed[i].key() != keyed[i - 1].key()) {
                cells.keys[cell] = keyed[i].key();
                cells.starts[cell++] = static_cast<std::uint32_t>(i);
            }
        }
    });
}

// Sorts the points into cells of the given size and keeps them when the
// occupied cells hold about the points wanted per cell or `last` says so; else
// corrects the size as for a surface, whose points per cell grow with the
// square of the size.
template <typename Keyed, typename Coordinate>
bool trySize(const View<Coordinate>& points, const Box& box, double& size, bool last, Cells& cells)
{
    const std::vector<Keyed> keyed = sortedKeys<Keyed>(points, cells.axis);
    const std::vector<std::size_t> firstCell = cellStartsPerChunk(keyed);
    const double perCell = static_cast<double>(points.size()) / static_cast<double>(firstCell.back());
    const double next = usableCellSize(box, size * std::sqrt(points.perCell / perCell));
    const bool close = perCell > 0.5 * points.perCell && perCell < 2.0 * points.perCell;
    if (last || close || next == size) {
        fillCells(points, keyed, firstCell, cells);
        return true;
    }
    size = next;
    return false;
}

}  // namespace

template <typename Coordinate>
Cells sortIntoCells(const cl::Point3D<Coordinate>* points, std::size_t n, double cellSize, double pointsPerCell)
{
    const View<Coordinate> view{points, n, pointsPerCell};
    const Box box = boundingBox(view);
    double size = usableCellSize(box, cellSize > 0.0 ? cellSize : firstCellSize(box, n, pointsPerCell));
    Cells cells;
    // Up to three tries at an adapted size.
    for (int attempt = 0;; ++attempt) {
        setAxes(box, size, cells.axis);
        const bool last = attempt == 2 || cellSize > 0.0;
        std::uint64_t limit = 1;  // keys lie below
        for (const Axis& axis : cells.axis) limit *= static_cast<std::uint64_t>(axis.cells);
        const bool done = limit <= (std::uint64_t{1} << 32) ? trySize<PackedKey>(view, box, size, last, cells)
                                                            : trySize<WideKey>(view, box, size, last, cells);
        if (done) return cells;
    }
}

template Cells sortIntoCells(const cl::Point3D<float>*, std::size_t, double, double);
template Cells sortIntoCells(const cl::Point3D<double>*, std::size_t, double, double);

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

BlockFinder::BlockFinder(const Cells& cells_, std::size_t firstCell) : cells(cells_)
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


void BlockFinder::find(std::size_t cell, Block& block)
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

}  // namespace detail
}  // namespace vela
