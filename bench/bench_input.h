// What the whole-run benchmarks share: their "--threads N" and "--scene X Y
// [SPACING]" arguments, reading a cloud, and keeping the library quiet.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "las_reader.h"
#include "sample_scene.h"
#include "vela_plane.h"

namespace bench {

// Everything the library prints goes here while it runs.
class Silence {
public:
    Silence() : saved_(std::cout.rdbuf(sink_.rdbuf())) {}
    ~Silence() { std::cout.rdbuf(saved_); }

private:
    std::ostringstream sink_;
    std::streambuf* saved_;
};

// A leading "--threads N" taken off the arguments; the library's count otherwise.
inline int takeThreadCount(int& argc, char**& argv)
{
    int threads = VELA::VELA_ThreadCount();
    if (argc >= 3 && std::string(argv[1]) == "--threads") {
        threads = std::max(1, std::atoi(argv[2]));
        argv += 2;
        argc -= 2;
    }
    return threads;
}

// "--scene HOUSES_X HOUSES_Y [SPACING]": the generated scene's options; false
// when the arguments name clouds instead.
inline bool sceneOptions(int argc, char** argv, velaseg::SceneOptions& options)
{
    if (argc < 4 || std::string(argv[1]) != "--scene") return false;
    options.housesX = std::atoi(argv[2]);
    options.housesY = std::atoi(argv[3]);
    options.spacing = argc >= 5 ? std::atof(argv[4]) : 0.05;
    return true;
}

// A LAS cloud by its reader, anything else as the library reads it.
inline void readCloud(const std::string& name, std::vector<VELA::SVPoint3d>& points)
{
    Silence quiet;
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".las") == 0)
        velaseg::readLasFile(name, points);
    else
        VELA::VELA_Plane().set_points(name, points);
}

}  // namespace bench
