#include "supervoxel/clustering.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/neighbour_pieces.h"
#include "supervoxel/neighbour_grid.h"
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

// What the fusion reads of a cluster when it weighs it, in one cache line:
// the coordinates and normal of its root point for the distance, its size,
// and its work list; `nearest`, read once per walk by the walker only, is
// kept apart. The union-find links and the marks of a walk, which
// every entry of every list reads, are kept apart in compact arrays.
//
// A work list holds clusters, and reading it yields their current roots. A
// cluster is as well named by any of its points as by the root it had when
// it was listed, so the entries that a point's walk kept from its own
// neighbour list are kept as bits over that list (its first neighbour that
// led to each) instead of being copied out; only the entries that came from
// fused clusters go to the tail buffer. The first pass, which rejects most
// of what it meets, thus copies almost nothing.
struct alignas(64) FusionPoint {
    double x, y, z;
    double nx, ny, nz;
    int size;
    int tail;                // the explicit rest of the work list, in the tail buffer; -1: none yet
    std::uint16_t ownMask;   // bit k: neighbour k of the point's own list is listed, in bit order, before the tail
    std::uint8_t inert;      // normal not a number: every distance to it is not a number
};
static_assert(sizeof(FusionPoint) == 64, "a fusion point fills one cache line");

// The same for points whose coordinates are all floats, as a level's cloud
// gives them: widened back they are the same doubles, and the record takes
// three quarters of the room.
struct alignas(16) FloatFusionPoint {
    double nx, ny, nz;
    float x, y, z;
    int size;
    int tail;
    std::uint16_t ownMask;
    std::uint8_t inert;
};
static_assert(sizeof(FloatFusionPoint) == 48, "a float fusion point takes three quarters of a cache line");

// Whether every coordinate is a float widened: such points fuse on
// FloatFusionPoint records with the same results.
template <typename PointAt>
bool allFloatCoordinates(std::size_t n, PointAt pointAt)
{
    bool exact = true;
    for (std::size_t i = 0; i < n; ++i) {
        const cl::Point3D<double>& p = pointAt(i);
        exact &= static_cast<double>(static_cast<float>(p.x)) == p.x && static_cast<double>(static_cast<float>(p.y)) == p.y &&
                 static_cast<double>(static_cast<float>(p.z)) == p.z;
    }
    return exact;
}

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

// Neighbour lists in half the room, for the fusion and the refinement:
// each entry as its offset from the point in 16 bits. A list with an entry
// too far for that is kept whole in `far`; its first entry then holds the
// mark and the next two where it is. With `plain` the lists are read as
// they are instead.
//
// The offsets lie in the front half of room reserved for the whole lists,
// which are written out there in the end: the back half is never touched
// before, so it takes no memory while the lists are packed, and no second
// buffer is needed beside the packed one.
using Offset = std::int16_t __attribute__((may_alias));  // stored in room for ints
struct PackedLists {
    cl::Array<int> room;        // kNeighbourCount offsets per point in its front half
    std::vector<int> far;       // kNeighbourCount per far list
    const int* plain = nullptr; // kNeighbourCount per point

    void reserve(std::size_t n)
    {
        cl::reserveOnLargePages(room, n * kNeighbourCount);
        room.resize((n * kNeighbourCount + 1) / 2);
    }
    Offset* offsets(std::size_t i) { return reinterpret_cast<Offset*>(room.data()) + i * kNeighbourCount; }
    const Offset* offsets(std::size_t i) const
    {
        return reinterpret_cast<const Offset*>(room.data()) + i * kNeighbourCount;
    }
};

constexpr std::int16_t kFarList = INT16_MIN;
constexpr std::int16_t kNoNeighbour = INT16_MAX;  // stands for every entry below 0

