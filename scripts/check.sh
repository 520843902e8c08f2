#!/bin/sh
# Builds everything and runs every test: unit tests, the scenarios on the
# POSIX build and on both Windows builds under Wine, the unit tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a bounded fuzzing
# run, and the formatting check.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh
jobs=2

cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win64 -j $jobs
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win32 -j $jobs

cmake -S . -B build/posix -DDRVINST_TESTS=ON -DDRVINST_WIN_BUILD="$top/build/win64" \
    -DDRVINST_WIN32_BUILD="$top/build/win32"
cmake --build build/posix -j $jobs
# Includes drvinst-image on disk images (label image), a few minutes under
# software emulation.
(cd build/posix && ctest --output-on-failure)

cmake -S . -B build/sanitize -DDRVINST_TESTS=ON -DDRVINST_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build/sanitize -j $jobs
(cd build/sanitize && ctest --output-on-failure -L 'unit|posix')

# Crashes and faults at every system call, concurrent runs, hostile trees, and
# the Windows build's install, refusal and uninstall ten times over under Wine.
RELIABILITY_BUILD="$top/build/posix" sh scripts/reliability.sh --quick
WIN_BUILD="$top/build/win64" POSIX_BUILD="$top/build/posix" sh scripts/reliability/wine-repeat.sh 10

if [ -f fuzz/run.sh ]; then
    sh fuzz/run.sh 300 "${FUZZ_RUNS:-100000}"
fi

# What users get: the Windows zip (its x86_64 program through the scenarios
# under Wine, and its imports) and the .deb, installed and used.
sh scripts/release.sh --check
sh scripts/deb-check.sh

sh scripts/format.sh --check
# Tests are kept to at most half the size of the product.
sh scripts/testsize.sh
echo "all checks passed"
