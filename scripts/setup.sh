#!/bin/sh
# Installs what building and testing need, if it is missing. Idempotent:
# on a ready machine it only checks, in a second or two.
set -eu
SCRIPTS="$(dirname "$0")"

PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix cmake make wine wine32:i386 wine64 xvfb xauth imagemagick zip unzip"

SUDO=""
if [ "$(id -u)" != "0" ]; then
    SUDO="sudo"
fi
# Another install may hold the package lock (an unattended upgrade on a
# fresh machine): wait for it rather than fail.
APT="$SUDO apt-get -o DPkg::Lock::Timeout=600"

install() {
    echo "setup: installing: $*"
    DEBIAN_FRONTEND=noninteractive $APT install -y -q --no-install-recommends "$@"
}

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ ! -d /usr/src/googletest ]; then
    missing="$missing googletest"
fi
if [ -n "$missing" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "setup: enabling the i386 architecture (for wine32)"
        $SUDO dpkg --add-architecture i386
    fi
    $APT update -q
    updated=1
    install $missing
fi

# Where the kernel runs no 32-bit code, 32-bit Wine runs under qemu-user,
# which must be 8.1 or later. Debian 12's own is older: then it comes from
# the backports suite of the machine's own Debian source, as apt has it
# configured. Without recommends: qemu-user-binfmt would register qemu for
# the whole host, and the tests register it only in a namespace of their own.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && ! "$SCRIPTS/host-i386.sh" --qemu-usable; then
    . /etc/os-release
    [ -n "${updated:-}" ] || $APT update -q
    candidate=$(apt-cache policy qemu-user | sed -n 's/^ *Candidate: //p')
    if dpkg --compare-versions "$candidate" ge 1:8.1; then
        install qemu-user
    else
        backports="$VERSION_CODENAME-backports"
        uri=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk -v s="$VERSION_CODENAME" '$1 == s { print $2; exit }')
        if [ -z "$uri" ]; then
            echo "setup: no Debian source for $VERSION_CODENAME in apt's configuration; cannot add $backports" >&2
            exit 1
        fi
        echo "setup: adding $backports from $uri for qemu-user"
        printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n' "$uri" "$backports" |
            $SUDO tee /etc/apt/sources.list.d/orlavent-backports.sources >/dev/null
        $APT update -q
        install "qemu-user/$backports"
    fi
fi
echo "setup: ready; 32-bit Wine runs here: $("$SCRIPTS/host-i386.sh")"
