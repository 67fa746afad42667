#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/octree.h"
#include "supervoxel/clustering.h"
#include "support/float_points.h"
#include "support/literal_kd_walk.h"
#include "support/thread_counts.h"

namespace {

using Point = cl::Point3D<double>;
using vela::kNeighbourCount;

// The fusion and refinement written out plainly: one vector per work list,
// a full sort for the median, a deque for the queue. With `passEnds`, the
// number of clusters at the end of each pass.
void literalMerge(const cl::Array<cl::tag_PointWithNormal>& pts, const cl::Array<int>& nb, int K, double r,
                  std::vector<int>& labels, std::vector<int>& supervoxels, std::vector<int>* passEnds = nullptr)
{
    const int n = static_cast<int>(pts.size());
    auto neighboursOf = [&](int i) {
        std::vector<int> list;
        for (int k = 0; k < kNeighbourCount; ++k)
            if (nb[static_cast<std::size_t>(i * kNeighbourCount + k)] >= 0) list.push_back(nb[static_cast<std::size_t>(i * kNeighbourCount + k)]);
        return list;
    };
    auto D = [&](int i, int j) { return vela::supervoxelDistance(pts[static_cast<std::size_t>(i)], pts[static_cast<std::size_t>(j)], r); };
    std::vector<int> parent(n), size(n, 1), reps(n);
    std::vector<bool> visited(n, false);
    std::vector<std::vector<int>> work(n);
    std::vector<double> dist(n, DBL_MAX);
    for (int i = 0; i < n; ++i) {
        parent[i] = i;
        reps[i] = i;
        work[i] = neighboursOf(i);
    }
    auto find = [&](int x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];
            x = parent[x];
        }
        return x;
    };
    int count = n;
    for (int i = 0; i < n; ++i)
        for (int j : neighboursOf(i))
            if (j != i) dist[i] = std::min(dist[i], D(i, j));
    std::vector<double> sorted = dist;
    std::sort(sorted.begin(), sorted.end());
    double lambda = std::max(sorted[n / 2], 2.220446049250313e-16);
    if (n > 1) {
        for (int t = 0;; ++t) {
            const std::vector<int> atStart = reps;
            for (int i : atStart) {
                if (work[i].empty()) continue;
                visited[i] = true;
                std::vector<int> cand{i};
                for (int x : work[i]) {
                    const int r0 = find(x);
                    if (!visited[r0]) {
                        visited[r0] = true;
                        cand.push_back(r0);
                    }
                }
                std::vector<int> R;
                for (std::size_t c = 1; c < cand.size(); ++c) {
                    const int j = cand[c];
                    if (lambda - size[j] * D(i, j) > 0) {
                        parent[j] = i;
                        size[i] += size[j];
                        for (int x : work[j]) {
                            const int r0 = find(x);
                            if (!visited[r0]) {
                                visited[r0] = true;
                                cand.push_back(r0);
                            }
                        }
                        work[j].clear();
                        --count;
                        if (count == K) break;
                    } else {
                        R.push_back(j);
                    }
                }
                work[i] = R;
                for (int c : cand) visited[c] = false;
                if (count == K) break;
            }
            std::vector<int> kept;
            for (int e : reps)
                if (find(e) == e) kept.push_back(e);
            reps = kept;
            count = static_cast<int>(reps.size());
            if (passEnds != nullptr) passEnds->push_back(count);
            if (count == K || t > 1000) break;
            lambda *= 2;
            if (count <= 1) break;
        }
    }
    labels.assign(n, 0);
    for (int i = 0; i < n; ++i) labels[i] = find(i);
    for (int i = 0; i < n; ++i) dist[i] = D(i, labels[i]);
    std::deque<int> queue;
    std::vector<bool> queued(n, false);
    auto push = [&](int p) {
        if (!queued[p]) {
            queued[p] = true;
            queue.push_back(p);
        }
    };
    for (int i = 0; i < n; ++i)
        for (int j : neighboursOf(i))
            if (labels[i] != labels[j]) {
                push(i);
                push(j);
            }
    while (!queue.empty()) {
        const int i = queue.front();
        queue.pop_front();
        queued[i] = false;
        bool changed = false;
        for (int j : neighboursOf(i)) {
            if (labels[j] == labels[i]) continue;
            const double d = D(i, labels[j]);
            if (dist[i] > d) {
                labels[i] = labels[j];
                dist[i] = d;
                changed = true;
            }
        }
        if (changed)
            for (int j : neighboursOf(i))
                if (labels[j] != labels[i]) push(j);
    }
    supervoxels = reps;
    for (int i = 0; i < n; ++i)
        labels[i] = static_cast<int>(std::find(reps.begin(), reps.end(), labels[i]) - reps.begin());
}

struct Prepared {
    cl::Array<cl::tag_PointWithNormal> points;
    cl::Array<int> neighbours;
};

Prepared prepare(const std::vector<Point>& input)
{
    Prepared out;
    cl::Array<Point> pts;
    for (const Point& p : input) pts.push_back(p);
    cl::KDTree tree;
    tree.build(pts);
    const std::size_t n = input.size();
    out.neighbours.resize(n * kNeighbourCount);
    out.points.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        int* list = out.neighbours.data() + i * kNeighbourCount;
        tree.query(input[i], kNeighbourCount, list);
        std::vector<Point> found;
        for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found.push_back(input[static_cast<std::size_t>(list[k])]);
        out.points[i].point = input[i];
        out.points[i].normal = vela::estimateNormal(found.data(), found.size());
    }
    return out;
}

std::vector<Point> bentSheet(int n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 4.0);
    std::vector<Point> pts;
    for (int i = 0; i < n; ++i) {
        const double x = u(gen), y = u(gen);
        pts.push_back(Point(x, y, x < 2 ? 0.0 : 0.7 * (x - 2) + 0.05 * std::sin(3 * y)));
    }
    for (int i = 0; i < 20; ++i) pts.push_back(pts[static_cast<std::size_t>(i)]);  // duplicates
    return pts;
}

