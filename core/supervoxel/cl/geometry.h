// Plain 3-D points and vectors of the clustering, and a point carrying its
// unit normal.
#pragma once

namespace cl {

template <typename T>
struct Point3D {
    T x = T();
    T y = T();
    T z = T();

    Point3D() = default;
    Point3D(T px, T py, T pz) : x(px), y(py), z(pz) {}

    // Axis 0, 1, 2 = x, y, z; the kd-tree addresses coordinates by axis.
    T operator[](int axis) const { return axis == 0 ? x : (axis == 1 ? y : z); }
};

template <typename T>
struct Vector3D {
    T x = T();
    T y = T();
    T z = T();

    Vector3D() = default;
    Vector3D(T vx, T vy, T vz) : x(vx), y(vy), z(vz) {}
};

struct tag_PointWithNormal {
    Point3D<double> point;
    Vector3D<double> normal;
};

}  // namespace cl
