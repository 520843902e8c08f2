#!/bin/sh
# Makes the Windows release: drvinst.exe for x86_64 and for i686, built for
# Release, linked statically and stripped, each checked to need no DLL
# beyond those every Windows has, zipped with README-windows.txt into
# build/release/drvinst-VERSION-windows.zip.
#
# With --check, the zipped programs are then put through the scenario table
# under Wine, the i686 one in a 32-bit prefix and, for its refusal, in a
# 64-bit one; and both programs' own version resources are read back.
#
# DRVINST_BUILD names another top build directory instead of build/.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${DRVINST_BUILD:-$top/build}
jobs=2
check=no
case "${1:-}" in
"") ;;
--check) check=yes ;;
*)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac

# Only these may be imported: a libstdc++, libgcc or libwinpthread DLL
# would mean the static link did not take, and the program would not start
# on a machine without the toolchain.
system_dlls="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL VERSION.DLL"


fail() {
    echo "release: $*" >&2
    exit 1
}

# build_windows ARCH DIR: configures and builds DIR's stripped release copy.
# The toolchain is given only to a new directory, since CMake reads it once
# and warns when it is given again.
build_windows() {
    toolchain=""
    [ -f "$2/CMakeCache.txt" ] || toolchain="-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$1.cmake"
    cmake -S . -B "$2" $toolchain -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$2" -j "$jobs" --target release >/dev/null
}

# check_imports ARCH EXE: the machine type and the imported DLLs.
check_imports() {
    dump=$("$1-w64-mingw32-objdump" -p "$2")
    case "$1" in
    x86_64) format=pei-x86-64 ;;
    i686) format=pei-i386 ;;
    esac
    echo "$dump" | grep -q "file format $format\$" || fail "$2 is not a $format image"
    dlls=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ -n "$dlls" ] || fail "$2 imports no DLL at all; objdump output unexpected"
    for dll in $dlls; do
        upper=$(echo "$dll" | tr '[:lower:]' '[:upper:]')
        case " $system_dlls " in
        *" $upper "*) ;;
        *) fail "$2 imports $dll, which Windows does not provide" ;;
        esac
    done
    echo "$1/drvinst.exe imports:" $dlls
}

project_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# stage DIR VERSION: lays out the zip's contents.  The README gets CRLF line
# ends so that every Windows editor shows it as it is meant.
stage() {
    rm -rf "$1"
    mkdir -p "$1/x86_64" "$1/i686"
    cp "$build/win64/release/drvinst.exe" "$1/x86_64/drvinst.exe"
    cp "$build/win32/release/drvinst.exe" "$1/i686/drvinst.exe"
    grep -q '@VERSION@' docs/README-windows.txt || fail "README-windows.txt lacks @VERSION@"
    sed -e "s/@VERSION@/$2/g" -e 's/$/\r/' docs/README-windows.txt >"$1/README-windows.txt"
}

make_zip() {
    version=$(project_version "$build/win64")
    [ -n "$version" ] || fail "no project version in $build/win64/CMakeCache.txt"
    zip=$build/release/drvinst-$version-windows.zip
    stage "$build/release/stage" "$version"
    rm -f "$zip"
    (cd "$build/release/stage" && zip -q -X -r "$zip" README-windows.txt x86_64 i686)
    unzip -t -q "$zip" >/dev/null || fail "$zip does not test clean"
    unzip -l "$zip"
}

# The scenario runner needs the Wine helper programs next to the tool, and
# the POSIX tools that make driver files and trees.
check_zip() {
    cmake -S . -B "$build/posix" >/dev/null
    cmake --build "$build/posix" -j "$jobs" --target mksys mktree versionprobe >/dev/null
    cmake --build "$build/win64" -j "$jobs" --target reglink failmove >/dev/null
    cmake --build "$build/win32" -j "$jobs" --target reglink failmove >/dev/null
    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    unzip -q "$zip" -d "$unpacked"
    want=$(echo "$version" | cut -d. -f1-2)
    for arch in x86_64 i686; do
        got=$("$build/posix/versionprobe" "$unpacked/$arch/drvinst.exe")
        [ "$got" = "result true $want" ] || fail "$arch/drvinst.exe version: $got, want $want"
    done
    echo "both programs carry version $version"
    cp "$build/win64/reglink.exe" "$build/win64/failmove.exe" "$unpacked/x86_64/"
    cp "$build/win32/reglink.exe" "$build/win32/failmove.exe" "$unpacked/i686/"
    scenarios wine "$unpacked/x86_64"
    scenarios wine "$unpacked/i686" WINELOADER=/usr/lib/wine/wine WINEARCH=win32
    scenarios wow64 "$unpacked/i686"
}

# scenarios BUILD DIR [NAME=VALUE...]: the table against DIR's program in
# that environment; 77 is a machine that cannot run 32-bit programs, which
# run.py has said in so many words.
scenarios() {
    kind=$1 dir=$2
    shift 2
    status=0
    env "$@" python3 tests/scenarios/run.py --build "$kind" --bin "$dir" --tools "$build/posix" ||
        status=$?
    [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || fail "scenarios ($kind) failed on $dir"
}

sh scripts/install-deps.sh
build_windows x86_64 "$build/win64"
build_windows i686 "$build/win32"
check_imports x86_64 "$build/win64/release/drvinst.exe"
check_imports i686 "$build/win32/release/drvinst.exe"
make_zip
if [ "$check" = yes ]; then
    check_zip
fi
echo "release: $zip"
