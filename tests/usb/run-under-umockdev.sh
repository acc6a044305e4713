#!/bin/sh
# Runs a test program with umockdev's preload library, which redirects /sys and /dev to
# the test's own testbed. In an AddressSanitizer build the sanitizer's runtime must come
# first in the preload list, ahead of umockdev's.
prog="$1"
asan=$(ldd "$prog" 2>/dev/null | awk '/libasan\.so/ { print $3; exit }')
preload="libumockdev-preload.so.0"
[ -n "$asan" ] && preload="$asan:$preload"
LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}"
export LD_PRELOAD
exec "$@"
