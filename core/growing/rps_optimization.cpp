#include "growing/rps_optimization.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>


#include "planar/rps_generation.h"
#include "supervoxel/cl/flann_tree.h"
#include "supervoxel/multiscale.h"
#include "supervoxel/plane_fit.h"
#include "supervoxel/progress.h"
#include "supervoxel/thread_pool.h"

namespace vela {
namespace {

// Distance of p to the RPS plane: products and their sum in float, then the
// double offset; the same arithmetic for reassignment and growing.
double planeDistance(const PlaneDescriptor& plane, const WorkPoint& p)
{
    const float s = p.x * plane.normal.a + p.y * plane.normal.b + p.z * plane.normal.c;
    return std::fabs(static_cast<double>(s) + plane.d);
}

// Inside the box enlarged by gamma, boundary excluded: float differences,
// compared in double.
bool insideEnlargedBox(const PlaneDescriptor& plane, const WorkPoint& p, double gamma)
{
    return static_cast<double>(plane.boxMin.x - p.x) < gamma && static_cast<double>(p.x - plane.boxMax.x) < gamma &&
           static_cast<double>(plane.boxMin.y - p.y) < gamma && static_cast<double>(p.y - plane.boxMax.y) < gamma &&
           static_cast<double>(plane.boxMin.z - p.z) < gamma && static_cast<double>(p.z - plane.boxMax.z) < gamma;
}

// Removes the points at the given ascending positions, keeping the order of
// the rest: the result of erasing them one by one from the highest down.
void erasePositions(pcl::PointCloud<WorkPoint>& cloud, const std::vector<int>& ascending)
{
    if (ascending.empty()) return;
    std::size_t write = static_cast<std::size_t>(ascending.front());
    std::size_t next = 0;
    for (std::size_t read = write; read < cloud.points.size(); ++read) {
        if (next < ascending.size() && static_cast<std::size_t>(ascending[next]) == read) {
            ++next;
            continue;
        }
        cloud.points[write++] = cloud.points[read];
    }
    cloud.points.resize(write);
}

}  // namespace

namespace {

// A point's k nearest centres matter only when it lies in the enlarged box of
// one of them; a point in no searched box keeps the best distance 99999, so
// any delta below that leaves it where it is. The points that lie in a
// searched box are found through a uniform grid over the independent points,
// each box visiting the cells it covers.
struct PointGrid {
    double origin[3];
    double cell = 1.0;
    int dims[3] = {1, 1, 1};
    std::vector<std::uint32_t> start;  // per cell, into `points`
    std::vector<std::uint32_t> points;

