#!/usr/bin/env bash
# Fails on any include that runs against the layering of the sources:
#
#   core/segmenter -> core/growing -> core/planar -> core/supervoxel
#     -> core/supervoxel/cl -> core/include
#
# each core folder includes only its own layer and those below it (a
# subfolder such as planar/detail belongs to its parent's layer); tool/ sees
# the library only through core/include and otherwise includes its own files
# and the viewer's header; viewer/ includes only itself; reference/ only the
# core; benchmarks include no test files.
#
#   check_layers.sh [ROOT]    (default: the project this script belongs to)
#
# Every include in double quotes must resolve to a file of the project; an
# include in angle brackets is checked when it names one.
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

# Rank of a core folder; a core file may include ranks up to its own.
core_rank() {
    case $1 in
        core/include | core/include/*) echo 0 ;;
        core/supervoxel/cl | core/supervoxel/cl/*) echo 1 ;;
        core/supervoxel | core/supervoxel/*) echo 2 ;;
        core/planar | core/planar/*) echo 3 ;;
        core/growing | core/growing/*) echo 4 ;;
        core/segmenter | core/segmenter/*) echo 5 ;;
        *) echo -1 ;;
    esac
}

# Folders searched for an include, after the including file's own folder:
# the folder's own include path first, then every other folder, so that an
# include past the path is named for what it reaches.
search_path() {
    local own
    case $1 in
        core | core/*) own="core/include core" ;;
        tool | tool/*) own="tool core/include viewer" ;;
        viewer | viewer/*) own="viewer" ;;
        reference | reference/*) own="reference core/include core" ;;
        *) own="tests reference core/include core tool viewer" ;;
    esac
    echo "$own tests reference core/include core tool viewer ."
}

# The project file an include names, relative to the root; nothing when it
# names none.
resolve() {  # including-dir name quoted
    local dir=$1 name=$2 quoted=$3 candidate
    local places
    places=$(search_path "$dir")
    [ "$quoted" = 1 ] && places="$dir $places"
    for place in $places; do
        candidate="$place/$name"
        if [ -f "$candidate" ]; then
            realpath --relative-to="$root" "$candidate"
            return
        fi
    done
}

# Whether a file in folder `from` may include a file in folder `to`.
allowed() {
    local from=$1 to=$2
    case $from in
        core/*)
            local a b
            a=$(core_rank "$from")
            b=$(core_rank "$to")
            [ "$b" -ge 0 ] && [ "$b" -le "$a" ]
            ;;
        tool | tool/*)
            case $to in tool | tool/* | core/include | viewer) return 0 ;; esac
            return 1
            ;;
        viewer | viewer/*) [ "$to" = viewer ] ;;
        reference | reference/*)
            case $to in reference | core/*) return 0 ;; esac
            return 1
            ;;
        bench | bench/*)
            case $to in tests | tests/*) return 1 ;; esac
            return 0
            ;;
        *) return 0 ;;
    esac
}

# File names of the project: an angle include whose last part names none of
# them is a system header, and is passed over without searching.
declare -A project_names
while IFS= read -r f; do project_names[${f##*/}]=1; done < <(find core tool viewer reference bench tests -type f 2>/dev/null)

failed=0
checked=0
while IFS= read -r file; do
    dir=$(dirname "$file")
    while IFS= read -r line; do
        if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
            name=${BASH_REMATCH[1]}
            quoted=1
        elif [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
            name=${BASH_REMATCH[1]}
            quoted=0
            [ -n "${project_names[${name##*/}]:-}" ] || continue
        else
            continue
        fi
        target=$(resolve "$dir" "$name" "$quoted")
        if [ -z "$target" ]; then
            if [ "$quoted" = 1 ]; then
                echo "$file: \"$name\" names no file of the project"
                failed=1
            fi
            continue
        fi
        checked=$((checked + 1))
        if ! allowed "$dir" "$(dirname "$target")"; then
            echo "$file: includes $target, against the layering"
            failed=1
        fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file")
done < <(find core tool viewer reference bench tests -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)

if [ $failed -eq 0 ]; then
    echo "include layers hold ($checked project includes checked)"
fi
exit $failed
