// Exact k-nearest-neighbour search over 3-D points: a kd-tree with leaves of
// at most 10 points, split at the middle of the widest spread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"

namespace cl {

struct NearestList;

// A loop that calls body(begin, end) on consecutive ranges of at most
// `grain` items covering [0, count) once, possibly at the same time, and
// returns when all are done: the thread pool's, handed down by its owner, as
// the index lies below the pool.
using RangeLoop = std::function<void(std::size_t count, std::size_t grain,
                                     const std::function<void(std::size_t begin, std::size_t end)>& body)>;

class KDTree {
public:
    // Nodes lie in one array in depth-first order, the left child right
    // after its parent.
    struct Node {
        // Inner node: the bounds of the two halves along the split axis.
        double divlow = 0.0;
        double divhigh = 0.0;
        // Smallest box around the node's points, widened to single-precision
        // bounds (exact for the single-precision coordinates the pipeline
        // holds); queries use it to skip subtrees in which no point can enter
        // the result list, and a wider box only skips less.
        float low[3] = {0.0f, 0.0f, 0.0f};
        float high[3] = {0.0f, 0.0f, 0.0f};
        // Split axis; -1 for a leaf.
        int axis = -1;
        // Inner node: position of the right child. Leaf: its cell (the root
        // box cut by the splits above) in cells_.
        int link = 0;
        // Leaf: [begin, end) of the slots.
        int begin = 0;
        int end = 0;
    };

    struct Bound {
        double low = 0.0;
        double high = 0.0;
    };

    KDTree() = default;
    // Builds through `loop`: the subtrees of large ranges at the same time,
    // the long scans in blocks. The tree is the one built in a single
    // thread, node for node and slot for slot.
    explicit KDTree(RangeLoop loop) : loop_(std::move(loop)) {}
    KDTree(const KDTree&) = delete;
    KDTree& operator=(const KDTree&) = delete;
    virtual ~KDTree() = default;

    // Takes the points over by swapping buffers: afterwards `points` holds
    // what the tree held before, in the order it was given (nothing on a
    // first build), so building over an empty array hands the previous
    // points back. Inside, the points are stored in slot order: each leaf's
    // points lie together.
    void build(Array<Point3D<double>>& points);
    // Hands the points back narrowed to float, in the order they were
    // given, and frees everything: for points whose coordinates are floats
    // widened, the same values in half the room.
    void handBackAsFloats(Array<Point3D<float>>& points);

    // The k nearest points of q by ascending squared distance; among equal
    // distances the one met first in the traversal comes first. Slots no
    // point fills hold -1: those beyond the number of points, and all when
    // distances are infinite. `result` must have room for k entries.
    void query(const Point3D<double>& q, int k, int* result) const;
    Array<int> query(const Point3D<double>& q, int k) const
    {
        Array<int> result(k > 0 ? static_cast<std::size_t>(k) : 0);
        query(q, k, result.data());
        return result;
    }

    // query() for every point of the tree; the list of point i goes to
    // lists[i * k ... i * k + k - 1], -1 slots included. Points whose `known` entry is set are
    // skipped. With `separated`, the entry of every searched point is set to
    // 1 when its k nearest lie at distinct distances, all below that of any
    // other point, and to 0 otherwise.
    void queryAll(int k, int* lists, std::uint8_t* separated = nullptr, const std::uint8_t* known = nullptr) const;
    // queryAll() for the points of slots [begin, end) alone. Ranges that do
    // not overlap may be searched at the same time.
    void querySlots(std::size_t begin, std::size_t end, int k, int* lists, std::uint8_t* separated = nullptr,
                    const std::uint8_t* known = nullptr) const;
    // querySlots() with the list of slot s at lists[(s - begin) * k ...]:
    // a block's lists side by side, for a caller that stores them its own
    // way. The marks stay in point order.
    void queryBlock(std::size_t begin, std::size_t end, int k, int* lists, std::uint8_t* separated = nullptr,
                    const std::uint8_t* known = nullptr) const;

    // Whether query(q, k) returns `list`, given that the list holds k points
    // at distinct ascending distances from q, all nearer than any other
    // point of the tree: so is a list marked separated by a search over a
    // superset of the points, when all its entries are still there.
    bool confirms(const Point3D<double>& q, const int* list, int k) const;
    // confirms() for a list given as slots.
    bool confirmsSlots(const Point3D<double>& q, const int* slots, int k) const;

    std::size_t size() const { return indices_.size(); }
    // Point i as given to build().
    const Point3D<double>& point(std::size_t i) const { return points_[static_cast<std::size_t>(slotOf_[i])]; }
    const Node* root() const { return nodes_.empty() ? nullptr : nodes_.data(); }
    static bool isLeaf(const Node* node) { return node->axis < 0; }
    static const Node* leftOf(const Node* node) { return node + 1; }
    const Node* rightOf(const Node* node) const { return nodes_.data() + node->link; }
    // Per slot, the number of the point it holds.
    const Array<int>& indices() const { return indices_; }
    // Per slot, the point it holds.
    const Array<Point3D<double>>& slotPoints() const { return points_; }
    const Bound* rootBox() const { return box_; }

private:
    struct Cell {
        Bound axes[3];
    };
    class Arena;
    template <typename T>
    struct ArenaAllocator;
    struct Split;
    struct LeafBox;
    struct Plan;
    struct Piece;
    struct PlanReader {
        const Plan* plan;
        std::size_t split;
        std::size_t leaf;
    };

    static std::size_t planRoom(std::size_t n);
    void forRanges(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body) const;
    std::unique_ptr<Piece> planPiece(int begin, int end, const Bound* box, Arena* arena);
    void planRange(Plan& plan, int begin, int end, Bound* box);
    LeafBox leafBox(int begin, int end) const;
    int writePiece(const Piece& piece, Bound* box, int depth);
    int writeRange(PlanReader& read, int begin, int end, Bound* box, int depth);
    int writeLeaf(const LeafBox& leaf, int begin, int end, const Bound* box, int depth);
    template <typename WriteHalf>
    int writeInner(int axis, double cut, Bound* box, const WriteHalf& writeHalf);
    void chooseSplit(int begin, int end, const Bound* box, int& axis, double& cut) const;
    Bound span(int begin, int end, int axis) const;
    void partition(int begin, int end, int axis, double cut, int& lim1, int& lim2);
    void handBack(Array<Point3D<double>>& points);
    void toPointNumbers(int* list, int k) const;
    void searchSlots(std::size_t begin, std::size_t end, int k, int* lists, bool bySlot, std::uint8_t* separated,
                     const std::uint8_t* known) const;

    void searchClassic(const Point3D<double>& q, int k, int* result, double* dists) const;
    bool searchBounded(const Point3D<double>& q, int k, int* result, double* dists, double bound) const;
    bool scanLeaf(const Node* node, const Point3D<double>& q, NearestList& list, double safeFrom) const;
    bool reached(const Point3D<double>& q, std::size_t slot) const;

    // In slot order: the partitions move them with their numbers.
    Array<Point3D<double>> points_;
    Array<int> indices_;
    Array<int> slotOf_;
    std::vector<Cell> cells_;
    // Per slot: the cell of its leaf.
    Array<int> cellOf_;
    int depth_ = 0;
    Bound box_[3];
    std::vector<Node> nodes_;
    RangeLoop loop_;
};

}  // namespace cl
