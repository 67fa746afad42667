// Straightforward versions of the growing passes, written from their rules
// without any shortcut: pairwise box scans, a full seed scan per segment and
// recursive flooding. The fast passes must reproduce them exactly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "growing/link_flood.h"
#include "supervoxel/supervoxel_set.h"

namespace literal {

// The display colour of one generator output, bytes 2, 1 and 0.
inline vela::ColourRGB colour(std::uint32_t v)
{
    return vela::ColourRGB{std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

inline bool touch(const vela::PlaneDescriptor& i, const vela::PlaneDescriptor& j, double g)
{
    return double(j.boxMin.x - i.boxMax.x) < g && double(i.boxMin.x - j.boxMax.x) < g &&
           double(j.boxMin.y - i.boxMax.y) < g && double(i.boxMin.y - j.boxMax.y) < g &&
           double(j.boxMin.z - i.boxMax.z) < g && double(i.boxMin.z - j.boxMax.z) < g;
}

inline std::vector<std::vector<int>> contacts(const std::vector<vela::PlaneDescriptor>& d, double g)
{
    std::vector<std::vector<int>> lists(d.size());
    for (std::size_t i = 0; i < d.size(); ++i)
        for (std::size_t j = 0; j < d.size(); ++j)
            if (touch(d[i], d[j], g)) lists[i].push_back(int(j));
    return lists;
}

// Smallest curvature below 99999, first index on ties; the lowest available
// index when no available item qualifies.
inline int seed(const std::vector<double>& curvature, const std::vector<std::uint8_t>& available)
{
    double best = 99999.0;
    int index = 0;
    for (std::size_t i = 0; i < curvature.size(); ++i)
        if (best > curvature[i] && available[i]) {
            best = curvature[i];
            index = int(i);
        }
    if (available[index]) return index;
    for (std::size_t i = 0; i < available.size(); ++i)
        if (available[i]) return int(i);
    return -1;
}

inline void floodRps(vela::SupervoxelSet& set, vela::PlaneSegment& s, int& remaining,
                     std::vector<std::uint8_t>& available, int k)
{
    if (!available[k]) return;
    set.supervoxels[k].descriptor.label = s.descriptor.label;
    s.members.push_back(set.supervoxels[k].id);
    available[k] = 0;
    --remaining;
    for (int n : set.supervoxels[k].similarNeighbours) floodRps(set, s, remaining, available, n);
}

// Region growing without the plane fit of the segments (members, labels,
// colours and links only).
inline void grow(vela::SupervoxelSet& set, vela::SegmentSet& segments, double gamma, double phid,
                 double theta)
{
    const double thetaRad = theta * 3.1415926535898 / 180.0;
    const int n = set.planarCount;
    std::vector<std::uint8_t> available(n);
    for (int i = 0; i < n; ++i) {
        available[i] = 1;
        vela::Supervoxel& sv = set.supervoxels[i];
        for (int j = 0; j < n; ++j) {
            if (!touch(sv.descriptor, set.supervoxels[j].descriptor, gamma)) continue;
            const int c = set.supervoxels[j].id;
            if (c == sv.id) continue;
            if (vela::isMergeable(sv.descriptor, set.supervoxels[c].descriptor, phid, thetaRad))
                sv.similarNeighbours.push_back(c);
            else
                sv.otherNeighbours.push_back(c);
        }
    }
    std::vector<double> curvature(n);
    for (int i = 0; i < n; ++i) curvature[i] = set.supervoxels[i].descriptor.curvature;
    int remaining = n;
    std::mt19937 colours(5489u);
    while (remaining > 0) {
        const int s = seed(curvature, available);
        vela::PlaneSegment segment;
        segment.descriptor.planar = 1;
        segment.descriptor.colour = colour(std::uint32_t(colours()));
        segment.descriptor.label = segments.planarCount;
        floodRps(set, segment, remaining, available, s);
        segments.planes.push_back(segment);
        ++segments.planarCount;
    }
}

inline std::vector<int> touchingSegments(const vela::SegmentSet& segments, const vela::PlaneSegment& s,
                                         double g)
{
    std::vector<int> out;
    for (int k = 0; k < segments.planarCount; ++k)
        if (touch(segments.planes[k].descriptor, s.descriptor, g) &&
            segments.planes[k].descriptor.planar == 1)
            out.push_back(k);
    return out;
}

inline void floodSegments(vela::SupervoxelSet& set, vela::SegmentSet& segments, vela::PlaneSegment& m,
                          int& remaining, std::vector<std::uint8_t>& available, int s)
{
    if (!available[s]) return;
    for (int id : segments.planes[s].members) {
        set.supervoxels[id].descriptor.label = m.descriptor.label;
        m.members.push_back(id);
    }
    available[s] = 0;
    --remaining;
    for (int n : segments.planes[s].similarNeighbours) floodSegments(set, segments, m, remaining, available, n);
}

// Segment merging without the box refit of the merged segments.
inline void merge(vela::SupervoxelSet& set, vela::SegmentSet& segments, double gamma, double phid,
                  double theta)
{
    const double thetaRad = theta * 3.1415926535898 / 180.0;
    const int n = segments.planarCount;
    std::vector<std::uint8_t> available(n);
    for (int i = 0; i < n; ++i) {
        available[i] = 1;
        for (int c : touchingSegments(segments, segments.planes[i], gamma)) {
            if (c == i) continue;
            if (vela::isMergeable(segments.planes[i].descriptor, segments.planes[c].descriptor, phid,
                                  thetaRad))
                segments.planes[i].similarNeighbours.push_back(c);
            else
                segments.planes[i].otherNeighbours.push_back(c);
        }
    }
    std::vector<double> curvature(n);
    for (int i = 0; i < n; ++i) curvature[i] = segments.planes[i].descriptor.curvature;
    int remaining = n;
    std::mt19937 colours(5489u);
    std::vector<vela::PlaneSegment> merged;
    while (remaining > 0) {
        const int s = seed(curvature, available);
        vela::PlaneSegment m;
        m.descriptor.planar = 1;
        m.descriptor.colour = colour(std::uint32_t(colours()));
        m.descriptor.label = int(merged.size());
        floodSegments(set, segments, m, remaining, available, s);
        merged.push_back(m);
    }
    segments.planes = merged;
    segments.planarCount = int(merged.size());
}

}  // namespace literal
