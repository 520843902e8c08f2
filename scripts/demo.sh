#!/bin/sh
# The tool's main job on a built-in sample: an offline Windows tree gets
# korvex1 2.0, is upgraded to 2.1 (verbose), is shown, and is uninstalled.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# Only what the sample needs; scripts/check.sh installs the rest.
sh scripts/install-deps.sh cmake make g++ libhivex-dev libhivex-bin
cmake -S . -B build/demo -DDRVINST_TESTS=OFF >/dev/null
cmake --build build/demo -j 2 --target drvinst cmd mksys mktree >/dev/null

sample="$top/sample"
rm -rf "$sample"
mkdir -p "$sample/v2.0" "$sample/v2.1"
build/demo/mktree "$sample/disk" >/dev/null
build/demo/mksys "$sample/v2.0/korvex1.sys" --file-version "2.0" --payload "driver 2.0"
build/demo/mksys "$sample/v2.1/korvex1.sys" --file-version "2.1" --payload "driver 2.1"

# The tool takes the driver from the directory it was started from, as
# typed; started by its bare name, that is the working directory.
export PATH="$top/build/demo:$PATH"
export SystemRoot="$sample/disk/WINNT"
hive="$SystemRoot/system32/config/SYSTEM"
services='\ControlSet001\Services'

show() {
    echo "--- $1"
    for key in "$services\\korvex1" "$services\\EventLog\\System\\korvex1"; do
        echo "[HKEY_LOCAL_MACHINE\\SYSTEM$key]"
        printf 'cd %s\nlsval\n' "$key" | hivexsh "$hive" 2>/dev/null || echo "(no such key)"
    done
    echo "--- files in $SystemRoot/system32/drivers"
    ls -l "$SystemRoot/system32/drivers"
}

step() {
    echo
    echo "=== $*"
    set +e
    "$@"
    echo "(exit status $?)"
    set -e
}

cd "$sample/v2.0" && step drvinst -D korvex1
cd "$sample/v2.1" && step drvinst -D korvex1 -V
show "after the upgrade to 2.1"
cd "$sample/v2.0" && step drvinst -D korvex1
cd "$sample" && step drvinst -U -D korvex1 -V
show "after the uninstall (the backup stays)"
