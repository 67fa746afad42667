// The program's own parallel steps (LAZ decoding, output formatting) run on
// oneTBB in an arena of as many threads as the library uses, so that
// VELASEG_THREADS bounds them too.
#pragma once

#include <cstddef>
#include <utility>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

namespace velaseg {

// Runs body() in an arena of `threads` threads. More threads than cores are
// allowed on request; no result depends on their number.
template <typename Body>
void runInArena(int threads, Body&& body)
{
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    tbb::task_arena arena(threads);
    arena.execute(std::forward<Body>(body));
}

}  // namespace velaseg
