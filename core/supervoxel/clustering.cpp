#include "supervoxel/clustering.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/cl/octree.h"

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

int countOccupiedVoxels(const cl::Array<cl::tag_PointWithNormal>& points, double r)
{
    double lo[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
    double hi[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    for (const cl::tag_PointWithNormal& p : points) {
        for (int a = 0; a < 3; ++a) {
            const double v = p.point[a];
            if (v < lo[a]) lo[a] = v;
            if (v > hi[a]) hi[a] = v;
        }
    }
    int extent[3];
    for (int a = 0; a < 3; ++a)
        extent[a] = lo[a] > hi[a] ? 1 : static_cast<int>((hi[a] - lo[a]) / r + 1.0);

    // Only the number of distinct cells is used, so the order in which they
    // are recorded cannot matter: point order keeps the octree walks local.
    const std::size_t n = points.size();
    cl::Octree<bool> cells(extent[0], extent[1], extent[2]);
    for (std::size_t k = 0; k < n; ++k) {
        const cl::Point3D<double>& p = points[k].point;
        int cell[3];
        for (int a = 0; a < 3; ++a) {
            int c = static_cast<int>((p[a] - lo[a]) / r);
            if (c < 0) c = 0;
            if (c > extent[a] - 1) c = extent[a] - 1;
            cell[a] = c;
        }
        bool inserted;
        cells.insert(cell[0], cell[1], cell[2], true, inserted);
    }
    return static_cast<int>(cells.leafCount());
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

// What the fusion keeps per point, together so that touching a cluster reads
// one record: union-find link, cluster size (at roots) and the cluster's list
// of adjacent points still to be tried.
struct ClusterRecord {
    int parent;
    int size;
    int start;   // in the work buffer; -1: still the point's neighbour list
    int length;
    int room;
    std::uint8_t visited;
    std::uint8_t inert;
};

// Union-find root with path halving.
inline int findRoot(ClusterRecord* records, int x)
{
    while (records[x].parent != x) {
        const int grand = records[records[x].parent].parent;
        records[x].parent = grand;
        x = grand;
    }
    return x;
}

// The work lists: at first each point's neighbour list, read where it is;
// a replaced list goes to one buffer, written over its previous place there
// when it fits and appended otherwise. The buffer is compacted when the dead
// space dominates.
struct WorkBuffer {
    const int* neighbours;
    std::vector<int> items;
    std::size_t live = 0;  // entries of the lists held in `items`

    const int* list(const ClusterRecord& record, int owner) const
    {
        return record.start < 0 ? neighbours + static_cast<std::size_t>(owner) * kNeighbourCount
                                : items.data() + record.start;
    }

    void assign(ClusterRecord& record, const std::vector<int>& list)
    {
        const int count = static_cast<int>(list.size());
        if (record.start >= 0) live -= static_cast<std::size_t>(record.length);
        live += list.size();
        if (record.start < 0 || count > record.room) {
            record.start = static_cast<int>(items.size());
            record.room = count;
            items.insert(items.end(), list.begin(), list.end());
        } else {
            std::copy(list.begin(), list.end(), items.begin() + record.start);
        }
        record.length = count;
    }

    void clear(ClusterRecord& record)
    {
        if (record.start >= 0) live -= static_cast<std::size_t>(record.length);
        record.length = 0;
    }

    void compactIfSparse(std::vector<ClusterRecord>& records)
    {
        if (items.size() <= 2 * live + 4096) return;
        std::vector<int> packed;
        packed.reserve(live);
        for (ClusterRecord& record : records) {
            if (record.start < 0) continue;
            const int at = static_cast<int>(packed.size());
            packed.insert(packed.end(), items.begin() + record.start, items.begin() + record.start + record.length);
            record.start = at;
            record.room = record.length;
        }
        items.swap(packed);
    }
};

// What the fusion and the boundary refinement of one call work on. The
// buffers live here so that the phases below can share them.
struct Fusion {
    const cl::tag_PointWithNormal* points = nullptr;
    const int* neighbours = nullptr;  // kNeighbourCount per point
    std::size_t n = 0;
    double r = 0.0;
    int target = 0;  // wanted number of clusters

    std::vector<std::uint8_t> valid;  // valid entries of each neighbour list (missing ones trail)
    std::vector<ClusterRecord> records;
    WorkBuffer work;
    std::vector<int> reps;    // the cluster roots, ascending
    std::vector<double> dist;  // per point: to its nearest neighbour, later to its supervoxel's representative
    int count = 0;            // number of clusters
    double lambda = 0.0;      // the cost bound of a fusion

    // Scratch of one representative's walk.
    std::vector<int> candidates;
    std::size_t candidateCount = 0;
    std::vector<int> rejected;
};

inline double distanceBetween(const Fusion& f, std::size_t i, std::size_t j)
{
    return supervoxelDistance(f.points[i], f.points[j], f.r);
}

inline const int* neighbourList(const Fusion& f, std::size_t i) { return f.neighbours + i * kNeighbourCount; }

// Every point its own cluster, whose work list is its neighbour list; lambda
// from the median distance of a point to its nearest neighbour.
void initialiseFusion(Fusion& f, const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r)
{
    f.points = points.data();
    f.neighbours = neighbours.data();
    f.n = points.size();
    f.r = r;
    f.target = target;
    const std::size_t n = f.n;

    cl::resizeOnLargePages(f.valid, n);
    for (std::size_t i = 0; i < n; ++i) {
        const int* list = neighbourList(f, i);
        int c = 0;
        while (c < kNeighbourCount && list[c] >= 0) ++c;
        f.valid[i] = static_cast<std::uint8_t>(c);
    }

    cl::resizeOnLargePages(f.records, n);
    cl::resizeOnLargePages(f.reps, n);
    // Room for every list of the first pass: untouched room costs no memory.
    cl::reserveOnLargePages(f.work.items, n * kNeighbourCount);
    f.work.neighbours = f.neighbours;
    for (std::size_t i = 0; i < n; ++i) {
        ClusterRecord& ri = f.records[i];
        ri.parent = static_cast<int>(i);
        ri.size = 1;
        ri.start = -1;
        ri.length = f.valid[i];
        ri.room = 0;
        ri.visited = 0;
        ri.inert = std::isnan(f.points[i].normal.x) ? 1 : 0;
        f.reps[i] = static_cast<int>(i);
    }
    f.count = static_cast<int>(n);

    cl::reserveOnLargePages(f.dist, n);
    f.dist.assign(n, DBL_MAX);
    for (std::size_t i = 0; i < n; ++i) {
        const int* list = neighbourList(f, i);
        for (int k = 0; k < f.valid[i]; ++k) {
            const int j = list[k];
            if (j == static_cast<int>(i)) continue;
            const double d = distanceBetween(f, i, static_cast<std::size_t>(j));
            // min(dist, d): a distance that is not a number never replaces.
            if (d < f.dist[i]) f.dist[i] = d;
        }
    }
    // The selection may reorder `dist`: it is computed afresh before its
    // next use.
    std::nth_element(f.dist.begin(), f.dist.begin() + static_cast<std::ptrdiff_t>(n / 2), f.dist.end());
    f.lambda = std::max(f.dist[n / 2], 2.220446049250313e-16);
}

// Appends to the walk's candidates the roots of a cluster's work list that
// the walk has not met yet.
inline void collectRoots(Fusion& f, int index)
{
    ClusterRecord* rec = f.records.data();
    const ClusterRecord& owner = rec[index];
    const std::size_t needed = f.candidateCount + static_cast<std::size_t>(owner.length);
    if (f.candidates.size() < needed) f.candidates.resize(2 * needed);
    int* out = f.candidates.data();
    // Counted in a local: the byte stores below could otherwise alias it.
    std::size_t count = f.candidateCount;
    const int* x = f.work.list(owner, index);
    for (const int* xe = x + owner.length; x != xe; ++x) {
        const int root = findRoot(rec, *x);
        out[count] = root;
        count += rec[root].visited ^ 1;
        rec[root].visited = 1;
    }
    f.candidateCount = count;
}

// The walk from representative i: every cluster met through the work lists
// whose cost stays under lambda is fused into i and its work list walked in
// turn; the others become i's new work list. True when the number of
// clusters reached the target.
bool walkFrom(Fusion& f, int i)
{
    ClusterRecord* rec = f.records.data();
    ClusterRecord& ri = rec[i];
    ri.visited = 1;
    if (f.candidates.empty()) f.candidates.resize(64);
    f.candidates[0] = i;
    f.candidateCount = 1;
    collectRoots(f, i);
    f.rejected.clear();
    for (std::size_t c = 1; c < f.candidateCount; ++c) {
        const int j = f.candidates[c];
        ClusterRecord& rj = rec[j];
        const double d = distanceBetween(f, static_cast<std::size_t>(i), static_cast<std::size_t>(j));
        if (f.lambda - static_cast<double>(rj.size) * d > 0) {
            rj.parent = i;
            ri.size += rj.size;
            collectRoots(f, j);
            f.work.clear(rj);
            --f.count;
            if (f.count == f.target) break;
        } else {
            f.rejected.push_back(j);
        }
    }
    f.work.assign(ri, f.rejected);
    for (std::size_t c = 0; c < f.candidateCount; ++c) rec[f.candidates[c]].visited = 0;
    return f.count == f.target;
}

// Passes over the representatives, lambda doubling from pass to pass, until
// the clusters number the target, one is left, or 1002 passes have run.
void fuse(Fusion& f)
{
    ClusterRecord* rec = f.records.data();
    for (int pass = 0;; ++pass) {
        const std::size_t repCount = f.reps.size();
        for (std::size_t e = 0; e < repCount; ++e) {
            const int i = f.reps[e];
            const ClusterRecord& ri = rec[i];
            if (ri.length == 0) continue;
            // A root whose normal is not a number can neither fuse nor be
            // fused (every distance to it is not a number): its walk would
            // change nothing but the end-of-walk target test, and such
            // points can keep a run going for all its passes.
            if (ri.inert) {
                if (f.count == f.target) break;
                continue;
            }
            if (walkFrom(f, i)) break;
        }

        std::size_t kept = 0;
        for (std::size_t e = 0; e < f.reps.size(); ++e)
            if (findRoot(rec, f.reps[e]) == f.reps[e]) f.reps[kept++] = f.reps[e];
        f.reps.resize(kept);
        f.count = static_cast<int>(kept);
        f.work.compactIfSparse(f.records);

        if (f.count == f.target) break;
        if (pass > 1000) break;
        f.lambda = 2 * f.lambda;
        if (!(f.count > 1)) break;
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

// Labels every point with its cluster's root, then moves points across
// supervoxel boundaries: a point goes to a neighbouring supervoxel whose
// representative is strictly closer, and its neighbours are revisited.
void refineBoundaries(Fusion& f, cl::Array<int>& labels)
{
    const std::size_t n = f.n;
    cl::resizeOnLargePages(labels, n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = findRoot(f.records.data(), static_cast<int>(i));
    for (std::size_t i = 0; i < n; ++i) f.dist[i] = distanceBetween(f, i, static_cast<std::size_t>(labels[i]));

    PointQueue queue;
    resetQueue(queue, n);
    for (std::size_t i = 0; i < n; ++i) {
        const int* list = neighbourList(f, i);
        for (int k = 0; k < f.valid[i]; ++k) {
            const int j = list[k];
            if (labels[i] != labels[static_cast<std::size_t>(j)]) {
                enqueue(queue, static_cast<int>(i));
                enqueue(queue, j);
            }
        }
    }
    while (queue.size > 0) {
        const std::size_t i = dequeue(queue);
        const int* list = neighbourList(f, i);
        bool changed = false;
        // A supervoxel already tried for this point cannot win again: the
        // distance is the same and dist[i] has only come down since.
        int tried[kNeighbourCount];
        int triedCount = 0;
        for (int k = 0; k < f.valid[i]; ++k) {
            const int lj = labels[static_cast<std::size_t>(list[k])];
            if (lj == labels[i]) continue;
            bool seen = false;
            for (int t = 0; t < triedCount; ++t) seen |= tried[t] == lj;
            if (seen) continue;
            tried[triedCount++] = lj;
            const double d = distanceBetween(f, i, static_cast<std::size_t>(lj));
            if (f.dist[i] > d) {
                labels[i] = lj;
                f.dist[i] = d;
                changed = true;
            }
        }
        if (changed) {
            for (int k = 0; k < f.valid[i]; ++k)
                if (labels[static_cast<std::size_t>(list[k])] != labels[i]) enqueue(queue, list[k]);
        }
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
    for (std::size_t i = 0; i < f.n; ++i) labels[i] = position[static_cast<std::size_t>(labels[i])];
}

}  // namespace

void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    labels.clear();
    supervoxels.clear();
    if (points.empty()) return;
    Fusion fusion;
    initialiseFusion(fusion, points, neighbours, target, r);
    if (fusion.n > 1) fuse(fusion);
    refineBoundaries(fusion, labels);
    relabel(fusion, labels, supervoxels);
}

Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept)
{
    std::vector<int> renumbered(hoods.separated.size(), -1);
    for (std::size_t j = 0; j < kept.size(); ++j) renumbered[kept[j]] = static_cast<int>(j);
    Neighbourhoods next;
    cl::resizeOnLargePages(next.lists, kept.size() * kNeighbourCount);
    cl::resizeOnLargePages(next.normals, kept.size());
    cl::resizeOnLargePages(next.separated, kept.size());
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::size_t i = kept[j];
        bool whole = hoods.separated[i] != 0;
        for (std::size_t k = 0; whole && k < static_cast<std::size_t>(kNeighbourCount); ++k) {
            const int to = renumbered[static_cast<std::size_t>(hoods.lists[i * kNeighbourCount + k])];
            next.lists[j * kNeighbourCount + k] = to;
            whole = to >= 0;
        }
        next.separated[j] = whole ? 1 : 0;
        next.normals[j] = hoods.normals[i];
    }
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
    cl::Array<cl::tag_PointWithNormal> withNormals;
    cl::resizeOnLargePages(withNormals, n);
    {
        cl::KDTree tree;
        tree.build(points);
        const cl::Array<cl::Point3D<double>>& pts = tree.points();
        // Taken-over lists need no search and no normal.
        cl::Array<std::uint8_t> known;
        if (reuse) {
            known.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                known[i] = hood.separated[i] && tree.confirms(pts[i], hood.lists.data() + i * kNeighbourCount, kNeighbourCount);
        }
        tree.queryAll(kNeighbourCount, hood.lists.data(), carried != nullptr ? hood.separated.data() : nullptr,
                      reuse ? known.data() : nullptr);
        cl::Point3D<double> found[kNeighbourCount];
        for (std::size_t i = 0; i < n; ++i) {
            withNormals[i].point = pts[i];
            if (reuse && known[i]) {
                withNormals[i].normal = hood.normals[i];
                continue;
            }
            const int* list = hood.lists.data() + i * kNeighbourCount;
            std::size_t m = 0;
            for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found[m++] = pts[static_cast<std::size_t>(list[k])];
            withNormals[i].normal = estimateNormal(found, m);
        }
    }
    // The normals live in withNormals meanwhile; the separate copy is made
    // again afterwards, so that the merging does not hold both.
    cl::Array<cl::Vector3D<double>>().swap(hood.normals);
    const int target = countOccupiedVoxels(withNormals, r);
    mergeSupervoxels(withNormals, hood.lists, target, r, labels, supervoxels);
    if (carried != nullptr) {
        cl::resizeOnLargePages(hood.normals, n);
        for (std::size_t i = 0; i < n; ++i) hood.normals[i] = withNormals[i].normal;
    }
    return true;
}

}  // namespace vela
