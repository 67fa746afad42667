// The supervoxel clustering of one cloud: normals, occupied cells, the
// neighbour-list search (grid first, then the tree), and the cut that hands
// points, lists and target to the fusion (fusion.h).
#include "supervoxel/clustering.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/fusion.h"
#include "supervoxel/neighbour_grid.h"
#include "supervoxel/packed_lists.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {

cl::Vector3D<double> estimateNormal(const cl::Point3D<double>* points, std::size_t count)
{
    // Plain sums in list order, each scaled by one reciprocal: the order is
    // part of the result's last bits.
    const double inv = 1.0 / static_cast<double>(count);
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sx += points[i].x;
        sy += points[i].y;
        sz += points[i].z;
    }
    const double cx = sx * inv, cy = sy * inv, cz = sz * inv;

    double s11 = 0.0, s12 = 0.0, s13 = 0.0, s22 = 0.0, s23 = 0.0, s33 = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = points[i].x - cx;
        const double dy = points[i].y - cy;
        const double dz = points[i].z - cz;
        s11 += dx * dx;
        s12 += dx * dy;
        s13 += dx * dz;
        s22 += dy * dy;
        s23 += dy * dz;
        s33 += dz * dz;
    }
    const double m11 = s11 * inv, m12 = s12 * inv, m13 = s13 * inv;
    const double m22 = s22 * inv, m23 = s23 * inv, m33 = s33 * inv;

    // Smallest eigenvalue of a symmetric 3x3 matrix by the trigonometric
    // method (Smith 1961).
    const double q = (m22 + m11 + m33) / 3;
    const double b11 = m11 - q, b22 = m22 - q, b33 = m33 - q;
    const double h = std::sqrt((b11 * b11 + b22 * b22 + b33 * b33 + 2 * (m12 * m12 + m13 * m13 + m23 * m23)) / 6);
    const double det = b11 * (b22 * b33 - m23 * m23) - m12 * (m12 * b33 - m23 * m13) + m13 * (m12 * m23 - b22 * m13);
    const double x = det * std::pow(1 / h, 3.0) * 0.5;
    double phi;
    if (x <= -1)
        phi = 1.0471975511965976;
    else if (x >= 1)
        phi = 0;
    else
        phi = std::acos(x) / 3;
    const double lambda = q + 2 * h * std::cos(phi + 2.0943951023931953);

    // The cross product of the first two rows of M - lambda I is orthogonal
    // to both, hence along the eigenvector of lambda.
    const double nx = m12 * m23 - m13 * (m22 - lambda);
    const double ny = m13 * m12 - (m11 - lambda) * m23;
    const double nz = (m11 - lambda) * (m22 - lambda) - m12 * m12;
    const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (length == 0) return cl::Vector3D<double>(0, 0, 1);
    return cl::Vector3D<double>(nx / length, ny / length, nz / length);
}

