// The first stage of the k-nearest-neighbour search of every point: a uniform
// grid decides the lists it can prove to be the kd-tree's, the tree searches
// the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/point_cells.h"

namespace vela {
namespace detail {

// The tree's points in cells, by slot; no cells when the grid cannot serve
// the tree: fewer than k + 1 points, or coordinates that are not all finite
// floats. The cells' size adapts to the cloud unless `cellSize` is positive
// (tests place points on known edges with it).
Cells cellsOfTree(const cl::KDTree& tree, int k, double cellSize = 0.0);

// The number of tasks listsFromGrid runs, numbered from 0; fixed by the
// cells alone.
std::size_t gridTasks(const Cells& cells);

// Receives, from the task numbered `task`, the point numbered `point` and the
// k point numbers of its list.
using ListSink = std::function<void(std::size_t task, std::size_t point, const int* list)>;

// For every point not `decided` whose k + 1 nearest points (itself included)
// lie at distinct distances, all below that of any other point, and are
// sure to be reached by the tree's classic walk: hands its list (its first
// k, the tree's query(q, k) bit for bit) to the sink and sets decided[point].
// A task of cells where most tries fail stops trying and leaves its other
// points to the tree. Returns how many it decided. Points of different
// cells may go to the sink at the same time.
std::size_t listsFromGrid(const cl::KDTree& tree, const Cells& cells, int k, std::uint8_t* decided,
                          const ListSink& sink);

}  // namespace detail
}  // namespace vela
