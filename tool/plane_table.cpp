#include "plane_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "atomic_file.h"
#include "convex_hull.h"
#include "thread_arena.h"

namespace velaseg {
namespace {

// A least-squares plane: the centroid and the eigenvectors of the
// covariance about it, eigenvalues ascending (the normal first).
struct Fit {
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();
};

// The fit of the points `kept` marks. The centroid is summed as offsets from
// the first point, so that map coordinates keep their millimetres.
Fit fitOf(const std::vector<VELA::SVPoint3d>& points, const std::vector<char>& kept)
{
    const Eigen::Vector3d origin(points[0].x, points[0].y, points[0].z);
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    std::size_t n = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!kept[i]) continue;
        sum += Eigen::Vector3d(points[i].x, points[i].y, points[i].z) - origin;
        ++n;
    }
    Fit fit;
    fit.centre = origin + sum / static_cast<double>(n);
    Eigen::Matrix3d covariance = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!kept[i]) continue;
        const Eigen::Vector3d q = Eigen::Vector3d(points[i].x, points[i].y, points[i].z) - fit.centre;
        covariance += q * q.transpose();
    }
    fit.axes = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(covariance / static_cast<double>(n)).eigenvectors();
    return fit;
}

double distanceTo(const Fit& fit, const VELA::SVPoint3d& p)
{
    return std::fabs(fit.axes.col(0).dot(Eigen::Vector3d(p.x, p.y, p.z) - fit.centre));
}

// The segmentation hands a plane some points of its neighbours along shared
// edges, centimetres off it, enough to tilt a plain fit by a tenth of a degree
// and move it by a centimetre. Round by round, points beyond three times the
// RMS distance of those kept are left out and the rest refitted; the noise of
// a plane's own points never reaches that far.
Fit robustFit(const std::vector<VELA::SVPoint3d>& points, std::size_t& used)
{
    constexpr int kMaxRounds = 10;
    std::vector<char> kept(points.size(), 1);
    used = points.size();
    Fit fit = fitOf(points, kept);
    for (int round = 0; round < kMaxRounds; ++round) {
        std::vector<double> distances(points.size(), 0.0);
        double squares = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!kept[i]) continue;
            distances[i] = distanceTo(fit, points[i]);
            squares += distances[i] * distances[i];
        }
        const double limit = 3.0 * std::sqrt(squares / static_cast<double>(used));
        std::vector<char> next(points.size(), 0);
        std::size_t count = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!kept[i] || distances[i] > limit) continue;
            next[i] = 1;
            ++count;
        }
        if (count == used || count < 3) break;
        kept.swap(next);
        used = count;
        fit = fitOf(points, kept);
    }
    return fit;
}

// One orientation for every run: the largest component positive.
Eigen::Vector3d oriented(Eigen::Vector3d normal)
{
    Eigen::Index largest = 0;
    normal.cwiseAbs().maxCoeff(&largest);
    return normal[largest] < 0.0 ? Eigen::Vector3d(-normal) : normal;
}

std::string number(double v)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);  // shortest exact form
}

std::string csvOf(const std::vector<PlaneRecord>& records)
{
    std::string text =
        "id,red,green,blue,points,fit_points,a,b,c,d,centroid_x,centroid_y,centroid_z,rms_distance,max_distance,"
        "min_x,min_y,min_z,max_x,max_y,max_z,hull_area\n";
    for (const PlaneRecord& r : records) {
        text += std::to_string(r.id);
        for (std::uint8_t channel : r.colour) text += "," + std::to_string(channel);
        text += "," + std::to_string(r.points) + "," + std::to_string(r.fitPoints);
        for (double v : {r.a, r.b, r.c, r.d, r.centroid[0], r.centroid[1], r.centroid[2], r.rmsDistance,
                         r.maxDistance, r.low[0], r.low[1], r.low[2], r.high[0], r.high[1], r.high[2], r.hullArea})
            text += "," + number(v);
        text += '\n';
    }
    return text;
}

