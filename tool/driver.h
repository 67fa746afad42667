// The velaseg run: arguments, input, parameters, segmentation, viewer, result file.
#pragma once

#include <cstdint>

namespace velaseg {

// Returns the exit status: 1 after the usage text, 0 after any run.
// `startMs` is the millisecond clock at process start, for the total time.
int runVelaseg(int argc, char** argv, std::int64_t startMs);

}  // namespace velaseg
