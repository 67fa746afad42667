#include "supervoxel/clustering.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {

cl::Vector3D<double> estimateNormal(const cl::Point3D<double>* points, std::size_t count)
{
    // Plain sums in list order, each scaled by one reciprocal: the order is
    // part of the result's last bits.
    const double inv = 1.0 / static_cast<double>(count);
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sx += points[i].x;
        sy += points[i].y;
        sz += points[i].z;
    }
    const double cx = sx * inv, cy = sy * inv, cz = sz * inv;

    double s11 = 0.0, s12 = 0.0, s13 = 0.0, s22 = 0.0, s23 = 0.0, s33 = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = points[i].x - cx;
        const double dy = points[i].y - cy;
        const double dz = points[i].z - cz;
        s11 += dx * dx;
        s12 += dx * dy;
        s13 += dx * dz;
        s22 += dy * dy;
        s23 += dy * dz;
        s33 += dz * dz;
    }
    const double m11 = s11 * inv, m12 = s12 * inv, m13 = s13 * inv;
    const double m22 = s22 * inv, m23 = s23 * inv, m33 = s33 * inv;

    // Smallest eigenvalue of a symmetric 3x3 matrix by the trigonometric
    // method (Smith 1961).
    const double q = (m22 + m11 + m33) / 3;
    const double b11 = m11 - q, b22 = m22 - q, b33 = m33 - q;
    const double h = std::sqrt((b11 * b11 + b22 * b22 + b33 * b33 + 2 * (m12 * m12 + m13 * m13 + m23 * m23)) / 6);
    const double det = b11 * (b22 * b33 - m23 * m23) - m12 * (m12 * b33 - m23 * m13) + m13 * (m12 * m23 - b22 * m13);
    const double x = det * std::pow(1 / h, 3.0) * 0.5;
    double phi;
    if (x <= -1)
        phi = 1.0471975511965976;
    else if (x >= 1)
        phi = 0;
    else
        phi = std::acos(x) / 3;
    const double lambda = q + 2 * h * std::cos(phi + 2.0943951023931953);

    // The cross product of the first two rows of M - lambda I is orthogonal
    // to both, hence along the eigenvector of lambda.
    const double nx = m12 * m23 - m13 * (m22 - lambda);
    const double ny = m13 * m12 - (m11 - lambda) * m23;
    const double nz = (m11 - lambda) * (m22 - lambda) - m12 * m12;
    const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (length == 0) return cl::Vector3D<double>(0, 0, 1);
    return cl::Vector3D<double>(nx / length, ny / length, nz / length);
}

namespace {

// The occupied cells of points given by position (`pointAt(k)` for k < n).
template <typename PointAt>
int countOccupiedCells(std::size_t n, double r, PointAt pointAt)
{
    double lo[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
    double hi[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    for (std::size_t k = 0; k < n; ++k) {
        const cl::Point3D<double>& p = pointAt(k);
        for (int a = 0; a < 3; ++a) {
            const double v = p[a];
            if (v < lo[a]) lo[a] = v;
            if (v > hi[a]) hi[a] = v;
        }
    }
    // Grid sizes and cell numbers stay in double: a few points far from the
    // rest make grids of more cells than an int can number, yet the count of
    // distinct occupied cells never exceeds the number of points.
    double last[3];
    for (int a = 0; a < 3; ++a) {
        last[a] = lo[a] > hi[a] ? 0.0 : std::trunc((hi[a] - lo[a]) / r + 1.0) - 1.0;
        if (!(last[a] > 0.0)) last[a] = 0.0;
    }

    auto cellOf = [&](const cl::Point3D<double>& p, int a) {
        double c = std::trunc((p[a] - lo[a]) / r);
        if (!(c > 0.0)) c = 0.0;
        if (c > last[a]) c = last[a];
        return c;
    };
    // Grids of up to 2^21 cells a side number their cells in one word.
    constexpr double kSide = 2097152.0;
    if (last[0] < kSide && last[1] < kSide && last[2] < kSide) {
        std::vector<std::uint64_t> cells(n);
        for (std::size_t k = 0; k < n; ++k) {
            const cl::Point3D<double>& p = pointAt(k);
            cells[k] = static_cast<std::uint64_t>(cellOf(p, 2)) << 42 | static_cast<std::uint64_t>(cellOf(p, 1)) << 21 |
                       static_cast<std::uint64_t>(cellOf(p, 0));
        }
        std::sort(cells.begin(), cells.end());
        return static_cast<int>(std::unique(cells.begin(), cells.end()) - cells.begin());
    }
    std::vector<std::array<double, 3>> cells(n);
    for (std::size_t k = 0; k < n; ++k) {
        const cl::Point3D<double>& p = pointAt(k);
        for (int a = 0; a < 3; ++a) cells[k][static_cast<std::size_t>(a)] = cellOf(p, a);
    }
    std::sort(cells.begin(), cells.end());
    return static_cast<int>(std::unique(cells.begin(), cells.end()) - cells.begin());
}

}  // namespace

int countOccupiedVoxels(const cl::Array<cl::tag_PointWithNormal>& points, double r)
{
    return countOccupiedCells(points.size(), r, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k].point; });
}

double supervoxelDistance(const cl::tag_PointWithNormal& a, const cl::tag_PointWithNormal& b, double r)
{
    const double dot = a.normal.x * b.normal.x + a.normal.y * b.normal.y + a.normal.z * b.normal.z;
    const double dx = a.point.x - b.point.x;
    const double dy = a.point.y - b.point.y;
    const double dz = a.point.z - b.point.z;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    return 1 - std::fabs(dot) + length / r * 0.4;
}

