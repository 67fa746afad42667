#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/octree.h"
#include "support/literal_kd_walk.h"
#include "support/thread_counts.h"
#include "supervoxel/thread_pool.h"

namespace {

using cl::Array;
using cl::KDTree;
using Point = cl::Point3D<double>;
using testsupport::LiteralList;
using testsupport::literalQuery;
using testsupport::squaredDistance;

// Order in which an unpruned depth-first walk of the tree, taking children in
// the query's near-side-first rule, meets every point.
void traversalRank(const KDTree& tree, const KDTree::Node* node, const Point& q, std::vector<int>& rank, int& next)
{
    if (KDTree::isLeaf(node)) {
        for (int i = node->begin; i < node->end; ++i) rank[static_cast<std::size_t>(tree.indices()[static_cast<std::size_t>(i)])] = next++;
        return;
    }
    const double v = q[node->axis];
    const bool leftFirst = (v - node->divlow) + (v - node->divhigh) < 0;
    traversalRank(tree, leftFirst ? KDTree::leftOf(node) : tree.rightOf(node), q, rank, next);
    traversalRank(tree, leftFirst ? tree.rightOf(node) : KDTree::leftOf(node), q, rank, next);
}

// Brute force: ascending distance, equal distances in traversal order.
std::vector<int> bruteForce(const KDTree& tree, const Point& q, int k)
{
    std::vector<int> rank(tree.size());
    int next = 0;
    if (tree.root() != nullptr) traversalRank(tree, tree.root(), q, rank, next);
    std::vector<int> order(tree.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const double da = squaredDistance(q, tree.point(static_cast<std::size_t>(a)));
        const double db = squaredDistance(q, tree.point(static_cast<std::size_t>(b)));
        if (da != db) return da < db;
        return rank[static_cast<std::size_t>(a)] < rank[static_cast<std::size_t>(b)];
    });
    order.resize(static_cast<std::size_t>(k), -1);
    return order;
}

// query() point by point and queryAll() for the whole tree against the
// literal walk; the separation marks against sorted distances.
void expectSearchesMatchLiteralWalk(const Array<Point>& cloud, int k)
{
    Array<Point> pts = cloud;
    KDTree tree;
    tree.build(pts);
    const std::size_t n = tree.size(), uk = static_cast<std::size_t>(k);
    auto p = [&](std::size_t i) { return tree.point(i); };
    std::vector<int> all(n * uk, -2), plain(n * uk, -2);
    std::vector<std::uint8_t> separated(n, 7);
    tree.queryAll(k, all.data(), separated.data(), nullptr);
    tree.queryAll(k, plain.data());
    std::vector<int> one(uk);
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<int> want = literalQuery(tree, p(i), k);
        tree.query(p(i), k, one.data());
        ASSERT_EQ(one, want) << "query of point " << i;
        ASSERT_EQ(std::vector<int>(all.begin() + static_cast<std::ptrdiff_t>(i * uk), all.begin() + static_cast<std::ptrdiff_t>((i + 1) * uk)), want)
            << "queryAll, point " << i;
        ASSERT_EQ(std::vector<int>(plain.begin() + static_cast<std::ptrdiff_t>(i * uk), plain.begin() + static_cast<std::ptrdiff_t>((i + 1) * uk)), want)
            << "queryAll without marks, point " << i;

        std::vector<double> d(n);
        for (std::size_t j = 0; j < n; ++j) d[j] = squaredDistance(p(i), p(j));
        std::sort(d.begin(), d.end());
        bool distinct = n > uk;
        for (std::size_t j = 1; distinct && j <= uk; ++j) distinct = d[j - 1] < d[j];
        // A list may be left unmarked (the search could not vouch for it by
        // the faster way), never marked wrongly.
        ASSERT_LE(separated[i], distinct ? 1 : 0) << "point " << i;
    }
}

Array<Point> toArray(const std::vector<Point>& v)
{
    Array<Point> a;
    for (const Point& p : v) a.push_back(p);
    return a;
}

void expectMatchesBruteForce(const KDTree& tree, const std::vector<Point>& queries, int k)
{
    std::vector<int> got(static_cast<std::size_t>(k));
    for (const Point& q : queries) {
        tree.query(q, k, got.data());
        const std::vector<int> want = bruteForce(tree, q, k);
        for (int s = 0; s < k; ++s) {
            const int g = got[static_cast<std::size_t>(s)], w = want[static_cast<std::size_t>(s)];
            if (w < 0) {
                ASSERT_EQ(g, -1);
                continue;
            }
            ASSERT_GE(g, 0);
            ASSERT_EQ(squaredDistance(q, tree.point(static_cast<std::size_t>(g))),
                      squaredDistance(q, tree.point(static_cast<std::size_t>(w))))
                << "slot " << s;
            ASSERT_EQ(g, w) << "tie order differs in slot " << s;
        }
    }
}

