#include "planar/nfa.h"

#include <algorithm>
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
        ASSERT_EQ(table.logChooseK.size(), static_cast<std::size_t>(n - 2));
        EXPECT_EQ(table.logInt[0], 0.0);
        for (int i = 1; i <= n; ++i) EXPECT_EQ(table.logInt[i], std::log10(static_cast<double>(i)));
        for (int j = 0; j <= n - 3; ++j) {
            EXPECT_NEAR(table.logChooseN[j], log10Binomial(n, 3 + j), 1e-12) << "N " << n << " j " << j;
            EXPECT_NEAR(table.logChooseK[j], log10Binomial(3 + j, 3), 1e-12) << "N " << n << " j " << j;
        }
    }
}

TEST(NfaTable, as_many_points_as_the_sample_gives_one_zero_entry)
{
    const NfaTable table = buildNfaTable(3, 3);
    ASSERT_EQ(table.logChooseN.size(), 1u);
    EXPECT_EQ(table.logChooseN[0], 0.0);
    EXPECT_EQ(table.logChooseK[0], 0.0);
}

TEST(BestNfa, four_points_score_only_the_cut_of_four)
{
    const NfaTable table = buildNfaTable(4, 3);
    NfaResult result;
    ASSERT_TRUE(bestNfa(table, {0.0, 0.0, 0.0, 0.5}, result));
    EXPECT_EQ(result.count, 4);
    // log10(N - 3) + log10 binom(4, 4) + log10 binom(4, 3) + log10(0.5)
    EXPECT_NEAR(result.logNfa, std::log10(4.0 * 0.5), 1e-15);
    EXPECT_EQ(result.logResidual, std::log10(0.5));
}

TEST(BestNfa, fourth_residual_beyond_tau_leaves_result_untouched)
{
    const NfaTable table = buildNfaTable(6, 3);
    NfaResult result;
    ASSERT_TRUE(bestNfa(table, {0.0, 0.0, 0.0, 1.5, 2.0, 3.0}, result));
    EXPECT_EQ(result.count, 0);
    EXPECT_EQ(result.logNfa, 99999.0);
    EXPECT_EQ(result.logResidual, 1.0);
}

TEST(BestNfa, residual_exactly_at_tau_is_scored)
{
    const NfaTable table = buildNfaTable(4, 3);
    NfaResult result;
    ASSERT_TRUE(bestNfa(table, {0.0, 0.0, 0.0, 1.0}, result));
    EXPECT_EQ(result.count, 4);
    EXPECT_EQ(result.logResidual, 0.0);
}

TEST(BestNfa, scan_stops_at_first_residual_beyond_tau)
{
    // Unsorted on purpose: the small residual after the large one must not count.
    const NfaTable table = buildNfaTable(6, 3);
    NfaResult result;
    ASSERT_TRUE(bestNfa(table, {0.0, 0.0, 0.0, 0.5, 1.01, 1e-9}, result));
    EXPECT_EQ(result.count, 4);
}

TEST(BestNfa, keeps_a_better_result_and_refuses_a_wrong_length)
{
    const NfaTable table = buildNfaTable(5, 3);
    NfaResult result;
    result.count = 5;
    result.logNfa = -50.0;
    result.logResidual = -1.0;
    ASSERT_TRUE(bestNfa(table, {0.0, 0.0, 0.0, 0.5, 0.5}, result));
    EXPECT_EQ(result.count, 5);
    EXPECT_EQ(result.logNfa, -50.0);
    EXPECT_FALSE(bestNfa(table, {0.0, 0.0, 0.0, 0.5}, result));
    EXPECT_EQ(result.logNfa, -50.0);
}

TEST(BestNfa, picks_the_cut_of_smallest_closed_form_score)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.3);
    for (int round = 0; round < 50; ++round) {
        const int n = 4 + round;
        std::vector<double> residuals(n);
        for (double& r : residuals) r = uniform(random);
        std::sort(residuals.begin(), residuals.end());
        const NfaTable table = buildNfaTable(n, 3);
        NfaResult result;
        ASSERT_TRUE(bestNfa(table, residuals, result));

        int bestCount = 0;
        double bestScore = 99999.0;
        for (int m = 4; m <= n && residuals[m - 1] <= 1.0; ++m) {
            const double score = std::log10(n - 3.0) + log10Binomial(n, m) + log10Binomial(m, 3) +
                                 (m - 3) * std::log10(residuals[m - 1]);
            if (score < bestScore - 1e-9) {
                bestScore = score;
                bestCount = m;
            }
        }
        EXPECT_EQ(result.count, bestCount) << "round " << round;
        if (bestCount > 0) {
            EXPECT_NEAR(result.logNfa, bestScore, 1e-9);
        }
    }
}

