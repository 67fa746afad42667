// Neighbour lists from a uniform grid whose points are sorted by cell.
//
// A point's k + 1 nearest are proven from the 3x3x3 block of cells around its
// own when the block holds k + 1 points nearer than a lower bound of the
// distance to every point outside it, made from the block's edges with the
// distance's own double operations (see point_cells.h). The tree's list is
// then the first k of them when their distances are distinct (no tie for the
// walk's order to break) and the classic walk is sure to reach every one:
// KDTree::confirms. Anything else (ties, duplicates, isolated points, blocks
// too crowded to scan) is left to the tree's own search.
#include "supervoxel/neighbour_grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "supervoxel/cl/nearest_list.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace detail {
namespace {

// Occupied cells hold about this many points, so that on a surface the 16
// nearest usually lie within the cell's own width, less than the distance
// to the block's faces.
constexpr double kPointsPerCell = 16.0;
// Blocks with more points are not scanned: the tree's search is cheaper.
constexpr std::size_t kMaxBlockPoints = 1024;
// Cells per task; fixed, so that the thread count never shows.
constexpr std::size_t kCellsPerTask = 1024;
// Points per task of the check of the coordinates.
constexpr std::size_t kCheckChunk = std::size_t{1} << 16;
// The longest list the grid decides; longer ones go to the tree.
constexpr int kMaxWanted = 64;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Four doubles, each lane computed with the scalar double operations.
typedef double Doubles __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;

bool finiteFloats(const cl::Array<cl::Point3D<double>>& points)
{
    const std::size_t chunks = (points.size() + kCheckChunk - 1) / kCheckChunk;
    std::vector<std::uint8_t> fine(chunks, 1);
    parallelFor(chunks, 1, [&](std::size_t c) {
        const std::size_t end = std::min(points.size(), (c + 1) * kCheckChunk);
        bool all = true;
        for (std::size_t i = c * kCheckChunk; i < end; ++i) {
            const cl::Point3D<double>& p = points[i];
            for (const double v : {p.x, p.y, p.z}) all = all && std::isfinite(v) && static_cast<double>(static_cast<float>(v)) == v;
        }
        fine[c] = all ? 1 : 0;
    });
    return std::all_of(fine.begin(), fine.end(), [](std::uint8_t f) { return f != 0; });
}

// A block's points in one place, coordinates apart and widened to double,
// padded to whole lanes with points at infinity (never below any bound).
struct Gathered {
    std::vector<double> x, y, z;
    std::vector<int> slot;
    std::size_t count = 0;

    Gathered()
    {
        const std::size_t capacity = (kMaxBlockPoints + kLanes - 1) / kLanes * kLanes;
        x.resize(capacity);
        y.resize(capacity);
        z.resize(capacity);
        slot.resize(capacity);
    }