// The tree as first built: every node its own record, the points left in
// the order given and read through the index array, no boxes. Split at the
// middle of the widest spread with the two-sweep partition, searched by the
// literal walk.
struct LiteralTree {
    struct Node {
        int begin = 0, end = 0, axis = -1;
        double divlow = 0, divhigh = 0;
        std::unique_ptr<Node> left, right;
    };
    std::vector<Point> pts;
    std::vector<int> index;
    std::unique_ptr<Node> root;
    KDTree::Bound box[3];

    explicit LiteralTree(const std::vector<Point>& points) : pts(points)
    {
        for (std::size_t i = 0; i < pts.size(); ++i) index.push_back(static_cast<int>(i));
        if (pts.empty()) return;
        for (int a = 0; a < 3; ++a) {
            box[a].low = box[a].high = pts[0][a];
            for (const Point& p : pts) {
                box[a].low = std::min(box[a].low, p[a]);
                box[a].high = std::max(box[a].high, p[a]);
            }
        }
        KDTree::Bound cell[3] = {box[0], box[1], box[2]};
        root = build(0, static_cast<int>(pts.size()), cell);
    }

    double coord(int slot, int axis) const { return pts[static_cast<std::size_t>(index[static_cast<std::size_t>(slot)])][axis]; }

    void spread(int begin, int end, int axis, double& lo, double& hi) const
    {
        lo = hi = coord(begin, axis);
        for (int i = begin + 1; i < end; ++i) {
            lo = std::min(lo, coord(i, axis));
            hi = std::max(hi, coord(i, axis));
        }
    }

    std::unique_ptr<Node> build(int begin, int end, KDTree::Bound* cell)
    {
        auto node = std::make_unique<Node>();
        node->begin = begin;
        node->end = end;
        if (end - begin <= 10) return node;
        int axis = 0;
        for (int a = 1; a < 3; ++a)
            if (cell[a].high - cell[a].low > cell[axis].high - cell[axis].low) axis = a;
        double lo, hi;
        spread(begin, end, axis, lo, hi);
        double width = hi - lo, cut = (lo + hi) / 2;
        for (int a = 0; a < 3; ++a) {
            if (a == axis || !(cell[a].high - cell[a].low > width)) continue;
            spread(begin, end, a, lo, hi);
            if (hi - lo > width) {
                width = hi - lo;
                axis = a;
                cut = (lo + hi) / 2;
            }
        }
        int left = begin, right = end - 1;
        for (;;) {
            while (left <= right && coord(left, axis) < cut) ++left;
            while (left <= right && coord(right, axis) >= cut) --right;
            if (left > right) break;
            std::swap(index[static_cast<std::size_t>(left++)], index[static_cast<std::size_t>(right--)]);
        }
        const int lim1 = left;
        right = end - 1;
        for (;;) {
            while (left <= right && coord(left, axis) <= cut) ++left;
            while (left <= right && coord(right, axis) > cut) --right;
            if (left > right) break;
            std::swap(index[static_cast<std::size_t>(left++)], index[static_cast<std::size_t>(right--)]);
        }
        const int lim2 = left, mid = begin + (end - begin) / 2;
        const int split = lim1 > mid ? lim1 : (lim2 < mid ? lim2 : mid);
        node->axis = axis;
        node->divlow = node->divhigh = cut;
        const KDTree::Bound saved = cell[axis];
        cell[axis].high = cut;
        node->left = build(begin, split, cell);
        cell[axis] = saved;
        cell[axis].low = cut;
        node->right = build(split, end, cell);
        cell[axis] = saved;
        return node;
    }

    void search(const Node* node, const Point& q, double minDist, double* axisDist, LiteralList& list) const
    {
        if (node->axis < 0) {
            for (int i = node->begin; i < node->end; ++i) {
                const int at = index[static_cast<std::size_t>(i)];
                list.add(squaredDistance(q, pts[static_cast<std::size_t>(at)]), at);
            }
            return;
        }
        const double v = q[node->axis];
        const double diff1 = v - node->divlow, diff2 = v - node->divhigh;
        const bool leftFirst = diff1 + diff2 < 0;
        const double cutDist = leftFirst ? diff2 * diff2 : diff1 * diff1;
        search(leftFirst ? node->left.get() : node->right.get(), q, minDist, axisDist, list);
        const double saved = axisDist[node->axis];
        const double otherMin = minDist - saved + cutDist;
        axisDist[node->axis] = cutDist;
        if (list.worst() >= otherMin && list.worst() > 0)
            search(leftFirst ? node->right.get() : node->left.get(), q, otherMin, axisDist, list);
        axisDist[node->axis] = saved;
    }