namespace {

// Points per task of the occupied-cell count.
constexpr std::size_t kCellBlock = 16384;

// Lowest and highest coordinates of the points given by position, block by
// block and the blocks taken in order, with the strict comparisons of one
// scan: the same values as that scan.
template <typename PointAt>
void cloudBounds(std::size_t n, const PointAt& pointAt, double lo[3], double hi[3])
{
    struct Box {
        double lo[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
        double hi[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    };
    std::vector<Box> boxes((n + kCellBlock - 1) / kCellBlock);
    parallelFor(boxes.size(), 1, [&](std::size_t b) {
        Box& box = boxes[b];
        for (std::size_t k = b * kCellBlock; k < std::min(n, (b + 1) * kCellBlock); ++k) {
            const cl::Point3D<double>& p = pointAt(k);
            for (int a = 0; a < 3; ++a) {
                const double v = p[a];
                if (v < box.lo[a]) box.lo[a] = v;
                if (v > box.hi[a]) box.hi[a] = v;
            }
        }
    });
    const Box whole;
    std::copy(whole.lo, whole.lo + 3, lo);
    std::copy(whole.hi, whole.hi + 3, hi);
    for (const Box& box : boxes) {
        for (int a = 0; a < 3; ++a) {
            if (box.lo[a] < lo[a]) lo[a] = box.lo[a];
            if (box.hi[a] > hi[a]) hi[a] = box.hi[a];
        }
    }
}

inline std::uint64_t hashOf(std::uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }

inline std::uint64_t hashOf(const std::array<double, 3>& key)
{
    std::uint64_t bits[3];
    std::memcpy(bits, key.data(), sizeof(bits));
    return hashOf(bits[0] ^ hashOf(bits[1] ^ hashOf(bits[2])));
}

// The number of distinct values among keyAt(0) ... keyAt(n - 1), whose bits
// are equal exactly when the values are. Equal keys share one of a fixed
// number of buckets, chosen by a hash of their bits, so each bucket is
// sorted and counted on its own, at the same time as the others.
template <typename Key, typename KeyAt>
int countDistinct(std::size_t n, const KeyAt& keyAt)
{
    int bits = 0;
    while (bits < 10 && (std::size_t(4096) << bits) < n) ++bits;
    const std::size_t buckets = std::size_t(1) << bits;
    auto bucketOf = [bits](const Key& key) {
        return bits == 0 ? std::size_t(0) : static_cast<std::size_t>(hashOf(key) >> (64 - bits));
    };
    const std::size_t blocks = (n + kCellBlock - 1) / kCellBlock;
    auto blockEnd = [n](std::size_t b) { return std::min(n, (b + 1) * kCellBlock); };

    // Keys in point order, and per block the number in each bucket.
    // Fresh on every cut and touched from every thread: on small pages the
    // faults took as long as the count.
    std::vector<Key> keys;
    resizeOnPopulatedPages(keys, n);
    std::vector<std::size_t> place(blocks * buckets, 0);
    parallelFor(blocks, 1, [&](std::size_t b) {
        std::size_t* counted = place.data() + b * buckets;
        for (std::size_t k = b * kCellBlock; k < blockEnd(b); ++k) {
            keys[k] = keyAt(k);
            ++counted[bucketOf(keys[k])];
        }
    });
    // Bucket after bucket, each block's keys of the bucket after those of
    // the blocks before.
    std::vector<std::size_t> bucketStart(buckets + 1);
    std::size_t at = 0;
    for (std::size_t c = 0; c < buckets; ++c) {
        bucketStart[c] = at;
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t count = place[b * buckets + c];
            place[b * buckets + c] = at;
            at += count;
        }
    }
    bucketStart[buckets] = at;
    std::vector<Key> byBucket;
    resizeOnPopulatedPages(byBucket, n);
    parallelFor(blocks, 1, [&](std::size_t b) {
        std::size_t* next = place.data() + b * buckets;
        for (std::size_t k = b * kCellBlock; k < blockEnd(b); ++k) byBucket[next[bucketOf(keys[k])]++] = keys[k];
    });
    std::vector<Key>().swap(keys);
    std::vector<int> distinct(buckets);
    parallelFor(buckets, 1, [&](std::size_t c) {
        const auto first = byBucket.begin() + static_cast<std::ptrdiff_t>(bucketStart[c]);
        const auto last = byBucket.begin() + static_cast<std::ptrdiff_t>(bucketStart[c + 1]);
        std::sort(first, last);
        distinct[c] = static_cast<int>(std::unique(first, last) - first);
    });
    int total = 0;
    for (int count : distinct) total += count;
    return total;
}

// The occupied cells of points given by position (`pointAt(k)` for k < n).
template <typename PointAt>
int countOccupiedCells(std::size_t n, double r, PointAt pointAt)
{
    double lo[3];
    double hi[3];
    cloudBounds(n, pointAt, lo, hi);
    // Grid sizes and cell numbers stay in double: a few points far from the
    // rest make grids of more cells than an int can number, yet the count of
    // distinct occupied cells never exceeds the number of points.
    double last[3];
    for (int a = 0; a < 3; ++a) {
        last[a] = lo[a] > hi[a] ? 0.0 : std::trunc((hi[a] - lo[a]) / r + 1.0) - 1.0;
        if (!(last[a] > 0.0)) last[a] = 0.0;
    }

    // Never -0 nor NaN: equal cell numbers have equal bits.
    auto cellOf = [&](const cl::Point3D<double>& p, int a) {
        double c = std::trunc((p[a] - lo[a]) / r);
        if (!(c > 0.0)) c = 0.0;
        if (c > last[a]) c = last[a];
        return c;
    };
    // Grids of up to 2^21 cells a side number their cells in one word.
    constexpr double kSide = 2097152.0;
    if (last[0] < kSide && last[1] < kSide && last[2] < kSide) {
        return countDistinct<std::uint64_t>(n, [&](std::size_t k) {
            const cl::Point3D<double>& p = pointAt(k);
            return static_cast<std::uint64_t>(cellOf(p, 2)) << 42 | static_cast<std::uint64_t>(cellOf(p, 1)) << 21 |
                   static_cast<std::uint64_t>(cellOf(p, 0));
        });
    }
    return countDistinct<std::array<double, 3>>(n, [&](std::size_t k) {
        const cl::Point3D<double>& p = pointAt(k);
        return std::array<double, 3>{cellOf(p, 0), cellOf(p, 1), cellOf(p, 2)};
    });
}

}  // namespace

int countOccupiedVoxels(const cl::Array<cl::tag_PointWithNormal>& points, double r)
{
    return countOccupiedCells(points.size(), r, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k].point; });
}

