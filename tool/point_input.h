// The input of a run: its type by name, the reader for it, and what the
// outputs need to know about it besides the points.
#pragma once

#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

// "pcd", "las", "laz", "ply", "xyz" or "txt": the text after the last '.',
// compared in full and case-sensitively; empty for any other.
std::string inputTypeOf(const std::string& pcFile);

struct InputCloud {
    std::string type;
    std::vector<VELA::SVPoint3d> points;             // what the segmentation gets
    std::vector<VELA::tag_SkippedPoint> skipped;     // rows of a PCD left out
    bool hasColour = false;                          // the points carry the file's colour
};

// Prints the type line and reads the points with the type's reader (which
// prints the count line). False when the file could not be read at all: a
// line on standard error then says why, and no point is kept.
bool readInput(const std::string& pcFile, VELA::VELA_Plane& segmenter, InputCloud& input);

}  // namespace velaseg
