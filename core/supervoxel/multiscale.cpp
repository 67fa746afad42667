#include "supervoxel/multiscale.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/clustering.h"
#include "supervoxel/display_colour.h"
#include "supervoxel/plane_fit.h"
#include "supervoxel/progress.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {

namespace {

// Points per task when a level's cloud is made again.
constexpr std::size_t kRestoreGrain = 4096;

void appendIndependent(Supervoxel& supervoxel, SupervoxelSet& set)
{
    supervoxel.descriptor.planar = 0;
    supervoxel.id = set.nonplanarCount;
    set.independent.push_back(supervoxel);
    ++set.nonplanarCount;
}

// Strict for the shape features, inclusive for the curvature bound.
bool isPlanar(const PlaneDescriptor& d, double phic)
{
    return d.planarity > d.linearity && d.planarity > d.scattering && phic >= d.curvature;
}

// The remembered neighbourhoods renumbered for `cloud`; nothing when a point
// of the cloud is not among the remembered ones (a list found without it
// could then miss a nearer point).
Neighbourhoods recall(const NeighbourhoodMemory& memory, const pcl::PointCloud<WorkPoint>& cloud)
{
    if (memory.members.empty()) return Neighbourhoods();
    std::uint32_t largest = 0;
    for (const NeighbourhoodMemory::Member& m : memory.members) largest = std::max(largest, m.input);
    std::vector<int> position(static_cast<std::size_t>(largest) + 1, -1);
    for (std::size_t i = 0; i < memory.members.size(); ++i) position[memory.members[i].input] = static_cast<int>(i);
    std::vector<std::size_t> kept(cloud.points.size());
    for (std::size_t j = 0; j < cloud.points.size(); ++j) {
        const WorkPoint& p = cloud.points[j];
        const std::uint32_t input = inputIndex(p);
        const int at = input <= largest ? position[input] : -1;
        if (at < 0) return Neighbourhoods();
        const NeighbourhoodMemory::Member& m = memory.members[static_cast<std::size_t>(at)];
        if (m.x != p.x || m.y != p.y || m.z != p.z) return Neighbourhoods();
        kept[j] = static_cast<std::size_t>(at);
    }
    return carryNeighbourhoods(memory.hoods, kept, [&memory](std::size_t i) {
        const NeighbourhoodMemory::Member& m = memory.members[i];
        return cl::Point3D<double>(m.x, m.y, m.z);
    });
}

// The points of one level grouped by cluster, each group in point order.
struct LevelClusters {
    std::vector<std::size_t> first;        // group c is byCluster[first[c] .. first[c + 1])
    std::vector<std::uint32_t> byCluster;  // point positions in the level's cloud
};

inline std::size_t clusterCount(const LevelClusters& c) { return c.first.size() - 1; }

// The points of a level once its cloud is released for the cut: the
// coordinates the clustering hands back (the same floats) and the input
// indices, of which a run of consecutive ones (a call's whole cloud) is kept
// as its first. A point made from them has the coordinates and input index
// of the cloud's, and its other fields as a fresh WorkPoint has them.
struct LevelPoints {
    cl::Array<cl::Point3D<float>> coordinates;
    std::vector<std::uint32_t> inputs;  // empty when consecutive
    std::uint32_t first = 0;