TEST(SortResiduals, ties_end_in_exchange_order)
{
    std::vector<int> indices = {'a', 'b', 'c', 'e'};
    std::vector<double> distances = {3.0, 2.0, 2.0, 1.0};
    std::vector<double> residuals;
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 1.0));
    EXPECT_EQ(indices, (std::vector<int>{'e', 'c', 'b', 'a'}));
    EXPECT_EQ(distances, (std::vector<double>{1.0, 2.0, 2.0, 3.0}));
}

TEST(SortResiduals, zeros_after_the_sample_take_the_first_positive_distance)
{
    std::vector<int> indices = {0, 1, 2, 3, 4, 5, 6};
    std::vector<double> distances = {0.0, 0.0, 0.0, 0.0, 0.0, 0.2, 0.3};
    std::vector<double> residuals;
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 1.0));
    EXPECT_EQ(distances, (std::vector<double>{0.0, 0.0, 0.0, 0.2, 0.2, 0.2, 0.3}));
    EXPECT_EQ(residuals, distances);

    distances = {0.0, 0.0, 0.0, 0.0, 0.0, 0.2, 0.3};
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 0.5));
    EXPECT_EQ(residuals, (std::vector<double>{0.0, 0.0, 0.0, 0.4, 0.4, 0.4, 0.6}));
}

TEST(SortResiduals, all_zero_distances_score_minus_infinity_with_four_points)
{
    std::vector<int> indices = {0, 1, 2, 3, 4, 5};
    std::vector<double> distances(6, 0.0);
    std::vector<double> residuals;
    ASSERT_TRUE(sortResiduals(indices, distances, residuals, 1.0));
    NfaResult result;
    ASSERT_TRUE(bestNfa(buildNfaTable(6, 3), residuals, result));
    EXPECT_EQ(result.count, 4);
    EXPECT_EQ(result.logNfa, -std::numeric_limits<double>::infinity());
}

TEST(SortResiduals, lists_of_different_length_are_left_alone)
{
    std::vector<int> indices = {1, 0};
    std::vector<double> distances = {2.0, 1.0, 0.0};
    std::vector<double> residuals = {9.0};
    EXPECT_FALSE(sortResiduals(indices, distances, residuals, 1.0));
    EXPECT_EQ(indices, (std::vector<int>{1, 0}));
    EXPECT_EQ(distances, (std::vector<double>{2.0, 1.0, 0.0}));
    EXPECT_EQ(residuals, (std::vector<double>{9.0}));
}

// Distances of the kinds a plane test produces and some it should survive.
std::vector<double> makeDistances(std::mt19937& random, int n, int kind)
{
    std::vector<double> d(n);
    std::uniform_real_distribution<double> uniform(0.0, 2.0);
    switch (kind) {
    case 0:  // distinct
        for (double& v : d) v = uniform(random);
        break;
    case 1: {  // a few values, many exact ties
        const int values = 1 + static_cast<int>(random() % 6);
        for (double& v : d) v = 0.25 * static_cast<double>(random() % values);
        break;
    }
    case 2:  // all equal
        for (double& v : d) v = 0.5;
        break;
    case 3: {  // zeros among distinct values and ties
        for (double& v : d) {
            const unsigned pick = random() % 4;
            v = pick == 0 ? 0.0 : pick == 1 ? 0.75 : uniform(random);
        }
        break;
    }
    case 4:  // sorted with ties
        for (double& v : d) v = 0.1 * static_cast<double>(random() % 20);
        std::sort(d.begin(), d.end());
        break;
    case 5:  // reverse sorted with ties
        for (double& v : d) v = 0.1 * static_cast<double>(random() % 20);
        std::sort(d.rbegin(), d.rend());
        break;
    case 7:  // signed zeros, negative and huge values: the sort is not only for distances
        for (double& v : d) {
            const unsigned pick = random() % 5;
            v = pick == 0 ? -0.0 : pick == 1 ? 0.0 : pick == 2 ? -uniform(random) : pick == 3 ? 1e300 : -0.5;
        }
        break;
    default: {  // ties in many groups of varied size
        const int values = 1 + static_cast<int>(random() % std::max(1, n / 3 + 1));
        for (double& v : d) v = static_cast<double>(random() % values);
        break;
    }
    }
    return d;
}