TEST(Clustering, merge_matches_literal_version)
{
    for (unsigned seed : {1u, 2u}) {
        const std::vector<Point> input = bentSheet(1500, seed);
        const Prepared prep = prepare(input);
        for (double r : {0.15, 0.4, 1.5}) {
            for (int K : {vela::countOccupiedVoxels(prep.points, r), 1, static_cast<int>(input.size())}) {
                cl::Array<int> labels, supervoxels;
                vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
                std::vector<int> wantLabels, wantSupervoxels;
                literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);
                ASSERT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels) << r << " " << K;
                ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels) << r << " " << K;
            }
        }
    }
}

TEST(Clustering, merge_of_a_large_cloud_down_to_few_clusters_matches_literal_version)
{
    // Enough points and passes for long work lists: clusters absorb many
    // others, lists outgrow their place and the list buffer is compacted.
    const std::vector<Point> input = bentSheet(12000, 5);
    const Prepared prep = prepare(input);
    for (int K : {40, 1}) {
        cl::Array<int> labels, supervoxels;
        vela::mergeSupervoxels(prep.points, prep.neighbours, K, 0.2, labels, supervoxels);
        std::vector<int> wantLabels, wantSupervoxels;
        literalMerge(prep.points, prep.neighbours, K, 0.2, wantLabels, wantSupervoxels);
        ASSERT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels) << K;
        ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels) << K;
    }
}

TEST(Clustering, merge_with_coincident_points_matches_literal_version)
{
    // Forty copies of one point come first: their normals are not numbers,
    // the target is out of reach and every pass runs.
    std::vector<Point> input(40, Point(1.0, 1.0, 0.0));
    const std::vector<Point> sheet = bentSheet(600, 3);
    input.insert(input.end(), sheet.begin(), sheet.end());
    const Prepared prep = prepare(input);
    ASSERT_TRUE(std::isnan(prep.points[0].normal.x));
    const double r = 0.3;
    for (int K : {vela::countOccupiedVoxels(prep.points, r), 2, static_cast<int>(input.size())}) {
        cl::Array<int> labels, supervoxels;
        vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
        std::vector<int> wantLabels, wantSupervoxels;
        literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);
        ASSERT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels) << K;
        ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels) << K;
    }
}

TEST(Clustering, merge_of_float_coordinates_matches_literal_version)
{
    // Coordinates that are floats widened fuse on compact records: the same
    // clusters as the literal version, with coincident points (normals not a
    // number), long work lists, and coordinates off the float grid after the
    // first, which send the whole call back to double records.
    auto toFloats = [](std::vector<Point> pts) {
        for (Point& p : pts) p = Point(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
        return pts;
    };
    std::vector<Point> coincident(30, Point(1.0, 1.0, 0.0));
    const std::vector<Point> sheet = toFloats(bentSheet(1500, 6));
    coincident.insert(coincident.end(), sheet.begin(), sheet.end());
    // A floor and a wall on a grid of steps of 0.1: ties everywhere, which
    // rounding the coordinates to float would break differently.
    std::vector<Point> offGrid;
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 30; ++j) offGrid.push_back(Point(0.1 * i, 0.1 * j, 0));
    for (int k = 1; k < 15; ++k)
        for (int j = 0; j < 30; ++j) offGrid.push_back(Point(0, 0.1 * j, 0.1 * k));
    const std::vector<std::pair<std::vector<Point>, std::vector<double>>> cases = {
        {coincident, {0.15, 0.4}}, {toFloats(bentSheet(12000, 9)), {0.2}}, {toFloats(offGrid), {0.25, 0.8}},
        {offGrid, {0.25, 0.8}}};
    for (const auto& c : cases) {
        const Prepared prep = prepare(c.first);
        for (double r : c.second) {
            for (int K : {vela::countOccupiedVoxels(prep.points, r), 1, 40}) {
                cl::Array<int> labels, supervoxels;
                vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
                std::vector<int> wantLabels, wantSupervoxels;
                literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);
                ASSERT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels)
                    << c.first.size() << " " << r << " " << K;
                ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels) << c.first.size() << " " << r << " " << K;
            }
        }
    }
}

TEST(Clustering, lists_reaching_far_in_the_point_order_give_the_literal_clusters_and_come_back_whole)
{
    // A sheet in x order, so that most lists name nearby numbers, with one
    // point in forty swapped with a random other: their lists, and the
    // lists naming them, reach tens of thousands of numbers away.
    std::vector<Point> input = bentSheet(70000, 12);
    std::sort(input.begin(), input.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
    std::mt19937 gen(4);
    std::uniform_int_distribution<std::size_t> pick(0, input.size() - 1);
    for (std::size_t i = 0; i < input.size(); i += 40) std::swap(input[i], input[pick(gen)]);
    const Prepared prep = prepare(input);
    const double r = 0.15;
    const int K = vela::countOccupiedVoxels(prep.points, r);
    std::vector<int> wantLabels, wantSupervoxels;
    literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);

    cl::Array<int> labels, supervoxels;
    vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
    EXPECT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels);
    EXPECT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels);

    cl::Array<Point> level;
    for (const Point& p : input) level.push_back(p);
    vela::Neighbourhoods hoods;
    cl::Array<int> cutLabels, cutSupervoxels;
    vela::clusterSupervoxels(level, r, cutLabels, cutSupervoxels, &hoods);
    EXPECT_EQ(std::vector<int>(cutSupervoxels.begin(), cutSupervoxels.end()), wantSupervoxels);
    EXPECT_EQ(std::vector<int>(cutLabels.begin(), cutLabels.end()), wantLabels);
    EXPECT_EQ(std::vector<int>(hoods.lists.begin(), hoods.lists.end()),
              std::vector<int>(prep.neighbours.begin(), prep.neighbours.end()));
}

