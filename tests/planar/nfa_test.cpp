#include "planar/nfa.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_sort_reference.h"

namespace vela {
namespace {

double log10Binomial(int n, int r)
{
    double value = 1.0;
    for (int i = 1; i <= r; ++i) value = value * (n - r + i) / i;
    return std::log10(value);
}

TEST(NfaTable, matches_direct_binomials_for_small_point_counts)
{
    for (int n = 3; n <= 25; ++n) {
        const NfaTable table = buildNfaTable(n, 3);
        ASSERT_EQ(table.logInt.size(), static_cast<std::size_t>(n + 1));
        ASSERT_EQ(table.logChooseN.size(), static_cast<std::size_t>(n - 2));
        EXPECT_EQ(table.logInt[0], 0.0);
        EXPECT_EQ(table.logInt[n], std::log10(static_cast<double>(n)));
        for (int j = 0; j <= n - 3; ++j) {
            EXPECT_NEAR(table.logChooseN[j], log10Binomial(n, 3 + j), 1e-12) << "N " << n << " j " << j;
            EXPECT_NEAR(table.logChooseK[j], log10Binomial(3 + j, 3), 1e-12) << "N " << n << " j " << j;
        }
    }
}

TEST(BestNfa, only_cuts_within_tau_are_scored)
{
    const NfaTable four = buildNfaTable(4, 3);
    NfaResult result;
    ASSERT_TRUE(bestNfa(four, {0.0, 0.0, 0.0, 0.5}, result));
    EXPECT_EQ(result.count, 4);
    EXPECT_NEAR(result.logNfa, std::log10(1.0 * 4.0 * 0.5), 1e-15);  // (N - 3) binom(4, 3) r

    NfaResult atTau;
    ASSERT_TRUE(bestNfa(four, {0.0, 0.0, 0.0, 1.0}, atTau));
    EXPECT_EQ(atTau.count, 4);
    EXPECT_EQ(atTau.logResidual, 0.0);

    const NfaTable six = buildNfaTable(6, 3);
    NfaResult beyond;
    ASSERT_TRUE(bestNfa(six, {0.0, 0.0, 0.0, 1.5, 2.0, 3.0}, beyond));
    EXPECT_EQ(beyond.count, 0);
    EXPECT_EQ(beyond.logNfa, 99999.0);
    EXPECT_EQ(beyond.logResidual, 1.0);

    // The scan stops at the first residual beyond tau, whatever follows.
    NfaResult stopped;
    ASSERT_TRUE(bestNfa(six, {0.0, 0.0, 0.0, 0.5, 1.01, 1e-9}, stopped));
    EXPECT_EQ(stopped.count, 4);
    EXPECT_FALSE(bestNfa(six, {0.0, 0.0, 0.0, 0.5}, stopped));
}

TEST(SortResiduals, ties_end_in_exchange_order)
{
    std::vector<int> indices = {'a', 'b', 'c', 'e'};
    std::vector<double> distances = {3.0, 2.0, 2.0, 1.0};
    std::vector<double> residuals;
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 1.0));
    EXPECT_EQ(indices, (std::vector<int>{'e', 'c', 'b', 'a'}));
}

TEST(SortResiduals, zeros_after_the_sample_take_the_first_positive_distance)
{
    std::vector<int> indices = {0, 1, 2, 3, 4, 5, 6};
    std::vector<double> distances = {0.0, 0.0, 0.0, 0.0, 0.0, 0.2, 0.3};
    std::vector<double> residuals;
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 0.5));
    EXPECT_EQ(distances, (std::vector<double>{0.0, 0.0, 0.0, 0.2, 0.2, 0.2, 0.3}));
    EXPECT_EQ(residuals, (std::vector<double>{0.0, 0.0, 0.0, 0.4, 0.4, 0.4, 0.6}));

    // With no positive distance at all the cut of four scores -inf and stays.
    distances.assign(7, 0.0);
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 1.0));
    NfaResult result;
    ASSERT_TRUE(bestNfa(buildNfaTable(7, 3), residuals, result));
    EXPECT_EQ(result.count, 4);
    EXPECT_EQ(result.logNfa, -std::numeric_limits<double>::infinity());
}

