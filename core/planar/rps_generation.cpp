#include "planar/rps_generation.h"

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <utility>
#include <vector>

#include "planar/orsa_planar.h"
#include "supervoxel/display_colour.h"
#include "supervoxel/plane_fit.h"
#include "supervoxel/thread_pool.h"

namespace vela {

namespace {

// The record that collects independent points; made when a caller hands in a
// set without one, so that no removed point is lost.
pcl::PointCloud<WorkPoint>& independentCloud(SupervoxelSet& set)
{
    if (set.independent.empty()) {
        Supervoxel record;
        record.descriptor.planar = 0;
        record.descriptor.colour = kNoPlaneColour;
        set.independent.push_back(record);
        set.nonplanarCount = static_cast<std::int32_t>(set.independent.size());
    }
    WorkCloud& cloud = set.independent.front().cloud;
    if (!cloud) cloud = makeWorkCloud();
    return *cloud;
}

// Erases the records at the given increasing positions in one pass, keeping
// the order of the others.
void eraseRecords(std::vector<Supervoxel>& records, const std::vector<int>& positions)
{
    std::size_t next = 0;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (next < positions.size() && static_cast<std::size_t>(positions[next]) == p) {
            ++next;
            continue;
        }
        if (kept != p) records[kept] = std::move(records[p]);
        ++kept;
    }
    records.resize(kept);
}

// What testing one supervoxel did: the outlier clouds it cut away, in order,
// whether a test could not run, and whether no point was left.
struct CutOutcome {
    std::vector<WorkCloud> outliers;
    bool failed = false;
    bool emptied = false;
};

// Cuts the supervoxel down until its largest residual is within tau. Touches
// nothing but the supervoxel and its cloud, so supervoxels with clouds of
// their own can be cut at the same time.
CutOutcome cutToFit(Supervoxel& supervoxel, const VELA::tag_VELAParameter& para)
{
    CutOutcome outcome;
    // Strict, and false for a not-a-number residual: such a fit is left alone.
    while (supervoxel.descriptor.maxResidual > para.tau) {
        WorkCloud outliers;
        bool changed = false;
        if (!ORSA_Planar(supervoxel, outliers, changed, para.kappa, para.tau, para.epsilon)) {
            outcome.failed = true;
            break;
        }
        if (!changed) break;
        outcome.outliers.push_back(outliers);
        if (supervoxel.cloud->points.empty()) {
            outcome.emptied = true;
            break;
        }
        // Each round strictly shrinks the supervoxel, so this loop ends.
        refitSupervoxel(supervoxel, true);
    }
    return outcome;
}

// Whether a supervoxel due for the test shares its cloud with another one or
// with the independent points: the test empties a rejected cloud in place,
// so such supervoxels see each other and are taken one after the other.
bool testedCloudsShared(const SupervoxelSet& set, double tau)
{
    std::vector<const void*> clouds;
    for (std::int32_t i = 0; i < set.planarCount; ++i) {
        const Supervoxel& supervoxel = set.supervoxels[static_cast<std::size_t>(i)];
        if (supervoxel.descriptor.maxResidual > tau) clouds.push_back(supervoxel.cloud.get());
    }
    if (!set.independent.empty()) clouds.push_back(set.independent.front().cloud.get());
    std::sort(clouds.begin(), clouds.end());
    return std::adjacent_find(clouds.begin(), clouds.end()) != clouds.end();
}

// Positions of the first `count` supervoxels by decreasing number of
// points, ties in position order.
std::vector<std::size_t> largestFirst(const SupervoxelSet& set, std::size_t count)
{
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return set.supervoxels[a].cloud->points.size() > set.supervoxels[b].cloud->points.size();
    });
    return order;
}

}  // namespace

bool generateRPS(SupervoxelSet& set, const VELA::tag_VELAParameter& para)
{
    const std::size_t count = static_cast<std::size_t>(std::max(set.planarCount, 0));
    std::vector<CutOutcome> outcomes(count);
    auto test = [&](std::size_t i) { outcomes[i] = cutToFit(set.supervoxels[i], para); };
    if (testedCloudsShared(set, para.tau)) {
        for (std::size_t i = 0; i < count; ++i) test(i);
    } else {
        // One large supervoxel can take most of the stage: the largest start
        // first, so that the small ones fill the other threads meanwhile.
        const std::vector<std::size_t> order = largestFirst(set, count);
        parallelForEach(count, [&](std::size_t k) { test(order[k]); });
    }

    // In supervoxel order, as one supervoxel after the other would have left them.
    std::vector<int> removed;
    for (std::size_t i = 0; i < count; ++i) {
        CutOutcome& outcome = outcomes[i];
        if (outcome.failed) std::cout << "supervoxel " << i << " ORSA_Planar() failed." << std::endl;
        for (const WorkCloud& outliers : outcome.outliers) {
            pcl::PointCloud<WorkPoint>& independent = independentCloud(set);
            independent.points.insert(independent.points.end(), outliers->points.begin(), outliers->points.end());
        }
        outcome.outliers.clear();
        if (outcome.emptied) removed.push_back(static_cast<int>(i));
    }

    if (!removed.empty()) {
        eraseRecords(set.supervoxels, removed);
        set.planarCount -= static_cast<std::int32_t>(removed.size());
        for (int i = 0; i < set.planarCount; ++i) set.supervoxels[i].id = i;
    }
    setRowShape(independentCloud(set));
    return true;
}

}  // namespace vela