TEST(Clustering, lists_found_packed_come_back_whole_at_every_round_edge_on_any_thread_count)
{
    // The packed lists are written out over their own room, the first 4096
    // one by one and then in rounds that double; counts on both sides of
    // round edges, with far lists in several search blocks.
    for (int n : {1, 14, 4095, 4096, 4097, 8192, 8193, 20000}) {
        std::vector<Point> input = bentSheet(n, 21);
        input.resize(static_cast<std::size_t>(n));
        std::sort(input.begin(), input.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
        std::mt19937 gen(5);
        std::uniform_int_distribution<std::size_t> pick(0, input.size() - 1);
        for (std::size_t i = 0; i < input.size(); i += 40) std::swap(input[i], input[pick(gen)]);
        const Prepared prep = prepare(input);
        const std::vector<int> want(prep.neighbours.begin(), prep.neighbours.end());
        const double r = 0.15;
        const int K = vela::countOccupiedVoxels(prep.points, r);
        cl::Array<int> mergedLabels, mergedSupervoxels;
        vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, mergedLabels, mergedSupervoxels);
        const auto outcomes = testsupport::onEachThreadCount([&] {
            cl::Array<Point> level;
            for (const Point& p : input) level.push_back(p);
            vela::Neighbourhoods hoods;
            cl::Array<int> labels, supervoxels;
            vela::clusterSupervoxels(level, r, labels, supervoxels, &hoods);
            return std::make_pair(std::vector<int>(hoods.lists.begin(), hoods.lists.end()),
                                  std::vector<int>(labels.begin(), labels.end()));
        });
        for (std::size_t t = 0; t < outcomes.size(); ++t) {
            ASSERT_EQ(outcomes[t].first, want) << n << " points, " << testsupport::kThreadCounts[t] << " threads";
            ASSERT_EQ(outcomes[t].second, std::vector<int>(mergedLabels.begin(), mergedLabels.end()))
                << n << " points, " << testsupport::kThreadCounts[t] << " threads";
        }
    }
}

TEST(Clustering, merge_on_a_grid_matches_literal_version)
{
    // A floor and a wall on an exact grid: equal distances and equal normals
    // everywhere, so comparisons tie and walks meet the same roots often.
    std::vector<Point> input;
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 30; ++j) input.push_back(Point(0.1 * i, 0.1 * j, 0));
    for (int k = 1; k < 15; ++k)
        for (int j = 0; j < 30; ++j) input.push_back(Point(0, 0.1 * j, 0.1 * k));
    const Prepared prep = prepare(input);
    for (double r : {0.25, 0.8}) {
        for (int K : {vela::countOccupiedVoxels(prep.points, r), 3}) {
            cl::Array<int> labels, supervoxels;
            vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
            std::vector<int> wantLabels, wantSupervoxels;
            literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);
            ASSERT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()), wantSupervoxels) << r << " " << K;
            ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), wantLabels) << r << " " << K;
        }
    }
}

// The sheet's points shuffled: walks of any two stretches of the point order
// meet everywhere.
std::vector<Point> shuffledSheet(int n, unsigned seed)
{
    std::vector<Point> pts = bentSheet(n, seed);
    std::shuffle(pts.begin(), pts.end(), std::mt19937(seed + 100));
    return pts;
}

// The sheet's points in rows along x: neighbours are near in the point
// order, so stretches of it meet only where they join.
std::vector<Point> sortedSheet(int n, unsigned seed)
{
    std::vector<Point> pts = bentSheet(n, seed);
    std::sort(pts.begin(), pts.end(), [](const Point& a, const Point& b) {
        return std::make_tuple(std::floor(a.x * 8), a.y, a.z) < std::make_tuple(std::floor(b.x * 8), b.y, b.z);
    });
    return pts;
}

// The sorted sheet cut into runs of `run` points, the runs shuffled: every
// stretch of the point order meets several others, here and there.
std::vector<Point> patchedSheet(int n, std::size_t run, unsigned seed)
{
    const std::vector<Point> sorted = sortedSheet(n, seed);
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < sorted.size(); i += run) starts.push_back(i);
    std::shuffle(starts.begin(), starts.end(), std::mt19937(seed + 200));
    std::vector<Point> pts;
    for (std::size_t s : starts) pts.insert(pts.end(), sorted.begin() + s, sorted.begin() + std::min(sorted.size(), s + run));
    return pts;
}

TEST(Clustering, merge_on_any_thread_count_matches_literal_version)
{
    // The set-up, the boundary scan and the relabelling run in blocks on the
    // pool; the walks and the queue stay in order. Point orders where
    // stretches of the order meet at their joins, in patches and everywhere;
    // targets reached in the middle of a pass.
    struct Case {
        std::vector<Point> input;
        double r;
    };
    const Case cases[] = {{sortedSheet(6000, 7), 0.2}, {shuffledSheet(6000, 8), 0.2}, {patchedSheet(6000, 200, 11), 0.2},
                          {sortedSheet(3000, 9), 0.6}, {shuffledSheet(2000, 10), 1.5}};
    for (const Case& c : cases) {
        const Prepared prep = prepare(c.input);
        const int occupied = vela::countOccupiedVoxels(prep.points, c.r);
        for (int K : {occupied, occupied * 3 / 4, 1, static_cast<int>(c.input.size())}) {
            std::vector<int> wantLabels, wantSupervoxels;
            literalMerge(prep.points, prep.neighbours, K, c.r, wantLabels, wantSupervoxels);
            const auto outcomes = testsupport::onEachThreadCount([&] {
                cl::Array<int> labels, supervoxels;
                vela::mergeSupervoxels(prep.points, prep.neighbours, K, c.r, labels, supervoxels);
                return std::make_pair(std::vector<int>(labels.begin(), labels.end()),
                                      std::vector<int>(supervoxels.begin(), supervoxels.end()));
            });
            for (std::size_t t = 0; t < outcomes.size(); ++t) {
                ASSERT_EQ(outcomes[t].second, wantSupervoxels) << testsupport::kThreadCounts[t] << " threads, K " << K;
                ASSERT_EQ(outcomes[t].first, wantLabels) << testsupport::kThreadCounts[t] << " threads, K " << K;
            }
        }
    }
}