// |(a x + c z) + (b y + d)| in single precision, as a plane test computes it,
// for points on a 1 cm grid (as LAS coordinates are) and a plane through three
// of them: its normal is a grid direction, so many distances coincide.
std::vector<double> planeLikeDistances(std::mt19937& random, int n)
{
    auto gridPoint = [&random]() {
        std::array<float, 3> p;
        for (float& coordinate : p) coordinate = 0.01f * static_cast<float>(random() % 40);
        return p;
    };
    const std::array<float, 3> p0 = gridPoint(), p1 = gridPoint(), p2 = gridPoint();
    const float ux = p1[0] - p0[0], uy = p1[1] - p0[1], uz = p1[2] - p0[2];
    const float vx = p2[0] - p0[0], vy = p2[1] - p0[1], vz = p2[2] - p0[2];
    float a = uy * vz - uz * vy, b = uz * vx - ux * vz, c = ux * vy - uy * vx;
    const float length = std::sqrt(a * a + b * b + c * c);
    if (length > 0.0f) {
        a /= length;
        b /= length;
        c /= length;
    }
    const float d = -((a * p0[0] + c * p0[2]) + b * p0[1]);
    std::vector<double> distances(n);
    for (double& distance : distances) {
        const std::array<float, 3> p = gridPoint();
        distance = std::fabs(static_cast<double>((a * p[0] + c * p[2]) + (b * p[1] + d)));
    }
    return distances;
}

constexpr int kDistanceKinds = 11;

// Distances of the kinds a plane test produces and some it should survive.
std::vector<double> makeDistances(std::mt19937& random, int n, int kind)
{
    if (kind == 6) return planeLikeDistances(random, n);
    std::vector<double> d(n);
    std::uniform_real_distribution<double> uniform(0.0, 2.0);
    const int values = 1 + static_cast<int>(random() % (kind == 1 ? 6 : n / 3 + 1));  // tie groups
    for (double& v : d) {
        const unsigned pick = random() % 5;
        const float single = static_cast<float>(uniform(random));
        switch (kind) {
        case 0: v = single; break;                                                 // distinct
        case 1: case 2: v = 0.25 * static_cast<double>(random() % values); break;  // exact ties
        case 3: v = pick == 0 ? 0.0 : pick == 1 ? 0.1 * (random() % values) : uniform(random); break;  // zeros
        case 4: v = pick == 0 ? -0.0 : pick == 1 ? 0.0 : pick == 2 ? -uniform(random) : 1e300; break;
        case 7: v = pick == 0 ? 0.0 : pick == 1 ? single : 1.0f + 1e-7f * (random() % 200); break;  // crowded
        case 8: v = pick == 0 ? 0.0 : pick == 1 ? 0.75 : single; break;                             // zeros
        case 9: v = pick == 0 ? -0.0 : pick == 1 ? 0.5 : single; break;
        case 10: v = pick == 0 ? 1e-40f * single : pick == 1 ? HUGE_VAL : single; break;  // subnormal, infinite
        default: v = 0.5; break;                                                   // all equal
        }
    }
    if (kind == 2) {  // sorted or reverse sorted
        std::sort(d.begin(), d.end());
        if (random() % 2) std::reverse(d.begin(), d.end());
    }
    return d;
}

// Bit for bit: -0.0 and 0.0 compare equal but must land where the exchange sort puts them.
bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Sorts copies of the lists with both sorts; true when they agree to the bit.
testing::AssertionResult sameAsExchangeSort(std::vector<int>& indices, std::vector<double>& distances,
                                            ResidualSortBuffers& buffers)
{
    std::vector<int> literalIndices = indices;
    std::vector<double> literalDistances = distances, fastResiduals, literalResiduals;
    sortResiduals(indices, distances, fastResiduals, 0.8, buffers);
    vela_reference::exchangeSortResiduals(literalIndices, literalDistances, literalResiduals, 0.8);
    if (indices != literalIndices) return testing::AssertionFailure() << "orders differ";
    if (!sameBits(distances, literalDistances) || !sameBits(fastResiduals, literalResiduals)) {
        return testing::AssertionFailure() << "values differ";
    }
    return testing::AssertionSuccess();
}

TEST(SortResiduals, same_order_as_the_exchange_sort_on_random_lists)
{
    std::mt19937 random(12345);
    ResidualSortBuffers buffers;  // shared, as across the hypotheses of one test
    std::vector<int> sizes;
    for (int n = 0; n <= 40; ++n) sizes.push_back(n);
    for (int r = 0; r < 150; ++r) sizes.push_back(41 + static_cast<int>(random() % 400));
    for (int n : {1000, 2047, 3000}) sizes.push_back(n);
    for (int n : sizes) {
        for (int kind = 0; kind < kDistanceKinds; ++kind) {
            std::vector<int> indices(n);
            for (int i = 0; i < n; ++i) indices[i] = 7 * i + 3;
            std::shuffle(indices.begin(), indices.end(), random);
            std::vector<double> distances = makeDistances(random, n, kind);
            ASSERT_TRUE(sameAsExchangeSort(indices, distances, buffers)) << "size " << n << " kind " << kind;
        }
    }
}

