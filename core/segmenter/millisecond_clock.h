// Wall-clock milliseconds from a steady clock. The run-time lines report
// elapsed real time; the C library's clock() is processor time on this
// platform, which is not what they mean.
#pragma once

#include <chrono>
#include <cstdint>

namespace vela {

inline std::int64_t millisecondClock()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline double secondsBetween(std::int64_t startMs, std::int64_t endMs)
{
    return static_cast<int>(endMs - startMs) / 1000.0;
}

}  // namespace vela