TEST(Clustering, carried_neighbourhoods_give_what_a_fresh_search_gives)
{
    // One level cut, some of its supervoxels taken away, the rest regrouped
    // by supervoxel as the next level receives them.
    const std::vector<Point> input = bentSheet(3000, 4);
    cl::Array<Point> level;
    for (const Point& p : input) level.push_back(p);
    vela::Neighbourhoods hoods;
    cl::Array<int> labels, supervoxels;
    vela::clusterSupervoxels(level, 0.4, labels, supervoxels, &hoods);
    const Prepared first = prepare(input);
    ASSERT_EQ(std::vector<int>(hoods.lists.begin(), hoods.lists.end()),
              std::vector<int>(first.neighbours.begin(), first.neighbours.end()));

    std::vector<std::size_t> kept;
    for (int s = 0; s < static_cast<int>(supervoxels.size()); ++s)
        if (s % 3 != 0)
            for (std::size_t i = 0; i < input.size(); ++i)
                if (labels[i] == s) kept.push_back(i);
    vela::Neighbourhoods carried = vela::carryNeighbourhoods(hoods, kept, [&](std::size_t i) { return input[i]; });
    ASSERT_GT(std::count(carried.separated.begin(), carried.separated.end(), 1), 1000);
    const vela::Neighbourhoods handedOver = carried;

    std::vector<Point> rest;
    cl::Array<Point> restArray;
    for (std::size_t i : kept) {
        rest.push_back(input[i]);
        restArray.push_back(input[i]);
    }
    cl::Array<int> carriedLabels, carriedSupervoxels, freshLabels, freshSupervoxels;
    vela::clusterSupervoxels(restArray, 0.3, carriedLabels, carriedSupervoxels, &carried);
    vela::clusterSupervoxels(restArray, 0.3, freshLabels, freshSupervoxels);
    EXPECT_EQ(std::vector<int>(carriedLabels.begin(), carriedLabels.end()), std::vector<int>(freshLabels.begin(), freshLabels.end()));
    EXPECT_EQ(std::vector<int>(carriedSupervoxels.begin(), carriedSupervoxels.end()),
              std::vector<int>(freshSupervoxels.begin(), freshSupervoxels.end()));

    const Prepared second = prepare(rest);
    ASSERT_EQ(std::vector<int>(carried.lists.begin(), carried.lists.end()),
              std::vector<int>(second.neighbours.begin(), second.neighbours.end()));
    // Normals are carried with the lists that stay separated.
    for (std::size_t j = 0; j < rest.size(); ++j) {
        if (!handedOver.separated[j]) continue;
        const cl::Vector3D<double>& got = handedOver.normals[j];
        const cl::Vector3D<double>& want = second.points[j].normal;
        ASSERT_TRUE((got.x == want.x && got.y == want.y && got.z == want.z) || std::isnan(want.x)) << "point " << j;
    }
}

TEST(Clustering, coordinates_handed_back_as_floats_are_the_given_ones_and_change_no_cluster)
{
    // Coordinates that came from floats, as a level's cloud gives them, and a
    // carried call whose lists are taken over.
    std::vector<Point> input = bentSheet(4000, 8);
    for (Point& p : input)
        p = Point(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    cl::Array<Point> level;
    for (const Point& p : input) level.push_back(p);
    for (bool carriedCall : {false, true}) {
        SCOPED_TRACE(carriedCall ? "carried" : "fresh");
        vela::Neighbourhoods hoods, handed;
        if (carriedCall) {
            cl::Array<int> firstLabels, firstSupervoxels;
            vela::clusterSupervoxels(level, 0.4, firstLabels, firstSupervoxels, &hoods, true);
            handed = hoods;
        }
        cl::Array<int> labels, supervoxels, plainLabels, plainSupervoxels;
        cl::Array<cl::Point3D<float>> rounded;
        vela::clusterSupervoxels(level, 0.3, labels, supervoxels, &hoods, false, &rounded);
        vela::clusterSupervoxels(level, 0.3, plainLabels, plainSupervoxels, &handed);
        ASSERT_EQ(rounded.size(), input.size());
        for (std::size_t i = 0; i < input.size(); ++i) {
            ASSERT_EQ(static_cast<double>(rounded[i].x), input[i].x) << "point " << i;
            ASSERT_EQ(static_cast<double>(rounded[i].y), input[i].y) << "point " << i;
            ASSERT_EQ(static_cast<double>(rounded[i].z), input[i].z) << "point " << i;
        }
        EXPECT_EQ(std::vector<int>(labels.begin(), labels.end()), std::vector<int>(plainLabels.begin(), plainLabels.end()));
        EXPECT_EQ(std::vector<int>(supervoxels.begin(), supervoxels.end()),
                  std::vector<int>(plainSupervoxels.begin(), plainSupervoxels.end()));
    }
}

TEST(Clustering, carried_normals_made_afresh_are_the_kept_ones_bit_for_bit)
{
    // Duplicates give lists that are not separated and normals that are not
    // numbers; both ways must agree on every carried list all the same.
    std::vector<Point> input = bentSheet(2500, 11);
    for (int i = 0; i < 60; ++i) input.push_back(input[static_cast<std::size_t>(37 * i)]);
    cl::Array<Point> level;
    for (const Point& p : input) level.push_back(p);
    vela::Neighbourhoods kept, dropped;
    cl::Array<int> labels, supervoxels, otherLabels, otherSupervoxels;
    vela::clusterSupervoxels(level, 0.4, labels, supervoxels, &kept, true);
    vela::clusterSupervoxels(level, 0.4, otherLabels, otherSupervoxels, &dropped, false);
    ASSERT_EQ(kept.normals.size(), input.size());
    EXPECT_TRUE(dropped.normals.empty());
    EXPECT_EQ(std::vector<int>(labels.begin(), labels.end()), std::vector<int>(otherLabels.begin(), otherLabels.end()));

    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < input.size(); ++i)
        if (labels[i] % 3 != 1) rest.push_back(i);
    const auto pointAt = [&](std::size_t i) { return input[i]; };
    const vela::Neighbourhoods copied = vela::carryNeighbourhoods(kept, rest, pointAt);
    const vela::Neighbourhoods made = vela::carryNeighbourhoods(dropped, rest, pointAt);
    EXPECT_EQ(std::vector<int>(copied.lists.begin(), copied.lists.end()), std::vector<int>(made.lists.begin(), made.lists.end()));
    EXPECT_EQ(std::vector<std::uint8_t>(copied.separated.begin(), copied.separated.end()),
              std::vector<std::uint8_t>(made.separated.begin(), made.separated.end()));
    int separated = 0;
    for (std::size_t j = 0; j < rest.size(); ++j) {
        if (!copied.separated[j]) continue;
        ++separated;
        ASSERT_EQ(std::memcmp(&copied.normals[j], &made.normals[j], sizeof(cl::Vector3D<double>)), 0) << "point " << j;
    }
    EXPECT_GT(separated, 500);
}

