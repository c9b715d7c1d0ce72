#!/bin/sh
# Runs a command in which i386 Linux programs (32-bit Wine) run on a host
# whose kernel refuses them: a private user and mount namespace with a
# binfmt_misc instance of its own that hands every i386 ELF program to
# qemu-i386. Since Linux 6.7 that instance belongs to the namespace, so
# nothing is registered on the host, no root is needed, and the
# registration ends with the namespace's last process.
# Everything Wine starts for the command (prefix creation, the Wine server,
# services, the 32-bit driver host) must start in here; a command already
# inside runs as it is.
set -eu
if [ -n "${ORLAVENT_IN_I386_NS:-}" ]; then
    exec "$@"
fi
if [ "${1:-}" != --inside ]; then
    exec unshare --user --map-root-user --mount --propagation private "$0" --inside "$@"
fi
shift
# i386 ELF executables and shared objects, as qemu's own binfmt list has
# them. F opens qemu-i386 now, so it is found whatever the programs' root.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
BINFMT=/proc/sys/fs/binfmt_misc
mount -t binfmt_misc binfmt_misc "$BINFMT"
printf '%s' ":qemu-i386:M::$MAGIC:$MASK:$(command -v qemu-i386):F" >"$BINFMT/register"
export ORLAVENT_IN_I386_NS=1
exec "$@"
