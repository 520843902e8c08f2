#!/bin/sh
# Installs what the builds, the tests and the sample need, on a fresh
# Debian machine, or only the packages named as arguments.  Does nothing
# when everything is already there.
set -eu
packages="$*"
[ -n "$packages" ] || packages="cmake make g++ clang libclang-rt-14-dev python3 libhivex-dev libhivex-bin libwin-hivex-perl
          libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 clang-format
          strace zip unzip man-db groff-base gzip bsdextrautils dpkg-dev file lintian chntpw wine32:i386
          libguestfs-tools linux-image-amd64 qemu-utils reglookup"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# The i686 program runs under Wine's 32-bit loader, an i386 package.
case "$missing" in
*:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
