#include "planar/detail/exchange_order.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "distance_lists.h"
#include "exchange_sort_reference.h"

namespace vela {
namespace {

using vela_test::singleBits;
using vela_test::singlePrecisionDistances;

TEST(SortDistanceBits, same_order_as_the_exchange_sort_when_the_order_carries_over)
{
    // Single-precision distances as the plane test hands them over, each
    // call starting from the order the previous one left.
    std::mt19937 random(2024);
    ResidualSortBuffers buffers;
    std::vector<int> sizes = {0, 1, 3, 4, 5, 16, 17, 40, 1000, 3000};
    for (int r = 0; r < 40; ++r) sizes.push_back(18 + static_cast<int>(random() % 600));
    for (int n : sizes) {
        std::vector<int> indices(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
        for (int call = 0; call < 12; ++call) {
            const std::vector<double> perPoint = singlePrecisionDistances(random, n);
            std::vector<std::uint32_t> bits(n);
            std::vector<double> distances(n);
            for (int p = 0; p < n; ++p) {
                bits[p] = singleBits(perPoint[indices[p]]);
                distances[p] = perPoint[indices[p]];
            }
            std::vector<std::uint32_t> values = bits;
            std::vector<int> literalIndices = indices;
            std::vector<double> residuals;
            vela_reference::exchangeSortResiduals(literalIndices, distances, residuals, 1.0);
            ASSERT_TRUE(sortDistanceBits(indices, bits, buffers));
            ASSERT_EQ(indices, literalIndices) << "size " << n << " call " << call;
            for (int p = 0; p < n; ++p) ASSERT_EQ(bits[p], singleBits(perPoint[indices[p]]));
            sortBitsAscending(values, buffers);
            EXPECT_EQ(values, bits);
        }
    }
    std::vector<int> indices(3);
    std::vector<std::uint32_t> bits(4);
    EXPECT_FALSE(sortDistanceBits(indices, bits, buffers));
}

TEST(SortDistanceBits, long_lists_of_many_tied_distances_end_in_exchange_order)
{
    // Plane distances of a depth camera's points: a few thousand, most of
    // them equal to many others, in thousands of groups; long enough for the
    // radix sort and the counting of smaller points over several blocks.
    std::mt19937 random(31);
    ResidualSortBuffers buffers;
    for (int n : {static_cast<int>(kDigitSortFrom), 9000}) {
        std::vector<int> indices(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
        for (int call = 0; call < 3; ++call) {
            const int values = call == 0 ? 7 : n / 4;
            std::vector<double> perPoint(n);
            for (double& d : perPoint) {
                const unsigned v = random() % values;
                d = v == 0 ? 0.0 : static_cast<float>(0.001 * v * (call == 2 ? 1000.0 : 1.0));
            }
            std::vector<std::uint32_t> bits(n);
            std::vector<double> distances(n);
            for (int p = 0; p < n; ++p) {
                bits[p] = singleBits(perPoint[indices[p]]);
                distances[p] = perPoint[indices[p]];
            }
            std::vector<int> literalIndices = indices;
            std::vector<double> residuals;
            vela_reference::exchangeSortResiduals(literalIndices, distances, residuals, 1.0);
            ASSERT_TRUE(sortDistanceBits(indices, bits, buffers));
            ASSERT_EQ(indices, literalIndices) << "size " << n << " call " << call;
        }
    }
}

TEST(SortPositionsByBits, equal_bits_stay_in_position_order)
{
    std::mt19937 random(77);
    ResidualSortBuffers buffers;
    for (int n : {0, 1, 16, 17, 300, 2500, 70000}) {
        for (int list = 0; list < 8; ++list) {
            std::vector<std::uint32_t> bits(n);
            const std::vector<double> distances = singlePrecisionDistances(random, n);
            for (int p = 0; p < n; ++p) bits[p] = singleBits(distances[p]);
            std::vector<int> expected(n);
            for (int p = 0; p < n; ++p) expected[p] = p;
            std::stable_sort(expected.begin(), expected.end(), [&bits](int a, int b) { return bits[a] < bits[b]; });
            sortPositionsByBits(bits, buffers);
            ASSERT_EQ(buffers.order, expected) << n;
            for (int p = 0; p < n; ++p) ASSERT_EQ(buffers.sortedKeys[p], bits[expected[p]]);
        }
    }
}

}  // namespace
}  // namespace vela
