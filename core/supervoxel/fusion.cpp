// The fusion of points into supervoxels, pass after pass of walks over the
// clusters' work lists (in point order, or in pieces on more threads), and
// the refinement of the boundaries from a queue of boundary points. The hot
// walks stay together in this one file, so that they inline as they need.
#include "supervoxel/fusion.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "supervoxel/cl/large_pages.h"
#include "supervoxel/neighbour_pieces.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace detail {
namespace {

// The same arithmetic as supervoxelDistance.
template <typename Record>
inline double pointDistance(const Record& a, const Record& b, double r)
{
    const double dot = a.nx * b.nx + a.ny * b.ny + a.nz * b.nz;
    const double dx = static_cast<double>(a.x) - static_cast<double>(b.x);
    const double dy = static_cast<double>(a.y) - static_cast<double>(b.y);
    const double dz = static_cast<double>(a.z) - static_cast<double>(b.z);
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    return 1 - std::fabs(dot) + length / r * 0.4;
}

// Union-find root with path halving.
inline int findRoot(int* parent, int x)
{
    while (parent[x] != x) {
        const int grand = parent[parent[x]];
        parent[x] = grand;
        x = grand;
    }
    return x;
}

// The same root without shortening the path, so that many threads can ask.
inline int rootOf(const int* parent, int x)
{
    while (parent[x] != x) x = parent[x];
    return x;
}

// The same root, halving the path only where it skips no root of the start
// of the pass (`startRoot`): every link a pass makes leaves such a root, so
// that cutting the links made after some fusion gives back the roots of
// that moment.
inline int findRootKeeping(int* parent, const std::uint8_t* startRoot, int x)
{
    while (parent[x] != x) {
        const int up = parent[x];
        if (!startRoot[up]) parent[x] = parent[up];
        x = up;
    }
    return x;
}

// The explicit parts of the work lists in one buffer: a replaced list is
// written over its previous place when it fits there and appended otherwise;
// the buffer is compacted in place when dead space dominates. Each place
// opens with a header: the number of its tail while it is that tail's place,
// -1 - its room once given up, so that the compaction sweeps the buffer once
// and needs no second buffer beside it.
struct TailBuffer {
    struct Tail {
        int start;
        int length;
        int room;  // 0: no place
    };
    std::vector<int> items;
    std::vector<Tail> tails;
    std::size_t live = 0;  // entries of the current tails

    // Room that the buffers rarely outgrow for n points: reserved, it takes
    // memory only as it is written, and growing never holds two copies.
    void reset(std::size_t n)
    {
        items.clear();
        tails.clear();
        live = 0;
        items.reserve(3 * n + 4096);
        tails.reserve(n);
    }

    template <typename Record>
    int length(const Record& p) const { return p.tail < 0 ? 0 : tails[static_cast<std::size_t>(p.tail)].length; }
    template <typename Record>
    const int* begin(const Record& p) const { return items.data() + tails[static_cast<std::size_t>(p.tail)].start; }

    template <typename Record>
    void assign(Record& p, const std::vector<int>& list)
    {
        if (p.tail < 0) {
            if (list.empty()) return;
            p.tail = static_cast<int>(tails.size());
            tails.push_back(Tail{0, 0, 0});
        }
        Tail& t = tails[static_cast<std::size_t>(p.tail)];
        const int count = static_cast<int>(list.size());
        live += list.size();
        live -= static_cast<std::size_t>(t.length);
        if (count > t.room) {
            if (t.room > 0) items[static_cast<std::size_t>(t.start) - 1] = -1 - t.room;
            items.push_back(p.tail);
            t.start = static_cast<int>(items.size());
            t.room = count;
            items.insert(items.end(), list.begin(), list.end());
        } else {
            std::copy(list.begin(), list.end(), items.begin() + t.start);
        }
        t.length = count;
    }

    template <typename Record>
    void clear(const Record& p)
    {
        if (p.tail < 0) return;
        Tail& t = tails[static_cast<std::size_t>(p.tail)];
        live -= static_cast<std::size_t>(t.length);
        t.length = 0;
    }

