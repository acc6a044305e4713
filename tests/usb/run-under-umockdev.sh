#!/bin/sh
# Runs a test program with umockdev's preload library, which redirects /sys and /dev to
# the test's own testbed. In a sanitizer build the sanitizer's runtime must come first
# in the preload list, ahead of umockdev's; under ThreadSanitizer the races inside
# umockdev and GLib themselves are suppressed (tsan-umockdev.supp).
prog="$1"
here=$(cd "$(dirname "$0")" && pwd)
runtime=$(ldd "$prog" 2>/dev/null | awk '/lib[at]san\.so/ { print $3; exit }')
preload="libumockdev-preload.so.0"
[ -n "$runtime" ] && preload="$runtime:$preload"
case "$runtime" in
  *libtsan*) TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan-umockdev.supp"
             export TSAN_OPTIONS ;;
esac
LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}"
export LD_PRELOAD
exec "$@"