// One plane per line: a table that both people and programs read.
std::string jsonOf(const std::string& inputFile, const std::vector<PlaneRecord>& records)
{
    // Replaced, not thrown on: a file name need not be valid UTF-8.
    const auto dump = [](const nlohmann::ordered_json& value) {
        return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    };
    std::string text = "{\n  \"input\": " + dump(inputFile) + ",\n  \"planes\": [";
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PlaneRecord& r = records[i];
        nlohmann::ordered_json plane;
        plane["id"] = r.id;
        plane["colour"] = {r.colour[0], r.colour[1], r.colour[2]};
        plane["points"] = r.points;
        plane["fit_points"] = r.fitPoints;
        plane["plane"] = {{"a", r.a}, {"b", r.b}, {"c", r.c}, {"d", r.d}};
        plane["centroid"] = {r.centroid[0], r.centroid[1], r.centroid[2]};
        plane["rms_distance"] = r.rmsDistance;
        plane["max_distance"] = r.maxDistance;
        plane["bounds"] = {{"min", {r.low[0], r.low[1], r.low[2]}}, {"max", {r.high[0], r.high[1], r.high[2]}}};
        plane["hull_area"] = r.hullArea;
        text += (i == 0 ? "\n    " : ",\n    ") + dump(plane);
    }
    return text + (records.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace

PlaneRecord describePlane(int id, const std::vector<VELA::SVPoint3d>& points)
{
    PlaneRecord r;
    r.id = id;
    r.points = points.size();
    if (points.empty()) return r;
    r.colour[0] = points[0].r;
    r.colour[1] = points[0].g;
    r.colour[2] = points[0].b;

    const Fit fit = robustFit(points, r.fitPoints);
    const Eigen::Vector3d normal = oriented(fit.axes.col(0));
    r.a = normal.x();
    r.b = normal.y();
    r.c = normal.z();
    r.d = -normal.dot(fit.centre);
    for (int axis = 0; axis < 3; ++axis) r.centroid[axis] = fit.centre[axis];

    // Distances, bounds and hull of all the plane's points, not only those fitted.
    double squares = 0.0;
    std::vector<Point2> projected;
    projected.reserve(points.size());
    const double first[3] = {points[0].x, points[0].y, points[0].z};
    for (int axis = 0; axis < 3; ++axis) r.low[axis] = r.high[axis] = first[axis];
    for (const VELA::SVPoint3d& p : points) {
        const double distance = distanceTo(fit, p);
        squares += distance * distance;
        r.maxDistance = std::max(r.maxDistance, distance);
        const Eigen::Vector3d q = Eigen::Vector3d(p.x, p.y, p.z) - fit.centre;
        projected.push_back(Point2{fit.axes.col(2).dot(q), fit.axes.col(1).dot(q)});
        const double c[3] = {p.x, p.y, p.z};
        for (int axis = 0; axis < 3; ++axis) {
            r.low[axis] = std::min(r.low[axis], c[axis]);
            r.high[axis] = std::max(r.high[axis], c[axis]);
        }
    }
    r.rmsDistance = std::sqrt(squares / static_cast<double>(points.size()));
    r.hullArea = convexHullArea(std::move(projected));
    return r;
}

std::vector<PlaneRecord> describePlanes(const std::vector<std::vector<VELA::SVPoint3d>>& planes)
{
    std::vector<PlaneRecord> records(planes.size());
    // Largest first, so that no large plane is left to start when the
    // others are done.
    std::vector<std::size_t> order(planes.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return planes[a].size() > planes[b].size(); });
    runInArena(std::max(1, VELA::VELA_ThreadCount()), [&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, order.size(), 1),
            [&](const tbb::blocked_range<std::size_t>& range) {
                for (std::size_t i = range.begin(); i != range.end(); ++i) {
                    const std::size_t k = order[i];
                    records[k] = describePlane(static_cast<int>(k + 1), planes[k]);
                }
            },
            tbb::simple_partitioner());
    });
    return records;
}

bool writePlaneTable(const std::string& fileName, const std::string& inputFile,
                     const std::vector<PlaneRecord>& records, std::string& error)
{
    const bool json = fileName.size() >= 5 && fileName.compare(fileName.size() - 5, 5, ".json") == 0;
    AtomicFile out(fileName);
    out.write(json ? jsonOf(inputFile, records) : csvOf(records));
    if (out.commit()) return true;
    error = out.error();
    return false;
}

}  // namespace velaseg
