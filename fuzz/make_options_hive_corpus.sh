#!/bin/sh
# Usage: fuzz/make_options_hive_corpus.sh BUILD_DIR
# Writes the seed corpora of the options and hive targets: command lines
# of each shape the scanner tells apart (fields separated by zero bytes:
# working directory, argument 0, arguments), and the hives this project
# writes, from an empty one to one after an install, with BUILD_DIR's
# mkhive, mktree, mksys, drvinst and cmd.exe.  The other files of
# corpus/hive are inputs that once broke a run, kept so that they stay
# harmless.
set -eu
build=$(cd "${1:?usage: fuzz/make_options_hive_corpus.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

options=$here/corpus/options
mkdir -p "$options"
line() { printf "$2" >"$options/$1"; }
line verbose 'C:\\work\0drvinst\0-D\0korvex1\0-V'
line joined 'C:\\work\0sub\\drvinst\0-Dkorvex2\0korvex1\0-verbose'
line absolute 'C:\\work\0Z:\\tools\\drvinst.exe\0-U\0-F\0-d\0korvex2'
line drive-relative 'C:\\work\0D:drvinst\0-D\0korvex1'
line blanks '\0a b&echo evil\\drvinst\0-D\0korvex1'
line usage-end 'C:\\w\0drvinst\0-D'
line usage-dash 'C:\\w\0drvinst\0-\0-D\0korvex1'
line unknown 'C:\\w\0drvinst\0-D\0korvex1\0-x'

hives=$here/corpus/hive
mkdir -p "$hives"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/mkhive" "$hives/empty"
"$build/mktree" "$scratch/tree" >/dev/null
cp "$scratch/tree/WINNT/system32/config/SYSTEM" "$hives/tree"
mkdir "$scratch/work"
"$build/mksys" "$scratch/work/korvex1.sys" --file-version 2.1
(cd "$scratch/work" && PATH="$build:$PATH" SystemRoot="$scratch/tree/WINNT" \
    "$build/drvinst" -D korvex1 >/dev/null)
cp "$scratch/tree/WINNT/system32/config/SYSTEM" "$hives/installed"
"$build/mktree" "$scratch/two" 2 1 >/dev/null
cp "$scratch/two/WINNT/system32/config/SYSTEM" "$hives/control-set-2"
# A value kept in segments behind a "db" cell, as the system writes large
# values: hivex writes one cell, which is carved here into the db cell,
# its segment list and two segments.
cp "$hives/tree" "$hives/big-data"
python3 -c "print('Windows Registry Editor Version 5.00\n\n[\\\\ControlSet001]\n\"Big\"=hex:' + ','.join(['64'] * 20000) + '\n')" >"$scratch/big.reg"
hivexregedit --merge "$hives/big-data" "$scratch/big.reg"
python3 - "$hives/big-data" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
vk = data.index(b'vk\x03\x00') 
assert data[vk + 20:vk + 23] == b'Big'
cell = struct.unpack_from('<I', data, vk + 8)[0] + 4096
assert struct.unpack_from('<i', data, cell)[0] == -20008
at = cell - 4096
struct.pack_into('<i2sHI', data, cell, -16, b'db', 2, at + 16)
struct.pack_into('<iII', data, cell + 16, -16, at + 32, at + 16384)
struct.pack_into('<i', data, cell + 32, -16352)
struct.pack_into('<i', data, cell + 16384, -3624)
struct.pack_into('<I', data, vk + 4, 19900)
open(path, 'wb').write(data)
PY

# Dirty hives with their logs, each behind the marker the target splits on.
for kind in split old badsum grow; do
    rm -rf "$scratch/dirty"
    "$build/mktree" "$scratch/dirty" >/dev/null
    config=$scratch/dirty/WINNT/system32/config
    "$build/mkdirty" "$config/SYSTEM" "$kind"
    cat "$config/SYSTEM" >"$hives/dirty-$kind"
    for log in LOG1 LOG2; do
        printf '#LOGSEP#' >>"$hives/dirty-$kind"
        cat "$config/SYSTEM.$log" >>"$hives/dirty-$kind"
    done
done
