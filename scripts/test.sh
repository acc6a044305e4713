#!/usr/bin/env bash
# Builds the tool and runs the whole test suite, in every CI configuration:
#   plain  - the ordinary build, all tests
#   asan   - AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   tsan   - ThreadSanitizer, the tests labelled "tsan" (the threaded core)
# Usage: scripts/test.sh [--config plain|asan|tsan]... [--target NAME]... [extra ctest arguments after --]
#   --target builds only these targets (and what they need) instead of everything.
# The tests run inside private network and mount namespaces (only "lo", brought up),
# so nothing a test does can reach a real network or change the machine's files.
# A skipped test is a failed test in CI: with CI=true a configuration in which any
# test skipped fails, naming them. On a developer's machine skips are listed only.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

configs=()
targets=()
ctest_extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --config) configs+=("$2"); shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    --) shift; ctest_extra=("$@"); break ;;
    *) echo "usage: $0 [--config plain|asan|tsan]... [--target NAME]... [-- ctest args]" >&2; exit 2 ;;
  esac
done
[ ${#configs[@]} -gt 0 ] || configs=(plain asan tsan)

bash scripts/install-deps.sh
jobs=$(nproc)

# Prints "  <test>: <reason>" for every test the JUnit file records as skipped or
# disabled, nothing when there is none.
list_skipped() {
  python3 - "$1" <<'PY'
import sys
import xml.etree.ElementTree as ET
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.find("skipped") is None and case.get("status") != "disabled":
        continue
    # GoogleTest writes the reason on the line after "<file>:<line>: Skipped"; other
    # tests (SKIP_RETURN_CODE) give theirs as the first line of their output.
    lines = [line for line in (case.findtext("system-out") or "").splitlines() if line.strip()]
    reason = next((lines[i + 1] for i, line in enumerate(lines[:-1]) if line.endswith(": Skipped")),
                  lines[0] if lines else "")
    print("  " + case.get("name", "?") + (": " + reason if reason else ""))
PY
}

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
  cmake --build "$build" -j "$jobs" "${targets[@]}"
  echo "=== configuration $cfg: running tests"
  # ThreadSanitizer cannot map its shadow memory under full address-space randomisation.
  runner=()
  [ "$cfg" = tsan ] && runner=(setarch "$(uname -m)" -R)
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  results="$here/$build/ctest-results.xml"
  rm -f "$results"
  status=0
  unshare --net --mount --propagation private -- "${runner[@]}" bash -c '
    set -e
    ip link set lo up
    # Tests that use UDP multicast or beacons check this before they send anything.
    export UPDATER_TEST_NETNS=1
    cd "$1"; shift
    exec ctest --output-on-failure --timeout 300 -j "$@"
  ' _ "$build" "$jobs" --output-junit "$results" "${label_args[@]}" "${ctest_extra[@]}" || status=$?
  if [ ! -f "$results" ]; then
    echo "=== configuration $cfg: ctest wrote no results ($results)" >&2
    [ "$status" -ne 0 ] || status=1
  else
    skipped=$(list_skipped "$results")
    if [ -n "$skipped" ]; then
      if [ "${CI:-}" = true ]; then
        echo "=== configuration $cfg: FAILED under CI=true, these tests skipped:" >&2
        echo "$skipped" >&2
        [ "$status" -ne 0 ] || status=1
      else
        echo "=== configuration $cfg: these tests skipped (a failure under CI=true):"
        echo "$skipped"
      fi
    fi
  fi
  [ "$status" -eq 0 ] || exit "$status"
done
