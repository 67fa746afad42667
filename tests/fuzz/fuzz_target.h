// What one fuzz input runs: the reader velaseg uses for a file of its kind,
// then the spacing estimate and the segmentation on whatever was read.
#pragma once

#include <string>
#include <vector>

#include "vela_plane.h"

namespace fuzz {

enum class InputKind { las, pcd, ply, xyz, ini };
constexpr int kInputKinds = 5;

// ".las", ".pcd", ".ply", ".xyz" or ".ini".
const char* extensionOf(InputKind kind);

// "las", "pcd", "ply", "xyz" or "ini" as a kind; false for anything else.
bool kindNamed(const std::string& name, InputKind& kind);

// A point cloud file is read as velaseg reads it and segmented. A parameter
// file amends the parameters derived for `scene`, which is then segmented
// with them.
void runInput(InputKind kind, const std::string& path, const std::vector<VELA::SVPoint3d>& scene);

}  // namespace fuzz
