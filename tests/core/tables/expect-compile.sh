#!/usr/bin/env bash
# expect-compile.sh clean|member-left-out <compiler> <arguments...>
# clean: the compile must succeed and say nothing. member-left-out: it must fail, and on
# -Wmissing-field-initializers, so that no other error can pass for the check.
set -u
expect=$1
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
case "$expect" in
  clean)
    if [ "$status" -ne 0 ] || [ -n "$output" ]; then
      echo "expected a clean compile, got exit status $status and the output above" >&2
      exit 1
    fi ;;
  member-left-out)
    if [ "$status" -eq 0 ]; then
      echo "a table with a member left out compiled (exit status 0): the check is off" >&2
      exit 1
    fi
    case "$output" in
      *missing-field-initializers*) ;;
      *) echo "the compile failed, but not on the member left out (see above)" >&2; exit 1 ;;
    esac ;;
  *) echo "usage: $0 clean|member-left-out <compiler> <arguments...>" >&2; exit 2 ;;
esac
echo "as expected: $expect"