TEST(Clustering, any_thread_count_gives_the_same_clusters_lists_and_normals)
{
    // A grid with ties, its duplicates, and enough points for many search
    // blocks and many tasks; then a smaller cloud that takes lists over.
    std::vector<Point> input;
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 90; ++j) input.push_back(Point(0.1 * i, 0.1 * j, j < 45 ? 0.0 : 0.1 * (j - 45)));
    for (int i = 0; i < 500; ++i) input.push_back(input[static_cast<std::size_t>(7 * i)]);
    const std::vector<Point> sheet = bentSheet(3000, 9);
    input.insert(input.end(), sheet.begin(), sheet.end());
    struct Outcome {
        std::vector<int> labels, supervoxels, lists, carriedLabels;
        std::vector<std::uint8_t> separated;
        std::vector<double> normals;
    };
    const std::vector<Outcome> outcomes = testsupport::onEachThreadCount([&] {
        Outcome o;
        cl::Array<Point> level;
        for (const Point& p : input) level.push_back(p);
        vela::Neighbourhoods hoods;
        cl::Array<int> labels, supervoxels;
        vela::clusterSupervoxels(level, 0.35, labels, supervoxels, &hoods);
        o.labels.assign(labels.begin(), labels.end());
        o.supervoxels.assign(supervoxels.begin(), supervoxels.end());
        o.lists.assign(hoods.lists.begin(), hoods.lists.end());
        o.separated.assign(hoods.separated.begin(), hoods.separated.end());
        std::vector<std::size_t> kept;
        cl::Array<Point> rest;
        for (std::size_t i = 0; i < input.size(); ++i)
            if (labels[i] % 2 == 0) {
                kept.push_back(i);
                rest.push_back(input[i]);
            }
        vela::Neighbourhoods carried = vela::carryNeighbourhoods(hoods, kept, [&](std::size_t i) { return input[i]; });
        for (const cl::Vector3D<double>& n : carried.normals) o.normals.insert(o.normals.end(), {n.x, n.y, n.z});
        vela::clusterSupervoxels(rest, 0.25, labels, supervoxels, &carried);
        o.carriedLabels.assign(labels.begin(), labels.end());
        return o;
    });
    const Prepared literal = prepare(input);
    EXPECT_EQ(outcomes[0].lists, std::vector<int>(literal.neighbours.begin(), literal.neighbours.end()));
    for (std::size_t t = 1; t < outcomes.size(); ++t) {
        EXPECT_EQ(outcomes[t].labels, outcomes[0].labels) << testsupport::kThreadCounts[t] << " threads";
        EXPECT_EQ(outcomes[t].supervoxels, outcomes[0].supervoxels);
        EXPECT_EQ(outcomes[t].lists, outcomes[0].lists);
        EXPECT_EQ(outcomes[t].separated, outcomes[0].separated);
        EXPECT_EQ(outcomes[t].carriedLabels, outcomes[0].carriedLabels);
        ASSERT_EQ(outcomes[t].normals.size(), outcomes[0].normals.size());
        // Bit for bit, not-a-number normals of the duplicates included.
        EXPECT_EQ(std::memcmp(outcomes[t].normals.data(), outcomes[0].normals.data(),
                              outcomes[0].normals.size() * sizeof(double)),
                  0);
    }
}

// Every list marked separated holds the k nearest of its point, which lie
// at distinct distances, all below that of any other point: brute force.
void expectMarksKeepTheirPromise(const std::vector<Point>& input, const vela::Neighbourhoods& hoods)
{
    std::vector<double> sorted(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (!hoods.separated[i]) continue;
        for (std::size_t j = 0; j < input.size(); ++j) sorted[j] = testsupport::squaredDistance(input[i], input[j]);
        std::partial_sort(sorted.begin(), sorted.begin() + kNeighbourCount + 1, sorted.end());
        for (int k = 0; k < kNeighbourCount; ++k) {
            const int at = hoods.lists[i * kNeighbourCount + static_cast<std::size_t>(k)];
            ASSERT_GE(at, 0) << "point " << i;
            ASSERT_EQ(testsupport::squaredDistance(input[i], input[static_cast<std::size_t>(at)]), sorted[static_cast<std::size_t>(k)])
                << "point " << i << ", place " << k;
            ASSERT_LT(sorted[static_cast<std::size_t>(k)], sorted[static_cast<std::size_t>(k) + 1]) << "point " << i << ", place " << k;
        }
    }
}

TEST(Clustering, float_clouds_searched_through_the_grid_keep_the_literal_lists_marks_and_clusters)
{
    // Float coordinates, so that the grid decides most lists: a bent sheet
    // with duplicates, a lattice of ties beside it, a lone far point.
    std::vector<Point> input = bentSheet(6000, 11);
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 30; ++j) input.push_back(Point(6.0 + 0.125 * i, 0.125 * j, 1.0));
    input.push_back(Point(40.0, 40.0, 40.0));
    input = testsupport::asFloats(input);
    const Prepared literal = prepare(input);
    for (bool keepNormals : {false, true}) {
        cl::Array<Point> level;
        for (const Point& p : input) level.push_back(p);
        vela::Neighbourhoods hoods;
        cl::Array<int> labels, supervoxels;
        vela::clusterSupervoxels(level, 0.4, labels, supervoxels, &hoods, keepNormals);
        ASSERT_EQ(std::vector<int>(hoods.lists.begin(), hoods.lists.end()),
                  std::vector<int>(literal.neighbours.begin(), literal.neighbours.end()))
            << "keeping normals " << keepNormals;
        EXPECT_GT(std::count(hoods.separated.begin(), hoods.separated.end(), 1), 5000);
        expectMarksKeepTheirPromise(input, hoods);

        std::vector<std::size_t> kept;
        cl::Array<Point> rest;
        for (std::size_t i = 0; i < input.size(); ++i)
            if (labels[i] % 3 != 0) {
                kept.push_back(i);
                rest.push_back(input[i]);
            }
        vela::Neighbourhoods carried = vela::carryNeighbourhoods(hoods, kept, [&](std::size_t i) { return input[i]; });
        cl::Array<Point> again = rest;
        cl::Array<int> carriedLabels, carriedSupervoxels, freshLabels, freshSupervoxels;
        vela::clusterSupervoxels(rest, 0.3, carriedLabels, carriedSupervoxels, &carried, keepNormals);
        vela::clusterSupervoxels(again, 0.3, freshLabels, freshSupervoxels);
        EXPECT_EQ(std::vector<int>(carriedLabels.begin(), carriedLabels.end()), std::vector<int>(freshLabels.begin(), freshLabels.end()));
        EXPECT_EQ(std::vector<int>(carriedSupervoxels.begin(), carriedSupervoxels.end()),
                  std::vector<int>(freshSupervoxels.begin(), freshSupervoxels.end()));
    }
}

