// Nearest other points from a uniform grid whose points are sorted by cell.
//
// A point is settled by the 3x3x3 block of cells around its own when the best
// distance found there is not above a lower bound of its distance to every
// point outside the block, made from the block's edges with the distance's
// own float operations (see point_cells.h).
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

#include "supervoxel/point_cells.h"
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
// Cells per task; fixed, so that the thread count never shows.
constexpr std::size_t kCellsPerTask = 2048;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

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
    const Cells cells = sortIntoCells(points.data(), points.size(), cellSize, kPointsPerCell);
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
