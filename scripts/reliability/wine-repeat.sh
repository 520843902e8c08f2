#!/bin/sh
# Usage: scripts/reliability/wine-repeat.sh [COUNT]
#
# Runs the Windows build's install, refusal (the same version again) and
# uninstall of korvex1 COUNT times back to back (50 by default) on one Wine
# prefix, and checks after every run that the registry holds exactly the
# golden export of the driver's keys (golden/*.reg) or nothing, that the
# run ended 0, and that the drivers directory holds exactly the driver
# or nothing.  All runs go through one batch file, so that the prefix sees
# them in one sitting, as a machine would.
#
# Wine now and then fails to start a program (cmd then says it cannot
# recognise it) or to carry out a delete.  An export that failed is asked
# for again; an uninstall whose delete left the driver behind is reported
# as known, since the tool does not look at that delete's status, and the
# driver is removed so that the next round starts from nothing.  Anything
# else fails the check.  WINE_REPEAT_KEEP=1 keeps the scratch tree of a
# failed check.
#
# WIN_BUILD names the directory of drvinst.exe (default build/win64),
# POSIX_BUILD that of mksys (default build/posix); WINELOADER and
# WINESERVER the Wine to use (default /usr/lib/wine/wine64 and wineserver).
set -eu
count=${1:-50}
top=$(cd "$(dirname "$0")/../.." && pwd)
golden=$top/scripts/reliability/golden
win_build=${WIN_BUILD:-$top/build/win64}
posix_build=${POSIX_BUILD:-$top/build/posix}
wine=${WINELOADER:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}

