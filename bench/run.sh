#!/bin/sh
# Benchmark of the offline install (and of the Windows build under Wine):
# builds the programs it needs, then prints a Markdown report.
#
#   bench/run.sh [--quick] [--reps N] [--no-wine] [--work DIR]
#                [--revision REV] [--baseline REV]...
#
# drvinst is built from the working tree, or from git revision REV with
# --revision; each --baseline REV also builds REV and times its drvinst
# beside the other.  Build directories default to build-perf and build-perf-win;
# set BENCH_BUILD / BENCH_WIN_BUILD to use others.  About five minutes in
# full, two with --quick.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$top/build-perf}
winbuild=${BENCH_WIN_BUILD:-$top/build-perf-win}
tools=$build/bench-tools

command="bench/run.sh${*:+ $*}"
baselines=
revision=
wine=yes
passed=
while [ $# -gt 0 ]; do
    case $1 in
    --baseline) baselines="$baselines $2"; shift 2; continue ;;
    --revision) revision=$2; shift 2; continue ;;
    --no-wine) wine= ;;
    esac
    passed="$passed $1"
    shift
done

# A clean export of one revision, built with the programs a run needs.
build_revision() {
    rm -rf "$2"
    mkdir -p "$2"
    git -C "$top" archive "$1" | tar -x -C "$2"
    cmake -S "$2" -B "$2/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    make -C "$2/build" -j2 drvinst cmd mksys >/dev/null
}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
make -C "$build" -j2 drvinst cmd mksys drvinst_platform >/dev/null
bin=$build
winsrc=$top
head=$(git -C "$top" rev-parse --short HEAD)
dirty=$(git -C "$top" status --porcelain --untracked-files=no -- front driverfile registry \
    rollback platform CMakeLists.txt | wc -l)
measured="the working tree at $head"
[ "$dirty" -eq 0 ] || measured="$measured, with $dirty files changed since"
if [ -n "$revision" ]; then
    build_revision "$revision" "$build/revision-src"
    bin=$build/revision-src/build
    winsrc=$build/revision-src
    winbuild=$winsrc/build-win
    measured="revision $(git -C "$top" rev-parse --short "$revision")"
fi

mkdir -p "$tools"
cxx="${CXX:-g++} -O2 -std=c++17 -Wall -Wextra -Werror -I$top"
$cxx "$top/bench/mkbighive.cpp" "$top/bench/systemhive.cpp" "$top/bench/hivewriter.cpp" \
    "$build/libdrvinst_platform.a" -lhivex -o "$tools/mkbighive"
$cxx "$top/bench/hivexcost.cpp" -lhivex -o "$tools/hivexcost"
$cxx "$top/tools/mkdirty.cpp" "$build/libdrvinst_platform.a" -lhivex -o "$tools/mkdirty"
$cxx -shared -fPIC "$top/bench/nosync.cpp" -o "$tools/nosync.so"

extra=
for rev in $baselines; do
    short=$(git -C "$top" rev-parse --short "$rev")
    build_revision "$rev" "$build/baseline-$short"
    extra="$extra --baseline-bin $build/baseline-$short/build --baseline-name $short"
done

if [ -n "$wine" ]; then
    if [ -x /usr/lib/wine/wine64 ] && command -v x86_64-w64-mingw32-g++ >/dev/null; then
        cmake -S "$winsrc" -B "$winbuild" -DCMAKE_TOOLCHAIN_FILE="$winsrc/cmake/mingw-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null
        make -C "$winbuild" -j2 drvinst >/dev/null
        extra="$extra --win-bin $winbuild"
    else
        echo "bench: no Wine or MinGW here; the Wine comparison is left out" >&2
    fi
fi
# shellcheck disable=SC2086 # the option lists are meant to split
exec python3 "$top/bench/bench.py" --bin "$bin" --tools "$tools" --measured "$measured" \
    --command "$command" \
    $extra $passed
