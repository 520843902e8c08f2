#!/bin/bash
# drvinst-image on qcow2 images made here with libguestfs: install, upgrade
# and uninstall, read back through libguestfs; a forced reinstall over a
# backup name linked out of the tree, refused with the host untouched; an
# image in use, one without Windows and a hibernated one, refused unchanged;
# a start that hangs, tried once more emulated, then refused.  Every
# appliance start is bounded as drvinst-image bounds it.  Skips (77) where
# libguestfs cannot start its appliance.
set -eu -o pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
export LIBGUESTFS_BACKEND=${LIBGUESTFS_BACKEND:-direct}
command -v guestfish >/dev/null || { echo "skipped: libguestfs-tools is not installed"; exit 77; }
[ -c /dev/fuse ] || { echo "skipped: no /dev/fuse to show an image's volume through"; exit 77; }
work=$(mktemp -d)
trap 'kill "$holder" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
holder=""
fail() { echo "FAIL: $*" >&2; exit 1; }

win=t/WINNT
drivers=/WINNT/system32/drivers
"$bin/mktree" t >/dev/null
"$bin/mksys" "$win"/system32/cmd.exe --payload cmd
cp "$win"/system32/config/SYSTEM "$win"/system32/config/SOFTWARE
printf '[\\Microsoft]\n\n[\\Microsoft\\Windows NT]\n\n[\\Microsoft\\Windows NT\\CurrentVersion]\n"ProductName"="Test"\n' >sw.reg
hivexregedit --merge "$win"/system32/config/SOFTWARE sw.reg
mkdir OUT v2.0 v2.1
echo sentinel >OUT/keep
ln -s "$work/OUT/korvex1.sys.2.1" "t$drivers"/korvex1.sys.2.1
for v in 2.0 2.1; do "$bin/mksys" "v$v/korvex1.sys" --file-version "$v" --payload "image $v"; done
(printf HIBR && head -c 4092 /dev/zero) >hiberfil.sys
make_images() {
    rm -f disk.img hib.img
    timeout -k 5 "${DRVINST_IMAGE_LAUNCH_TIMEOUT:-180}" guestfish -N disk.img=fs:ntfs:32M -N hib.img=fs:ntfs:32M -- mount /dev/sda1 / : \
        copy-in "$win" / : umount / : mount /dev/sdb1 / : copy-in "$win" hiberfil.sys / >make.log 2>&1 || { [ $? != 124 ] || echo "no appliance within the bound" >>make.log; false; }
}
# Where qemu fails or hangs on KVM, it is emulated instead.
if ! make_images && ! { [ -z "${LIBGUESTFS_BACKEND_SETTINGS:-}" ] &&
    export LIBGUESTFS_BACKEND_SETTINGS=force_tcg && make_images; }; then
    grep -qiE 'launch|appliance|supermin|qemu' make.log || { cat make.log; fail "making the images"; }
    echo "skipped: libguestfs cannot start its appliance here: $(tail -n 1 make.log)"
    exit 77
fi
for image in disk hib; do qemu-img convert -O qcow2 "$image.img" "$image.qcow2"; done
truncate -s 16M nowin.img

# run EXPECTED IMAGE DIR DRVINST-ARGS...: stdout must be drvinst's alone.
run() {
    local expected=$1 image=$2 dir=$3 status=0
    shift 3
    echo "\$ drvinst-image $image -- $*"
    (cd "$dir" && "$bin/drvinst-image" "$work/$image" -- "$@") >out.txt 2>err.txt || status=$?
    cat out.txt err.txt
    [ "$status" -eq "$expected" ] || fail "status $status, expected $expected"
    ! grep -q "^drvinst-image:" out.txt || fail "drvinst-image wrote to stdout"
}
# refused IMAGE WHY: nothing of the image changes.
refused() {
    local before
    before=$(sha256sum "$1")
    run 1 "$1" v2.1 -D korvex1
    grep -q "$2" err.txt || fail "no \"$2\" in the refusal"
    [ "$(sha256sum "$1")" = "$before" ] || fail "$1 changed"
}

