#!/bin/sh
# Usage: scripts/reliability.sh [--quick]
#
# Puts the POSIX build through crashes at every system call, faults at
# every write, flush, rename, open and unlink, twenty runs at once on one
# tree, hand-made bad input and hostile trees, also on an ntfs-3g volume
# (see docs/RELIABILITY.md).  --quick tries
# every fifth crash point and every second fault point, always with the
# first and last of each kind of system call, and fewer rounds; it is the
# form the full check runs.
#
# The build directory is $RELIABILITY_BUILD, or build/posix; it is brought
# up to date first.  Every check runs even when an earlier one fails; the
# status is 1 when any failed.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${RELIABILITY_BUILD:-$top/build/posix}
checks=$top/scripts/reliability

case "${1:-}" in
--quick) crash_every=5 fault_every=2 rounds=5 keys=40 seeds=50 ;;
"") crash_every=1 fault_every=1 rounds=50 keys=150 seeds=300 ;;
*) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

for tool in strace hivexregedit python3; do
    command -v "$tool" >/dev/null || { echo "reliability: $tool is missing" >&2; exit 1; }
done

cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j 2 --target drvinst cmd mktree mksys hivecheck >/dev/null

failed=""
run() {
    name=$1
    shift
    started=$(date +%s)
    if python3 "$checks/$name.py" --bin "$build" "$@"; then
        echo "reliability: $name passed in $(($(date +%s) - started)) s"
    else
        echo "reliability: $name FAILED"
        failed="$failed $name"
    fi
}

run crash --every "$crash_every"
run faults --every "$fault_every"
run concurrency --rounds "$rounds"
run badinput --keys "$keys"
run hostile --seeds "$seeds" --ntfs

if [ -n "$failed" ]; then
    echo "reliability: failed:$failed"
    exit 1
fi
echo "reliability: all checks passed"
