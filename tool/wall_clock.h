// Wall-clock milliseconds for the "Total time is: " line. It reports elapsed
// real time; the C library's clock() is processor time on this platform,
// which is not what the line means.
#pragma once

#include <chrono>
#include <cstdint>

namespace velaseg {

inline std::int64_t millisecondClock()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whole milliseconds elapsed, in seconds.
inline double secondsBetween(std::int64_t startMs, std::int64_t endMs)
{
    return static_cast<int>(endMs - startMs) / 1000.0;
}

}  // namespace velaseg
