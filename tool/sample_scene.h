// Synthetic scenes with known planes: the built-in sample of velaseg, and the
// input of most tests and benchmarks. Generation is deterministic: the same
// options give the same points, bit for bit, on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

struct SceneOptions {
    double spacing = 0.1;     // sampling step on every surface, metres
    double noise = 0.005;     // largest offset along the surface normal
    int housesX = 1;          // houses in a grid; the ground grows with them
    int housesY = 1;
    double originX = 0.0;     // added to every coordinate (map coordinates)
    double originY = 0.0;
    double originZ = 0.0;
    std::uint32_t seed = 1;
};

// One true plane of the scene: a*x + b*y + c*z + d = 0 with a unit normal,
// in scene coordinates (origin included), and its points' range.
struct ScenePlane {
    std::string name;
    double a, b, c, d;
    std::size_t first;  // index of its first point in Scene::points
    std::size_t count;
};

struct Scene {
    std::vector<VELA::SVPoint3d> points;
    std::vector<ScenePlane> planes;
};

// Flat ground around a grid of houses; each house has four walls, a gable
// roof of two slopes and a flat-roofed annex. Planes meet at large angles.
Scene makeBuildingScene(const SceneOptions& options);

// Approximate number of points makeBuildingScene yields for these options.
std::size_t estimateBuildingPoints(const SceneOptions& options);

// Binary PCD with x y z (float, so large coordinates lose precision there).
bool writeScenePcd(const std::string& path, const std::vector<VELA::SVPoint3d>& points);

}  // namespace velaseg
