#include "growing/region_growing.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
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

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

PlaneDescriptor box(float x0, float y0, float z0, float x1, float y1, float z1)
{
    PlaneDescriptor d;
    d.boxMin.x = x0;
    d.boxMin.y = y0;
    d.boxMin.z = z0;
    d.boxMax.x = x1;
    d.boxMax.y = y1;
    d.boxMax.z = z1;
    return d;
}

PlaneDescriptor plane(float a, float b, float c, float cx, float cy, float cz)
{
    PlaneDescriptor d;
    d.normal = vela::NormalF{a, b, c};
    d.centre.x = cx;
    d.centre.y = cy;
    d.centre.z = cz;
    return d;
}

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

std::vector<int> list(const vela::ContactLists& lists, std::size_t i)
{
    return std::vector<int>(lists.begin(i), lists.end(i));
}

// --- contact test ---------------------------------------------------------

TEST(BoxContact, gap_of_exactly_gamma_is_not_touching_just_below_is)
{
    const double gamma = 0.25;
    const PlaneDescriptor a = box(0, 0, 0, 1, 1, 1);
    for (int axis = 0; axis < 3; ++axis) {
        float lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
        lo[axis] = 1.25f;
        hi[axis] = 2.0f;
        const PlaneDescriptor exact = box(lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]);
        lo[axis] = std::nextafter(1.25f, 0.0f);
        const PlaneDescriptor below = box(lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]);
        EXPECT_FALSE(vela::boxesTouch(a, exact, gamma)) << "axis " << axis;
        EXPECT_FALSE(vela::boxesTouch(exact, a, gamma)) << "axis " << axis;
        EXPECT_TRUE(vela::boxesTouch(a, below, gamma)) << "axis " << axis;
        EXPECT_TRUE(vela::boxesTouch(below, a, gamma)) << "axis " << axis;
    }
}

TEST(BoxContact, gap_is_rounded_in_float_and_compared_in_double)
{
    // 2^24 - 0.5 rounds to 2^24 in float: no contact, although the exact gap
    // is below gamma.
    const PlaneDescriptor a = box(0, 0, 0, 0.5f, 1, 1);
    const PlaneDescriptor far = box(16777216.0f, 0, 0, 16777220.0f, 1, 1);
    EXPECT_FALSE(vela::boxesTouch(a, far, 16777215.75));
    // 0.7f lies just below the double 0.7: a float comparison would refuse it.
    const PlaneDescriptor near = box(0.7f, 0, 0, 2, 1, 1);
    EXPECT_TRUE(vela::boxesTouch(box(0, 0, 0, 0, 1, 1), near, 0.7));
    // The grid search must not narrow its reach either.
    const std::vector<vela::ContactBox> boxes = {vela::contactBoxOf(near),
                                                 vela::contactBoxOf(box(0, 0, 0, 0, 1, 1))};
    EXPECT_EQ(list(vela::findBoxContacts(boxes, 0.7), 1), (std::vector<int>{0, 1}));
}

TEST(BoxContact, overlapping_boxes_touch_empty_and_nan_boxes_touch_nothing)
{
    const PlaneDescriptor a = box(0, 0, 0, 2, 2, 2);
    EXPECT_TRUE(vela::boxesTouch(a, box(1, 1, 1, 3, 3, 3), 0.1));
    EXPECT_TRUE(vela::boxesTouch(a, box(0.5f, 0.5f, 0.5f, 1, 1, 1), 0.1));
    EXPECT_TRUE(vela::boxesTouch(a, a, 0.1));
    const PlaneDescriptor empty = box(FLT_MAX, FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX);
    EXPECT_FALSE(vela::boxesTouch(empty, empty, 0.1));
    EXPECT_FALSE(vela::boxesTouch(a, empty, 0.1));
    const PlaneDescriptor nan = box(0, kNaN, 0, 2, 2, 2);
    EXPECT_FALSE(vela::boxesTouch(nan, nan, 1e300));
    EXPECT_FALSE(vela::boxesTouch(a, nan, 1e300));
}

