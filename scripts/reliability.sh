#!/bin/sh
# Usage: scripts/reliability.sh [--quick]
#
# Puts the POSIX build through crashes at every system call, faults at
# every write, flush, rename, open and unlink, fifty rounds of twenty runs
# at once on one tree, and hostile trees (see docs/RELIABILITY.md): the
# form `scripts/check.sh --full` runs.  --quick, the form of the plain
# check, tries a sample: every sixth crash and fault point among the calls
# that change the disk, always with the first and last of each kind in
# each process, one error at each, three rounds and fewer random trees.
# The build directory is $RELIABILITY_BUILD, or build/posix; it is brought
# up to date first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${RELIABILITY_BUILD:-$top/build/posix}
case "${1:-}" in
--quick) set -- --quick --rounds 3; seeds=20 ;;
"") set -- --rounds 50; seeds=300 ;;
*) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
for tool in strace hivexregedit reglookup python3; do
    command -v "$tool" >/dev/null || { echo "reliability: $tool is missing" >&2; exit 1; }
done
cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j 2 --target drvinst cmd mktree mksys hivecheck mkdirty >/dev/null
status=0
python3 "$top/scripts/reliability/check.py" --bin "$build" "$@" || status=1
python3 "$top/scripts/reliability/hostile.py" --bin "$build" --seeds "$seeds" || status=1
exit $status