    std::vector<int> query(const Point& q, int k) const
    {
        LiteralList list{k, {}, {}};
        if (root) {
            double axisDist[3] = {0, 0, 0}, minDist = 0;
            for (int a = 0; a < 3; ++a) {
                if (q[a] < box[a].low) axisDist[a] = (q[a] - box[a].low) * (q[a] - box[a].low);
                if (q[a] > box[a].high) axisDist[a] = (q[a] - box[a].high) * (q[a] - box[a].high);
                minDist += axisDist[a];
            }
            search(root.get(), q, minDist, axisDist, list);
        }
        list.indices.resize(static_cast<std::size_t>(k), -1);
        return list.indices;
    }
};

// The stored tree (points kept in slot order, nodes in one array, boxes in
// single precision) against the literal one: the same lists, in the same
// order, for every point; the points handed back in the order given.
void expectSameAsLiteralTree(const std::vector<Point>& cloud, int k)
{
    const LiteralTree literal(cloud);
    KDTree tree;
    Array<Point> pts = toArray(cloud);
    tree.build(pts);
    const std::size_t n = cloud.size(), uk = static_cast<std::size_t>(k);
    std::vector<int> lists(n * uk, -2);
    std::vector<std::uint8_t> separated(n, 7);
    tree.queryAll(k, lists.data(), separated.data());
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(tree.point(i).x, cloud[i].x);
        const std::vector<int> want = literal.query(cloud[i], k);
        ASSERT_EQ(std::vector<int>(lists.begin() + static_cast<std::ptrdiff_t>(i * uk), lists.begin() + static_cast<std::ptrdiff_t>((i + 1) * uk)), want)
            << "point " << i;
        const Array<int> one = tree.query(cloud[i], k);
        ASSERT_EQ(std::vector<int>(one.begin(), one.end()), want) << "point " << i;
    }
    Array<Point> back;
    tree.build(back);
    ASSERT_EQ(back.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(back[i].x, cloud[i].x) << i;
        ASSERT_EQ(back[i].y, cloud[i].y) << i;
        ASSERT_EQ(back[i].z, cloud[i].z) << i;
    }
}

TEST(KDTree, stored_tree_gives_the_literal_trees_lists)
{
    std::mt19937 gen(29);
    // Double coordinates that single precision cannot hold: the boxes widen.
    std::uniform_real_distribution<double> u(-4.0, 4.0);
    std::vector<Point> random;
    for (int i = 0; i < 3000; ++i) random.push_back(Point(u(gen), u(gen), 0.05 * u(gen)));
    expectSameAsLiteralTree(random, 15);

    // Shifted single-precision scan rows with ties and points on cuts.
    std::uniform_int_distribution<int> cm(0, 500);
    std::vector<Point> scan;
    for (int i = 0; i < 3000; ++i)
        scan.push_back(Point(static_cast<float>(731.0 + 0.01 * cm(gen)), static_cast<float>(0.01 * cm(gen)),
                             static_cast<float>(0.01 * (cm(gen) % 9))));
    expectSameAsLiteralTree(scan, 15);

    std::vector<Point> grid;
    for (int x = 0; x < 15; ++x)
        for (int y = 0; y < 12; ++y)
            for (int z = 0; z < 3; ++z) {
                grid.push_back(Point(x, y, z));
                if ((x + 2 * y + z) % 7 == 0) grid.push_back(Point(x, y, z));
            }
    expectSameAsLiteralTree(grid, 15);
    // Clusters finer than single precision resolves: a box rounded to the
    // nearest float instead of outwards would cut through them.
    std::vector<Point> fine;
    for (int c = 0; c < 40; ++c)
        for (int i = 0; i < 25; ++i)
            fine.push_back(Point(0.1 + 0.01 * c + 3e-10 * (i * 7 % 25), 0.3 + 2e-10 * (i * 11 % 25), 0.7 + 1e-10 * i));
    expectSameAsLiteralTree(fine, 15);
    expectSameAsLiteralTree(std::vector<Point>(37, Point(1, 2, 3)), 15);
    expectSameAsLiteralTree(std::vector<Point>{Point(0, 0, 0), Point(2, 0, 1)}, 15);
}