TEST(Clustering, one_point_is_its_own_supervoxel)
{
    cl::Array<Point> pts;
    pts.push_back(Point(1, 2, 3));
    cl::Array<int> labels, supervoxels;
    EXPECT_TRUE(vela::clusterSupervoxels(pts, 0.5, labels, supervoxels));
    ASSERT_EQ(supervoxels.size(), 1u);
    EXPECT_EQ(supervoxels[0], 0);
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0], 0);
}

TEST(Clustering, every_point_in_its_own_cell_fuses_down_to_one)
{
    // K = n: once the first pass has fused a pair, the target is never met
    // from above, so passes go on until one cluster remains. Jittered spacing
    // puts half of the nearest-neighbour costs below the median bound.
    cl::Array<Point> pts;
    std::mt19937 gen(4);
    std::uniform_real_distribution<double> jitter(-0.2, 0.2);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 5; ++j) pts.push_back(Point(i + jitter(gen), j, 0));
    cl::Array<cl::tag_PointWithNormal> withNormals(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) withNormals[i].point = pts[i];
    ASSERT_EQ(vela::countOccupiedVoxels(withNormals, 0.5), 30);
    cl::Array<int> labels, supervoxels;
    vela::clusterSupervoxels(pts, 0.5, labels, supervoxels);
    EXPECT_EQ(supervoxels.size(), 1u);
    for (int l : labels) EXPECT_EQ(l, 0);
}

TEST(Clustering, coincident_points_stay_single)
{
    // Sixteen copies of one point: every neighbour list is made of copies,
    // the normal is not a number, and such a point is never fused or moved.
    std::vector<Point> input;
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j) input.push_back(Point(0.1 * i, 0.1 * j, 0));
    for (int i = 0; i < 16; ++i) input.push_back(Point(5, 5, 5));
    cl::Array<Point> pts;
    for (const Point& p : input) pts.push_back(p);
    cl::Array<int> labels, supervoxels;
    vela::clusterSupervoxels(pts, 0.3, labels, supervoxels);
    std::set<int> copyLabels;
    for (std::size_t i = 100; i < 116; ++i) copyLabels.insert(labels[i]);
    EXPECT_EQ(copyLabels.size(), 16u);
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(copyLabels.count(labels[i]), 0u);
    for (std::size_t i = 100; i < 116; ++i) EXPECT_EQ(supervoxels[static_cast<std::size_t>(labels[i])], static_cast<int>(i));

    const Prepared prep = prepare(input);
    EXPECT_TRUE(std::isnan(prep.points[100].normal.x));
}

TEST(Clustering, supervoxels_do_not_straddle_a_crease)
{
    // Floor z = 0 and wall x = 0 meeting along the y axis.
    cl::Array<Point> pts;
    const double s = 0.05;
    for (int i = 0; i <= 40; ++i)
        for (int j = 0; j <= 40; ++j) pts.push_back(Point(i * s, j * s, 0));
    for (int k = 1; k <= 40; ++k)
        for (int j = 0; j <= 40; ++j) pts.push_back(Point(0, j * s, k * s));
    const cl::Array<Point> copy = pts;
    cl::Array<int> labels, supervoxels;
    vela::clusterSupervoxels(pts, 0.3, labels, supervoxels);
    ASSERT_GT(supervoxels.size(), 4u);
    // The boundary may wander a few spacings; points farther from the crease
    // than that must all lie on one side per supervoxel.
    std::vector<int> side(supervoxels.size(), 0);
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const Point& p = copy[i];
        const int here = p.z > 4.5 * s ? 2 : (p.x > 4.5 * s ? 1 : 0);
        if (here == 0) continue;
        int& s0 = side[static_cast<std::size_t>(labels[i])];
        if (s0 == 0) s0 = here;
        EXPECT_EQ(s0, here) << "supervoxel " << labels[i] << " spans both planes at " << p.x << " " << p.y << " " << p.z;
    }
}

TEST(Clustering, fewer_points_than_a_neighbour_list)
{
    cl::Array<Point> pts;
    for (int i = 0; i < 6; ++i) pts.push_back(Point(0.1 * i, 0.05 * (i % 2), 0));
    cl::Array<int> labels, supervoxels;
    vela::clusterSupervoxels(pts, 1.0, labels, supervoxels);
    ASSERT_EQ(labels.size(), 6u);
    for (int l : labels) {
        EXPECT_GE(l, 0);
        EXPECT_LT(l, static_cast<int>(supervoxels.size()));
    }
}

