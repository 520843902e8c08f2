#!/bin/sh
# Builds the .deb, installs it on this machine with apt-get, and uses what
# it installed the way an administrator would: on a sample offline Windows
# tree, from the driver's directory, with no COMSPEC, so that the tool must
# find the packaged interpreter in its own directory, off PATH; the 2.0
# driver's directory also holds a cmd.exe of its own, which must not run.
# It installs korvex1 2.0, upgrades to 2.1 and uninstalls, then reads the
# manual page.  The package is removed again at the end, whatever happened.
#
# Needs root.  DRVINST_BUILD names another top build directory than build/.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${DRVINST_BUILD:-$top/build}
dir=$build/deb
jobs=2

fail() {
    echo "deb-check: $*" >&2
    exit 1
}


# Only what the package ships, and what makes the sample, is built: the
# install step must not wait for every test program.
build_package() {
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build "$dir" -j "$jobs" --target release mksys mktree >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
    deb=$dir/drvinst_${version}-1_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "no package at $deb"
}

# The package holds the tool, the interpreter, drvinst-image, the pages,
# the licence and the changelog, and nothing of the tests; it does not
# depend on libhivex; and lintian finds neither error nor warning in it,
# but for the one every first upload of a package gets, since no bug asked
# for it in Debian.
check_package() {
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | LC_ALL=C sort | tr '\n' ' ')
    want="./usr/libexec/drvinst/cmd.exe ./usr/sbin/drvinst ./usr/sbin/drvinst-image"
    want="$want ./usr/share/doc/drvinst/changelog.Debian.gz ./usr/share/doc/drvinst/copyright"
    want="$want ./usr/share/man/man8/drvinst-image.8.gz ./usr/share/man/man8/drvinst.8.gz "
    [ "$files" = "$want" ] || fail "package holds: $files; want: $want"
    depends=$(dpkg-deb -f "$deb" Depends)
    # The tool edits hives itself; only the tests read them with libhivex.
    case $depends in *libhivex*) fail "Depends names libhivex: $depends" ;; esac
    echo "package $(basename "$deb"): Depends: $depends"
    status=0
    lintian --allow-root --fail-on none "$deb" >"$dir/lintian.txt" 2>&1 || status=$?
    cat "$dir/lintian.txt"
    [ "$status" -eq 0 ] || fail "lintian could not run ($status)"
    if grep -E '^[EW]: ' "$dir/lintian.txt" | grep -vq ' initial-upload-closes-no-bugs'; then
        fail "lintian reports errors or warnings"
    fi
}

install_package() {
    trap 'dpkg --purge drvinst >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
    DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >"$scratch/apt.log" 2>&1 ||
        { cat "$scratch/apt.log"; fail "apt-get could not install $deb"; }
    [ "$(dpkg-query -W -f '${Status} ${Version}' drvinst)" = "install ok installed $version-1" ] ||
        fail "drvinst $version-1 is not installed"
}

# run EXPECTED ARGS...: the installed tool, as a fresh login shell would
# find it, with nothing of this build in its environment.
run() {
    expected=$1
    shift
    echo "\$ drvinst $*"
    status=0
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SystemRoot="$root" drvinst "$@" || status=$?
    echo "(exit status $status)"
    [ "$status" -eq "$expected" ] || fail "drvinst $* ended with $status, expected $expected"
}

hive_value() {
    hivexget "$root/system32/config/SYSTEM" "\\ControlSet001\\Services\\$1" "$2" 2>/dev/null
}

check_sample() {
    found=$(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c 'command -v drvinst')
    [ "$found" = /usr/sbin/drvinst ] || fail "drvinst on PATH is not the packaged one"
    mkdir "$scratch/v2.0" "$scratch/v2.1"
    printf '#!/bin/sh\ntouch "%s/planted-ran"\n' "$scratch" >"$scratch/v2.0/cmd.exe"
    chmod 755 "$scratch/v2.0/cmd.exe"
    "$dir/mktree" "$scratch/tree" >/dev/null
    "$dir/mksys" "$scratch/v2.0/korvex1.sys" --file-version 2.0 --payload "deb check 2.0"
    "$dir/mksys" "$scratch/v2.1/korvex1.sys" --file-version 2.1 --payload "deb check 2.1"
    root=$scratch/tree/WINNT
    drivers=$root/system32/drivers

    cd "$scratch/v2.0"
    run 0 -D korvex1
    cmp -s korvex1.sys "$drivers/korvex1.sys" || fail "2.0 was not copied"
    [ ! -e "$scratch/planted-ran" ] || fail "the cmd.exe beside the driver ran"
    cd "$scratch/v2.1"
    run 0 -D korvex1 -V
    cmp -s korvex1.sys "$drivers/korvex1.sys" || fail "2.1 was not copied"
    cmp -s "$scratch/v2.0/korvex1.sys" "$drivers/korvex1.sys.2.0" || fail "2.0 was not kept"
    [ "$(hive_value korvex1 ImagePath)" = 'System32\Drivers\korvex1.sys' ] ||
        fail "service key not written"
    [ "$(hive_value 'EventLog\System\korvex1' TypesSupported)" = 7 ] ||
        fail "event-log source not written"

    cd "$scratch"
    run 0 -U -D korvex1
    [ ! -e "$drivers/korvex1.sys" ] || fail "the driver file stayed"
    [ -e "$drivers/korvex1.sys.2.0" ] || fail "the backup went"
    ! hive_value korvex1 Start >/dev/null || fail "the service key stayed"
    cd "$top"
}

check_manual() {
    page=$(man -w drvinst)
    [ "$page" = /usr/share/man/man8/drvinst.8.gz ] || fail "man finds $page"
    lexgrog "$page" | grep -q 'drvinst - install' || fail "the page's NAME line does not parse"
    text=$(MANWIDTH=80 man --warnings drvinst 2>"$scratch/man.err" | col -b)
    [ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; fail "the page renders with warnings"; }
    echo "$text" | head -12
    echo "$text" | tail -1 | grep -q "drvinst $version" || fail "the page does not show $version"
}

[ "$(id -u)" -eq 0 ] || fail "must run as root: it installs the package"
sh scripts/install-deps.sh
build_package
check_package
scratch=$(mktemp -d)
install_package
check_sample
check_manual
dpkg --purge drvinst >/dev/null
if [ -e /usr/sbin/drvinst ] || [ -e /usr/libexec/drvinst ]; then
    fail "removal left files behind"
fi
echo "deb-check: $(basename "$deb") installs, works and removes cleanly"