// Bit for bit: -0.0 and 0.0 compare equal but must land where the exchange sort puts them.
bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expectSameAsExchangeSort(const std::vector<int>& indices, const std::vector<double>& distances,
                              ResidualSortBuffers& buffers, const std::string& what)
{
    std::vector<int> fastIndices = indices, literalIndices = indices;
    std::vector<double> fastDistances = distances, literalDistances = distances;
    std::vector<double> fastResiduals, literalResiduals;
    ASSERT_TRUE(sortResiduals(fastIndices, fastDistances, fastResiduals, 0.8, buffers));
    ASSERT_TRUE(vela_reference::exchangeSortResiduals(literalIndices, literalDistances, literalResiduals, 0.8));
    ASSERT_EQ(fastIndices, literalIndices) << what;
    ASSERT_TRUE(sameBits(fastDistances, literalDistances)) << what;
    ASSERT_TRUE(sameBits(fastResiduals, literalResiduals)) << what;
}

TEST(SortResiduals, same_permutation_as_exchange_sort_on_random_lists)
{
    std::mt19937 random(12345);
    ResidualSortBuffers buffers;  // shared, as across the hypotheses of one test
    std::vector<int> sizes;
    for (int n = 0; n <= 40; ++n) sizes.push_back(n);
    for (int r = 0; r < 150; ++r) sizes.push_back(41 + static_cast<int>(random() % 400));
    for (int n : {1000, 2047, 3000}) sizes.push_back(n);
    for (int n : sizes) {
        for (int kind = 0; kind <= 7; ++kind) {
            if (n > 1000 && kind == 0) continue;  // distinct values hold no surprise at this size
            std::vector<int> indices(n);
            for (int i = 0; i < n; ++i) indices[i] = 7 * i + 3;
            std::shuffle(indices.begin(), indices.end(), random);
            const std::vector<double> distances = makeDistances(random, n, kind);
            expectSameAsExchangeSort(indices, distances, buffers,
                                     "size " + std::to_string(n) + " kind " + std::to_string(kind));
        }
    }
}

TEST(SortResiduals, same_permutation_when_the_order_carries_over_between_calls)
{
    // Distances depend on the point, not on its place in the list, and each
    // call starts from the order the previous one left.
    std::mt19937 random(99);
    ResidualSortBuffers buffers;
    for (int n : {5, 17, 64, 300, 1200}) {
        std::vector<int> fastIndices(n), literalIndices(n);
        for (int i = 0; i < n; ++i) fastIndices[i] = literalIndices[i] = i;
        for (int call = 0; call < 30; ++call) {
            const std::vector<double> perPoint = makeDistances(random, n, static_cast<int>(random() % 8));
            std::vector<double> fastDistances(n), literalDistances(n), fastResiduals, literalResiduals;
            for (int p = 0; p < n; ++p) {
                fastDistances[p] = perPoint[fastIndices[p]];
                literalDistances[p] = perPoint[literalIndices[p]];
            }
            ASSERT_TRUE(sortResiduals(fastIndices, fastDistances, fastResiduals, 1.0, buffers));
            ASSERT_TRUE(vela_reference::exchangeSortResiduals(literalIndices, literalDistances, literalResiduals, 1.0));
            ASSERT_EQ(fastIndices, literalIndices) << "size " << n << " call " << call;
            ASSERT_TRUE(sameBits(fastResiduals, literalResiduals)) << "size " << n << " call " << call;
        }
    }
}

TEST(SortResiduals, not_a_number_distances_sort_as_the_exchange_sort_does)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<int> fastIndices = {0, 1, 2, 3, 4, 5, 6}, literalIndices = fastIndices;
    std::vector<double> fastDistances = {2.0, nan, 1.0, 1.0, 0.0, nan, 0.5}, literalDistances = fastDistances;
    std::vector<double> fastResiduals, literalResiduals;
    ASSERT_TRUE(sortResiduals(fastIndices, fastDistances, fastResiduals, 1.0));
    ASSERT_TRUE(vela_reference::exchangeSortResiduals(literalIndices, literalDistances, literalResiduals, 1.0));
    EXPECT_EQ(fastIndices, literalIndices);
    EXPECT_TRUE(sameBits(fastResiduals, literalResiduals));
}

TEST(SortResiduals, exhaustive_small_lists_of_three_values)
{
    // Every list of length up to 8 over {0, 1, 2}.
    ResidualSortBuffers buffers;
    for (int n = 0; n <= 8; ++n) {
        int combinations = 1;
        for (int i = 0; i < n; ++i) combinations *= 3;
        std::vector<int> indices(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
        for (int code = 0; code < combinations; ++code) {
            std::vector<double> distances(n);
            int rest = code;
            for (int i = 0; i < n; ++i, rest /= 3) distances[i] = rest % 3;
            expectSameAsExchangeSort(indices, distances, buffers, "code " + std::to_string(code));
        }
    }
}

}  // namespace
}  // namespace vela
