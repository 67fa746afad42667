// The velaseg run: arguments, input, parameters, segmentation, outputs, viewer.
#pragma once

#include <cstdint>

namespace velaseg {

// Returns the exit status (see run_options.h). `startMs` is the millisecond
// clock at process start, for the total time.
int runVelaseg(int argc, char** argv, std::int64_t startMs);

}  // namespace velaseg
