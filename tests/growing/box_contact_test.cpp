#include "growing/box_contact.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "growing_test_records.h"
#include "literal_growing.h"

namespace {

using growing_test::box;
using vela::PlaneDescriptor;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

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

}  // namespace