for need in "$win_build/drvinst.exe" "$posix_build/mksys" "$wine"; do
    [ -e "$need" ] || { echo "wine-repeat: $need is missing; build it first" >&2; exit 1; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/drvinst-wine-repeat.XXXXXX")
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    if [ "${failures:-0}" -ne 0 ] && [ -n "${WINE_REPEAT_KEEP:-}" ]; then
        echo "wine-repeat: evidence kept in $scratch"
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
mkdir -p "$scratch/work" "$scratch/out"
cp "$win_build/drvinst.exe" "$scratch/work/"
"$posix_build/mksys" "$scratch/work/korvex1.sys" --file-version 2.1 --payload wine-repeat

# One batch file holds every round; each run leaves its output, status,
# exports and the drivers directory's listing and copy in out/.
dos() { printf 'Z:%s' "$1" | tr / '\\'; }
out=$(dos "$scratch/out")
cat >"$scratch/rounds.cmd" <<EOF
@echo off
cd /d $(dos "$scratch/work")
for /L %%i in (1,1,$count) do call :round %%i
exit 0
:round
call :step %1 install present -D korvex1
call :step %1 refuse present -D korvex1
call :step %1 uninstall absent -U -D korvex1
goto :eof
:step
set tries=0
:run
set /a tries+=1
drvinst -V %4 %5 %6 > $out\\%1-%2.txt 2>&1
echo %errorlevel% > $out\\%1-%2.status
rem 9009 is cmd's status for a program it could not find: the tool never
rem started, so starting it again is the same run.
if not errorlevel 9009 goto ran
if %tries% geq 3 goto ran
copy $out\\%1-%2.txt $out\\%1-%2.try%tries% >nul
goto run
:ran
call :export %1-%2-service %3 "HKLM\\SYSTEM\\CurrentControlSet\\Services\\korvex1"
call :export %1-%2-eventlog %3 "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\korvex1"
dir /b C:\\windows\\system32\\drivers\\korvex1* > $out\\%1-%2.dir 2>nul
if exist C:\\windows\\system32\\drivers\\korvex1.sys copy C:\\windows\\system32\\drivers\\korvex1.sys $out\\%1-%2.sys >nul
if %3==absent if exist C:\\windows\\system32\\drivers\\korvex1.sys call :leftover %1-%2
goto :eof
rem The uninstall does not look at its delete's status, so a delete that
rem Wine failed to carry out leaves the driver behind with status 0.  The
rem check removes it, so that the next round starts from nothing, and notes
rem whether it could: if it could not, the file is held open.
:leftover
del /F C:\\windows\\system32\\drivers\\korvex1.sys
if exist C:\\windows\\system32\\drivers\\korvex1.sys (echo held> $out\\%1.left) else (echo removed> $out\\%1.left)
goto :eof
rem A key that should be there and could not be exported is asked for
rem again: nothing writes the registry between the run and its exports, so
rem a later answer tells the key's state as well as the first would have.
:export
set tries=0
:again
set /a tries+=1
reg export %3 $out\\%1.reg /y > $out\\%1.log 2>&1
if not errorlevel 1 goto :eof
if %2==absent goto :eof
echo attempt %tries% failed: >> $out\\%1.retries
type $out\\%1.log >> $out\\%1.retries
if %tries% lss 3 goto again
goto :eof
EOF

"$wine" wineboot -u >/dev/null 2>&1 </dev/null
"$wineserver" -w
"$wineserver" -p
started=$(date +%s)
"$wine" cmd /c "$(dos "$scratch/rounds.cmd")" >/dev/null 2>&1 </dev/null
took=$(($(date +%s) - started))

# The exports are UTF-16 with CRLF line ends; the golden files plain text.
plain() { iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//'; }
failures=0
retried=0
left=0
restarted=0
fail() {
    echo "wine-repeat: round $1, $2: $3"
    failures=$((failures + 1))
}
check_keys() { # round step present
    for key in service eventlog; do
        export=$scratch/out/$1-$2-$key.reg
        if [ -f "${export%.reg}.retries" ]; then
            echo "wine-repeat: round $1, $2: reg export of the $key key was retried:"
            tr -d '\r' <"${export%.reg}.retries" | sed 's/^/    /'
            retried=$((retried + 1))
        fi
        if [ "$3" = present ]; then
            if [ ! -f "$export" ]; then
                fail "$1" "$2" "the $key key was not exported"
            elif ! plain "$export" | cmp -s - "$golden/korvex1-$key.reg"; then
                fail "$1" "$2" "the $key key is not the golden export"
                plain "$export" | diff "$golden/korvex1-$key.reg" - | head -20
            fi
        elif [ -f "$export" ]; then
            fail "$1" "$2" "the $key key is still there"
        fi
    done
}
check_files() { # round step present
    listing=$(tr -d '\r' <"$scratch/out/$1-$2.dir" 2>/dev/null || true)
    if [ "$3" = present ]; then
        [ "$listing" = korvex1.sys ] && cmp -s "$scratch/out/$1-$2.sys" "$scratch/work/korvex1.sys" ||
            fail "$1" "$2" "drivers directory holds [$listing], not the driver alone"
    elif [ "$listing" = korvex1.sys ] && [ "$(tr -d '\r ' <"$scratch/out/$1-$2.left" 2>/dev/null)" = removed ]; then
        echo "wine-repeat: round $1, $2: KNOWN: the delete left korvex1.sys behind, and status 0" \
            "(the check's own delete then removed it)"
        left=$((left + 1))
    elif [ -n "$listing" ]; then
        fail "$1" "$2" "drivers directory still holds [$listing]"
    fi
}
# A run that had to be started again must have failed only to start.
check_starts() { # round step arguments-as-cmd-echoes-them
    for try in "$scratch/out/$1-$2".try*; do
        [ -f "$try" ] || continue
        if [ "$(tr -d '\r' <"$try")" = "Can't recognize 'drvinst -V $3' as an internal or external command, or batch script." ]; then
            restarted=$((restarted + 1))
        else
            fail "$1" "$2" "a run that ended 9009 was not a failure to start"
        fi
    done
}
round=1
while [ "$round" -le "$count" ]; do
    for step in install refuse uninstall; do
        case $step in
        install | refuse) check_starts "$round" "$step" "-D korvex1   " ;;
        uninstall) check_starts "$round" "$step" "-U -D korvex1  " ;;
        esac
        status=$(tr -d ' \r' <"$scratch/out/$round-$step.status" 2>/dev/null || echo missing)
        [ "$status" = 0 ] || fail "$round" "$step" "status $status"
        present=present
        [ "$step" = uninstall ] && present=absent
        check_keys "$round" "$step" "$present"
        check_files "$round" "$step" "$present"
    done
    grep -q 'already existed' "$scratch/out/$round-refuse.txt" ||
        fail "$round" refuse "no refusal in the output"
    round=$((round + 1))
done
echo "wine-repeat: $count rounds of install, refusal and uninstall ($((count * 3)) runs)" \
    "in $took s on one prefix; $failures failures; $retried exports asked for again;" \
    "$left drivers left by the delete; $restarted runs started again"
[ "$failures" -eq 0 ]
