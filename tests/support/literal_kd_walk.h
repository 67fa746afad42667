// The kd-tree's k-nearest search written out as first specified, for tests
// that compare a faster search with it.
#pragma once

#include <cfloat>
#include <cstddef>
#include <vector>

#include "supervoxel/cl/kdtree.h"

namespace testsupport {

using Point = cl::Point3D<double>;
using cl::KDTree;

inline double squaredDistance(const Point& a, const Point& b)
{
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return dx * dx + dy * dy + dz * dz;
}

// The search written out as first specified: recursive, nearer child first,
// the far child searched when the list's worst distance reaches the cell
// bound kept incrementally, every point of a reached leaf offered in order.
struct LiteralList {
    int k;
    std::vector<double> dists;
    std::vector<int> indices;
    double worst() const { return static_cast<int>(dists.size()) < k ? DBL_MAX : dists.back(); }
    void add(double d, int index)
    {
        if (!(d < worst())) return;
        std::size_t at = 0;
        while (at < dists.size() && dists[at] <= d) ++at;
        dists.insert(dists.begin() + static_cast<std::ptrdiff_t>(at), d);
        indices.insert(indices.begin() + static_cast<std::ptrdiff_t>(at), index);
        if (static_cast<int>(dists.size()) > k) {
            dists.pop_back();
            indices.pop_back();
        }
    }
};

inline void literalLevel(const KDTree& tree, const KDTree::Node* node, const Point& q, double minDist, double* axisDist,
                  LiteralList& list)
{
    if (KDTree::isLeaf(node)) {
        for (int i = node->begin; i < node->end; ++i) {
            const int index = tree.indices()[static_cast<std::size_t>(i)];
            list.add(squaredDistance(q, tree.point(static_cast<std::size_t>(index))), index);
        }
        return;
    }
    const double v = q[node->axis];
    const double diff1 = v - node->divlow, diff2 = v - node->divhigh;
    const bool leftFirst = diff1 + diff2 < 0;
    const double cutDist = leftFirst ? diff2 * diff2 : diff1 * diff1;
    literalLevel(tree, leftFirst ? KDTree::leftOf(node) : tree.rightOf(node), q, minDist, axisDist, list);
    const double saved = axisDist[node->axis];
    const double otherMin = minDist - saved + cutDist;
    axisDist[node->axis] = cutDist;
    if (list.worst() >= otherMin && list.worst() > 0)
        literalLevel(tree, leftFirst ? tree.rightOf(node) : KDTree::leftOf(node), q, otherMin, axisDist, list);
    axisDist[node->axis] = saved;
}

inline std::vector<int> literalQuery(const KDTree& tree, const Point& q, int k)
{
    LiteralList list{k, {}, {}};
    if (tree.root() != nullptr) {
        double axisDist[3] = {0, 0, 0};
        double minDist = 0;
        for (int a = 0; a < 3; ++a) {
            const KDTree::Bound& b = tree.rootBox()[a];
            if (q[a] < b.low) axisDist[a] = (q[a] - b.low) * (q[a] - b.low);
            if (q[a] > b.high) axisDist[a] = (q[a] - b.high) * (q[a] - b.high);
            minDist += axisDist[a];
        }
        literalLevel(tree, tree.root(), q, minDist, axisDist, list);
    }
    list.indices.resize(static_cast<std::size_t>(k), -1);
    return list.indices;
}

}  // namespace testsupport
