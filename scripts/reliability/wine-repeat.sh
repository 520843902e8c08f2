#!/bin/sh
# Usage: scripts/reliability/wine-repeat.sh [COUNT]
#
# The Windows build's install, refusal of the same version and uninstall of
# korvex1, COUNT times over (50 by default) on one Wine prefix, each checked
# as its scenario is: output, status, driver files and registry.  WIN_BUILD
# names the directory of drvinst.exe (default build/win64), POSIX_BUILD that
# of mksys (default build/posix); WINELOADER and WINESERVER the Wine to use.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
exec python3 "$top/tests/scenarios/run.py" --build wine --bin "${WIN_BUILD:-$top/build/win64}" \
    --tools "${POSIX_BUILD:-$top/build/posix}" --repeat "${1:-50}" --only 'fresh install' \
    --only 'same version refused' --only 'uninstall removes file'
