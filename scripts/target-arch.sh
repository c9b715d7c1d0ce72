#!/bin/sh
# Prints the flavour the build and tests use on this host: i686, the product,
# wherever 32-bit Wine runs (natively or under qemu-user, see host-i386.sh);
# x86_64 only as the last resort where it cannot run at all.
if [ "$("$(dirname "$0")/host-i386.sh")" = none ]; then
    echo x86_64
else
    echo i686
fi