    void compactIfSparse()
    {
        if (items.size() <= 2 * live + 4096) return;
        std::size_t to = 0;
        for (std::size_t from = 0; from < items.size();) {
            const int head = items[from];
            if (head < 0) {
                from += static_cast<std::size_t>(-head);
                continue;
            }
            Tail& t = tails[static_cast<std::size_t>(head)];
            const std::size_t room = static_cast<std::size_t>(t.room);
            if (t.length == 0) {
                t.start = 0;
                t.room = 0;
            } else {
                // Places only move down: the entries are copied before
                // anything overwrites them.
                items[to] = head;
                std::copy_n(items.begin() + static_cast<std::ptrdiff_t>(from) + 1, t.length,
                            items.begin() + static_cast<std::ptrdiff_t>(to) + 1);
                t.start = static_cast<int>(to) + 1;
                t.room = t.length;
                to += 1 + static_cast<std::size_t>(t.length);
            }
            from += 1 + room;
        }
        items.resize(to);
    }
};

// What a walk works on besides the records and links: the clusters met,
// for those met through the walker's own neighbour list the bit that led
// there, the rejected ones met otherwise, and the tails of the work lists
// of the walkers it serves. Walks of pieces on different threads each have
// their own, with a log of what they fused.
struct Walker {
    std::vector<int> candidates;
    std::vector<std::uint8_t> ownBit;
    std::size_t candidateCount = 0;
    std::vector<int> rejected;
    TailBuffer tails;
    std::vector<int> fused;                       // the clusters fused in this pass, in order
    std::vector<std::pair<int, std::size_t>> walks;  // per walk that fused: its walker, its end in `fused`
};

// What the fusion and the boundary refinement of one call work on; it is
// itself the walker of the walks in point order, so that their code reaches
// everything through one pointer.
template <typename Record>
struct Fusion : Walker {
    std::vector<Record> points;  // filled with coordinates and normals by the caller
    std::vector<int> parent;          // union-find links
    std::vector<std::uint8_t> visited;  // marks of the current walk
    const PackedLists* neighbours = nullptr;
    std::size_t n = 0;
    double r = 0.0;
    int target = 0;  // wanted number of clusters

    std::vector<std::uint8_t> valid;  // valid entries of each neighbour list (missing ones trail)
    std::vector<std::uint8_t> startRoot;  // walks in pieces: the roots at the start of the pass
    std::vector<int> reps;     // the cluster roots, ascending, once the first pass is over (all points before)
    std::vector<double> dist;  // per point: to its nearest neighbour, for the median
    std::vector<float> nearest;  // per point: at most the distance to its nearest own neighbour
    int count = 0;             // number of clusters
    double lambda = 0.0;       // the cost bound of a fusion
};

template <typename Record>
inline const int* neighbourList(const Fusion<Record>& f, std::size_t i, int* buffer)
{
    return unpackList(*f.neighbours, i, buffer);
}

// The largest float not above v.
inline float lowerFloat(double v)
{
    const float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -HUGE_VALF) : f;
}

// Every point its own cluster, whose work list is its neighbour list; lambda
// from the median distance of a point to its nearest neighbour.
template <typename Record>
void initialiseFusion(Fusion<Record>& f, const PackedLists& neighbours, int target, double r)
{
    f.neighbours = &neighbours;
    f.n = f.points.size();
    f.r = r;
    f.target = target;
    const std::size_t n = f.n;
    Record* pts = f.points.data();

    resizeOnPopulatedPages(f.valid, n);
    resizeOnPopulatedPages(f.parent, n);
    resizeOnPopulatedPages(f.nearest, n);
    f.visited.assign(n, 0);
    resizeOnPopulatedPages(f.dist, n);
    // Each point's set-up reads only the coordinates of others.
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        int buffer[kNeighbourCount];
        const int* list = neighbourList(f, i, buffer);
        int c = 0;
        while (c < kNeighbourCount && list[c] >= 0) ++c;
        f.valid[i] = static_cast<std::uint8_t>(c);
        Record& p = pts[i];
        f.parent[i] = static_cast<int>(i);
        p.size = 1;
        p.tail = -1;
        p.ownMask = static_cast<std::uint16_t>((1u << c) - 1);
        p.inert = std::isnan(p.nx) ? 1 : 0;
        f.dist[i] = DBL_MAX;
        for (int k = 0; k < c; ++k) {
            const int j = list[k];
            if (j == static_cast<int>(i)) continue;
            const double d = pointDistance(p, pts[j], r);
            // min(dist, d): a distance that is not a number never replaces.
            if (d < f.dist[i]) f.dist[i] = d;
        }
        f.nearest[i] = lowerFloat(f.dist[i]);
    });
    f.count = static_cast<int>(n);
    // The selection may reorder `dist`: nothing reads it afterwards.
    std::nth_element(f.dist.begin(), f.dist.begin() + static_cast<std::ptrdiff_t>(n / 2), f.dist.end());
    f.lambda = std::max(f.dist[n / 2], 2.220446049250313e-16);
}

