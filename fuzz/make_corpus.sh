#!/bin/bash
# Usage: fuzz/make_corpus.sh BUILD_DIR
# Writes the seed corpus of the version target with BUILD_DIR/mksys: small
# driver files of each shape that the reader tells apart.
set -euo pipefail

mksys=${1:?usage: fuzz/make_corpus.sh BUILD_DIR}/mksys
out=$(cd "$(dirname "$0")" && pwd)/corpus/version
mkdir -p "$out"
"$mksys" "$out/counted.sys" --file-version 2.1
"$mksys" "$out/uncounted.sys" --file-version 2.10 --uncounted
"$mksys" "$out/pe32.sys" --file-version 4.00.1381.1 --pe32
"$mksys" "$out/no-fixed.sys" --file-version 7.x --no-fixed
"$mksys" "$out/e4-block.sys" --file-version 3.2 --block 040904E4
"$mksys" "$out/no-resource.sys" --no-resource
"$mksys" "$out/strings.sys" --no-file-version --string "fileversion=1 .2" \
    --string "ProductName=K$(printf '\xc3\xb6')rvex $(printf '\xe2\x82\xac')"
"$mksys" "$out/languages.sys" --file-version 2.1 --languages 0001,0007,0009,0409
