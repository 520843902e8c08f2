#!/bin/sh
# Formats the C++ sources, or with --check reports those that differ.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror $files
else
    clang-format -i $files
fi
