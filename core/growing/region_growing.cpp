// Region growing of planar supervoxels into plane segments: link touching
// supervoxels whose planes agree, then flood the links from seeds of low
// curvature, flattest first, so that segments start in their cleanest part.
#include "growing/region_growing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vela {

bool isMergeable(const PlaneDescriptor& a, const PlaneDescriptor& b, double phid, double thetaRad)
{
    const NormalF& na = a.normal;
    const NormalF& nb = b.normal;

    // Angle: single-precision dot and norms; the absolute value makes opposite
    // normals parallel. A cosine pushed above 1 by rounding gives NaN, which
    // fails the comparison below.
    const float dot = nb.a * na.a + na.b * nb.b + na.c * nb.c;
    const float absDot = static_cast<float>(std::fabs(static_cast<double>(dot)));
    const float squaredA = na.a * na.a + na.b * na.b + na.c * na.c;
    const float squaredB = nb.a * nb.a + nb.b * nb.b + nb.c * nb.c;
    const float norms = squaredA * squaredB;
    const double cosine = static_cast<double>(absDot) / static_cast<double>(std::sqrt(norms));
    const double angle = std::acos(cosine);

    // Offset of the centres along each normal; the normals are taken as unit
    // vectors, and the nearer of the two readings counts.
    const double vx = static_cast<double>(b.centre.x - a.centre.x);
    const double vy = static_cast<double>(b.centre.y - a.centre.y);
    const double vz = static_cast<double>(b.centre.z - a.centre.z);
    const double distA = std::fabs(static_cast<double>(na.b) * vy + static_cast<double>(na.a) * vx +
                                   static_cast<double>(na.c) * vz);
    const double distB = std::fabs(static_cast<double>(nb.b) * vy + static_cast<double>(nb.a) * vx +
                                   static_cast<double>(nb.c) * vz);

    // Thresholds are inclusive: a pair exactly phid or theta off still merges.
    return phid >= std::min(distA, distB) && std::fabs(thetaRad) >= angle;
}

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

SeedOrder makeSeedOrder(const std::vector<double>& curvatures)
{
    SeedOrder order;
    // Only curvatures below 99999 can win (NaN never does); -0.0 and 0.0 tie
    // and the lower position goes first, as in a scan that keeps the first
    // strictly smaller value.
    for (std::size_t i = 0; i < curvatures.size(); ++i)
        if (curvatures[i] < 99999.0) order.byCurvature.push_back(static_cast<int>(i));
    std::sort(order.byCurvature.begin(), order.byCurvature.end(), [&](int a, int b) {
        if (curvatures[a] < curvatures[b]) return true;
        if (curvatures[b] < curvatures[a]) return false;
        return a < b;
    });
    return order;
}

int nextSeed(SeedOrder& order, const std::vector<std::uint8_t>& available)
{
    // Items never become available again, so both cursors only move forward.
    while (order.next < order.byCurvature.size() && !available[order.byCurvature[order.next]])
        ++order.next;
    if (order.next < order.byCurvature.size()) return order.byCurvature[order.next];
    while (!available[order.lowest]) ++order.lowest;
    return order.lowest;
}

bool floodSupervoxels(SupervoxelSet& set, PlaneSegment& segment, std::int32_t& remaining,
                      std::vector<std::uint8_t>& available, int index)
{
    if (!available[index]) return false;

    // Depth first in neighbour-list order, as a recursion would visit them;
    // the explicit stack keeps long chains of linked supervoxels off the call
    // stack.
    struct Frame {
        int node;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto take = [&](int k) {
        Supervoxel& sv = set.supervoxels[k];
        sv.descriptor.label = segment.descriptor.label;
        segment.members.push_back(sv.id);
        available[k] = 0;
        --remaining;
        stack.push_back(Frame{k, 0});
    };

    take(index);
    while (!stack.empty()) {
        Frame& top = stack.back();
        const std::vector<int>& links = set.supervoxels[top.node].similarNeighbours;
        if (top.next == links.size()) {
            stack.pop_back();
            continue;
        }
        const int k = links[top.next++];
        if (available[k]) take(k);
    }
    return true;
}

bool growRegions(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para, double share)
{
    const double gamma = share * para.gamma;
    const double phid = share * para.phid;
    const double thetaRad = degreesToRadians(para.theta);
    const int count = set.planarCount;
    std::vector<Supervoxel>& rps = set.supervoxels;

    std::vector<ContactBox> boxes(count);
    for (int i = 0; i < count; ++i) boxes[i] = contactBoxOf(rps[i].descriptor);
    const ContactLists contacts = findBoxContacts(boxes, gamma);

    // Links are directed: each supervoxel keeps its own lists, in index order.
    std::vector<std::uint8_t> available(count);
    for (int i = 0; i < count; ++i) {
        available[i] = 1;
        Supervoxel& sv = rps[i];
        for (const int* c = contacts.begin(i); c != contacts.end(i); ++c) {
            const Supervoxel& other = rps[*c];
            if (other.id == sv.id) continue;
            if (isMergeable(sv.descriptor, other.descriptor, phid, thetaRad))
                sv.similarNeighbours.push_back(other.id);
            else
                sv.otherNeighbours.push_back(other.id);
        }
    }

    std::int32_t remaining = count;
    std::mt19937 colours = makeColourGenerator();
    std::vector<double> curvatures(count);
    for (int i = 0; i < count; ++i) curvatures[i] = rps[i].descriptor.curvature;
    SeedOrder seeds = makeSeedOrder(curvatures);

    while (remaining > 0) {
        const int seed = nextSeed(seeds, available);
        PlaneSegment segment;
        segment.descriptor.planar = 1;
        segment.descriptor.colour = colourFromOutput(static_cast<std::uint32_t>(colours()));
        segment.descriptor.label = segments.planarCount;
        floodSupervoxels(set, segment, remaining, available, seed);
        refitSegment(set, segment, true);
        segments.planes.push_back(std::move(segment));
        ++segments.planarCount;
    }

    // Sets built from caller-supplied supervoxels have no independent record;
    // there is then no segment of independent points to report.
    if (!set.independent.empty()) {
        Supervoxel& independent = set.independent[0];
        independent.descriptor.label = -1;
        PlaneSegment others;
        others.descriptor = independent.descriptor;
        others.descriptor.label = -1;
        others.descriptor.planar = 0;
        others.descriptor.colour = ColourRGB{255, 255, 255};
        others.members.push_back(independent.id);
        segments.others.push_back(std::move(others));
        ++segments.nonplanarCount;
    }
    return true;
}

}  // namespace vela
