// The contact search puts the boxes on a uniform grid over the two axes along
// which they overlap least, so that each box is tested against its grid
// neighbours only instead of against every other box.
#include "growing/box_contact.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vela {

ContactBox contactBoxOf(const PlaneDescriptor& descriptor)
{
    ContactBox box;
    box.lo[0] = descriptor.boxMin.x;
    box.lo[1] = descriptor.boxMin.y;
    box.lo[2] = descriptor.boxMin.z;
    box.hi[0] = descriptor.boxMax.x;
    box.hi[1] = descriptor.boxMax.y;
    box.hi[2] = descriptor.boxMax.z;
    return box;
}

bool boxesTouch(const ContactBox& a, const ContactBox& b, double gamma)
{
    // The gap is taken in float, as the boxes are, and only then widened: a
    // gap rounded in float can differ from the exact gap of the two values.
    for (int axis = 0; axis < 3; ++axis) {
        if (!(static_cast<double>(b.lo[axis] - a.hi[axis]) < gamma)) return false;
        if (!(static_cast<double>(a.lo[axis] - b.hi[axis]) < gamma)) return false;
    }
    return true;
}

namespace {

// Boxes beyond this magnitude (empty boxes of ±FLT_MAX, boxes of non-finite
// points) and margins beyond it are handled pairwise: a grid over them would
// be meaningless, and they are rare.
constexpr double kGridLimit = 1e30;

bool hasNaN(const ContactBox& box)
{
    for (int axis = 0; axis < 3; ++axis)
        if (std::isnan(box.lo[axis]) || std::isnan(box.hi[axis])) return true;
    return false;
}

bool isModerate(const ContactBox& box)
{
    for (int axis = 0; axis < 3; ++axis)
        if (!(std::fabs(box.lo[axis]) <= kGridLimit && std::fabs(box.hi[axis]) <= kGridLimit)) return false;
    return true;
}

double lowEnd(const ContactBox& box, int axis) { return std::min(box.lo[axis], box.hi[axis]); }
double highEnd(const ContactBox& box, int axis) { return std::max(box.lo[axis], box.hi[axis]); }

// A uniform grid over two axes; every box is listed in each cell its extent
// (inverted boxes included) overlaps.
struct BoxGrid {
    int axis[2] = {0, 1};
    double origin[2] = {0.0, 0.0};
    double cell[2] = {1.0, 1.0};
    int dims[2] = {1, 1};
    double reach = 0.0;              // query margin, see findBoxContacts
    double span[2][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};  // lowest low end, highest high end per axis
    std::vector<std::size_t> start;  // per cell, into `boxes`
    std::vector<int> boxes;

    // Monotone in v, clamped to the grid: any value maps to a cell.
    int index(int k, double v) const
    {
        const double t = std::floor((v - origin[k]) / cell[k]);
        if (!(t > 0.0)) return 0;
        if (t >= double(dims[k] - 1)) return dims[k] - 1;
        return int(t);
    }
};

BoxGrid buildGrid(const std::vector<ContactBox>& boxes, const std::vector<int>& members, double gamma)
{
    BoxGrid grid;
    double lo[3], hi[3], extent[3], largest = 0.0;
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<double>::infinity();
        hi[a] = -lo[a];
        extent[a] = 0.0;
    }
    for (int i : members)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], lowEnd(boxes[i], a));
            hi[a] = std::max(hi[a], highEnd(boxes[i], a));
            extent[a] += highEnd(boxes[i], a) - lowEnd(boxes[i], a);
            largest = std::max(largest, std::max(std::fabs(lo[a]), std::fabs(hi[a])));
        }
    for (int a = 0; a < 3; ++a) {
        grid.span[0][a] = lo[a];
        grid.span[1][a] = hi[a];
    }

    // A touching pair has a float gap below gamma; the exact gap can exceed
    // gamma by the float rounding (one part in 2^23), and the cell arithmetic
    // below rounds in double. The reach covers both with room to spare.
    grid.reach = std::max(gamma, 0.0) * (1.0 + 1e-5) + 1e-9 * largest + 1e-30;

    // Grid the two axes along which boxes overlap least, so that boxes
    // stacked along the third (floors, or the depth of a facade) share cells.
    double score[3];
    for (int a = 0; a < 3; ++a) {
        const double spread = hi[a] - lo[a];
        const double mean = extent[a] / double(members.size()) + grid.reach;
        score[a] = spread > 0.0 ? mean / spread : std::numeric_limits<double>::infinity();
    }
    int order[3] = {0, 1, 2};
    std::stable_sort(order, order + 3, [&](int x, int y) { return score[x] < score[y]; });
    const double cellLimit = 2.0 * double(members.size()) + 16.0;
    for (int k = 0; k < 2; ++k) {
        const int a = order[k];
        grid.axis[k] = a;
        grid.origin[k] = lo[a];
        grid.cell[k] = extent[a] / double(members.size()) + grid.reach;
    }
    auto cellsAlong = [&](int k) {
        const double spread = hi[grid.axis[k]] - lo[grid.axis[k]];
        return std::max(1.0, std::ceil(spread / grid.cell[k]));
    };
    // About as many cells as boxes: finer grids cost memory, coarser ones
    // comparisons.
    while (cellsAlong(0) * cellsAlong(1) > cellLimit) {
        const double f = std::sqrt(cellsAlong(0) * cellsAlong(1) / cellLimit) * 1.01;
        grid.cell[0] *= f;
        grid.cell[1] *= f;
    }
    grid.dims[0] = int(cellsAlong(0));
    grid.dims[1] = int(cellsAlong(1));

    const std::size_t cells = std::size_t(grid.dims[0]) * std::size_t(grid.dims[1]);
    grid.start.assign(cells + 1, 0);
    auto forCells = [&](int i, auto&& visit) {
        const ContactBox& b = boxes[i];
        const int x0 = grid.index(0, lowEnd(b, grid.axis[0])), x1 = grid.index(0, highEnd(b, grid.axis[0]));
        const int y0 = grid.index(1, lowEnd(b, grid.axis[1])), y1 = grid.index(1, highEnd(b, grid.axis[1]));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) visit(std::size_t(y) * std::size_t(grid.dims[0]) + std::size_t(x));
    };
    for (int i : members) forCells(i, [&](std::size_t c) { ++grid.start[c + 1]; });
    for (std::size_t c = 0; c < cells; ++c) grid.start[c + 1] += grid.start[c];
    grid.boxes.resize(grid.start[cells]);
    std::vector<std::size_t> fill(grid.start.begin(), grid.start.end() - 1);
    for (int i : members) forCells(i, [&](std::size_t c) { grid.boxes[fill[c]++] = i; });
    return grid;
}

