// Multi-scale supervoxel segmentation on a generated one-million-point scene
// and on a real airborne scan: seconds and peak resident memory per level,
// plus a fingerprint of the result so that speed work can be checked for
// identical output.
//
// usage: multiscale_bench [las file]   (default ../shared/data/autzen_trim.las)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "las_reader.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/multiscale.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace {

long procStatusKb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0) return std::stol(line.substr(n + 1));
    return -1;
}

// Lets the next VmHWM reading start from the current resident size.
void resetPeak()
{
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

// A building-like scene at about 4 cm spacing in map coordinates: floor,
// two walls, a pitched roof, a cylindrical tank and a dome, each sampled
// on a jittered grid with millimetre noise.
std::vector<VELA::SVPoint3d> generateScene()
{
    const double s = 0.04, x0 = 512000.0, y0 = 4100000.0, z0 = 120.0;
    std::mt19937 gen(20240607u);
    std::uniform_real_distribution<double> jitter(-0.3 * s, 0.3 * s), noise(-0.002, 0.002);
    std::vector<VELA::SVPoint3d> pts;
    pts.reserve(1000000);
    auto add = [&](double x, double y, double z) { pts.emplace_back(x0 + x, y0 + y, z0 + z); };
    for (int i = 0; i < 600; ++i)  // floor 24 x 24 m
        for (int j = 0; j < 600; ++j) add(i * s + jitter(gen), j * s + jitter(gen), noise(gen));
    for (int i = 0; i < 600; ++i)  // walls 24 x 8 m
        for (int k = 1; k <= 200; ++k) {
            add(i * s + jitter(gen), noise(gen), k * s + jitter(gen));
            add(noise(gen), i * s + jitter(gen), k * s + jitter(gen));
        }
    for (int i = 0; i < 450; ++i)  // roof planes pitched 30 degrees, 18 x 9 m each
        for (int j = 0; j < 225; ++j) {
            const double u = i * s + jitter(gen) + 3.0, v = j * s + jitter(gen);
            add(u, 3.0 + v * 0.866, 12.0 + v * 0.5 + noise(gen));
            add(u, 21.0 - v * 0.866, 12.0 + v * 0.5 + noise(gen));
        }
    const double radius = 2.5;  // tank
    const int around = static_cast<int>(2 * M_PI * radius / s);
    for (int a = 0; a < around; ++a)
        for (int k = 0; k < 150; ++k) {
            const double t = (a + jitter(gen) / s) * 2 * M_PI / around, rr = radius + noise(gen);
            add(16.0 + rr * std::cos(t), 8.0 + rr * std::sin(t), k * s + jitter(gen));
        }
    while (pts.size() < 1000000) {  // dome of radius 4 m
        const double t = 2 * M_PI * std::uniform_real_distribution<double>(0, 1)(gen);
        const double c = std::uniform_real_distribution<double>(0, 1)(gen);
        const double rr = 4.0 + noise(gen), h = std::sqrt(1 - c * c);
        add(8.0 + rr * h * std::cos(t), 16.0 + rr * h * std::sin(t), rr * c);
    }
    return pts;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t v)
{
    return (h ^ v) * 1099511628211ull;
}

std::uint64_t fingerprint(const vela::SupervoxelSet& set)
{
    std::uint64_t h = 14695981039346656037ull;
    auto bits = [](double d) {
        std::uint64_t u;
        std::memcpy(&u, &d, 8);
        return u;
    };
    for (const vela::Supervoxel& s : set.supervoxels) {
        h = mix(h, s.cloud->points.size());
        for (const auto& p : s.cloud->points) h = mix(h, p.rgba);
        h = mix(h, bits(s.descriptor.d));
        h = mix(h, bits(s.descriptor.curvature));
        h = mix(h, s.descriptor.colour.r);
    }
    for (const vela::Supervoxel& s : set.independent)
        for (const auto& p : s.cloud->points) h = mix(h, p.rgba);
    return h;
}

void run(const std::string& name, const std::vector<VELA::SVPoint3d>& points)
{
    VELA::VELA_Plane segmenter;
    const double mu = segmenter.get_mu(points);
    segmenter.set_parameters(mu);
    const VELA::tag_VELAParameter para = segmenter.get_para();
    std::printf("%s: %zu points, mu %.5f, rmax %.4f, rmin %.4f, kappa %d, phic %.2f\n", name.c_str(), points.size(), mu,
                para.rmax, para.rmin, para.kappa, para.phic);

    const vela::WorkCloud cloud = vela::buildWorkCloud(points, vela::baseOffsetOf(points));
    std::printf("  resident before: %.1f MB\n", procStatusKb("VmRSS:") / 1024.0);
    int level = 0;
    const vela::LevelObserver observer = [&](const vela::LevelReport& r) {
        std::printf("  level %d  r %.4f  points %8zu  clusters %7zu  planar %6zu  %7.3f s  peak %7.1f MB\n", level++,
                    r.resolution, r.points, r.clusters, r.planar, r.seconds, procStatusKb("VmHWM:") / 1024.0);
        std::fflush(stdout);
        resetPeak();
    };
    resetPeak();
    vela::SupervoxelSet set;
    vela::NeighbourhoodMemory memory;
    const auto start = std::chrono::steady_clock::now();
    vela::segmentMultiScale(cloud, set, para, &observer, &memory);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("  total %.3f s, %d planar supervoxels, %zu independent points, fingerprint %016llx\n", seconds,
                set.planarCount, set.independent[0].cloud->points.size(),
                static_cast<unsigned long long>(fingerprint(set)));

    // The RPS optimisation cuts a part of the points again (the independent
    // ones and those its plane test rejected); there the first call's
    // neighbour lists can be taken over. Stand-in: the independent points
    // and every second planar supervoxel.
    const vela::WorkCloud part = vela::makeWorkCloud();
    part->points = set.independent[0].cloud->points;
    for (std::size_t i = 1; i < set.supervoxels.size(); i += 2)
        part->points.insert(part->points.end(), set.supervoxels[i].cloud->points.begin(),
                            set.supervoxels[i].cloud->points.end());
    vela::setRowShape(*part);
    for (vela::NeighbourhoodMemory* m : {static_cast<vela::NeighbourhoodMemory*>(nullptr), &memory}) {
        vela::SupervoxelSet again;
        const auto restart = std::chrono::steady_clock::now();
        vela::segmentMultiScale(part, again, para, nullptr, m);
        std::printf("  %zu of the points cut again %s memory: %.3f s, %d planar supervoxels, fingerprint %016llx\n",
                    part->points.size(),
                    m != nullptr ? "with   " : "without",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - restart).count(),
                    again.planarCount, static_cast<unsigned long long>(fingerprint(again)));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string las = argc > 1 ? argv[1] : "../shared/data/autzen_trim.las";
    const bool onlyLas = argc > 2 && std::string(argv[2]) == "las";
    if (!onlyLas) run("generated scene", generateScene());
    std::vector<VELA::SVPoint3d> points;
    if (!velaseg::readLasFile(las, points)) {
        std::fprintf(stderr, "cannot read %s as a LAS file: skipped the scan\n", las.c_str());
        return 0;
    }
    run(las, points);
    return 0;
}
