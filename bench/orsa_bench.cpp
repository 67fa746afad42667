// Times the plane test on partly planar supervoxels of growing size, with the
// shipped residual sort and with the literal exchange sort, and checks that
// both give the same result.
//
//   orsa_bench [repeats]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "planar/nfa.h"
#include "planar/orsa_planar.h"

#include "../tests/planar/exchange_sort_reference.h"

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

Outcome runTest(const vela::WorkCloud& points, vela::ResidualSorter sorter)
{
    vela::Supervoxel supervoxel;
    supervoxel.cloud = vela::makeWorkCloud();
    *supervoxel.cloud = *points;
    vela::WorkCloud outliers;
    Outcome outcome;
    outcome.ok = vela::ORSA_Planar(supervoxel, outliers, outcome.changed, 20, 0.05, 0.0, sorter);
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

// The sort alone on lists of the size a real aerial cloud averages per supervoxel.
void benchSortAlone(int n, int sorts)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<std::vector<double>> lists(64, std::vector<double>(n));
    for (auto& list : lists) {
        for (double& d : list) d = static_cast<float>(uniform(random));  // as plane distances are
    }
    vela::ResidualSortBuffers buffers;
    std::vector<int> indices(n);
    for (int i = 0; i < n; ++i) indices[i] = i;
    std::vector<double> distances, residuals;

    double seconds[2];
    for (int method = 0; method < 2; ++method) {
        const Clock::time_point start = Clock::now();
        for (int s = 0; s < sorts; ++s) {
            distances = lists[s % lists.size()];
            if (method == 0) {
                vela::sortResiduals(indices, distances, residuals, 0.05, buffers);
            } else {
                vela_reference::exchangeSortResiduals(indices, distances, residuals, 0.05);
            }
        }
        seconds[method] = std::chrono::duration<double>(Clock::now() - start).count() / sorts;
    }
    std::printf("sort alone, %d distances: shipped %.3f us, literal %.3f us per sort (x%.1f)\n", n,
                seconds[0] * 1e6, seconds[1] * 1e6, seconds[1] / seconds[0]);
}

}  // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    bool allSame = true;
    std::printf("ORSA_Planar, 70 %% planar points, tau 0.05, kappa 20, epsilon 0, %d repeats\n", repeats);
    for (int n : {100, 1000, 10000}) {
        const vela::WorkCloud points = makeSupervoxelCloud(n, 2024u + n);
        Outcome shipped, literal;
        const double fast = secondsPerCall(points, vela::sortResiduals, repeats, shipped);
        const double slow = secondsPerCall(points, vela_reference::exchangeSortResidualsWithBuffers,
                                           n >= 10000 ? 1 : repeats, literal);
        const bool same = sameOutcome(shipped, literal);
        allSame = allSame && same;
        std::printf("%6d points: shipped %10.3f ms, literal %10.3f ms (x%.1f), kept %zu, same output: %s\n", n,
                    fast * 1e3, slow * 1e3, slow / fast, shipped.kept.size(), same ? "yes" : "NO");
    }
    benchSortAlone(291, 20000);
    return allSame ? 0 : 1;
}