double supervoxelDistance(const cl::tag_PointWithNormal& a, const cl::tag_PointWithNormal& b, double r)
{
    const double dot = a.normal.x * b.normal.x + a.normal.y * b.normal.y + a.normal.z * b.normal.z;
    const double dx = a.point.x - b.point.x;
    const double dy = a.point.y - b.point.y;
    const double dz = a.point.z - b.point.z;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    return 1 - std::fabs(dot) + length / r * 0.4;
}

void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    auto merge = [&](auto& records) {
        records.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            detail::setCoordinates(records[i], points[i].point);
            detail::setNormal(records[i], points[i].normal);
        }
        detail::mergePrepared(records, detail::packLists(neighbours.data(), points.size()), target, r, labels, supervoxels);
    };
    if (detail::allFloatCoordinates(points.size(), [&](std::size_t i) -> const cl::Point3D<double>& { return points[i].point; })) {
        std::vector<detail::FloatFusionPoint> records;
        merge(records);
    } else {
        std::vector<detail::FusionPoint> records;
        merge(records);
    }
}

namespace {

// Slots per search task. A search starts afresh at the start of each block,
// and the marks depend on where it starts: the blocks are the same for any
// number of threads, and so is every mark.
constexpr std::size_t kSlotBlock = 4096;

// Which points the tree need not search: those `known`, and those whose lists
// the grid decides, handed to `take` (from the grid's task numbered `task`).
// A decided list is separated: the grid proves its points nearer than any
// other, at distinct distances.
cl::Array<std::uint8_t> listsFromGridFirst(const cl::KDTree& tree, std::uint8_t* separated, const std::uint8_t* known,
                                           const detail::Cells& cells, const detail::ListSink& take)
{
    const std::size_t n = tree.size();
    cl::Array<std::uint8_t> skip;
    resizeOnPopulatedPages(skip, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) { skip[i] = known != nullptr && known[i] ? 1 : 0; });
    detail::listsFromGrid(tree, cells, kNeighbourCount, skip.data(), [&](std::size_t task, std::size_t i, const int* list) {
        take(task, i, list);
        if (separated != nullptr) separated[i] = 1;
    });
    return skip;
}

// The neighbour lists of the tree's points not `known`, and with `separated`
// their separation marks.
void searchNeighbourhoods(const cl::KDTree& tree, Neighbourhoods& hood, std::uint8_t* separated, const std::uint8_t* known)
{
    const std::size_t n = tree.indices().size();
    const cl::Array<std::uint8_t> skip =
        listsFromGridFirst(tree, separated, known, detail::cellsOfTree(tree, kNeighbourCount),
                           [&](std::size_t, std::size_t i, const int* list) {
                               std::copy_n(list, kNeighbourCount, hood.lists.data() + i * kNeighbourCount);
                           });
    parallelFor((n + kSlotBlock - 1) / kSlotBlock, 1, [&](std::size_t block) {
        tree.querySlots(block * kSlotBlock, (block + 1) * kSlotBlock, kNeighbourCount, hood.lists.data(), separated,
                        skip.data());
    });
}

