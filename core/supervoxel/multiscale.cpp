#include "supervoxel/multiscale.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "planar/plane_fit.h"
#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"
#include "supervoxel/clustering.h"
#include "supervoxel/progress.h"

namespace vela {

namespace {

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
    return carryNeighbourhoods(memory.hoods, kept);
}

// splitAtResolution with the neighbourhoods of the supervoxel's cloud as far
// as they are known, and a memory for those of the first level's cloud.
bool splitLevels(Supervoxel supervoxel, SupervoxelSet& set, double r, double rmin, double rdelta, std::int32_t kappa,
                 double phic, const LevelObserver* observer, Neighbourhoods carried, NeighbourhoodMemory* memory)
{
    // Each level hands its leftover to the next one; written as a loop, the
    // tail call keeps no stack of finished levels.
    int level = 0;
    for (bool firstLevel = true;; firstLevel = false) {
        const pcl::PointCloud<WorkPoint>& cloud = *supervoxel.cloud;
        if (rmin >= r || static_cast<std::int64_t>(cloud.points.size()) < kappa) {
            appendIndependent(supervoxel, set);
            return true;
        }
        reportLevel(++level);
        // Only the outermost level's failure reaches the caller.
        if (cloud.points.empty()) return !firstLevel;

        const auto started = std::chrono::steady_clock::now();
        const std::size_t n = cloud.points.size();
        cl::Array<cl::Point3D<double>> points(n);
        for (std::size_t i = 0; i < n; ++i) points[i] = cl::Point3D<double>(cloud.points[i].x, cloud.points[i].y, cloud.points[i].z);
        cl::Array<int> labels;
        cl::Array<int> representatives;
        clusterSupervoxels(std::move(points), r, labels, representatives, &carried);
        const std::size_t clusterCount = representatives.size();
        if (firstLevel && memory != nullptr) {
            memory->members.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const WorkPoint& p = cloud.points[i];
                memory->members[i] = NeighbourhoodMemory::Member{p.x, p.y, p.z, inputIndex(p)};
            }
            memory->hoods = std::move(carried);
        }
        const Neighbourhoods& levelHoods = firstLevel && memory != nullptr ? memory->hoods : carried;

        // Points of each cluster in point order: a stable counting sort.
        std::vector<std::size_t> first(clusterCount + 1, 0);
        for (std::size_t i = 0; i < n; ++i) ++first[static_cast<std::size_t>(labels[i]) + 1];
        for (std::size_t c = 0; c < clusterCount; ++c) first[c + 1] += first[c];
        std::vector<std::size_t> byCluster(n);
        {
            std::vector<std::size_t> next(first.begin(), first.end() - 1);
            for (std::size_t i = 0; i < n; ++i) byCluster[next[static_cast<std::size_t>(labels[i])]++] = i;
        }

        WorkCloud rest = makeWorkCloud();
        // Where each point of `rest` was in this level's cloud.
        std::vector<std::size_t> restFrom;
        restFrom.reserve(n);
        bool found = false;
        std::size_t planarFound = 0;
        for (std::size_t c = 0; c < clusterCount; ++c) {
            const std::size_t size = first[c + 1] - first[c];
            if (static_cast<std::int64_t>(size) < kappa) {
                for (std::size_t k = first[c]; k < first[c + 1]; ++k) {
                    rest->points.push_back(cloud.points[byCluster[k]]);
                    restFrom.push_back(byCluster[k]);
                }
                continue;
            }
            Supervoxel candidate;
            candidate.cloud = makeWorkCloud();
            candidate.cloud->points.reserve(size);
            for (std::size_t k = first[c]; k < first[c + 1]; ++k) candidate.cloud->points.push_back(cloud.points[byCluster[k]]);
            setRowShape(*candidate.cloud);
            fitPlaneDescriptor(candidate.cloud, candidate.descriptor, true);
            if (isPlanar(candidate.descriptor, phic)) {
                candidate.descriptor.planar = 1;
                candidate.id = set.planarCount;
                set.supervoxels.push_back(std::move(candidate));
                ++set.planarCount;
                found = true;
                ++planarFound;
            } else {
                rest->points.insert(rest->points.end(), candidate.cloud->points.begin(), candidate.cloud->points.end());
                restFrom.insert(restFrom.end(), byCluster.begin() + static_cast<std::ptrdiff_t>(first[c]),
                                byCluster.begin() + static_cast<std::ptrdiff_t>(first[c + 1]));
            }
        }
        setRowShape(*rest);
        Supervoxel leftover;
        leftover.cloud = rest;

        if (observer != nullptr && *observer) {
            LevelReport report;
            report.resolution = r;
            report.points = n;
            report.clusters = clusterCount;
            report.planar = planarFound;
            report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            (*observer)(report);
        }

        if (!found) {
            appendIndependent(leftover, set);
            return true;
        }
        carried = carryNeighbourhoods(levelHoods, restFrom);
        supervoxel = std::move(leftover);
        r = r * rdelta;
    }
}

}  // namespace

bool splitAtResolution(Supervoxel supervoxel, SupervoxelSet& set, double r, double rmin, double rdelta,
                       std::int32_t kappa, double phic, const LevelObserver* observer)
{
    return splitLevels(std::move(supervoxel), set, r, rmin, rdelta, kappa, phic, observer, Neighbourhoods(), nullptr);
}

bool segmentMultiScale(const WorkCloud& cloud, SupervoxelSet& set, double rmax, double rmin, double rdelta,
                       std::int32_t kappa, double phic, const LevelObserver* observer, NeighbourhoodMemory* memory)
{
    Supervoxel whole;
    whole.cloud = cloud;
    Neighbourhoods known = memory != nullptr ? recall(*memory, *cloud) : Neighbourhoods();
    if (!splitLevels(whole, set, rmax, rmin, rdelta, kappa, phic, observer, std::move(known), memory)) return false;

    // A fresh generator per call: every call colours with the same sequence.
    std::mt19937 generator(5489u);
    for (std::int32_t i = 0; i < set.planarCount; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(generator());
        ColourRGB& colour = set.supervoxels[static_cast<std::size_t>(i)].descriptor.colour;
        colour.r = static_cast<std::uint8_t>((v >> 16) & 255);
        colour.g = static_cast<std::uint8_t>((v >> 8) & 255);
        colour.b = static_cast<std::uint8_t>(v & 255);
    }

    const ColourRGB white{255, 255, 255};
    if (set.nonplanarCount < 2) {
        if (!set.independent.empty()) set.independent.front().descriptor.colour = white;
        return true;
    }
    WorkCloud merged = makeWorkCloud();
    for (const Supervoxel& record : set.independent)
        merged->points.insert(merged->points.end(), record.cloud->points.begin(), record.cloud->points.end());
    setRowShape(*merged);
    Supervoxel single;
    single.cloud = merged;
    single.descriptor.colour = white;
    set.independent.clear();
    set.independent.push_back(single);
    set.nonplanarCount = 1;
    return true;
}

}  // namespace vela
