#include "planar/rps_generation.h"

#include <cstddef>
#include <iostream>
#include <utility>
#include <vector>

#include "planar/orsa_planar.h"
#include "supervoxel/display_colour.h"
#include "supervoxel/plane_fit.h"

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

}  // namespace

bool generateRPS(SupervoxelSet& set, const VELA::tag_VELAParameter& para)
{
    const double tau = para.tau;
    std::vector<int> removed;
    for (int i = 0; i < set.planarCount; ++i) {
        Supervoxel& supervoxel = set.supervoxels[i];
        // Strict, and false for a not-a-number residual: such a fit is left alone.
        while (supervoxel.descriptor.maxResidual > tau) {
            WorkCloud outliers;
            bool changed = false;
            if (!ORSA_Planar(supervoxel, outliers, changed, para.kappa, tau, para.epsilon)) {
                std::cout << "supervoxel " << i << " ORSA_Planar() failed." << std::endl;
                break;
            }
            if (!changed) break;
            pcl::PointCloud<WorkPoint>& independent = independentCloud(set);
            independent.points.insert(independent.points.end(), outliers->points.begin(), outliers->points.end());
            if (supervoxel.cloud->points.empty()) {
                removed.push_back(i);
                break;
            }
            // Each round strictly shrinks the supervoxel, so this loop ends.
            refitSupervoxel(supervoxel, true);
        }
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
