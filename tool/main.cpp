#include "driver.h"
#include "wall_clock.h"

namespace {
// Taken while the program loads, so the total time counts from process start.
const std::int64_t processStartMs = velaseg::millisecondClock();
}  // namespace

int main(int argc, char** argv)
{
    return velaseg::runVelaseg(argc, argv, processStartMs);
}