// Boxes on a quarter-unit lattice so that gaps of exactly gamma are common,
// mixed with slightly moved, flat, inverted, empty, NaN and infinite boxes.
std::vector<PlaneDescriptor> randomBoxes(std::mt19937& rng, int n, int span, float base)
{
    std::uniform_int_distribution<int> cell(0, 4 * span), size(0, 6), kind(0, 39);
    std::vector<PlaneDescriptor> boxes;
    for (int i = 0; i < n; ++i) {
        float lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            lo[a] = base + 0.25f * float(cell(rng));
            hi[a] = lo[a] + 0.25f * float(size(rng));
        }
        switch (kind(rng)) {
            case 0: lo[0] = std::nextafter(lo[0], -kInf); break;
            case 1: hi[1] = std::nextafter(hi[1], kInf); break;
            case 2: {
                const int a = cell(rng) % 3;
                lo[a] = hi[a] + 0.25f * float(1 + size(rng));
                break;
            }
            case 3: lo[0] = lo[1] = lo[2] = FLT_MAX, hi[0] = hi[1] = hi[2] = -FLT_MAX; break;
            case 4: lo[1] = kNaN; break;
            case 5: hi[2] = kNaN; break;
            case 6: hi[0] = kInf; break;
            case 7: lo[1] = -kInf; break;
            case 8: lo[0] = -FLT_MAX; break;
            case 9: hi[2] = FLT_MAX; break;
            default: break;
        }
        boxes.push_back(box(lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]));
    }
    return boxes;
}

