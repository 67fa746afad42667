// The --planes output: one record per plane, in the order of the result file,
// computed in double from the plane's own points in input coordinates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

struct PlaneRecord {
    int id = 0;  // from 1, as in the labels
    std::uint8_t colour[3] = {0, 0, 0};
    std::size_t points = 0;
    std::size_t fitPoints = 0;  // those the plane is fitted to
    // a*x + b*y + c*z + d = 0, (a, b, c) a unit normal whose largest
    // component is positive, through `centroid` of the fitted points.
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    double centroid[3] = {0.0, 0.0, 0.0};
    double rmsDistance = 0.0;  // of all the plane's points from the plane
    double maxDistance = 0.0;
    double low[3] = {0.0, 0.0, 0.0};
    double high[3] = {0.0, 0.0, 0.0};
    double hullArea = 0.0;  // of the points projected into the plane
};

// The least-squares plane of `points` (the eigenvector of the smallest
// eigenvalue of their covariance about their centroid, in double), refitted
// without the points beyond three times the RMS distance while there are
// such, and its measures over all the points.
PlaneRecord describePlane(int id, const std::vector<VELA::SVPoint3d>& points);

// describePlane of each plane, with ids from 1 in order; the planes are
// described on the threads of VELA::VELA_ThreadCount(), each by one thread.
std::vector<PlaneRecord> describePlanes(const std::vector<std::vector<VELA::SVPoint3d>>& planes);

// Writes the records as CSV (with a header line) or JSON, by the name's
// extension, whole or not at all. False, with `error` saying why, when the
// file could not be written.
bool writePlaneTable(const std::string& fileName, const std::string& inputFile,
                     const std::vector<PlaneRecord>& records, std::string& error);

}  // namespace velaseg
