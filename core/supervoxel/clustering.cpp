#include "supervoxel/clustering.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "supervoxel/cl/kdtree.h"
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

    // Cells are recorded in a random order. Only their number is used, so the
    // order cannot matter; it is kept reproducible all the same: Fisher-Yates
    // from the back, slot i swapped with floor(v * (i + 1) / 2^32) for the next
    // mt19937 output v.
    const std::size_t n = points.size();
    std::vector<int> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<int>(i);
    std::mt19937 generator(5489u);
    for (std::size_t i = n; i > 1; --i) {
        const std::uint64_t v = generator();
        const std::size_t j = static_cast<std::size_t>((v * static_cast<std::uint64_t>(i)) >> 32);
        std::swap(order[i - 1], order[j]);
    }

    cl::Octree<bool> cells(extent[0], extent[1], extent[2]);
    for (std::size_t k = 0; k < n; ++k) {
        const cl::Point3D<double>& p = points[static_cast<std::size_t>(order[k])].point;
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

// Union-find root with path halving.
inline int findRoot(std::vector<int>& parent, int x)
{
    while (parent[static_cast<std::size_t>(x)] != x) {
        const int grand = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(x)])];
        parent[static_cast<std::size_t>(x)] = grand;
        x = grand;
    }
    return x;
}

// The per-cluster lists of adjacent points still to be tried, all in one
// buffer: a replaced list is written over the old one when it fits and
// appended otherwise; the buffer is compacted when the dead space dominates.
struct WorkLists {
    std::vector<int> buffer;
    std::vector<int> start;
    std::vector<int> length;
    std::vector<int> room;
    std::size_t live = 0;

    const int* begin(int i) const { return buffer.data() + start[static_cast<std::size_t>(i)]; }
    int size(int i) const { return length[static_cast<std::size_t>(i)]; }

    void clear(int i)
    {
        live -= static_cast<std::size_t>(length[static_cast<std::size_t>(i)]);
        length[static_cast<std::size_t>(i)] = 0;
    }

    void assign(int i, const std::vector<int>& items)
    {
        const std::size_t u = static_cast<std::size_t>(i);
        const int count = static_cast<int>(items.size());
        live -= static_cast<std::size_t>(length[u]);
        live += items.size();
        if (count > room[u]) {
            start[u] = static_cast<int>(buffer.size());
            room[u] = count;
            buffer.insert(buffer.end(), items.begin(), items.end());
        } else {
            std::copy(items.begin(), items.end(), buffer.begin() + start[u]);
        }
        length[u] = count;
    }