    std::size_t size() const { return coordinates.size(); }
    std::uint32_t inputOf(std::size_t i) const
    {
        return inputs.empty() ? first + static_cast<std::uint32_t>(i) : inputs[i];
    }
    WorkPoint at(std::size_t i) const
    {
        WorkPoint p;
        p.x = coordinates[i].x;
        p.y = coordinates[i].y;
        p.z = coordinates[i].z;
        p.rgba = inputOf(i);
        return p;
    }
};

// Neighbourhoods and clusters of one level: the cloud cut at resolution r,
// starting from the neighbourhoods known for it, which on return hold the
// cloud's own. The cloud's points are released for the cut; `points` then
// holds what the level needs of them.
LevelClusters clusterLevel(pcl::PointCloud<WorkPoint>& cloud, double r, Neighbourhoods& hoods, bool keepNormals,
                           LevelPoints& points)
{
    const std::size_t n = cloud.points.size();
    points.first = n > 0 ? inputIndex(cloud.points[0]) : 0;
    bool consecutive = true;
    for (std::size_t i = 0; i < n && consecutive; ++i) consecutive = inputIndex(cloud.points[i]) == points.first + i;
    points.inputs.resize(consecutive ? 0 : n);
    cl::Array<cl::Point3D<double>> widened;
    resizeOnPopulatedPages(widened, n);
    for (std::size_t i = 0; i < n; ++i) {
        const WorkPoint& p = cloud.points[i];
        widened[i] = cl::Point3D<double>(p.x, p.y, p.z);
        if (!consecutive) points.inputs[i] = inputIndex(p);
    }
    decltype(cloud.points)().swap(cloud.points);
    cl::Array<int> labels;
    cl::Array<int> representatives;
    clusterSupervoxels(std::move(widened), r, labels, representatives, &hoods, keepNormals, &points.coordinates);

    // A stable counting sort by cluster.
    LevelClusters clusters;
    const std::size_t count = representatives.size();
    clusters.first.assign(count + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++clusters.first[static_cast<std::size_t>(labels[i]) + 1];
    for (std::size_t c = 0; c < count; ++c) clusters.first[c + 1] += clusters.first[c];
    resizeOnPopulatedPages(clusters.byCluster, n);
    std::vector<std::size_t> next(clusters.first.begin(), clusters.first.end() - 1);
    for (std::size_t i = 0; i < n; ++i) clusters.byCluster[next[static_cast<std::size_t>(labels[i])]++] = static_cast<std::uint32_t>(i);
    return clusters;
}

// The level's cloud made again from its points, for a caller that reads it
// after the call.
void restoreCloud(pcl::PointCloud<WorkPoint>& cloud, const LevelPoints& points)
{
    resizeOnPopulatedPages(cloud.points, points.size());
    parallelFor(points.size(), kRestoreGrain, [&](std::size_t i) { cloud.points[i] = points.at(i); });
}

// Keeps the neighbourhoods of a cloud, with its points, for a later call on
// some of those points; returns where they are kept.
Neighbourhoods& remember(const LevelPoints& points, Neighbourhoods& hoods, NeighbourhoodMemory& memory)
{
    const std::size_t n = points.size();
    memory.members.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const cl::Point3D<float>& p = points.coordinates[i];
        memory.members[i] = NeighbourhoodMemory::Member{p.x, p.y, p.z, points.inputOf(i)};
    }
    memory.hoods = std::move(hoods);
    return memory.hoods;
}

// What a level leaves for the next one: the points of its small and
// non-planar clusters, cluster by cluster.
struct LevelRest {
    WorkCloud cloud;
    std::size_t planarFound = 0;
};

// A cluster of at least kappa points, fitted; its cloud is made once the fit
// is known planar.
struct FittedCluster {
    Supervoxel candidate;
    bool planar = false;
};

// The points of cluster c as a cloud of their own.
WorkCloud clusterCloud(const LevelPoints& points, const LevelClusters& clusters, std::size_t c)
{
    WorkCloud cloud = makeWorkCloud();
    cloud->points.reserve(clusters.first[c + 1] - clusters.first[c]);
    for (std::size_t k = clusters.first[c]; k < clusters.first[c + 1]; ++k) cloud->points.push_back(points.at(clusters.byCluster[k]));
    setRowShape(*cloud);
    return cloud;
}

// Fits every cluster of at least kappa points. Each fit reads only its own
// points, so the clusters are fitted at the same time. The clouds fitted are
// not kept: made again for the planar clusters after the level's
// neighbourhoods are dropped, they never take their room beside them.
std::vector<FittedCluster> fitClusters(const LevelPoints& points, const LevelClusters& clusters,
                                       const VELA::tag_VELAParameter& para)
{
    std::vector<FittedCluster> fitted(clusterCount(clusters));
    parallelFor(fitted.size(), 1, [&](std::size_t c) {
        if (static_cast<std::int64_t>(clusters.first[c + 1] - clusters.first[c]) < para.kappa) return;
        fitPlaneDescriptor(clusterCloud(points, clusters, c), fitted[c].candidate.descriptor, true);
        fitted[c].planar = isPlanar(fitted[c].candidate.descriptor, para.phic);
    });
    return fitted;
}

// The number of points the split leaves: those of the clusters not planar.
std::size_t restCount(const LevelClusters& clusters, const std::vector<FittedCluster>& fitted)
{
    std::size_t count = 0;
    for (std::size_t c = 0; c < clusterCount(clusters); ++c)
        if (!fitted[c].planar) count += clusters.first[c + 1] - clusters.first[c];
    return count;
}

// The positions of the points the split leaves, cluster by cluster.
std::vector<std::size_t> restPositions(const LevelClusters& clusters, const std::vector<FittedCluster>& fitted)
{
    std::vector<std::size_t> from;
    cl::reserveOnLargePages(from, restCount(clusters, fitted));
    for (std::size_t c = 0; c < clusterCount(clusters); ++c)
        if (!fitted[c].planar)
            from.insert(from.end(), clusters.byCluster.begin() + static_cast<std::ptrdiff_t>(clusters.first[c]),
                        clusters.byCluster.begin() + static_cast<std::ptrdiff_t>(clusters.first[c + 1]));
    return from;
}

// The split of one level, in cluster order: planar clusters are appended to
// the set's supervoxels; the points of the others make the rest.
LevelRest splitClusters(const LevelPoints& points, const LevelClusters& clusters, std::vector<FittedCluster>& fitted,
                        SupervoxelSet& set)
{
    parallelFor(fitted.size(), 1, [&](std::size_t c) {
        if (fitted[c].planar) fitted[c].candidate.cloud = clusterCloud(points, clusters, c);
    });
    LevelRest rest;
    rest.cloud = makeWorkCloud();
    // Most points of a level usually go to planar supervoxels: the rest
    // takes room for its own points only.
    cl::reserveOnLargePages(rest.cloud->points, restCount(clusters, fitted));
    for (std::size_t c = 0; c < clusterCount(clusters); ++c) {
        if (!fitted[c].planar) {
            for (std::size_t k = clusters.first[c]; k < clusters.first[c + 1]; ++k)
                rest.cloud->points.push_back(points.at(clusters.byCluster[k]));
            continue;
        }
        Supervoxel& candidate = fitted[c].candidate;
        candidate.descriptor.planar = 1;
        candidate.id = set.planarCount;
        set.supervoxels.push_back(std::move(candidate));
        ++set.planarCount;
        ++rest.planarFound;
    }
    setRowShape(*rest.cloud);
    return rest;
}

void observeLevel(const LevelObserver* observer, double r, std::size_t points, std::size_t clusters,
                 std::size_t planar, std::chrono::steady_clock::time_point started)
{
    if (observer == nullptr || !*observer) return;
    LevelReport report;
    report.resolution = r;
    report.points = points;
    report.clusters = clusters;
    report.planar = planar;
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    (*observer)(report);
}

// One level at resolution rmax and, while they find planar supervoxels, the
// finer levels on what is left; the last level's leftover goes to
// `independent`. Starts from the neighbourhoods of the supervoxel's cloud as
// far as they are known, and fills a memory with those of the first level.
bool splitLevels(Supervoxel supervoxel, SupervoxelSet& set, const VELA::tag_VELAParameter& para,
                 const LevelObserver* observer, Neighbourhoods carried, NeighbourhoodMemory* memory, bool keepCloud)
{
    double r = para.rmax;
    // Each level hands its leftover to the next one; written as a loop, the
    // tail call keeps no stack of finished levels.
    int level = 0;
    for (bool firstLevel = true;; firstLevel = false) {
        pcl::PointCloud<WorkPoint>& cloud = *supervoxel.cloud;
        if (para.rmin >= r || static_cast<std::int64_t>(cloud.points.size()) < para.kappa) {
            appendIndependent(supervoxel, set);
            return true;
        }
        reportLevel(++level);
        // Only the outermost level's failure reaches the caller.
        if (cloud.points.empty()) return !firstLevel;

        const auto started = std::chrono::steady_clock::now();
        // Calls that remember run again and again on the leftovers of a
        // segmentation: they keep the normals, which is faster than making
        // the carried ones again. A first segmentation makes them again for
        // the leftovers of each cut and keeps its peak lower.
        LevelPoints points;
        const LevelClusters clusters = clusterLevel(cloud, r, carried, memory != nullptr, points);
        const Neighbourhoods& hoods = firstLevel && memory != nullptr ? remember(points, carried, *memory) : carried;
        std::vector<FittedCluster> fitted = fitClusters(points, clusters, para);
        // The next level's neighbourhoods are carried over before the
        // supervoxels' clouds take their room, and this level's dropped.
        if (std::any_of(fitted.begin(), fitted.end(), [](const FittedCluster& c) { return c.planar; })) {
            Neighbourhoods next = carryNeighbourhoods(hoods, restPositions(clusters, fitted), [&points](std::size_t i) {
                const cl::Point3D<float>& p = points.coordinates[i];
                return cl::Point3D<double>(p.x, p.y, p.z);
            });
            carried = std::move(next);
        }
        LevelRest rest = splitClusters(points, clusters, fitted, set);
        observeLevel(observer, r, points.size(), clusterCount(clusters), rest.planarFound, started);
        // Later levels cut clouds of their own, which nobody reads once split.
        if (firstLevel && keepCloud) restoreCloud(cloud, points);

        Supervoxel leftover;
        leftover.cloud = rest.cloud;
        if (rest.planarFound == 0) {
            appendIndependent(leftover, set);
            return true;
        }
        supervoxel = std::move(leftover);
        r = r * para.rdelta;
    }
}

}  // namespace

