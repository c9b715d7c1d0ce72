#!/bin/sh
# Prints how this host runs 32-bit (i386) Linux programs, and with them the
# 32-bit Wine that runs the i686 product:
#   native  the kernel runs them
#   qemu    the kernel refuses them (IA-32 emulation off in some virtual
#           machines), but qemu-user runs them in with-i386.sh's namespace
#   none    neither: only the x86_64 flavour can be tested on this host
# "host-i386.sh --qemu-usable" only says, by its exit code, whether the
# installed qemu-i386 is new enough: qemu before 8.1 does not know a mapping
# flag Wine uses and spends about a minute of CPU on every Wine start.
LOADER=/usr/lib/wine/wine

qemu_usable() {
    v=$(qemu-i386 --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    [ -n "$v" ] || return 1
    set -- $v
    [ "$1" -gt 8 ] || { [ "$1" -eq 8 ] && [ "$2" -ge 1 ]; }
}

if [ "${1:-}" = --qemu-usable ]; then
    qemu_usable
    exit
fi
if [ -n "${ORLAVENT_IN_I386_NS:-}" ]; then
    echo qemu
elif "$LOADER" --version >/dev/null 2>&1; then
    echo native
elif qemu_usable && "$(dirname "$0")/with-i386.sh" "$LOADER" --version >/dev/null 2>&1; then
    echo qemu
else
    echo none
fi
