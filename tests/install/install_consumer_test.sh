#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small program of
# another project against it twice: through the CMake package and through
# the pkg-config file. Both programs must run and find one plane.
#   install_consumer_test.sh BUILD_DIR CXX_COMPILER [EXTRA_CXX_FLAGS]
set -euo pipefail
build=$1
cxx=$2
flags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in bin/velaseg bin/velaseg-sample include/VelaCore/vela_plane.h include/CloudView/cloud_view.h; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
ls "$prefix"/lib*/libVelaCore.so "$prefix"/lib*/libCloudView.so >/dev/null

echo "-- through find_package(VelaCore)"
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/consumer/consumer" >/dev/null

echo "-- through pkg-config velacore"
pc_dir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/velacore.pc "$prefix"/lib/*/pkgconfig/velacore.pc 2>/dev/null | head -1)")
read -r -a pc_flags <<<"$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs velacore)"
read -r -a extra <<<"$flags"
"$cxx" "${extra[@]}" "$here/consumer/main.cpp" "${pc_flags[@]}" -o "$work/pc_consumer"
LD_LIBRARY_PATH="$(dirname "$pc_dir")" "$work/pc_consumer" >/dev/null
