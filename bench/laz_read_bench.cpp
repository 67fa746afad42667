// Decoding speed of the LAZ reader in points per second: one thread and all
// hardware threads, full records and velaseg's lazy decoding (x, y, z and
// colour only), best of several runs per case.
//
// usage: laz_read_bench [laz directory] [repetitions]
//        laz_read_bench --once FILE [full|lazy] [repetitions]
// The second form reads one file on VELASEG_THREADS threads, once by
// default, for a profiler (callgrind's instruction counts do not depend on
// the load) or for comparing two builds turn by turn.
// Run it while the machine is otherwise idle: best-of runs only filter out
// short disturbances. The "1 thread cpu" column divides by the process's
// CPU time instead of the wall clock: on a machine shared with other work
// it still shows what one core decodes.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <ctime>

#include "las_reader.h"

namespace {

namespace fs = std::filesystem;

struct Best {
    double wall = 1e30;
    double cpu = 1e30;
};

double cpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds of the fastest of `repetitions` reads, and the points read.
Best bestSeconds(const std::string& file, velaseg::LasFields fields, int repetitions, std::uint64_t& points)
{
    Best best;
    for (int i = 0; i < repetitions; ++i) {
        velaseg::LasHeader header;
        std::uint64_t count = 0;
        std::uint64_t checksum = 0;
        const double cpuStart = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        velaseg::readLasRecords(file, fields, header, [&](const std::uint8_t* records, std::size_t n) {
            count += n;
            checksum += records[0];  // keeps the delivery from being optimised away
        });
        const auto stop = std::chrono::steady_clock::now();
        best.wall = std::min(best.wall, std::chrono::duration<double>(stop - start).count());
        best.cpu = std::min(best.cpu, cpuSeconds() - cpuStart);
        points = count + (checksum & 0);
    }
    return best;
}

int readOnce(const std::string& file, const std::string& mode, int repetitions)
{
    const velaseg::LasFields fields =
        mode == "lazy" ? velaseg::LasFields::coordinatesAndColour : velaseg::LasFields::all;
    std::uint64_t points = 0;
    const Best best = bestSeconds(file, fields, repetitions, points);
    std::cout << file << " " << (mode == "lazy" ? "lazy" : "full") << ": " << points << " points in " << best.wall
              << " s, " << points / best.wall / 1e6 << " M/s, " << points / best.cpu / 1e6 << " M/cpu-s\n";
    return points != 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::string(argv[1]) == "--once") {
        return readOnce(argv[2], argc > 3 ? argv[3] : "full", argc > 4 ? std::max(1, std::atoi(argv[4])) : 1);
    }
#ifdef VELASEG_DATA_DIR
    fs::path dir = fs::path(VELASEG_DATA_DIR) / "laz";
#else
    fs::path dir = "../shared/data/laz";
#endif
    if (argc > 1) {
        dir = argv[1];
    }
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const int hardware = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const char* const files[] = {"autzen_trim.laz", "lone-star.laz", "lone-star.copc.laz", "extra-bytes-format8.laz"};
    const std::pair<const char*, velaseg::LasFields> modes[] = {
        {"full", velaseg::LasFields::all}, {"lazy", velaseg::LasFields::coordinatesAndColour}};

    std::cout << "points per second, best of " << repetitions << " runs; " << hardware << " hardware threads\n";
    std::cout << std::left << std::setw(26) << "file" << std::setw(6) << "mode" << std::right << std::setw(10)
              << "points" << std::setw(14) << "1 thread" << std::setw(16) << "1 thread cpu" << std::setw(14)
              << "all threads" << std::setw(9) << "ratio"
              << "\n";
    for (const char* name : files) {
        const std::string file = (dir / name).string();
        if (!fs::is_regular_file(file)) {
            std::cout << name << ": skipped, no file at " << file << "\n";
            continue;
        }
        for (const auto& [label, fields] : modes) {
            std::uint64_t points = 0;
            ::setenv("VELASEG_THREADS", "1", 1);
            const Best one = bestSeconds(file, fields, repetitions, points);
            ::setenv("VELASEG_THREADS", std::to_string(hardware).c_str(), 1);
            const Best all = bestSeconds(file, fields, repetitions, points);
            std::cout << std::left << std::setw(26) << name << std::setw(6) << label << std::right << std::setw(10)
                      << points << std::fixed << std::setprecision(2) << std::setw(12) << points / one.wall / 1e6
                      << " M" << std::setw(14) << points / one.cpu / 1e6 << " M" << std::setw(12)
                      << points / all.wall / 1e6 << " M" << std::setw(8) << one.wall / all.wall << "x\n"
                      << std::defaultfloat;
        }
    }
    ::unsetenv("VELASEG_THREADS");
    return 0;
}