    // Monotone in v and clamped, so that a range of values maps to a range
    // of cells.
    int index(int axis, double v) const
    {
        const double t = std::floor((v - origin[axis]) / cell);
        if (!(t > 0.0)) return 0;
        if (t >= static_cast<double>(dims[axis] - 1)) return dims[axis] - 1;
        return static_cast<int>(t);
    }
    std::size_t cellOf(const WorkPoint& p) const
    {
        return (static_cast<std::size_t>(index(2, p.z)) * static_cast<std::size_t>(dims[1]) +
                static_cast<std::size_t>(index(1, p.y))) * static_cast<std::size_t>(dims[0]) +
               static_cast<std::size_t>(index(0, p.x));
    }
};

// About one cell per point, cubic cells over the bounds; false when the
// points have no finite bounds to lay a grid over.
bool layOutGrid(const pcl::PointCloud<WorkPoint>& cloud, PointGrid& grid)
{
    if (cloud.points.empty()) return false;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (const WorkPoint& p : cloud.points) {
        const double v[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(v[a])) return false;
            lo[a] = std::min(lo[a], v[a]);
            hi[a] = std::max(hi[a], v[a]);
        }
    }
    double extent = 0.0, magnitude = 0.0;
    for (int a = 0; a < 3; ++a) {
        extent = std::max(extent, hi[a] - lo[a]);
        magnitude = std::max(magnitude, std::max(std::fabs(lo[a]), std::fabs(hi[a])));
    }
    const double n = static_cast<double>(cloud.points.size());
    // Cells far above the float spacing of the coordinates, so that the
    // one-cell margin of a box covers any rounding of its test.
    grid.cell = std::max(extent / std::max(1.0, std::cbrt(n)), 1e-4 * magnitude + 1e-30);
    std::size_t cells = 1;
    for (int a = 0; a < 3; ++a) {
        grid.origin[a] = lo[a];
        grid.dims[a] = static_cast<int>(std::min((hi[a] - lo[a]) / grid.cell, 4096.0)) + 1;
        cells *= static_cast<std::size_t>(grid.dims[a]);
    }
    grid.start.assign(cells + 1, 0);
    for (const WorkPoint& p : cloud.points) ++grid.start[grid.cellOf(p) + 1];
    for (std::size_t c = 0; c < cells; ++c) grid.start[c + 1] += grid.start[c];
    grid.points.resize(cloud.points.size());
    std::vector<std::uint32_t> next(grid.start.begin(), grid.start.end() - 1);
    for (std::size_t j = 0; j < cloud.points.size(); ++j)
        grid.points[next[grid.cellOf(cloud.points[j])]++] = static_cast<std::uint32_t>(j);
    return true;
}

// Marks the points that lie in the enlarged box of at least one of the RPS;
// false when the boxes cannot be laid on the grid, or would visit far more
// cells than there are points (then every point is to be searched).
bool markPointsInBoxes(const pcl::PointCloud<WorkPoint>& cloud, const SupervoxelSet& set,
                       const std::vector<int>& rps, double gamma, std::vector<std::uint8_t>& inBox)
{
    if (!(gamma > 0.0) || !std::isfinite(gamma)) return false;
    PointGrid grid;
    if (!layOutGrid(cloud, grid)) return false;

    struct CellRange {
        int lo[3], hi[3];
    };
    std::vector<CellRange> ranges(rps.size());
    double visits = 0.0;
    for (std::size_t k = 0; k < rps.size(); ++k) {
        const PlaneDescriptor& plane = set.supervoxels[static_cast<std::size_t>(rps[k])].descriptor;
        const double lo[3] = {plane.boxMin.x, plane.boxMin.y, plane.boxMin.z};
        const double hi[3] = {plane.boxMax.x, plane.boxMax.y, plane.boxMax.z};
        double cells = 1.0;
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(lo[a]) || !std::isfinite(hi[a]) || !(lo[a] <= hi[a])) return false;
            // One cell of margin beyond gamma on each side.
            ranges[k].lo[a] = grid.index(a, lo[a] - gamma - grid.cell);
            ranges[k].hi[a] = grid.index(a, hi[a] + gamma + grid.cell);
            cells *= ranges[k].hi[a] - ranges[k].lo[a] + 1;
        }
        visits += cells;
    }
    if (visits > 8.0 * static_cast<double>(grid.start.size() + cloud.points.size())) return false;

    inBox.assign(cloud.points.size(), 0);
    for (std::size_t k = 0; k < rps.size(); ++k) {
        const PlaneDescriptor& plane = set.supervoxels[static_cast<std::size_t>(rps[k])].descriptor;
        const CellRange& r = ranges[k];
        for (int z = r.lo[2]; z <= r.hi[2]; ++z)
            for (int y = r.lo[1]; y <= r.hi[1]; ++y) {
                const std::size_t row = (static_cast<std::size_t>(z) * static_cast<std::size_t>(grid.dims[1]) +
                                         static_cast<std::size_t>(y)) * static_cast<std::size_t>(grid.dims[0]);
                for (std::uint32_t s = grid.start[row + static_cast<std::size_t>(r.lo[0])];
                     s < grid.start[row + static_cast<std::size_t>(r.hi[0]) + 1]; ++s) {
                    const std::uint32_t j = grid.points[s];
                    if (!inBox[j] && insideEnlargedBox(plane, cloud.points[j], gamma)) inBox[j] = 1;
                }
            }
    }
    return true;
}

}  // namespace

