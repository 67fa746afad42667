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

#include "distance_lists.h"
#include "exchange_sort_reference.h"
#include "planar/detail/nfa_detail.h"

namespace vela {
namespace {

using vela_test::kDistanceKinds;
using vela_test::makeDistances;
using vela_test::singleBits;
using vela_test::singlePrecisionDistances;

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

TEST(BestNfaOfBits, same_cut_as_best_nfa_on_the_sorted_residuals)
{
    // The whole sorted list or only its part within the scan limit (and a
    // little more), handed the initial result or one to beat, as the plane
    // test hands its best so far. The tiniest tau leaves only zeros within
    // the limit, and the first positive distance beyond it.
    std::mt19937 random(2024);
    std::vector<int> sizes = {1, 3, 4, 5, 17, 40, 1000};
    for (int r = 0; r < 60; ++r) sizes.push_back(4 + static_cast<int>(random() % 400));
    for (int n : sizes) {
        const NfaTable table = buildNfaTable(n, 3);
        for (int list = 0; list < 6; ++list) {
            const std::vector<double> distances = singlePrecisionDistances(random, n);
            const double largest = *std::max_element(distances.begin(), distances.end());
            const double tau = list == 0 ? 1e-30 : largest * (0.05 + 0.2 * list) + 1e-6;
            std::vector<int> indices(n, 0);
            std::vector<double> repaired = distances, residuals;
            vela_reference::exchangeSortResiduals(indices, repaired, residuals, tau);
            NfaResult literal;
            bestNfa(table, residuals, literal);

            std::vector<std::uint32_t> sorted(n);
            for (int p = 0; p < n; ++p) sorted[p] = singleBits(distances[p]);
            std::sort(sorted.begin(), sorted.end());
            const auto within = std::upper_bound(sorted.begin(), sorted.end(), scanLimitBits(tau)) - sorted.begin();
            for (std::ptrdiff_t listed : {static_cast<std::ptrdiff_t>(n), within, std::min<std::ptrdiff_t>(n, within + 3)}) {
                const std::vector<std::uint32_t> prefix(sorted.begin(), sorted.begin() + listed);
                for (double margin : {99999.0, -0.3, 0.0, 0.002, 0.3}) {
                    NfaResult expected, fast;
                    if (margin != 99999.0) expected.logNfa = fast.logNfa = literal.logNfa + margin;
                    bestNfa(table, residuals, expected);
                    ASSERT_TRUE(bestNfaOfBits(table, prefix, tau, fast));
                    EXPECT_EQ(fast.count, expected.count) << n << " points, tau " << tau << ", " << listed << " listed";
                    EXPECT_EQ(fast.logNfa, expected.logNfa);
                    EXPECT_EQ(fast.logResidual, expected.logResidual);
                }
            }
        }
    }
    NfaResult result;
    EXPECT_FALSE(bestNfaOfBits(buildNfaTable(4, 3), std::vector<std::uint32_t>(5, 0u), 1.0, result));
}

TEST(CutMayScoreBelow, never_rules_out_a_cut_the_scan_finds)
{
    // Unsorted distances within the scan limit, thresholds around the best
    // score the full scan finds; the check may only answer no when the scan,
    // handed that threshold, finds nothing.
    std::mt19937 random(515);
    CutBoundScratch scratch;
    int ruledOut = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const int n = 4 + static_cast<int>(random() % (trial % 3 == 0 ? 40 : 900));
        const NfaTable table = buildNfaTable(n, 3);
        std::vector<double> distances = singlePrecisionDistances(random, n);
        const double largest = *std::max_element(distances.begin(), distances.end());
        const double tau = (trial % 7 == 0 ? 1e-30 : largest * (0.05 + 0.1 * (trial % 5))) + 1e-6;
        std::vector<std::uint32_t> sorted(n);
        for (int p = 0; p < n; ++p) sorted[p] = singleBits(distances[p]);
        std::vector<std::uint32_t> within;
        for (std::uint32_t bits : sorted) {
            if (bits <= scanLimitBits(tau)) within.push_back(bits);
        }
        std::sort(sorted.begin(), sorted.end());
        NfaResult full;
        bestNfaOfBits(table, sorted, tau, full);
        for (double threshold : {99999.0, full.logNfa + 0.01, full.logNfa, full.logNfa - 0.01, full.logNfa - 5.0}) {
            NfaResult below;
            below.logNfa = threshold;
            bestNfaOfBits(table, sorted, tau, below);
            const bool may = cutMayScoreBelow(table, within, tau, threshold, scratch);
            if (below.count > 0) {
                ASSERT_TRUE(may) << n << " points, tau " << tau << ", threshold " << threshold;
            }
            ruledOut += !may;
        }
    }
    EXPECT_GT(ruledOut, 600);  // it does rule out, or it would be of no use

    const NfaTable six = buildNfaTable(6, 3);
    const std::vector<std::uint32_t> zeros(6, 0u);
    EXPECT_TRUE(cutMayScoreBelow(six, zeros, 1.0, -1e300, scratch));  // all zero: the cut of four scores -inf
    const std::vector<std::uint32_t> zerosOnly(5, 0u);                // the sixth lies beyond the limit
    EXPECT_FALSE(cutMayScoreBelow(six, zerosOnly, 1.0, 99999.0, scratch));
}

TEST(ScanLimitBits, lies_just_beyond_tau_or_leaves_out_nothing)
{
    for (double tau : {1.0, 0.1, 3e-20, 7e30}) {
        const double limit = widenedBits(scanLimitBits(tau));
        EXPECT_GT(limit / tau, 1.0 + 9e-7) << tau;
        EXPECT_LT(limit / tau, 1.0 + 2e-6) << tau;
    }
    for (double tau : {0.0, -1.0, static_cast<double>(NAN), 1e300, 1e-40}) {
        EXPECT_EQ(scanLimitBits(tau), 0x7f800000u) << tau;  // infinity: every distance listed
    }
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
