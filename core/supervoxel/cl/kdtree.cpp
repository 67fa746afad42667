#include "supervoxel/cl/kdtree.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/cl/nearest_list.h"

namespace cl {

namespace {
constexpr int kLeafSize = 10;
// Bounded searches vouch for their result through a relative margin that
// covers the rounding of the classic search's cell bounds up to this depth.
constexpr int kMaxBoundedDepth = 1 << 20;
constexpr double kBoxMargin = 1.0 + 1.0 / (1 << 30);
// Ranges of at least this many points are split before their halves are
// planned, at the same time; a smaller one is planned whole by the task that
// reaches it. Where the tree is cut into tasks shows in no node.
constexpr int kTaskPoints = 4096;
// Scans over at least this many slots run in blocks of kScanBlock.
constexpr std::size_t kScanPoints = std::size_t(1) << 16;
constexpr std::size_t kScanBlock = std::size_t(1) << 15;
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

// Where the range [begin, end), partitioned at lim1 and lim2, is halved:
// the middle, moved out of the run of points equal to the cut.
inline int splitIndex(int begin, int end, int lim1, int lim2)
{
    const int mid = begin + (end - begin) / 2;
    return lim1 > mid ? lim1 : (lim2 < mid ? lim2 : mid);
}

}  // namespace

// One block of memory for the plans of a build: as arrays of their own, from
// the heap, they stayed behind in its free lists and raised the peak of what
// comes after the tree. Plans take their room by bumping an atomic offset;
// what the block cannot give comes from the heap. On small pages, as plans
// reserve more than most of them fill.
class KDTree::Arena {
public:
    explicit Arena(std::size_t bytes) : block_(new unsigned char[bytes]), size_(bytes) {}

    void* take(std::size_t bytes)
    {
        // Whole cache lines, so that plans made at the same time share none.
        const std::size_t rounded = (bytes + 63) / 64 * 64;
        const std::size_t at = used_.fetch_add(rounded);
        return at + rounded <= size_ ? block_.get() + at : nullptr;
    }

    bool holds(const void* p) const
    {
        const unsigned char* c = static_cast<const unsigned char*>(p);
        return c >= block_.get() && c < block_.get() + size_;
    }

private:
    std::unique_ptr<unsigned char[]> block_;
    std::size_t size_;
    std::atomic<std::size_t> used_{0};
};

// Room from the arena when there is one and it has some, else from the heap.
template <typename T>
struct KDTree::ArenaAllocator {
    using value_type = T;
    Arena* arena = nullptr;

    explicit ArenaAllocator(Arena* a) : arena(a) {}
    template <typename U>
    ArenaAllocator(const ArenaAllocator<U>& other) : arena(other.arena) {}

    T* allocate(std::size_t n)
    {
        void* room = arena != nullptr ? arena->take(n * sizeof(T)) : nullptr;
        return room != nullptr ? static_cast<T*>(room) : std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n)
    {
        if (arena == nullptr || !arena->holds(p)) std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    bool operator==(const ArenaAllocator<U>& other) const { return arena == other.arena; }
    template <typename U>
    bool operator!=(const ArenaAllocator<U>& other) const { return arena != other.arena; }
};

// What the build decides for a range, depth first: per inner node its split,
// per leaf the box around its points. Nodes and cells are written from the
// plans afterwards, in one sweep over the whole tree in the order of its
// array, so that ranges planned at the same time need no nodes of their own.
struct KDTree::Split {
    double cut;
    int at;  // the first slot of the upper half
    int axis;
};

struct KDTree::LeafBox {
    float low[3];
    float high[3];
};

struct KDTree::Plan {
    explicit Plan(Arena* arena) : splits(ArenaAllocator<Split>(arena)), leaves(ArenaAllocator<LeafBox>(arena)) {}
    std::vector<Split, ArenaAllocator<Split>> splits;
    std::vector<LeafBox, ArenaAllocator<LeafBox>> leaves;
};

// A range of the top of the tree: either split, its halves pieces of their
// own, or planned whole.
struct KDTree::Piece {
    explicit Piece(Arena* arena) : plan(arena) {}
    int begin = 0;
    int end = 0;
    int axis = -1;  // -1: planned whole
    double cut = 0.0;
    std::unique_ptr<Piece> left;
    std::unique_ptr<Piece> right;
    Plan plan;
};

// Room for the plans of a tree over n points: each reserves for a quarter
// as many splits and leaves as it has points (leaves hold five on average on
// scanned surfaces), and sixteen more of each, in whole cache lines; as many
// plans as ranges a quarter of the task size would make, and some more.
std::size_t KDTree::planRoom(std::size_t n)
{
    const std::size_t plans = 4 * n / kTaskPoints + 64;
    return (n / 4 + 16 * plans) * (sizeof(Split) + sizeof(LeafBox)) + 2 * 64 * plans;
}

void KDTree::forRanges(std::size_t count, std::size_t grain,
                       const std::function<void(std::size_t, std::size_t)>& body) const
{
    if (count == 0) return;
    if (loop_)
        loop_(count, grain, body);
    else
        body(0, count);
}

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
    for (int axis = 0; axis < 3; ++axis) box_[axis] = span(0, n, axis);