// Everything a build decides: the index permutation, the root box, every
// node's position and bytes in depth-first order, and, through the searches,
// the leaves' cells: per point its list, its separation mark and whether the
// tree confirms the list.
struct BuiltTree {
    std::vector<int> indices;
    std::vector<double> box;
    std::vector<std::ptrdiff_t> positions;
    std::vector<std::array<unsigned char, sizeof(KDTree::Node)>> nodes;
    std::vector<int> lists;
    std::vector<std::uint8_t> separated;
    std::vector<std::uint8_t> confirmed;
};

// Nodes compared as bytes: no padding may hide among them.
static_assert(sizeof(KDTree::Node) == 2 * sizeof(double) + 6 * sizeof(float) + 4 * sizeof(int), "padded node");

BuiltTree recordBuild(const std::vector<Point>& cloud, bool onPool)
{
    KDTree tree = onPool ? KDTree(vela::parallelRanges) : KDTree();
    Array<Point> pts = toArray(cloud);
    tree.build(pts);
    BuiltTree built;
    built.indices.assign(tree.indices().begin(), tree.indices().end());
    for (int a = 0; a < 3; ++a) {
        built.box.push_back(tree.rootBox()[a].low);
        built.box.push_back(tree.rootBox()[a].high);
    }
    for (std::vector<const KDTree::Node*> stack{tree.root()}; !stack.empty();) {
        const KDTree::Node* node = stack.back();
        stack.pop_back();
        built.positions.push_back(node - tree.root());
        built.nodes.emplace_back();
        std::memcpy(built.nodes.back().data(), node, sizeof(KDTree::Node));
        if (KDTree::isLeaf(node)) continue;
        stack.push_back(tree.rightOf(node));
        stack.push_back(KDTree::leftOf(node));
    }
    const std::size_t n = tree.size(), k = 15;
    built.lists.resize(n * k);
    built.separated.resize(n);
    tree.queryAll(static_cast<int>(k), built.lists.data(), built.separated.data());
    for (std::size_t i = 0; i < n; ++i)
        built.confirmed.push_back(tree.confirms(tree.point(i), built.lists.data() + i * k, static_cast<int>(k)) ? 1 : 0);
    return built;
}

void expectSameBuild(const BuiltTree& got, const BuiltTree& want, const char* what)
{
    ASSERT_EQ(got.indices, want.indices) << what;
    ASSERT_EQ(std::memcmp(got.box.data(), want.box.data(), 6 * sizeof(double)), 0) << what;
    ASSERT_EQ(got.positions, want.positions) << what;
    ASSERT_EQ(got.nodes.size(), want.nodes.size()) << what;
    for (std::size_t i = 0; i < got.nodes.size(); ++i) ASSERT_TRUE(got.nodes[i] == want.nodes[i]) << what << ", node " << i;
    ASSERT_EQ(got.lists, want.lists) << what;
    ASSERT_EQ(got.separated, want.separated) << what;
    ASSERT_EQ(got.confirmed, want.confirmed) << what;
}

// Leaves and splits of the stored tree against the literal one, in
// depth-first order.
void expectLiteralShape(const KDTree& tree, const KDTree::Node* node, const LiteralTree::Node* literal)
{
    ASSERT_EQ(KDTree::isLeaf(node), literal->axis < 0);
    if (KDTree::isLeaf(node)) {
        ASSERT_EQ(node->begin, literal->begin);
        ASSERT_EQ(node->end, literal->end);
        return;
    }
    ASSERT_EQ(node->axis, literal->axis);
    ASSERT_EQ(node->divlow, literal->divlow);
    ASSERT_EQ(node->divhigh, literal->divhigh);
    expectLiteralShape(tree, KDTree::leftOf(node), literal->left.get());
    expectLiteralShape(tree, tree.rightOf(node), literal->right.get());
}

