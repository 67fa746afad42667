// Distance lists for the sort tests: the kinds a plane test produces (single
// precision, many ties on centimetre grids, zeros) and some it should survive.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace vela_test {

// |(a x + c z) + (b y + d)| in single precision, as a plane test computes it,
// for points on a 1 cm grid (as LAS coordinates are) and a plane through three
// of them: its normal is a grid direction, so many distances coincide.
inline std::vector<double> planeLikeDistances(std::mt19937& random, int n)
{
    auto gridPoint = [&random]() {
        std::array<float, 3> p;
        for (float& coordinate : p) coordinate = 0.01f * static_cast<float>(random() % 40);
        return p;
    };
    const std::array<float, 3> p0 = gridPoint(), p1 = gridPoint(), p2 = gridPoint();
    const float ux = p1[0] - p0[0], uy = p1[1] - p0[1], uz = p1[2] - p0[2];
    const float vx = p2[0] - p0[0], vy = p2[1] - p0[1], vz = p2[2] - p0[2];
    float a = uy * vz - uz * vy, b = uz * vx - ux * vz, c = ux * vy - uy * vx;
    const float length = std::sqrt(a * a + b * b + c * c);
    if (length > 0.0f) {
        a /= length;
        b /= length;
        c /= length;
    }
    const float d = -((a * p0[0] + c * p0[2]) + b * p0[1]);
    std::vector<double> distances(n);
    for (double& distance : distances) {
        const std::array<float, 3> p = gridPoint();
        distance = std::fabs(static_cast<double>((a * p[0] + c * p[2]) + (b * p[1] + d)));
    }
    return distances;
}

constexpr int kDistanceKinds = 11;

// Distances of the kinds a plane test produces and some it should survive.
inline std::vector<double> makeDistances(std::mt19937& random, int n, int kind)
{
    if (kind == 6) return planeLikeDistances(random, n);
    std::vector<double> d(n);
    std::uniform_real_distribution<double> uniform(0.0, 2.0);
    const int values = 1 + static_cast<int>(random() % (kind == 1 ? 6 : n / 3 + 1));  // tie groups
    for (double& v : d) {
        const unsigned pick = random() % 5;
        const float single = static_cast<float>(uniform(random));
        switch (kind) {
        case 0: v = single; break;                                                 // distinct
        case 1: case 2: v = 0.25 * static_cast<double>(random() % values); break;  // exact ties
        case 3: v = pick == 0 ? 0.0 : pick == 1 ? 0.1 * (random() % values) : uniform(random); break;  // zeros
        case 4: v = pick == 0 ? -0.0 : pick == 1 ? 0.0 : pick == 2 ? -uniform(random) : 1e300; break;
        case 7: v = pick == 0 ? 0.0 : pick == 1 ? single : 1.0f + 1e-7f * (random() % 200); break;  // crowded
        case 8: v = pick == 0 ? 0.0 : pick == 1 ? 0.75 : single; break;                             // zeros
        case 9: v = pick == 0 ? -0.0 : pick == 1 ? 0.5 : single; break;
        case 10: v = pick == 0 ? 1e-40f * single : pick == 1 ? HUGE_VAL : single; break;  // subnormal, infinite
        default: v = 0.5; break;                                                   // all equal
        }
    }
    if (kind == 2) {  // sorted or reverse sorted
        std::sort(d.begin(), d.end());
        if (random() % 2) std::reverse(d.begin(), d.end());
    }
    return d;
}

inline std::uint32_t singleBits(double value)
{
    const float single = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return bits;
}

// Only the kinds whose distances are single precision and not negative, as
// plane distances are.
inline std::vector<double> singlePrecisionDistances(std::mt19937& random, int n)
{
    int kind = static_cast<int>(random() % kDistanceKinds);
    if (kind == 3 || kind == 4 || kind == 9) kind = 6;
    std::vector<double> distances = makeDistances(random, n, kind);
    for (double& d : distances) d = static_cast<float>(d);
    return distances;
}

}  // namespace vela_test
