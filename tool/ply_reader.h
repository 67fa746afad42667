// PLY point input through PCL's PLY reader, after a check of the header that
// PCL does not make: the declared counts must fit the file, so that a short
// file cannot make the reader allocate for millions of points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pcl/PCLPointCloud2.h>

#include "vela_plane.h"

namespace velaseg {

// Why the header text of a PLY file (up to and including "end_header") whose
// body has `bodyBytes` bytes cannot be read for points; empty when it can.
std::string plyHeaderProblem(const std::string& header, std::uint64_t bodyBytes);

// Appends the points of `fileName` (its vertices' x y z, float or double,
// and red green blue when present) and prints the count line. False, with
// nothing appended and one line on standard error, when the file is not a
// readable PLY point cloud.
bool readPlyFile(const std::string& fileName, std::vector<VELA::SVPoint3d>& points, bool& hasColour);

// Appends the points of a cloud read by PCL: fields x y z of 4 or 8 byte
// floating point, colour from a packed "rgb"/"rgba" field or from red green
// blue bytes. False, with `problem` set and nothing appended, when the
// cloud has no such x y z.
bool appendCloudPoints(const pcl::PCLPointCloud2& cloud, std::vector<VELA::SVPoint3d>& points, bool& hasColour,
                       std::string& problem);

}  // namespace velaseg
