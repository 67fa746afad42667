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

// Per axis, the lowest low end and highest high end of the members' boxes,
// and the sum of their extents; and the largest magnitude among those ends.
struct MemberBounds {
    double lo[3];
    double hi[3];
    double extent[3];
    double largest = 0.0;
};

MemberBounds boundsOf(const std::vector<ContactBox>& boxes, const std::vector<int>& members)
{
    MemberBounds m;
    for (int a = 0; a < 3; ++a) {
        m.lo[a] = std::numeric_limits<double>::infinity();
        m.hi[a] = -m.lo[a];
        m.extent[a] = 0.0;
    }
    for (int i : members)
        for (int a = 0; a < 3; ++a) {
            m.lo[a] = std::min(m.lo[a], lowEnd(boxes[i], a));
            m.hi[a] = std::max(m.hi[a], highEnd(boxes[i], a));
            m.extent[a] += highEnd(boxes[i], a) - lowEnd(boxes[i], a);
            m.largest = std::max(m.largest, std::max(std::fabs(m.lo[a]), std::fabs(m.hi[a])));
        }
    return m;
}

// The grid's reach, axes and cells, without its contents.
BoxGrid layOutGrid(const MemberBounds& m, std::size_t memberCount, double gamma)
{
    BoxGrid grid;
    for (int a = 0; a < 3; ++a) {
        grid.span[0][a] = m.lo[a];
        grid.span[1][a] = m.hi[a];
    }

    // A touching pair has a float gap below gamma; the exact gap can exceed
    // gamma by the float rounding (one part in 2^23), and the cell arithmetic
    // below rounds in double. The reach covers both with room to spare.
    grid.reach = std::max(gamma, 0.0) * (1.0 + 1e-5) + 1e-9 * m.largest + 1e-30;

    // Grid the two axes along which boxes overlap least, so that boxes
    // stacked along the third (floors, or the depth of a facade) share cells.
    const double members = double(memberCount);
    double score[3];
    for (int a = 0; a < 3; ++a) {
        const double spread = m.hi[a] - m.lo[a];
        const double mean = m.extent[a] / members + grid.reach;
        score[a] = spread > 0.0 ? mean / spread : std::numeric_limits<double>::infinity();
    }
    int order[3] = {0, 1, 2};
    std::stable_sort(order, order + 3, [&](int x, int y) { return score[x] < score[y]; });
    for (int k = 0; k < 2; ++k) {
        const int a = order[k];
        grid.axis[k] = a;
        grid.origin[k] = m.lo[a];
        grid.cell[k] = m.extent[a] / members + grid.reach;
    }
    auto cellsAlong = [&](int k) {
        const double spread = m.hi[grid.axis[k]] - m.lo[grid.axis[k]];
        return std::max(1.0, std::ceil(spread / grid.cell[k]));
    };
    // About as many cells as boxes: finer grids cost memory, coarser ones
    // comparisons.
    const double cellLimit = 2.0 * members + 16.0;
    while (cellsAlong(0) * cellsAlong(1) > cellLimit) {
        const double f = std::sqrt(cellsAlong(0) * cellsAlong(1) / cellLimit) * 1.01;
        grid.cell[0] *= f;
        grid.cell[1] *= f;
    }
    grid.dims[0] = int(cellsAlong(0));
    grid.dims[1] = int(cellsAlong(1));
    return grid;
}

// Lists every member in each cell its extent overlaps, cell by cell.
void fillGrid(BoxGrid& grid, const std::vector<ContactBox>& boxes, const std::vector<int>& members)
{
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
}