// Room for `more` candidates.
inline void reserveCandidates(Walker& w, std::size_t more)
{
    const std::size_t needed = w.candidateCount + more;
    if (w.candidates.size() < needed) {
        w.candidates.resize(2 * needed);
        w.ownBit.resize(2 * needed);
    }
}

// Appends the cluster of point x to the walk's candidates unless the walk
// met it already; `bit` says which own neighbour of the walker led there.
// Walks in pieces keep the links that cutting back a pass needs.
template <bool kInPieces, typename Record>
inline void meet(Fusion<Record>& f, Walker& w, int x, std::uint8_t bit)
{
    const int root = kInPieces ? findRootKeeping(f.parent.data(), f.startRoot.data(), x) : findRoot(f.parent.data(), x);
    // The walk weighs the cluster soon: its record is fetched now.
    __builtin_prefetch(&f.points[static_cast<std::size_t>(root)]);
    // Written unconditionally, kept only when new: no branch to mispredict.
    w.candidates[w.candidateCount] = root;
    w.ownBit[w.candidateCount] = bit;
    w.candidateCount += f.visited[static_cast<std::size_t>(root)] ^ 1;
    f.visited[static_cast<std::size_t>(root)] = 1;
}

// The clusters named by the owner's own neighbours that the walk has not met.
template <bool kInPieces, typename Record>
__attribute__((always_inline)) inline void collectOwn(Fusion<Record>& f, Walker& w, int owner)
{
    const unsigned mask = f.points[static_cast<std::size_t>(owner)].ownMask;
    reserveCandidates(w, kNeighbourCount);
    const PackedLists& lists = *f.neighbours;
    if (lists.plain != nullptr) {
        const int* own = lists.plain + static_cast<std::size_t>(owner) * kNeighbourCount;
        for (unsigned m = mask; m != 0; m &= m - 1) {
            const int k = __builtin_ctz(m);
            meet<kInPieces>(f, w, own[k], static_cast<std::uint8_t>(k));
        }
        return;
    }
    for (unsigned m = mask; m != 0; m &= m - 1) {
        const int k = __builtin_ctz(m);
        meet<kInPieces>(f, w, neighbourAt(lists, static_cast<std::size_t>(owner), k), static_cast<std::uint8_t>(k));
    }
}

// The clusters of the owner's tail that the walk has not met.
template <bool kInPieces, typename Record>
__attribute__((always_inline)) inline void collectTail(Fusion<Record>& f, Walker& w, int owner)
{
    Record* pts = f.points.data();
    const int length = w.tails.length(pts[owner]);
    if (length == 0) return;
    reserveCandidates(w, static_cast<std::size_t>(length));
    const int* tail = w.tails.begin(pts[owner]);
    for (int t = 0; t < length; ++t) meet<kInPieces>(f, w, tail[t], 0);
}

