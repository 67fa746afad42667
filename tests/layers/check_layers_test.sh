#!/usr/bin/env bash
# The include-layer check on small made-up trees: a tree that keeps the
# layering passes, and each kind of wrong include fails, naming the file.
#   check_layers_test.sh CHECK_SCRIPT
set -uo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tree that keeps the layering: every folder includes downwards.
make_tree() {  # dir
    local t=$1
    mkdir -p "$t"/core/{include,supervoxel/cl,planar/detail,growing,segmenter} "$t"/{tool,viewer,reference,bench,tests}
    echo '#pragma once' >"$t/core/include/vela_plane.h"
    printf '#pragma once\n#include <vector>\n' >"$t/core/supervoxel/cl/kdtree.h"
    printf '#include "supervoxel/cl/kdtree.h"\n#include "vela_plane.h"\n' >"$t/core/supervoxel/set.h"
    printf '#include "planar/detail/sort.h"\n#include "supervoxel/set.h"\n' >"$t/core/planar/test.h"
    echo '#pragma once' >"$t/core/planar/detail/sort.h"
    printf '#include "planar/test.h"\n' >"$t/core/growing/grow.h"
    printf '#include "growing/grow.h"\n' >"$t/core/segmenter/run.cpp"
    echo '#pragma once' >"$t/viewer/view.h"
    printf '#include "view.h"\n#include "vela_plane.h"\n#include "clock.h"\n' >"$t/tool/driver.cpp"
    echo '#pragma once' >"$t/tool/clock.h"
    printf '#include "planar/test.h"\n' >"$t/reference/literal.h"
    echo '#pragma once' >"$t/tests/helpers.h"
    printf '#include "literal.h"\n#include "segmenter/run.cpp"\n' >"$t/bench/bench.cpp"
    printf '#include "helpers.h"\n#include "literal.h"\n' >"$t/tests/a_test.cpp"
}

failures=0
expect() {  # name want(pass|fail) pattern tree
    local name=$1 want=$2 pattern=$3 tree=$4 out status
    out=$("$check" "$tree" 2>&1)
    status=$?
    if [ "$want" = pass ] && [ $status -ne 0 ]; then
        echo "FAIL $name: the check refused a layered tree:"; echo "$out"; failures=1
    elif [ "$want" = fail ] && { [ $status -eq 0 ] || ! grep -q -- "$pattern" <<<"$out"; }; then
        echo "FAIL $name: expected a refusal matching '$pattern', got (status $status):"; echo "$out"; failures=1
    else
        echo "ok   $name"
    fi
}

case_tree() {  # name: a fresh layered tree
    local t="$work/$1"
    make_tree "$t"
    echo "$t"
}

t=$(case_tree layered)
expect layered_tree_passes pass '' "$t"

t=$(case_tree upward)
echo '#include "planar/test.h"' >>"$t/core/supervoxel/set.h"
expect supervoxel_including_planar_fails fail 'core/supervoxel/set.h: includes core/planar/test.h' "$t"

t=$(case_tree skip_up)
echo '#include "segmenter/run.cpp"' >>"$t/core/supervoxel/cl/kdtree.h"
expect index_including_the_top_fails fail 'core/supervoxel/cl/kdtree.h: includes core/segmenter/run.cpp' "$t"

t=$(case_tree public_up)
echo '#include <supervoxel/set.h>' >>"$t/core/include/vela_plane.h"
expect public_header_including_internals_fails fail 'core/include/vela_plane.h: includes core/supervoxel/set.h' "$t"

t=$(case_tree tool_internal)
echo '#include "growing/grow.h"' >>"$t/tool/driver.cpp"
expect tool_past_the_public_header_fails fail 'tool/driver.cpp: includes core/growing/grow.h' "$t"

t=$(case_tree bench_test)
echo '#include "../tests/helpers.h"' >>"$t/bench/bench.cpp"
expect bench_including_a_test_file_fails fail 'bench/bench.cpp: includes tests/helpers.h' "$t"

t=$(case_tree unknown)
echo '#include "planar/gone.h"' >>"$t/core/growing/grow.h"
expect include_of_no_file_fails fail 'core/growing/grow.h: "planar/gone.h" names no file' "$t"

exit $failures
