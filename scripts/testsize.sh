#!/bin/sh
# Prints the non-blank lines of product code and of test code (C++, Python,
# shell and CMake files) and their ratio; fails when the tests outgrow half
# the product, or the percentage given as the argument.
set -eu
cd "$(dirname "$0")/.."
limit=${1:-50}
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \
        -o -name '*.cmake' \) -exec cat {} + | grep -cv '^[[:space:]]*$'
}
product=$(count front driverfile registry rollback platform)
tests=$(count tests fuzz scripts/reliability tools)
echo "$product $tests" | awk '{ printf "product %d lines, tests %d lines, ratio %.2f\n", $1, $2, $2 / $1 }'
[ $((tests * 100)) -le $((product * limit)) ] || {
    echo "testsize: tests exceed $limit% of the product" >&2
    exit 1
}
[ "$limit" -le 50 ] || echo "testsize: within the interim ceiling of $limit%; the goal is 50%"
