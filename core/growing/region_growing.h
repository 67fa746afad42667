// Region growing: links touching planar supervoxels whose planes agree in
// angle and offset, and floods the links into plane segments. The merge test,
// the box contact search and the seed order defined here are shared with
// segment merging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// The value of pi the angle thresholds have always been converted with; a
// closer value would move which plane pairs lie exactly on the threshold.
constexpr double kThresholdPi = 3.1415926535898;

inline double degreesToRadians(double degrees) { return degrees * kThresholdPi / 180.0; }

// True when the angle between the two normals (opposite normals are parallel)
// is at most |thetaRad| and the offset between the centres, measured along
// the normal of either descriptor, is at most phid for at least one of them.
bool isMergeable(const PlaneDescriptor& a, const PlaneDescriptor& b, double phid, double thetaRad);

// Axis-aligned box of a descriptor, kept compact for the contact search.
struct ContactBox {
    float lo[3];
    float hi[3];
};

ContactBox contactBoxOf(const PlaneDescriptor& descriptor);

// On every axis the gap between the boxes is below gamma: the float gap
// compared in double, strictly, so boxes exactly gamma apart do not touch.
// Overlapping boxes touch; a box touches itself unless it is empty or NaN.
bool boxesTouch(const ContactBox& a, const ContactBox& b, double gamma);

inline bool boxesTouch(const PlaneDescriptor& a, const PlaneDescriptor& b, double gamma)
{
    return boxesTouch(contactBoxOf(a), contactBoxOf(b), gamma);
}

// For every box, the positions of all boxes it touches (itself included when
// it touches itself), ascending; list i is items[offsets[i] .. offsets[i+1]).
struct ContactLists {
    std::vector<std::size_t> offsets;
    std::vector<int> items;

    std::size_t size(std::size_t i) const { return offsets[i + 1] - offsets[i]; }
    const int* begin(std::size_t i) const { return items.data() + offsets[i]; }
    const int* end(std::size_t i) const { return items.data() + offsets[i + 1]; }
};

// Same lists as testing every pair with boxesTouch, found through a uniform
// grid over the boxes so that each box meets only its neighbours.
ContactLists findBoxContacts(const std::vector<ContactBox>& boxes, double gamma);

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

// Display colour of a new segment from one output of the pass's generator.
inline ColourRGB colourFromOutput(std::uint32_t v)
{
    ColourRGB c;
    c.r = static_cast<std::uint8_t>((v >> 16) & 255u);
    c.g = static_cast<std::uint8_t>((v >> 8) & 255u);
    c.b = static_cast<std::uint8_t>(v & 255u);
    return c;
}

// Every pass colours its segments from a generator of its own with the
// standard seed, so the colour sequence is the same in every pass and run.
inline std::mt19937 makeColourGenerator() { return std::mt19937(5489u); }

// Adds supervoxel `index` and every available supervoxel reachable from it
// through similarNeighbours to the segment, depth first in list order. False
// when `index` was already taken.
bool floodSupervoxels(SupervoxelSet& set, PlaneSegment& segment, std::int32_t& remaining,
                      std::vector<std::uint8_t>& available, int index);

// Links the supervoxels (neighbour lists), floods them into plane segments
// with a full plane fit each, and adds the segment of independent points when
// the set has an independent record. Reads gamma and phid, both taken at
// `share` of their value, and theta (degrees). Always true.
bool growRegions(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para, double share);

}  // namespace vela
