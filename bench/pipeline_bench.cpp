// Whole segmentation per stage, on one thread and on N: wall seconds, CPU
// seconds and peak resident memory of each stage, on a LAS/PCD cloud or a
// generated scene, and whether both runs gave the same result. "loops %" is
// the share of the single-threaded stage spent in parallel loops, "bound" the
// speed-up N threads would give on N idle cores with that share.
//
//   pipeline_bench [--threads N] cloud.las|cloud.pcd [iter]
//   pipeline_bench [--threads N] --scene HOUSES_X HOUSES_Y [SPACING] [iter]
//
// N defaults to VELASEG_THREADS or the hardware threads. With no cloud it
// runs on ../shared/data/autzen_trim.las when present. On a shared machine
// wall time follows the load; CPU time above wall time shows the threads at
// work.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_input.h"
#include "segmenter/pipeline.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/thread_pool.h"
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

double cpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Row {
    std::string stage;
    double seconds;
    double cpu;
    double peak;
    double inLoops;  // wall seconds within the parallel loops
};

struct Run {
    std::vector<Row> rows;
    std::uint64_t fingerprint = 14695981039346656037ull;
    std::string summary;
};

// FNV-1a over the bytes of a value.
template <typename T>
void mix(std::uint64_t& h, const T& value)
{
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ull;
}

// Every plane's fit and its points' input indices, in output order.
std::uint64_t fingerprintOf(const vela::SupervoxelSet& set, const vela::SegmentSet& segments)
{
    std::uint64_t h = 14695981039346656037ull;
    for (const vela::PlaneSegment& segment : segments.planes) {
        mix(h, segment.descriptor.normal.a);
        mix(h, segment.descriptor.normal.b);
        mix(h, segment.descriptor.normal.c);
        mix(h, segment.descriptor.d);
        for (int m : segment.members)
            for (const vela::WorkPoint& p : set.supervoxels[static_cast<std::size_t>(m)].cloud->points)
                mix(h, vela::inputIndex(p));
    }
    return h;
}

Run segmentOnce(const std::vector<VELA::SVPoint3d>& points, int iter, int threads)
{
    const vela::PoolSize pool(threads);
    Run run;
    resetPeak();
    Clock::time_point last = Clock::now();
    double lastCpu = cpuSeconds();
    double lastInLoops = vela::parallelLoopSeconds();
    auto record = [&](const char* stage) {
        const Clock::time_point now = Clock::now();
        const double cpu = cpuSeconds();
        const double inLoops = vela::parallelLoopSeconds();
        run.rows.push_back({stage, std::chrono::duration<double>(now - last).count(), cpu - lastCpu, peakMegabytes(),
                            inLoops - lastInLoops});
        resetPeak();
        last = Clock::now();
        lastCpu = cpuSeconds();
        lastInLoops = vela::parallelLoopSeconds();
    };

    VELA::tag_VELAParameter para;
    {
        bench::Silence quiet;
        VELA::VELA_Plane segmenter;
        segmenter.set_parameters(segmenter.get_mu(points));
        para = segmenter.get_para();
    }
    record("spacing");
    const vela::WorkCloud cloud = vela::buildWorkCloud(points, vela::baseOffsetOf(points));
    record("working cloud");
    vela::SupervoxelSet set;
    vela::SegmentSet segments;
    const vela::StageObserver observer = record;
    {
        bench::Silence quiet;
        vela::runPipeline(cloud, set, segments, para, iter, &observer);
        vela::refitPlanes(set, segments);
    }
    record("output refit");
    run.fingerprint = fingerprintOf(set, segments);
    std::ostringstream summary;
    summary << "rmax " << para.rmax << ", kappa " << para.kappa << "; " << set.planarCount << " RPS, " << segments.planarCount
            << " planes, " << set.independent[0].cloud->points.size() << " independent points";
    run.summary = summary.str();
    return run;
}


// What N threads can gain at most on a stage, from the share of its
// single-threaded wall time spent in the parallel loops: the rest stays
// sequential, however many threads there are.
double speedUpBound(const Row& oneThread, int threads)
{
    const double rest = oneThread.seconds - oneThread.inLoops;
    return oneThread.seconds / (rest + oneThread.inLoops / threads);
}

void printRow(const std::string& stage, const Row& a, const Row* b, int threads)
{
    std::cout << "  " << stage << std::string(26 - stage.size(), ' ') << std::setprecision(3) << std::setw(10)
              << a.seconds << std::setw(8) << a.cpu << std::setprecision(1) << std::setw(9) << a.peak << std::setw(8)
              << (a.seconds > 0.0 ? 100.0 * a.inLoops / a.seconds : 0.0);
    if (b != nullptr)
        std::cout << std::setprecision(3) << std::setw(12) << b->seconds << std::setw(8) << b->cpu
                  << std::setprecision(1) << std::setw(9) << b->peak << std::setprecision(2) << std::setw(10)
                  << a.seconds / b->seconds << std::setw(8) << speedUpBound(a, threads);
    std::cout << "\n";
}

// One line per stage and the totals; with more than one thread, the N-thread
// run beside the single-threaded one.
void printTable(const Run& one, const Run& many, int threads)
{
    const bool compare = threads > 1;
    std::cout << std::fixed << "  stage" << std::string(21, ' ') << "1 thread: wall s   cpu s  peak MB  loops %";
    if (compare) std::cout << "  " << std::setw(2) << threads << " threads: wall s   cpu s  peak MB  speed-up  bound";
    std::cout << "\n";
    Row total[2] = {{"total", 0.0, 0.0, 0.0, 0.0}, {"total", 0.0, 0.0, 0.0, 0.0}};
    for (std::size_t i = 0; i < one.rows.size(); ++i) {
        const Row& a = one.rows[i];
        const Row* b = compare && i < many.rows.size() ? &many.rows[i] : nullptr;
        printRow(a.stage, a, b, threads);
        for (int k = 0; k < 2; ++k) {
            const Row& r = k == 0 ? a : (b != nullptr ? *b : a);
            total[k].seconds += r.seconds;
            total[k].cpu += r.cpu;
            total[k].peak = std::max(total[k].peak, r.peak);
            total[k].inLoops += r.inLoops;
        }
    }
    printRow("total", total[0], compare ? &total[1] : nullptr, threads);
}

}  // namespace

int main(int argc, char** argv)
{
    const int threads = bench::takeThreadCount(argc, argv);
    std::vector<VELA::SVPoint3d> points;
    std::string name;
    int iter = 0;
    velaseg::SceneOptions options;
    if (bench::sceneOptions(argc, argv, options)) {
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
        bench::readCloud(name, points);
    }
    std::cout << name << ": " << points.size() << " points, iter " << iter << "\n";

    const Run one = segmentOnce(points, iter, 1);
    std::cout << "  " << one.summary << "\n";
    const bool compare = threads > 1;
    const Run many = compare ? segmentOnce(points, iter, threads) : one;

    printTable(one, many, compare ? threads : 1);
    if (compare && one.fingerprint != many.fingerprint) {
        std::cout << "  DIFFERENT RESULTS on 1 and " << threads << " threads\n";
        return 1;
    }
    if (compare) std::cout << "  same result on 1 and " << threads << " threads\n";
    return 0;
}
