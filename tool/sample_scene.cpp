#include "sample_scene.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace velaseg {
namespace {

// Sizes of one house cell, metres.
const double kCell = 24.0;        // ground square per house
const double kHalfX = 5.0;        // main body 10 x 8, walls 4 high
const double kHalfY = 4.0;
const double kEaves = 4.0;
const double kRise = 2.5;         // ridge above the eaves, along x through the centre
const double kAnnexLength = 5.0;  // annex on the +x side, 5 x 4, 2.5 high, flat roof
const double kAnnexHalfY = 2.0;
const double kAnnexHeight = 2.5;

struct Vec {
    double x, y, z;
};

Vec add(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec scale(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec unit(Vec a) { return scale(a, 1.0 / std::sqrt(dot(a, a))); }

// Uniform double in [0, 1) from two 32-bit outputs: the standard fixes
// mt19937's outputs but not its distributions, so the conversion is ours.
double uniform01(std::mt19937& rng)
{
    const std::uint64_t hi = rng() >> 5;
    const std::uint64_t lo = rng() >> 6;
    return (static_cast<double>(hi) * 67108864.0 + static_cast<double>(lo)) / 9007199254740992.0;
}

double uniformIn(std::mt19937& rng, double lo, double hi) { return lo + (hi - lo) * uniform01(rng); }

// A planar patch: origin o, unit directions u and v, extents lu x lv; `keep`
// decides whether the point at (s, t) of the patch exists.
struct Patch {
    std::string name;
    Vec o, u, v;
    double lu, lv;
};

class SceneBuilder {
public:
    SceneBuilder(const SceneOptions& options, Scene& scene)
        : opt_(options), scene_(scene), rng_(options.seed) {}

    template <typename Keep>
    void sample(const Patch& p, Keep keep)
    {
        const Vec n = unit(cross(p.u, p.v));
        ScenePlane plane;
        plane.name = p.name;
        const Vec o = add(p.o, {opt_.originX, opt_.originY, opt_.originZ});
        plane.a = n.x;
        plane.b = n.y;
        plane.c = n.z;
        plane.d = -dot(n, o);
        plane.first = scene_.points.size();
        const double s = opt_.spacing;
        const long nu = static_cast<long>(std::floor(p.lu / s));
        const long nv = static_cast<long>(std::floor(p.lv / s));
        for (long i = 0; i < nu; ++i) {
            for (long k = 0; k < nv; ++k) {
                // Jittered grid: even coverage without the ties of a perfect lattice.
                const double a = (i + 0.5 + uniformIn(rng_, -0.25, 0.25)) * s;
                const double b = (k + 0.5 + uniformIn(rng_, -0.25, 0.25)) * s;
                const double e = uniformIn(rng_, -opt_.noise, opt_.noise);
                if (!keep(a, b)) continue;
                const Vec q = add(add(add(o, scale(p.u, a)), scale(p.v, b)), scale(n, e));
                scene_.points.emplace_back(q.x, q.y, q.z);
            }
        }
        plane.count = scene_.points.size() - plane.first;
        scene_.planes.push_back(plane);
    }

    void sample(const Patch& p) { sample(p, [](double, double) { return true; }); }

private:
    const SceneOptions& opt_;
    Scene& scene_;
    std::mt19937 rng_;
};

void addHouse(SceneBuilder& b, double cx, double cy, const std::string& tag)
{
    const Vec ex{1, 0, 0}, ey{0, 1, 0}, ez{0, 0, 1};
    const double x0 = cx - kHalfX, x1 = cx + kHalfX, y0 = cy - kHalfY, y1 = cy + kHalfY;
    const double gable = kEaves + kRise;
    // Gable walls reach up to the roof line.
    auto gableKeep = [](double t, double z) {
        return z <= kEaves + kRise * (1.0 - std::fabs(t - kHalfY) / kHalfY);
    };
    b.sample({tag + "wall_x0", {x0, y1, 0}, {0, -1, 0}, ez, 2 * kHalfY, gable}, gableKeep);
    // The +x gable wall is hidden by the annex where they meet.
    b.sample({tag + "wall_x1", {x1, y0, 0}, ey, ez, 2 * kHalfY, gable}, [&](double t, double z) {
        const bool behindAnnex = std::fabs(t - kHalfY) < kAnnexHalfY && z < kAnnexHeight;
        return !behindAnnex && gableKeep(t, z);
    });
    b.sample({tag + "wall_y0", {x0, y0, 0}, ex, ez, 2 * kHalfX, kEaves});
    b.sample({tag + "wall_y1", {x1, y1, 0}, {-1, 0, 0}, ez, 2 * kHalfX, kEaves});
    const double slope = std::sqrt(kHalfY * kHalfY + kRise * kRise);
    b.sample({tag + "roof_south", {x0, y0, kEaves}, ex, unit({0, kHalfY, kRise}), 2 * kHalfX, slope});
    b.sample({tag + "roof_north", {x1, y1, kEaves}, {-1, 0, 0}, unit({0, -kHalfY, kRise}), 2 * kHalfX, slope});
    const double ax1 = x1 + kAnnexLength, ay0 = cy - kAnnexHalfY, ay1 = cy + kAnnexHalfY;
    b.sample({tag + "annex_roof", {x1, ay0, kAnnexHeight}, ex, ey, kAnnexLength, 2 * kAnnexHalfY});
    b.sample({tag + "annex_wall_x1", {ax1, ay0, 0}, ey, ez, 2 * kAnnexHalfY, kAnnexHeight});
    b.sample({tag + "annex_wall_y0", {x1, ay0, 0}, ex, ez, kAnnexLength, kAnnexHeight});
    b.sample({tag + "annex_wall_y1", {ax1, ay1, 0}, {-1, 0, 0}, ez, kAnnexLength, kAnnexHeight});
}

bool insideFootprint(double x, double y, double cx, double cy)
{
    const bool body = std::fabs(x - cx) <= kHalfX && std::fabs(y - cy) <= kHalfY;
    const bool annex = x >= cx + kHalfX && x <= cx + kHalfX + kAnnexLength && std::fabs(y - cy) <= kAnnexHalfY;
    return body || annex;
}

}  // namespace

Scene makeBuildingScene(const SceneOptions& options)
{
    Scene scene;
    scene.points.reserve(estimateBuildingPoints(options));
    SceneBuilder b(options, scene);
    const int hx = options.housesX > 0 ? options.housesX : 1;
    const int hy = options.housesY > 0 ? options.housesY : 1;
    // The house centre sits left of the cell centre so the annex fits.
    auto centreX = [](int i) { return (i + 0.5) * kCell - kAnnexLength / 2; };
    auto centreY = [](int j) { return (j + 0.5) * kCell; };
    b.sample({"ground", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, hx * kCell, hy * kCell}, [&](double x, double y) {
        const int i = static_cast<int>(x / kCell), j = static_cast<int>(y / kCell);
        return !insideFootprint(x, y, centreX(i), centreY(j));
    });
    for (int j = 0; j < hy; ++j)
        for (int i = 0; i < hx; ++i)
            addHouse(b, centreX(i), centreY(j), "house" + std::to_string(j * hx + i) + "_");
    return scene;
}

std::size_t estimateBuildingPoints(const SceneOptions& options)
{
    const double perHouseArea = kCell * kCell + 330.0;  // ground plus the house's faces
    const double houses = std::max(1, options.housesX) * std::max(1, options.housesY);
    return static_cast<std::size_t>(houses * perHouseArea / (options.spacing * options.spacing));
}

bool writeScenePcd(const std::string& path, const std::vector<VELA::SVPoint3d>& points)
{
    pcl::PointCloud<pcl::PointXYZ> cloud;
    cloud.points.reserve(points.size());
    for (const VELA::SVPoint3d& p : points)
        cloud.points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    cloud.width = static_cast<std::uint32_t>(cloud.points.size());
    cloud.height = 1;
    return pcl::io::savePCDFileBinary(path, cloud) == 0;
}

}  // namespace velaseg
