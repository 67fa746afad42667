#include "growing/link_flood.h"

#include <algorithm>
#include <cmath>

#include "growing/box_contact.h"

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

namespace {

// The number by which a record appears in neighbour lists: a supervoxel's id
// (its position, by the set's invariant), a segment's position.
int linkNumber(const Supervoxel& supervoxel, int) { return supervoxel.id; }
int linkNumber(const PlaneSegment&, int position) { return position; }

// Every RPS may be linked to; of the segments only the planar ones.
bool mayBeLinked(const Supervoxel&) { return true; }
bool mayBeLinked(const PlaneSegment& segment) { return segment.descriptor.planar == 1; }

template <typename Record>
void linkRecords(std::vector<Record>& records, int count, double gamma, double phid, double thetaRad)
{
    std::vector<ContactBox> boxes(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) boxes[i] = contactBoxOf(records[i].descriptor);
    const ContactLists contacts = findBoxContacts(boxes, gamma);

    for (int i = 0; i < count; ++i) {
        Record& record = records[i];
        const int own = linkNumber(record, i);
        for (const int* c = contacts.begin(i); c != contacts.end(i); ++c) {
            const Record& other = records[*c];
            const int number = linkNumber(other, *c);
            if (number == own || !mayBeLinked(other)) continue;
            if (isMergeable(record.descriptor, other.descriptor, phid, thetaRad))
                record.similarNeighbours.push_back(number);
            else
                record.otherNeighbours.push_back(number);
        }
    }
}

}  // namespace

void linkNeighbours(std::vector<Supervoxel>& supervoxels, int count, double gamma, double phid, double thetaRad)
{
    linkRecords(supervoxels, count, gamma, phid, thetaRad);
}

void linkNeighbours(std::vector<PlaneSegment>& segments, int count, double gamma, double phid, double thetaRad)
{
    linkRecords(segments, count, gamma, phid, thetaRad);
}

}  // namespace vela