// Writes list i to `out` as offsets; false when an entry not below 0 lies
// beyond their range, and `out` then holds nothing of use.
inline bool packList(const int* list, std::size_t i, Offset* out)
{
    bool fits = true;
    for (int k = 0; k < kNeighbourCount; ++k) {
        const long long d = static_cast<long long>(list[k]) - static_cast<long long>(i);
        fits &= list[k] < 0 || (d > kFarList && d < kNoNeighbour);
        out[k] = list[k] < 0 ? kNoNeighbour : static_cast<std::int16_t>(list[k] - static_cast<int>(i));
    }
    return fits;
}

// Marks a packed list as the far list numbered e.
inline void markFar(Offset* out, std::size_t e)
{
    out[0] = kFarList;
    out[1] = static_cast<std::int16_t>(static_cast<std::uint16_t>(e >> 16));
    out[2] = static_cast<std::int16_t>(static_cast<std::uint16_t>(e & 0xffff));
}

PackedLists packLists(const int* lists, std::size_t n)
{
    PackedLists packed;
    packed.reserve(n);
    // Every list is written as offsets and marked when it does not fit; the
    // far ones are then numbered in point order, the same on any number of
    // threads.
    std::vector<std::uint8_t> fits(n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        fits[i] = packList(lists + i * kNeighbourCount, i, packed.offsets(i)) ? 1 : 0;
    });
    for (std::size_t i = 0; i < n; ++i) {
        if (fits[i]) continue;
        markFar(packed.offsets(i), packed.far.size() / kNeighbourCount);
        packed.far.insert(packed.far.end(), lists + i * kNeighbourCount, lists + (i + 1) * kNeighbourCount);
    }
    return packed;
}

// The whole list a far mark stands for: its place in `far` follows the mark.
inline const int* farList(const PackedLists& packed, const Offset* in)
{
    const std::size_t e = static_cast<std::size_t>(static_cast<std::uint16_t>(in[1])) << 16 |
                          static_cast<std::uint16_t>(in[2]);
    return packed.far.data() + e * kNeighbourCount;
}

// Entry k of list i, for readers of a few entries.
inline int neighbourAt(const PackedLists& packed, std::size_t i, int k)
{
    if (packed.plain != nullptr) return packed.plain[i * kNeighbourCount + static_cast<std::size_t>(k)];
    const Offset* in = packed.offsets(i);
    if (in[0] == kFarList) return farList(packed, in)[k];
    return in[k] == kNoNeighbour ? -1 : static_cast<int>(i) + in[k];
}

// List i: in place when it is far, written out to `buffer` otherwise.
inline const int* unpackList(const PackedLists& packed, std::size_t i, int* buffer)
{
    if (packed.plain != nullptr) return packed.plain + i * kNeighbourCount;
    const Offset* in = packed.offsets(i);
    if (in[0] == kFarList) return farList(packed, in);
    for (int k = 0; k < kNeighbourCount; ++k) buffer[k] = in[k] == kNoNeighbour ? -1 : static_cast<int>(i) + in[k];
    return buffer;
}