// Whether the walk from i can only reject: it has no tail, every cluster its
// own neighbours name is that neighbour alone or led by it, and its nearest
// neighbour is too far for lambda -- so is every other, at any size. The
// walk's outcome is then i's own list less itself, which this leaves.
template <typename Record>
__attribute__((always_inline)) inline bool rejectsAllOwn(Fusion<Record>& f, const Walker& w, int i)
{
    Record& pi = f.points[static_cast<std::size_t>(i)];
    if (f.lambda - static_cast<double>(f.nearest[static_cast<std::size_t>(i)]) > 0 || w.tails.length(pi) != 0) return false;
    unsigned self = 0;
    for (unsigned m = pi.ownMask; m != 0; m &= m - 1) {
        const int k = __builtin_ctz(m);
        const int j = neighbourAt(*f.neighbours, static_cast<std::size_t>(i), k);
        if (j == i)
            self |= 1u << k;
        else if (f.parent[static_cast<std::size_t>(j)] != j)
            return false;
    }
    pi.ownMask = static_cast<std::uint16_t>(pi.ownMask & ~self);
    return true;
}

// The walk from representative i: every cluster met through the work lists
// whose cost stays under lambda is fused into i and its work list walked in
// turn; the others become i's new work list, in the order met. A walk in
// point order stops once the number of clusters reaches the target; a walk
// in pieces logs what it fused instead and leaves the count alone.
template <bool kInPieces, typename Record>
void walkFrom(Fusion<Record>& f, Walker& w, int i)
{
    Record* pts = f.points.data();
    Record& pi = pts[i];
    if (rejectsAllOwn(f, w, i)) return;
    f.visited[static_cast<std::size_t>(i)] = 1;
    reserveCandidates(w, 1);
    w.candidates[0] = i;
    w.candidateCount = 1;
    collectOwn<kInPieces>(f, w, i);
    // The clusters met through i's own neighbours come first and stay bits.
    const std::size_t ownEnd = w.candidateCount;
    collectTail<kInPieces>(f, w, i);
    unsigned keptBits = 0;
    w.rejected.clear();
    for (std::size_t c = 1; c < w.candidateCount; ++c) {
        const int j = w.candidates[c];
        Record& pj = pts[j];
        const double d = pointDistance(pi, pj, f.r);
        if (f.lambda - static_cast<double>(pj.size) * d > 0) {
            f.parent[static_cast<std::size_t>(j)] = i;
            pi.size += pj.size;
            collectOwn<kInPieces>(f, w, j);
            collectTail<kInPieces>(f, w, j);
            pj.ownMask = 0;
            w.tails.clear(pj);
            if constexpr (kInPieces) {
                w.fused.push_back(j);
            } else {
                --f.count;
                if (f.count == f.target) break;
            }
        } else if (c < ownEnd) {
            keptBits |= 1u << w.ownBit[c];
        } else {
            w.rejected.push_back(j);
        }
    }
    pi.ownMask = static_cast<std::uint16_t>(keptBits);
    w.tails.assign(pi, w.rejected);
    for (std::size_t c = 0; c < w.candidateCount; ++c) f.visited[static_cast<std::size_t>(w.candidates[c])] = 0;
}

// The cluster roots in ascending order.
template <typename Record>
void listRoots(Fusion<Record>& f)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < f.n; ++i) count += f.parent[i] == static_cast<int>(i) ? 1 : 0;
    cl::reserveOnLargePages(f.reps, count);
    for (std::size_t i = 0; i < f.n; ++i)
        if (f.parent[i] == static_cast<int>(i)) f.reps.push_back(static_cast<int>(i));
}

// Passes over the representatives, lambda doubling from pass to pass, until
// the clusters number the target, one is left, or 1002 passes have run.
// The first pass goes over every point: the roots are listed only once it
// has fused most of them, in a fraction of the room.
template <typename Record>
void fuse(Fusion<Record>& f)
{
    Record* pts = f.points.data();
    Walker& w = f;
    w.tails.reset(f.n);
    for (int pass = 0;; ++pass) {
        const bool everyPoint = pass == 0;
        const std::size_t repCount = everyPoint ? f.n : f.reps.size();
        for (std::size_t e = 0; e < repCount; ++e) {
            const int i = everyPoint ? static_cast<int>(e) : f.reps[e];
            const Record& pi = pts[i];
            if (pi.ownMask == 0 && w.tails.length(pi) == 0) continue;
            // A root whose normal is not a number can neither fuse nor be
            // fused (every distance to it is not a number): its walk would
            // change nothing but the end-of-walk target test, and such
            // points can keep a run going for all its passes.
            if (pi.inert) {
                if (f.count == f.target) break;
                continue;
            }
            walkFrom<false>(f, w, i);
            if (f.count == f.target) break;
        }

        if (everyPoint) {
            listRoots(f);
        } else {
            std::size_t kept = 0;
            for (std::size_t e = 0; e < f.reps.size(); ++e)
                if (f.parent[static_cast<std::size_t>(f.reps[e])] == f.reps[e]) f.reps[kept++] = f.reps[e];
            f.reps.resize(kept);
        }
        f.count = static_cast<int>(f.reps.size());
        w.tails.compactIfSparse();

        if (f.count == f.target) break;
        if (pass > 1000) break;
        f.lambda = 2 * f.lambda;
        if (!(f.count > 1)) break;
    }
}

