// Merging of the segments grown from supervoxels: the same link-and-flood as
// region growing, one level up, so that planes split by the first pass's
// tighter thresholds come together.
#include "growing/segment_merging.h"

#include <random>
#include <utility>

#include "growing/region_growing.h"

namespace vela {

std::vector<int> findTouchingSegments(const SegmentSet& segments, const PlaneSegment& segment,
                                      double gamma)
{
    std::vector<int> touching;
    const ContactBox box = contactBoxOf(segment.descriptor);
    for (int k = 0; k < segments.planarCount; ++k) {
        const PlaneDescriptor& other = segments.planes[k].descriptor;
        if (boxesTouch(box, contactBoxOf(other), gamma) && other.planar == 1) touching.push_back(k);
    }
    return touching;
}

bool floodSegments(SupervoxelSet& set, const SegmentSet& segments, PlaneSegment& merged,
                   std::int32_t& remaining, std::vector<std::uint8_t>& available, int index)
{
    if (!available[index]) return false;

    // Depth first in neighbour-list order, as a recursion would visit them,
    // on an explicit stack so that long chains cannot exhaust the call stack.
    struct Frame {
        int segment;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto take = [&](int s) {
        for (int m : segments.planes[s].members) {
            set.supervoxels[m].descriptor.label = merged.descriptor.label;
            merged.members.push_back(m);
        }
        available[s] = 0;
        --remaining;
        stack.push_back(Frame{s, 0});
    };

    take(index);
    while (!stack.empty()) {
        Frame& top = stack.back();
        const std::vector<int>& links = segments.planes[top.segment].similarNeighbours;
        if (top.next == links.size()) {
            stack.pop_back();
            continue;
        }
        const int s = links[top.next++];
        if (available[s]) take(s);
    }
    return true;
}

bool mergeSegments(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para)
{
    const double gamma = para.gamma;
    const double phid = para.phid;
    const double thetaRad = degreesToRadians(para.theta);
    const int count = segments.planarCount;
    std::vector<PlaneSegment>& planes = segments.planes;

    // All candidate lists at once; each equals findTouchingSegments of that
    // segment.
    std::vector<ContactBox> boxes(count);
    for (int i = 0; i < count; ++i) boxes[i] = contactBoxOf(planes[i].descriptor);
    const ContactLists contacts = findBoxContacts(boxes, gamma);

    std::vector<std::uint8_t> available(count);
    for (int i = 0; i < count; ++i) {
        available[i] = 1;
        PlaneSegment& segment = planes[i];
        for (const int* c = contacts.begin(i); c != contacts.end(i); ++c) {
            if (*c == i || planes[*c].descriptor.planar != 1) continue;
            if (isMergeable(segment.descriptor, planes[*c].descriptor, phid, thetaRad))
                segment.similarNeighbours.push_back(*c);
            else
                segment.otherNeighbours.push_back(*c);
        }
    }

    std::int32_t remaining = count;
    std::mt19937 colours = makeColourGenerator();
    std::vector<double> curvatures(count);
    for (int i = 0; i < count; ++i) curvatures[i] = planes[i].descriptor.curvature;
    SeedOrder seeds = makeSeedOrder(curvatures);

    std::vector<PlaneSegment> merged;
    while (remaining > 0) {
        const int seed = nextSeed(seeds, available);
        PlaneSegment segment;
        segment.descriptor.planar = 1;
        segment.descriptor.colour = colourFromOutput(static_cast<std::uint32_t>(colours()));
        segment.descriptor.label = static_cast<std::int32_t>(merged.size());
        floodSegments(set, segments, segment, remaining, available, seed);
        refitSegment(set, segment, false);
        merged.push_back(std::move(segment));
    }

    segments.planes = std::move(merged);
    segments.planarCount = static_cast<std::int32_t>(segments.planes.size());
    return true;
}

}  // namespace vela