// Whether a box outside the grid can touch any box in it: touching needs a
// gap below gamma to the grid's extent on every axis.
bool reachesGrid(const BoxGrid& grid, const ContactBox& box)
{
    for (int a = 0; a < 3; ++a) {
        if (!(double(box.hi[a]) > grid.span[0][a] - grid.reach)) return false;
        if (!(double(box.lo[a]) < grid.span[1][a] + grid.reach)) return false;
    }
    return true;
}

}  // namespace

ContactLists findBoxContacts(const std::vector<ContactBox>& boxes, double gamma)
{
    const int n = static_cast<int>(boxes.size());
    ContactLists lists;
    lists.offsets.assign(boxes.size() + 1, 0);
    // Nothing compares below a NaN or minus infinity.
    if (std::isnan(gamma) || gamma == -std::numeric_limits<double>::infinity()) return lists;

    // A box with a NaN coordinate fails a comparison on that axis with every
    // box, itself included: it touches nothing.
    enum Kind : std::uint8_t { kNaNBox, kGridded, kOutside };
    std::vector<std::uint8_t> kind(boxes.size());
    std::vector<int> gridded, outside;
    for (int i = 0; i < n; ++i) {
        if (hasNaN(boxes[i]))
            kind[i] = kNaNBox;
        else if (isModerate(boxes[i]) && gamma <= kGridLimit)
            kind[i] = kGridded, gridded.push_back(i);
        else
            kind[i] = kOutside, outside.push_back(i);
    }

    // Whenever two boxes touch, the extent of each, widened by the grid's
    // reach, overlaps the other on every axis; so every box that touches box
    // i lies in a cell of i's widened extent. The exact test then decides.
    BoxGrid grid;
    if (!gridded.empty()) grid = buildGrid(boxes, gridded, gamma);
    std::vector<std::uint8_t> reaching(boxes.size(), 0);
    std::vector<int> outsideReaching;
    for (int i : outside)
        if (!gridded.empty() && reachesGrid(grid, boxes[i])) reaching[i] = 1, outsideReaching.push_back(i);

    std::vector<int> seen(boxes.size(), -1);
    std::vector<int> found;
    for (int i = 0; i < n; ++i) {
        found.clear();
        const ContactBox& b = boxes[i];
        if (kind[i] == kGridded) {
            const int x0 = grid.index(0, lowEnd(b, grid.axis[0]) - grid.reach);
            const int x1 = grid.index(0, highEnd(b, grid.axis[0]) + grid.reach);
            const int y0 = grid.index(1, lowEnd(b, grid.axis[1]) - grid.reach);
            const int y1 = grid.index(1, highEnd(b, grid.axis[1]) + grid.reach);
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    const std::size_t c = std::size_t(y) * std::size_t(grid.dims[0]) + std::size_t(x);
                    for (std::size_t e = grid.start[c]; e < grid.start[c + 1]; ++e) {
                        const int j = grid.boxes[e];
                        if (seen[j] == i) continue;
                        seen[j] = i;
                        if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
                    }
                }
            for (int j : outsideReaching)
                if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
        } else if (kind[i] == kOutside) {
            if (reaching[i])
                for (int j : gridded)
                    if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
            for (int j : outside)
                if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
        }
        std::sort(found.begin(), found.end());
        lists.items.insert(lists.items.end(), found.begin(), found.end());
        lists.offsets[i + 1] = lists.items.size();
    }
    return lists;
}

}  // namespace vela
