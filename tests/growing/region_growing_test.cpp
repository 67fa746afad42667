#include "growing/region_growing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "growing_test_records.h"
#include "literal_growing.h"
#include "support/stage_parameters.h"

namespace {

using growing_test::box;
using testsupport::growingParameters;
using vela::PlaneDescriptor;
using vela::PlaneSegment;
using vela::SegmentSet;
using vela::Supervoxel;
using vela::SupervoxelSet;

// A supervoxel whose two points span its box, so that segment fits see it.
Supervoxel rps(int id, const PlaneDescriptor& boxAndPlane, double curvature)
{
    Supervoxel sv;
    sv.id = id;
    sv.descriptor = boxAndPlane;
    sv.descriptor.planar = 1;
    sv.descriptor.curvature = curvature;
    sv.cloud = vela::makeWorkCloud();
    vela::WorkPoint lo = boxAndPlane.boxMin, hi = boxAndPlane.boxMax;
    lo.rgba = std::uint32_t(2 * id);
    hi.rgba = std::uint32_t(2 * id + 1);
    sv.cloud->points = {lo, hi};
    vela::setRowShape(*sv.cloud);
    return sv;
}

// Unit box along x starting at x0, flat plane z = 0.5 through its middle.
Supervoxel flatRps(int id, float x0, float width, double curvature)
{
    PlaneDescriptor d = box(x0, 0.0f, 0.0f, x0 + width, 1.0f, 1.0f);
    d.normal = vela::NormalF{0.0f, 0.0f, 1.0f};
    d.centre.x = x0 + width / 2;
    d.centre.y = 0.5f;
    d.centre.z = 0.5f;
    return rps(id, d, curvature);
}

void add(SupervoxelSet& set, const Supervoxel& sv)
{
    set.supervoxels.push_back(sv);
    ++set.planarCount;
}

// --- growRegions ----------------------------------------------------------

TEST(GrowRegions, one_rps_gives_one_segment_and_the_independent_segment)
{
    SupervoxelSet set;
    add(set, flatRps(0, 0, 1, 0.01));
    Supervoxel independent;
    independent.id = 0;
    independent.descriptor = box(-1, -2, -3, 4, 5, 6);
    independent.descriptor.colour = vela::ColourRGB{255, 255, 255};
    set.independent.push_back(independent);
    set.nonplanarCount = 1;

    SegmentSet segments;
    ASSERT_TRUE(vela::growRegions(set, segments, growingParameters(0.25, 0.1, 10), 1.0));
    ASSERT_EQ(segments.planarCount, 1);
    ASSERT_EQ(segments.planes.size(), 1u);
    const PlaneSegment& s = segments.planes[0];
    EXPECT_EQ(s.members, std::vector<int>{0});
    EXPECT_EQ(s.descriptor.label, 0);
    EXPECT_EQ(s.descriptor.planar, 1);
    EXPECT_EQ(s.descriptor.boxMax.x, 1.0f);  // refitted from the member's points
    EXPECT_EQ(set.supervoxels[0].descriptor.label, 0);
    EXPECT_TRUE(set.supervoxels[0].similarNeighbours.empty());
    EXPECT_TRUE(set.supervoxels[0].otherNeighbours.empty());

    ASSERT_EQ(segments.nonplanarCount, 1);
    ASSERT_EQ(segments.others.size(), 1u);
    const PlaneSegment& o = segments.others[0];
    EXPECT_EQ(o.descriptor.label, -1);
    EXPECT_EQ(o.descriptor.planar, 0);
    EXPECT_EQ(o.descriptor.boxMin.y, -2.0f);
    EXPECT_EQ(o.descriptor.colour.r, 255);
    EXPECT_EQ(o.descriptor.colour.b, 255);
    EXPECT_EQ(o.members, std::vector<int>{0});
    EXPECT_EQ(set.independent[0].descriptor.label, -1);
}

TEST(GrowRegions, set_without_independent_record_or_rps)
{
    SupervoxelSet noIndependent;
    add(noIndependent, flatRps(0, 0, 1, 0.01));
    SegmentSet a;
    vela::growRegions(noIndependent, a, growingParameters(0.25, 0.1, 10), 1.0);
    EXPECT_EQ(a.planarCount, 1);
    EXPECT_EQ(a.nonplanarCount, 0);
    EXPECT_TRUE(a.others.empty());

    SupervoxelSet onlyIndependent;
    onlyIndependent.independent.resize(1);
    onlyIndependent.nonplanarCount = 1;
    SegmentSet b;
    vela::growRegions(onlyIndependent, b, growingParameters(0.25, 0.1, 10), 1.0);
    EXPECT_EQ(b.planarCount, 0);
    EXPECT_TRUE(b.planes.empty());
    EXPECT_EQ(b.nonplanarCount, 1);
}

TEST(GrowRegions, separate_rps_seed_by_curvature_lower_index_on_ties_and_take_the_colour_sequence)
{
    SupervoxelSet set;
    add(set, flatRps(0, 0, 1, 0.05));
    add(set, flatRps(1, 10, 1, 0.02));
    add(set, flatRps(2, 20, 1, 0.05));
    SegmentSet segments;
    vela::growRegions(set, segments, growingParameters(0.25, 0.1, 10), 1.0);
    ASSERT_EQ(segments.planarCount, 3);
    EXPECT_EQ(segments.planes[0].members, std::vector<int>{1});
    EXPECT_EQ(segments.planes[1].members, std::vector<int>{0});
    EXPECT_EQ(segments.planes[2].members, std::vector<int>{2});
    const int expected[3][3] = {{145, 187, 92}, {174, 158, 246}, {225, 250, 238}};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(segments.planes[k].descriptor.label, k);
        EXPECT_EQ(segments.planes[k].descriptor.colour.r, expected[k][0]);
        EXPECT_EQ(segments.planes[k].descriptor.colour.g, expected[k][1]);
        EXPECT_EQ(segments.planes[k].descriptor.colour.b, expected[k][2]);
    }
    EXPECT_EQ(set.supervoxels[1].descriptor.label, 0);
    EXPECT_EQ(set.supervoxels[0].descriptor.label, 1);
}

