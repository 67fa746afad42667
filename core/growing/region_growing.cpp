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

bool hasNaN(const ContactBox& box)
{
    for (int axis = 0; axis < 3; ++axis)
        if (std::isnan(box.lo[axis]) || std::isnan(box.hi[axis])) return true;
    return false;
}

bool isFiniteBox(const ContactBox& box)
{
    for (int axis = 0; axis < 3; ++axis)
        if (!std::isfinite(box.lo[axis]) || !std::isfinite(box.hi[axis])) return false;
    return true;
}

// The axis along which the fewest pairs of boxes overlap, judged by the mean
// box extent relative to the spread of all boxes. Any axis gives the same
// contacts; this only keeps the sweep short on scenes long in one direction.
int sweepAxis(const std::vector<ContactBox>& boxes, const std::vector<int>& finite, double gamma)
{
    int best = 0;
    double bestScore = std::numeric_limits<double>::infinity();
    for (int axis = 0; axis < 3; ++axis) {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        double extent = 0.0;
        for (int i : finite) {
            lo = std::min(lo, static_cast<double>(boxes[i].lo[axis]));
            hi = std::max(hi, static_cast<double>(boxes[i].hi[axis]));
            extent += std::max(0.0, static_cast<double>(boxes[i].hi[axis]) -
                                        static_cast<double>(boxes[i].lo[axis]));
        }
        const double spread = hi - lo;
        if (!(spread > 0.0)) continue;
        const double margin = gamma > 0.0 ? gamma : 0.0;
        const double score = (extent / static_cast<double>(finite.size()) + margin) / spread;
        if (score < bestScore) {
            bestScore = score;
            best = axis;
        }
    }
    return best;
}

}  // namespace

ContactLists findBoxContacts(const std::vector<ContactBox>& boxes, double gamma)
{
    const int n = static_cast<int>(boxes.size());
    std::vector<std::pair<int, int>> pairs;  // each touching pair once, self pairs included

    // A box with a NaN coordinate fails one of the comparisons on that axis
    // with every box, itself included. Infinite coordinates (possible only for
    // clouds fitted with non-finite points) break the sweep's ordering
    // argument, so those few boxes are tested against all others directly.
    std::vector<int> finite;
    std::vector<int> unbounded;
    finite.reserve(boxes.size());
    for (int i = 0; i < n; ++i) {
        if (hasNaN(boxes[i])) continue;
        if (isFiniteBox(boxes[i]))
            finite.push_back(i);
        else
            unbounded.push_back(i);
    }

    if (!finite.empty()) {
        const int axis = sweepAxis(boxes, finite, gamma);
        std::vector<int> order = finite;
        std::sort(order.begin(), order.end(),
                  [&](int a, int b) { return boxes[a].lo[axis] < boxes[b].lo[axis]; });
        // For a fixed upper end, the float gap lo - hi never decreases as lo
        // grows (rounding is monotone), so the boxes whose lower end passes the
        // contact test with box i on the sweep axis form a run right after it
        // in this order. Each touching pair is found from the box that sorts
        // first; the full test then decides.
        for (std::size_t p = 0; p < order.size(); ++p) {
            const int i = order[p];
            const float hi = boxes[i].hi[axis];
            for (std::size_t q = p + 1; q < order.size(); ++q) {
                const int j = order[q];
                if (!(static_cast<double>(boxes[j].lo[axis] - hi) < gamma)) break;
                if (boxesTouch(boxes[i], boxes[j], gamma)) pairs.emplace_back(i, j);
            }
            if (boxesTouch(boxes[i], boxes[i], gamma)) pairs.emplace_back(i, i);
        }
    }

    for (std::size_t u = 0; u < unbounded.size(); ++u) {
        const int i = unbounded[u];
        for (int j : finite)
            if (boxesTouch(boxes[i], boxes[j], gamma)) pairs.emplace_back(i, j);
        for (std::size_t w = u; w < unbounded.size(); ++w)
            if (boxesTouch(boxes[i], boxes[unbounded[w]], gamma)) pairs.emplace_back(i, unbounded[w]);
    }

    ContactLists lists;
    lists.offsets.assign(boxes.size() + 1, 0);
    for (const auto& pr : pairs) {
        ++lists.offsets[pr.first + 1];
        if (pr.second != pr.first) ++lists.offsets[pr.second + 1];
    }
    for (int i = 0; i < n; ++i) lists.offsets[i + 1] += lists.offsets[i];
    lists.items.resize(lists.offsets[n]);
    std::vector<std::size_t> fill(lists.offsets.begin(), lists.offsets.end() - 1);
    for (const auto& pr : pairs) {
        lists.items[fill[pr.first]++] = pr.second;
        if (pr.second != pr.first) lists.items[fill[pr.second]++] = pr.first;
    }
    for (int i = 0; i < n; ++i)
        std::sort(lists.items.begin() + static_cast<std::ptrdiff_t>(lists.offsets[i]),
                  lists.items.begin() + static_cast<std::ptrdiff_t>(lists.offsets[i + 1]));
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

bool growRegions(SupervoxelSet& set, SegmentSet& segments, double gamma, double phid, double theta)
{
    const double thetaRad = degreesToRadians(theta);
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
