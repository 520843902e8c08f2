#!/bin/sh
# Benchmark of the offline install (and of the Windows build under Wine):
# builds the programs it needs, then prints a Markdown report.
#
#   bench/run.sh [--quick] [--reps N] [--no-wine] [--work DIR] [--baseline REV]
#
# --baseline REV also builds git revision REV and times its drvinst beside
# this tree's.  Build directories default to build-perf and build-perf-win;
# set BENCH_BUILD / BENCH_WIN_BUILD to use others.  About ten minutes in
# full, three with --quick.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$top/build-perf}
winbuild=${BENCH_WIN_BUILD:-$top/build-perf-win}
tools=$build/bench-tools

baseline=
wine=yes
passed=
while [ $# -gt 0 ]; do
    case $1 in
    --baseline) baseline=$2; shift 2; continue ;;
    --no-wine) wine= ;;
    esac
    passed="$passed $1"
    shift
done

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
make -C "$build" -j2 drvinst cmd mksys drvinst_platform >/dev/null

mkdir -p "$tools"
cxx="${CXX:-g++} -O2 -std=c++17 -Wall -Wextra -Werror -I$top"
$cxx "$top/bench/mkbighive.cpp" "$top/bench/systemhive.cpp" "$top/bench/hivewriter.cpp" \
    "$build/libdrvinst_platform.a" -lhivex -o "$tools/mkbighive"
$cxx "$top/bench/hivexcost.cpp" -lhivex -o "$tools/hivexcost"
$cxx -shared -fPIC "$top/bench/nosync.cpp" -o "$tools/nosync.so"

extra=
if [ -n "$baseline" ]; then
    src=$build/baseline-src
    rm -rf "$src"
    mkdir -p "$src"
    git -C "$top" archive "$baseline" | tar -x -C "$src"
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    make -C "$src/build" -j2 drvinst cmd mksys >/dev/null
    extra="--baseline-bin $src/build --baseline-name $(git -C "$top" rev-parse --short "$baseline")"
fi

if [ -n "$wine" ]; then
    if [ -x /usr/lib/wine/wine64 ] && command -v x86_64-w64-mingw32-g++ >/dev/null; then
        cmake -S "$top" -B "$winbuild" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null
        make -C "$winbuild" -j2 drvinst >/dev/null
        extra="$extra --win-bin $winbuild"
    else
        echo "bench: no Wine or MinGW here; the Wine comparison is left out" >&2
    fi
fi
# shellcheck disable=SC2086 # the option lists are meant to split
exec python3 "$top/bench/bench.py" --bin "$build" --tools "$tools" $extra $passed