namespace {

// Points per task of the per-point loops: enough to outweigh handing a task over.
constexpr std::size_t kPointGrain = 1024;

// What the fusion reads of a point when it weighs the cluster the point
// leads, in one cache line: the coordinates and normal for the distance, and
// what lets a walk that can only reject skip its list. No walk changes it.
struct alignas(64) FusionPoint {
    double x, y, z;
    double nx, ny, nz;
    float nearest;       // at most the distance to its nearest own neighbour
    std::uint8_t inert;  // normal not a number: every distance to it is not a number
};
static_assert(sizeof(FusionPoint) == 64, "a fusion point fills one cache line");

// A cluster as the walks change it: every point's union-find link, and at a
// root the cluster's size and work list. Kept apart from the points so that
// all a pass changes is copied in one piece; the size sits where the root
// search read its last link.
//
// A work list holds clusters, and reading it yields their current roots. A
// cluster is as well named by any of its points as by the root it had when
// it was listed, so the entries that a point's walk kept from its own
// neighbour list are kept as bits over that list (its first neighbour that
// led to each) instead of being copied out; only the entries that came from
// fused clusters go to the tail buffer. The first pass, which rejects most
// of what it meets, thus copies almost nothing.
struct Cluster {
    int parent;
    int size;
    int tail;               // the explicit rest of the work list, in the tail buffer; -1: none yet
    std::uint16_t ownMask;  // bit k: neighbour k of the point's own list is listed, in bit order, before the tail
};

// The same arithmetic as supervoxelDistance.
inline double pointDistance(const FusionPoint& a, const FusionPoint& b, double r)
{
    const double dot = a.nx * b.nx + a.ny * b.ny + a.nz * b.nz;
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    const double dz = a.z - b.z;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    return 1 - std::fabs(dot) + length / r * 0.4;
}

// Union-find root with path halving.
inline int findRoot(Cluster* c, int x)
{
    while (c[x].parent != x) {
        const int grand = c[c[x].parent].parent;
        c[x].parent = grand;
        x = grand;
    }
    return x;
}

// The same root without shortening the path, so that many threads can ask.
inline int rootOf(const Cluster* c, int x)
{
    while (c[x].parent != x) x = c[x].parent;
    return x;
}

// The explicit parts of the work lists in one buffer: a replaced list is
// written over its previous place when it fits there and appended otherwise;
// the buffer is compacted when dead space dominates.
struct TailBuffer {
    struct Tail {
        int start;
        int length;
        int room;
    };
    std::vector<int> items;
    std::vector<Tail> tails;
    std::size_t live = 0;  // entries of the current tails
    std::vector<int> packed;

    void reset()
    {
        items.clear();
        tails.clear();
        live = 0;
    }

    void copyFrom(const TailBuffer& other)
    {
        items = other.items;
        tails = other.tails;
        live = other.live;
    }

    int length(const Cluster& c) const { return c.tail < 0 ? 0 : tails[static_cast<std::size_t>(c.tail)].length; }
    const int* begin(const Cluster& c) const { return items.data() + tails[static_cast<std::size_t>(c.tail)].start; }

    void assign(Cluster& c, const int* list, std::size_t size)
    {
        if (c.tail < 0) {
            if (size == 0) return;
            c.tail = static_cast<int>(tails.size());
            tails.push_back(Tail{0, 0, 0});
        }
        Tail& t = tails[static_cast<std::size_t>(c.tail)];
        const int count = static_cast<int>(size);
        live += size;
        live -= static_cast<std::size_t>(t.length);
        if (count > t.room) {
            t.start = static_cast<int>(items.size());
            t.room = count;
            items.insert(items.end(), list, list + size);
        } else {
            std::copy(list, list + size, items.begin() + t.start);
        }
        t.length = count;
    }

    void clear(const Cluster& c)
    {
        if (c.tail < 0) return;
        Tail& t = tails[static_cast<std::size_t>(c.tail)];
        live -= static_cast<std::size_t>(t.length);
        t.length = 0;
    }

    void compactIfSparse()
    {
        if (items.size() <= 2 * live + 4096) return;
        packed.clear();
        for (Tail& t : tails) {
            const int at = static_cast<int>(packed.size());
            packed.insert(packed.end(), items.begin() + t.start, items.begin() + t.start + t.length);
            t.start = at;
            t.room = t.length;
        }
        items.swap(packed);
    }
};

// All that walks change, and their scratch: the fusion's own, and a copy per
// speculative piece of a pass.
struct WalkState {
    std::vector<Cluster> clusters;
    TailBuffer tails;
    int count = 0;  // number of clusters

    std::vector<std::uint8_t> visited;  // marks of the current walk
    // The clusters the current walk met, for those met through the walker's
    // own neighbour list the bit that led there, the rejected ones met
    // otherwise, and the ones fused, in order.
    std::vector<int> candidates;
    std::vector<std::uint8_t> ownBit;
    std::size_t candidateCount = 0;
    std::vector<int> rejected;
    std::vector<int> fused;
};

// A run of representatives walked speculatively, on a copy of the state at
// the pass's start, and what each walk did there: the clusters it met (the
// walker first), those it fused, and the walker's size and work list after.
// A walk that met no cluster the true walks have changed meanwhile does the
// same in truth, so its outcome can be written over without walking.
struct Guess {
    struct Walk {
        std::size_t rep;   // position in the representatives
        bool keptOwn;      // only its own list's marks changed
        bool stopped;      // reached the target in the copy
        std::uint16_t ownMask;
        int size;
        std::size_t metEnd, fusedEnd, rejectedEnd;  // ends of its slices
    };
    WalkState state;
    std::size_t begin = 0, end = 0;  // the representatives of the piece
    std::size_t reached = 0;         // end of those the copy went through
    std::vector<Walk> walks;
    std::vector<int> met, fused, rejected;
};

// What the fusion and the boundary refinement of one call work on.
struct Fusion {
    std::vector<FusionPoint> points;  // filled with coordinates and normals by the caller
    const int* neighbours = nullptr;  // kNeighbourCount per point
    std::size_t n = 0;
    double r = 0.0;
    int target = 0;  // wanted number of clusters

