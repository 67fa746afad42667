#include "supervoxel/neighbour_pieces.h"

#include <algorithm>
#include <utility>

namespace vela {
namespace detail {

void resetPieceLinks(PieceLinks& links, std::size_t n)
{
    links.link.assign(n, -1);
    links.largest = n > 0 ? 1 : 0;
}

PieceGroups groupPieces(PieceLinks& links, std::size_t share)
{
    const std::size_t n = links.link.size();
    struct Piece {
        std::size_t size;
        int lowest;
        int group;
    };
    std::vector<Piece> pieces;
    // Roots numbered by their pieces' lowest points: the first point met of
    // each piece names it.
    std::vector<int> numberOfRoot(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        const int root = pieceRoot(links, static_cast<int>(i));
        int& number = numberOfRoot[static_cast<std::size_t>(root)];
        if (number < 0) {
            number = static_cast<int>(pieces.size());
            pieces.push_back(Piece{static_cast<std::size_t>(-links.link[static_cast<std::size_t>(root)]),
                                   static_cast<int>(i), -1});
        }
    }
    std::vector<int> bySize(pieces.size());
    for (std::size_t p = 0; p < pieces.size(); ++p) bySize[p] = static_cast<int>(p);
    std::sort(bySize.begin(), bySize.end(), [&pieces](int a, int b) {
        const Piece& pa = pieces[static_cast<std::size_t>(a)];
        const Piece& pb = pieces[static_cast<std::size_t>(b)];
        return pa.size != pb.size ? pa.size > pb.size : pa.lowest < pb.lowest;
    });
    PieceGroups out;
    out.start.push_back(0);
    std::size_t open = 0;  // points of the group being filled
    for (int p : bySize) {
        Piece& piece = pieces[static_cast<std::size_t>(p)];
        piece.group = static_cast<int>(out.start.size()) - 1;
        open += piece.size;
        if (open >= share) {
            out.start.push_back(out.start.back() + open);
            open = 0;
        }
    }
    if (open > 0) out.start.push_back(out.start.back() + open);
    // Each group's points in ascending order: placed in point order.
    std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
    out.points.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int root = pieceRoot(links, static_cast<int>(i));
        const Piece& piece = pieces[static_cast<std::size_t>(numberOfRoot[static_cast<std::size_t>(root)])];
        const std::size_t g = static_cast<std::size_t>(piece.group);
        out.points[next[g]++] = static_cast<int>(i);
    }
    std::vector<int>().swap(links.link);
    return out;
}

}  // namespace detail
}  // namespace vela
