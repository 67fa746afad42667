// Region growing of planar supervoxels into plane segments, the first of the
// two link-and-flood passes.
#include "growing/region_growing.h"

#include <utility>

#include "growing/link_flood.h"
#include "supervoxel/display_colour.h"
#include "supervoxel/thread_pool.h"

namespace vela {

namespace {

// The segment of the points in no plane: the first independent record, under
// label -1. Sets built from caller-supplied supervoxels have no such record,
// and then no such segment.
void appendIndependentSegment(SupervoxelSet& set, SegmentSet& segments)
{
    if (set.independent.empty()) return;
    Supervoxel& independent = set.independent[0];
    independent.descriptor.label = -1;
    PlaneSegment others;
    others.descriptor = independent.descriptor;
    others.descriptor.label = -1;
    others.descriptor.planar = 0;
    others.descriptor.colour = kNoPlaneColour;
    others.members.push_back(independent.id);
    segments.others.push_back(std::move(others));
    ++segments.nonplanarCount;
}

}  // namespace

bool floodSupervoxels(SupervoxelSet& set, PlaneSegment& segment, std::int32_t& remaining,
                      std::vector<std::uint8_t>& available, int index)
{
    return floodLinks(set.supervoxels, remaining, available, index, [&](int k) {
        Supervoxel& supervoxel = set.supervoxels[k];
        supervoxel.descriptor.label = segment.descriptor.label;
        segment.members.push_back(supervoxel.id);
    });
}

bool growRegions(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para, double share)
{
    const int count = set.planarCount;
    linkNeighbours(set.supervoxels, count, share * para.gamma, share * para.phid, degreesToRadians(para.theta));

    std::vector<PlaneSegment> grown =
        floodIntoSegments(set.supervoxels, count, segments.planarCount,
                          [&](PlaneSegment& segment, std::int32_t& remaining, std::vector<std::uint8_t>& available,
                              int seed) { floodSupervoxels(set, segment, remaining, available, seed); });
    // Each fit reads its members' points and writes its own segment only.
    parallelFor(grown.size(), 1, [&](std::size_t k) { refitSegment(set, grown[k], true); });
    for (PlaneSegment& segment : grown) {
        segments.planes.push_back(std::move(segment));
        ++segments.planarCount;
    }

    appendIndependentSegment(set, segments);
    return true;
}

}  // namespace vela