TEST(Clustering, occupied_cells_match_a_set_of_cells)
{
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(-2.0, 3.0);
    cl::Array<cl::tag_PointWithNormal> pts(3000);
    for (auto& p : pts) p.point = Point(u(gen), u(gen), 0.3 * u(gen));
    for (double r : {0.05, 0.37, 1.0, 10.0}) {
        double lo[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
        for (const auto& p : pts)
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p.point[a]);
        std::set<std::tuple<int, int, int>> cells;
        for (const auto& p : pts)
            cells.insert({static_cast<int>((p.point.x - lo[0]) / r), static_cast<int>((p.point.y - lo[1]) / r),
                          static_cast<int>((p.point.z - lo[2]) / r)});
        EXPECT_EQ(vela::countOccupiedVoxels(pts, r), static_cast<int>(cells.size())) << r;
    }
    EXPECT_EQ(vela::countOccupiedVoxels(cl::Array<cl::tag_PointWithNormal>(), 1.0), 0);
}

// The count as first written: an octree over an int grid, filled in a
// shuffled order. Only valid while the grid fits an int.
int literalOccupiedVoxels(const cl::Array<cl::tag_PointWithNormal>& pts, double r)
{
    double lo[3] = {DBL_MAX, DBL_MAX, DBL_MAX}, hi[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    for (const auto& p : pts)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p.point[a]);
            hi[a] = std::max(hi[a], p.point[a]);
        }
    int size[3];
    for (int a = 0; a < 3; ++a) size[a] = lo[a] > hi[a] ? 1 : static_cast<int>((hi[a] - lo[a]) / r + 1.0);
    std::vector<std::size_t> order(pts.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5489));
    cl::Octree<bool> cells(size[0], size[1], size[2]);
    for (std::size_t i : order) {
        int c[3];
        for (int a = 0; a < 3; ++a)
            c[a] = std::clamp(static_cast<int>((pts[i].point[a] - lo[a]) / r), 0, size[a] - 1);
        bool inserted;
        cells.insert(c[0], c[1], c[2], true, inserted);
    }
    return static_cast<int>(cells.leafCount());
}

TEST(Clustering, occupied_cells_match_the_octree_count)
{
    std::mt19937 gen(23);
    for (std::size_t n : {1u, 2u, 17u, 500u, 4000u}) {
        std::uniform_real_distribution<double> u(-50.0, 50.0);
        cl::Array<cl::tag_PointWithNormal> pts(n);
        for (std::size_t i = 0; i < n; ++i) {
            // Every fifth point on a lattice, so that points sit on cell borders.
            pts[i].point = i % 5 == 0 ? Point(std::round(u(gen)), std::round(u(gen)) * 0.5, 0.25 * std::round(u(gen)))
                                      : Point(u(gen), u(gen) * 0.1, u(gen) * 0.01);
        }
        for (double r : {0.01, 0.25, 0.5, 3.0, 1000.0})
            EXPECT_EQ(vela::countOccupiedVoxels(pts, r), literalOccupiedVoxels(pts, r)) << n << " points, r " << r;
    }
}

TEST(Clustering, occupied_cells_of_many_points_with_repeats_are_counted_alike_on_any_thread_count)
{
    // Blocks and buckets enough for the count to be split: a lattice with
    // most points repeated, points on cell borders, and random points.
    std::mt19937 gen(31);
    std::uniform_real_distribution<double> u(-20.0, 20.0);
    cl::Array<cl::tag_PointWithNormal> pts(60000);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const double t = static_cast<double>(i % 9000);
        pts[i].point = i % 3 == 0 ? Point(u(gen), u(gen), 0.1 * u(gen))
                                  : Point(0.25 * std::fmod(t, 97.0), 0.5 * std::floor(t / 97.0), 0.25 * (i % 2));
    }
    // Two points moved far out make the general count's grid: they leave
    // their cells and share a new one, and no lower bound moves.
    cl::Array<cl::tag_PointWithNormal> far = pts, rest;
    far[7].point = far[40000].point = Point(1e12, 0, 0);
    for (std::size_t i = 0; i < pts.size(); ++i)
        if (i != 7 && i != 40000) rest.push_back(pts[i]);
    for (double r : {0.1, 0.5, 4.0}) {
        const int want = literalOccupiedVoxels(pts, r);
        const int wantFar = literalOccupiedVoxels(rest, r) + 1;
        const std::vector<std::pair<int, int>> got = testsupport::onEachThreadCount(
            [&] { return std::make_pair(vela::countOccupiedVoxels(pts, r), vela::countOccupiedVoxels(far, r)); });
        for (std::size_t t = 0; t < got.size(); ++t) {
            EXPECT_EQ(got[t].first, want) << "r " << r << ", " << testsupport::kThreadCounts[t] << " threads";
            EXPECT_EQ(got[t].second, wantFar) << "r " << r << ", " << testsupport::kThreadCounts[t] << " threads";
        }
    }
}

TEST(Clustering, far_outliers_count_their_own_cell_without_overflow)
{
    // 20 x 20 points 0.1 apart and two identical points at 1e12: 8 x 8 cells
    // of 0.25 and one more.
    cl::Array<cl::tag_PointWithNormal> pts;
    cl::tag_PointWithNormal p;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) {
            p.point = Point(0.1 * i, 0.1 * j, 0);
            pts.push_back(p);
        }
    p.point = Point(1e12, 1e12, 1e12);
    pts.push_back(p);
    pts.push_back(p);
    EXPECT_EQ(vela::countOccupiedVoxels(pts, 0.25), 65);
    // So small a resolution that the outliers' cell number is infinite:
    // every point of the plane in a cell of its own, and one cell more.
    EXPECT_EQ(vela::countOccupiedVoxels(pts, 1e-300), 401);
    // Resolutions that make no grid still give a count within 1 ... n.
    for (double r : {0.0, -1.0, std::nan("")}) {
        const int count = vela::countOccupiedVoxels(pts, r);
        EXPECT_GE(count, 1) << r;
        EXPECT_LE(count, static_cast<int>(pts.size())) << r;
    }
}

TEST(Clustering, occupied_cells_of_grids_just_below_and_above_two_to_the_21_a_side)
{
    // Cell numbers up to 2^21 - 1 a side are counted in one word; one more
    // cell takes the general count. Both give the set's count.
    for (double far : {2097150.5, 2097151.5, 2097152.5, 4194304.5}) {
        cl::Array<cl::tag_PointWithNormal> pts;
        cl::tag_PointWithNormal p;
        for (double x : {0.0, 0.5, 1.5, far, far - 1.0, far - 0.25}) {
            for (double y : {0.0, far}) {
                p.point = Point(x, y, x);
                pts.push_back(p);
            }
        }
        EXPECT_EQ(vela::countOccupiedVoxels(pts, 1.0), literalOccupiedVoxels(pts, 1.0)) << far;
    }
}

