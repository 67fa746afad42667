#!/usr/bin/env bash
# Builds the test programs of the parallel steps under ThreadSanitizer and
# runs their thread-count tests: each runs its loops on one, two and seven
# threads, which is where a data race would show.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELASEG_TSAN=ON -DVELASEG_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target segmenter_tests supervoxel_tests planar_tests growing_tests
cd "$build"
# Fail on the first report rather than carry on past it.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    ctest --output-on-failure -j "$(nproc)" -R 'ThreadPool\.|any_thread_count'
