// The program's own steps around the segmentation, each on its own: reading
// the input, the result file, every kind of labels file and the plane table,
// best and median wall milliseconds of several runs at the thread count of
// VELASEG_THREADS (or --threads N), with the CPU milliseconds of the best run.
//
//   output_bench [--threads N] cloud.las|cloud.laz|cloud.pcd [repetitions]
//
// The cloud is segmented once for the planes the outputs are made of. The
// outputs go to a fresh folder under $TMPDIR (or /tmp), and an earlier file
// is removed before each run, so that the figures hold our writing and the
// flush to the disk but not the freeing of the previous run's blocks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_input.h"
#include "label_writer.h"
#include "las_records.h"
#include "plane_table.h"
#include "point_input.h"
#include "result_file.h"
#include "vela_plane.h"

namespace {

namespace fs = std::filesystem;

double cpuMilliseconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// Runs `step` `repetitions` times after `prepare`, which is not timed.
void report(const std::string& label, int repetitions, const std::function<void()>& prepare,
            const std::function<bool()>& step)
{
    std::vector<double> wall;
    double bestCpu = 0.0;
    for (int i = 0; i < repetitions; ++i) {
        prepare();
        const double cpu0 = cpuMilliseconds();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = step();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuMilliseconds() - cpu0;
        if (!ok) {
            std::cout << std::left << std::setw(16) << label << " failed" << std::endl;
            return;
        }
        if (wall.empty() || ms < *std::min_element(wall.begin(), wall.end())) bestCpu = cpu;
        wall.push_back(ms);
    }
    std::sort(wall.begin(), wall.end());
    std::cout << std::left << std::setw(16) << label << std::right << std::fixed << std::setprecision(1)
              << " best " << std::setw(8) << wall.front() << " ms  median " << std::setw(8)
              << wall[wall.size() / 2] << " ms  cpu " << std::setw(8) << bestCpu << " ms" << std::endl;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--threads") {
        // Before the library's first parallel step sizes its pool.
        setenv("VELASEG_THREADS", argv[2], 1);
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) {
        std::cerr << "usage: output_bench [--threads N] cloud.las|cloud.laz|cloud.pcd [repetitions]" << std::endl;
        return 2;
    }
    const std::string cloud = argv[1];
    const int repetitions = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 5;
    const char* tmp = std::getenv("TMPDIR");
    const fs::path folder = fs::path(tmp ? tmp : "/tmp") / ("output_bench." + std::to_string(getpid()));
    fs::create_directories(folder);

    std::cout << "threads " << VELA::VELA_ThreadCount() << ", " << repetitions << " runs, " << cloud << std::endl;
    velaseg::InputCloud input;
    report("read input", repetitions, [&] { input = velaseg::InputCloud(); }, [&] {
        bench::Silence quiet;
        VELA::VELA_Plane reader;
        return velaseg::readInput(cloud, reader, input);
    });

    velaseg::Planes planes;
    std::vector<std::vector<std::size_t>> planeIndices;
    {
        bench::Silence quiet;
        VELA::VELA_Plane segmenter;
        segmenter.set_parameters(segmenter.get_mu(input.points));
        std::vector<VELA::SVPoint3d> others;
        std::vector<VELA::tag_PCoefficient> coefficients;
        segmenter.VELA_PlaneSegmentation(input.points, planes, others, coefficients, planeIndices);
    }
    std::size_t planePoints = 0;
    for (const auto& plane : planes) planePoints += plane.size();
    std::cout << input.points.size() << " points, " << planes.size() << " planes holding " << planePoints
              << std::endl;

    const auto output = [&](const std::string& name) {
        const std::string path = (folder / name).string();
        return std::make_pair(path, [path] { fs::remove(path); });
    };
    std::string error;
    {
        const auto [path, clear] = output("result.xyz");
        report("result file", repetitions, clear, [&] { return velaseg::writeResultFile(path, planes, error); });
    }
    const velaseg::LabelledRows rows =
        velaseg::labelRows(input.points, &input.skipped, planes, planeIndices, input.hasColour);
    const bool fromLas = input.type == "las" || input.type == "laz";
    const velaseg::LasLabelSource las{cloud, velaseg::lasInputRecords(cloud)};
    for (const char* type : {"txt", "pcd", "ply", "las"}) {
        const auto [path, clear] = output(std::string("labels.") + type);
        report(std::string("labels .") + type, repetitions, clear,
               [&] { return velaseg::writeLabels(path, rows, fromLas ? &las : nullptr, error); });
    }
    {
        const auto [path, clear] = output("planes.csv");
        report("plane table", repetitions, clear,
               [&] { return velaseg::writePlaneTable(path, cloud, velaseg::describePlanes(planes), error); });
    }
    fs::remove_all(folder);
    return 0;
}
