// LAS input: every point record of a LAS file as an SVPoint3d with
// full-precision coordinates and 8-bit colour.
#pragma once

#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

// Appends the points of `fileName` in file order and prints the count line.
// False, with nothing appended, when no file exists there or it is not a
// readable LAS file; a truncated file keeps the points read so far.
bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points);

}  // namespace velaseg
