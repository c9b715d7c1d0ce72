#!/bin/sh
# Installs what building and testing need, if it is missing. Idempotent:
# on a ready machine it only checks, in a second or two.
set -eu

PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix cmake make wine wine32:i386 wine64 xvfb xauth imagemagick zip unzip"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ ! -d /usr/src/googletest ]; then
    missing="$missing googletest"
fi

if [ -z "$missing" ]; then
    echo "setup: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" != "0" ]; then
    SUDO="sudo"
fi

echo "setup: installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: enabling the i386 architecture (for wine32)"
    $SUDO dpkg --add-architecture i386
fi
# Another install may hold the package lock (an unattended upgrade on a
# fresh machine): wait for it rather than fail.
APT_WAIT="-o DPkg::Lock::Timeout=600"
$SUDO apt-get $APT_WAIT update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get $APT_WAIT install -y -q --no-install-recommends $missing
echo "setup: done"
