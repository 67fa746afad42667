// The exported segmentation methods: parameter block, working cloud, stages,
// timing and conversion of the results back to input points.
#include <iostream>

#include "segmenter/base_offset.h"
#include "segmenter/millisecond_clock.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/multiscale.h"
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

bool hasWork(const std::vector<VELA::SVPoint3d>& points)
{
    for (const VELA::SVPoint3d& p : points)
        if (isFinitePoint(p)) return true;
    return false;
}

// Statistics block after each stage; independent points are those of the
// first independent record.
void printStatistics(const SupervoxelSet& set, std::size_t n)
{
    const std::size_t independent = set.independent.empty() ? 0 : set.independent[0].cloud->points.size();
    const std::uint64_t planar = static_cast<std::uint64_t>(n - independent);
    std::cout << "planar supervoxels number: " << set.planarCount << std::endl;
    std::cout << "nonplanar supervoxels number: " << set.nonplanarCount << std::endl;
    std::cout << "planar points number: " << planar << std::endl;
    std::cout << "planar points ratio: " << static_cast<double>(planar) / static_cast<double>(n) << std::endl;
    std::cout << std::endl;
}

}  // namespace

// The stage sequence shared by both full segmentation methods. The later
// stages (planar supervoxel test, optimisation, growing) are not built yet,
// so no plane segment comes out.
bool runPipeline(WorkCloud cloud, SupervoxelSet& set, SegmentSet& /*segments*/,
                 const VELA::tag_VELAParameter& p, std::int32_t /*iter*/)
{
    const std::size_t n = cloud->points.size();
    std::cout << "start Multi-scale Supervoxel Segmentation..." << std::endl;
    segmentMultiScale(cloud, set, p.rmax, p.rmin, p.rdelta, p.kappa, p.phic);
    printStatistics(set, n);
    return true;
}

}  // namespace vela

namespace VELA {

// Every method refuses an input with no point that can take part (an empty
// vector, or only non-finite coordinates): there is no first point to choose
// the frame from and nothing to segment. It then returns false before
// printing anything.

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                        std::vector<std::vector<SVPoint3d>>& /*planes*/,
                                        std::vector<SVPoint3d>& /*others*/,
                                        std::vector<tag_PCoefficient>& /*coefficients*/)
{
    if (!vela::hasWork(points)) return false;
    vela::printParameterBlock(get_para());
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    vela::WorkCloud cloud = vela::buildWorkCloud(points, offset);

    const std::int64_t start = vela::millisecondClock();
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    vela::runPipeline(cloud, set, segments, get_para(), iter);
    vela::printElapsed(start);
    return true;
}

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                        std::map<int, int>& /*labels*/,
                                        std::map<int, tag_PCoefficient>& /*coefficients*/)
{
    if (!vela::hasWork(points)) return false;
    vela::printParameterBlock(get_para());
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    vela::WorkCloud cloud = vela::buildWorkCloud(points, offset);

    const std::int64_t start = vela::millisecondClock();
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    vela::runPipeline(cloud, set, segments, get_para(), iter);
    vela::printElapsed(start);
    return true;
}

bool VELA_Plane::VELA_RPSGeneration(std::vector<SVPoint3d> points,
                                    std::vector<std::vector<SVPoint3d>>& /*rps*/,
                                    std::vector<SVPoint3d>& /*independent*/,
                                    std::vector<tag_PCoefficient>& /*coefficients*/)
{
    if (!vela::hasWork(points)) return false;
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