    std::vector<std::uint8_t> valid;  // valid entries of each neighbour list (missing ones trail)
    std::vector<int> reps;            // the cluster roots, ascending
    std::vector<double> dist;  // per point: to its nearest neighbour, later to its supervoxel's representative
    double lambda = 0.0;       // the cost bound of a fusion
    WalkState state;

    // Speculation: the pieces of a pass after the first, the clusters the
    // true walks changed in the pass (marks and list), and whether it still
    // pays in this call.
    std::vector<Guess> guesses;
    std::vector<std::uint8_t> changed;
    std::vector<int> changedList;
    bool speculate = true;
};

inline const int* neighbourList(const Fusion& f, std::size_t i) { return f.neighbours + i * kNeighbourCount; }

// The largest float not above v.
inline float lowerFloat(double v)
{
    const float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -HUGE_VALF) : f;
}

// Every point its own cluster, whose work list is its neighbour list; lambda
// from the median distance of a point to its nearest neighbour.
void initialiseFusion(Fusion& f, const int* neighbours, int target, double r)
{
    f.neighbours = neighbours;
    f.n = f.points.size();
    f.r = r;
    f.target = target;
    const std::size_t n = f.n;
    FusionPoint* pts = f.points.data();
    WalkState& s = f.state;

    cl::resizeOnLargePages(f.valid, n);
    cl::resizeOnLargePages(f.reps, n);
    cl::resizeOnLargePages(s.clusters, n);
    s.visited.assign(n, 0);
    cl::reserveOnLargePages(f.dist, n);
    f.dist.assign(n, DBL_MAX);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        const int* list = neighbourList(f, i);
        int c = 0;
        while (c < kNeighbourCount && list[c] >= 0) ++c;
        f.valid[i] = static_cast<std::uint8_t>(c);
        s.clusters[i] = Cluster{static_cast<int>(i), 1, -1, static_cast<std::uint16_t>((1u << c) - 1)};
        f.reps[i] = static_cast<int>(i);
        FusionPoint& p = pts[i];
        p.inert = std::isnan(p.nx) ? 1 : 0;
        for (int k = 0; k < c; ++k) {
            const int j = list[k];
            if (j == static_cast<int>(i)) continue;
            const double d = pointDistance(p, pts[j], r);
            // min(dist, d): a distance that is not a number never replaces.
            if (d < f.dist[i]) f.dist[i] = d;
        }
        p.nearest = lowerFloat(f.dist[i]);
    });
    s.count = static_cast<int>(n);
    s.tails.reset();
    // The selection may reorder `dist`: it is computed afresh before its
    // next use.
    std::nth_element(f.dist.begin(), f.dist.begin() + static_cast<std::ptrdiff_t>(n / 2), f.dist.end());
    f.lambda = std::max(f.dist[n / 2], 2.220446049250313e-16);
}

// Room for `more` candidates.
inline void reserveCandidates(WalkState& s, std::size_t more)
{
    const std::size_t needed = s.candidateCount + more;
    if (s.candidates.size() < needed) {
        s.candidates.resize(2 * needed);
        s.ownBit.resize(2 * needed);
    }
}

// The walk's candidate list while clusters are appended to it, by raw
// pointers: the byte stores of a meeting may alias anything and would
// otherwise make every vector reload its buffer.
struct Meeting {
    Cluster* clusters;
    const FusionPoint* points;
    int* candidates;
    std::uint8_t* ownBit;
    std::uint8_t* visited;
    std::size_t met;
};

// A meeting of up to `more` clusters; endMeeting keeps its candidates.
inline Meeting startMeeting(const Fusion& f, WalkState& s, std::size_t more)
{
    reserveCandidates(s, more);
    return Meeting{s.clusters.data(), f.points.data(), s.candidates.data(), s.ownBit.data(), s.visited.data(),
                   s.candidateCount};
}

inline void endMeeting(WalkState& s, const Meeting& m) { s.candidateCount = m.met; }

// Appends the cluster of point x to the walk's candidates unless the walk
// met it already; `bit` says which own neighbour of the walker led there.
inline void meet(Meeting& m, int x, std::uint8_t bit)
{
    const int root = findRoot(m.clusters, x);
    // The walk weighs the cluster soon: its record is fetched now.
    __builtin_prefetch(&m.points[root]);
    // Written unconditionally, kept only when new: no branch to mispredict.
    m.candidates[m.met] = root;
    m.ownBit[m.met] = bit;
    m.met += m.visited[root] ^ 1;
    m.visited[root] = 1;
}

// The clusters named by the owner's own neighbours that the walk has not met.
void collectOwn(const Fusion& f, WalkState& s, int owner)
{
    const unsigned mask = s.clusters[static_cast<std::size_t>(owner)].ownMask;
    const int* own = neighbourList(f, static_cast<std::size_t>(owner));
    Meeting m = startMeeting(f, s, kNeighbourCount);
    for (unsigned bits = mask; bits != 0; bits &= bits - 1) {
        const int k = __builtin_ctz(bits);
        meet(m, own[k], static_cast<std::uint8_t>(k));
    }
    endMeeting(s, m);
}

// The clusters of the owner's tail that the walk has not met.
void collectTail(const Fusion& f, WalkState& s, int owner)
{
    const Cluster& c = s.clusters[static_cast<std::size_t>(owner)];
    const int length = s.tails.length(c);
    if (length == 0) return;
    Meeting m = startMeeting(f, s, static_cast<std::size_t>(length));
    const int* tail = s.tails.begin(c);
    for (int t = 0; t < length; ++t) meet(m, tail[t], 0);
    endMeeting(s, m);
}