BoxGrid buildGrid(const std::vector<ContactBox>& boxes, const std::vector<int>& members, double gamma)
{
    BoxGrid grid = layOutGrid(boundsOf(boxes, members), members.size(), gamma);
    fillGrid(grid, boxes, members);
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

// How a box is searched. A box with a NaN coordinate fails a comparison on
// that axis with every box, itself included: it touches nothing. Boxes of
// moderate coordinates are gridded; the rest are tested pairwise.
enum BoxKind : std::uint8_t { kNaNBox, kGridded, kOutside };

struct ContactSearch {
    std::vector<std::uint8_t> kind;
    std::vector<int> gridded;
    std::vector<int> outside;
    BoxGrid grid;                          // over the gridded boxes
    std::vector<std::uint8_t> reaching;    // outside boxes that may touch a gridded one
    std::vector<int> outsideReaching;
    std::vector<int> seen;                 // per box, the last box whose search met it
};

ContactSearch prepareSearch(const std::vector<ContactBox>& boxes, double gamma)
{
    ContactSearch search;
    search.kind.resize(boxes.size());
    for (int i = 0; i < static_cast<int>(boxes.size()); ++i) {
        if (hasNaN(boxes[i]))
            search.kind[i] = kNaNBox;
        else if (isModerate(boxes[i]) && gamma <= kGridLimit)
            search.kind[i] = kGridded, search.gridded.push_back(i);
        else
            search.kind[i] = kOutside, search.outside.push_back(i);
    }
    if (!search.gridded.empty()) search.grid = buildGrid(boxes, search.gridded, gamma);
    search.reaching.assign(boxes.size(), 0);
    for (int i : search.outside)
        if (!search.gridded.empty() && reachesGrid(search.grid, boxes[i]))
            search.reaching[i] = 1, search.outsideReaching.push_back(i);
    search.seen.assign(boxes.size(), -1);
    return search;
}

// Appends the boxes that touch box i, in no particular order.
void findContactsOf(ContactSearch& search, const std::vector<ContactBox>& boxes, int i, double gamma,
                    std::vector<int>& found)
{
    const ContactBox& b = boxes[i];
    if (search.kind[i] == kGridded) {
        // Whenever two boxes touch, the extent of each, widened by the grid's
        // reach, overlaps the other on every axis; so every box that touches
        // box i lies in a cell of i's widened extent. The exact test decides.
        const BoxGrid& grid = search.grid;
        const int x0 = grid.index(0, lowEnd(b, grid.axis[0]) - grid.reach);
        const int x1 = grid.index(0, highEnd(b, grid.axis[0]) + grid.reach);
        const int y0 = grid.index(1, lowEnd(b, grid.axis[1]) - grid.reach);
        const int y1 = grid.index(1, highEnd(b, grid.axis[1]) + grid.reach);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const std::size_t c = std::size_t(y) * std::size_t(grid.dims[0]) + std::size_t(x);
                for (std::size_t e = grid.start[c]; e < grid.start[c + 1]; ++e) {
                    const int j = grid.boxes[e];
                    if (search.seen[j] == i) continue;
                    search.seen[j] = i;
                    if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
                }
            }
        for (int j : search.outsideReaching)
            if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
    } else if (search.kind[i] == kOutside) {
        if (search.reaching[i])
            for (int j : search.gridded)
                if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
        for (int j : search.outside)
            if (boxesTouch(b, boxes[j], gamma)) found.push_back(j);
    }
}

}  // namespace

ContactLists findBoxContacts(const std::vector<ContactBox>& boxes, double gamma)
{
    ContactLists lists;
    lists.offsets.assign(boxes.size() + 1, 0);
    // Nothing compares below a NaN or minus infinity.
    if (std::isnan(gamma) || gamma == -std::numeric_limits<double>::infinity()) return lists;

    ContactSearch search = prepareSearch(boxes, gamma);
    std::vector<int> found;
    for (int i = 0; i < static_cast<int>(boxes.size()); ++i) {
        found.clear();
        findContactsOf(search, boxes, i, gamma, found);
        std::sort(found.begin(), found.end());
        lists.items.insert(lists.items.end(), found.begin(), found.end());
        lists.offsets[i + 1] = lists.items.size();
    }
    return lists;
}

}  // namespace vela
