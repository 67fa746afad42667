// All nearest neighbours: a uniform grid settles most points from the cells
// around them; what it leaves is compared with every point when it is a
// handful, else searched in a balanced k-d tree (median splits on the widest
// axis), built level by level so that every level's nodes partition in
// parallel, and searched one point per task in leaf order.
//
// The search is exact in float, not only in exact arithmetic: a subtree is
// skipped only when a lower bound of its points' distances, computed with the
// very operations of the distance, is not below the best distance found.
// Rounding is monotone, so |fl(q - v)| <= |fl(q - p)| for a split value v
// between q and p, its square likewise, and the sum ((0 + a) + b) + c grows
// with each of its terms: the bound never exceeds a skipped point's distance.
// Median splits by position cannot degenerate, duplicates and uneven clouds
// included.
#include "supervoxel/nearest_other.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/nearest_other_grid.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace {

constexpr std::size_t kLeafSize = 12;
// Up to this many points left by the grid are compared with every point
// instead: a few scans of the cloud cost less than building the tree.
constexpr std::size_t kFewLeft = 256;

struct Entry {
    float c[3];
    std::uint32_t index;  // position in the caller's cloud
};

// Node n (heap numbering, root 1) splits its range at its middle; the points
// before the middle lie at or below `split[n]` along `axis[n]`, those from
// the middle on at or above.
struct Tree {
    std::vector<Entry> entries;  // in leaf order once built
    std::vector<std::uint8_t> axis;
    std::vector<float> split;
    int depth = 0;  // levels of inner nodes
};

// Bounds of a node's points along each axis; the children's are narrowed at
// the split only, which is enough to choose their widest axis.
struct Box {
    float low[3];
    float high[3];
};

Box boxOf(const std::vector<Entry>& entries)
{
    Box box;
    for (int a = 0; a < 3; ++a) box.low[a] = box.high[a] = entries[0].c[a];
    for (const Entry& e : entries)
        for (int a = 0; a < 3; ++a) {
            box.low[a] = std::min(box.low[a], e.c[a]);
            box.high[a] = std::max(box.high[a], e.c[a]);
        }
    return box;
}

int widestAxis(const Box& box)
{
    int widest = 0;
    for (int a = 1; a < 3; ++a)
        if (box.high[a] - box.low[a] > box.high[widest] - box.low[widest]) widest = a;
    return widest;
}

void splitNode(Tree& tree, std::size_t node, std::size_t begin, std::size_t end, const Box& box, Box children[2])
{
    Entry* const first = tree.entries.data() + begin;
    Entry* const middle = first + (end - begin) / 2;
    const int a = widestAxis(box);
    std::nth_element(first, middle, tree.entries.data() + end,
                     [a](const Entry& l, const Entry& r) { return l.c[a] < r.c[a]; });
    tree.axis[node] = static_cast<std::uint8_t>(a);
    tree.split[node] = middle->c[a];
    children[0] = children[1] = box;
    children[0].high[a] = children[1].low[a] = middle->c[a];
}

Tree buildTree(const std::vector<cl::Point3D<float>>& points)
{
    Tree tree;
    const std::size_t n = points.size();
    resizeOnPopulatedPages(tree.entries, n);
    parallelFor(n, 1 << 16, [&](std::size_t i) {
        tree.entries[i] = Entry{{points[i].x, points[i].y, points[i].z}, static_cast<std::uint32_t>(i)};
    });
    while ((n >> tree.depth) > kLeafSize) ++tree.depth;  // leaves hold at most kLeafSize + 1
    tree.axis.resize(std::size_t{1} << tree.depth);
    tree.split.resize(std::size_t{1} << tree.depth);

    // The current level's nodes: node k spans [bounds[k], bounds[k + 1]) within boxes[k].
    std::vector<std::size_t> bounds{0, n};
    std::vector<Box> boxes{boxOf(tree.entries)};
    for (int level = 0; level < tree.depth; ++level) {
        const std::size_t nodes = std::size_t{1} << level;
        std::vector<Box> childBoxes(2 * nodes);
        const std::size_t pointsPerNode = n / nodes + 1;
        parallelRanges(nodes, std::max<std::size_t>(1, (1 << 15) / pointsPerNode),
                       [&](std::size_t begin, std::size_t end) {
                           for (std::size_t k = begin; k < end; ++k)
                               splitNode(tree, nodes + k, bounds[k], bounds[k + 1], boxes[k], &childBoxes[2 * k]);
                       });
        std::vector<std::size_t> next(2 * nodes + 1);
        for (std::size_t k = 0; k < nodes; ++k) {
            next[2 * k] = bounds[k];
            next[2 * k + 1] = bounds[k] + (bounds[k + 1] - bounds[k]) / 2;
        }
        next[2 * nodes] = n;
        bounds.swap(next);
        boxes.swap(childBoxes);
    }
    return tree;
}

struct Search {
    const Tree& tree;
    const float* query;
    std::size_t self;            // the query's own entry, not its own neighbour
    float offset[3] = {0, 0, 0};  // per axis, a lower bound of every term of the current subtree's distances
    float best = std::numeric_limits<float>::infinity();

