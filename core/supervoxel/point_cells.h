// Points sorted into a uniform grid of cubic cells, and the 3x3x3 blocks of
// cells around each occupied one: what the grid searches of nearest points
// share.
//
// Along each axis cell m starts at edge(m), a float that never decreases with
// m, and a coordinate lies in the last cell whose edge it reaches; so a point
// two or more cells below the query's cell i lies below edge(i - 1), one two
// or more above at or beyond edge(i + 2). Rounding is monotone: |fl(q - p)|
// is then at least fl(q - edge(i - 1)) (or fl(edge(i + 2) - q)), its square
// likewise, and a squared distance, a sum of non-negative terms, at least any
// one of them. A bound made this way from the distance's own operations holds
// bit for bit, in float as in double, not only in exact arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/geometry.h"

namespace vela {
namespace detail {

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
    std::uint32_t index;  // position in the caller's points
};

// The points in cell order and the occupied cells' keys, increasing.
struct Cells {
    Axis axis[3];
    std::vector<Entry> entries;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> starts;  // each cell's first entry, and the end
};

// Sorts the points (finite, their coordinates floats, fewer than 2^32) into
// cells of `cellSize`, or when it is not positive of a size adapted so that
// the occupied cells hold about `pointsPerCell` points.
template <typename Coordinate>
Cells sortIntoCells(const cl::Point3D<Coordinate>* points, std::size_t n, double cellSize, double pointsPerCell);

// A cell's position along each axis.
void cellCoordinates(const Cells& cells, std::uint64_t key, std::int64_t i[3]);

// Along each axis, where points more than `radius` cells from cell i start:
// below low, or at or above high (infinite where there are none).
void boundsAround(const Cells& cells, const std::int64_t i[3], std::int64_t radius, float low[3], float high[3]);

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

// Finds the blocks of successive cells in key order: each column's cursor
// only moves forward.
struct BlockFinder {
    const Cells& cells;
    std::int64_t offset[9];  // key offset of the column's lowest cell beside
    std::size_t cursor[9];

    BlockFinder(const Cells& cells_, std::size_t firstCell);
    void find(std::size_t cell, Block& block);
};

}  // namespace detail
}  // namespace vela
