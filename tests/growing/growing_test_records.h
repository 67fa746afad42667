// Descriptors built by hand for the growing tests: a box, or a plane through
// a centre.
#pragma once

#include "supervoxel/supervoxel_set.h"

namespace growing_test {

inline vela::PlaneDescriptor box(float x0, float y0, float z0, float x1, float y1, float z1)
{
    vela::PlaneDescriptor d;
    d.boxMin.x = x0;
    d.boxMin.y = y0;
    d.boxMin.z = z0;
    d.boxMax.x = x1;
    d.boxMax.y = y1;
    d.boxMax.z = z1;
    return d;
}

inline vela::PlaneDescriptor plane(float a, float b, float c, float cx, float cy, float cz)
{
    vela::PlaneDescriptor d;
    d.normal = vela::NormalF{a, b, c};
    d.centre.x = cx;
    d.centre.y = cy;
    d.centre.z = cz;
    return d;
}

}  // namespace growing_test
