// The link-and-flood that both growing passes run. Items whose boxes touch
// and whose planes pass the merge test are linked, and the links are flooded
// from seeds of low curvature, flattest first, so that every segment starts
// in its cleanest part. Region growing runs it over the RPS, segment merging
// over the segments of the first pass; they differ only in what taking an
// item into a segment means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "supervoxel/display_colour.h"
#include "supervoxel/supervoxel_set.h"

namespace vela {

// The value of pi the angle thresholds have always been converted with; a
// closer value would move which plane pairs lie exactly on the threshold.
constexpr double kThresholdPi = 3.1415926535898;

inline double degreesToRadians(double degrees) { return degrees * kThresholdPi / 180.0; }

// True when the angle between the two normals (opposite normals are parallel)
// is at most |thetaRad| and the offset between the centres, measured along
// the normal of either descriptor, is at most phid for at least one of them.
bool isMergeable(const PlaneDescriptor& a, const PlaneDescriptor& b, double phid, double thetaRad);

// Links the first `count` supervoxels: each one's similarNeighbours and
// otherNeighbours receive, in index order, the ids of the other supervoxels
// whose boxes touch its own at margin gamma and that pass, or fail, the
// merge test. The links are directed: each keeps its own lists.
void linkNeighbours(std::vector<Supervoxel>& supervoxels, int count, double gamma, double phid, double thetaRad);

// The same for the first `count` segments, by position; segments that are
// not planar are nobody's neighbours (though they link to others).
void linkNeighbours(std::vector<PlaneSegment>& segments, int count, double gamma, double phid, double thetaRad);

// Seeds are taken by smallest curvature below 99999, lowest position on ties;
// once none of the available items has such a curvature, the lowest available
// position is taken so that every item still ends up in a segment.
struct SeedOrder {
    std::vector<int> byCurvature;  // positions with a usable curvature, in seed order
    std::size_t next = 0;
    int lowest = 0;
};

SeedOrder makeSeedOrder(const std::vector<double>& curvatures);

// The seed among the items still available; at least one must be.
int nextSeed(SeedOrder& order, const std::vector<std::uint8_t>& available);

// Takes item `index` and every available item reachable from it through the
// records' similarNeighbours (positions), depth first in list order: each is
// marked unavailable, counted off `remaining` and handed to `take`. False
// when `index` was already taken. An explicit stack keeps long chains of
// linked items off the call stack.
template <typename Record, typename Take>
bool floodLinks(const std::vector<Record>& records, std::int32_t& remaining, std::vector<std::uint8_t>& available,
                int index, Take&& take)
{
    if (!available[index]) return false;
    struct Frame {
        int item;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto enter = [&](int k) {
        available[k] = 0;
        --remaining;
        take(k);
        stack.push_back(Frame{k, 0});
    };
    enter(index);
    while (!stack.empty()) {
        Frame& top = stack.back();
        const std::vector<int>& links = records[top.item].similarNeighbours;
        if (top.next == links.size()) {
            stack.pop_back();
            continue;
        }
        const int k = links[top.next++];
        if (available[k]) enter(k);
    }
    return true;
}

// Floods the first `count` linked records into new plane segments until none
// is left. Each segment starts at the next seed (by the records'
// curvatures), is planar, takes the pass's next display colour and the label
// firstLabel, firstLabel + 1, ..., and is filled by
// `flood(segment, remaining, available, seed)`.
template <typename Record, typename Flood>
std::vector<PlaneSegment> floodIntoSegments(const std::vector<Record>& records, int count, std::int32_t firstLabel,
                                            Flood&& flood)
{
    std::vector<std::uint8_t> available(static_cast<std::size_t>(count), 1);
    std::int32_t remaining = count;
    std::vector<double> curvatures(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) curvatures[i] = records[i].descriptor.curvature;
    SeedOrder seeds = makeSeedOrder(curvatures);
    ColourSequence colours;

    std::vector<PlaneSegment> made;
    while (remaining > 0) {
        const int seed = nextSeed(seeds, available);
        PlaneSegment segment;
        segment.descriptor.planar = 1;
        segment.descriptor.colour = nextColour(colours);
        segment.descriptor.label = firstLabel + static_cast<std::int32_t>(made.size());
        flood(segment, remaining, available, seed);
        made.push_back(std::move(segment));
    }
    return made;
}

}  // namespace vela