// Whether the walk from i can only reject: it has no tail, every cluster its
// own neighbours name is that neighbour alone or led by it, and its nearest
// neighbour is too far for lambda -- so is every other, at any size. The
// walk's outcome is then i's own list less itself, which this leaves.
bool rejectsAllOwn(const Fusion& f, WalkState& s, int i)
{
    Cluster& ci = s.clusters[static_cast<std::size_t>(i)];
    if (f.lambda - static_cast<double>(f.points[static_cast<std::size_t>(i)].nearest) > 0 || s.tails.length(ci) != 0)
        return false;
    const int* own = neighbourList(f, static_cast<std::size_t>(i));
    unsigned self = 0;
    for (unsigned m = ci.ownMask; m != 0; m &= m - 1) {
        const int k = __builtin_ctz(m);
        const int j = own[k];
        if (j == i)
            self |= 1u << k;
        else if (s.clusters[static_cast<std::size_t>(j)].parent != j)
            return false;
    }
    ci.ownMask = static_cast<std::uint16_t>(ci.ownMask & ~self);
    return true;
}

// The walk from representative i: every cluster met through the work lists
// whose cost stays under lambda is fused into i and its work list walked in
// turn; the others become i's new work list, in the order met. It stops
// right after the fusion that brings the clusters to the target number.
void walkFrom(const Fusion& f, WalkState& s, int i)
{
    const FusionPoint* pts = f.points.data();
    Cluster* cs = s.clusters.data();
    const FusionPoint& pi = pts[i];
    s.visited[static_cast<std::size_t>(i)] = 1;
    reserveCandidates(s, 1);
    s.candidates[0] = i;
    s.candidateCount = 1;
    collectOwn(f, s, i);
    // The clusters met through i's own neighbours come first and stay bits.
    const std::size_t ownEnd = s.candidateCount;
    collectTail(f, s, i);
    unsigned keptBits = 0;
    s.rejected.clear();
    s.fused.clear();
    for (std::size_t c = 1; c < s.candidateCount; ++c) {
        const int j = s.candidates[c];
        Cluster& cj = cs[j];
        const double d = pointDistance(pi, pts[j], f.r);
        if (f.lambda - static_cast<double>(cj.size) * d > 0) {
            cj.parent = i;
            cs[i].size += cj.size;
            collectOwn(f, s, j);
            collectTail(f, s, j);
            cj.ownMask = 0;
            s.tails.clear(cj);
            s.fused.push_back(j);
            --s.count;
            if (s.count == f.target) break;
        } else if (c < ownEnd) {
            keptBits |= 1u << s.ownBit[c];
        } else {
            s.rejected.push_back(j);
        }
    }
    cs[i].ownMask = static_cast<std::uint16_t>(keptBits);
    s.tails.assign(cs[i], s.rejected.data(), s.rejected.size());
    for (std::size_t c = 0; c < s.candidateCount; ++c) s.visited[static_cast<std::size_t>(s.candidates[c])] = 0;
}

// What a representative's turn in a pass did.
enum class Turn : std::uint8_t { idle, inert, keptOwn, walked };

Turn takeTurn(const Fusion& f, WalkState& s, int i)
{
    const Cluster& c = s.clusters[static_cast<std::size_t>(i)];
    if (c.ownMask == 0 && s.tails.length(c) == 0) return Turn::idle;
    // A root whose normal is not a number can neither fuse nor be fused
    // (every distance to it is not a number): its walk would change nothing
    // but the end-of-walk target test, and such points can keep a run going
    // for all its passes.
    if (f.points[static_cast<std::size_t>(i)].inert) return Turn::inert;
    if (rejectsAllOwn(f, s, i)) return Turn::keptOwn;
    walkFrom(f, s, i);
    return Turn::walked;
}

// Whether the pass ends after this turn: the target is tested after every
// turn but those with nothing to walk.
inline bool endsPass(const Fusion& f, const WalkState& s, Turn turn) { return turn != Turn::idle && s.count == f.target; }

// The turns of the representatives [begin, end) in order. True when the
// pass ended.
bool takeTurns(Fusion& f, std::size_t begin, std::size_t end)
{
    for (std::size_t e = begin; e < end; ++e)
        if (endsPass(f, f.state, takeTurn(f, f.state, f.reps[e]))) return true;
    return false;
}

// Marks cluster x as changed by a true walk of the pass.
inline void markChanged(Fusion& f, int x)
{
    if (f.changed[static_cast<std::size_t>(x)]) return;
    f.changed[static_cast<std::size_t>(x)] = 1;
    f.changedList.push_back(x);
}

// A true turn, its changes marked. True when the pass ended.
bool takeMarkedTurn(Fusion& f, int i)
{
    const Turn turn = takeTurn(f, f.state, i);
    if (turn == Turn::keptOwn || turn == Turn::walked) markChanged(f, i);
    if (turn == Turn::walked)
        for (int j : f.state.fused) markChanged(f, j);
    return endsPass(f, f.state, turn);
}

// The walks of a piece on its copy, each noted with what it met and did.
// Turns with nothing to walk are not noted: in truth too they change nothing,
// unless a true walk changed their representative.
void guessPiece(const Fusion& f, Guess& g)
{
    WalkState& s = g.state;
    g.walks.clear();
    g.met.clear();
    g.fused.clear();
    g.rejected.clear();
    g.reached = g.end;
    for (std::size_t e = g.begin; e < g.end; ++e) {
        const int i = f.reps[e];
        const unsigned mask = s.clusters[static_cast<std::size_t>(i)].ownMask;
        const Turn turn = takeTurn(f, s, i);
        if (turn == Turn::idle || turn == Turn::inert) continue;
        if (turn == Turn::keptOwn) {
            // It read whether each cluster its own list names is a root.
            const int* own = neighbourList(f, static_cast<std::size_t>(i));
            g.met.push_back(i);
            for (unsigned m = mask; m != 0; m &= m - 1) g.met.push_back(own[__builtin_ctz(m)]);
        } else {
            g.met.insert(g.met.end(), s.candidates.begin(), s.candidates.begin() + static_cast<std::ptrdiff_t>(s.candidateCount));
            g.fused.insert(g.fused.end(), s.fused.begin(), s.fused.end());
            g.rejected.insert(g.rejected.end(), s.rejected.begin(), s.rejected.end());
        }
        const Cluster& c = s.clusters[static_cast<std::size_t>(i)];
        const bool stopped = s.count == f.target;
        g.walks.push_back(Guess::Walk{e, turn == Turn::keptOwn, stopped, c.ownMask, c.size, g.met.size(), g.fused.size(),
                                      g.rejected.size()});
        if (stopped) {
            g.reached = e + 1;
            return;
        }
    }
}