    void visit(std::size_t node, std::size_t begin, std::size_t end, int level)
    {
        if (level == tree.depth) {
            // Locals: the compiler cannot tell the best distance from the points.
            const float q[3] = {query[0], query[1], query[2]};
            const Entry* const entries = tree.entries.data();
            float nearest = best;
            for (std::size_t j = begin; j < end; ++j) {
                const float d = detail::flannSquaredDistance(q, entries[j].c);
                if (d < nearest && j != self) nearest = d;
            }
            best = nearest;
            return;
        }
        const int a = tree.axis[node];
        const std::size_t middle = begin + (end - begin) / 2;
        const float diff = query[a] - tree.split[node];
        const bool belowFirst = diff < 0.0f;
        if (belowFirst)
            visit(2 * node, begin, middle, level + 1);
        else
            visit(2 * node + 1, middle, end, level + 1);

        const float saved = offset[a];
        offset[a] = diff * diff;
        // The same sum as the distance's, term by term no larger.
        const float bound = ((0.0f + offset[0]) + offset[1]) + offset[2];
        if (bound < best) {
            if (belowFirst)
                visit(2 * node + 1, middle, end, level + 1);
            else
                visit(2 * node, begin, middle, level + 1);
        }
        offset[a] = saved;
    }
};

// The points still without a distance (NaN) against all others, for a few
// cheaper than building the tree: the cloud is read once, in parts on the
// pool, each point against four of them at a time. The minimum does not
// depend on the order the parts are combined in.
void searchAll(const std::vector<cl::Point3D<float>>& points, std::vector<float>& nearest)
{
    std::vector<std::uint32_t> queries;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (std::isnan(nearest[i])) queries.push_back(static_cast<std::uint32_t>(i));
    // Padded with copies of the last: their lanes are ignored.
    const std::size_t lanes = (queries.size() + detail::kLanes - 1) / detail::kLanes * detail::kLanes;
    std::vector<float> qx(lanes), qy(lanes), qz(lanes);
    for (std::size_t k = 0; k < lanes; ++k) {
        const cl::Point3D<float>& q = points[queries[std::min(k, queries.size() - 1)]];
        qx[k] = q.x, qy[k] = q.y, qz[k] = q.z;
    }
    constexpr std::size_t kPart = std::size_t{1} << 15;
    const std::size_t parts = (points.size() + kPart - 1) / kPart;
    std::vector<detail::Floats> best(parts * lanes / detail::kLanes);
    parallelFor(parts, 1, [&](std::size_t part) {
        detail::Floats* const partBest = &best[part * lanes / detail::kLanes];
        const float inf = std::numeric_limits<float>::infinity();
        std::fill(partBest, partBest + lanes / detail::kLanes, detail::Floats{inf, inf, inf, inf});
        // A query is not its own neighbour: its point goes the scalar way.
        std::size_t nextQuery = std::lower_bound(queries.begin(), queries.end(), part * kPart) - queries.begin();
        const std::size_t end = std::min(points.size(), (part + 1) * kPart);
        for (std::size_t j = part * kPart; j < end; ++j) {
            const cl::Point3D<float>& p = points[j];
            if (nextQuery < queries.size() && queries[nextQuery] == j) {
                const float pj[3] = {p.x, p.y, p.z};
                for (std::size_t k = 0; k < queries.size(); ++k) {
                    const float q[3] = {qx[k], qy[k], qz[k]};
                    float& lane = partBest[k / detail::kLanes][k % detail::kLanes];
                    if (k != nextQuery) lane = std::min(lane, detail::flannSquaredDistance(q, pj));
                }
                ++nextQuery;
                continue;
            }
            const detail::Floats px = {p.x, p.x, p.x, p.x}, py = {p.y, p.y, p.y, p.y}, pz = {p.z, p.z, p.z, p.z};
            for (std::size_t v = 0; v < lanes / detail::kLanes; ++v) {
                detail::Floats x, y, z;
                std::memcpy(&x, &qx[v * detail::kLanes], sizeof x);
                std::memcpy(&y, &qy[v * detail::kLanes], sizeof y);
                std::memcpy(&z, &qz[v * detail::kLanes], sizeof z);
                const detail::Floats d = detail::flannSquaredDistances(x, y, z, px, py, pz);
                partBest[v] = d < partBest[v] ? d : partBest[v];
            }
        }
    });
    for (std::size_t k = 0; k < queries.size(); ++k) {
        float value = std::numeric_limits<float>::infinity();
        for (std::size_t part = 0; part < parts; ++part)
            value = std::min(value, best[part * lanes / detail::kLanes + k / detail::kLanes][k % detail::kLanes]);
        nearest[queries[k]] = value;
    }
}

}  // namespace

std::vector<float> nearestOtherSquaredDistances(const std::vector<cl::Point3D<float>>& points, std::size_t* exactSearches)
{
    if (points.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("nearest neighbours: more points than 32-bit indices address");
    std::vector<float> nearest;
    resizeOnPopulatedPages(nearest, points.size());
    if (exactSearches != nullptr) *exactSearches = 0;
    if (points.size() < 2) {
        std::fill(nearest.begin(), nearest.end(), -1.0f);
        return nearest;
    }

    const std::size_t unsettled = detail::nearestOtherInGrid(points, nearest);
    if (exactSearches != nullptr) *exactSearches = unsettled;
    if (unsettled == 0) return nearest;
    if (unsettled <= kFewLeft) {
        searchAll(points, nearest);
        return nearest;
    }
    const Tree tree = buildTree(points);
    // In leaf order: neighbouring queries walk the same nodes.
    parallelFor(tree.entries.size(), 4096, [&](std::size_t e) {
        float& slot = nearest[tree.entries[e].index];
        if (!std::isnan(slot)) return;
        Search search{tree, tree.entries[e].c, e};
        search.visit(1, 0, tree.entries.size(), 0);
        slot = search.best;
    });
    return nearest;
}

}  // namespace vela