# qemu stopped (-S) holds the images' lock as a hung guest does; the install
# goes through on the emulated second start, and a cmd.exe on the driver's
# media never runs; after two hangs, a refusal.
printf '#!/bin/sh\n[ "$LIBGUESTFS_BACKEND_SETTINGS" = force_tcg ] && [ -z "${HANG:-}" ] || set -- "$@" -S\nexec %s "$@"\n' "$(guestfish get-hv)" >hv
printf '#!/bin/sh\ntouch %s/planted\n' "$work" >v2.0/cmd.exe && chmod +x hv v2.0/cmd.exe
LIBGUESTFS_HV=$work/hv LIBGUESTFS_BACKEND_SETTINGS='' DRVINST_IMAGE_LAUNCH_TIMEOUT=90 run 0 disk.qcow2 v2.0 -D korvex1
grep -q "trying once more" err.txt && [ ! -e planted ] || fail "no emulated second start, or the media's cmd.exe ran"
HANG=1 LIBGUESTFS_HV=$work/hv LIBGUESTFS_BACKEND_SETTINGS='' DRVINST_IMAGE_LAUNCH_TIMEOUT=5 refused disk.qcow2 \
    "even emulated.*libguestfs-test-tool.*force_tcg.*nothing was changed"
grep -q "trying once more" err.txt || fail "refused without an emulated second start"
run 0 disk.qcow2 v2.1 -D korvex1
qemu-img snapshot -c upgraded disk.qcow2
run 1 disk.qcow2 v2.1 -F -D korvex1
grep -q "offline tree: .*korvex1.sys.2.1" out.txt || fail "the link out of the tree was not refused"
[ "$(ls OUT)" = keep ] && [ "$(cat OUT/keep)" = sentinel ] || fail "the host was touched"
run 0 disk.qcow2 . -U -D korvex1

# Held for writing, qemu-img's look at it fails; held read-only, the
# appliance's own start does.
for mode in -n -r; do
    qemu-io "$mode" -f qcow2 -c 'sleep 600000' disk.qcow2 &
    holder=$!
    until ls -l "/proc/$holder/fd" | grep -q disk.qcow2; do sleep 0.2; done
    sleep 0.5
    refused disk.qcow2 "in use"
    kill "$holder"
    wait "$holder" || true
done
refused nowin.img "no Windows"
refused hib.qcow2 "hibernated"

# Both states read back in one appliance: the upgrade from its snapshot.
qemu-img convert -l snapshot.name=upgraded -O qcow2 disk.qcow2 upgraded.qcow2
mkdir up down
guestfish --ro -a upgraded.qcow2 -a disk.qcow2 -- run : mount /dev/sda1 / : \
    download /WINNT/system32/config/SYSTEM up/SYSTEM : download "$drivers/korvex1.sys" up/korvex1.sys : \
    download "$drivers/korvex1.sys.2.0" up/korvex1.sys.2.0 : umount / : mount /dev/sdb1 / : \
    download /WINNT/system32/config/SYSTEM down/SYSTEM : -download "$drivers/korvex1.sys" down/korvex1.sys : \
    download "$drivers/korvex1.sys.2.0" down/korvex1.sys.2.0 2>/dev/null || fail "reading the images back"
# The driver keys as the scenarios read and expect them.
python3 - "$src/tests/scenarios" <<'EOF' || fail "the keys after the upgrade or the uninstall"
import sys; sys.path.insert(0, sys.argv[1]); import backends, cases
up, down = backends.driver_keys('up/SYSTEM'), backends.driver_keys('down/SYSTEM')
sys.exit(0 if up == cases.installed_keys('korvex1') and down == {} else '%r\n%r' % (up, down))
EOF
cmp v2.1/korvex1.sys up/korvex1.sys && cmp v2.0/korvex1.sys up/korvex1.sys.2.0 || fail "upgrade's files"
[ ! -e down/korvex1.sys ] && cmp v2.0/korvex1.sys down/korvex1.sys.2.0 || fail "uninstall's files"
echo "drvinst-image: install, upgrade, uninstall and refusals checked"
