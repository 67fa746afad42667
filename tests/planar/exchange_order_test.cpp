#include "planar/detail/exchange_order.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "distance_lists.h"
#include "exchange_sort_reference.h"
#include "support/thread_counts.h"

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

TEST(SortDistanceBits, long_lists_sorted_in_shares_on_any_thread_count_end_in_exchange_order)
{
    // Long enough to be split among the threads: the radix passes in shares
    // of the list, the tie groups in shares of the groups. Each call starts
    // from the order the one before left, on every thread count alike.
    std::mt19937 random(47);
    for (int n : {static_cast<int>(kSharedSortFrom), 40000}) {
        std::vector<std::vector<int>> indices(std::size(testsupport::kThreadCounts), std::vector<int>(n));
        for (std::vector<int>& list : indices)
            for (int i = 0; i < n; ++i) list[i] = i;
        for (int call = 0; call < 5; ++call) {
            const int values = std::vector<int>{7, n / 4, n / 40, 3 * n, 2}[static_cast<std::size_t>(call)];
            std::vector<double> perPoint(n);
            for (double& d : perPoint) {
                const unsigned v = static_cast<unsigned>(random() % static_cast<unsigned>(values));
                d = v == 0 ? 0.0 : static_cast<float>(0.0001 * v);
            }
            std::vector<int> literal;
            if (n == static_cast<int>(kSharedSortFrom) && call == 2) {
                literal = indices[0];
                std::vector<double> distances(n), residuals;
                for (int p = 0; p < n; ++p) distances[p] = perPoint[literal[p]];
                vela_reference::exchangeSortResiduals(literal, distances, residuals, 1.0);
            }
            for (std::size_t t = 0; t < indices.size(); ++t) {
                const PoolSize pool(testsupport::kThreadCounts[t]);
                ResidualSortBuffers buffers;
                std::vector<std::uint32_t> bits(n);
                for (int p = 0; p < n; ++p) bits[p] = singleBits(perPoint[indices[t][p]]);
                ASSERT_TRUE(sortDistanceBits(indices[t], bits, buffers));
                ASSERT_EQ(indices[t], indices[0]) << n << " distances, call " << call << ", "
                                                  << testsupport::kThreadCounts[t] << " threads";
            }
            if (!literal.empty()) {
                ASSERT_EQ(indices[0], literal) << n << " distances, call " << call;
            }
        }
    }
}

TEST(SortPositionsByBits, equal_bits_stay_in_position_order)
{
    std::mt19937 random(77);
    ResidualSortBuffers buffers;
    for (int n : {0, 1, 16, 17, 300, 2500, 70000}) {
        for (int list = 0; list < 8; ++list) {
            const PoolSize pool(testsupport::kThreadCounts[list % 3]);
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
