#!/bin/sh
# Usage: scripts/check.sh [--full]
#
# The quick tier, the test to run before every change (about 10 minutes on
# two cores): formatting and the tests' size, both Windows builds and the
# POSIX one, the unit tests, the scenarios on POSIX and under Wine (x86_64,
# i686, and i686 in a 64-bit prefix), the offline version reader against
# Windows' own (64 and 32-bit), the unit tests and POSIX scenarios again
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a sample of
# crash and fault points with the hostile table (reliability.sh --quick).
#
# --full adds what takes long: crashes and faults at every point and the
# concurrency rounds (reliability.sh), the Windows build ten times over
# under Wine, fuzzing, drvinst-image on disk images (minutes under
# software emulation), and the release zip and .deb, built and used.
set -eu
tier=quick
case "${1:-}" in
"") ;;
--full) tier=full ;;
*)
    echo "usage: $0 [--full]" >&2
    exit 2
    ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh
jobs=2

# Each stage's time, so that a slow one shows.
times=""
began=$(date +%s)
stage_start=$began
stage_name=""
stage() {
    now=$(date +%s)
    if [ -n "$stage_name" ]; then
        times="$times$(printf '%6d s  %s' $((now - stage_start)) "$stage_name")
"
        echo "== $stage_name: $((now - stage_start)) s"
    fi
    stage_name=$1
    stage_start=$now
    [ -z "$1" ] || echo "== $1"
}

# The fast ones first, so that a slip shows in seconds.
stage "format and test size"
sh scripts/format.sh --check
sh scripts/testsize.sh

stage "Windows builds (x86_64, i686)"
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win64 -j $jobs
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win32 -j $jobs

stage "POSIX build"
cmake -S . -B build/posix -DDRVINST_TESTS=ON -DDRVINST_WIN_BUILD="$top/build/win64" \
    -DDRVINST_WIN32_BUILD="$top/build/win32"
cmake --build build/posix -j $jobs

# Every test but the disk image one; they are independent, two at a time.
stage "unit tests and scenarios (POSIX, Wine 64 and 32-bit)"
(cd build/posix && ctest -j $jobs --output-on-failure -LE image)

# Only what the unit tests and the POSIX scenarios run is built again.
stage "sanitizer build and run"
cmake -S . -B build/sanitize -DDRVINST_TESTS=ON -DDRVINST_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build/sanitize -j $jobs --target unit realhives drvinst cmd drvinst-faulty mktree mksys hivecheck mkdirty
(cd build/sanitize && ctest -j $jobs --output-on-failure -L 'unit|posix')

if [ "$tier" = quick ]; then
    stage "crash and fault sample, hostile table"
    RELIABILITY_BUILD="$top/build/posix" sh scripts/reliability.sh --quick
else
    stage "crash and fault points, all; concurrency rounds; hostile table"
    RELIABILITY_BUILD="$top/build/posix" sh scripts/reliability.sh
    stage "Windows build ten times over under Wine"
    WIN_BUILD="$top/build/win64" POSIX_BUILD="$top/build/posix" sh scripts/reliability/wine-repeat.sh 10
    stage "fuzzing"
    sh fuzz/run.sh 300 "${FUZZ_RUNS:-100000}"
    # Its appliance starts are bounded, with software emulation tried once
    # when a start hangs, so it cannot wait for ctest's limit.
    stage "drvinst-image on disk images"
    (cd build/posix && ctest --output-on-failure -L image)
    # What users get: the Windows zip (its programs through the scenarios
    # under Wine, and their imports) and the .deb, installed and used.
    stage "release zip and .deb"
    sh scripts/release.sh --check
    sh scripts/deb-check.sh
fi
stage ""
printf '%s' "$times"
echo "all checks passed ($tier tier, $(($(date +%s) - began)) s)"
