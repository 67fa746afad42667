// Merging of the segments grown from supervoxels: the same link-and-flood as
// region growing, one level up, so that planes split by the first pass's
// tighter thresholds come together.
#include "growing/segment_merging.h"

#include <utility>

#include "growing/link_flood.h"

namespace vela {

bool floodSegments(SupervoxelSet& set, const SegmentSet& segments, PlaneSegment& merged,
                   std::int32_t& remaining, std::vector<std::uint8_t>& available, int index)
{
    return floodLinks(segments.planes, remaining, available, index, [&](int s) {
        for (int m : segments.planes[s].members) {
            set.supervoxels[m].descriptor.label = merged.descriptor.label;
            merged.members.push_back(m);
        }
    });
}

bool mergeSegments(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para)
{
    const int count = segments.planarCount;
    linkNeighbours(segments.planes, count, para.gamma, para.phid, degreesToRadians(para.theta));

    std::vector<PlaneSegment> merged =
        floodIntoSegments(segments.planes, count, 0,
                          [&](PlaneSegment& segment, std::int32_t& remaining, std::vector<std::uint8_t>& available,
                              int seed) { floodSegments(set, segments, segment, remaining, available, seed); });
    for (PlaneSegment& segment : merged) refitSegment(set, segment, false);

    segments.planes = std::move(merged);
    segments.planarCount = static_cast<std::int32_t>(segments.planes.size());
    return true;
}

}  // namespace vela