TEST(KDTree, built_on_the_pool_on_any_thread_count_is_the_single_thread_tree_node_for_node)
{
    // A shuffled integer grid, so that cuts fall on rows of points, with
    // repeated points; beside it random points, whose lists are mostly
    // separated and confirmed through their cells; a heap of 9000 copies of
    // one point (a large range with no spread); far outliers (lopsided splits
    // at the top); the lowest x and the highest z zero of both signs, +0 in
    // the first block of slots only (a span keeps the first of equal
    // values). Large enough for subtrees on tasks and for spans in blocks.
    std::vector<Point> cloud;
    for (int x = 0; x <= 160; ++x)
        for (int y = 0; y <= 160; ++y) {
            cloud.push_back(Point(x, y, 0));
            if ((x * 7 + y) % 7 == 0) cloud.push_back(Point(x, y, 0));
        }
    std::mt19937 gen(41);
    std::uniform_real_distribution<float> u(1.0f, 160.0f);
    for (int i = 0; i < 30000; ++i) cloud.push_back(Point(u(gen), 200.0f + u(gen), -0.01f * u(gen)));
    for (int i = 0; i < 9000; ++i) cloud.push_back(Point(17, 33, 0));
    for (int i = 0; i < 50; ++i) cloud.push_back(Point(1e6 + i % 5, 2e6, -0.5 * i));
    std::shuffle(cloud.begin(), cloud.end(), gen);
    for (std::size_t i = 0; i < cloud.size(); ++i) {
        if (cloud[i].x == 0) cloud[i].x = i < 1000 ? 0.0 : -0.0;
        if (cloud[i].z == 0) cloud[i].z = i < 1000 ? 0.0 : -0.0;
    }
    ASSERT_GT(cloud.size(), 65536u);

    // Without a loop the tree is built whole, by one recursion.
    const BuiltTree single = recordBuild(cloud, false);
    // Enough lists hang on the cells for a wrong cell to show.
    EXPECT_GT(std::count(single.confirmed.begin(), single.confirmed.end(), 1), 10000);
    EXPECT_GT(std::count(single.separated.begin(), single.separated.end(), 1), 10000);
    const LiteralTree literal(cloud);
    ASSERT_EQ(single.indices, literal.index);
    {
        KDTree tree;
        Array<Point> pts = toArray(cloud);
        tree.build(pts);
        expectLiteralShape(tree, tree.root(), literal.root.get());
    }
    const std::vector<BuiltTree> pooled = testsupport::onEachThreadCount([&] { return recordBuild(cloud, true); });
    for (std::size_t t = 0; t < pooled.size(); ++t) {
        SCOPED_TRACE(testing::Message() << testsupport::kThreadCounts[t] << " threads");
        expectSameBuild(pooled[t], single, "pool");
    }
}

TEST(KDTree, random_cloud_matches_brute_force)
{
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    Array<Point> pts;
    for (int i = 0; i < 3000; ++i) pts.push_back(Point(u(gen), u(gen), 0.2 * u(gen)));
    KDTree tree;
    tree.build(pts);
    std::vector<Point> queries;
    for (std::size_t i = 0; i < tree.size(); i += 7) queries.push_back(tree.point(i));
    for (int i = 0; i < 200; ++i) queries.push_back(Point(2 * u(gen), 2 * u(gen), u(gen)));  // some outside the box
    expectMatchesBruteForce(tree, queries, 15);
    expectMatchesBruteForce(tree, queries, 1);
}

TEST(KDTree, gridded_cloud_with_ties_matches_brute_force)
{
    // Integer grid with duplicated rows: distances are exact and tie often.
    Array<Point> pts;
    for (int x = 0; x < 12; ++x)
        for (int y = 0; y < 9; ++y)
            for (int z = 0; z < 4; ++z) {
                pts.push_back(Point(x, y, z));
                if ((x + y) % 5 == 0) pts.push_back(Point(x, y, z));
            }
    KDTree tree;
    tree.build(pts);
    std::vector<Point> queries;
    for (std::size_t i = 0; i < tree.size(); i += 3) queries.push_back(tree.point(i));
    for (int x = -1; x < 13; x += 2) queries.push_back(Point(x + 0.5, 4.5, 1.5));
    expectMatchesBruteForce(tree, queries, 15);
    expectMatchesBruteForce(tree, queries, 7);
}

TEST(KDTree, many_duplicates_match_brute_force)
{
    std::mt19937 gen(13);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Array<Point> pts;
    for (int i = 0; i < 300; ++i) {
        pts.push_back(Point(0.5, 0.5, 0.5));
        pts.push_back(Point(u(gen), u(gen), u(gen)));
    }
    KDTree tree;
    tree.build(pts);
    std::vector<Point> queries{Point(0.5, 0.5, 0.5), Point(0.5, 0.5, 0.6), Point(2, 2, 2)};
    for (std::size_t i = 1; i < tree.size(); i += 10) queries.push_back(tree.point(i));
    expectMatchesBruteForce(tree, queries, 15);
    expectMatchesBruteForce(tree, queries, 400);
}

