#!/bin/sh
# Runs a test program; in a ThreadSanitizer build it adds the suppressions for the
# uninstrumented ZeroMQ libraries (tsan-zmq.supp) to TSAN_OPTIONS.
prog="$1"
here=$(cd "$(dirname "$0")" && pwd)
if ldd "$prog" 2>/dev/null | grep -q 'libtsan\.so'; then
  TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan-zmq.supp"
  export TSAN_OPTIONS
fi
exec "$@"