template <typename Vector>
void release(Vector& v)
{
    Vector().swap(v);
}

// The pieces of the points, in groups for tasks of their own; none when one
// piece holds most points, so that splitting would gain little, and then the
// search stops as soon as such a piece is found.
// Kept out of line, as the other steps of walks in pieces, so that the walks
// in point order they sit beside compile as they do alone.
template <typename Record>
__attribute__((noinline)) PieceGroups findPieces(const Fusion<Record>& f)
{
    PieceLinks links;
    resetPieceLinks(links, f.n);
    const std::size_t most = f.n / 4 * 3;
    for (std::size_t i = 0; i < f.n; ++i) {
        int buffer[kNeighbourCount];
        const int* list = neighbourList(f, i, buffer);
        int root = pieceRoot(links, static_cast<int>(i));
        for (int k = 0; k < f.valid[i]; ++k) root = joinRoot(links, root, list[k]);
        if (static_cast<std::size_t>(links.largest) > most) return PieceGroups();
    }
    // Sized by the points alone, so that the groups are the same on any
    // number of threads.
    constexpr std::size_t kSmallestShare = 256;
    return groupPieces(links, std::max(f.n / 32, kSmallestShare));
}

// One pass of the walks of a group's representatives, in point order.
template <typename Record>
void walkGroup(Fusion<Record>& f, Walker& w, const int* reps, std::size_t count)
{
    const Record* pts = f.points.data();
    w.fused.clear();
    w.walks.clear();
    for (std::size_t e = 0; e < count; ++e) {
        const int i = reps[e];
        const Record& pi = pts[i];
        if (pi.ownMask == 0 && w.tails.length(pi) == 0) continue;
        if (pi.inert) continue;
        const std::size_t before = w.fused.size();
        walkFrom<true>(f, w, i);
        if (w.fused.size() > before) w.walks.emplace_back(i, w.fused.size());
    }
}

// A pass in pieces made every fusion the pass in point order would make up
// to the one that brought the count to the target, and some after it: those
// after it are cut off again. Their links alone go: once the target is met,
// only the roots are read.
inline void cutBackToTarget(std::vector<Walker>& walkers, std::size_t wanted, int* parent)
{
    struct Walk {
        int walker;
        std::size_t begin, end;
        std::size_t group;
    };
    std::vector<Walk> walks;
    for (std::size_t g = 0; g < walkers.size(); ++g) {
        std::size_t begin = 0;
        for (const auto& walk : walkers[g].walks) {
            walks.push_back(Walk{walk.first, begin, walk.second, g});
            begin = walk.second;
        }
    }
    std::sort(walks.begin(), walks.end(), [](const Walk& a, const Walk& b) { return a.walker < b.walker; });
    std::size_t made = 0;
    for (const Walk& walk : walks) {
        const std::vector<int>& fused = walkers[walk.group].fused;
        const std::size_t keep = std::min(walk.end - walk.begin, wanted - made);
        for (std::size_t k = walk.begin + keep; k < walk.end; ++k) parent[fused[k]] = fused[k];
        made += keep;
    }
}

