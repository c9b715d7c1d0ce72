#!/bin/sh
# Prints the target the build and tests use on this host: i686, the
# product, wherever the kernel runs 32-bit programs (and so 32-bit Wine);
# x86_64 on hosts that run 64-bit code only (some virtual machines return
# "Exec format error" for every 32-bit program).
if [ ! -x /usr/lib/wine/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo i686
else
    echo x86_64
fi