TEST(KDTree, every_search_follows_the_literal_walk)
{
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    std::vector<Point> random;
    for (int i = 0; i < 2500; ++i) random.push_back(Point(u(gen), u(gen), 0.1 * u(gen)));
    expectSearchesMatchLiteralWalk(toArray(random), 15);

    // A scan as the pipeline holds it: centimetre steps, shifted, single
    // precision; equal distances and points on cuts abound.
    std::vector<Point> scan;
    std::uniform_int_distribution<int> cm(0, 600);
    for (int i = 0; i < 2500; ++i) {
        const float x = static_cast<float>(352.0 + 0.01 * cm(gen)), y = static_cast<float>(0.01 * cm(gen));
        scan.push_back(Point(x, y, static_cast<float>(0.01 * (cm(gen) % 7))));
    }
    expectSearchesMatchLiteralWalk(toArray(scan), 15);

    std::vector<Point> grid;
    for (int x = 0; x < 14; ++x)
        for (int y = 0; y < 11; ++y)
            for (int z = 0; z < 3; ++z) {
                grid.push_back(Point(x, y, z));
                if ((x * y + z) % 6 == 0) grid.push_back(Point(x, y, z));
            }
    expectSearchesMatchLiteralWalk(toArray(grid), 15);
    expectSearchesMatchLiteralWalk(toArray(grid), 4);

    std::vector<Point> few{Point(0, 0, 0), Point(1, 0, 0), Point(0, 2, 0), Point(1, 1, 1)};
    expectSearchesMatchLiteralWalk(toArray(few), 15);
    expectSearchesMatchLiteralWalk(toArray(std::vector<Point>(30, Point(2, 2, 2))), 15);
}

TEST(KDTree, query_all_leaves_known_lists_alone)
{
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Array<Point> pts;
    for (int i = 0; i < 200; ++i) pts.push_back(Point(u(gen), u(gen), u(gen)));
    KDTree tree;
    tree.build(pts);
    std::vector<int> lists(200 * 15, -2);
    std::vector<std::uint8_t> known(200, 0), separated(200, 9);
    for (int i = 0; i < 200; i += 3) known[static_cast<std::size_t>(i)] = 1;
    tree.queryAll(15, lists.data(), separated.data(), known.data());
    for (std::size_t i = 0; i < 200; ++i) {
        if (known[i]) {
            EXPECT_EQ(lists[i * 15], -2);
            EXPECT_EQ(separated[i], 9);
        } else {
            EXPECT_EQ(std::vector<int>(lists.begin() + static_cast<std::ptrdiff_t>(i * 15), lists.begin() + static_cast<std::ptrdiff_t>(i * 15 + 15)),
                      literalQuery(tree, tree.point(i), 15));
        }
    }
}

TEST(KDTree, separated_lists_carried_into_a_subset_are_confirmed_or_refused)
{
    // A list marked separated in a cloud stays the list in a smaller cloud
    // holding all its points; the smaller cloud's tree confirms it unless a
    // point lies right at the edge of its leaf cell.
    std::mt19937 gen(23);
    std::uniform_int_distribution<int> cm(0, 400);
    Array<Point> whole;
    for (int i = 0; i < 3000; ++i)
        whole.push_back(Point(static_cast<float>(512.0 + 0.01 * cm(gen)), static_cast<float>(0.01 * cm(gen)),
                              static_cast<float>(0.02 * (cm(gen) % 5))));
    for (int i = 0; i < 400; ++i) whole.push_back(Point(0.05 * (i % 20) + 513.0, 0.05 * (i / 20), 0.5));
    const std::size_t n = whole.size();
    KDTree big;
    Array<Point> copy = whole;
    big.build(copy);
    std::vector<int> lists(n * 15);
    std::vector<std::uint8_t> separated(n);
    big.queryAll(15, lists.data(), separated.data(), nullptr);

    // A strip dropped, the rest reversed.
    std::vector<std::size_t> kept;
    for (std::size_t i = n; i-- > 0;)
        if (whole[i].y > 1.5 || whole[i].y < 1.0) kept.push_back(i);
    std::vector<int> renumbered(n, -1);
    Array<Point> part;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        renumbered[kept[j]] = static_cast<int>(j);
        part.push_back(whole[kept[j]]);
    }
    KDTree small;
    small.build(part);
    int confirmed = 0, refused = 0;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::size_t i = kept[j];
        if (!separated[i]) continue;
        std::vector<int> list(15);
        bool complete = true;
        for (std::size_t k = 0; k < 15; ++k) {
            list[k] = renumbered[static_cast<std::size_t>(lists[i * 15 + k])];
            complete = complete && list[k] >= 0;
        }
        if (!complete) continue;
        if (small.confirms(small.point(j), list.data(), 15)) {
            ++confirmed;
            ASSERT_EQ(list, literalQuery(small, small.point(j), 15)) << "point " << j;
        } else {
            ++refused;
        }
    }
    EXPECT_GT(confirmed, 100);
    EXPECT_LT(refused, confirmed);
}

