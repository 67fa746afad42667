#include "planar/detail/hypothesis_search.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_sort_reference.h"
#include "planar/detail/nfa_detail.h"
#include "planar_test_points.h"
#include "support/thread_counts.h"

namespace vela {
namespace {

using vela_test::point;
using vela_test::supervoxelOf;

// What the literal search met on its way, to show that a cloud stresses
// what its test claims.
struct Encounters {
    int iterations = 0;
    int skipped = 0;
    int improvements = 0;
    int tiesWithTheBest = 0;  // hypotheses scoring exactly the best so far
    int notANumber = 0;       // hypotheses with a distance that is not a number
    int scored = 0;
};

// The search as plainly as it reads: every hypothesis sorts the whole list by
// its distances, from the order the one before left, and is scored on all
// its residuals.
bool literalSearch(const WorkCloud& cloud, double tau, double epsilon, ResidualSorter sorter, BestCut& best,
                   Encounters& met)
{
    const int n = static_cast<int>(cloud->points.size());
    std::vector<int> shuffle(n), list(n);
    for (int i = 0; i < n; ++i) shuffle[i] = list[i] = i;
    best = BestCut();
    best.list = list;
    met = Encounters();
    const NfaTable table = buildNfaTable(n, 3);
    SampleSource source = makeSampleSource();
    ResidualSortBuffers buffers;
    std::vector<int> sample;
    std::vector<float> plane;
    std::vector<double> distances, residuals;
    int iteration = 0, limit = 500, skipped = 0;
    while (skipped < 5000) {
        ++iteration;
        met.iterations = iteration;
        if (!drawPlaneSample(cloud, shuffle, 1000, 3, sample, source)) return false;
        if (sample.empty()) break;
        if (!planeFromSample(cloud, sample, plane)) {
            ++skipped;
            ++met.skipped;
        } else {
            planeDistances(cloud, plane, list, distances);
            for (double d : distances) {
                if (std::isnan(d)) {
                    ++met.notANumber;
                    break;
                }
            }
            sorter(list, distances, residuals, tau, buffers);
            if (residuals.size() < 4) return false;
            NfaResult current;
            bestNfa(table, residuals, current);
            ++met.scored;
            if (current.count >= 4 && current.logNfa == best.result.logNfa) ++met.tiesWithTheBest;
            if (current.count >= 4 && current.logNfa < best.result.logNfa) {
                ++met.improvements;
                best.result = current;
                best.list = list;
                if (current.logNfa <= epsilon) limit = nextIterationLimit(current.count, n, iteration, limit);
            }
        }
        if (iteration >= limit) break;
    }
    return true;
}

// The literal sort is quadratic: larger clouds take the shipped one, which
// its own tests hold to it.
ResidualSorter literalSorterFor(const WorkCloud& cloud)
{
    return cloud->points.size() <= 400 ? vela_reference::exchangeSortResidualsWithBuffers
                                       : static_cast<ResidualSorter>(sortResiduals);
}

std::uint64_t bitsOf(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

void expectSameCut(const BestCut& got, const BestCut& want)
{
    EXPECT_EQ(got.result.count, want.result.count);
    EXPECT_EQ(bitsOf(got.result.logNfa), bitsOf(want.result.logNfa));
    EXPECT_EQ(bitsOf(got.result.logResidual), bitsOf(want.result.logResidual));
    EXPECT_EQ(got.list, want.list);
}

// The search in batches of every size given, on every thread count, against
// the literal search; what the literal search met is handed back.
Encounters expectBatchesFindTheLiteralCut(const WorkCloud& cloud, double tau, double epsilon,
                                          std::vector<int> batches = {0, 1, 2, 3, 7, 16})
{
    BestCut want;
    Encounters met;
    const bool wantFound = literalSearch(cloud, tau, epsilon, literalSorterFor(cloud), want, met);
    for (int threads : testsupport::kThreadCounts) {
        const PoolSize pool(threads);
        for (int batch : batches) {
            SCOPED_TRACE(std::to_string(cloud->points.size()) + " points, tau " + std::to_string(tau) + ", " +
                         std::to_string(threads) + " threads, batches of " + std::to_string(batch));
            BestCut got;
            got.result.logNfa = -1.0;  // a stale best from a search before must not carry over
            const bool found = searchBestCut(cloud, tau, epsilon, nullptr, batch, got);
            EXPECT_EQ(found, wantFound);
            if (found && wantFound) expectSameCut(got, want);
        }
    }
    return met;
}

// A noisy patch near z = 0 (70 %) and points scattered above it.
WorkCloud partlyPlanarCloud(int n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> across(0.0f, 5.0f);
    std::uniform_real_distribution<float> noise(-0.004f, 0.004f);
    std::uniform_real_distribution<float> height(0.1f, 2.0f);
    std::vector<WorkPoint> points;
    for (int i = 0; i < n; ++i) {
        const float x = across(random), y = across(random);
        const float z = i % 10 < 7 ? 0.02f * x + noise(random) : height(random);
        points.push_back(point(x, y, z, static_cast<std::uint32_t>(i)));
    }
    return supervoxelOf(points).cloud;
}

// Coordinates on a 1 cm grid, as in LAS clouds: many points at equal
// distances from a plane, whose tie order decides the list.
WorkCloud centimetreGridCloud(int n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> cell(0, 200);
    std::vector<WorkPoint> points;
    for (int i = 0; i < n; ++i) {
        const int x = cell(random), y = cell(random);
        const int z = i % 10 < 6 ? (3 * x - 2 * y) / 10 + static_cast<int>(random() % 3) : cell(random);
        points.push_back(point(0.01f * x, 0.01f * y, 0.01f * z, static_cast<std::uint32_t>(i)));
    }
    return supervoxelOf(points).cloud;
}

TEST(HypothesisSearch, batches_on_any_thread_count_find_the_cut_and_list_of_the_literal_search)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        const WorkCloud cloud = partlyPlanarCloud(150 + 50 * static_cast<int>(seed), seed);
        for (double tau : {0.01, 0.05}) {
            const Encounters met = expectBatchesFindTheLiteralCut(cloud, tau, 0.0);
            EXPECT_GT(met.improvements, 1) << "seed " << seed;
        }
    }
    for (unsigned seed : {4u, 5u}) {
        expectBatchesFindTheLiteralCut(centimetreGridCloud(300, seed), 0.02, 0.0);
    }
}

TEST(HypothesisSearch, hypotheses_scoring_the_best_so_far_exactly_leave_the_first_one_best)
{
    // Two exact layers 1 cm apart: every sample of three points of one layer
    // puts the other layer at 1 cm and its own, after the zero repair, too --
    // equal scores, from different lists. The first such hypothesis must
    // stay the best, with the list it left, however many of its equals a
    // batch holds.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> across(0.0f, 10.0f);
    std::vector<WorkPoint> points;
    for (int i = 0; i < 100; ++i) points.push_back(point(across(random), across(random), 0.01f * (i % 2), i));
    for (int i = 0; i < 12; ++i) points.push_back(point(0.7f * i, 0.3f * (i % 5), 0.5f + 0.1f * i, 100 + i));
    const Encounters met = expectBatchesFindTheLiteralCut(supervoxelOf(points).cloud, 0.05, -1e300);
    EXPECT_GT(met.tiesWithTheBest, 3);
}

TEST(HypothesisSearch, a_limit_falling_inside_a_batch_drops_the_hypotheses_scored_past_it)
{
    // A clean plane: the first good cut cuts the limit to a few more
    // hypotheses, which ends the search in the middle of a batch of 16.
    std::vector<WorkPoint> points;
    for (int i = 0; i < 200; ++i) points.push_back(point(0.1f * (i % 20), 0.1f * (i / 20), 0.001f * (i % 3), i));
    for (int i = 0; i < 10; ++i) points.push_back(point(0.2f * i, 0.5f, 1.0f + 0.1f * i, 200 + i));
    const Encounters met = expectBatchesFindTheLiteralCut(supervoxelOf(points).cloud, 0.01, 0.0, {7, 16});
    EXPECT_LT(met.iterations, 100);
    EXPECT_NE(met.iterations % 16, 0);
    EXPECT_NE(met.iterations % 7, 0);
}

TEST(HypothesisSearch, samples_spanning_no_plane_are_skipped_in_their_place)
{
    // Points (0, t, t) pass the ratio test through 0/0 but span no plane:
    // a sample of three of them is skipped, one with a patch point is scored.
    std::vector<WorkPoint> points;
    for (int i = 0; i < 120; ++i) points.push_back(point(0, 0.05f * i, 0.05f * i, i));
    for (int i = 0; i < 60; ++i) points.push_back(point(1.0f + 0.2f * (i % 6), 0.3f * (i / 6), 0.0f, 120 + i));
    const Encounters met = expectBatchesFindTheLiteralCut(supervoxelOf(points).cloud, 0.05, -1e300);
    EXPECT_GT(met.skipped, 100);
    EXPECT_GT(met.scored, 100);

    // All on such a line: every sample is skipped, and nothing is found.
    points.resize(120);
    const Encounters onTheLine = expectBatchesFindTheLiteralCut(supervoxelOf(points).cloud, 0.05, 0.0);
    EXPECT_EQ(onTheLine.skipped, 500);
}

TEST(HypothesisSearch, distances_that_are_not_a_number_sort_the_list_in_its_place)
{
    // A point that is not a number spoils every hypothesis's distances. A
    // point at infinity spoils only those of planes parallel to its axis
    // (0 times infinity): the others are scored on bits as usual, and the
    // list must see both kinds in order.
    WorkCloud spoilt = centimetreGridCloud(250, 8);
    spoilt->points[40].y = NAN;
    const Encounters everyHypothesis = expectBatchesFindTheLiteralCut(spoilt, 0.02, 0.0);
    EXPECT_EQ(everyHypothesis.notANumber, everyHypothesis.scored);

    std::vector<WorkPoint> points;
    for (int i = 0; i < 150; ++i) points.push_back(point(0.1f * (i % 15), 0.1f * (i / 15), 0.0f, i));
    for (int i = 0; i < 40; ++i) points.push_back(point(0.1f * i, 0.2f, 0.3f + 0.01f * (i % 7), 150 + i));
    points[170].x = INFINITY;
    const Encounters someHypotheses = expectBatchesFindTheLiteralCut(supervoxelOf(points).cloud, 0.05, 0.0);
    EXPECT_GT(someHypotheses.notANumber, 0);
    EXPECT_LT(someHypotheses.notANumber, someHypotheses.scored);
}

TEST(HypothesisSearch, a_cloud_too_small_to_score_fails_in_batches_too)
{
    // Three points span a plane but leave no residual to cut at.
    const WorkCloud triangle = supervoxelOf({point(0, 0, 0, 0), point(1, 0, 0, 1), point(0, 1, 0, 2)}).cloud;
    for (int batch : {0, 1, 4}) {
        BestCut best;
        EXPECT_FALSE(searchBestCut(triangle, 0.1, 0.0, nullptr, batch, best)) << batch;
    }
}

TEST(HypothesisSearch, clouds_from_the_shared_size_on_split_their_search_on_any_thread_count)
{
    EXPECT_EQ(hypothesesPerBatch(kSharedSearchPoints - 1, 2), 0);
    EXPECT_GT(hypothesesPerBatch(kSharedSearchPoints, 2), 0);
    EXPECT_EQ(hypothesesPerBatch(kSharedSearchPoints, 1), 0);
    for (int n : {kSharedSearchPoints - 1, kSharedSearchPoints}) {
        const WorkCloud cloud = partlyPlanarCloud(n, 9);
        BestCut want;
        Encounters met;
        ASSERT_TRUE(literalSearch(cloud, 0.01, 0.0, literalSorterFor(cloud), want, met));
        for (int threads : testsupport::kThreadCounts) {
            SCOPED_TRACE(std::to_string(n) + " points, " + std::to_string(threads) + " threads");
            const PoolSize pool(threads);
            BestCut got;
            ASSERT_TRUE(searchBestCut(cloud, 0.01, 0.0, nullptr, hypothesesPerBatch(n, threads), got));
            expectSameCut(got, want);
        }
    }
}

}  // namespace
}  // namespace vela
