// Times the plane test on partly planar supervoxels of growing size, with the
// shipped residual sort and with the literal exchange sort, and checks that
// both give the same result. Given a cloud (LAS or PCD), it also runs the
// multi-scale stage on it and repeats the comparison on every supervoxel the
// RPS stage would test, times the test of the largest ones on one thread and
// on N (one large supervoxel can take most of the stage), then times that
// stage.
//
//   orsa_bench [--threads N] [repeats] [cloud]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench_input.h"
#include "exchange_sort_reference.h"
#include "planar/detail/nfa_detail.h"
#include "planar/detail/orsa_planar_detail.h"
#include "planar/rps_generation.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/multiscale.h"
#include "supervoxel/thread_pool.h"
#include "vela_plane.h"

namespace {

using Clock = std::chrono::steady_clock;

// A tilted 10 m x 10 m patch with 5 mm noise (70 % of the points) and
// points scattered in the box above and below it (30 %).
vela::WorkCloud makeSupervoxelCloud(int n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> across(0.0f, 10.0f);
    std::uniform_real_distribution<float> noise(-0.005f, 0.005f);
    std::uniform_real_distribution<float> off(-2.0f, 2.0f);
    vela::WorkCloud cloud = vela::makeWorkCloud();
    for (int i = 0; i < n; ++i) {
        vela::WorkPoint p;
        p.x = across(random);
        p.y = across(random);
        const float plane = 0.1f * p.x - 0.05f * p.y + 3.0f;
        p.z = (i % 10 < 7) ? plane + noise(random) : plane + off(random);
        p.rgba = static_cast<std::uint32_t>(i);
        cloud->points.push_back(p);
    }
    vela::setRowShape(*cloud);
    return cloud;
}

struct Outcome {
    std::vector<std::uint32_t> kept;
    std::vector<std::uint32_t> cut;
    bool changed = false;
    bool ok = false;
};

std::vector<std::uint32_t> indicesOf(const vela::WorkCloud& cloud)
{
    std::vector<std::uint32_t> indices;
    if (cloud) {
        for (const vela::WorkPoint& p : cloud->points) indices.push_back(p.rgba);
    }
    return indices;
}

Outcome runTest(const vela::WorkCloud& points, vela::ResidualSorter sorter, int kappa = 20, double tau = 0.05,
                double epsilon = 0.0)
{
    vela::Supervoxel supervoxel;
    supervoxel.cloud = vela::makeWorkCloud();
    *supervoxel.cloud = *points;
    vela::WorkCloud outliers;
    Outcome outcome;
    outcome.ok = vela::ORSA_Planar(supervoxel, outliers, outcome.changed, kappa, tau, epsilon, sorter);
    outcome.kept = indicesOf(supervoxel.cloud);
    outcome.cut = indicesOf(outliers);
    return outcome;
}

double secondsPerCall(const vela::WorkCloud& points, vela::ResidualSorter sorter, int repeats, Outcome& outcome)
{
    const Clock::time_point start = Clock::now();
    for (int r = 0; r < repeats; ++r) outcome = runTest(points, sorter);
    return std::chrono::duration<double>(Clock::now() - start).count() / repeats;
}

bool sameOutcome(const Outcome& a, const Outcome& b)
{
    return a.ok == b.ok && a.changed == b.changed && a.kept == b.kept && a.cut == b.cut;
}

// The sort alone on lists of the size a real aerial cloud averages per
// supervoxel: on single-precision bits (as the plane test sorts), on doubles,
// and literally.
void benchSortAlone(int n, int sorts)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::vector<std::vector<float>> lists(64, std::vector<float>(n));
    for (auto& list : lists) {
        for (float& d : list) d = uniform(random);
    }
    vela::ResidualSortBuffers buffers;
    std::vector<int> indices(n);
    for (int i = 0; i < n; ++i) indices[i] = i;
    std::vector<std::uint32_t> bits(n);
    std::vector<double> distances(n), residuals;

    double seconds[3];
    for (int method = 0; method < 3; ++method) {
        const Clock::time_point start = Clock::now();
        for (int s = 0; s < sorts; ++s) {
            const std::vector<float>& list = lists[s % lists.size()];
            if (method == 0) {
                bits.resize(n);
                std::memcpy(bits.data(), list.data(), n * sizeof(float));
                vela::sortDistanceBits(indices, bits, buffers);
                continue;
            }
            distances.assign(list.begin(), list.end());
            if (method == 1) {
                vela::sortResiduals(indices, distances, residuals, 0.05, buffers);
            } else {
                vela_reference::exchangeSortResiduals(indices, distances, residuals, 0.05);
            }
        }
        seconds[method] = std::chrono::duration<double>(Clock::now() - start).count() / sorts;
    }
    std::printf("sort alone, %d distances: bits %.3f us, doubles %.3f us, literal %.3f us per sort (x%.1f)\n", n,
                seconds[0] * 1e6, seconds[1] * 1e6, seconds[2] * 1e6, seconds[2] / seconds[0]);
}

long sortCount = 0;
long sortedDistances = 0;

