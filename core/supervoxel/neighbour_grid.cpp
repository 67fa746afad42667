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
// A task gives up once it has tried at least this many points and decided
// fewer than half of them: on quantised coordinates most lists tie, and a
// failed try costs about what the tree's search does.
constexpr std::size_t kTriesPerRound = 128;
// Points per task of the check of the coordinates.
constexpr std::size_t kCheckChunk = std::size_t{1} << 16;
// The longest list the grid decides; longer ones go to the tree.
constexpr int kMaxWanted = 64;
// Bars below which a point's candidates are taken: the bound, and one from
// the cell's previous list.
constexpr int kBars = 2;
constexpr double kHintMargin = 1.5;
constexpr int kNarrowingSteps = 5;
// Points with more candidates than this after narrowing go to the tree.
constexpr std::size_t kMaxRanked = 128;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Two doubles, each lane computed with the scalar double operations, and two
// comparison results (-1 true, 0 false): the width of the baseline x86-64
// registers, where wider vectors are compared lane by lane.
typedef double Doubles __attribute__((vector_size(16)));
typedef decltype(Doubles{} < Doubles{}) Longs;
constexpr std::size_t kLanes = 2;

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

    // The own cell's points first: the nearest usually lie there, and once
    // they fill the list few others pass its bar.
    void gather(const Cells& cells, const Block& block, std::size_t ownBegin, std::size_t ownEnd)
    {
        count = 0;
        take(cells, ownBegin, ownEnd);
        for (int c = 0; c < block.columns; ++c) {
            if (ownBegin >= block.begin[c] && ownBegin < block.end[c]) {
                take(cells, block.begin[c], ownBegin);
                take(cells, ownEnd, block.end[c]);
            } else {
                take(cells, block.begin[c], block.end[c]);
            }
        }
        for (; count % kLanes != 0; ++count) {
            x[count] = y[count] = z[count] = kInfinity;
            slot[count] = -1;
        }
    }

    void take(const Cells& cells, std::size_t begin, std::size_t end)
    {
        for (std::size_t j = begin; j < end; ++j, ++count) {
            const Entry& e = cells.entries[j];
            x[count] = e.c[0];
            y[count] = e.c[1];
            z[count] = e.c[2];
            slot[count] = static_cast<int>(e.index);
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

// The candidates of one point: the block's points below a bar, padded to
// whole lanes with infinite distances.
struct Candidates {
    std::vector<double> dist;  // per gathered point
    alignas(16) double d[kMaxBlockPoints + kLanes];
    int at[kMaxBlockPoints + kLanes];  // position among the gathered points
    std::size_t count = 0;

    Candidates() : dist((kMaxBlockPoints + kLanes - 1) / kLanes * kLanes) {}
};

// The distances from q to the block's points, as the tree computes them
// (lane by lane the scalar double operations), and per bar how many lie
// below it; the points below the last bar become the candidates. No branch
// depends on a distance.
void measure(const Gathered& g, const double q[3], const double bars[kBars], Candidates& c, std::size_t below[kBars])
{
    const Doubles qx = {q[0], q[0]}, qy = {q[1], q[1]}, qz = {q[2], q[2]};
    const double last = bars[kBars - 1];
    Longs counts[kBars] = {};
    c.count = 0;
    for (std::size_t j = 0; j < g.count; j += kLanes) {
        Doubles px, py, pz;
        std::memcpy(&px, g.x.data() + j, sizeof px);
        std::memcpy(&py, g.y.data() + j, sizeof py);
        std::memcpy(&pz, g.z.data() + j, sizeof pz);
        const Doubles dx = qx - px, dy = qy - py, dz = qz - pz;
        const Doubles d = dx * dx + dy * dy + dz * dz;
        std::memcpy(c.dist.data() + j, &d, sizeof d);
        for (int b = 0; b < kBars; ++b) counts[b] -= d < Doubles{bars[b], bars[b]};
        for (std::size_t l = 0; l < kLanes; ++l) {
            c.d[c.count] = d[l];
            c.at[c.count] = static_cast<int>(j + l);
            c.count += d[l] < last ? 1 : 0;
        }
    }
    for (std::size_t j = c.count; j % kLanes != 0; ++j) c.d[j] = kInfinity;
    for (int b = 0; b < kBars; ++b) below[b] = static_cast<std::size_t>(counts[b][0] + counts[b][1]);
}

// Keeps the gathered points below the bar as candidates.
void keepBelow(const Gathered& g, double bar, Candidates& c)
{
    c.count = 0;
    for (std::size_t j = 0; j < g.count; ++j) {
        c.d[c.count] = c.dist[j];
        c.at[c.count] = static_cast<int>(j);
        c.count += c.dist[j] < bar ? 1 : 0;
    }
    for (std::size_t j = c.count; j % kLanes != 0; ++j) c.d[j] = kInfinity;
}

// How many candidates lie below the bar.
std::size_t countBelow(const Candidates& c, double bar)
{
    const Doubles b = {bar, bar};
    Longs count = {};
    for (std::size_t i = 0; i < c.count; i += kLanes) {
        Doubles d;
        std::memcpy(&d, c.d + i, sizeof d);
        count -= d < b;
    }
    return static_cast<std::size_t>(count[0] + count[1]);
}

// Drops candidates from the top while at least `wanted` stay: a few halvings
// of the bar's interval, starting at the hint, then those below it kept.
// Ranking costs the square of the candidates.
void narrow(Candidates& c, std::size_t wanted, double bar, double hint)
{
    double low = 0.0, high = bar;
    std::size_t kept = c.count;
    double mid = hint > 0.0 && hint < bar ? hint : 0.5 * bar;
    // More steps while many remain (no hint, or a poor one).
    for (int step = 0; kept > wanted && (step < kNarrowingSteps || (kept > 2 * wanted && step < 4 * kNarrowingSteps)); ++step) {
        const std::size_t below = countBelow(c, mid);
        if (below >= wanted) {
            high = mid;
            kept = below;
        } else {
            low = mid;
        }
        // Distances span many scales: by ratios while the interval is wide.
        if (low == 0.0)
            mid = high * (1.0 / 16);
        else
            mid = high > 4.0 * low ? std::sqrt(low * high) : 0.5 * (low + high);
    }
    if (kept == c.count) return;
    std::size_t n = 0;
    for (std::size_t j = 0; j < c.count; ++j) {
        c.d[n] = c.d[j];
        c.at[n] = c.at[j];
        n += c.d[j] < high ? 1 : 0;
    }
    c.count = n;
    for (std::size_t j = c.count; j % kLanes != 0; ++j) c.d[j] = kInfinity;
}

// The `wanted` nearest candidates in order (positions among the gathered
// points), found by ranking every candidate against all; false when two of
// them, or one of them and another candidate, lie at the same distance.
bool rankNearest(const Candidates& c, int wanted, int* nearest)
{
    const std::size_t padded = (c.count + kLanes - 1) / kLanes * kLanes;
    for (std::size_t j = 0; j < c.count; ++j) {
        const Doubles dj = {c.d[j], c.d[j]};
        Longs less = {}, notMore = {};
        for (std::size_t i = 0; i < padded; i += kLanes) {
            Doubles di;
            std::memcpy(&di, c.d + i, sizeof di);
            less -= di < dj;
            notMore -= di <= dj;
        }
        const long rank = less[0] + less[1];
        if (rank >= wanted) continue;
        // Itself is the one candidate not below it and not above.
        if (notMore[0] + notMore[1] != rank + 1) return false;
        nearest[rank] = c.at[j];
    }
    return true;
}

// The list of the entry's point when the block proves it, as point numbers
// in `list` (wanted of them); false otherwise. `hint` is the last distance of
// the list found before (0 for none), and becomes this one's.
bool decide(const cl::KDTree& tree, const Gathered& g, const Block& block, const Entry& entry, int wanted,
            Candidates& c, double& hint, int* list)
{
    const double q[3] = {entry.c[0], entry.c[1], entry.c[2]};
    // Points outside the block lie at or beyond the bound: the wanted ones
    // must all lie below it. A point nearby usually has its last neighbour
    // at about the same distance: a bar a little beyond that keeps few
    // candidates to rank, when enough lie below it.
    double bars[kBars];
    bars[0] = boundAt(q, block);
    bars[1] = hint > 0.0 ? std::min(bars[0], hint * kHintMargin) : bars[0];
    std::size_t below[kBars];
    measure(g, q, bars, c, below);
    const int bar = below[1] >= static_cast<std::size_t>(wanted) ? 1 : 0;
    if (below[bar] < static_cast<std::size_t>(wanted)) return false;
    if (bar == 0) keepBelow(g, bars[0], c);
    narrow(c, static_cast<std::size_t>(wanted), bars[bar], hint);
    if (c.count > kMaxRanked) return false;
    int nearest[kMaxWanted] = {};
    if (!rankNearest(c, wanted, nearest)) return false;
    hint = c.dist[static_cast<std::size_t>(nearest[wanted - 1])];
    for (int j = 0; j < wanted; ++j) list[j] = g.slot[static_cast<std::size_t>(nearest[j])];
    if (!tree.confirmsSlots(cl::Point3D<double>(q[0], q[1], q[2]), list, wanted)) return false;
    const int* const numbers = tree.indices().data();
    for (int j = 0; j < wanted; ++j) list[j] = numbers[list[j]];
    return true;
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
        Candidates candidates;
        // Cells in key order lie side by side: the hint is carried on.
        double hint = 0.0;
        int list[kMaxWanted];
        std::size_t tries = 0, decidedHere = 0;
        for (std::size_t cell = first; cell < last; ++cell) {
            if (tries >= kTriesPerRound && 2 * decidedHere < tries) break;
            const std::size_t begin = cells.starts[cell], end = cells.starts[cell + 1];
            bool open = false;
            for (std::size_t e = begin; e < end && !open; ++e) open = !decided[numbers[cells.entries[e].index]];
            // The finder moves on with every cell, wanted or not.
            finder.find(cell, block);
            if (!open || block.points > kMaxBlockPoints) continue;
            gathered.gather(cells, block, begin, end);
            for (std::size_t e = begin; e < end; ++e) {
                const std::size_t point = static_cast<std::size_t>(numbers[cells.entries[e].index]);
                if (decided[point]) continue;
                ++tries;
                if (!decide(tree, gathered, block, cells.entries[e], wanted, candidates, hint, list)) continue;
                sink(t, point, list);
                decided[point] = 1;
                ++decidedHere;
            }
        }
        // Written once: the counts of tasks running side by side share a
        // cache line, which a count per list would pass back and forth.
        counts[t] = decidedHere;
    });
    std::size_t total = 0;
    for (const std::size_t c : counts) total += c;
    return total;
}

}  // namespace detail
}  // namespace vela
