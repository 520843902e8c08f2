#!/bin/sh
# Usage: fuzz/run.sh SECONDS [RUNS]
# Builds the fuzz targets with clang (in $FUZZ_BUILD_DIR, default
# build/fuzz) and runs each for SECONDS from its seeds in fuzz/corpus/NAME/;
# with RUNS, exactly that many runs from a fixed seed, so that a check
# explores the same inputs every time.  New inputs go to the build
# directory; a crash keeps its input there and fails the script.
set -eu
seconds=${1:?usage: fuzz/run.sh SECONDS [RUNS]}
fixed=""
[ -z "${2:-}" ] || fixed="-runs=$2 -seed=1"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$source_dir/build/fuzz}
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -DDRVINST_FUZZ=ON >"$build/cmake.log" 2>&1 ||
    { cat "$build/cmake.log"; exit 1; }
for name in version options hive; do
    make -C "$build" -j2 "${name}_fuzz" >"$build/make.log" 2>&1 || { tail -40 "$build/make.log"; exit 1; }
    mkdir -p "$build/corpus/$name" "$build/artifacts/$name"
    echo "fuzzing $name for ${seconds}s"
    # shellcheck disable=SC2086
    if ! "$build/${name}_fuzz" -max_total_time="$seconds" $fixed -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name/" \
        "$build/corpus/$name" "$source_dir/fuzz/corpus/$name" 2>"$build/$name.log"; then
        tail -60 "$build/$name.log"
        echo "fuzz: $name FAILED, input kept in $build/artifacts/$name/"
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$build/$name.log" || true
done
