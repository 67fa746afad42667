// Whole segmentation per stage: seconds and peak resident memory of each
// stage, on a LAS/PCD cloud or a generated scene.
//
//   pipeline_bench cloud.las|cloud.pcd [iter]
//   pipeline_bench --scene HOUSES_X HOUSES_Y [SPACING] [iter]
//
// With no argument it runs on ../shared/data/autzen_trim.las when present.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "las_reader.h"
#include "sample_scene.h"
#include "segmenter/pipeline.h"
#include "segmenter/work_cloud.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace {

using Clock = std::chrono::steady_clock;

// Peak resident set since the last reset, in MB.
double peakMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

void resetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Everything the library prints goes here while it runs.
class Silence {
public:
    Silence() : saved_(std::cout.rdbuf(sink_.rdbuf())) {}
    ~Silence() { std::cout.rdbuf(saved_); }

private:
    std::ostringstream sink_;
    std::streambuf* saved_;
};

}  // namespace

int main(int argc, char** argv)
{
    std::vector<VELA::SVPoint3d> points;
    std::string name;
    int iter = 0;
    const Clock::time_point readStart = Clock::now();
    if (argc >= 4 && std::string(argv[1]) == "--scene") {
        velaseg::SceneOptions options;
        options.housesX = std::atoi(argv[2]);
        options.housesY = std::atoi(argv[3]);
        options.spacing = argc >= 5 ? std::atof(argv[4]) : 0.05;
        if (argc >= 6) iter = std::atoi(argv[5]);
        points = velaseg::makeBuildingScene(options).points;
        name = "scene " + std::string(argv[2]) + "x" + argv[3] + " houses, spacing " + std::to_string(options.spacing);
    } else {
        name = argc >= 2 ? argv[1] : std::string(VELASEG_DATA_DIR) + "/autzen_trim.las";
        if (argc >= 3) iter = std::atoi(argv[2]);
        if (!std::ifstream(name)) {
            std::cerr << "pipeline_bench: " << name << " not found; nothing measured\n";
            return 0;
        }
        Silence quiet;
        if (endsWith(name, ".las")) velaseg::readLasFile(name, points);
        else VELA::VELA_Plane().set_points(name, points);
    }
    const double readSeconds = std::chrono::duration<double>(Clock::now() - readStart).count();

    VELA::VELA_Plane segmenter;
    VELA::tag_VELAParameter para;
    double mu = 0.0;
    {
        Silence quiet;
        mu = segmenter.get_mu(points);
        segmenter.set_parameters(mu);
        para = segmenter.get_para();
    }
    std::cout << name << ": " << points.size() << " points (input " << readSeconds << " s), mu " << mu
              << ", rmax " << para.rmax << ", rmin " << para.rmin << ", kappa " << para.kappa << ", iter " << iter
              << "\n";

    struct Row {
        std::string stage;
        double seconds;
        double peak;
    };
    std::vector<Row> rows;
    resetPeak();
    Clock::time_point last = Clock::now();
    const Clock::time_point start = last;
    auto record = [&](const char* stage) {
        const Clock::time_point now = Clock::now();
        rows.push_back({stage, std::chrono::duration<double>(now - last).count(), peakMegabytes()});
        resetPeak();
        last = Clock::now();
    };

    const vela::WorkCloud cloud = vela::buildWorkCloud(points, vela::baseOffsetOf(points));
    record("working cloud");
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    const vela::StageObserver observer = record;
    {
        Silence quiet;
        vela::runPipeline(cloud, set, segments, para, iter, &observer);
        for (vela::PlaneSegment& segment : segments.planes) vela::refitSegment(set, segment, true);
    }
    record("output refit");
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    for (const Row& row : rows)
        std::cout << "  " << row.stage << std::string(26 - row.stage.size(), ' ') << row.seconds << " s   peak "
                  << row.peak << " MB\n";
    std::cout << "  total " << total << " s; " << set.planarCount << " RPS, " << segments.planarCount
              << " planes, " << set.independent[0].cloud->points.size() << " independent points\n";
    return 0;
}