// The passes of fuse with each group's walks on a task of its own. Walks in
// different pieces touch nothing of each other's, so in each piece they
// make what they make in point order; only the stop at the target is
// global. A pass runs without it; when its fusions bring the count below
// the target, those after the one that met the target are cut back.
template <typename Record>
__attribute__((noinline)) void fuseInPieces(Fusion<Record>& f, const PieceGroups& pieces)
{
    const std::size_t groups = pieces.groups();
    std::vector<Walker> walkers(groups);
    std::vector<std::vector<int>> reps(groups);
    // Every pass starts above the target: the first because a target of
    // every point keeps to the walks in point order, the others because the
    // passes stop once it is met.
    f.startRoot.assign(f.n, 1);
    parallelFor(groups, 1, [&](std::size_t g) { walkers[g].tails.reset(pieces.size(g)); });
    // A group's representatives of the coming pass: the roots among its
    // points after the first pass, among its representatives after later ones.
    auto keepRoots = [&f, &pieces, &reps](std::size_t g, bool everyPoint) {
        std::vector<int>& kept = reps[g];
        const int* from = everyPoint ? pieces.begin(g) : kept.data();
        const std::size_t count = everyPoint ? pieces.size(g) : kept.size();
        if (everyPoint) kept.resize(count);
        std::size_t k = 0;
        for (std::size_t e = 0; e < count; ++e) {
            const int i = from[e];
            const bool root = f.parent[static_cast<std::size_t>(i)] == i;
            f.startRoot[static_cast<std::size_t>(i)] = root ? 1 : 0;
            if (root) kept[k++] = i;
        }
        kept.resize(k);
    };
    for (int pass = 0;; ++pass) {
        // The previous pass's aftermath goes with the group's walks, so that
        // a pass takes one loop.
        parallelForEach(groups, [&](std::size_t g) {
            if (pass == 0) {
                walkGroup(f, walkers[g], pieces.begin(g), pieces.size(g));
                return;
            }
            keepRoots(g, pass == 1);
            walkers[g].tails.compactIfSparse();
            walkGroup(f, walkers[g], reps[g].data(), reps[g].size());
        });
        std::size_t made = 0;
        for (const Walker& w : walkers) made += w.fused.size();
        // Each fusion takes one root away.
        const std::size_t aboveTarget = static_cast<std::size_t>(f.count - f.target);
        if (made > aboveTarget) {
            cutBackToTarget(walkers, aboveTarget, f.parent.data());
            f.count = f.target;
        } else {
            f.count -= static_cast<int>(made);
        }

        if (f.count == f.target) break;
        if (pass > 1000) break;
        f.lambda = 2 * f.lambda;
        if (!(f.count > 1)) break;
    }
    release(f.startRoot);
    listRoots(f);
}

// A FIFO of point indices in which a point is queued at most once at a time,
// so that a ring of as many slots as points it may hold holds it. The marks
// of queued points are indexed by point, so that the queues of pieces can
// share them.
struct PointQueue {
    std::vector<int> ring;
    char* queued = nullptr;
    std::size_t head = 0;
    std::size_t size = 0;
};

void resetQueue(PointQueue& q, std::size_t slots, char* queued)
{
    resizeOnPopulatedPages(q.ring, slots);
    q.queued = queued;
    q.head = 0;
    q.size = 0;
}

inline void enqueue(PointQueue& q, int p)
{
    if (q.queued[static_cast<std::size_t>(p)]) return;
    q.queued[static_cast<std::size_t>(p)] = 1;
    const std::size_t slot = q.head + q.size;
    q.ring[slot < q.ring.size() ? slot : slot - q.ring.size()] = p;
    ++q.size;
}

inline std::size_t dequeue(PointQueue& q)
{
    const std::size_t i = static_cast<std::size_t>(q.ring[q.head]);
    q.head = q.head + 1 < q.ring.size() ? q.head + 1 : 0;
    --q.size;
    q.queued[i] = 0;
    return i;
}

// Hands put(p) point i if it has a neighbour of another label, and then
// that neighbour.
template <typename Record, typename Put>
inline void scanPoint(const Fusion<Record>& f, const cl::Array<int>& labels, std::size_t i, Put& put)
{
    int buffer[kNeighbourCount];
    const int* list = neighbourList(f, i, buffer);
    const int own = labels[i];
    bool boundary = false;
    for (int k = 0; k < f.valid[i]; ++k) {
        const int j = list[k];
        if (own == labels[static_cast<std::size_t>(j)]) continue;
        if (!boundary) put(static_cast<int>(i));
        boundary = true;
        put(j);
    }
}