// Writes the outcome of a speculative walk into the fusion's state. True
// when the pass ended: then only the links made so far count.
bool applyWalk(Fusion& f, const Guess& g, const Guess::Walk& w, std::size_t fusedBegin, std::size_t rejectedBegin)
{
    WalkState& s = f.state;
    Cluster* cs = s.clusters.data();
    const int i = f.reps[w.rep];
    for (std::size_t k = fusedBegin; k < w.fusedEnd; ++k) {
        Cluster& cj = cs[g.fused[k]];
        cj.parent = i;
        cj.ownMask = 0;
        s.tails.clear(cj);
        --s.count;
        if (s.count == f.target) return true;
    }
    cs[i].size = w.size;
    cs[i].ownMask = w.ownMask;
    if (!w.keptOwn) s.tails.assign(cs[i], g.rejected.data() + rejectedBegin, w.rejectedEnd - rejectedBegin);
    return false;
}

// A guessed walk that met changed clusters, walked again in truth. When it
// did what the guess did, from a walker and fused clusters no true walk had
// changed, the piece's copy and the truth still agree on every cluster it
// touched, which then joins `written`; otherwise whatever it touched in
// either counts as changed. True when the pass ended.
bool walkAgain(Fusion& f, const Guess& g, const Guess::Walk& w, std::size_t fusedBegin, std::size_t rejectedBegin,
               std::vector<int>& written)
{
    const int i = f.reps[w.rep];
    const auto guessedFused = g.fused.begin() + static_cast<std::ptrdiff_t>(fusedBegin);
    const auto guessedFusedEnd = g.fused.begin() + static_cast<std::ptrdiff_t>(w.fusedEnd);
    bool agreed = !w.stopped && !f.changed[static_cast<std::size_t>(i)];
    for (auto j = guessedFused; agreed && j != guessedFusedEnd; ++j) agreed = !f.changed[static_cast<std::size_t>(*j)];

    WalkState& s = f.state;
    const Turn turn = takeTurn(f, s, i);
    if (endsPass(f, s, turn)) return true;
    const Cluster& c = s.clusters[static_cast<std::size_t>(i)];
    agreed = agreed && c.size == w.size && c.ownMask == w.ownMask;
    if (turn == Turn::keptOwn) {
        agreed = agreed && w.keptOwn;
    } else {
        agreed = agreed && turn == Turn::walked && !w.keptOwn && std::equal(s.fused.begin(), s.fused.end(), guessedFused, guessedFusedEnd) &&
                 std::equal(s.rejected.begin(), s.rejected.end(), g.rejected.begin() + static_cast<std::ptrdiff_t>(rejectedBegin),
                            g.rejected.begin() + static_cast<std::ptrdiff_t>(w.rejectedEnd));
    }
    if (agreed) {
        written.push_back(i);
        written.insert(written.end(), guessedFused, guessedFusedEnd);
        return false;
    }
    markChanged(f, i);
    for (auto j = guessedFused; j != guessedFusedEnd; ++j) markChanged(f, *j);
    if (turn == Turn::walked)
        for (int j : s.fused) markChanged(f, j);
    return false;
}

// The piece's turns made true, in order: a guessed walk that met no cluster a
// true walk of the pass changed is written over, the others are walked again.
// Returns how many were walked again, or -1 when the pass ended.
long settlePiece(Fusion& f, const Guess& g)
{
    long again = 0;
    // Outcomes written over, or walked again alike, change the truth as they
    // changed the copy: the piece's later guesses saw that, later pieces did
    // not.
    std::vector<int> written;
    std::size_t next = 0, metBegin = 0, fusedBegin = 0, rejectedBegin = 0;
    for (std::size_t e = g.begin; e < g.end; ++e) {
        const int i = f.reps[e];
        if (next == g.walks.size() || g.walks[next].rep != e) {
            // Unguessed: idle in the copy, which the truth is too unless a
            // true walk changed the representative, or beyond the copy's end.
            if (e < g.reached && !f.changed[static_cast<std::size_t>(i)]) continue;
            ++again;
            if (takeMarkedTurn(f, i)) return -1;
            continue;
        }
        const Guess::Walk& w = g.walks[next++];
        bool redo = w.stopped;
        for (std::size_t k = metBegin; !redo && k < w.metEnd; ++k) redo = f.changed[static_cast<std::size_t>(g.met[k])];
        if (redo) {
            ++again;
            if (walkAgain(f, g, w, fusedBegin, rejectedBegin, written)) return -1;
        } else {
            if (applyWalk(f, g, w, fusedBegin, rejectedBegin)) return -1;
            written.push_back(i);
            written.insert(written.end(), g.fused.begin() + static_cast<std::ptrdiff_t>(fusedBegin),
                           g.fused.begin() + static_cast<std::ptrdiff_t>(w.fusedEnd));
        }
        metBegin = w.metEnd;
        fusedBegin = w.fusedEnd;
        rejectedBegin = w.rejectedEnd;
    }
    for (int x : written) markChanged(f, x);
    return again;
}

// When a piece ran, and how much processor time it had meanwhile: to tell
// whether pieces meant to run at once had a core each.
struct Span {
    std::chrono::steady_clock::time_point start, end;
    double cpuStart = 0.0, cpu = 0.0;
};

inline double threadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline Span startSpan()
{
    Span span;
    span.cpuStart = threadSeconds();
    span.start = std::chrono::steady_clock::now();
    return span;
}

inline void endSpan(Span& span)
{
    span.end = std::chrono::steady_clock::now();
    span.cpu = threadSeconds() - span.cpuStart;
}