TEST(KDTree, fewer_points_than_k_leave_minus_one_slots)
{
    Array<Point> pts;
    for (int i = 0; i < 4; ++i) pts.push_back(Point(i, 0, 0));
    KDTree tree;
    tree.build(pts);
    const Array<int> got = tree.query(Point(2.9, 0, 0), 15);
    EXPECT_EQ(got[0], 3);
    EXPECT_EQ(got[1], 2);
    EXPECT_EQ(got[2], 1);
    EXPECT_EQ(got[3], 0);
    for (int s = 4; s < 15; ++s) EXPECT_EQ(got[s], -1);

    KDTree empty;
    Array<Point> none;
    empty.build(none);
    const Array<int> nothing = empty.query(Point(0, 0, 0), 3);
    EXPECT_EQ(nothing[0], -1);
    EXPECT_EQ(nothing[2], -1);
}

TEST(KDTree, points_at_infinity_fill_no_slot_and_no_list_reads_one)
{
    // Neighbouring index slots bound each other's searches: a list with -1
    // slots must not be read as points.
    Array<Point> pts;
    const double inf = HUGE_VAL;
    for (int i = 0; i < 40; ++i) pts.push_back(Point(0.1 * i, 0.05 * (i % 3), 0));
    for (int i = 0; i < 20; ++i) pts.push_back(Point(i % 2 ? inf : -inf, 0.1 * i, i % 3 ? inf : 0));
    const std::size_t n = pts.size();
    const int k = 15;
    KDTree tree;
    tree.build(pts);
    std::vector<int> lists(n * k, -2);
    std::vector<std::uint8_t> separated(n, 7);
    tree.queryAll(k, lists.data(), separated.data());
    for (std::size_t i = 0; i < n; ++i) {
        const bool finite = i < 40;
        for (int s = 0; s < k; ++s) {
            const int j = lists[i * k + static_cast<std::size_t>(s)];
            if (finite) {
                EXPECT_TRUE(j >= 0 && j < 40) << i << " slot " << s;  // finite points never reach infinite ones
            } else {
                EXPECT_EQ(j, -1) << i << " slot " << s;  // every distance from infinity is infinite
            }
        }
        EXPECT_LE(separated[i], 1);
        EXPECT_FALSE(tree.confirms(tree.point(i), lists.data() + i * k, k) && !finite);
    }
}

TEST(KDTree, partition_and_split_follow_the_two_sweep_scheme)
{
    // Eleven points on the x axis: one split at cut 5, lim1 = 4, lim2 = 7,
    // split index min(lim2, 11 / 2) = 5. The index order is what the two
    // sweeps leave.
    const double xs[] = {5, 1, 9, 5, 3, 7, 5, 0, 10, 2, 8};
    Array<Point> pts;
    for (double x : xs) pts.push_back(Point(x, 0, 0));
    KDTree tree;
    tree.build(pts);
    const int expected[] = {9, 1, 7, 4, 3, 0, 6, 2, 8, 5, 10};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(tree.indices()[static_cast<std::size_t>(i)], expected[i]) << i;
    const KDTree::Node* root = tree.root();
    ASSERT_FALSE(KDTree::isLeaf(root));
    EXPECT_EQ(root->axis, 0);
    EXPECT_EQ(root->divlow, 5.0);
    EXPECT_EQ(root->divhigh, 5.0);
    EXPECT_EQ(KDTree::leftOf(root)->end, 5);

    // Query on the cut: the right side is searched first, so the two copies
    // of x = 5 in the right leaf come before the one in the left leaf, and
    // a full list does not take a further point at its worst distance.
    int got[3];
    tree.query(Point(5, 0, 0), 3, got);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[1], 6);
    EXPECT_EQ(got[2], 3);
    tree.query(Point(5, 0, 0), 2, got);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[1], 6);
}

TEST(KDTree, identical_points_split_in_halves)
{
    Array<Point> pts(40, Point(1, 1, 1));
    KDTree tree;
    tree.build(pts);
    // No spread anywhere: every range is halved, 40 -> 20 -> 10.
    std::vector<int> leafSizes;
    std::vector<const KDTree::Node*> stack{tree.root()};
    while (!stack.empty()) {
        const KDTree::Node* node = stack.back();
        stack.pop_back();
        if (KDTree::isLeaf(node)) {
            leafSizes.push_back(node->end - node->begin);
        } else {
            stack.push_back(tree.rightOf(node));
            stack.push_back(KDTree::leftOf(node));
        }
    }
    EXPECT_EQ(leafSizes, std::vector<int>({10, 10, 10, 10}));
    int got[15];
    tree.query(Point(1, 1, 1), 15, got);
    for (int s = 0; s < 15; ++s) EXPECT_GE(got[s], 0);
}

TEST(KDTree, rebuilding_over_an_empty_array_hands_the_points_back)
{
    Array<Point> pts;
    pts.push_back(Point(1, 2, 3));
    KDTree tree;
    tree.build(pts);
    EXPECT_TRUE(pts.empty());
    Array<Point> none;
    tree.build(none);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].z, 3.0);
}