// The same for every point of [begin, end), in point order.
template <typename Record, typename Put>
void scanBoundary(const Fusion<Record>& f, const cl::Array<int>& labels, std::size_t begin, std::size_t end, Put put)
{
    for (std::size_t i = begin; i < end; ++i) scanPoint(f, labels, i, put);
}

// Queues the boundary points. On more threads the blocks are scanned
// concurrently, each noting what it would queue; queued in block order, the
// notes give the queue one scan gives, since nothing leaves it meanwhile.
template <typename Record>
void queueBoundaryPoints(const Fusion<Record>& f, const cl::Array<int>& labels, PointQueue& queue)
{
    const std::size_t n = f.n;
    if (poolThreads() == 1) {
        scanBoundary(f, labels, 0, n, [&queue](int p) { enqueue(queue, p); });
        return;
    }
    constexpr std::size_t kScanBlock = 8192;
    std::vector<std::vector<int>> notes((n + kScanBlock - 1) / kScanBlock);
    parallelFor(notes.size(), 1, [&](std::size_t block) {
        std::vector<int>& note = notes[block];
        scanBoundary(f, labels, block * kScanBlock, std::min(n, (block + 1) * kScanBlock),
                     [&note](int p) { note.push_back(p); });
    });
    for (const std::vector<int>& note : notes)
        for (int p : note) enqueue(queue, p);
}

// The queue is read in order, so the record and list of the point a few
// places behind the head are fetched while the head is weighed: on large
// clouds, the queue's points are cache misses otherwise.
template <typename Record>
inline void prefetchQueued(const Fusion<Record>& f, const PointQueue& queue)
{
    constexpr std::size_t kAhead = 8;
    if (queue.size <= kAhead) return;
    std::size_t slot = queue.head + kAhead;
    if (slot >= queue.ring.size()) slot -= queue.ring.size();
    const std::size_t p = static_cast<std::size_t>(queue.ring[slot]);
    __builtin_prefetch(&f.points[p]);
    if (f.neighbours->plain == nullptr) __builtin_prefetch(f.neighbours->offsets(p));
}

// Moves the queued points across supervoxel boundaries until the queue is
// empty: a point goes to a neighbouring supervoxel whose representative is
// strictly closer, and its neighbours are revisited.
template <typename Record>
__attribute__((always_inline)) inline void drainQueue(const Fusion<Record>& f, cl::Array<int>& labels, PointQueue& queue)
{
    const Record* pts = f.points.data();
    while (queue.size > 0) {
        prefetchQueued(f, queue);
        const std::size_t i = dequeue(queue);
        int buffer[kNeighbourCount];
        const int* list = neighbourList(f, i, buffer);
        bool changed = false;
        // The distance to the point's own supervoxel's representative is
        // made again here instead of being kept for every point: the same
        // arithmetic on the same records gives the same bits.
        double own = pointDistance(pts[i], pts[labels[i]], f.r);
        // A supervoxel already tried for this point cannot win again: the
        // distance is the same and `own` has only come down since.
        int tried[kNeighbourCount];
        int triedCount = 0;
        for (int k = 0; k < f.valid[i]; ++k) {
            const int lj = labels[static_cast<std::size_t>(list[k])];
            if (lj == labels[i]) continue;
            bool seen = false;
            for (int t = 0; t < triedCount; ++t) seen |= tried[t] == lj;
            if (seen) continue;
            tried[triedCount++] = lj;
            const double d = pointDistance(pts[i], pts[lj], f.r);
            if (own > d) {
                labels[i] = lj;
                own = d;
                changed = true;
            }
        }
        if (changed) {
            for (int k = 0; k < f.valid[i]; ++k)
                if (labels[static_cast<std::size_t>(list[k])] != labels[i]) enqueue(queue, list[k]);
        }
    }
}