bool reassignIndependentPoints(SupervoxelSet& set, bool& changed, std::vector<std::uint8_t>& changedFlags,
                               double gamma, double delta)
{
    pcl::PointCloud<WorkPoint>::Ptr centres(new pcl::PointCloud<WorkPoint>);
    std::vector<int> rpsOfCentre;
    for (std::size_t i = 0; i < changedFlags.size(); ++i) {
        if (!changedFlags[i]) continue;
        centres->push_back(set.supervoxels[i].descriptor.centre);
        rpsOfCentre.push_back(static_cast<int>(i));
    }
    if (rpsOfCentre.empty()) return false;
    std::fill(changedFlags.begin(), changedFlags.end(), 0);

    const FlannTree tree(*centres);
    // k = ceil(1/gamma) + 2. More than there are centres finds them all; a
    // count below 1 (gamma negative or NaN) consults no centre, as a search
    // for zero neighbours would, instead of converting it to int unchecked.
    const double wanted = std::ceil(1.0 / gamma) + 2.0;
    const int k = !(wanted >= 1.0) ? 0
                  : wanted >= static_cast<double>(rpsOfCentre.size()) ? static_cast<int>(rpsOfCentre.size())
                                                                      : static_cast<int>(wanted);

    pcl::PointCloud<WorkPoint>& independent = *set.independent[0].cloud;
    // Without a box around it a point stays, unless delta accepts the
    // distance 99999 that it then keeps.
    std::vector<std::uint8_t> inBox;
    const bool onlyInBoxes = delta < 99999.0 && markPointsInBoxes(independent, set, rpsOfCentre, gamma, inBox);
    // Points are tested against the RPS as they stood at the start, so they
    // are tested at the same time and moved afterwards, in point order.
    // -1: the point stays.
    std::vector<int> target(independent.points.size(), -1);
    parallelRanges(target.size(), 1024, [&](std::size_t begin, std::size_t end) {
        std::vector<int> neighbours;
        std::vector<float> squaredDistances;
        for (std::size_t j = begin; j < end; ++j) {
            if (onlyInBoxes && !inBox[j]) continue;
            const WorkPoint& p = independent.points[j];
            float query[3];
            toQuery(p, query);
            if (k == 0 || tree.nearestK(query, k, neighbours, squaredDistances) <= 0) continue;
            double bestDistance = 99999.0;
            int best = 0;
            for (int n : neighbours) {
                const int r = rpsOfCentre[static_cast<std::size_t>(n)];
                const PlaneDescriptor& plane = set.supervoxels[static_cast<std::size_t>(r)].descriptor;
                if (!insideEnlargedBox(plane, p, gamma)) continue;
                const double distance = planeDistance(plane, p);
                if (distance < bestDistance) {  // equal distances keep the nearer centre
                    bestDistance = distance;
                    best = r;
                }
            }
            if (delta >= bestDistance) target[j] = best;
        }
    });
    std::vector<int> removed;
    for (std::size_t j = 0; j < target.size(); ++j) {
        if (target[j] < 0) continue;
        changed = true;
        changedFlags[static_cast<std::size_t>(target[j])] = 1;
        removed.push_back(static_cast<int>(j));
        set.supervoxels[static_cast<std::size_t>(target[j])].cloud->points.push_back(independent.points[j]);
    }
    erasePositions(independent, removed);

    for (int i = 0; i < set.planarCount; ++i) setRowShape(*set.supervoxels[static_cast<std::size_t>(i)].cloud);
    setRowShape(independent);
    return true;
}

namespace {

// The points an RPS may grow into, indexed once for all RPS of an iteration.
// Points taken by an RPS are masked instead of erased, so the index stays
// valid; positions are those of the cloud as it stood when the index was built,
// which order the points exactly as the shrinking cloud would.
struct GrowthField {
    pcl::PointCloud<WorkPoint>::Ptr cloud;
    std::unique_ptr<FlannTree> tree;
    std::vector<std::uint8_t> taken;
    std::vector<std::uint8_t> visited;
    std::size_t remaining = 0;

    explicit GrowthField(const pcl::PointCloud<WorkPoint>::Ptr& c)
        : cloud(c), taken(c->points.size(), 0), visited(c->points.size(), 0), remaining(c->points.size())
    {
        if (remaining > 0) tree.reset(new FlannTree(*cloud));
    }
};

// Accepted positions of `field`, in decreasing order.
std::vector<int> growInto(GrowthField& field, const Supervoxel& rps, double gamma, double delta)
{
    std::vector<int> accepted;
    if (field.remaining == 0) return accepted;

    std::vector<int> candidates;
    std::vector<int> found;
    std::vector<float> squaredDistances;
    auto collect = [&](const WorkPoint& q, double radius) {
        float query[3];
        toQuery(q, query);
        // Result order is irrelevant: the grown set is a closure.
        field.tree->radius(query, radius, false, found, squaredDistances);
        for (int i : found) {
            const std::size_t u = static_cast<std::size_t>(i);
            if (field.taken[u] || field.visited[u]) continue;
            field.visited[u] = 1;
            candidates.push_back(i);
        }
    };

    // Seeding radius in single precision, growing radius in double.
    const double seedRadius = static_cast<double>(static_cast<float>(gamma));
    for (const WorkPoint& q : rps.cloud->points) collect(q, seedRadius);
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        const WorkPoint& p = field.cloud->points[static_cast<std::size_t>(candidates[c])];
        if (delta >= planeDistance(rps.descriptor, p)) {
            accepted.push_back(candidates[c]);
            collect(p, gamma);
        }
    }
    for (int i : candidates) field.visited[static_cast<std::size_t>(i)] = 0;

