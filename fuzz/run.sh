#!/bin/sh
# Usage: fuzz/run.sh SECONDS [RUNS]
# With RUNS, each target makes exactly that many runs from a fixed seed
# (SECONDS still caps it), so that a check run explores the same inputs
# every time and fails only on what the code does, not on luck.
# Builds the fuzz targets with clang (in $FUZZ_BUILD_DIR, default
# build/fuzz) and runs each for SECONDS, starting from its seed corpus in
# fuzz/corpus/NAME/.  New inputs go to the build directory, never to the
# seeds; a crash leaves its input there and makes the script fail.
set -eu

seconds=${1:?usage: fuzz/run.sh SECONDS [RUNS]}
runs=${2:-}
fixed=""
[ -z "$runs" ] || fixed="-runs=$runs -seed=1"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$source_dir/build/fuzz}
targets="version options hive"

mkdir -p "$build"
if ! CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -DDRVINST_FUZZ=ON \
    >"$build/cmake.log" 2>&1; then
    cat "$build/cmake.log"
    exit 1
fi
for name in $targets; do
    if ! make -C "$build" -j2 "${name}_fuzz" >"$build/make.log" 2>&1; then
        tail -40 "$build/make.log"
        echo "fuzz: could not build ${name}_fuzz (is cmake/fuzz.cmake included" \
            "by CMakeLists.txt when DRVINST_FUZZ is on?)"
        exit 1
    fi
done

for name in $targets; do
    corpus=$build/corpus/$name
    artifacts=$build/artifacts/$name/
    mkdir -p "$corpus" "$artifacts"
    echo "fuzzing $name for ${seconds}s"
    # shellcheck disable=SC2086
    if ! "$build/${name}_fuzz" -max_total_time="$seconds" $fixed -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$corpus" "$source_dir/fuzz/corpus/$name" 2>"$build/$name.log"; then
        tail -60 "$build/$name.log"
        echo "fuzz: $name FAILED, input kept in $artifacts"
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$build/$name.log" || true
done
