// velaseg-sample: writes the built-in synthetic scene (a house with gable
// roof, annex and ground) as PCD or LAS, for demos, tests and benchmarks.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "las_writer.h"
#include "sample_scene.h"

namespace {

void printUsage()
{
    std::cerr << "usage: velaseg-sample out.pcd|out.las [--spacing s] [--noise n] [--houses nx ny]"
                 " [--origin x y z] [--seed n]\n";
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        printUsage();
        return 1;
    }
    const std::string out = argv[1];
    velaseg::SceneOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto need = [&](int n) {
            if (i + n >= argc) {
                std::cerr << "velaseg-sample: " << arg << " needs " << n << " value(s)\n";
                std::exit(1);
            }
        };
        if (arg == "--spacing") { need(1); options.spacing = std::atof(argv[++i]); }
        else if (arg == "--noise") { need(1); options.noise = std::atof(argv[++i]); }
        else if (arg == "--seed") { need(1); options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10)); }
        else if (arg == "--houses") { need(2); options.housesX = std::atoi(argv[++i]); options.housesY = std::atoi(argv[++i]); }
        else if (arg == "--origin") {
            need(3);
            options.originX = std::atof(argv[++i]);
            options.originY = std::atof(argv[++i]);
            options.originZ = std::atof(argv[++i]);
        } else {
            std::cerr << "velaseg-sample: unknown option " << arg << "\n";
            printUsage();
            return 1;
        }
    }
    if (!(options.spacing > 0.0)) {
        std::cerr << "velaseg-sample: the spacing must be positive\n";
        return 1;
    }

    const velaseg::Scene scene = velaseg::makeBuildingScene(options);
    bool ok = false;
    if (endsWith(out, ".pcd")) {
        ok = velaseg::writeScenePcd(out, scene.points);
    } else if (endsWith(out, ".las")) {
        // Millimetre integers around the scene origin fit any map coordinates.
        velaseg::LasWriteOptions las;
        las.offset[0] = options.originX;
        las.offset[1] = options.originY;
        las.offset[2] = options.originZ;
        ok = velaseg::writeLasFile(out, scene.points, las);
    } else {
        std::cerr << "velaseg-sample: the output must end in .pcd or .las\n";
        return 1;
    }
    if (!ok) {
        std::cerr << "velaseg-sample: could not write " << out << "\n";
        return 1;
    }
    std::cerr << "velaseg-sample: wrote " << scene.points.size() << " points on " << scene.planes.size()
              << " planes to " << out << "\n";
    return 0;
}