// The boundary queues of the groups of pieces, each drained on a task of its own.
template <typename Record>
__attribute__((noinline)) void refineInPieces(const Fusion<Record>& f, cl::Array<int>& labels,
                                              const PieceGroups& pieces, char* queued)
{
    parallelForEach(pieces.groups(), [&](std::size_t g) {
        PointQueue queue;
        resetQueue(queue, pieces.size(g), queued);
        auto put = [&queue](int p) { enqueue(queue, p); };
        const int* points = pieces.begin(g);
        for (std::size_t e = 0; e < pieces.size(g); ++e) scanPoint(f, labels, static_cast<std::size_t>(points[e]), put);
        drainQueue(f, labels, queue);
    });
}

// Labels every point with its cluster's root, then refines the boundaries
// from a queue of the boundary points. With pieces, each group has a queue
// of its own: a point's move reads and queues only points of its piece, so
// each piece's points pass through their queue as through the one queue,
// and the labels of different groups never meet.
template <typename Record>
void refineBoundaries(Fusion<Record>& f, cl::Array<int>& labels, const PieceGroups& pieces)
{
    const std::size_t n = f.n;
    resizeOnPopulatedPages(labels, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) { labels[i] = rootOf(f.parent.data(), static_cast<int>(i)); });
    // Every point knows its root: the links are dead before the queue takes its room.
    release(f.parent);

    std::vector<char> queued(n, 0);
    if (pieces.groups() == 0) {
        PointQueue queue;
        resetQueue(queue, n, queued.data());
        queueBoundaryPoints(f, labels, queue);
        drainQueue(f, labels, queue);
        return;
    }
    refineInPieces(f, labels, pieces, queued.data());
}

// The representatives become the supervoxels, in point order, and every
// label the position of its representative.
template <typename Record>
void relabel(const Fusion<Record>& f, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    std::vector<int> position(f.n, -1);
    supervoxels.resize(f.reps.size());
    for (std::size_t s = 0; s < f.reps.size(); ++s) {
        supervoxels[s] = f.reps[s];
        position[static_cast<std::size_t>(f.reps[s])] = static_cast<int>(s);
    }
    parallelFor(f.n, kPointGrain, [&](std::size_t i) { labels[i] = position[static_cast<std::size_t>(labels[i])]; });
}

// The fusion and refinement of points whose coordinates and normals are in
// f.points.
template <typename Record>
void mergePrepared(Fusion<Record>& f, const PackedLists& neighbours, int target, double r, cl::Array<int>& labels,
                   cl::Array<int>& supervoxels)
{
    labels.clear();
    supervoxels.clear();
    if (f.points.empty()) return;
    initialiseFusion(f, neighbours, target, r);
    // Each phase's scratch is released before the next one takes its own:
    // the distances served the median only, and the walks' lists and marks
    // are dead once the fusion ends.
    release(f.dist);
    // Walks in pieces pay only on more threads; a call whose target is met
    // before any fusion keeps the stop inside its first walk.
    PieceGroups pieces;
    if (poolThreads() > 1 && f.n > static_cast<std::size_t>(std::max(target, 1))) pieces = findPieces(f);
    if (pieces.groups() > 1)
        fuseInPieces(f, pieces);
    else if (f.n > 1)
        fuse(f);
    else
        listRoots(f);
    if (pieces.groups() < 2) pieces = PieceGroups();
    static_cast<Walker&>(f) = Walker();
    release(f.visited);
    release(f.nearest);
    refineBoundaries(f, labels, pieces);
    release(f.valid);
    relabel(f, labels, supervoxels);
    release(f.reps);
}

}  // namespace

template <typename Record>
void mergePrepared(std::vector<Record>& points, const PackedLists& neighbours, int target, double r,
                   cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    Fusion<Record> fusion;
    fusion.points.swap(points);
    mergePrepared(fusion, neighbours, target, r, labels, supervoxels);
    points.swap(fusion.points);
}

template void mergePrepared(std::vector<FusionPoint>&, const PackedLists&, int, double, cl::Array<int>&,
                            cl::Array<int>&);
template void mergePrepared(std::vector<FloatFusionPoint>&, const PackedLists&, int, double, cl::Array<int>&,
                            cl::Array<int>&);

}  // namespace detail
}  // namespace vela
