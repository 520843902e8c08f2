#!/bin/bash
# drvinst-image IMAGE... [-- drvinst options]: runs drvinst on the one
# Windows installation in a virtual machine's disk image, through one
# libguestfs appliance driven by a guestfish server: inspect, mount the
# Windows volume read-write, show it here through FUSE, run drvinst on it,
# then unmount and wait until the appliance has flushed and ended.
#
# A shell script, because guestfish already is the whole client we need;
# one server rather than guestmount, because it lets us inspect, check the
# mount and write back with one appliance, and report each failure itself.
#
# stdout carries drvinst's lines alone; everything of ours goes to stderr.
# Refusals change nothing and end with 1; otherwise the status is drvinst's,
# or 1 when the image could not be written back after a run that ended 0.
set -eu -o pipefail
me=drvinst-image
here=$(dirname "$(readlink -f "$0")")

say() { printf '%s: %s\n' "$me" "$*" >&2; }

images=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    images+=("$1")
    shift
done
[ $# -eq 0 ] || shift
if [ ${#images[@]} -eq 0 ] || [[ "${images[0]}" == -* ]]; then
    echo "usage: $me IMAGE... [-- drvinst options]" >&2
    exit 1
fi

mnt="" log="" server="" runner="" ran=0 signalled=0
# The server's messages go to a log, emptied before each command, so that a
# failure is told in one line and its lookups of missing files stay quiet.
fish() {
    : >"$log"
    guestfish --remote="$server" -- "$@" 2>>"$log"
}
why() { sed -n 's/^libguestfs: error: //p; s/^guestfish: //p' "$log" | tr '\n' ' '; }
# The server is not our child, and whoever inherits it may leave it a zombie.
gone() {
    local state
    state=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 0
    [ -z "$state" ] || [ "$state" = Z ]
}

# finish STATUS: whatever happened, the image is unmounted, flushed and
# closed, and the appliance gone, before the status is returned.
finish() {
    local status=$1 busy=0 unmounted
    trap - EXIT
    trap '' INT TERM HUP
    if [ -n "$runner" ]; then
        # Until the volume is unmounted nothing is written back, so a
        # process that keeps it busy is waited for, however long.
        while unmounted=0 && guestunmount -q "$mnt" || unmounted=$?; [ "$unmounted" -eq 2 ]; do
            [ "$busy" = 1 ] || say "waiting for the programs that use $mnt to leave it"
            busy=1
        done
        [ "$unmounted" -eq 0 ] || say "could not unmount $mnt (guestunmount status $unmounted)"
        wait "$runner" || true
    fi
    if [ -n "$server" ] && ! gone "$server"; then
        if ! { fish umount-all && fish sync && fish shutdown; } && [ "$ran" = 1 ]; then
            say "the image could not be written back: $(why)"
            [ "$status" -ne 0 ] || status=1
        fi
        fish exit || true
        until gone "$server"; do sleep 0.2; done
    fi
    # rmdir, never rm -r: should the unmount have failed, the directory
    # is still the Windows volume.
    [ -z "$mnt" ] || { rmdir "$mnt" 2>/dev/null || true; rm -f "$log"; }
    exit "$status"
}
trap 'finish $?' EXIT
trap 'signalled=130' INT
trap 'signalled=143' TERM
trap 'signalled=129' HUP
refuse() {
    [ "$signalled" = 0 ] || finish "$signalled"
    say "$*; nothing was changed"
    finish 1
}
interrupted() { [ "$signalled" = 0 ] || finish "$signalled"; }
# qemu's lock tells a running virtual machine or another tool, which the
# appliance would only report as a connection it lost.
inuse() {
    [[ "$2" != *'"write" lock'* ]] ||
        refuse "$1 is in use (a running virtual machine, or another tool has it open): close it first"
}

# The format is named, never guessed by the appliance, and only images whose
# data lies in the file given are taken: a hostile raw image can pose as a
# qcow2 or vmdk that names a host file or device as its backing or extent.
# qemu-img also takes qemu's lock, so a running virtual machine shows here.
formats=()
for image in "${images[@]}"; do
    [ -f "$image" ] || refuse "$image: no such image file"
    if ! info=$(qemu-img info --output=json "$image" 2>&1); then
        inuse "$image" "$info"
        refuse "$image: $(echo "$info" | head -n 1)"
    fi
    own=$(printf '%s' "$image" | sed 's/\\/\\\\/g; s/"/\\"/g')
    if echo "$info" | grep -Eq '"(backing-filename|data-file)"' ||
        echo "$info" | grep -E '"filename": ' | grep -Fvq "\"filename\": \"$own\""; then
        refuse "$image keeps data in other files (a backing file or extents): convert it to one file with qemu-img convert first"
    fi
    formats+=("$(echo "$info" | sed -n 's/^ *"format": "\([a-z0-9]*\)".*/\1/p' | head -n 1)")
done
interrupted

# A start that hangs, as on machines whose nested virtualisation accepts a
# guest and never runs it, is stopped after this many seconds and tried once
# more with the processor emulated.  An emulated start took 40 s on two
# cores at load 10, so this is generous there and still short against a hang.
bound=${DRVINST_IMAGE_LAUNCH_TIMEOUT:-180}
[[ "$bound" =~ ^[1-9][0-9]{0,5}$ ]] || refuse "DRVINST_IMAGE_LAUNCH_TIMEOUT is not a number of seconds"
mnt=$(mktemp -d /tmp/drvinst-image.XXXXXX)
log=$mnt.log
# stop: the server and what it started (qemu, which holds the images' lock,
# and supermin) are killed before the appliance has touched an image.
stop() {
    local kids
    kids=$(cat /proc/"$server"/task/*/children 2>/dev/null) || true
    # shellcheck disable=SC2086
    kill -KILL "$server" $kids 2>/dev/null || true
    for pid in "$server" $kids; do until gone "$pid"; do sleep 0.2; done; done
    server=""
}
# launch: 0 once the appliance runs, 1 when it failed (the log says why),
# 2 when it did not answer within the bound and was stopped.
launch() {
    local end=$((SECONDS + bound)) starter
    # The server has a session of its own, so that an interrupt at the
    # terminal cannot stop it, nor qemu, while the Windows volume is mounted.
    eval "$(setsid guestfish --listen 2>>"$log")"
    server=${GUESTFISH_PID:-}
    [ -n "$server" ] || refuse "guestfish could not be started: $(why)"
    fish set-pgroup true || refuse "guestfish does not answer: $(why)"
    for i in "${!images[@]}"; do
        fish add-drive "${images[$i]}" format:"${formats[$i]}" readonly:false ||
            refuse "${images[$i]} cannot be opened: $(why)"
    done
    # Verbose, only while it starts, for qemu's own words on a lock taken since.
    fish set-verbose true
    fish run >/dev/null &
    starter=$!
    until gone "$starter"; do
        [ "$signalled" = 0 ] || { stop; finish "$signalled"; }
        [ "$SECONDS" -lt "$end" ] || { stop; wait "$starter" || true; return 2; }
        sleep 0.2
    done
    wait "$starter" || return 1
    fish set-verbose false || true
}
say "starting the appliance…"
started=0
launch || started=$?
if [ "$started" = 2 ] && [[ "${LIBGUESTFS_BACKEND_SETTINGS:-}" != *force_tcg* ]]; then
    say "the appliance did not answer within $bound s: trying once more with the processor emulated (LIBGUESTFS_BACKEND_SETTINGS=force_tcg)"
    export LIBGUESTFS_BACKEND_SETTINGS=${LIBGUESTFS_BACKEND_SETTINGS:+$LIBGUESTFS_BACKEND_SETTINGS:}force_tcg
    started=0
    launch || started=$?
fi
[ "$started" != 2 ] || refuse "the appliance did not answer within $bound s, even emulated: this \
machine's virtualisation probably hangs (often nested KVM) or it is overloaded; run \
libguestfs-test-tool to see why, or try again with LIBGUESTFS_BACKEND_SETTINGS=force_tcg and a \
larger DRVINST_IMAGE_LAUNCH_TIMEOUT"
if [ "$started" = 1 ]; then
    inuse "${images[*]}" "$(cat "$log")"
    refuse "the appliance did not start: $(why)"
fi
interrupted

roots=$(fish inspect-os) || refuse "cannot inspect ${images[*]}: $(why)"
windows=()
for root in $roots; do
    [ "$(fish inspect-get-type "$root")" != windows ] || windows+=("$root")
done
if [ ${#windows[@]} -eq 0 ]; then
    filesystems=$(fish list-filesystems) || refuse "cannot list the file systems: $(why)"
    [[ "${filesystems,,}" != *bitlocker* ]] ||
        refuse "${images[*]} holds a BitLocker volume: decrypt it in Windows (manage-bde -off) first"
    refuse "no Windows installation found in ${images[*]}"
fi
[ ${#windows[@]} -eq 1 ] ||
    refuse "${images[*]} holds several Windows installations (${windows[*]}); only one is supported"
root=${windows[0]}
systemroot=$(fish inspect-get-windows-systemroot "$root") || refuse "no Windows directory: $(why)"

# ntfs-3g mounts a hibernated Windows read-only, since the hibernated system
# would overwrite what we wrote when it resumes; only the mount flags say so.
fish -mount "$root" /
mounted=$(why)
stat=$(fish statvfs /) || refuse "cannot mount $root: $mounted"
flag=$(echo "$stat" | sed -n 's/^flag: //p')
[ $((flag & 1)) -eq 0 ] || refuse "Windows in ${images[*]} is hibernated or was shut down with fast \
startup, so it can only be mounted read-only: start it, turn fast startup off (powercfg /h off), \
shut it down, and try again"
interrupted

fish mount-local "$mnt" || refuse "cannot show the volume at $mnt: $(why)"
fish mount-local-run >/dev/null &
runner=$!
# drvinst ignores interrupts: a run stopped half way is worse than one that
# ends, and it is short.  A signal here only ends us after the write-back.
status=0
ran=1
(trap '' INT TERM HUP && export PATH="$here:$PATH" SystemRoot="$mnt$systemroot" &&
    exec -a drvinst "$here/drvinst" "$@") || status=$?
finish "$status"
