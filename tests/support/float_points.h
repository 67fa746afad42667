// Points whose coordinates are floats widened, as the programs' readers give
// them.
#pragma once

#include <vector>

#include "supervoxel/cl/geometry.h"

namespace testsupport {

// Through a float array: g++ 12's vectoriser drops a narrowing to float
// written inside one expression that widens it back, in some loops.
inline std::vector<cl::Point3D<double>> asFloats(const std::vector<cl::Point3D<double>>& cloud)
{
    std::vector<cl::Point3D<float>> narrowed;
    for (const cl::Point3D<double>& p : cloud)
        narrowed.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    std::vector<cl::Point3D<double>> widened;
    for (const cl::Point3D<float>& p : narrowed) widened.emplace_back(p.x, p.y, p.z);
    return widened;
}

}  // namespace testsupport