TEST(GrowRegions, links_are_directed_and_merging_is_transitive)
{
    // Three overlapping boxes; tilts of 0, 10 and 20 degrees about y. With a
    // 15 degree threshold P-Q and Q-R link but P-R does not.
    const float t10 = float(10 * 3.14159265358979 / 180), t20 = float(20 * 3.14159265358979 / 180);
    SupervoxelSet set;
    const float tilt[3] = {0.0f, t10, t20};
    for (int i = 0; i < 3; ++i) {
        PlaneDescriptor d = box(0.5f * float(i), 0, 0, 0.5f * float(i) + 1.5f, 1, 1);
        d.normal = vela::NormalF{std::sin(tilt[i]), 0.0f, std::cos(tilt[i])};
        d.centre.x = 1.0f;
        d.centre.y = 0.5f;
        d.centre.z = 0.5f;
        add(set, rps(i, d, 0.01 * (i + 1)));
    }
    SegmentSet segments;
    vela::growRegions(set, segments, growingParameters(0.25, 0.1, 15), 1.0);
    EXPECT_EQ(set.supervoxels[0].similarNeighbours, std::vector<int>{1});
    EXPECT_EQ(set.supervoxels[0].otherNeighbours, std::vector<int>{2});
    EXPECT_EQ(set.supervoxels[1].similarNeighbours, (std::vector<int>{0, 2}));
    EXPECT_TRUE(set.supervoxels[1].otherNeighbours.empty());
    EXPECT_EQ(set.supervoxels[2].similarNeighbours, std::vector<int>{1});
    EXPECT_EQ(set.supervoxels[2].otherNeighbours, std::vector<int>{0});
    ASSERT_EQ(segments.planarCount, 1);
    EXPECT_EQ(segments.planes[0].members, (std::vector<int>{0, 1, 2}));
}

TEST(GrowRegions, flooding_is_depth_first_in_list_order)
{
    // Seed 0 links to 1 and 3; 1 links on to 2, which must come before 3.
    SupervoxelSet set;
    const float x[4] = {0.0f, -1.1f, -2.2f, 1.1f};
    for (int i = 0; i < 4; ++i) add(set, flatRps(i, x[i], 1.0f, i == 0 ? 0.0 : 0.5));
    SegmentSet segments;
    vela::growRegions(set, segments, growingParameters(0.25, 0.1, 10), 1.0);
    ASSERT_EQ(segments.planarCount, 1);
    EXPECT_EQ(segments.planes[0].members, (std::vector<int>{0, 1, 2, 3}));
}

