#!/usr/bin/env bash
# Installs what is missing, builds, writes the built-in sample scene and runs
# velaseg on it. Without a display the viewer is skipped; the result file
# build/sample/house_seg_VELA.xyz is written either way.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install_deps.sh"
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
mkdir -p "$build/sample"
"$build/bin/velaseg-sample" "$build/sample/house.pcd"
"$build/bin/velaseg" "$build/sample/house.pcd" "$@"