TEST(KDTree, a_block_of_slots_gets_the_lists_and_marks_of_the_whole_search_side_by_side)
{
    std::mt19937 gen(8);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Array<Point> pts;
    for (int i = 0; i < 500; ++i) pts.push_back(Point(u(gen), u(gen), 0.1 * u(gen)));
    KDTree tree;
    tree.build(pts);
    const std::size_t n = tree.size();
    std::vector<std::uint8_t> known(n, 0);
    for (std::size_t i = 0; i < n; i += 4) known[i] = 1;
    std::vector<int> lists(n * 15, -2);
    std::vector<std::uint8_t> separated(n, 9);
    tree.querySlots(100, 300, 15, lists.data(), separated.data(), known.data());
    std::vector<int> block(200 * 15, -2);
    std::vector<std::uint8_t> blockSeparated(n, 9);
    tree.queryBlock(100, 300, 15, block.data(), blockSeparated.data(), known.data());
    EXPECT_EQ(blockSeparated, separated);
    for (std::size_t s = 100; s < 300; ++s) {
        const std::size_t i = static_cast<std::size_t>(tree.indices()[s]);
        EXPECT_EQ(std::vector<int>(block.begin() + static_cast<std::ptrdiff_t>((s - 100) * 15),
                                   block.begin() + static_cast<std::ptrdiff_t>((s - 100) * 15 + 15)),
                  std::vector<int>(lists.begin() + static_cast<std::ptrdiff_t>(i * 15), lists.begin() + static_cast<std::ptrdiff_t>(i * 15 + 15)))
            << "slot " << s;
    }
}

TEST(KDTree, points_handed_back_as_floats_are_the_given_ones_in_their_order)
{
    std::mt19937 gen(9);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    std::vector<Point> given;
    Array<Point> pts;
    for (int i = 0; i < 300; ++i) {
        given.push_back(Point(u(gen), u(gen), u(gen)));
        pts.push_back(given.back());
    }
    KDTree tree;
    tree.build(pts);
    Array<cl::Point3D<float>> back;
    tree.handBackAsFloats(back);
    EXPECT_EQ(tree.size(), 0u);
    ASSERT_EQ(back.size(), given.size());
    for (std::size_t i = 0; i < given.size(); ++i) {
        EXPECT_EQ(static_cast<double>(back[i].x), given[i].x) << i;
        EXPECT_EQ(static_cast<double>(back[i].y), given[i].y) << i;
        EXPECT_EQ(static_cast<double>(back[i].z), given[i].z) << i;
    }
}

TEST(Octree, unit_grid_has_depth_one_and_reports_repeated_cells)
{
    cl::Octree<bool> tree(1, 1, 1);
    EXPECT_EQ(tree.depth(), 1);
    bool inserted = false;
    tree.insert(0, 0, 0, true, inserted);
    EXPECT_TRUE(inserted);
    tree.insert(0, 0, 0, true, inserted);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(tree.leafCount(), 1u);
}

TEST(Octree, distinct_cells_are_counted_once)
{
    cl::Octree<bool> tree(37, 5, 64);
    EXPECT_EQ(tree.depth(), 7);
    std::mt19937 gen(3);
    std::vector<int> seen(37 * 5 * 64, 0);
    std::size_t distinct = 0;
    for (int i = 0; i < 5000; ++i) {
        const int x = static_cast<int>(gen() % 37), y = static_cast<int>(gen() % 5), z = static_cast<int>(gen() % 64);
        bool inserted;
        tree.insert(x, y, z, true, inserted);
        const bool fresh = seen[static_cast<std::size_t>((x * 5 + y) * 64 + z)]++ == 0;
        EXPECT_EQ(inserted, fresh);
        distinct += fresh ? 1 : 0;
    }
    EXPECT_EQ(tree.leafCount(), distinct);
}

TEST(Array, grows_by_the_fixed_rule)
{
    EXPECT_EQ(cl::grownCapacity(0), 16u);
    EXPECT_EQ(cl::grownCapacity(16), 32u);
    EXPECT_EQ(cl::grownCapacity(2048), 4096u);
    EXPECT_EQ(cl::grownCapacity(4096), 6144u);
    EXPECT_EQ(cl::grownCapacity(100001), 150002u);
    EXPECT_EQ(cl::grownCapacity(131072), 262144u);
    cl::Array<int> a;
    for (int i = 0; i < 17; ++i) a.push_back(i);
    EXPECT_EQ(a.capacity(), 32u);
}

}  // namespace