TEST(GrowRegions, rps_without_usable_curvature_still_end_in_segments)
{
    // Record 0 seeds first, then no available record has a curvature below
    // 99999: the lowest available one seeds each time.
    SupervoxelSet set;
    const double curvature[4] = {0.1, std::nan(""), 99999.0, 1e6};
    for (int i = 0; i < 4; ++i) add(set, flatRps(i, 10.0f * float(i), 1.0f, curvature[i]));
    SegmentSet segments;
    vela::growRegions(set, segments, growingParameters(0.25, 0.1, 10), 1.0);
    ASSERT_EQ(segments.planarCount, 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(segments.planes[k].members, std::vector<int>{k});
        EXPECT_EQ(set.supervoxels[k].descriptor.label, k);
    }
}

TEST(GrowRegions, long_chain_floods_without_exhausting_the_stack)
{
    const int n = 200000;
    SupervoxelSet set;
    set.supervoxels.reserve(n);
    for (int i = 0; i < n; ++i) add(set, flatRps(i, float(i), 0.9f, 0.01));
    SegmentSet segments;
    vela::growRegions(set, segments, growingParameters(0.25, 0.1, 10), 1.0);
    ASSERT_EQ(segments.planarCount, 1);
    const std::vector<int>& members = segments.planes[0].members;
    ASSERT_EQ(members.size(), std::size_t(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(members[i], i);
    EXPECT_EQ(set.supervoxels[n - 1].descriptor.label, 0);
}

// Random scenes of a few hundred supervoxels with few distinct normals,
// offsets and curvatures, so that links, ties and chains are frequent.
SupervoxelSet randomScene(std::mt19937& rng, int n)
{
    const vela::NormalF normals[] = {{0, 0, 1}, {0, 0, -1}, {0.6f, 0, 0.8f}, {0, 1, 0}, {0.05f, 0, 0.99875f}};
    const double curvatures[] = {0.0, 0.01, 0.01, 0.02, 0.3, std::nan(""), 1e6};
    std::uniform_int_distribution<int> cell(0, 40), size(1, 8), pick(0, 4), pickC(0, 6);
    std::uniform_real_distribution<float> jitter(-0.05f, 0.05f);
    SupervoxelSet set;
    for (int i = 0; i < n; ++i) {
        const float x = 0.25f * float(cell(rng)), y = 0.25f * float(cell(rng)), z = 0.25f * float(cell(rng) % 8);
        PlaneDescriptor d = box(x, y, z, x + 0.25f * float(size(rng)), y + 0.25f * float(size(rng)), z + 0.25f);
        d.normal = normals[pick(rng)];
        d.centre.x = (d.boxMin.x + d.boxMax.x) / 2;
        d.centre.y = (d.boxMin.y + d.boxMax.y) / 2;
        d.centre.z = z + 0.125f + jitter(rng);
        add(set, rps(i, d, curvatures[pickC(rng)]));
    }
    return set;
}

TEST(GrowRegions, matches_the_literal_passes_on_random_scenes)
{
    std::mt19937 rng(9001u);
    const double params[][3] = {{0.25, 0.05, 5}, {0.5, 0.1, 40}, {0.0, 0.2, 90}, {1.0, 0.0, 0}};
    for (int round = 0; round < 12; ++round) {
        SupervoxelSet fastSet = randomScene(rng, 50 + 40 * round);
        SupervoxelSet slowSet = fastSet;
        const double* p = params[round % 4];
        SegmentSet fast, slow;
        vela::growRegions(fastSet, fast, growingParameters(p[0], p[1], p[2]), 1.0);
        literal::grow(slowSet, slow, p[0], p[1], p[2]);
        for (int i = 0; i < fastSet.planarCount; ++i) {
            const Supervoxel& f = fastSet.supervoxels[i];
            const Supervoxel& s = slowSet.supervoxels[i];
            ASSERT_EQ(f.similarNeighbours, s.similarNeighbours) << "round " << round << " rps " << i;
            ASSERT_EQ(f.otherNeighbours, s.otherNeighbours) << "round " << round << " rps " << i;
            ASSERT_EQ(f.descriptor.label, s.descriptor.label) << "round " << round << " rps " << i;
        }
        ASSERT_EQ(fast.planarCount, slow.planarCount) << "round " << round;
        for (int k = 0; k < fast.planarCount; ++k) {
            ASSERT_EQ(fast.planes[k].members, slow.planes[k].members) << "round " << round << " segment " << k;
            ASSERT_EQ(fast.planes[k].descriptor.label, k);
            ASSERT_EQ(fast.planes[k].descriptor.colour.g, slow.planes[k].descriptor.colour.g);
        }
    }
}

}  // namespace
