#include "supervoxel/cl/kdtree.h"

#include <cfloat>
#include <utility>

namespace cl {

namespace {
constexpr int kLeafSize = 10;
}

struct KDTree::ResultList {
    int k;
    int count = 0;
    int* indices;
    double* dists;

    double worst() const { return dists[k - 1]; }

    // A candidate goes after every entry at a distance <= its own, so the
    // earlier-found of two equidistant points keeps the earlier slot; one at
    // exactly the worst distance is not taken.
    void add(double d, int index)
    {
        if (!(d < worst())) return;
        int i = count < k ? count : k - 1;
        for (; i > 0 && dists[i - 1] > d; --i) {
            dists[i] = dists[i - 1];
            indices[i] = indices[i - 1];
        }
        dists[i] = d;
        indices[i] = index;
        if (count < k) ++count;
    }
};

void KDTree::build(Array<Point3D<double>>& points)
{
    points_.swap(points);
    pool_.clear();
    root_ = nullptr;
    const int n = static_cast<int>(points_.size());
    indices_.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) indices_[static_cast<std::size_t>(i)] = i;
    if (n == 0) return;
    for (int axis = 0; axis < 3; ++axis) {
        box_[axis].low = points_[0][axis];
        box_[axis].high = points_[0][axis];
        for (int i = 1; i < n; ++i) {
            const double v = points_[static_cast<std::size_t>(i)][axis];
            if (v < box_[axis].low) box_[axis].low = v;
            if (v > box_[axis].high) box_[axis].high = v;
        }
    }
    Bound box[3] = {box_[0], box_[1], box_[2]};
    root_ = buildRange(0, n, box);
}

void KDTree::computeMinMax(int begin, int end, int axis, double& lo, double& hi) const
{
    lo = points_[static_cast<std::size_t>(indices_[static_cast<std::size_t>(begin)])][axis];
    hi = lo;
    for (int i = begin + 1; i < end; ++i) {
        const double v = points_[static_cast<std::size_t>(indices_[static_cast<std::size_t>(i)])][axis];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
}

// In place, in two sweeps: below the cut | equal to it | above. The order the
// swaps leave inside each part decides which of two equidistant points a query
// meets first, so this exact scheme is part of the results.
void KDTree::partition(int begin, int end, int axis, double cut, int& lim1, int& lim2)
{
    int* ind = indices_.data();
    auto coord = [&](int i) { return points_[static_cast<std::size_t>(ind[i])][axis]; };
    int left = begin;
    int right = end - 1;
    for (;;) {
        while (left <= right && coord(left) < cut) ++left;
        while (left <= right && coord(right) >= cut) --right;
        if (left > right) break;
        std::swap(ind[left], ind[right]);
        ++left;
        --right;
    }
    lim1 = left;
    right = end - 1;
    for (;;) {
        while (left <= right && coord(left) <= cut) ++left;
        while (left <= right && coord(right) > cut) --right;
        if (left > right) break;
        std::swap(ind[left], ind[right]);
        ++left;
        --right;
    }
    lim2 = left;
}

KDTree::Node* KDTree::buildRange(int begin, int end, Bound* box)
{
    Node* node = pool_.take();
    if (end - begin <= kLeafSize) {
        node->begin = begin;
        node->end = end;
        return node;
    }

    int axis = 0;
    double widest = box[0].high - box[0].low;
    for (int a = 1; a < 3; ++a) {
        const double extent = box[a].high - box[a].low;
        if (extent > widest) {
            widest = extent;
            axis = a;
        }
    }
    double lo, hi;
    computeMinMax(begin, end, axis, lo, hi);
    double spread = hi - lo;
    double cut = (lo + hi) / 2;
    for (int a = 0; a < 3; ++a) {
        if (a == axis) continue;
        // The box only bounds the spread; the points are scanned only when
        // the box leaves room for a wider one.
        if (box[a].high - box[a].low > spread) {
            double alo, ahi;
            computeMinMax(begin, end, a, alo, ahi);
            if (ahi - alo > spread) {
                spread = ahi - alo;
                axis = a;
                cut = (alo + ahi) / 2;
            }
        }
    }

    int lim1, lim2;
    partition(begin, end, axis, cut, lim1, lim2);
    const int mid = begin + (end - begin) / 2;
    const int split = lim1 > mid ? lim1 : (lim2 < mid ? lim2 : mid);

    node->axis = axis;
    const Bound saved = box[axis];
    box[axis].high = cut;
    node->left = buildRange(begin, split, box);
    node->divlow = box[axis].high;
    box[axis] = saved;
    box[axis].low = cut;
    node->right = buildRange(split, end, box);
    node->divhigh = box[axis].low;
    box[axis] = saved;
    return node;
}

void KDTree::query(const Point3D<double>& q, int k, int* result) const
{
    if (k <= 0) return;
    // Queries run once per point: small lists stay off the heap.
    double local[32];
    Array<double> heap;
    double* dists = local;
    if (k > 32) {
        heap.resize(static_cast<std::size_t>(k));
        dists = heap.data();
    }
    for (int i = 0; i < k; ++i) {
        dists[i] = DBL_MAX;
        result[i] = -1;
    }
    if (root_ == nullptr) return;
    ResultList list{k, 0, result, dists};

    double axisDist[3];
    double minDist = 0.0;
    for (int a = 0; a < 3; ++a) {
        axisDist[a] = 0.0;
        const double v = q[a];
        if (v < box_[a].low) {
            axisDist[a] = (v - box_[a].low) * (v - box_[a].low);
            minDist += axisDist[a];
        }
        if (v > box_[a].high) {
            axisDist[a] = (v - box_[a].high) * (v - box_[a].high);
            minDist += axisDist[a];
        }
    }
    searchLevel(root_, q, minDist, axisDist, list);
}

void KDTree::searchLevel(const Node* node, const Point3D<double>& q, double minDist, double* axisDist,
                         ResultList& list) const
{
    if (node->left == nullptr) {
        for (int i = node->begin; i < node->end; ++i) {
            const int index = indices_[static_cast<std::size_t>(i)];
            const Point3D<double>& p = points_[static_cast<std::size_t>(index)];
            const double dx = q.x - p.x;
            const double dy = q.y - p.y;
            const double dz = q.z - p.z;
            const double d = dx * dx + dy * dy + dz * dz;
            if (d < list.worst()) list.add(d, index);
        }
        return;
    }

    const int axis = node->axis;
    const double v = q[axis];
    const double diff1 = v - node->divlow;
    const double diff2 = v - node->divhigh;
    const Node* first;
    const Node* other;
    double cutDist;
    if (diff1 + diff2 < 0) {
        first = node->left;
        other = node->right;
        cutDist = diff2 * diff2;
    } else {
        first = node->right;
        other = node->left;
        cutDist = diff1 * diff1;
    }
    searchLevel(first, q, minDist, axisDist, list);

    const double saved = axisDist[axis];
    const double otherMin = minDist - saved + cutDist;
    axisDist[axis] = cutDist;
    // A full list of zero distances can take nothing more; stopping there
    // keeps queries among many duplicate points from scanning all of them.
    if (list.worst() >= otherMin && list.worst() > 0) searchLevel(other, q, otherMin, axisDist, list);
    axisDist[axis] = saved;
}

}  // namespace cl
