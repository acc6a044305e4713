#!/usr/bin/env bash
# Builds the tool and runs the whole test suite, in every CI configuration:
#   plain  - the ordinary build, all tests
#   asan   - AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   tsan   - ThreadSanitizer, the tests labelled "tsan" (the threaded core)
# Usage: scripts/test.sh [--config plain|asan|tsan]... [extra ctest arguments after --]
# The tests run inside private network and mount namespaces (only "lo", brought up),
# so nothing a test does can reach a real network or change the machine's files.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

configs=()
ctest_extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --config) configs+=("$2"); shift 2 ;;
    --) shift; ctest_extra=("$@"); break ;;
    *) echo "usage: $0 [--config plain|asan|tsan]... [-- ctest args]" >&2; exit 2 ;;
  esac
done
[ ${#configs[@]} -gt 0 ] || configs=(plain asan tsan)

bash scripts/install-deps.sh
jobs=$(nproc)

for cfg in "${configs[@]}"; do
  case "$cfg" in
    plain) sanitize="";                 label_args=() ;;
    asan)  sanitize="address,undefined"; label_args=() ;;
    tsan)  sanitize="thread";            label_args=(-L tsan) ;;
    *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
  esac
  build="build/$cfg"
  echo "=== configuration $cfg: building in $build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE="$sanitize" >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "=== configuration $cfg: running tests"
  # ThreadSanitizer cannot map its shadow memory under full address-space randomisation.
  runner=()
  [ "$cfg" = tsan ] && runner=(setarch "$(uname -m)" -R)
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  unshare --net --mount --propagation private -- "${runner[@]}" bash -c '
    set -e
    ip link set lo up
    # Tests that use UDP multicast or beacons check this before they send anything.
    export UPDATER_TEST_NETNS=1
    cd "$1"; shift
    exec ctest --output-on-failure --timeout 300 -j "$@"
  ' _ "$build" "$jobs" "${label_args[@]}" "${ctest_extra[@]}"
done
