#include "thread_count.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace velaseg {

namespace {

// Far beyond any machine we run on; keeps a typo like 1e9 from spawning
// threads by the million.
constexpr long kMaxThreads = 256;

int hardwareThreads()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

int velasegThreads()
{
    const char* value = std::getenv("VELASEG_THREADS");
    if (value == nullptr || *value == '\0') {
        return hardwareThreads();
    }
    char* end = nullptr;
    const long threads = std::strtol(value, &end, 10);
    if (*end == '\0' && threads >= 1) {
        return static_cast<int>(std::min(threads, kMaxThreads));
    }
    static bool warned = false;
    if (!warned) {
        warned = true;
        std::cerr << "velaseg: VELASEG_THREADS=\"" << value << "\" is not a positive number; using "
                  << hardwareThreads() << " threads" << std::endl;
    }
    return hardwareThreads();
}

}  // namespace velaseg