    void gather(const Cells& cells, const Block& block)
    {
        count = 0;
        for (int c = 0; c < block.columns; ++c)
            for (std::size_t j = block.begin[c]; j < block.end[c]; ++j, ++count) {
                const Entry& e = cells.entries[j];
                x[count] = e.c[0];
                y[count] = e.c[1];
                z[count] = e.c[2];
                slot[count] = static_cast<int>(e.index);
            }
        for (; count % kLanes != 0; ++count) {
            x[count] = y[count] = z[count] = kInfinity;
            slot[count] = -1;
        }
    }
};

// The smallest of the bounds at q: no point outside the block is nearer.
double boundAt(const double q[3], const Block& block)
{
    double bound = kInfinity;
    for (int a = 0; a < 3; ++a) {
        const double below = q[a] - static_cast<double>(block.low[a]);
        const double above = static_cast<double>(block.high[a]) - q[a];
        bound = std::min({bound, below * below, above * above});
    }
    return bound;
}

// Whether the list's distances increase strictly.
bool distinct(const cl::NearestList& near)
{
    for (int j = 1; j < near.count; ++j)
        if (!(near.dists[j - 1] < near.dists[j])) return false;
    return true;
}

// The block's points nearer to q than the bound, as the tree measures them.
void scanBlock(const Gathered& g, const double q[3], cl::NearestList& near)
{
    const Doubles qx = {q[0], q[0], q[0], q[0]}, qy = {q[1], q[1], q[1], q[1]}, qz = {q[2], q[2], q[2], q[2]};
    for (std::size_t j = 0; j < g.count; j += kLanes) {
        Doubles px, py, pz;
        std::memcpy(&px, g.x.data() + j, sizeof px);
        std::memcpy(&py, g.y.data() + j, sizeof py);
        std::memcpy(&pz, g.z.data() + j, sizeof pz);
        const Doubles dx = qx - px, dy = qy - py, dz = qz - pz;
        const Doubles d = dx * dx + dy * dy + dz * dz;
        for (std::size_t l = 0; l < kLanes; ++l)
            if (d[l] < near.worst) near.add(d[l], g.slot[j + l]);
    }
}

// The list of the entry's point when the block proves it, as point numbers
// in `list` (wanted of them); false otherwise.
bool decide(const cl::KDTree& tree, const Gathered& g, const Block& block, const Entry& entry, int wanted, int* list)
{
    const double q[3] = {entry.c[0], entry.c[1], entry.c[2]};
    // Only points below the bound are taken: those outside the block are not.
    int slots[kMaxWanted];
    double dists[kMaxWanted];
    cl::NearestList near{wanted, slots, dists, boundAt(q, block)};
    scanBlock(g, q, near);
    if (near.count < wanted || !distinct(near)) return false;
    const int* const numbers = tree.indices().data();
    for (int j = 0; j < wanted; ++j) list[j] = numbers[slots[j]];
    return tree.confirms(cl::Point3D<double>(q[0], q[1], q[2]), list, wanted);
}

}  // namespace

Cells cellsOfTree(const cl::KDTree& tree, int k, double cellSize)
{
    const std::size_t n = tree.size();
    if (k < 1 || k + 1 > kMaxWanted || n < static_cast<std::size_t>(k) + 1 || n > 0xffffffffu) return Cells();
    if (!finiteFloats(tree.slotPoints())) return Cells();
    return sortIntoCells(tree.slotPoints().data(), n, cellSize, kPointsPerCell);
}

std::size_t gridTasks(const Cells& cells)
{
    return (cells.keys.size() + kCellsPerTask - 1) / kCellsPerTask;
}

std::size_t listsFromGrid(const cl::KDTree& tree, const Cells& cells, int k, std::uint8_t* decided,
                          const ListSink& sink)
{
    const std::size_t tasks = gridTasks(cells);
    const int wanted = k + 1;
    const int* const numbers = tree.indices().data();
    std::vector<std::size_t> counts(tasks, 0);
    parallelFor(tasks, 1, [&](std::size_t t) {
        const std::size_t first = t * kCellsPerTask, last = std::min(cells.keys.size(), first + kCellsPerTask);
        BlockFinder finder(cells, first);
        Block block;
        Gathered gathered;
        int list[kMaxWanted];
        for (std::size_t cell = first; cell < last; ++cell) {
            const std::size_t begin = cells.starts[cell], end = cells.starts[cell + 1];
            bool open = false;
            for (std::size_t e = begin; e < end && !open; ++e) open = !decided[numbers[cells.entries[e].index]];
            // The finder moves on with every cell, wanted or not.
            finder.find(cell, block);
            if (!open || block.points > kMaxBlockPoints) continue;
            gathered.gather(cells, block);
            for (std::size_t e = begin; e < end; ++e) {
                const std::size_t point = static_cast<std::size_t>(numbers[cells.entries[e].index]);
                if (decided[point] || !decide(tree, gathered, block, cells.entries[e], wanted, list)) continue;
                sink(t, point, list);
                decided[point] = 1;
                ++counts[t];
            }
        }
    });
    std::size_t total = 0;
    for (const std::size_t c : counts) total += c;
    return total;
}

}  // namespace detail
}  // namespace vela
