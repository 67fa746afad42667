// Throughput of the LAS reader: MB/s and points/s on the autzen sample cloud
// and on a generated 10-million-point file, best and median of several runs.
//
// usage: las_read_bench [autzen_trim.las] [repetitions]
// The files are read from the page cache after the first run, so the figures
// measure decoding and allocation rather than the disk.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "las_reader.h"
#include "las_writer.h"

namespace {

namespace fs = std::filesystem;

struct Timing {
    double best = 0.0;
    double median = 0.0;
};

// Seconds per read of `file`, with the reader's count line kept off the report.
bool timeReads(const std::string& file, int repetitions, std::size_t& points, Timing& timing)
{
    std::vector<double> seconds;
    std::ostringstream sink;
    for (int i = 0; i < repetitions; ++i) {
        std::vector<VELA::SVPoint3d> cloud;
        std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
        const auto start = std::chrono::steady_clock::now();
        const bool ok = velaseg::readLasFile(file, cloud);
        const auto stop = std::chrono::steady_clock::now();
        std::cout.rdbuf(saved);
        sink.str("");
        if (!ok) {
            return false;
        }
        points = cloud.size();
        seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    timing.best = seconds.front();
    timing.median = seconds[seconds.size() / 2];
    return true;
}

void report(const std::string& label, const std::string& file, int repetitions)
{
    std::size_t points = 0;
    Timing timing;
    if (!timeReads(file, repetitions, points, timing)) {
        std::cout << label << ": could not read " << file << std::endl;
        return;
    }
    const double megabytes = static_cast<double>(fs::file_size(file)) / 1e6;
    std::cout << label << ": " << points << " points, " << megabytes << " MB, " << repetitions << " runs\n"
              << "  best   " << megabytes / timing.best << " MB/s, " << points / timing.best << " points/s ("
              << timing.best * 1e3 << " ms)\n"
              << "  median " << megabytes / timing.median << " MB/s, " << points / timing.median
              << " points/s (" << timing.median * 1e3 << " ms)" << std::endl;
}

// A rolling terrain of 10 million coloured points in map coordinates,
// point format 3 as airborne scans usually come.
bool writeGenerated(const std::string& file)
{
    const std::size_t count = 10000000;
    std::mt19937 random(1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<VELA::SVPoint3d> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double x = 636000.0 + 1000.0 * unit(random);
        const double y = 849000.0 + 1000.0 * unit(random);
        VELA::SVPoint3d p(x, y, 120.0 + 10.0 * unit(random));
        p.r = static_cast<std::uint8_t>(random());
        p.g = static_cast<std::uint8_t>(random());
        p.b = static_cast<std::uint8_t>(random());
        points.push_back(p);
    }
    velaseg::LasWriteOptions options;
    options.pointFormat = 3;
    options.scale[0] = options.scale[1] = options.scale[2] = 0.01;
    options.offset[0] = 636000.0;
    options.offset[1] = 849000.0;
    options.offset[2] = 0.0;
    return velaseg::writeLasFile(file, points, options);
}

}  // namespace

int main(int argc, char** argv)
{
#ifdef VELASEG_DATA_DIR
    std::string sample = std::string(VELASEG_DATA_DIR) + "/autzen_trim.las";
#else
    std::string sample = "../shared/data/autzen_trim.las";
#endif
    if (argc > 1) {
        sample = argv[1];
    }
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;

    if (fs::is_regular_file(sample)) {
        report("autzen_trim.las", sample, repetitions);
    } else {
        std::cout << "autzen_trim.las: skipped, no file at " << sample << std::endl;
    }

    const fs::path dir = fs::temp_directory_path() / ("velaseg_las_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string generated = (dir / "generated.las").string();
    if (writeGenerated(generated)) {
        report("generated 10M", generated, std::max(3, repetitions / 2));
    } else {
        std::cout << "generated 10M: could not write " << generated << std::endl;
    }
    fs::remove_all(dir);
    return 0;
}