TEST(Clustering, distance_ignores_normal_orientation)
{
    cl::tag_PointWithNormal a, b;
    a.point = Point(0, 0, 0);
    b.point = Point(3, 4, 0);
    a.normal = cl::Vector3D<double>(0, 0, 1);
    b.normal = cl::Vector3D<double>(0, 0, -1);
    EXPECT_EQ(vela::supervoxelDistance(a, b, 2.0), 1.0);
    b.normal = cl::Vector3D<double>(1, 0, 0);
    EXPECT_EQ(vela::supervoxelDistance(a, b, 2.0), 2.0);
}

// Bent sheets of the given sizes, each far from the others, so that no
// neighbour list reaches from one to another; the points of all of them
// shuffled together, so that their walks alternate in the point order.
std::vector<Point> separatedSheets(const std::vector<int>& sizes, unsigned seed)
{
    std::vector<Point> pts;
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        for (Point p : bentSheet(sizes[s], seed + static_cast<unsigned>(s))) {
            p.x += 10.0 * static_cast<double>(s);
            pts.push_back(p);
        }
    }
    std::shuffle(pts.begin(), pts.end(), std::mt19937(seed + 300));
    return pts;
}

// The literal clusters of `prep` and what mergeSupervoxels makes on each
// thread count, for the target K.
void expectLiteralClustersOnEachThreadCount(const Prepared& prep, int K, double r, const char* what)
{
    std::vector<int> wantLabels, wantSupervoxels;
    literalMerge(prep.points, prep.neighbours, K, r, wantLabels, wantSupervoxels);
    const auto outcomes = testsupport::onEachThreadCount([&] {
        cl::Array<int> labels, supervoxels;
        vela::mergeSupervoxels(prep.points, prep.neighbours, K, r, labels, supervoxels);
        return std::make_pair(std::vector<int>(labels.begin(), labels.end()),
                              std::vector<int>(supervoxels.begin(), supervoxels.end()));
    });
    for (std::size_t t = 0; t < outcomes.size(); ++t) {
        ASSERT_EQ(outcomes[t].second, wantSupervoxels) << what << ", " << testsupport::kThreadCounts[t] << " threads, K " << K;
        ASSERT_EQ(outcomes[t].first, wantLabels) << what << ", " << testsupport::kThreadCounts[t] << " threads, K " << K;
    }
}

// Targets that end a run at every kind of place: the occupied cells; counts
// met exactly at the end of a pass, so that no fusion of the pass comes
// after the one that meets them; counts met in the middle of a pass, with
// fusions after it in point order; one, below the number of pieces, so that
// the passes run out; and every point, met before any fusion.
std::vector<int> targetsOf(const Prepared& prep, double r)
{
    std::vector<int> labels, supervoxels, passEnds;
    literalMerge(prep.points, prep.neighbours, -1, r, labels, supervoxels, &passEnds);
    const int n = static_cast<int>(prep.points.size());
    std::vector<int> targets{vela::countOccupiedVoxels(prep.points, r), 1, n};
    for (std::size_t t = 0; t < std::min<std::size_t>(passEnds.size(), 4); ++t) {
        targets.push_back(passEnds[t]);
        const int previous = t == 0 ? n : passEnds[t - 1];
        if (previous - passEnds[t] > 2) targets.push_back((previous + passEnds[t]) / 2);
    }
    return targets;
}

TEST(Clustering, separated_pieces_fuse_as_the_literal_version_on_any_thread_count)
{
    // Pieces of very different sizes, a piece alone, and pieces too small
    // to be worth a task of their own.
    struct Case {
        std::vector<int> sizes;
        double r;
    };
    const Case cases[] = {{{2400, 900, 300, 60, 40}, 0.2}, {{1500, 1500, 1500}, 0.3}, {{3000}, 0.2}, {{200, 150, 30, 30}, 0.5}};
    for (const Case& c : cases) {
        const Prepared prep = prepare(separatedSheets(c.sizes, 21));
        for (int K : targetsOf(prep, c.r)) expectLiteralClustersOnEachThreadCount(prep, K, c.r, "sheets");
    }
}

TEST(Clustering, separated_pieces_with_inert_and_coincident_points_fuse_as_the_literal_version_on_any_thread_count)
{
    // A piece made of copies of one point (every normal not a number), and
    // normals not a number scattered through the others: their roots stay
    // single while the other pieces fuse around them.
    std::vector<Point> input = separatedSheets({1200, 800, 400}, 31);
    for (int i = 0; i < 40; ++i) input.push_back(Point(-20.0, 3.0, 1.0));
    std::shuffle(input.begin(), input.end(), std::mt19937(32));
    Prepared prep = prepare(input);
    for (std::size_t i = 0; i < prep.points.size(); i += 37) prep.points[i].normal = cl::Vector3D<double>(NAN, NAN, NAN);
    for (double r : {0.2, 0.5})
        for (int K : targetsOf(prep, r)) expectLiteralClustersOnEachThreadCount(prep, K, r, "inert points");
}

TEST(Clustering, separated_pieces_with_missing_list_entries_fuse_as_the_literal_version_on_any_thread_count)
{
    // Lists cut short: their missing entries trail, and a point whose list
    // is itself alone joins no piece but by others' lists.
    Prepared prep = prepare(separatedSheets({1500, 700, 300}, 41));
    for (std::size_t i = 0; i < prep.points.size(); ++i) {
        const int keep = i % 5 == 0 ? 6 : i % 11 == 0 ? 1 : kNeighbourCount;
        for (int k = keep; k < kNeighbourCount; ++k) prep.neighbours[i * kNeighbourCount + static_cast<std::size_t>(k)] = -1;
    }
    for (double r : {0.2, 0.4})
        for (int K : targetsOf(prep, r)) expectLiteralClustersOnEachThreadCount(prep, K, r, "short lists");
}

}  // namespace
