// How many threads the tool's parallel steps may use.
#pragma once

namespace velaseg {

// VELASEG_THREADS when it holds a positive number (1: single-threaded),
// otherwise the number of hardware threads. An unusable value is reported
// once on standard error.
int velasegThreads();

}  // namespace velaseg