// Whether two pieces meant to run at once were crowded: one after the other,
// or sharing a core with other work. Guessing then only adds work. Spans too
// short to judge, where a waking thread's delay would dominate, pass.
bool crowded(const Span& a, const Span& b)
{
    const auto shorter = std::min(a.end - a.start, b.end - b.start);
    if (shorter < std::chrono::microseconds(500)) return false;
    const auto overlap = std::min(a.end, b.end) - std::max(a.start, b.start);
    if (overlap * 2 < shorter) return true;
    for (const Span* span : {&a, &b}) {
        const double wall = std::chrono::duration<double>(span->end - span->start).count();
        if (span->cpu < 0.75 * wall) return true;
    }
    return false;
}

// Pieces a pass is cut into for speculation, at most: each costs a copy of
// the state, and every boundary between pieces conflicts.
constexpr std::size_t kMaxPieces = 4;
// Representatives per piece, at least: fewer walks do not repay the copy.
constexpr std::size_t kPieceMinReps = 256;

// The number of pieces worth cutting the coming pass into; 1 for none.
std::size_t piecesFor(const Fusion& f)
{
    const std::size_t threads = static_cast<std::size_t>(poolThreads());
    // With the target where the pass starts, the first turn ends it whatever
    // it does; the checks below count on the target being reached only by
    // a fusion.
    if (threads < 2 || !f.speculate || f.state.count == f.target) return 1;
    const std::size_t reps = f.reps.size();
    // The copy is of every point's record: passes of few walks over many
    // points are left whole.
    if (reps * 16 < f.n) return 1;
    return std::max<std::size_t>(1, std::min({threads, kMaxPieces, reps / kPieceMinReps}));
}

// One pass over the representatives, cut into pieces: the first walks the
// fusion's state, the others their own copy of it, all at once; the others'
// walks are then made true in order (settlePiece). The outcome is that of the
// walks one after another.
void speculativePass(Fusion& f, std::size_t pieces)
{
    const std::size_t repCount = f.reps.size();
    f.guesses.resize(pieces - 1);
    if (f.changed.size() != f.n) f.changed.assign(f.n, 0);
    parallelFor(pieces - 1, 1, [&](std::size_t p) {
        Guess& g = f.guesses[p];
        g.begin = repCount * (p + 1) / pieces;
        g.end = repCount * (p + 2) / pieces;
        g.state.clusters = f.state.clusters;
        g.state.tails.copyFrom(f.state.tails);
        g.state.count = f.state.count;
        if (g.state.visited.size() != f.n) g.state.visited.assign(f.n, 0);
    });
    bool ended = false;
    Span spans[2];
    parallelFor(pieces, 1, [&](std::size_t p) {
        Span span = startSpan();
        if (p > 0) {
            guessPiece(f, f.guesses[p - 1]);
        } else {
            for (std::size_t e = 0; !ended && e < f.guesses[0].begin; ++e) ended = takeMarkedTurn(f, f.reps[e]);
        }
        endSpan(span);
        if (p < 2) spans[p] = span;
    });
    long again = 0;
    std::size_t guessed = 0;
    for (std::size_t p = 0; !ended && p < f.guesses.size(); ++p) {
        const long settled = settlePiece(f, f.guesses[p]);
        ended = settled < 0;
        again += settled;
        guessed += f.guesses[p].walks.size();
    }
    for (int x : f.changedList) f.changed[static_cast<std::size_t>(x)] = 0;
    f.changedList.clear();
    // Walks of a cloud whose point order is not local meet the other pieces'
    // clusters all the time: then, as when the pieces could not run at once,
    // the rest of the call goes one walk at a time.
    if (!ended && static_cast<std::size_t>(again) * 2 > guessed) f.speculate = false;
    if (crowded(spans[0], spans[1])) f.speculate = false;
}

// Passes over the representatives, lambda doubling from pass to pass, until
// the clusters number the target, one is left, or 1002 passes have run.
void fuse(Fusion& f)
{
    WalkState& s = f.state;
    for (int pass = 0;; ++pass) {
        const std::size_t pieces = piecesFor(f);
        if (pieces > 1)
            speculativePass(f, pieces);
        else
            takeTurns(f, 0, f.reps.size());

        std::size_t kept = 0;
        for (std::size_t e = 0; e < f.reps.size(); ++e)
            if (s.clusters[static_cast<std::size_t>(f.reps[e])].parent == f.reps[e]) f.reps[kept++] = f.reps[e];
        f.reps.resize(kept);
        s.count = static_cast<int>(kept);
        s.tails.compactIfSparse();

        if (s.count == f.target) break;
        if (pass > 1000) break;
        f.lambda = 2 * f.lambda;
        if (!(s.count > 1)) break;
    }
}

// A FIFO of point indices in which a point is queued at most once at a time,
// so that a ring of n slots holds it.
struct PointQueue {
    std::vector<int> ring;
    std::vector<char> queued;
    std::size_t head = 0;
    std::size_t size = 0;
};

