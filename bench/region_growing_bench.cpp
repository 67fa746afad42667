// Times the two growing passes on generated scenes of planar supervoxels:
// a gently tilted ground of square tiles with blocks of roofs and a share of
// tiles with random orientation (vegetation). Prints, per scene size, the
// contact search alone, growRegions, mergeSegments and, for the smallest
// size (when small), the pairwise contact scan that the grid search replaces.
//
//   region_growing_bench [tiles per side ...]   (default 160 320 640)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "growing/box_contact.h"
#include "growing/region_growing.h"
#include "growing/segment_merging.h"
#include "supervoxel/plane_fit.h"
#include "vela_plane.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

vela::SupervoxelSet makeScene(int side, int pointsPerTile)
{
    std::mt19937 rng(12345u);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), tilt(-0.02f, 0.02f);
    vela::SupervoxelSet set;
    set.supervoxels.reserve(std::size_t(side) * side);
    for (int ty = 0; ty < side; ++ty)
        for (int tx = 0; tx < side; ++tx) {
            // Roofs: 8 x 8 tile blocks raised by 6 m on every third block.
            const bool roof = (tx / 8) % 3 == 1 && (ty / 8) % 3 == 1;
            const bool rough = unit(rng) < 0.1f;
            float a = tilt(rng), b = tilt(rng), c = 1.0f;
            if (rough) a = unit(rng) - 0.5f, b = unit(rng) - 0.5f, c = unit(rng);
            const float len = std::sqrt(a * a + b * b + c * c);
            a /= len, b /= len, c /= len;
            const float base = (roof ? 6.0f : 0.0f) + 0.02f * float(tx);

            vela::Supervoxel sv;
            sv.id = set.planarCount;
            sv.cloud = vela::makeWorkCloud();
            for (int k = 0; k < pointsPerTile; ++k) {
                vela::WorkPoint p;
                p.x = float(tx) + unit(rng);
                p.y = float(ty) + unit(rng);
                p.z = base + (rough ? 0.5f * unit(rng) : 0.01f * unit(rng));
                p.rgba = std::uint32_t(set.planarCount * pointsPerTile + k);
                sv.cloud->points.push_back(p);
            }
            vela::setRowShape(*sv.cloud);
            vela::fitPlaneDescriptor(sv.cloud, sv.descriptor, false);
            sv.descriptor.normal = vela::NormalF{a, b, c};
            sv.descriptor.centre.z = base;
            sv.descriptor.curvature = 0.1 * unit(rng);
            sv.descriptor.planar = 1;
            set.supervoxels.push_back(std::move(sv));
            ++set.planarCount;
        }
    vela::Supervoxel independent;
    independent.cloud = vela::makeWorkCloud();
    set.independent.push_back(independent);
    set.nonplanarCount = 1;
    return set;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sides;
    for (int i = 1; i < argc; ++i) sides.push_back(std::atoi(argv[i]));
    if (sides.empty()) sides = {160, 320, 640};
    VELA::tag_VELAParameter para = VELA::VELA_Plane().get_para();
    para.gamma = 0.3;
    para.phid = 0.3;
    para.theta = 10.0;
    const double gamma = para.gamma;

    for (std::size_t s = 0; s < sides.size(); ++s) {
        vela::SupervoxelSet set = makeScene(sides[s], 16);
        std::vector<vela::ContactBox> boxes;
        for (const vela::Supervoxel& sv : set.supervoxels) boxes.push_back(vela::contactBoxOf(sv.descriptor));

        auto start = std::chrono::steady_clock::now();
        const vela::ContactLists contacts = vela::findBoxContacts(boxes, 0.25 * gamma);
        const double search = secondsSince(start);

        if (s == 0 && boxes.size() <= 50000) {
            start = std::chrono::steady_clock::now();
            std::size_t pairs = 0;
            for (const vela::ContactBox& a : boxes)
                for (const vela::ContactBox& b : boxes) pairs += vela::boxesTouch(a, b, 0.25 * gamma);
            std::printf("pairwise contact scan, %zu rps: %.3f s (%zu contacts, grid search found %zu)\n",
                        boxes.size(), secondsSince(start), pairs, contacts.items.size());
        }

        vela::SegmentSet segments;
        start = std::chrono::steady_clock::now();
        vela::growRegions(set, segments, para, 0.25);
        const double grow = secondsSince(start);
        const int grown = segments.planarCount;
        start = std::chrono::steady_clock::now();
        vela::mergeSegments(set, segments, para);
        const double merge = secondsSince(start);

        std::printf("%zu rps: contact search %.3f s, growRegions %.3f s (%d segments), "
                    "mergeSegments %.3f s (%d segments), peak %ld MB\n",
                    boxes.size(), search, grow, grown, merge, segments.planarCount, peakMegabytes());
    }
    return 0;
}