TEST(SortResiduals, same_order_when_the_order_carries_over_between_calls)
{
    // As in a plane test: distances belong to points, and each call starts
    // from the order the previous one left.
    std::mt19937 random(99);
    ResidualSortBuffers buffers;
    for (int n : {5, 17, 64, 300, 1200}) {
        std::vector<int> indices(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
        for (int call = 0; call < 30; ++call) {
            const std::vector<double> perPoint = makeDistances(random, n, static_cast<int>(random() % kDistanceKinds));
            std::vector<double> distances(n);
            for (int p = 0; p < n; ++p) distances[p] = perPoint[indices[p]];
            ASSERT_TRUE(sameAsExchangeSort(indices, distances, buffers)) << "size " << n << " call " << call;
        }
    }
}

std::uint32_t singleBits(double value)
{
    const float single = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return bits;
}

TEST(SortDistanceBits, same_order_and_best_cut_as_the_exchange_sort)
{
    // Single-precision distances as the plane test hands them over, each
    // call starting from the order the previous one left.
    std::mt19937 random(2024);
    ResidualSortBuffers buffers;
    std::vector<int> sizes = {0, 1, 3, 4, 5, 16, 17, 40, 1000, 3000};
    for (int r = 0; r < 40; ++r) sizes.push_back(18 + static_cast<int>(random() % 600));
    for (int n : sizes) {
        const NfaTable table = buildNfaTable(n, 3);
        std::vector<int> indices(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
        for (int call = 0; call < 12; ++call) {
            int kind = static_cast<int>(random() % kDistanceKinds);
            if (kind == 3 || kind == 4 || kind == 9) kind = 6;  // not single precision
            std::vector<double> perPoint = makeDistances(random, n, kind);
            for (double& d : perPoint) d = static_cast<float>(d);
            const double tau = n > 0 ? *std::max_element(perPoint.begin(), perPoint.end()) * 0.4 + 1e-3 : 1.0;
            std::vector<std::uint32_t> bits(n);
            std::vector<double> distances(n);
            for (int p = 0; p < n; ++p) {
                bits[p] = singleBits(perPoint[indices[p]]);
                distances[p] = perPoint[indices[p]];
            }
            std::vector<int> literalIndices = indices;
            std::vector<double> residuals;
            vela_reference::exchangeSortResiduals(literalIndices, distances, residuals, tau);
            NfaResult literal, fast;
            bestNfa(table, residuals, literal);
            ASSERT_TRUE(sortDistanceBits(indices, bits, buffers));
            ASSERT_TRUE(bestNfaOfBits(table, bits, tau, fast));
            ASSERT_EQ(indices, literalIndices) << "size " << n << " kind " << kind << " call " << call;
            for (int p = 0; p < n; ++p) ASSERT_EQ(bits[p], singleBits(perPoint[indices[p]]));
            EXPECT_EQ(fast.count, literal.count);
            EXPECT_EQ(fast.logNfa, literal.logNfa);
            EXPECT_EQ(fast.logResidual, literal.logResidual);
            // Handed a result to beat, as the plane test hands its best so far.
            for (double margin : {-0.3, 0.0, 0.002, 0.3}) {
                NfaResult literalAgain, fastAgain;
                literalAgain.logNfa = fastAgain.logNfa = literal.logNfa + margin;
                bestNfa(table, residuals, literalAgain);
                bestNfaOfBits(table, bits, tau, fastAgain);
                EXPECT_EQ(fastAgain.count, literalAgain.count);
                EXPECT_EQ(fastAgain.logNfa, literalAgain.logNfa);
                EXPECT_EQ(fastAgain.logResidual, literalAgain.logResidual);
            }
        }
    }
    std::vector<int> indices(3);
    std::vector<std::uint32_t> bits(4);
    EXPECT_FALSE(sortDistanceBits(indices, bits, buffers));
}

TEST(SortResiduals, same_order_on_every_small_list_of_three_values_and_with_nan)
{
    ResidualSortBuffers buffers;
    std::vector<std::vector<double>> lists = {{2.0, NAN, 1.0, 1.0, 0.0, NAN, 0.5}};
    for (int n = 0; n <= 8; ++n) {
        for (int code = 0, end = static_cast<int>(std::pow(3, n)); code < end; ++code) {
            std::vector<double> distances(n);
            for (int i = 0, rest = code; i < n; ++i, rest /= 3) distances[i] = rest % 3;
            lists.push_back(distances);
        }
    }
    for (std::vector<double>& distances : lists) {
        std::vector<int> indices(distances.size());
        for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<int>(i);
        ASSERT_TRUE(sameAsExchangeSort(indices, distances, buffers));
    }
}

}  // namespace
}  // namespace vela