// The same search with every list written packed as soon as it is found (a
// `known` one taken from `hood.lists`), so that the lists never take their
// whole room. The far lists are numbered as found: the grid's tasks', then
// block after block of the tree's search.
detail::PackedLists searchPacked(const cl::KDTree& tree, const Neighbourhoods& hood, std::uint8_t* separated,
                         const std::uint8_t* known)
{
    const std::size_t n = tree.indices().size();
    const int* slots = tree.indices().data();
    struct FarLists {
        std::vector<std::uint32_t> points;
        std::vector<int> lists;
    };
    // The grid's cells are sorted before the lists take their room.
    detail::Cells cells = detail::cellsOfTree(tree, kNeighbourCount);
    detail::PackedLists packed;
    packed.reserve(n);
    const std::size_t gridTasks = detail::gridTasks(cells);
    std::vector<FarLists> far(gridTasks + (n + kSlotBlock - 1) / kSlotBlock);
    auto pack = [&](std::size_t task, std::size_t i, const int* list) {
        if (detail::packList(list, i, packed.offsets(i))) return;
        far[task].points.push_back(static_cast<std::uint32_t>(i));
        far[task].lists.insert(far[task].lists.end(), list, list + kNeighbourCount);
    };
    const cl::Array<std::uint8_t> skip = listsFromGridFirst(tree, separated, known, cells, pack);
    cells = detail::Cells();
    parallelFor(far.size() - gridTasks, 1, [&](std::size_t block) {
        const std::size_t begin = block * kSlotBlock, end = std::min(n, begin + kSlotBlock);
        std::vector<int> found((end - begin) * kNeighbourCount);
        for (std::size_t s = begin; known != nullptr && s < end; ++s) {
            const std::size_t i = static_cast<std::size_t>(slots[s]);
            if (known[i])
                std::copy_n(hood.lists.data() + i * kNeighbourCount, kNeighbourCount, found.data() + (s - begin) * kNeighbourCount);
        }
        tree.queryBlock(begin, end, kNeighbourCount, found.data(), separated, skip.data());
        for (std::size_t s = begin; s < end; ++s) {
            const std::size_t i = static_cast<std::size_t>(slots[s]);
            const bool fromGrid = skip[i] && !(known != nullptr && known[i]);
            if (!fromGrid) pack(gridTasks + block, i, found.data() + (s - begin) * kNeighbourCount);
        }
    });
    std::size_t farCount = 0;
    for (const FarLists& b : far) farCount += b.points.size();
    packed.far.reserve(farCount * kNeighbourCount);
    std::size_t e = 0;
    for (FarLists& b : far) {
        for (std::uint32_t i : b.points) detail::markFar(packed.offsets(i), e++);
        packed.far.insert(packed.far.end(), b.lists.begin(), b.lists.end());
        b = FarLists();
    }
    return packed;
}

// What a cut hands its fusion besides the points and neighbourhoods.
struct CutInput {
    double r;
    int target;
    bool reuse;                            // lists taken over: `known` marks those with a normal in hand
    cl::Array<std::uint8_t>& known;
    bool keepNormals;                      // a normal per point to the neighbourhoods on return
    cl::Array<cl::Point3D<float>>* rounded;  // the coordinates as floats on return, when given
};

// The fusion keeps each point's coordinates and normal in its own record:
// the coordinates move there first, so that the separate copy is gone
// before the normals are made from the records' coordinates. Lists found
// packed are written out whole to `hood.lists` once the records are gone
// (every entry below 0 as -1, as the search writes it).
template <typename Record, typename Coordinates>
void fuseAndRefine(std::vector<Record>& records, Coordinates& points, Neighbourhoods& hood, detail::PackedLists& packed,
                   const CutInput& in, cl::Array<int>& labels, cl::Array<int>& supervoxels)
{
    const std::size_t n = points.size();
    resizeOnPopulatedPages(records, n);
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        detail::setCoordinates(records[i], cl::Point3D<double>(points[i].x, points[i].y, points[i].z));
    });
    Coordinates().swap(points);
    const Record* stored = records.data();
    parallelFor(n, kPointGrain, [&](std::size_t i) {
        if (in.reuse && in.known[i]) {
            detail::setNormal(records[i], hood.normals[i]);
            return;
        }
        int buffer[kNeighbourCount];
        const int* list = detail::unpackList(packed, i, buffer);
        cl::Point3D<double> found[kNeighbourCount];
        std::size_t m = 0;
        for (int k = 0; k < kNeighbourCount && list[k] >= 0; ++k) found[m++] = detail::coordinatesOf(stored[list[k]]);
        detail::setNormal(records[i], estimateNormal(found, m));
    });
    cl::Array<std::uint8_t>().swap(in.known);
    cl::Array<cl::Vector3D<double>>().swap(hood.normals);
    detail::mergePrepared(records, packed, in.target, in.r, labels, supervoxels);
    if (in.keepNormals) {
        resizeOnPopulatedPages(hood.normals, n);
        for (std::size_t i = 0; i < n; ++i) {
            const Record& p = records[i];
            hood.normals[i] = cl::Vector3D<double>(p.nx, p.ny, p.nz);
        }
    }
    if (in.rounded != nullptr) {
        resizeOnPopulatedPages(*in.rounded, n);
        parallelFor(n, kPointGrain, [&](std::size_t i) {
            const Record& p = records[i];
            (*in.rounded)[i] = cl::Point3D<float>(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
        });
    }
    std::vector<Record>().swap(records);
    if (packed.plain != nullptr) return;
    detail::writeOutInPlace(packed, n);
    hood.lists.swap(packed.room);
}

}  // namespace

Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept,
                                   const PointSource& pointAt)
{
    std::vector<int> renumbered(hoods.separated.size(), -1);
    for (std::size_t j = 0; j < kept.size(); ++j) renumbered[kept[j]] = static_cast<int>(j);
    Neighbourhoods next;
    resizeOnPopulatedPages(next.lists, kept.size() * kNeighbourCount);
    resizeOnPopulatedPages(next.normals, kept.size());
    resizeOnPopulatedPages(next.separated, kept.size());
    const bool withNormals = hoods.normals.size() == hoods.separated.size();
    parallelFor(kept.size(), kPointGrain, [&](std::size_t j) {
        const std::size_t i = kept[j];
        bool whole = hoods.separated[i] != 0;
        for (std::size_t k = 0; whole && k < static_cast<std::size_t>(kNeighbourCount); ++k) {
            const int from = hoods.lists[i * kNeighbourCount + k];
            const int to = from >= 0 ? renumbered[static_cast<std::size_t>(from)] : -1;
            next.lists[j * kNeighbourCount + k] = to;
            whole = to >= 0;
        }
        next.separated[j] = whole ? 1 : 0;
        if (!whole) return;
        if (withNormals) {
            next.normals[j] = hoods.normals[i];
            return;
        }
        // Made from the list as the clustering makes it: the same points in
        // the same order give the same bits.
        cl::Point3D<double> found[kNeighbourCount];
        for (std::size_t k = 0; k < static_cast<std::size_t>(kNeighbourCount); ++k)
            found[k] = pointAt(static_cast<std::size_t>(hoods.lists[i * kNeighbourCount + k]));
        next.normals[j] = estimateNormal(found, kNeighbourCount);
    });
    return next;
}

bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels, Neighbourhoods* carried, bool keepNormals,
                        cl::Array<cl::Point3D<float>>* rounded)
{
    const std::size_t n = points.size();
    Neighbourhoods local;
    Neighbourhoods& hood = carried != nullptr ? *carried : local;
    const bool reuse = hood.separated.size() == n && hood.lists.size() == n * kNeighbourCount && hood.normals.size() == n;
    // Calls that remember run again and again on small leftovers, where
    // packing costs time and the room it saves sets no peak.
    const bool pack = !keepNormals;
    const bool floats = detail::allFloatCoordinates(n, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k]; });
    // Taken-over lists need no search and no normal.
    cl::Array<std::uint8_t> known;
    detail::PackedLists packed;
    cl::Array<cl::Point3D<float>> narrowed;
    {
        cl::KDTree tree(parallelRanges);
        tree.build(points);
        // The lists take their room once the tree's building is done.
        if (!reuse) {
            if (!pack) resizeOnPopulatedPages(hood.lists, n * kNeighbourCount);
            resizeOnPopulatedPages(hood.separated, n);
        } else {
            known.resize(n);
            parallelFor(n, kPointGrain, [&](std::size_t i) {
                known[i] = hood.separated[i] && tree.confirms(tree.point(i), hood.lists.data() + i * kNeighbourCount, kNeighbourCount);
            });
        }
        std::uint8_t* separated = carried != nullptr ? hood.separated.data() : nullptr;
        if (pack) {
            packed = searchPacked(tree, hood, separated, reuse ? known.data() : nullptr);
            cl::Array<int>().swap(hood.lists);
        } else {
            searchNeighbourhoods(tree, hood, separated, reuse ? known.data() : nullptr);
            packed.plain = hood.lists.data();
        }
        // The tree hands the points back and frees the rest before the
        // normals and the fusion take their room; float coordinates come
        // back as floats, in half the room beside the fusion's records.
        if (floats)
            tree.handBackAsFloats(narrowed);
        else
            tree.build(points);
    }
    const int target = floats ? countOccupiedCells(n, r, [&](std::size_t k) {
        return cl::Point3D<double>(narrowed[k].x, narrowed[k].y, narrowed[k].z);
    })
                              : countOccupiedCells(n, r, [&](std::size_t k) -> const cl::Point3D<double>& { return points[k]; });
    const CutInput input{r, target, reuse, known, carried != nullptr && keepNormals, rounded};
    if (floats) {
        std::vector<detail::FloatFusionPoint> records;
        fuseAndRefine(records, narrowed, hood, packed, input, labels, supervoxels);
    } else {
        std::vector<detail::FusionPoint> records;
        fuseAndRefine(records, points, hood, packed, input, labels, supervoxels);
    }
    return true;
}

}  // namespace vela
