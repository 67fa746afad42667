#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/neighbour_pieces.h"

namespace {

using vela::detail::PieceGroups;
using vela::detail::PieceLinks;

PieceGroups groupsOf(int n, const std::vector<std::pair<int, int>>& edges, std::size_t share, int* largest = nullptr)
{
    PieceLinks links;
    vela::detail::resetPieceLinks(links, static_cast<std::size_t>(n));
    for (const auto& e : edges) vela::detail::joinPieces(links, e.first, e.second);
    if (largest != nullptr) *largest = links.largest;
    return vela::detail::groupPieces(links, share);
}

std::vector<int> groupPoints(const PieceGroups& g, std::size_t k)
{
    return std::vector<int>(g.begin(k), g.begin(k) + g.size(k));
}

TEST(NeighbourPieces, pieces_go_largest_first_and_small_ones_are_gathered_to_a_share)
{
    // Pieces {1,4,6,9,11} (five points), {0,3,8} and {2,5,7} (three each,
    // the one holding point 0 first), {10} and {12}: with a share of four the
    // largest stands alone, the two of three fill one group, the single
    // points the last.
    const std::vector<std::pair<int, int>> edges{{1, 4}, {6, 4}, {9, 11}, {11, 1}, {8, 0}, {3, 8}, {7, 2}, {5, 5}, {2, 5}, {10, 10}};
    int largest = 0;
    const PieceGroups g = groupsOf(13, edges, 4, &largest);
    EXPECT_EQ(largest, 5);
    ASSERT_EQ(g.groups(), 3u);
    EXPECT_EQ(groupPoints(g, 0), (std::vector<int>{1, 4, 6, 9, 11}));
    EXPECT_EQ(groupPoints(g, 1), (std::vector<int>{0, 2, 3, 5, 7, 8}));
    EXPECT_EQ(groupPoints(g, 2), (std::vector<int>{10, 12}));
}

TEST(NeighbourPieces, links_named_in_either_direction_and_over_and_over_make_one_piece)
{
    // A chain linked back and forth and a cycle: one piece, one group.
    std::vector<std::pair<int, int>> edges;
    for (int i = 0; i + 1 < 50; ++i) edges.emplace_back(i % 2 == 0 ? i : i + 1, i % 2 == 0 ? i + 1 : i);
    edges.emplace_back(49, 0);
    edges.emplace_back(0, 49);
    int largest = 0;
    const PieceGroups g = groupsOf(50, edges, 8, &largest);
    EXPECT_EQ(largest, 50);
    ASSERT_EQ(g.groups(), 1u);
    EXPECT_EQ(g.size(0), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(g.points[static_cast<std::size_t>(i)], i);
}

TEST(NeighbourPieces, points_no_list_names_are_pieces_of_their_own)
{
    // No links at all: every point its own piece, gathered in point order.
    const PieceGroups g = groupsOf(7, {}, 3);
    ASSERT_EQ(g.groups(), 3u);
    EXPECT_EQ(groupPoints(g, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(groupPoints(g, 1), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(groupPoints(g, 2), (std::vector<int>{6}));
}

}  // namespace