    std::unique_ptr<Arena> arena;
    if (loop_ && n >= kTaskPoints) arena.reset(new Arena(planRoom(static_cast<std::size_t>(n))));
    const std::unique_ptr<Piece> top = planPiece(0, n, box_, arena.get());

    depth_ = 0;
    resizeOnLargePages(cellOf_, static_cast<std::size_t>(n));
    // Leaves hold five points on average on scanned surfaces: room for that
    // is taken at once, so the arrays rarely grow by copying.
    reserveOnLargePages(nodes_, static_cast<std::size_t>(n) / 2 + 16);
    reserveOnLargePages(cells_, static_cast<std::size_t>(n) / 4 + 16);
    Bound box[3] = {box_[0], box_[1], box_[2]};
    writePiece(*top, box, 0);

    resizeOnLargePages(slotOf_, static_cast<std::size_t>(n));
    for (int s = 0; s < n; ++s) slotOf_[static_cast<std::size_t>(indices_[static_cast<std::size_t>(s)])] = s;
}

// Splits the range as planRange does while it is large and a loop is at
// hand; once both halves are large they are planned at the same time (they
// share no slot), else the small half is planned here and the split goes on
// in the large one, so that a long run of lopsided splits does not nest.
std::unique_ptr<KDTree::Piece> KDTree::planPiece(int begin, int end, const Bound* box, Arena* arena)
{
    std::unique_ptr<Piece> top;
    std::unique_ptr<Piece>* place = &top;
    Bound cell[3] = {box[0], box[1], box[2]};
    for (;;) {
        place->reset(new Piece(arena));
        Piece& piece = **place;
        piece.begin = begin;
        piece.end = end;
        if (end - begin < kTaskPoints || !loop_) {
            const std::size_t count = static_cast<std::size_t>(end - begin);
            piece.plan.splits.reserve(count / 4 + 16);
            piece.plan.leaves.reserve(count / 4 + 16);
            planRange(piece.plan, begin, end, cell);
            return top;
        }
        chooseSplit(begin, end, cell, piece.axis, piece.cut);
        int lim1, lim2;
        partition(begin, end, piece.axis, piece.cut, lim1, lim2);
        const int split = splitIndex(begin, end, lim1, lim2);
        Bound leftCell[3] = {cell[0], cell[1], cell[2]};
        Bound rightCell[3] = {cell[0], cell[1], cell[2]};
        leftCell[piece.axis].high = piece.cut;
        rightCell[piece.axis].low = piece.cut;
        const bool leftLarge = split - begin >= kTaskPoints;
        const bool rightLarge = end - split >= kTaskPoints;
        if (leftLarge && rightLarge) {
            forRanges(2, 1, [&](std::size_t first, std::size_t last) {
                for (std::size_t half = first; half < last; ++half) {
                    if (half == 0)
                        piece.left = planPiece(begin, split, leftCell, arena);
                    else
                        piece.right = planPiece(split, end, rightCell, arena);
                }
            });
            return top;
        }
        if (leftLarge) {
            piece.right = planPiece(split, end, rightCell, arena);
            place = &piece.left;
            end = split;
            std::copy(leftCell, leftCell + 3, cell);
        } else {
            piece.left = planPiece(begin, split, leftCell, arena);
            place = &piece.right;
            begin = split;
            std::copy(rightCell, rightCell + 3, cell);
        }
    }
}

// The decisions for the range [begin, end) inside the cell `box`: the
// points are partitioned at each split and the leaves' boxes taken while
// their points are at hand.
void KDTree::planRange(Plan& plan, int begin, int end, Bound* box)
{
    if (end - begin <= kLeafSize) {
        plan.leaves.push_back(leafBox(begin, end));
        return;
    }
    int axis;
    double cut;
    chooseSplit(begin, end, box, axis, cut);
    int lim1, lim2;
    partition(begin, end, axis, cut, lim1, lim2);
    const int split = splitIndex(begin, end, lim1, lim2);
    plan.splits.push_back(Split{cut, split, axis});
    const Bound saved = box[axis];
    box[axis].high = cut;
    planRange(plan, begin, split, box);
    box[axis] = saved;
    box[axis].low = cut;
    planRange(plan, split, end, box);
    box[axis] = saved;
}

// Smallest box around the points of the slots [begin, end), widened to
// single-precision bounds.
KDTree::LeafBox KDTree::leafBox(int begin, int end) const
{
    double low[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
    double high[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    for (std::size_t i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
        const Point3D<double>& p = points_[i];
        low[0] = std::min(low[0], p.x);
        high[0] = std::max(high[0], p.x);
        low[1] = std::min(low[1], p.y);
        high[1] = std::max(high[1], p.y);
        low[2] = std::min(low[2], p.z);
        high[2] = std::max(high[2], p.z);
    }
    LeafBox leaf;
    for (int a = 0; a < 3; ++a) {
        leaf.low[a] = floatBelow(low[a]);
        leaf.high[a] = floatAbove(high[a]);
    }
    return leaf;
}

// The nodes of a piece, appended depth first.
int KDTree::writePiece(const Piece& piece, Bound* box, int depth)
{
    if (piece.axis < 0) {
        PlanReader read{&piece.plan, 0, 0};
        return writeRange(read, piece.begin, piece.end, box, depth);
    }
    return writeInner(piece.axis, piece.cut, box, [&](int half, Bound* cell) {
        return writePiece(half == 0 ? *piece.left : *piece.right, cell, depth + 1);
    });
}

// The nodes of a planned range, appended depth first.
int KDTree::writeRange(PlanReader& read, int begin, int end, Bound* box, int depth)
{
    if (end - begin <= kLeafSize) return writeLeaf(read.plan->leaves[read.leaf++], begin, end, box, depth);
    const Split split = read.plan->splits[read.split++];
    return writeInner(split.axis, split.cut, box, [&](int half, Bound* cell) {
        return half == 0 ? writeRange(read, begin, split.at, cell, depth + 1) : writeRange(read, split.at, end, cell, depth + 1);
    });
}

int KDTree::writeLeaf(const LeafBox& leaf, int begin, int end, const Bound* box, int depth)
{
    const int at = static_cast<int>(nodes_.size());
    if (depth > depth_) depth_ = depth;
    nodes_.emplace_back();
    Node& node = nodes_.back();
    node.axis = -1;
    node.begin = begin;
    node.end = end;
    node.link = static_cast<int>(cells_.size());
    cells_.push_back(Cell{{box[0], box[1], box[2]}});
    for (std::size_t i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) cellOf_[i] = node.link;
    std::copy(leaf.low, leaf.low + 3, node.low);
    std::copy(leaf.high, leaf.high + 3, node.high);
    return at;
}

// An inner node split at `cut` on `axis`, its halves appended behind it by
// writeHalf(0 or 1, the half's cell).
template <typename WriteHalf>
int KDTree::writeInner(int axis, double cut, Bound* box, const WriteHalf& writeHalf)
{
    // Children are appended behind: the node is addressed by position, as
    // the array may move while they are written.
    const int at = static_cast<int>(nodes_.size());
    nodes_.emplace_back();
    const Bound saved = box[axis];
    box[axis].high = cut;
    const int left = writeHalf(0, box);
    const double divlow = box[axis].high;
    box[axis] = saved;
    box[axis].low = cut;
    const int right = writeHalf(1, box);
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

// Lowest and highest coordinate on `axis` of the slots [begin, end), as a
// scan from the first slot finds them: a value is taken on a strict
// comparison only, so among equal ones (0 and -0) the first stays, and NaNs
// are passed over unless the first slot holds one. A long range is scanned
// in blocks: those after the first start from infinity, which no strict
// comparison puts back, and are taken in their order by the same
// comparisons, which gives the scan's values bit for bit.
KDTree::Bound KDTree::span(int begin, int end, int axis) const
{
    const Point3D<double>* pts = points_.data();
    auto scan = [pts, axis](std::size_t from, std::size_t to, Bound b) {
        for (std::size_t i = from; i < to; ++i) {
            const double v = pts[i][axis];
            if (v < b.low) b.low = v;
            if (v > b.high) b.high = v;
        }
        return b;
    };
    const std::size_t first = static_cast<std::size_t>(begin);
    const std::size_t last = static_cast<std::size_t>(end);
    const double v0 = pts[first][axis];
    if (!loop_ || last - first < kScanPoints) return scan(first + 1, last, Bound{v0, v0});
    std::vector<Bound> spans((last - first + kScanBlock - 1) / kScanBlock);
    loop_(spans.size(), 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            const std::size_t b = first + j * kScanBlock, e = std::min(last, b + kScanBlock);
            spans[j] = j == 0 ? scan(b + 1, e, Bound{v0, v0}) : scan(b, e, Bound{HUGE_VAL, -HUGE_VAL});
        }
    });
    Bound whole = spans[0];
    for (std::size_t j = 1; j < spans.size(); ++j) {
        if (spans[j].low < whole.low) whole.low = spans[j].low;
        if (spans[j].high > whole.high) whole.high = spans[j].high;
    }
    return whole;
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
    const Bound first = span(begin, end, axis);
    double spread = first.high - first.low;
    cut = (first.low + first.high) / 2;
    for (int a = 0; a < 3; ++a) {
        if (a == axis) continue;
        // The box only bounds the spread; the points are scanned only when
        // the box leaves room for a wider one.
        if (box[a].high - box[a].low > spread) {
            const Bound other = span(begin, end, a);
            if (other.high - other.low > spread) {
                spread = other.high - other.low;
                axis = a;
                cut = (other.low + other.high) / 2;
            }
        }
    }
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
