#include "planar/detail/hypothesis_list.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "distance_lists.h"
#include "exchange_sort_reference.h"

namespace vela {
namespace {

using vela_test::makeDistances;
using vela_test::planeLikeDistances;
using vela_test::singleBits;
using vela_test::singlePrecisionDistances;

// The list as the plane test defines it: sorted in full, literally, by every
// hypothesis's distances in turn.
struct LiteralList {
    std::vector<int> list;

    void sortBy(const std::vector<double>& perPoint)
    {
        std::vector<double> distances(list.size()), residuals;
        for (std::size_t p = 0; p < list.size(); ++p) distances[p] = perPoint[list[p]];
        vela_reference::exchangeSortResiduals(list, distances, residuals, 1.0);
    }
};

// Few distinct values, so that points tie in one sort after another and the
// keys of the sort before often fail to tell them apart.
std::vector<double> fewValues(std::mt19937& random, int n, int values)
{
    std::vector<double> distances(n);
    for (double& d : distances) d = 0.125 * static_cast<double>(random() % values);
    return distances;
}

void sortBoth(HypothesisList& deferred, LiteralList& literal, const std::vector<double>& perPoint)
{
    std::vector<std::uint32_t>& keys = nextSortKeys(deferred);
    for (std::size_t i = 0; i < perPoint.size(); ++i) keys[i] = singleBits(perPoint[i]);
    commitSortKeys(deferred);
    literal.sortBy(perPoint);
}

TEST(HypothesisList, written_out_list_is_the_list_sorted_in_turn)
{
    // Lists written out now and then and when the kept sorts run out, with
    // ties of every kind: a single pair, many groups, a crowd at the smallest
    // value, and ties that repeat from one sort to the next.
    std::mt19937 random(31);
    for (int n : {1, 4, 9, 40, 300, 1500}) {
        for (int capacity : {1, 3, 64}) {
            HypothesisList deferred;
            resetHypothesisList(deferred, n, capacity);
            LiteralList literal{writeOutHypothesisList(deferred)};
            for (int sort = 0; sort < 40; ++sort) {
                std::vector<double> perPoint;
                switch (random() % 5) {
                case 0: perPoint = fewValues(random, n, 2 + static_cast<int>(random() % 6)); break;
                case 1: perPoint = fewValues(random, n, n + 1); break;
                case 2: perPoint = planeLikeDistances(random, n); break;
                case 3: perPoint = makeDistances(random, n, 0); break;  // all distinct
                default: perPoint = singlePrecisionDistances(random, n); break;
                }
                sortBoth(deferred, literal, perPoint);
                if (random() % 5 == 0) {
                    ASSERT_EQ(writeOutHypothesisList(deferred), literal.list)
                        << n << " points, capacity " << capacity << ", sort " << sort;
                }
            }
            ASSERT_EQ(writeOutHypothesisList(deferred), literal.list) << n << " points, capacity " << capacity;
        }
    }
}

TEST(HypothesisList, list_reset_for_another_cloud_sorts_as_a_fresh_one)
{
    // One list for test after test, as a thread keeps it: its key lists keep
    // their room (and the keys of the test before) across sizes and capacities.
    std::mt19937 random(5);
    HypothesisList reused;
    for (int n : {900, 30, 2500, 7, 900}) {
        for (int capacity : {64, 2, 5}) {
            resetHypothesisList(reused, n, capacity);
            LiteralList literal{writeOutHypothesisList(reused)};
            for (int sort = 0; sort < 12; ++sort) {
                sortBoth(reused, literal, fewValues(random, n, 3 + static_cast<int>(random() % 40)));
                if (sort % 5 == 4) {
                    ASSERT_EQ(writeOutHypothesisList(reused), literal.list) << n << " " << capacity;
                }
            }
            ASSERT_EQ(writeOutHypothesisList(reused), literal.list) << n << " points, capacity " << capacity;
        }
    }
}

// Points in groups of equal keys, the smallest value aside, counted on the
// sorted keys.
int literalTiedPoints(std::vector<std::uint32_t> keys)
{
    std::sort(keys.begin(), keys.end());
    int tied = 0;
    for (std::size_t first = 0; first < keys.size();) {
        std::size_t last = first + 1;
        while (last < keys.size() && keys[last] == keys[first]) ++last;
        if (first > 0 && last - first > 1) tied += static_cast<int>(last - first);
        first = last;
    }
    return tied;
}

TEST(HypothesisList, sorts_too_tied_to_rebuild_are_told_without_sorting)
{
    // Tie counts on both sides of what a rebuild scans, in pairs and
    // triples, beside a crowd at the smallest value that does not count;
    // keys spaced by powers of two crowd the hash slots.
    std::mt19937 random(12);
    HypothesisList list;
    for (int n : {100, 129, 300, 5000}) {
        for (int tied : {0, 2, 127, 128, 129, 130, 1000}) {
            for (int smallest : {0, 1, 90}) {
                if (tied + smallest > n) continue;
                for (std::uint32_t spacing : {7u, 1u << 16}) {
                    std::vector<std::uint32_t> keys(n);
                    for (int i = 0; i < n; ++i) keys[i] = 0x3c000000u + spacing * static_cast<std::uint32_t>(i);
                    for (int i = 0; i < smallest; ++i) keys[i] = 0x30000000u;
                    for (int left = tied, i = smallest; left >= 2; left -= left == 3 ? 3 : 2) {
                        keys[i + 1] = keys[i];
                        if (left == 3) keys[i + 2] = keys[i];
                        i += left == 3 ? 3 : 2;
                    }
                    std::shuffle(keys.begin(), keys.end(), random);
                    ASSERT_EQ(tooTiedToRebuild(keys, list), literalTiedPoints(keys) > 128)
                        << n << " keys, " << tied << " tied, " << smallest << " smallest, spacing " << spacing;
                }
            }
        }
    }
    // Few distinct values: almost every point ties.
    for (int values : {2, 40, 4000}) {
        const std::vector<double> distances = fewValues(random, 3000, values);
        std::vector<std::uint32_t> keys;
        for (double d : distances) keys.push_back(singleBits(d));
        EXPECT_EQ(tooTiedToRebuild(keys, list), literalTiedPoints(keys) > 128) << values << " values";
    }
}

TEST(HypothesisList, one_tied_pair_after_distinct_keys_is_rebuilt_from_them)
{
    // Points 2 and 5 tie in the second sort; the first sort (distinct keys)
    // decides how they and the smaller points stood before it.
    HypothesisList deferred;
    resetHypothesisList(deferred, 6, 8);
    LiteralList literal{writeOutHypothesisList(deferred)};
    sortBoth(deferred, literal, {0.6, 0.1, 0.5, 0.3, 0.2, 0.4});
    sortBoth(deferred, literal, {0.1, 0.2, 0.5, 0.3, 0.4, 0.5});
    EXPECT_EQ(literal.list, (std::vector<int>{0, 1, 3, 4, 2, 5}));  // the pair turned
    EXPECT_EQ(writeOutHypothesisList(deferred), literal.list);
}

TEST(HypothesisList, caller_reordering_the_written_list_is_the_new_start)
{
    std::mt19937 random(8);
    const int n = 200;
    HypothesisList deferred;
    resetHypothesisList(deferred, n, 16);
    LiteralList literal{writeOutHypothesisList(deferred)};
    for (int round = 0; round < 6; ++round) {
        for (int sort = 0; sort < 5; ++sort) sortBoth(deferred, literal, fewValues(random, n, 12));
        std::vector<int>& written = writeOutHypothesisList(deferred);
        ASSERT_EQ(written, literal.list);
        std::shuffle(written.begin(), written.end(), random);
        literal.list = written;
    }
    EXPECT_EQ(writeOutHypothesisList(deferred), literal.list);
}

}  // namespace
}  // namespace vela