    void compactIfSparse()
    {
        if (buffer.size() <= 2 * live + 4096) return;
        std::vector<int> packed;
        packed.reserve(live);
        for (std::size_t u = 0; u < start.size(); ++u) {
            const int at = static_cast<int>(packed.size());
            packed.insert(packed.end(), buffer.begin() + start[u], buffer.begin() + start[u] + length[u]);
            start[u] = at;
            room[u] = length[u];
        }
        buffer.swap(packed);
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
    std::vector<int> valid(un);
    for (std::size_t i = 0; i < un; ++i) {
        int c = 0;
        while (c < kNeighbourCount && nb[i * kNeighbourCount + static_cast<std::size_t>(c)] >= 0) ++c;
        valid[i] = c;
    }

    std::vector<int> parent(un);
    std::vector<int> size(un, 1);
    std::vector<char> visited(un, 0);
    std::vector<double> dist(un, DBL_MAX);
    std::vector<int> reps(un);
    std::vector<char> inert(un);
    for (std::size_t i = 0; i < un; ++i) inert[i] = std::isnan(points[i].normal.x) ? 1 : 0;
    WorkLists work;
    work.buffer.resize(un * kNeighbourCount);
    work.start.resize(un);
    work.length.resize(un);
    work.room.resize(un);
    for (std::size_t i = 0; i < un; ++i) {
        parent[i] = static_cast<int>(i);
        reps[i] = static_cast<int>(i);
        work.start[i] = static_cast<int>(i * kNeighbourCount);
        work.length[i] = valid[i];
        work.room[i] = kNeighbourCount;
        work.live += static_cast<std::size_t>(valid[i]);
        std::copy(nb + i * kNeighbourCount, nb + (i + 1) * kNeighbourCount, work.buffer.begin() + work.start[i]);
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

    double lambda;
    {
        std::vector<double> sorted(dist);
        std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
        lambda = sorted[un / 2];
    }
    lambda = std::max(lambda, 2.220446049250313e-16);

    if (n > 1) {
        std::vector<int> candidates;
        std::vector<int> rejected;
        for (int pass = 0;; ++pass) {
            const std::size_t repCount = reps.size();
            for (std::size_t e = 0; e < repCount; ++e) {
                const int i = reps[e];
                if (work.size(i) == 0) continue;
                // A root whose normal is not a number can neither fuse nor be
                // fused (every distance to it is not a number): its walk would
                // change nothing but the end-of-walk target test, and such
                // points can keep a run going for all its passes.
                if (inert[static_cast<std::size_t>(i)]) {
                    if (count == target) break;
                    continue;
                }
                visited[static_cast<std::size_t>(i)] = 1;
                candidates.clear();
                candidates.push_back(i);
                for (const int *x = work.begin(i), *xe = x + work.size(i); x != xe; ++x) {
                    const int root = findRoot(parent, *x);
                    if (!visited[static_cast<std::size_t>(root)]) {
                        visited[static_cast<std::size_t>(root)] = 1;
                        candidates.push_back(root);
                    }
                }
                rejected.clear();
                const cl::tag_PointWithNormal& pi = points[static_cast<std::size_t>(i)];
                for (std::size_t c = 1; c < candidates.size(); ++c) {
                    const int j = candidates[c];
                    const std::size_t uj = static_cast<std::size_t>(j);
                    const double d = supervoxelDistance(pi, points[uj], r);
                    if (lambda - static_cast<double>(size[uj]) * d > 0) {
                        parent[uj] = i;
                        size[static_cast<std::size_t>(i)] += size[uj];
                        for (const int *x = work.begin(j), *xe = x + work.size(j); x != xe; ++x) {
                            const int root = findRoot(parent, *x);
                            if (!visited[static_cast<std::size_t>(root)]) {
                                visited[static_cast<std::size_t>(root)] = 1;
                                candidates.push_back(root);
                            }
                        }
                        work.clear(j);
                        --count;
                        if (count == target) break;
                    } else {
                        rejected.push_back(j);
                    }
                }
                work.assign(i, rejected);
                for (const int c : candidates) visited[static_cast<std::size_t>(c)] = 0;
                if (count == target) break;
            }

            std::size_t kept = 0;
            for (std::size_t e = 0; e < reps.size(); ++e)
                if (findRoot(parent, reps[e]) == reps[e]) reps[kept++] = reps[e];
            reps.resize(kept);
            count = static_cast<int>(kept);
            work.compactIfSparse();

            if (count == target) break;
            if (pass > 1000) break;
            lambda = 2 * lambda;
            if (!(count > 1)) break;
        }
    }

    labels.resize(un);
    for (std::size_t i = 0; i < un; ++i) labels[i] = findRoot(parent, static_cast<int>(i));
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
        ring[(head + queued) % un] = p;
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
        head = (head + 1) % un;
        --queued;
        inQueue[i] = 0;
        const int* list = nb + i * kNeighbourCount;
        bool changed = false;
        for (int k = 0; k < valid[i]; ++k) {
            const int lj = labels[static_cast<std::size_t>(list[k])];
            if (lj == labels[i]) continue;
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

bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels)
{
    const std::size_t n = points.size();
    cl::Array<int> neighbours(n * kNeighbourCount);
    cl::Array<cl::tag_PointWithNormal> withNormals(n);
    {
        cl::KDTree tree;
        tree.build(points);
        const cl::Array<cl::Point3D<double>>& pts = tree.points();
        tree.queryAll(kNeighbourCount, neighbours.data());
        cl::Point3D<double> found[kNeighbourCount];
        for (std::size_t i = 0; i < n; ++i) {
            const int* list = neighbours.data() + i * kNeighbourCount;
            std::size_t m = 0;
            for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found[m++] = pts[static_cast<std::size_t>(list[k])];
            withNormals[i].point = pts[i];
            withNormals[i].normal = estimateNormal(found, m);
        }
    }
    const int target = countOccupiedVoxels(withNormals, r);
    mergeSupervoxels(withNormals, neighbours, target, r, labels, supervoxels);
    return true;
}

}  // namespace vela
