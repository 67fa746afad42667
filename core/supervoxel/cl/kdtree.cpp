#include "supervoxel/cl/kdtree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/cl/nearest_list.h"

namespace cl {

namespace {
constexpr int kLeafSize = 10;
// Bounded searches vouch for their result through a relative margin that
// covers the rounding of the classic search's cell bounds up to this depth.
constexpr int kMaxBoundedDepth = 1 << 20;
constexpr double kBoxMargin = 1.0 + 1.0 / (1 << 30);
}

namespace {

// The largest float not above v, and the smallest not below it.
inline float floatBelow(double v)
{
    const float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -HUGE_VALF) : f;
}

inline float floatAbove(double v)
{
    const float f = static_cast<float>(v);
    return static_cast<double>(f) < v ? std::nextafter(f, HUGE_VALF) : f;
}

template <typename T>
void release(T& v)
{
    T().swap(v);
}

}  // namespace

// The stored points back in the order given, and everything else released.
void KDTree::handBack(Array<Point3D<double>>& points)
{
    release(cells_);
    release(cellOf_);
    release(nodes_);
    release(slotOf_);
    if (!indices_.empty()) {
        // Out of place: the scattered writes do not wait on each other, as
        // the steps of a permutation in place would.
        Array<Point3D<double>> given;
        resizeOnLargePages(given, points_.size());
        for (std::size_t s = 0; s < points_.size(); ++s) given[static_cast<std::size_t>(indices_[s])] = points_[s];
        points_.swap(given);
    }
    release(indices_);
    points.swap(points_);
    release(points_);
}

