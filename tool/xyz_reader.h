// Text point input: one point per line, "x y z" or "x y z r g b", the
// columns separated by blanks, tabs or commas; '#' starts a comment. Numbers
// keep full double precision.
#pragma once

#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

// Appends the points of `fileName` and prints the count line. False, with
// nothing appended and one line on standard error naming the file and the
// first bad line, when a line is not a point. `hasColour` tells whether the
// lines carried colour.
bool readXyzFile(const std::string& fileName, std::vector<VELA::SVPoint3d>& points, bool& hasColour);

}  // namespace velaseg
