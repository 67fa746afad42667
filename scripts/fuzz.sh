#!/usr/bin/env bash
# Coverage-guided fuzzing of one input kind with libFuzzer, outside the suite.
#   fuzz.sh las|pcd|ply|xyz|ini [SECONDS]     (default: 600 seconds)
# Installs clang and libFuzzer when missing, builds into build-libfuzzer/
# (clang, AddressSanitizer, UndefinedBehaviorSanitizer, coverage) and fuzzes
# from the built-in seeds. Crashing inputs land in build-libfuzzer/findings-KIND/.
set -euo pipefail
kind=${1:?usage: fuzz.sh las|pcd|ply|xyz|ini [SECONDS]}
seconds=${2:-600}
case "$kind" in las|pcd|ply|xyz|ini) ;; *) echo "fuzz.sh: unknown kind $kind" >&2; exit 2 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-libfuzzer

"$root/scripts/install_deps.sh"
missing=()
for p in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DVELASEG_SANITIZE=ON -DVELASEG_LIBFUZZER=ON -DVELASEG_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target velaseg-fuzz "velaseg-libfuzzer-$kind"

corpus=$build/corpus-$kind
findings=$build/findings-$kind
mkdir -p "$corpus" "$findings"
"$build/bin/velaseg-fuzz" seeds "$build/seeds"
cp -n "$build/seeds/$kind/"* "$corpus/"
# Standard output carries the run's progress lines: closed. Reports go to stderr.
ASAN_OPTIONS=max_allocation_size_mb=1024:allocator_may_return_null=0:detect_leaks=0 \
    "$build/bin/velaseg-libfuzzer-$kind" -close_fd_mask=1 -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=20 -artifact_prefix="$findings/" "$corpus"