void resetQueue(PointQueue& q, std::size_t n)
{
    cl::resizeOnLargePages(q.ring, n);
    q.queued.assign(n, 0);
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

// Hands put(p) every point of [begin, end) with a neighbour of another
// label, and then that neighbour, in point order.
template <typename Put>
void scanBoundary(const Fusion& f, const cl::Array<int>& labels, std::size_t begin, std::size_t end, Put put)
{
    for (std::size_t i = begin; i < end; ++i) {
        const int* list = neighbourList(f, i);
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
}

// Queues the boundary points. On more threads the blocks are scanned
// concurrently, each noting what it would queue; queued in block order, the
// notes give the queue one scan gives, since nothing leaves it meanwhile.
void queueBoundaryPoints(const Fusion& f, const cl::Array<int>& labels, PointQueue& queue)
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

// What a point's turn in the refinement decides from the labels around it:
// the supervoxel of a neighbour whose representative is strictly nearer than
// the point's own, the nearest such met in list order.
struct Move {
    int label;
    double dist;
    bool changed;
};

inline Move reconsider(const Fusion& f, const int* labels, std::size_t i, int label, double dist)
{
    const FusionPoint* pts = f.points.data();
    const int* list = neighbourList(f, i);
    Move m{label, dist, false};
    // A supervoxel already tried for this point cannot win again: the
    // distance is the same and the point's own has only come down since.
    int tried[kNeighbourCount];
    int triedCount = 0;
    for (int k = 0; k < f.valid[i]; ++k) {
        const int lj = labels[static_cast<std::size_t>(list[k])];
        if (lj == m.label) continue;
        bool seen = false;
        for (int t = 0; t < triedCount; ++t) seen |= tried[t] == lj;
        if (seen) continue;
        tried[triedCount++] = lj;
        const double d = pointDistance(pts[i], pts[lj], f.r);
        if (m.dist > d) {
            m.label = lj;
            m.dist = d;
            m.changed = true;
        }
    }
    return m;
}

// The next point of the queue takes its turn: it moves if a neighbouring
// supervoxel is nearer, and then its neighbours of other supervoxels are
// revisited. Returns the point.
std::size_t refineTurn(Fusion& f, cl::Array<int>& labels, PointQueue& queue)
{
    const std::size_t i = dequeue(queue);
    const Move m = reconsider(f, labels.data(), i, labels[i], f.dist[i]);
    if (!m.changed) return i;
    labels[i] = m.label;
    f.dist[i] = m.dist;
    const int* list = neighbourList(f, i);
    for (int k = 0; k < f.valid[i]; ++k)
        if (labels[static_cast<std::size_t>(list[k])] != m.label) enqueue(queue, list[k]);
    return i;
}

// The second half of a round guessed on a copy of the labels: each point's
// move and the neighbours it would queue.
struct RoundGuess {
    std::vector<int> labels;
    std::vector<Move> moves;
    std::vector<int> queued;
    std::vector<std::size_t> queuedEnd;
};

// Rounds of the refinement with at least this many points are split in two.
constexpr std::size_t kRoundMinPoints = 1024;

// One round of the queue -- the points in it when the round starts, each
// queued once -- in two halves at once: the first takes its turns, the
// second guesses them on a copy of the labels as they were. A point of the
// first half changes no other point of the round, so a guess whose
// neighbours' labels no earlier turn of the round changed otherwise than the
// copy saw is the turn; its move is written and its neighbours are queued,
// in order. The others take their turn again, and count as changed when the
// turn moved them otherwise than the guess.
// Returns false when the halves were crowded.
bool splitRound(Fusion& f, cl::Array<int>& labels, PointQueue& queue, std::size_t roundSize, RoundGuess& g)
{
    const std::size_t n = f.n;
    if (f.changed.size() != n) f.changed.assign(n, 0);
    const std::size_t half = roundSize / 2;
    const std::size_t head = queue.head;
    g.labels.assign(labels.begin(), labels.end());
    Span spans[2];
    parallelFor(2, 1, [&](std::size_t piece) {
        spans[piece] = startSpan();
        if (piece == 0) {
            for (std::size_t r = 0; r < half; ++r) {
                const std::size_t i = queue.ring[queue.head];
                const int before = labels[i];
                refineTurn(f, labels, queue);
                if (labels[i] != before) markChanged(f, static_cast<int>(i));
            }
            endSpan(spans[piece]);
            return;
        }
        g.moves.clear();
        g.queued.clear();
        g.queuedEnd.clear();
        for (std::size_t r = half; r < roundSize; ++r) {
            const std::size_t slot = head + r;
            const std::size_t i = static_cast<std::size_t>(queue.ring[slot < n ? slot : slot - n]);
            const Move m = reconsider(f, g.labels.data(), i, g.labels[i], f.dist[i]);
            g.moves.push_back(m);
            if (m.changed) {
                g.labels[i] = m.label;
                const int* list = neighbourList(f, i);
                for (int k = 0; k < f.valid[i]; ++k)
                    if (g.labels[static_cast<std::size_t>(list[k])] != m.label) g.queued.push_back(list[k]);
            }
            g.queuedEnd.push_back(g.queued.size());
        }
        endSpan(spans[piece]);
    });
    std::size_t queuedBegin = 0;
    for (std::size_t r = 0; r < g.moves.size(); ++r) {
        const std::size_t i = static_cast<std::size_t>(queue.ring[queue.head]);
        const Move& m = g.moves[r];
        const int* list = neighbourList(f, i);
        bool agrees = true;
        for (int k = 0; agrees && k < f.valid[i]; ++k) agrees = !f.changed[static_cast<std::size_t>(list[k])];
        if (agrees) {
            dequeue(queue);
            if (m.changed) {
                labels[i] = m.label;
                f.dist[i] = m.dist;
            }
            for (std::size_t k = queuedBegin; k < g.queuedEnd[r]; ++k) enqueue(queue, g.queued[k]);
        } else {
            refineTurn(f, labels, queue);
            if (labels[i] != m.label) markChanged(f, static_cast<int>(i));
        }
        queuedBegin = g.queuedEnd[r];
    }
    for (int x : f.changedList) f.changed[static_cast<std::size_t>(x)] = 0;
    f.changedList.clear();
    return !crowded(spans[0], spans[1]);
}

// Labels every point with its cluster's root, then moves points across
// supervoxel boundaries: a point goes to a neighbouring supervoxel whose
// representative is strictly closer, and its neighbours are revisited.
void refineBoundaries(Fusion& f, cl::Array<int>& labels)
{
    const std::size_t n = f.n;
    FusionPoint* pts = f.points.data();
    cl::resizeOnLargePages(labels, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        labels[i] = rootOf(f.state.clusters.data(), static_cast<int>(i));
        f.dist[i] = pointDistance(pts[i], pts[labels[i]], f.r);
    });

    PointQueue queue;
    resetQueue(queue, n);
    queueBoundaryPoints(f, labels, queue);
    // The queue is worked through in rounds: the points queued while one
    // round takes its turns make the next.
    bool split = poolThreads() > 1;
    RoundGuess guess;
    while (queue.size > 0) {
        const std::size_t roundSize = queue.size;
        if (split && roundSize >= kRoundMinPoints && roundSize * 32 >= n) {
            split = splitRound(f, labels, queue, roundSize, guess);
            continue;
        }
        for (std::size_t r = 0; r < roundSize; ++r) refineTurn(f, labels, queue);
    }
}

// The representatives become the supervoxels, in point order, and every
// label the position of its representative.
void relabel(const Fusion& f, cl::Array<int>& labels, cl::Array<int>& supervoxels)
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
void mergePrepared(Fusion& f, const int* neighbours, int target, double r, cl::Array<int>& labels,
                   cl::Array<int>& supervoxels)
{
    labels.clear();
    supervoxels.clear();
    if (f.points.empty()) return;
    initialiseFusion(f, neighbours, target, r);
    if (f.n > 1) fuse(f);
    refineBoundaries(f, labels);
    relabel(f, labels, supervoxels);
}

void setPoint(FusionPoint& p, const cl::Point3D<double>& point, const cl::Vector3D<double>& normal)
{
    p.x = point.x;
    p.y = point.y;
    p.z = point.z;
    p.nx = normal.x;
    p.ny = normal.y;
    p.nz = normal.z;
}

}  // namespace

