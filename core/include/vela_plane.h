// Public interface of VelaCore: plane segmentation of unorganised point clouds.
//
// A caller loads points (set_points for PCD files, or its own reader), derives
// the thresholds from the mean point spacing (get_mu, set_parameters(double)),
// optionally amends them, and runs one of the segmentation methods. Inputs are
// taken by value; output vectors are appended to and output maps assigned
// into by key, never cleared first.
//
// The geometry runs in a shifted single-precision frame: per axis, the
// multiple of 1000 of the first finite input point's coordinate (truncated
// toward zero) is subtracted before coordinates are narrowed to float (see
// vela_base_offset.h). Points with a non-finite coordinate take part in
// nothing and appear in no output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#  if defined(VELACORE_BUILD)
#    define VELACORE_API __declspec(dllexport)
#  else
#    define VELACORE_API __declspec(dllimport)
#  endif
#else
#  define VELACORE_API __attribute__((visibility("default")))
#endif

namespace VELA {

// One input or output point: full-precision coordinates and an 8-bit colour.
class SVPoint3d {
public:
    SVPoint3d() = default;
    SVPoint3d(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

// Plane a*x + b*y + c*z + d = 0; (a, b, c) is a unit normal of no fixed
// orientation. Which frame d refers to depends on the method that made it.
struct tag_PCoefficient {
    double a;
    double b;
    double c;
    double d;
};

// The eleven segmentation thresholds; defaults live in VELA_Plane.
struct tag_VELAParameter {
    double rmin;
    double rmax;
    double rdelta;
    std::int32_t kappa;
    double phic;
    double tau;
    double epsilon;
    double gamma;
    double delta;
    double phid;
    double theta;
};

// A point of an input file that takes no part in the segmentation (a
// coordinate that is not finite), with its row in the file, counted from 0.
struct tag_SkippedPoint {
    std::uint64_t row;
    SVPoint3d point;
};

// Where a segmentation call is: `stage` names the stage that starts or goes
// on ("multi-scale supervoxels", "RPS generation", "RPS optimisation",
// "region growing", "segment merging"); `level` counts the levels of a
// multi-scale cut from 1 (0 before the first), `iteration` the
// re-segmentation iterations of RPS optimisation from 1 (0 outside them).
struct tag_Progress {
    const char* stage;
    int level;
    int iteration;
};
using ProgressCallback = std::function<void(const tag_Progress& progress)>;

// Threads the library's parallel steps run on: VELASEG_THREADS when it holds
// a positive number (1: one thread; at most 256), otherwise the hardware
// threads; an unusable value is reported once on standard error. The library
// sizes its thread pool with it once, at its first parallel step. Results
// never depend on it.
VELACORE_API int VELA_ThreadCount();

class VELACORE_API VELA_Plane {
public:
    VELA_Plane();
    VELA_Plane(int kappa, double phic, double tau, double epsilon, double gamma,
               double delta, double phid, double theta);
    explicit VELA_Plane(double mu);
    // Takes every threshold from the record except delta and phid, which it
    // sets to 0: call set_parameters(para) to take them too.
    explicit VELA_Plane(tag_VELAParameter para);
    ~VELA_Plane();
    VELA_Plane& operator=(const VELA_Plane& other);
    VELA_Plane(const VELA_Plane& other) = default;

    double get_rmin() const { return rmin; }
    double get_rmax() const { return rmax; }
    double get_rdelta() const { return rdelta; }
    int get_kappa() const { return kappa; }
    double get_phic() const { return phic; }
    double get_tau() const { return tau; }
    double get_epsilon() const { return epsilon; }
    double get_gamma() const { return gamma; }
    double get_delta() const { return delta; }
    double get_phid() const { return phid; }
    double get_theta() const { return theta; }
    int get_iter() const { return iter; }
    tag_VELAParameter get_para() const;

    void set_rmin(double v) { rmin = v; }
    void set_rmax(double v) { rmax = v; }
    void set_rdelta(double v) { rdelta = v; }
    void set_kappa(int v) { kappa = v; }
    void set_phic(double v) { phic = v; }
    void set_tau(double v) { tau = v; }
    void set_epsilon(double v) { epsilon = v; }
    void set_gamma(double v) { gamma = v; }
    void set_delta(double v) { delta = v; }
    void set_phid(double v) { phid = v; }
    void set_theta(double v) { theta = v; }
    void set_iter(int v) { iter = v; }

    void set_parameters(int kappa, double phic, double tau, double epsilon, double gamma,
                        double delta, double phid, double theta);
    // Derives rmin, rmax, rdelta, kappa and gamma from the mean point spacing.
    void set_parameters(double mu);
    void set_parameters(tag_VELAParameter para);

    // Appends the points of a PCD file (colour dropped, non-finite points
    // skipped) and prints the total count. A file that is not a regular,
    // consistent PCD file adds nothing and is named on stderr with the
    // reason. Always true.
    bool set_points(std::string file_name, std::vector<SVPoint3d>& points);
    // The same, and every point left out is listed in `skipped` (in row
    // order), so that a caller can line results up with the rows of the file.
    // False when the file could not be read.
    bool set_points(std::string file_name, std::vector<SVPoint3d>& points,
                    std::vector<tag_SkippedPoint>& skipped);

    // Mean distance from each point to its nearest other point; printed.
    double get_mu(std::vector<SVPoint3d> points) const;

    // The segmentation methods return false, before printing or changing
    // anything, when no input point has three finite coordinates (for
    // VELA_RegionGrowing: no supervoxel, or none in the first one); true
    // otherwise, whatever the stages found.

    // Full pipeline; one point list (input coordinates, the plane's colour) and
    // one coefficient record per plane, in the same order, appended; the
    // points of no plane are appended to `others` in white. Each record's d
    // is in the shifted frame, not in input coordinates: for the frame's
    // offset (bx, by, bz) the plane in input coordinates has
    // d - (a * bx + b * by + c * bz), as the map overload gives it.
    bool VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                std::vector<std::vector<SVPoint3d>>& planes,
                                std::vector<SVPoint3d>& others,
                                std::vector<tag_PCoefficient>& coefficients);
    // The same, and for each plane the index in `points` of each of its
    // points: plane_indices[k][j] is where planes[k][j] came from. `progress`,
    // when set, is called as the stages go on (it never changes a result).
    bool VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                std::vector<std::vector<SVPoint3d>>& planes,
                                std::vector<SVPoint3d>& others,
                                std::vector<tag_PCoefficient>& coefficients,
                                std::vector<std::vector<std::size_t>>& plane_indices,
                                const ProgressCallback& progress = ProgressCallback());
    // Full pipeline; `labels` maps input index -> segment label (-1: in no
    // plane), `coefficients` maps plane label -> plane with d in input
    // coordinates. Entries are assigned by key; others are left alone.
    bool VELA_PlaneSegmentation(std::vector<SVPoint3d> points,
                                std::map<int, int>& labels,
                                std::map<int, tag_PCoefficient>& coefficients);
    // The supervoxel stages only (multi-scale, RPS generation, RPS
    // optimisation): one point list and one coefficient record (d in the
    // shifted frame) per rigorous planar supervoxel, appended; the points in
    // none are appended to `independent`.
    bool VELA_RPSGeneration(std::vector<SVPoint3d> points,
                            std::vector<std::vector<SVPoint3d>>& rps,
                            std::vector<SVPoint3d>& independent,
                            std::vector<tag_PCoefficient>& coefficients);
    // Region growing over caller-supplied supervoxels (one point list each),
    // in the frame of the first point of the first one: one point list
    // (coordinates rebuilt in single precision, colour 0) and one coefficient
    // record (d in that frame) per plane, appended.
    bool VELA_RegionGrowing(std::vector<std::vector<SVPoint3d>> rps,
                            std::vector<std::vector<SVPoint3d>>& planes,
                            std::vector<tag_PCoefficient>& coefficients);

private:
    double rmin;
    double rmax;
    double rdelta;
    std::int32_t kappa;
    double phic;
    double tau;
    double epsilon;
    double gamma;
    double delta;
    double phid;
    double theta;
    std::int32_t iter;
};

}  // namespace VELA