bool segmentMultiScale(const WorkCloud& cloud, SupervoxelSet& set, const VELA::tag_VELAParameter& para,
                       const LevelObserver* observer, NeighbourhoodMemory* memory, bool keepCloud)
{
    Supervoxel whole;
    whole.cloud = cloud;
    Neighbourhoods known = memory != nullptr ? recall(*memory, *cloud) : Neighbourhoods();
    if (!splitLevels(whole, set, para, observer, std::move(known), memory, keepCloud)) return false;

    ColourSequence colours;
    for (std::int32_t i = 0; i < set.planarCount; ++i)
        set.supervoxels[static_cast<std::size_t>(i)].descriptor.colour = nextColour(colours);

    if (set.nonplanarCount < 2) {
        if (!set.independent.empty()) set.independent.front().descriptor.colour = kNoPlaneColour;
        return true;
    }
    WorkCloud merged = makeWorkCloud();
    for (const Supervoxel& record : set.independent)
        merged->points.insert(merged->points.end(), record.cloud->points.begin(), record.cloud->points.end());
    setRowShape(*merged);
    Supervoxel single;
    single.cloud = merged;
    single.descriptor.colour = kNoPlaneColour;
    set.independent.clear();
    set.independent.push_back(single);
    set.nonplanarCount = 1;
    return true;
}

}  // namespace vela
