// The mean point spacing (get_mu) on real clouds and generated scenes: wall
// seconds on 1 and N threads, CPU seconds on 1 (the copy of the points the call takes by value
// included, and also shown alone), against the FLANN search it replaced (its
// tree built on one thread, its queries on N), whether both give the same
// value to the bit, and how many points the grid left to the exact search.
//
//   spacing_bench [--threads N] cloud.las|cloud.pcd ...
//   spacing_bench [--threads N] --scene HOUSES_X HOUSES_Y [SPACING]
//
// Exits 1 when a value differs.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <time.h>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "bench_input.h"
#include "supervoxel/cl/flann_tree.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/nearest_other.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace {

using Clock = std::chrono::steady_clock;

// The frame's points, as get_mu takes them.
pcl::PointCloud<pcl::PointXYZ> frameCloud(const std::vector<VELA::SVPoint3d>& points)
{
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (const VELA::SVPoint3d& p : points)
        if (vela::inFrame(p, offset))
            cloud.push_back(pcl::PointXYZ(vela::shifted(p.x, offset.x), vela::shifted(p.y, offset.y),
                                          vela::shifted(p.z, offset.z)));
    return cloud;
}

// The share of points the grid leaves to the exact search.
double exactShare(const std::vector<VELA::SVPoint3d>& points)
{
    const pcl::PointCloud<pcl::PointXYZ> cloud = frameCloud(points);
    std::vector<cl::Point3D<float>> frame;
    for (const pcl::PointXYZ& p : cloud.points) frame.emplace_back(p.x, p.y, p.z);
    std::size_t searches = 0;
    vela::nearestOtherSquaredDistances(frame, &searches);
    return frame.empty() ? 0.0 : static_cast<double>(searches) / static_cast<double>(frame.size());
}

// The former get_mu: FLANN's tree over the frame's points, two neighbours per point.
double flannMu(const std::vector<VELA::SVPoint3d>& points)
{
    const pcl::PointCloud<pcl::PointXYZ> cloud = frameCloud(points);
    if (cloud.empty()) return 0.0;
    const vela::FlannTree tree(cloud);
    std::vector<float> nearest(cloud.size());
    vela::parallelRanges(nearest.size(), 4096, [&](std::size_t begin, std::size_t end) {
        std::vector<int> indices(2);
        std::vector<float> squared(2);
        for (std::size_t i = begin; i < end; ++i) {
            float query[3];
            vela::toQuery(cloud.points[i], query);
            nearest[i] = tree.nearestK(query, 2, indices, squared) == 2 ? std::sqrt(squared[1]) : -1.0f;
        }
    });
    double sum = 0.0;
    std::size_t count = 0;
    for (const float d : nearest)
        if (d >= 0.0f) sum += static_cast<double>(d), ++count;
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

// CPU seconds of the calling thread, system time included: on a machine
// shared with other work, a one-thread run's cost apart from waiting.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

template <typename F>
double timed(const F& f, double& seconds)
{
    const Clock::time_point start = Clock::now();
    const double value = f();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return value;
}

bool measure(const std::string& name, const std::vector<VELA::SVPoint3d>& points, int threads)
{
    double flannSeconds = 0.0, oneSeconds = 0.0, manySeconds = 0.0, oneCpuSeconds = 0.0;
    double flann = 0.0, one = 0.0, many = 0.0;
    {
        const vela::PoolSize pool(threads);
        flann = timed([&] { return flannMu(points); }, flannSeconds);
        bench::Silence quiet;
        many = timed([&] { return VELA::VELA_Plane().get_mu(points); }, manySeconds);
    }
    {
        const vela::PoolSize pool(1);
        bench::Silence quiet;
        const double cpuStart = threadCpuSeconds();
        one = timed([&] { return VELA::VELA_Plane().get_mu(points); }, oneSeconds);
        oneCpuSeconds = threadCpuSeconds() - cpuStart;
    }
    // What the caller pays before get_mu starts: the points go by value. A
    // plain copy faults its fresh pages in one by one; on large pages, a
    // few hundred times fewer faults.
    double copySeconds = 0.0, largePageCopySeconds = 0.0;
    timed([&] { return static_cast<double>(std::vector<VELA::SVPoint3d>(points).size()); }, copySeconds);
    timed(
        [&] {
            std::vector<VELA::SVPoint3d> copy;
            cl::reserveOnLargePages(copy, points.size());
            copy.assign(points.begin(), points.end());
            return static_cast<double>(copy.size());
        },
        largePageCopySeconds);
    const bool same = std::memcmp(&flann, &one, sizeof flann) == 0 && std::memcmp(&flann, &many, sizeof flann) == 0;
    std::printf("%s: %zu points, mu %.17g; FLANN %.3f s (%d threads), get_mu %.3f s (1 thread, %.3f s CPU) %.3f s (%d threads), "
                "%.4f %% of points left to the exact search; copy of the points %.3f s (%.3f s on large pages): %s\n",
                name.c_str(), points.size(), flann, flannSeconds, threads, oneSeconds, oneCpuSeconds, manySeconds, threads,
                100.0 * exactShare(points), copySeconds, largePageCopySeconds, same ? "same value" : "DIFFERENT VALUE");
    if (!same) std::printf("  get_mu gave %.17g on 1 thread, %.17g on %d\n", one, many, threads);
    return same;
}

}  // namespace

int main(int argc, char** argv)
{
    const int threads = bench::takeThreadCount(argc, argv);
    bool allSame = true;
    velaseg::SceneOptions options;
    if (bench::sceneOptions(argc, argv, options)) {
        const std::vector<VELA::SVPoint3d> points = velaseg::makeBuildingScene(options).points;
        allSame = measure("scene " + std::string(argv[2]) + "x" + argv[3], points, threads);
        return allSame ? 0 : 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        std::vector<VELA::SVPoint3d> points;
        bench::readCloud(name, points);
        allSame = measure(name, points, threads) && allSame;
    }
    return allSame ? 0 : 1;
}
