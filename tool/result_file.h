// What velaseg does with the planes: the ".xyz" result file and the cloud
// shown in the viewer.
#pragma once

#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "vela_plane.h"

namespace velaseg {

using Planes = std::vector<std::vector<VELA::SVPoint3d>>;

// The input path with its extension replaced by "_seg_VELA.xyz", in the same
// directory (data/site1.las -> data/site1_seg_VELA.xyz). A path whose file
// name has no extension gets the suffix appended.
std::string resultFileName(const std::string& pcFile);

// Appends one result line: x y z r g b, each followed by " \t", then the line end.
void appendResultLine(std::string& text, const VELA::SVPoint3d& p);

// One line per point, planes in order: x y z r g b, each followed by " \t";
// coordinates with 20 significant digits. The file appears whole or not at
// all; false, with `error` saying why, when it could not be written (an
// earlier file of that name is then left as it was).
bool writeResultFile(const std::string& fileName, const Planes& planes, std::string& error);

// The planes' points in the frame of the first point of the first plane, each
// in its own colour, opaque.
pcl::PointCloud<pcl::PointXYZRGB>::Ptr makeViewerCloud(const Planes& planes);

}  // namespace velaseg