void KDTree::handBackAsFloats(Array<Point3D<float>>& points)
{
    release(cells_);
    release(cellOf_);
    release(nodes_);
    release(slotOf_);
    Array<Point3D<float>> given;
    resizeOnLargePages(given, points_.size());
    for (std::size_t s = 0; s < points_.size(); ++s) {
        const Point3D<double>& p = points_[s];
        given[static_cast<std::size_t>(indices_[s])] =
            Point3D<float>(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    }
    release(indices_);
    release(points_);
    points.swap(given);
}

void KDTree::build(Array<Point3D<double>>& points)
{
    Array<Point3D<double>> given;
    given.swap(points);
    handBack(points);
    points_.swap(given);
    const int n = static_cast<int>(points_.size());
    if (n == 0) return;
    resizeOnLargePages(indices_, static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) indices_[static_cast<std::size_t>(i)] = i;
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
    depth_ = 0;
    resizeOnLargePages(cellOf_, static_cast<std::size_t>(n));
    // Leaves hold five points on average on scanned surfaces: room for that
    // is taken at once, so the arrays rarely grow by copying.
    reserveOnLargePages(nodes_, static_cast<std::size_t>(n) / 2 + 16);
    reserveOnLargePages(cells_, static_cast<std::size_t>(n) / 4 + 16);
    buildRange(0, n, box, 0);

    resizeOnLargePages(slotOf_, static_cast<std::size_t>(n));
    for (int s = 0; s < n; ++s) slotOf_[static_cast<std::size_t>(indices_[static_cast<std::size_t>(s)])] = s;
}

void KDTree::computeMinMax(int begin, int end, int axis, double& lo, double& hi) const
{
    lo = points_[static_cast<std::size_t>(begin)][axis];
    hi = lo;
    for (int i = begin + 1; i < end; ++i) {
        const double v = points_[static_cast<std::size_t>(i)][axis];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
}

// In place, in two sweeps: below the cut | equal to it | above. The order the
// swaps leave inside each part decides which of two equidistant points a query
// meets first, so this exact scheme is part of the results.
void KDTree::partition(int begin, int end, int axis, double cut, int& lim1, int& lim2)
{
    // The points move with their numbers, so that they end in slot order.
    int* ind = indices_.data();
    Point3D<double>* pts = points_.data();
    auto coord = [&](int i) { return pts[i][axis]; };
    auto swapSlots = [&](int a, int b) {
        std::swap(ind[a], ind[b]);
        std::swap(pts[a], pts[b]);
    };
    int left = begin;
    int right = end - 1;
    for (;;) {
        while (left <= right && coord(left) < cut) ++left;
        while (left <= right && coord(right) >= cut) --right;
        if (left > right) break;
        swapSlots(left, right);
        ++left;
        --right;
    }
    lim1 = left;
    right = end - 1;
    for (;;) {
        while (left <= right && coord(left) <= cut) ++left;
        while (left <= right && coord(right) > cut) --right;
        if (left > right) break;
        swapSlots(left, right);
        ++left;
        --right;
    }
    lim2 = left;
}

void KDTree::fillLeaf(Node& node, int begin, int end, const Bound* box)
{
    node.axis = -1;
    node.begin = begin;
    node.end = end;
    node.link = static_cast<int>(cells_.size());
    cells_.push_back(Cell{{box[0], box[1], box[2]}});
    double low[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
    double high[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    for (std::size_t i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
        const Point3D<double>& p = points_[i];
        cellOf_[i] = node.link;
        low[0] = std::min(low[0], p.x);
        high[0] = std::max(high[0], p.x);
        low[1] = std::min(low[1], p.y);
        high[1] = std::max(high[1], p.y);
        low[2] = std::min(low[2], p.z);
        high[2] = std::max(high[2], p.z);
    }
    for (int a = 0; a < 3; ++a) {
        node.low[a] = floatBelow(low[a]);
        node.high[a] = floatAbove(high[a]);
    }
}

void KDTree::chooseSplit(int begin, int end, const Bound* box, int& axis, double& cut) const
{
    axis = 0;
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
    cut = (lo + hi) / 2;
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
}

int KDTree::buildRange(int begin, int end, Bound* box, int depth)
{
    const int at = static_cast<int>(nodes_.size());
    nodes_.emplace_back();
    if (depth > depth_) depth_ = depth;
    if (end - begin <= kLeafSize) {
        fillLeaf(nodes_.back(), begin, end, box);
        return at;
    }

    int axis;
    double cut;
    chooseSplit(begin, end, box, axis, cut);
    int lim1, lim2;
    partition(begin, end, axis, cut, lim1, lim2);
    const int mid = begin + (end - begin) / 2;
    const int split = lim1 > mid ? lim1 : (lim2 < mid ? lim2 : mid);

    // Children are appended behind: the node is addressed by position, as
    // the array may move while they are built.
    const Bound saved = box[axis];
    box[axis].high = cut;
    const int left = buildRange(begin, split, box, depth + 1);
    const double divlow = box[axis].high;
    box[axis] = saved;
    box[axis].low = cut;
    const int right = buildRange(split, end, box, depth + 1);
    const double divhigh = box[axis].low;
    box[axis] = saved;
    Node& node = nodes_[static_cast<std::size_t>(at)];
    const Node& l = nodes_[static_cast<std::size_t>(left)];
    const Node& r = nodes_[static_cast<std::size_t>(right)];
    node.axis = axis;
    node.link = right;
    node.divlow = divlow;
    node.divhigh = divhigh;
    for (int a = 0; a < 3; ++a) {
        node.low[a] = std::min(l.low[a], r.low[a]);
        node.high[a] = std::max(l.high[a], r.high[a]);
    }
    return at;
}

namespace {

// Squared distance from q to the nearest point of the node's box, written as
// the point distance is (same differences, same order of the sums): rounding
// is monotonic, so it never exceeds the distance of a point inside.
inline double boxDistance(const KDTree::Node* node, const Point3D<double>& q)
{
    const double gx = q.x - std::min(std::max(q.x, static_cast<double>(node->low[0])), static_cast<double>(node->high[0]));
    const double gy = q.y - std::min(std::max(q.y, static_cast<double>(node->low[1])), static_cast<double>(node->high[1]));
    const double gz = q.z - std::min(std::max(q.z, static_cast<double>(node->low[2])), static_cast<double>(node->high[2]));
    return gx * gx + gy * gy + gz * gz;
}

// The same for a leaf's cell: at most the classic search's incremental lower
// bound for the leaf, before the rounding of that bound's updates.
inline double cellDistance(const KDTree::Bound* axes, const Point3D<double>& q)
{
    const double gx = q.x - std::min(std::max(q.x, axes[0].low), axes[0].high);
    const double gy = q.y - std::min(std::max(q.y, axes[1].low), axes[1].high);
    const double gz = q.z - std::min(std::max(q.z, axes[2].low), axes[2].high);
    return gx * gx + gy * gy + gz * gz;
}

}  // namespace

// The searches collect slots; callers get point numbers.
void KDTree::toPointNumbers(int* list, int k) const
{
    for (int j = 0; j < k; ++j)
        if (list[j] >= 0) list[j] = indices_[static_cast<std::size_t>(list[j])];
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
    searchClassic(q, k, result, dists);
    toPointNumbers(result, k);
}

void KDTree::queryAll(int k, int* lists, std::uint8_t* separated, const std::uint8_t* known) const
{
    querySlots(0, indices_.size(), k, lists, separated, known);
}

void KDTree::querySlots(std::size_t begin, std::size_t end, int k, int* lists, std::uint8_t* separated,
                        const std::uint8_t* known) const
{
    searchSlots(begin, end, k, lists, false, separated, known);
}

void KDTree::queryBlock(std::size_t begin, std::size_t end, int k, int* lists, std::uint8_t* separated,
                        const std::uint8_t* known) const
{
    searchSlots(begin, end, k, lists, true, separated, known);
}

void KDTree::searchSlots(std::size_t begin, std::size_t end, int k, int* lists, bool bySlot, std::uint8_t* separated,
                         const std::uint8_t* known) const
{
    const std::size_t n = indices_.size();
    end = std::min(end, n);
    if (k <= 0 || begin >= end) return;
    const std::size_t uk = static_cast<std::size_t>(k);
    // Separation needs the next point beyond the list.
    const std::size_t wanted = separated != nullptr ? uk + 1 : uk;
    Array<double> dists(wanted);
    Array<int> found(wanted);
    // Neighbouring slots of the index array hold nearby points, so the list
    // found for the previous one bounds the wanted distance of the next.
    Array<int> previous(wanted);
    bool havePrevious = false;
    const bool bounded = n >= wanted && depth_ <= kMaxBoundedDepth;
    for (std::size_t s = begin; s < end; ++s) {
        const std::size_t index = static_cast<std::size_t>(indices_[s]);
        if (known != nullptr && known[index]) continue;
        const Point3D<double>& q = points_[s];
        int* list = lists + (bySlot ? s - begin : index) * uk;
        if (bounded) {
            double bound = DBL_MAX;
            if (havePrevious) {
                bound = 0.0;
                for (std::size_t j = 0; j < wanted; ++j) {
                    // Points at an infinite distance fill no slot: such a
                    // list bounds nothing.
                    if (previous[j] < 0) {
                        bound = DBL_MAX;
                        break;
                    }
                    const Point3D<double>& p = points_[static_cast<std::size_t>(previous[j])];
                    const double dx = q.x - p.x;
                    const double dy = q.y - p.y;
                    const double dz = q.z - p.z;
                    const double d = dx * dx + dy * dy + dz * dz;
                    if (d > bound) bound = d;
                }
            }
            if (searchBounded(q, static_cast<int>(wanted), found.data(), dists.data(), bound)) {
                std::copy(found.begin(), found.begin() + uk, list);
                toPointNumbers(list, k);
                if (separated != nullptr) {
                    bool distinct = true;
                    for (std::size_t j = 1; j < wanted; ++j) distinct = distinct && dists[j - 1] < dists[j];
                    separated[index] = distinct ? 1 : 0;
                }
                previous.swap(found);
                havePrevious = true;
                continue;
            }
        }
        searchClassic(q, k, list, dists.data());
        toPointNumbers(list, k);
        if (separated != nullptr) separated[index] = 0;
    }
}

// Whether the classic walk is sure to reach the point in the slot from q,
// given that it is among the k nearest: see searchBounded.
bool KDTree::reached(const Point3D<double>& q, std::size_t slot) const
{
    const Point3D<double>& p = points_[slot];
    const double dx = q.x - p.x;
    const double dy = q.y - p.y;
    const double dz = q.z - p.z;
    const double d = dx * dx + dy * dy + dz * dz;
    return d >= cellDistance(cells_[static_cast<std::size_t>(cellOf_[slot])].axes, q) * kBoxMargin;
}

bool KDTree::confirms(const Point3D<double>& q, const int* list, int k) const
{
    if (depth_ > kMaxBoundedDepth) return false;
    for (int j = 0; j < k; ++j)
        if (list[j] < 0 || !reached(q, static_cast<std::size_t>(slotOf_[static_cast<std::size_t>(list[j])]))) return false;
    return true;
}

bool KDTree::confirmsSlots(const Point3D<double>& q, const int* slots, int k) const
{
    if (depth_ > kMaxBoundedDepth) return false;
    for (int j = 0; j < k; ++j)
        if (slots[j] < 0 || !reached(q, static_cast<std::size_t>(slots[j]))) return false;
    return true;
}

namespace {

// The search's first lower bound: per axis, the squared distance from q to
// the root box when q lies outside it (else 0), and their sum.
inline double rootBound(const KDTree::Bound* box, const Point3D<double>& q, double axisDist[3])
{
    double minDist = 0.0;
    for (int a = 0; a < 3; ++a) {
        axisDist[a] = 0.0;
        const double v = q[a];
        if (v < box[a].low) {
            axisDist[a] = (v - box[a].low) * (v - box[a].low);
            minDist += axisDist[a];
        }
        if (v > box[a].high) {
            axisDist[a] = (v - box[a].high) * (v - box[a].high);
            minDist += axisDist[a];
        }
    }
    return minDist;
}

}  // namespace

// Depth first, nearer child first; the far child is searched when the list's
// worst distance reaches the incrementally kept lower bound of its cell.
// Among equal distances the point met first wins, so the order of the walk
// is part of the result.
void KDTree::searchClassic(const Point3D<double>& q, int k, int* result, double* dists) const
{
    for (int i = 0; i < k; ++i) {
        dists[i] = DBL_MAX;
        result[i] = -1;
    }
    if (nodes_.empty()) return;
    NearestList list{k, result, dists, DBL_MAX};

    // The far child of every node on the way down waits here with the lower
    // bound of its cell.
    struct Pending {
        const Node* node;
        double minDist;
        double axisDist[3];
    };
    Pending localStack[64];
    Array<Pending> heapStack;
    Pending* stack = localStack;
    if (depth_ >= 64) {
        heapStack.resize(static_cast<std::size_t>(depth_) + 1);
        stack = heapStack.data();
    }
    int top = 0;

    double axisDist[3];
    double minDist = rootBound(box_, q, axisDist);

    const Node* node = nodes_.data();
    for (;;) {
        // A subtree whose box is no nearer than the worst distance cannot
        // change the list: skipping it leaves the result as searching would.
        bool open = boxDistance(node, q) < list.worst;
        while (open && !isLeaf(node)) {
            const int axis = node->axis;
            const double v = q[axis];
            const double diff1 = v - node->divlow;
            const double diff2 = v - node->divhigh;
            Pending& other = stack[top++];
            double cutDist;
            if (diff1 + diff2 < 0) {
                other.node = rightOf(node);
                node = leftOf(node);
                cutDist = diff2 * diff2;
            } else {
                other.node = leftOf(node);
                node = rightOf(node);
                cutDist = diff1 * diff1;
            }
            other.minDist = minDist - axisDist[axis] + cutDist;
            other.axisDist[0] = axisDist[0];
            other.axisDist[1] = axisDist[1];
            other.axisDist[2] = axisDist[2];
            other.axisDist[axis] = cutDist;
            open = boxDistance(node, q) < list.worst;
        }
        if (open) scanLeaf(node, q, list, -1.0);
        for (;;) {
            if (top == 0) return;
            const Pending& next = stack[--top];
            // A full list of zero distances can take nothing more; stopping
            // there keeps queries among many duplicates from scanning them all.
            if (list.worst >= next.minDist && list.worst > 0) {
                node = next.node;
                minDist = next.minDist;
                axisDist[0] = next.axisDist[0];
                axisDist[1] = next.axisDist[1];
                axisDist[2] = next.axisDist[2];
                break;
            }
        }
    }
}

// The same walk, with the list's bar set from the start just above a bound
// the k-th distance is known not to exceed, and subtrees pruned by their
// boxes alone. It yields the k points first by (distance, order of the walk):
// the classic search's list, provided the classic search reaches all of them.
// It does unless one of its cell bounds, rounded, exceeds the distance of one
// of those points. A cell bound is at most the distance to the point's leaf
// box plus a rounding error of a few units in the last place per level, so a
// point farther than its leaf box by a relative 2^-30 is safe; for any other
// the search returns false and the caller falls back to the classic walk.
bool KDTree::searchBounded(const Point3D<double>& q, int k, int* result, double* dists, double bound) const
{
    for (int i = 0; i < k; ++i) {
        dists[i] = DBL_MAX;
        result[i] = -1;
    }
    if (nodes_.empty()) return true;
    // A candidate at exactly the bound may still belong to the list.
    NearestList list{k, result, dists, std::nextafter(bound, HUGE_VAL)};
    bool vouched = true;

    const Node* localStack[64];
    Array<const Node*> heapStack;
    const Node** stack = localStack;
    if (depth_ >= 64) {
        heapStack.resize(static_cast<std::size_t>(depth_) + 1);
        stack = heapStack.data();
    }
    int top = 0;

    const Node* node = nodes_.data();
    for (;;) {
        double boxDist = boxDistance(node, q);
        bool open = boxDist < list.worst;
        while (open && !isLeaf(node)) {
            const double v = q[node->axis];
            if ((v - node->divlow) + (v - node->divhigh) < 0) {
                stack[top++] = rightOf(node);
                node = leftOf(node);
            } else {
                stack[top++] = leftOf(node);
                node = rightOf(node);
            }
            boxDist = boxDistance(node, q);
            open = boxDist < list.worst;
        }
        if (open && !scanLeaf(node, q, list, cellDistance(cells_[static_cast<std::size_t>(node->link)].axes, q) * kBoxMargin))
            vouched = false;
        if (top == 0) return vouched;
        node = stack[--top];
    }
}

// Offers the leaf's points to the list in leaf order; false when one that was
// taken lies closer than `safeFrom`.
bool KDTree::scanLeaf(const Node* node, const Point3D<double>& q, NearestList& list, double safeFrom) const
{
    const int begin = node->begin;
    const int count = node->end - begin;
    const Point3D<double>* p = points_.data() + begin;
    double leafDist[kLeafSize];
    unsigned closer = 0;
    for (int j = 0; j < count; ++j) {
        const double dx = q.x - p[j].x;
        const double dy = q.y - p[j].y;
        const double dz = q.z - p[j].z;
        leafDist[j] = dx * dx + dy * dy + dz * dz;
        closer |= static_cast<unsigned>(leafDist[j] < list.worst) << j;
    }
    bool safe = true;
    while (closer != 0) {
        const int j = __builtin_ctz(closer);
        closer &= closer - 1;
        const double d = leafDist[j];
        if (d < list.worst) {
            if (d < safeFrom) safe = false;
            list.add(d, begin + j);
        }
    }
    return safe;
}

}  // namespace cl