TEST(BoxContact, grid_search_finds_exactly_the_pairs_of_the_pairwise_scan)
{
    const double gammas[] = {0.25, 0.5, 0.0, -0.25, 0.7, 1e39, std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
    std::mt19937 rng(20240611u);
    for (int round = 0; round < 30; ++round) {
        // Far from the origin the float spacing grows to a quarter unit.
        const float base = round % 3 == 0 ? 0.0f : round % 3 == 1 ? 1e5f : -3e6f;
        const std::vector<PlaneDescriptor> d = randomBoxes(rng, 1 + round * 13, 2 + round % 7, base);
        std::vector<vela::ContactBox> boxes;
        for (const PlaneDescriptor& x : d) boxes.push_back(vela::contactBoxOf(x));
        for (double gamma : gammas) {
            const vela::ContactLists fast = vela::findBoxContacts(boxes, gamma);
            const std::vector<std::vector<int>> slow = literal::contacts(d, gamma);
            ASSERT_EQ(fast.offsets.size(), d.size() + 1);
            for (std::size_t i = 0; i < d.size(); ++i)
                ASSERT_EQ(list(fast, i), slow[i]) << "round " << round << " gamma " << gamma << " box " << i;
        }
    }
}

TEST(BoxContact, grid_search_matches_on_scattered_boxes_of_mixed_sizes)
{
    // Small boxes in two clusters far apart, a few long ones, stacks along z
    // and one box over everything.
    std::mt19937 rng(77u);
    std::uniform_real_distribution<float> at(-50.0f, 50.0f), size(0.0f, 2.0f), unit(0.0f, 1.0f);
    std::vector<PlaneDescriptor> d;
    for (int i = 0; i < 3000; ++i) {
        const float x = at(rng) + (i % 2 ? 5000.0f : 0.0f), y = at(rng), z = at(rng) * 0.1f;
        const float stretch = unit(rng) < 0.02f ? 40.0f : 1.0f;
        d.push_back(box(x, y, z, x + stretch * size(rng), y + size(rng), z + size(rng)));
        if (i % 10 == 0) d.push_back(box(x, y, z + 3, x + 1, y + 1, z + 4));
    }
    d.push_back(box(-60, -60, -10, 60, 60, 10));
    std::vector<vela::ContactBox> boxes;
    for (const PlaneDescriptor& x : d) boxes.push_back(vela::contactBoxOf(x));
    const vela::ContactLists fast = vela::findBoxContacts(boxes, 0.3);
    const std::vector<std::vector<int>> slow = literal::contacts(d, 0.3);
    for (std::size_t i = 0; i < d.size(); ++i) ASSERT_EQ(list(fast, i), slow[i]) << "box " << i;
}

// --- merge test -----------------------------------------------------------

TEST(MergeTest, opposite_normals_are_parallel)
{
    const PlaneDescriptor up = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor down = plane(0, 0, -1, 5, 5, 0);
    EXPECT_TRUE(vela::isMergeable(up, down, 0.0, 0.0));
    EXPECT_TRUE(vela::isMergeable(down, up, 0.0, 0.0));
}

TEST(MergeTest, angle_equal_to_theta_passes_and_theta_sign_is_ignored)
{
    const PlaneDescriptor up = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor side = plane(1, 0, 0, 0, 0, 0);
    const double right = std::acos(0.0);
    EXPECT_TRUE(vela::isMergeable(up, side, 0.0, right));
    EXPECT_TRUE(vela::isMergeable(up, side, 0.0, -right));
    EXPECT_FALSE(vela::isMergeable(up, side, 0.0, std::nextafter(right, 0.0)));
    // Exactly parallel planes pass at a zero angle threshold, also in degrees.
    EXPECT_TRUE(vela::isMergeable(up, up, 0.0, vela::degreesToRadians(0.0)));
    EXPECT_EQ(vela::degreesToRadians(180.0), 3.1415926535898);
}

TEST(MergeTest, distance_equal_to_phid_passes)
{
    const PlaneDescriptor low = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor high = plane(0, 0, 1, 3, -2, 0.5f);
    EXPECT_TRUE(vela::isMergeable(low, high, 0.5, 0.0));
    EXPECT_FALSE(vela::isMergeable(low, high, std::nextafter(0.5, 0.0), 0.0));
}

TEST(MergeTest, nearer_of_the_two_offsets_counts)
{
    // The centre of b lies on a's plane but 0.6 off its own plane's direction.
    const PlaneDescriptor a = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor b = plane(0, 0.6f, 0.8f, 0, 1, 0);
    EXPECT_TRUE(vela::isMergeable(a, b, 0.0, 1.0));
    EXPECT_TRUE(vela::isMergeable(b, a, 0.0, 1.0));
    // Along z both read an offset; the smaller (0.8f along b) decides.
    const PlaneDescriptor c = plane(0, 0.6f, 0.8f, 0, 0, 1);
    EXPECT_TRUE(vela::isMergeable(a, c, double(0.8f), 1.0));
    EXPECT_FALSE(vela::isMergeable(a, c, std::nextafter(double(0.8f), 0.0), 1.0));
}

TEST(MergeTest, cosine_rounded_above_one_and_nan_normals_never_merge)
{
    // Nearly equal unit normals whose single-precision cosine exceeds 1.
    const PlaneDescriptor a = plane(0.570299447f, -0.659067512f, -0.490294367f, 0, 0, 0);
    const PlaneDescriptor b = plane(0.570299506f, -0.659067512f, -0.490294397f, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(a, b, 1.0, 3.0));
    const PlaneDescriptor nan = plane(kNaN, 0, 1, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(nan, nan, 1.0, 3.0));
    const PlaneDescriptor zero = plane(0, 0, 0, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(zero, a, 1.0, 3.0));
}

// --- seed order -----------------------------------------------------------

TEST(SeedOrder, matches_a_full_scan_including_ties_nan_and_unusable_curvatures)
{
    const double values[] = {0.0, -0.0, 0.01, 0.01, 0.2, 99999.0, 1e6, std::nan(""),
                             -std::numeric_limits<double>::infinity(), 99998.9};
    std::mt19937 rng(4242u);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + round % 23;
        std::uniform_int_distribution<int> pick(0, 9), take(0, n - 1);
        std::vector<double> curvature(n);
        for (double& c : curvature) c = values[pick(rng)];
        std::vector<std::uint8_t> available(n, 1);
        vela::SeedOrder order = vela::makeSeedOrder(curvature);
        for (int left = n; left > 0; --left) {
            const int expected = literal::seed(curvature, available);
            ASSERT_EQ(vela::nextSeed(order, available), expected) << "round " << round;
            available[expected] = 0;
            // Also take items away behind the seed order's back, as flooding does.
            const int other = take(rng);
            if (available[other] && left > 1) {
                available[other] = 0;
                --left;
            }
        }
    }
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