void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    Fusion fusion;
    fusion.points.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) setPoint(fusion.points[i], points[i].point, points[i].normal);
    mergePrepared(fusion, neighbours.data(), target, r, labels, supervoxels);
}

namespace {

// The neighbour lists of the tree's points not `known`, and with `separate`
// their separation marks. Searched in blocks of the tree's slots, a fresh
// search at the start of each: the blocks are the same for any number of
// threads, and so is every mark.
void searchNeighbourhoods(const cl::KDTree& tree, Neighbourhoods& hood, bool separate, const std::uint8_t* known)
{
    constexpr std::size_t kSlotBlock = 4096;
    const std::size_t n = tree.indices().size();
    parallelFor((n + kSlotBlock - 1) / kSlotBlock, 1, [&](std::size_t block) {
        tree.querySlots(block * kSlotBlock, (block + 1) * kSlotBlock, kNeighbourCount, hood.lists.data(),
                        separate ? hood.separated.data() : nullptr, known);
    });
}

}  // namespace

Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept)
{
    std::vector<int> renumbered(hoods.separated.size(), -1);
    for (std::size_t j = 0; j < kept.size(); ++j) renumbered[kept[j]] = static_cast<int>(j);
    Neighbourhoods next;
    cl::resizeOnLargePages(next.lists, kept.size() * kNeighbourCount);
    cl::resizeOnLargePages(next.normals, kept.size());
    cl::resizeOnLargePages(next.separated, kept.size());
    parallelFor(kept.size(), kPointGrain, [&](std::size_t j) {
        const std::size_t i = kept[j];
        bool whole = hoods.separated[i] != 0;
        for (std::size_t k = 0; whole && k < static_cast<std::size_t>(kNeighbourCount); ++k) {
            const int from = hoods.lists[i * kNeighbourCount + k];
            const int to = from >= 0 ? renumbered[static_cast<std::size_t>(from)] : -1;
            next.lists[j * kNeighbourCount + k] = to;
            whole = to >= 0;
        }
        next.separated[j] = whole ? 1 : 0;
        next.normals[j] = hoods.normals[i];
    });
    return next;
}

bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels, Neighbourhoods* carried)
{
    const std::size_t n = points.size();
    Neighbourhoods local;
    Neighbourhoods& hood = carried != nullptr ? *carried : local;
    const bool reuse = hood.separated.size() == n && hood.lists.size() == n * kNeighbourCount && hood.normals.size() == n;
    if (!reuse) {
        cl::resizeOnLargePages(hood.lists, n * kNeighbourCount);
        cl::resizeOnLargePages(hood.separated, n);
    }
    // Taken-over lists need no search and no normal.
    cl::Array<std::uint8_t> known;
    {
        cl::KDTree tree;
        tree.build(points);
        if (reuse) {
            const cl::Array<cl::Point3D<double>>& pts = tree.points();
            known.resize(n);
            parallelFor(n, kPointGrain, [&](std::size_t i) {
                known[i] = hood.separated[i] && tree.confirms(pts[i], hood.lists.data() + i * kNeighbourCount, kNeighbourCount);
            });
        }
        searchNeighbourhoods(tree, hood, carried != nullptr, reuse ? known.data() : nullptr);
        // The tree hands the points back and frees the rest before the
        // normals and the fusion take their room.
        tree.build(points);
    }
    const int target = countOccupiedCells(n, r, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k]; });

    // The fusion keeps each point's coordinates and normal in its own record;
    // the separate copies are released meanwhile and the normals made again
    // afterwards.
    Fusion fusion;
    cl::resizeOnLargePages(fusion.points, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        if (reuse && known[i]) {
            setPoint(fusion.points[i], points[i], hood.normals[i]);
            return;
        }
        const int* list = hood.lists.data() + i * kNeighbourCount;
        cl::Point3D<double> found[kNeighbourCount];
        std::size_t m = 0;
        for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found[m++] = points[static_cast<std::size_t>(list[k])];
        setPoint(fusion.points[i], points[i], estimateNormal(found, m));
    });
    cl::Array<std::uint8_t>().swap(known);
    cl::Array<cl::Point3D<double>>().swap(points);
    cl::Array<cl::Vector3D<double>>().swap(hood.normals);
    mergePrepared(fusion, hood.lists.data(), target, r, labels, supervoxels);
    if (carried != nullptr) {
        cl::resizeOnLargePages(hood.normals, n);
        for (std::size_t i = 0; i < n; ++i) {
            const FusionPoint& p = fusion.points[i];
            hood.normals[i] = cl::Vector3D<double>(p.nx, p.ny, p.nz);
        }
    }
    return true;
}

}  // namespace vela
