#include "supervoxel/clustering.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/kdtree.h"

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
    // Grid sizes and cell numbers stay in double: a few points far from the
    // rest make grids of more cells than an int can number, yet the count of
    // distinct occupied cells never exceeds the number of points.
    double last[3];
    for (int a = 0; a < 3; ++a) {
        last[a] = lo[a] > hi[a] ? 0.0 : std::trunc((hi[a] - lo[a]) / r + 1.0) - 1.0;
        if (!(last[a] > 0.0)) last[a] = 0.0;
    }

    const std::size_t n = points.size();
    std::vector<std::array<double, 3>> cells(n);
    for (std::size_t k = 0; k < n; ++k) {
        const cl::Point3D<double>& p = points[k].point;
        for (int a = 0; a < 3; ++a) {
            double c = std::trunc((p[a] - lo[a]) / r);
            if (!(c > 0.0)) c = 0.0;
            if (c > last[a]) c = last[a];
            cells[k][static_cast<std::size_t>(a)] = c;
        }
    }
    std::sort(cells.begin(), cells.end());
    return static_cast<int>(std::unique(cells.begin(), cells.end()) - cells.begin());
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

}  // namespace

void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    const int n = static_cast<int>(points.size());
    labels.clear();
    supervoxels.clear();
    if (n == 0) return;
    const std::size_t un = static_cast<std::size_t>(n);
    const int* nb = neighbours.data();

    // Missing neighbours (-1) only ever trail a list.
    std::vector<std::uint8_t> valid(un);
    for (std::size_t i = 0; i < un; ++i) {
        int c = 0;
        while (c < kNeighbourCount && nb[i * kNeighbourCount + static_cast<std::size_t>(c)] >= 0) ++c;
        valid[i] = static_cast<std::uint8_t>(c);
    }

    std::vector<ClusterRecord> records(un);
    ClusterRecord* rec = records.data();
    std::vector<double> dist(un, DBL_MAX);
    std::vector<int> reps(un);
    WorkBuffer work;
    work.neighbours = nb;
    for (std::size_t i = 0; i < un; ++i) {
        ClusterRecord& ri = records[i];
        ri.parent = static_cast<int>(i);
        ri.size = 1;
        ri.start = -1;
        ri.length = valid[i];
        ri.room = 0;
        ri.visited = 0;
        ri.inert = std::isnan(points[i].normal.x) ? 1 : 0;
        reps[i] = static_cast<int>(i);
    }
    int count = n;

    for (std::size_t i = 0; i < un; ++i) {
        for (int k = 0; k < valid[i]; ++k) {
            const int j = nb[i * kNeighbourCount + static_cast<std::size_t>(k)];
            if (j == static_cast<int>(i)) continue;
            const double d = supervoxelDistance(points[i], points[static_cast<std::size_t>(j)], r);
            // min(dist, d): a distance that is not a number never replaces.
            if (d < dist[i]) dist[i] = d;
        }
    }

    // The selection may reorder `dist`: it is computed afresh before its
    // next use.
    std::nth_element(dist.begin(), dist.begin() + n / 2, dist.end());
    double lambda = dist[un / 2];
    lambda = std::max(lambda, 2.220446049250313e-16);

    if (n > 1) {
        std::vector<int> candidates;
        std::vector<int> rejected;
        // Appends the roots of a work list that the walk has not met yet.
        std::size_t candidateCount = 0;
        auto collect = [&](int index) {
            const ClusterRecord& owner = rec[index];
            if (candidates.size() < candidateCount + static_cast<std::size_t>(owner.length))
                candidates.resize(2 * (candidateCount + static_cast<std::size_t>(owner.length)));
            int* out = candidates.data();
            const int* x = work.list(owner, index);
            for (const int* xe = x + owner.length; x != xe; ++x) {
                const int root = findRoot(rec, *x);
                out[candidateCount] = root;
                candidateCount += rec[root].visited ^ 1;
                rec[root].visited = 1;
            }
        };
        for (int pass = 0;; ++pass) {
            const std::size_t repCount = reps.size();
            for (std::size_t e = 0; e < repCount; ++e) {
                const int i = reps[e];
                ClusterRecord& ri = rec[i];
                if (ri.length == 0) continue;
                // A root whose normal is not a number can neither fuse nor be
                // fused (every distance to it is not a number): its walk would
                // change nothing but the end-of-walk target test, and such
                // points can keep a run going for all its passes.
                if (ri.inert) {
                    if (count == target) break;
                    continue;
                }
                ri.visited = 1;
                if (candidates.empty()) candidates.resize(64);
                candidates[0] = i;
                candidateCount = 1;
                collect(i);
                rejected.clear();
                const cl::tag_PointWithNormal& pi = points[static_cast<std::size_t>(i)];
                for (std::size_t c = 1; c < candidateCount; ++c) {
                    const int j = candidates[c];
                    ClusterRecord& rj = rec[j];
                    const double d = supervoxelDistance(pi, points[static_cast<std::size_t>(j)], r);
                    if (lambda - static_cast<double>(rj.size) * d > 0) {
                        rj.parent = i;
                        ri.size += rj.size;
                        collect(j);
                        work.clear(rj);
                        --count;
                        if (count == target) break;
                    } else {
                        rejected.push_back(j);
                    }
                }
                work.assign(ri, rejected);
                for (std::size_t c = 0; c < candidateCount; ++c) rec[candidates[c]].visited = 0;
                if (count == target) break;
            }

            std::size_t kept = 0;
            for (std::size_t e = 0; e < reps.size(); ++e)
                if (findRoot(rec, reps[e]) == reps[e]) reps[kept++] = reps[e];
            reps.resize(kept);
            count = static_cast<int>(kept);
            work.compactIfSparse(records);

            if (count == target) break;
            if (pass > 1000) break;
            lambda = 2 * lambda;
            if (!(count > 1)) break;
        }
    }

    labels.resize(un);
    for (std::size_t i = 0; i < un; ++i) labels[i] = findRoot(rec, static_cast<int>(i));
    for (std::size_t i = 0; i < un; ++i)
        dist[i] = supervoxelDistance(points[i], points[static_cast<std::size_t>(labels[i])], r);

    // Boundary refinement: a point moves to a neighbouring supervoxel whose
    // representative is strictly closer; its neighbours are then revisited.
    // Each point is queued at most once at a time, so a ring of n slots holds
    // the queue.
    std::vector<int> ring(un);
    std::size_t head = 0, queued = 0;
    std::vector<char> inQueue(un, 0);
    auto enqueue = [&](int p) {
        if (inQueue[static_cast<std::size_t>(p)]) return;
        inQueue[static_cast<std::size_t>(p)] = 1;
        const std::size_t slot = head + queued;
        ring[slot < un ? slot : slot - un] = p;
        ++queued;
    };
    for (std::size_t i = 0; i < un; ++i) {
        for (int k = 0; k < valid[i]; ++k) {
            const int j = nb[i * kNeighbourCount + static_cast<std::size_t>(k)];
            if (labels[i] != labels[static_cast<std::size_t>(j)]) {
                enqueue(static_cast<int>(i));
                enqueue(j);
            }
        }
    }
    while (queued > 0) {
        const std::size_t i = static_cast<std::size_t>(ring[head]);
        head = head + 1 < un ? head + 1 : 0;
        --queued;
        inQueue[i] = 0;
        const int* list = nb + i * kNeighbourCount;
        bool changed = false;
        // A supervoxel already tried for this point cannot win again: the
        // distance is the same and dist[i] has only come down since.
        int tried[kNeighbourCount];
        int triedCount = 0;
        for (int k = 0; k < valid[i]; ++k) {
            const int lj = labels[static_cast<std::size_t>(list[k])];
            if (lj == labels[i]) continue;
            bool seen = false;
            for (int t = 0; t < triedCount; ++t) seen |= tried[t] == lj;
            if (seen) continue;
            tried[triedCount++] = lj;
            const double d = supervoxelDistance(points[i], points[static_cast<std::size_t>(lj)], r);
            if (dist[i] > d) {
                labels[i] = lj;
                dist[i] = d;
                changed = true;
            }
        }
        if (changed) {
            for (int k = 0; k < valid[i]; ++k)
                if (labels[static_cast<std::size_t>(list[k])] != labels[i]) enqueue(list[k]);
        }
    }

    std::vector<int> position(un, -1);
    supervoxels.resize(reps.size());
    for (std::size_t s = 0; s < reps.size(); ++s) {
        supervoxels[s] = reps[s];
        position[static_cast<std::size_t>(reps[s])] = static_cast<int>(s);
    }
    for (std::size_t i = 0; i < un; ++i) labels[i] = position[static_cast<std::size_t>(labels[i])];
}

Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept)
{
    std::vector<int> renumbered(hoods.separated.size(), -1);
    for (std::size_t j = 0; j < kept.size(); ++j) renumbered[kept[j]] = static_cast<int>(j);
    Neighbourhoods next;
    next.lists.resize(kept.size() * kNeighbourCount);
    next.normals.resize(kept.size());
    next.separated.resize(kept.size());
    for (std::size_t j = 0; j < kept.size(); ++j) {
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
        hood.lists.resize(n * kNeighbourCount);
        hood.separated.resize(n);
    }
    cl::Array<cl::tag_PointWithNormal> withNormals(n);
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
        hood.normals.resize(n);
        for (std::size_t i = 0; i < n; ++i) hood.normals[i] = withNormals[i].normal;
    }
    return true;
}

}  // namespace vela