bool countingSort(std::vector<int>& indices, std::vector<double>& distances, std::vector<double>& residuals,
                  double tau, vela::ResidualSortBuffers& buffers)
{
    ++sortCount;
    sortedDistances += static_cast<long>(distances.size());
    return vela::sortResiduals(indices, distances, residuals, tau, buffers);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The plane test of the largest supervoxels the RPS stage tests, on one
// thread and on `threads`, best of three each.
bool benchLargest(const vela::SupervoxelSet& set, const VELA::tag_VELAParameter& para, int threads)
{
    std::vector<const vela::Supervoxel*> tested;
    for (const vela::Supervoxel& supervoxel : set.supervoxels) {
        if (supervoxel.descriptor.maxResidual > para.tau) tested.push_back(&supervoxel);
    }
    std::stable_sort(tested.begin(), tested.end(), [](const vela::Supervoxel* a, const vela::Supervoxel* b) {
        return a->cloud->points.size() > b->cloud->points.size();
    });
    if (tested.size() > 3) tested.resize(3);
    bool allSame = true;
    for (const vela::Supervoxel* supervoxel : tested) {
        double seconds[2] = {1e30, 1e30};
        Outcome outcomes[2];
        for (int t = 0; t < 2; ++t) {
            const vela::PoolSize pool(t == 0 ? 1 : threads);
            for (int r = 0; r < 3; ++r) {
                const Clock::time_point start = Clock::now();
                outcomes[t] = runTest(supervoxel->cloud, nullptr, para.kappa, para.tau, para.epsilon);
                seconds[t] = std::min(seconds[t], secondsSince(start));
            }
        }
        const bool same = sameOutcome(outcomes[0], outcomes[1]);
        allSame = allSame && same;
        std::printf("plane test of a supervoxel of %zu points: 1 thread %.3f s, %d threads %.3f s (x%.2f), "
                    "same output: %s\n",
                    supervoxel->cloud->points.size(), seconds[0], threads, seconds[1], seconds[0] / seconds[1],
                    same ? "yes" : "NO");
    }
    return allSame;
}

// The first plane test of every supervoxel the RPS stage tests, shipped, on
// double distances and with the literal sort; the largest ones on one thread
// and on `threads`; then the RPS stage itself.
bool benchRealCloud(const char* path, int threads)
{
    std::vector<VELA::SVPoint3d> points;
    bench::readCloud(path, points);
    if (points.empty()) {
        std::fprintf(stderr, "orsa_bench: no points read from %s; real-cloud part skipped\n", path);
        return true;
    }
    VELA::VELA_Plane segmenter;
    segmenter.set_parameters(segmenter.get_mu(points));
    const VELA::tag_VELAParameter para = segmenter.get_para();
    const vela::WorkCloud cloud = vela::buildWorkCloud(points, vela::baseOffsetOf(points));
    vela::SupervoxelSet set;
    Clock::time_point start = Clock::now();
    vela::segmentMultiScale(cloud, set, para);
    std::printf("%s: %zu points, %d planar supervoxels after %.1f s of multi-scale segmentation\n", path,
                points.size(), set.planarCount, secondsSince(start));

    constexpr std::size_t kLiteralPoints = 20000;
    int tested = 0;
    int unsortedLiterally = 0;
    bool allSame = true;
    double fast = 0.0, doubles = 0.0, slow = 0.0;
    for (const vela::Supervoxel& supervoxel : set.supervoxels) {
        if (!(supervoxel.descriptor.maxResidual > para.tau)) continue;
        ++tested;
        start = Clock::now();
        const Outcome shipped = runTest(supervoxel.cloud, nullptr, para.kappa, para.tau, para.epsilon);
        fast += secondsSince(start);
        start = Clock::now();
        const Outcome onDoubles = runTest(supervoxel.cloud, countingSort, para.kappa, para.tau, para.epsilon);
        doubles += secondsSince(start);
        allSame = allSame && sameOutcome(shipped, onDoubles);
        // The literal sort is quadratic: hours on the largest supervoxels.
        if (supervoxel.cloud->points.size() > kLiteralPoints) {
            ++unsortedLiterally;
            continue;
        }
        start = Clock::now();
        const Outcome literal = runTest(supervoxel.cloud, vela_reference::exchangeSortResidualsWithBuffers,
                                        para.kappa, para.tau, para.epsilon);
        slow += secondsSince(start);
        allSame = allSame && sameOutcome(shipped, literal);
    }
    std::printf("first plane test of %d supervoxels: shipped %.3f s, sorting doubles %.3f s, literal %.3f s "
                "(x%.1f; %d over %zu points not sorted literally), %ld sorts of %.0f distances on average, "
                "same output: %s\n",
                tested, fast, doubles, slow, slow / fast, unsortedLiterally, kLiteralPoints, sortCount,
                sortCount ? double(sortedDistances) / sortCount : 0.0, allSame ? "yes" : "NO");
    allSame = benchLargest(set, para, threads) && allSame;

    start = Clock::now();
    vela::generateRPS(set, para);
    std::printf("RPS generation (shipped): %.3f s, %d supervoxels kept, %zu independent points\n",
                secondsSince(start), set.planarCount, set.independent[0].cloud->points.size());
    return allSame;
}

}  // namespace

int main(int argc, char** argv)
{
    const int threads = bench::takeThreadCount(argc, argv);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    bool allSame = true;
    std::printf("ORSA_Planar, 70 %% planar points, tau 0.05, kappa 20, epsilon 0, %d repeats\n", repeats);
    for (int n : {100, 1000, 10000}) {
        const vela::WorkCloud points = makeSupervoxelCloud(n, 2024u + n);
        Outcome shipped, literal;
        const double fast = secondsPerCall(points, nullptr, repeats, shipped);
        const double slow = secondsPerCall(points, vela_reference::exchangeSortResidualsWithBuffers,
                                           n >= 10000 ? 1 : repeats, literal);
        const bool same = sameOutcome(shipped, literal);
        allSame = allSame && same;
        std::printf("%6d points: shipped %10.3f ms, literal %10.3f ms (x%.1f), kept %zu, same output: %s\n", n,
                    fast * 1e3, slow * 1e3, slow / fast, shipped.kept.size(), same ? "yes" : "NO");
    }
    benchSortAlone(291, 20000);
    if (argc > 2) allSame = benchRealCloud(argv[2], threads) && allSame;
    return allSame ? 0 : 1;
}
