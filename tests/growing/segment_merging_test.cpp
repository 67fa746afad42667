#include "growing/segment_merging.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "literal_growing.h"
#include "support/stage_parameters.h"

namespace {

using testsupport::growingParameters;
using vela::PlaneDescriptor;
using vela::PlaneSegment;
using vela::SegmentSet;
using vela::Supervoxel;
using vela::SupervoxelSet;

// One supervoxel per call, whose two points span the given box.
int addRps(SupervoxelSet& set, float x0, float y0, float z0, float x1, float y1, float z1)
{
    Supervoxel sv;
    sv.id = set.planarCount;
    sv.descriptor.planar = 1;
    sv.descriptor.label = 77;
    sv.cloud = vela::makeWorkCloud();
    vela::WorkPoint lo, hi;
    lo.x = x0, lo.y = y0, lo.z = z0;
    hi.x = x1, hi.y = y1, hi.z = z1;
    sv.cloud->points = {lo, hi};
    vela::setRowShape(*sv.cloud);
    set.supervoxels.push_back(sv);
    return set.planarCount++;
}

// A first-pass segment of the given members, with the box of its members'
// points and a plane through its box centre.
void addSegment(SegmentSet& segments, const SupervoxelSet& set, std::vector<int> members,
                vela::NormalF normal, double curvature)
{
    PlaneSegment s;
    s.members = std::move(members);
    vela::refitSegment(set, s, false);
    s.descriptor.normal = normal;
    s.descriptor.curvature = curvature;
    s.descriptor.planar = 1;
    s.descriptor.label = segments.planarCount;
    segments.planes.push_back(s);
    ++segments.planarCount;
}

const vela::NormalF kUp{0, 0, 1};

TEST(MergeSegments, segments_exactly_gamma_apart_stay_apart_just_below_merge)
{
    for (const float start : {1.5f, std::nextafter(1.5f, 0.0f)}) {
        SupervoxelSet set;
        addRps(set, 0, 0, 0, 1, 1, 0);
        addRps(set, start, 0, 0, 3, 1, 0);
        SegmentSet segments;
        addSegment(segments, set, {0}, kUp, 0.01);
        addSegment(segments, set, {1}, kUp, 0.02);
        vela::mergeSegments(set, segments, growingParameters(0.5, 0.1, 10));
        EXPECT_EQ(segments.planarCount, start == 1.5f ? 2 : 1) << start;
        EXPECT_EQ(int(segments.planes.size()), segments.planarCount);
    }
}

TEST(MergeSegments, a_segment_that_is_not_planar_is_no_candidate_but_links_to_planar_ones)
{
    // A row of touching segments; the second is not planar. The first has no
    // candidate besides itself and stays alone; the second, seeded next,
    // links on through the third to the fourth; the fifth touches nothing.
    SupervoxelSet set;
    for (int i = 0; i < 4; ++i) addRps(set, float(i), 0, 0, float(i) + 1.2f, 1, 0);
    addRps(set, 9, 0, 0, 10, 1, 0);
    SegmentSet segments;
    for (int i = 0; i < 5; ++i) addSegment(segments, set, {i}, kUp, 0.01);
    segments.planes[1].descriptor.planar = 0;

    vela::mergeSegments(set, segments, growingParameters(0.1, 0.1, 10));
    ASSERT_EQ(segments.planarCount, 3);
    EXPECT_EQ(segments.planes[0].members, std::vector<int>{0});
    EXPECT_EQ(segments.planes[1].members, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(segments.planes[2].members, std::vector<int>{4});

}

TEST(MergeSegments, merging_is_transitive_through_links)
{
    // Overlapping boxes tilted 0, 10 and 20 degrees: P-Q and Q-R pass a
    // 15 degree test, P-R fails it, and all three end in one segment.
    SupervoxelSet set;
    SegmentSet segments;
    for (int i = 0; i < 3; ++i) {
        addRps(set, 0.5f * float(i), 0, 0, 0.5f * float(i) + 1.5f, 1, 0);
        const float t = float(10 * i * 3.14159265358979 / 180);
        addSegment(segments, set, {i}, vela::NormalF{std::sin(t), 0, std::cos(t)}, 0.01 * (3 - i));
        segments.planes[i].descriptor.centre.x = 1.0f;
    }
    vela::mergeSegments(set, segments, growingParameters(0.25, 0.1, 15));
    ASSERT_EQ(segments.planarCount, 1);
    // Seeded from the flattest (R), then Q, then P through Q.
    EXPECT_EQ(segments.planes[0].members, (std::vector<int>{2, 1, 0}));
}

TEST(MergeSegments, one_segment_keeps_its_members_and_gets_box_and_first_colour_only)
{
    SupervoxelSet set;
    addRps(set, 0, 0, 0, 1, 2, 0);
    addRps(set, 0.5f, 1, -1, 3, 1.5f, 0.25f);
    SegmentSet segments;
    addSegment(segments, set, {1, 0}, kUp, 0.01);
    segments.planes[0].descriptor.d = -4.0;
    PlaneSegment independent;
    independent.descriptor.label = -1;
    segments.others.push_back(independent);
    segments.nonplanarCount = 1;

    vela::mergeSegments(set, segments, growingParameters(0.25, 0.1, 10));
    ASSERT_EQ(segments.planarCount, 1);
    const PlaneSegment& m = segments.planes[0];
    EXPECT_EQ(m.members, (std::vector<int>{1, 0}));
    EXPECT_EQ(m.descriptor.label, 0);
    EXPECT_EQ(m.descriptor.planar, 1);
    EXPECT_EQ(m.descriptor.colour.r, 145);
    EXPECT_EQ(m.descriptor.colour.g, 187);
    EXPECT_EQ(m.descriptor.colour.b, 92);
    EXPECT_EQ(m.descriptor.boxMin.z, -1.0f);
    EXPECT_EQ(m.descriptor.boxMax.x, 3.0f);
    EXPECT_EQ(m.descriptor.centre.x, 1.5f);  // box centre
    EXPECT_EQ(m.descriptor.centre.y, 1.0f);
    EXPECT_EQ(m.descriptor.normal.c, 0.0f);
    EXPECT_EQ(m.descriptor.d, 0.0);
    EXPECT_EQ(m.descriptor.curvature, 0.0);
    EXPECT_EQ(segments.nonplanarCount, 1);
    EXPECT_EQ(segments.others[0].descriptor.label, -1);
}

TEST(MergeSegments, every_rps_label_is_overwritten_with_its_merged_segment)
{
    SupervoxelSet set;
    for (int i = 0; i < 6; ++i) addRps(set, 5.0f * float(i / 2), 0, 0, 5.0f * float(i / 2) + 1, 1, 0);
    SegmentSet segments;
    for (int k = 0; k < 3; ++k) addSegment(segments, set, {2 * k, 2 * k + 1}, kUp, 0.3 - 0.1 * k);
    vela::mergeSegments(set, segments, growingParameters(0.25, 0.1, 10));
    ASSERT_EQ(segments.planarCount, 3);
    const int expected[6] = {2, 2, 1, 1, 0, 0};  // flattest first
    for (int i = 0; i < 6; ++i) EXPECT_EQ(set.supervoxels[i].descriptor.label, expected[i]) << i;
}

TEST(MergeSegments, no_segments_leaves_an_empty_list)
{
    SupervoxelSet set;
    SegmentSet segments;
    EXPECT_TRUE(vela::mergeSegments(set, segments, growingParameters(0.25, 0.1, 10)));
    EXPECT_TRUE(segments.planes.empty());
    EXPECT_EQ(segments.planarCount, 0);
}

TEST(MergeSegments, long_chain_of_segments_floods_without_exhausting_the_stack)
{
    const int n = 200000;
    SupervoxelSet set;
    SegmentSet segments;
    set.supervoxels.reserve(n);
    segments.planes.reserve(n);
    for (int i = 0; i < n; ++i) {
        addRps(set, float(i), 0, 0, float(i) + 0.9f, 1, 0);
        addSegment(segments, set, {i}, kUp, 0.01);
    }
    vela::mergeSegments(set, segments, growingParameters(0.25, 0.1, 10));
    ASSERT_EQ(segments.planarCount, 1);
    const std::vector<int>& members = segments.planes[0].members;
    ASSERT_EQ(members.size(), std::size_t(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(members[i], i);
}

// First-pass segments over random lattice boxes, each of one to three
// supervoxels, with few distinct planes and curvatures (ties, NaN, unusable).
void randomFirstPass(std::mt19937& rng, int n, SupervoxelSet& set, SegmentSet& segments)
{
    const vela::NormalF normals[] = {{0, 0, 1}, {0, 0, -1}, {0.6f, 0, 0.8f}, {0, 1, 0}};
    const double curvatures[] = {0.0, 0.01, 0.01, 0.05, std::nan(""), 1e6};
    std::uniform_int_distribution<int> cell(0, 30), size(0, 6), count(1, 3), pick(0, 3), pickC(0, 5),
        planar(0, 9);
    std::uniform_real_distribution<float> jitter(-0.1f, 0.1f);
    for (int k = 0; k < n; ++k) {
        std::vector<int> members;
        const int c = count(rng);
        for (int m = 0; m < c; ++m) {
            const float x = 0.25f * float(cell(rng)), y = 0.25f * float(cell(rng)), z = 0.25f * float(cell(rng) % 4);
            members.push_back(
                addRps(set, x, y, z, x + 0.25f * float(size(rng)), y + 0.25f * float(size(rng)), z));
        }
        addSegment(segments, set, members, normals[pick(rng)], curvatures[pickC(rng)]);
        segments.planes.back().descriptor.centre.z += jitter(rng);
        if (planar(rng) == 0) segments.planes.back().descriptor.planar = 0;
    }
}

TEST(MergeSegments, matches_the_literal_pass_on_random_segments)
{
    std::mt19937 rng(31337u);
    const double params[][3] = {{0.25, 0.05, 5}, {0.5, 0.1, 40}, {0.0, 0.2, 90}, {1.0, 0.0, 0}};
    for (int round = 0; round < 12; ++round) {
        SupervoxelSet fastSet;
        SegmentSet fast;
        randomFirstPass(rng, 30 + 25 * round, fastSet, fast);
        SupervoxelSet slowSet = fastSet;
        SegmentSet slow = fast;
        const double* p = params[round % 4];
        vela::mergeSegments(fastSet, fast, growingParameters(p[0], p[1], p[2]));
        literal::merge(slowSet, slow, p[0], p[1], p[2]);
        ASSERT_EQ(fast.planarCount, slow.planarCount) << "round " << round;
        for (int k = 0; k < fast.planarCount; ++k) {
            ASSERT_EQ(fast.planes[k].members, slow.planes[k].members) << "round " << round << " segment " << k;
            ASSERT_EQ(fast.planes[k].descriptor.label, k);
            ASSERT_EQ(fast.planes[k].descriptor.colour.b, slow.planes[k].descriptor.colour.b);
        }
        for (int i = 0; i < fastSet.planarCount; ++i)
            ASSERT_EQ(fastSet.supervoxels[i].descriptor.label, slowSet.supervoxels[i].descriptor.label);
    }
}

}  // namespace