// The lists written out whole over their packed form (every entry below 0
// as -1, as the search writes it). List i takes the room of the packed lists
// 2i and 2i + 1, so lists written from the last to the first overwrite only
// lists already written out. Past the first few, they go in rounds of the
// points [m, 2m), the last round first: a round reads below byte 60m of the
// room and writes above it, so its points are written out at the same time.
void writeOutInPlace(PackedLists& packed, std::size_t n)
{
    // Within the reserved room: the packed front half stays in place.
    packed.room.resize(n * kNeighbourCount);
    auto writeOut = [&packed](std::size_t i) {
        int buffer[kNeighbourCount];
        const int* list = unpackList(packed, i, buffer);
        std::copy(list, list + kNeighbourCount, packed.room.data() + i * kNeighbourCount);
    };
    constexpr std::size_t kFirstRound = 4096;
    const std::size_t first = std::min(n, kFirstRound);
    std::vector<std::size_t> rounds;
    for (std::size_t m = first; m < n; m *= 2) rounds.push_back(m);
    for (auto m = rounds.rbegin(); m != rounds.rend(); ++m) {
        const std::size_t end = std::min(n, 2 * *m);
        parallelFor(end - *m, kPointGrain, [&](std::size_t k) { writeOut(*m + k); });
    }
    for (std::size_t i = first; i-- > 0;) writeOut(i);
}

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

    cl::resizeOnLargePages(f.valid, n);
    cl::resizeOnLargePages(f.parent, n);
    cl::resizeOnLargePages(f.nearest, n);
    f.visited.assign(n, 0);
    cl::reserveOnLargePages(f.dist, n);
    f.dist.assign(n, DBL_MAX);
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
__attribute__((noinline)) detail::PieceGroups findPieces(const Fusion<Record>& f)
{
    detail::PieceLinks links;
    detail::resetPieceLinks(links, f.n);
    const std::size_t most = f.n / 4 * 3;
    for (std::size_t i = 0; i < f.n; ++i) {
        int buffer[kNeighbourCount];
        const int* list = neighbourList(f, i, buffer);
        int root = detail::pieceRoot(links, static_cast<int>(i));
        for (int k = 0; k < f.valid[i]; ++k) root = detail::joinRoot(links, root, list[k]);
        if (static_cast<std::size_t>(links.largest) > most) return detail::PieceGroups();
    }
    // Sized by the points alone, so that the groups are the same on any
    // number of threads.
    constexpr std::size_t kSmallestShare = 256;
    return detail::groupPieces(links, std::max(f.n / 32, kSmallestShare));
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
__attribute__((noinline)) void fuseInPieces(Fusion<Record>& f, const detail::PieceGroups& pieces)
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
        parallelFor(groups, 1, [&](std::size_t g) {
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
    cl::resizeOnLargePages(q.ring, slots);
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

// Moves the queued points across supervoxel boundaries until the queue is
// empty: a point goes to a neighbouring supervoxel whose representative is
// strictly closer, and its neighbours are revisited.
template <typename Record>
__attribute__((always_inline)) inline void drainQueue(const Fusion<Record>& f, cl::Array<int>& labels, PointQueue& queue)
{
    const Record* pts = f.points.data();
    while (queue.size > 0) {
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
                                              const detail::PieceGroups& pieces, char* queued)
{
    parallelFor(pieces.groups(), 1, [&](std::size_t g) {
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
void refineBoundaries(Fusion<Record>& f, cl::Array<int>& labels, const detail::PieceGroups& pieces)
{
    const std::size_t n = f.n;
    cl::resizeOnLargePages(labels, n);
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
    detail::PieceGroups pieces;
    if (poolThreads() > 1 && f.n > static_cast<std::size_t>(std::max(target, 1))) pieces = findPieces(f);
    if (pieces.groups() > 1)
        fuseInPieces(f, pieces);
    else if (f.n > 1)
        fuse(f);
    else
        listRoots(f);
    if (pieces.groups() < 2) pieces = detail::PieceGroups();
    static_cast<Walker&>(f) = Walker();
    release(f.visited);
    release(f.nearest);
    refineBoundaries(f, labels, pieces);
    release(f.valid);
    relabel(f, labels, supervoxels);
    release(f.reps);
}

// Exact for FloatFusionPoint only when the coordinates are floats widened.
template <typename Record>
void setCoordinates(Record& p, const cl::Point3D<double>& point)
{
    using Coordinate = decltype(p.x);
    p.x = static_cast<Coordinate>(point.x);
    p.y = static_cast<Coordinate>(point.y);
    p.z = static_cast<Coordinate>(point.z);
}

template <typename Record>
void setNormal(Record& p, const cl::Vector3D<double>& normal)
{
    p.nx = normal.x;
    p.ny = normal.y;
    p.nz = normal.z;
}

template <typename Record>
inline cl::Point3D<double> coordinatesOf(const Record& p) { return cl::Point3D<double>(p.x, p.y, p.z); }

}  // namespace

void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    auto merge = [&](auto& fusion) {
        fusion.points.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            setCoordinates(fusion.points[i], points[i].point);
            setNormal(fusion.points[i], points[i].normal);
        }
        mergePrepared(fusion, packLists(neighbours.data(), points.size()), target, r, labels, supervoxels);
    };
    if (allFloatCoordinates(points.size(), [&](std::size_t i) -> const cl::Point3D<double>& { return points[i].point; })) {
        Fusion<FloatFusionPoint> fusion;
        merge(fusion);
    } else {
        Fusion<FusionPoint> fusion;
        merge(fusion);
    }
}

namespace {

// Slots per search task. A search starts afresh at the start of each block,
// and the marks depend on where it starts: the blocks are the same for any
// number of threads, and so is every mark.
constexpr std::size_t kSlotBlock = 4096;

// Which points the tree need not search: those `known`, and those whose lists
// the grid decides, handed to `take` (from the grid's task numbered `task`).
// A decided list is separated: the grid proves its points nearer than any
// other, at distinct distances.
cl::Array<std::uint8_t> listsFromGridFirst(const cl::KDTree& tree, std::uint8_t* separated, const std::uint8_t* known,
                                           const detail::Cells& cells, const detail::ListSink& take)
{
    const std::size_t n = tree.size();
    cl::Array<std::uint8_t> skip;
    cl::resizeOnLargePages(skip, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) { skip[i] = known != nullptr && known[i] ? 1 : 0; });
    detail::listsFromGrid(tree, cells, kNeighbourCount, skip.data(), [&](std::size_t task, std::size_t i, const int* list) {
        take(task, i, list);
        if (separated != nullptr) separated[i] = 1;
    });
    return skip;
}

// The neighbour lists of the tree's points not `known`, and with `separated`
// their separation marks.
void searchNeighbourhoods(const cl::KDTree& tree, Neighbourhoods& hood, std::uint8_t* separated, const std::uint8_t* known)
{
    const std::size_t n = tree.indices().size();
    const cl::Array<std::uint8_t> skip =
        listsFromGridFirst(tree, separated, known, detail::cellsOfTree(tree, kNeighbourCount),
                           [&](std::size_t, std::size_t i, const int* list) {
                               std::copy_n(list, kNeighbourCount, hood.lists.data() + i * kNeighbourCount);
                           });
    parallelFor((n + kSlotBlock - 1) / kSlotBlock, 1, [&](std::size_t block) {
        tree.querySlots(block * kSlotBlock, (block + 1) * kSlotBlock, kNeighbourCount, hood.lists.data(), separated,
                        skip.data());
    });
}

// The same search with every list written packed as soon as it is found (a
// `known` one taken from `hood.lists`), so that the lists never take their
// whole room. The far lists are numbered as found: the grid's tasks', then
// block after block of the tree's search.
PackedLists searchPacked(const cl::KDTree& tree, const Neighbourhoods& hood, std::uint8_t* separated,
                         const std::uint8_t* known)
{
    const std::size_t n = tree.indices().size();
    const int* slots = tree.indices().data();
    struct FarLists {
        std::vector<std::uint32_t> points;
        std::vector<int> lists;
    };
    // The grid's cells are sorted before the lists take their room.
    detail::Cells cells = detail::cellsOfTree(tree, kNeighbourCount);
    PackedLists packed;
    packed.reserve(n);
    const std::size_t gridTasks = detail::gridTasks(cells);
    std::vector<FarLists> far(gridTasks + (n + kSlotBlock - 1) / kSlotBlock);
    auto pack = [&](std::size_t task, std::size_t i, const int* list) {
        if (packList(list, i, packed.offsets(i))) return;
        far[task].points.push_back(static_cast<std::uint32_t>(i));
        far[task].lists.insert(far[task].lists.end(), list, list + kNeighbourCount);
    };
    const cl::Array<std::uint8_t> skip = listsFromGridFirst(tree, separated, known, cells, pack);
    cells = detail::Cells();
    parallelFor(far.size() - gridTasks, 1, [&](std::size_t block) {
        const std::size_t begin = block * kSlotBlock, end = std::min(n, begin + kSlotBlock);
        std::vector<int> found((end - begin) * kNeighbourCount);
        for (std::size_t s = begin; known != nullptr && s < end; ++s) {
            const std::size_t i = static_cast<std::size_t>(slots[s]);
            if (known[i])
                std::copy_n(hood.lists.data() + i * kNeighbourCount, kNeighbourCount, found.data() + (s - begin) * kNeighbourCount);
        }
        tree.queryBlock(begin, end, kNeighbourCount, found.data(), separated, skip.data());
        for (std::size_t s = begin; s < end; ++s) {
            const std::size_t i = static_cast<std::size_t>(slots[s]);
            const bool fromGrid = skip[i] && !(known != nullptr && known[i]);
            if (!fromGrid) pack(gridTasks + block, i, found.data() + (s - begin) * kNeighbourCount);
        }
    });
    std::size_t farCount = 0;
    for (const FarLists& b : far) farCount += b.points.size();
    packed.far.reserve(farCount * kNeighbourCount);
    std::size_t e = 0;
    for (FarLists& b : far) {
        for (std::uint32_t i : b.points) markFar(packed.offsets(i), e++);
        packed.far.insert(packed.far.end(), b.lists.begin(), b.lists.end());
        b = FarLists();
    }
    return packed;
}

// What a cut hands its fusion besides the points and neighbourhoods.
struct CutInput {
    double r;
    int target;
    bool reuse;                            // lists taken over: `known` marks those with a normal in hand
    cl::Array<std::uint8_t>& known;
    bool keepNormals;                      // a normal per point to the neighbourhoods on return
    cl::Array<cl::Point3D<float>>* rounded;  // the coordinates as floats on return, when given
};

// The fusion keeps each point's coordinates and normal in its own record:
// the coordinates move there first, so that the separate copy is gone
// before the normals are made from the records' coordinates. Lists found
// packed are written out whole to `hood.lists` once the records are gone
// (every entry below 0 as -1, as the search writes it).
template <typename Record, typename Coordinates>
void fuseAndRefine(Fusion<Record>& fusion, Coordinates& points, Neighbourhoods& hood, PackedLists& packed,
                   const CutInput& in, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    const std::size_t n = points.size();
    cl::resizeOnLargePages(fusion.points, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        setCoordinates(fusion.points[i], cl::Point3D<double>(points[i].x, points[i].y, points[i].z));
    });
    Coordinates().swap(points);
    const Record* records = fusion.points.data();
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        if (in.reuse && in.known[i]) {
            setNormal(fusion.points[i], hood.normals[i]);
            return;
        }
        int buffer[kNeighbourCount];
        const int* list = unpackList(packed, i, buffer);
        cl::Point3D<double> found[kNeighbourCount];
        std::size_t m = 0;
        for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found[m++] = coordinatesOf(records[list[k]]);
        setNormal(fusion.points[i], estimateNormal(found, m));
    });
    cl::Array<std::uint8_t>().swap(in.known);
    cl::Array<cl::Vector3D<double>>().swap(hood.normals);
    mergePrepared(fusion, packed, in.target, in.r, labels, supervoxels);
    if (in.keepNormals) {
        cl::resizeOnLargePages(hood.normals, n);
        for (std::size_t i = 0; i < n; ++i) {
            const Record& p = fusion.points[i];
            hood.normals[i] = cl::Vector3D<double>(p.nx, p.ny, p.nz);
        }
    }
    if (in.rounded != nullptr) {
        cl::resizeOnLargePages(*in.rounded, n);
        parallelFor(n, kPointGrain, [&](std::size_t i) {
            const Record& p = fusion.points[i];
            (*in.rounded)[i] = cl::Point3D<float>(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
        });
    }
    std::vector<Record>().swap(fusion.points);
    if (packed.plain != nullptr) return;
    writeOutInPlace(packed, n);
    hood.lists.swap(packed.room);
}

}  // namespace

Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept,
                                   const PointSource& pointAt)
{
    std::vector<int> renumbered(hoods.separated.size(), -1);
    for (std::size_t j = 0; j < kept.size(); ++j) renumbered[kept[j]] = static_cast<int>(j);
    Neighbourhoods next;
    cl::resizeOnLargePages(next.lists, kept.size() * kNeighbourCount);
    cl::resizeOnLargePages(next.normals, kept.size());
    cl::resizeOnLargePages(next.separated, kept.size());
    const bool withNormals = hoods.normals.size() == hoods.separated.size();
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
        if (!whole) return;
        if (withNormals) {
            next.normals[j] = hoods.normals[i];
            return;
        }
        // Made from the list as the clustering makes it: the same points in
        // the same order give the same bits.
        cl::Point3D<double> found[kNeighbourCount];
        for (std::size_t k = 0; k < static_cast<std::size_t>(kNeighbourCount); ++k)
            found[k] = pointAt(static_cast<std::size_t>(hoods.lists[i * kNeighbourCount + k]));
        next.normals[j] = estimateNormal(found, kNeighbourCount);
    });
    return next;
}

bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels, Neighbourhoods* carried, bool keepNormals,
                        cl::Array<cl::Point3D<float>>* rounded)
{
    const std::size_t n = points.size();
    Neighbourhoods local;
    Neighbourhoods& hood = carried != nullptr ? *carried : local;
    const bool reuse = hood.separated.size() == n && hood.lists.size() == n * kNeighbourCount && hood.normals.size() == n;
    // Calls that remember run again and again on small leftovers, where
    // packing costs time and the room it saves sets no peak.
    const bool pack = !keepNormals;
    const bool floats = allFloatCoordinates(n, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k]; });
    // Taken-over lists need no search and no normal.
    cl::Array<std::uint8_t> known;
    PackedLists packed;
    cl::Array<cl::Point3D<float>> narrowed;
    {
        cl::KDTree tree;
        tree.build(points);
        // The lists take their room once the tree's building is done.
        if (!reuse) {
            if (!pack) cl::resizeOnLargePages(hood.lists, n * kNeighbourCount);
            cl::resizeOnLargePages(hood.separated, n);
        } else {
            known.resize(n);
            parallelFor(n, kPointGrain, [&](std::size_t i) {
                known[i] = hood.separated[i] && tree.confirms(tree.point(i), hood.lists.data() + i * kNeighbourCount, kNeighbourCount);
            });
        }
        std::uint8_t* separated = carried != nullptr ? hood.separated.data() : nullptr;
        if (pack) {
            packed = searchPacked(tree, hood, separated, reuse ? known.data() : nullptr);
            cl::Array<int>().swap(hood.lists);
        } else {
            searchNeighbourhoods(tree, hood, separated, reuse ? known.data() : nullptr);
            packed.plain = hood.lists.data();
        }
        // The tree hands the points back and frees the rest before the
        // normals and the fusion take their room; float coordinates come
        // back as floats, in half the room beside the fusion's records.
        if (floats)
            tree.handBackAsFloats(narrowed);
        else
            tree.build(points);
    }
    const int target = floats ? countOccupiedCells(n, r, [&](std::size_t k) {
        return cl::Point3D<double>(narrowed[k].x, narrowed[k].y, narrowed[k].z);
    })
                              : countOccupiedCells(n, r, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k]; });
    const CutInput input{r, target, reuse, known, carried != nullptr && keepNormals, rounded};
    if (floats) {
        Fusion<FloatFusionPoint> fusion;
        fuseAndRefine(fusion, narrowed, hood, packed, input, labels, supervoxels);
    } else {
        Fusion<FusionPoint> fusion;
        fuseAndRefine(fusion, points, hood, packed, input, labels, supervoxels);
    }
    return true;
}

}  // namespace vela