    std::sort(accepted.begin(), accepted.end(), std::greater<int>());
    return accepted;
}

// Moves the accepted points (decreasing positions) of the field into the RPS.
void take(GrowthField& field, Supervoxel& rps, const std::vector<int>& accepted)
{
    for (int i : accepted) {
        rps.cloud->points.push_back(field.cloud->points[static_cast<std::size_t>(i)]);
        field.taken[static_cast<std::size_t>(i)] = 1;
    }
    field.remaining -= accepted.size();
    setRowShape(*rps.cloud);
}

// Drops the taken points from the field's cloud, keeping the others in order.
void compact(GrowthField& field)
{
    std::vector<WorkPoint, Eigen::aligned_allocator<WorkPoint>>& points = field.cloud->points;
    std::size_t write = 0;
    for (std::size_t read = 0; read < points.size(); ++read)
        if (!field.taken[read]) points[write++] = points[read];
    points.resize(write);
    setRowShape(*field.cloud);
}

}  // namespace

bool growRpsIntoPoints(Supervoxel& rps, Supervoxel& points, double gamma, double delta)
{
    if (points.cloud->points.empty()) return false;
    GrowthField field(points.cloud);
    take(field, rps, growInto(field, rps, gamma, delta));
    compact(field);
    return true;
}

void growAllRpsIntoPoints(SupervoxelSet& fresh, double gamma, double delta)
{
    GrowthField field(fresh.independent[0].cloud);
    for (int i = 0; i < fresh.planarCount; ++i) {
        Supervoxel& rps = fresh.supervoxels[static_cast<std::size_t>(i)];
        // With every point taken there is nothing to grow into: the RPS stays.
        if (field.remaining == 0) break;
        take(field, rps, growInto(field, rps, gamma, delta));
    }
    compact(field);
}

bool extractNewRps(SupervoxelSet& set, const VELA::tag_VELAParameter& para, double tolerance, bool& grown,
                   NeighbourhoodMemory* memory)
{
    SupervoxelSet fresh;
    if (!segmentMultiScale(set.independent[0].cloud, fresh, para, nullptr, memory)) return false;
    VELA::tag_VELAParameter atTolerance = para;
    atTolerance.tau = tolerance;
    generateRPS(fresh, atTolerance);
    if (fresh.planarCount <= 0) return true;

    grown = true;
    growAllRpsIntoPoints(fresh, para.gamma, para.delta);
    for (int i = 0; i < fresh.planarCount; ++i) {
        Supervoxel& rps = fresh.supervoxels[static_cast<std::size_t>(i)];
        refitSupervoxel(rps, true);
        rps.id = set.planarCount;
        set.supervoxels.push_back(rps);
        ++set.planarCount;
    }
    set.independent[0] = fresh.independent[0];
    return true;
}

bool optimizeRps(SupervoxelSet& set, const VELA::tag_VELAParameter& para, std::int32_t totalPoints,
                 std::int32_t iter)
{
    {
        std::vector<std::uint8_t> changedFlags(static_cast<std::size_t>(std::max(set.planarCount, 0)), 1);
        bool changed = false;
        do {
            changed = false;
            if (!reassignIndependentPoints(set, changed, changedFlags, para.gamma, para.delta)) {
                std::cout << "error..." << std::endl;
                return false;
            }
            // Boxes follow the new points; the planes stay as they were fitted.
            for (std::size_t i = 0; i < changedFlags.size(); ++i)
                if (changedFlags[i]) refitSupervoxel(set.supervoxels[i], false);
        } while (changed);
    }
    for (int i = 0; i < set.planarCount; ++i) refitSupervoxel(set.supervoxels[static_cast<std::size_t>(i)], false);

    double tolerance = para.tau;
    // Each iteration cuts what the previous one left: most neighbour lists hold.
    NeighbourhoodMemory memory;
    for (int k = 0;; ++k) {
        reportIteration(k + 1);
        bool grown = false;
        if (!extractNewRps(set, para, tolerance, grown, &memory)) return false;
        const double ratio = static_cast<double>(set.independent[0].cloud->points.size()) / totalPoints;
        if (!continueResegmentation(ratio, k, grown, iter, para.tau, tolerance)) break;
    }
    return true;
}

bool continueResegmentation(double ratio, int k, bool grown, std::int32_t iter, double tau, double& tolerance)
{
    if (ratio >= 0.05 && k < 10 && grown) {
        tolerance = 2.0 * tau;  // twice the parameter: the factor does not compound
        return true;
    }
    return iter != 0 && grown;
}

}  // namespace vela
