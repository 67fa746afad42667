// The pieces of a cloud that its neighbour lists connect: no list of a point
// in one piece names a point of another. Work that follows only the lists
// (the fusion's walks, the boundary queue) never crosses from one piece to
// another, so the pieces can be worked on at the same time. They are
// gathered into groups of a useful size, one task each.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace vela {
namespace detail {

// Union-find over the points: an entry not below 0 links a point to another
// of its piece; a root holds minus its piece's size.
struct PieceLinks {
    std::vector<int> link;
    int largest = 1;  // points of the largest piece
};

void resetPieceLinks(PieceLinks& links, std::size_t n);

inline int pieceRoot(PieceLinks& links, int x)
{
    int* link = links.link.data();
    while (link[x] >= 0) {
        const int next = link[x];
        if (link[next] >= 0) link[x] = link[next];
        x = next;
    }
    return x;
}

// Puts the piece of the root `root` and that of point b in one; returns
// the root of the joined piece.
inline int joinRoot(PieceLinks& links, int root, int b)
{
    int rb = pieceRoot(links, b);
    if (rb == root) return root;
    int* link = links.link.data();
    // The larger piece keeps its root, so that paths stay short.
    if (link[root] > link[rb]) std::swap(root, rb);
    link[root] += link[rb];
    link[rb] = root;
    if (-link[root] > links.largest) links.largest = -link[root];
    return root;
}

// Puts points a and b in one piece.
inline void joinPieces(PieceLinks& links, int a, int b) { joinRoot(links, pieceRoot(links, a), b); }

// The points gathered piece by piece into groups.
struct PieceGroups {
    std::vector<int> points;         // group 0's points, then group 1's, ...; each group's ascending
    std::vector<std::size_t> start;  // group g holds points[start[g], start[g + 1])
    std::size_t groups() const { return start.empty() ? 0 : start.size() - 1; }
    std::size_t size(std::size_t g) const { return start[g + 1] - start[g]; }
    const int* begin(std::size_t g) const { return points.data() + start[g]; }
};

// The pieces the links make, largest first (of equal ones, that holding the
// lowest point first): a piece of at least `share` points is a group of its
// own; smaller ones are gathered, in that order, into groups that close once
// they hold `share` points. The links are used up.
PieceGroups groupPieces(PieceLinks& links, std::size_t share);

}  // namespace detail
}  // namespace vela
