#!/usr/bin/env bash
# Runs the suite under load, to find tests that fail only on a busy machine:
#   scripts/load-sweep.sh CONFIG [ROUNDS]     (CONFIG plain, asan or tsan; ROUNDS default 3)
# Each round runs ctest with twice as many jobs as cores, then four copies at once of every
# test binary with threaded tests (each copy runs the binary's tests one per process, as
# CTest does). Needs the configuration built (scripts/test.sh builds it). Logs go to
# build/CONFIG/load-sweep/; the summary, with every failed test, to standard output.
# Runs inside private network and mount namespaces like scripts/test.sh. Never run by CI.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cfg=${1:?usage: $0 plain|asan|tsan [ROUNDS]}
rounds=${2:-3}
build="$here/build/$cfg"
[ -f "$build/CTestTestfile.cmake" ] || { echo "build $cfg first (scripts/test.sh --config $cfg)" >&2; exit 2; }
runner=(); label=()
[ "$cfg" = tsan ] && runner=(setarch "$(uname -m)" -R) && label=(-L tsan)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
logs="$build/load-sweep"
mkdir -p "$logs"
unshare --net --mount --propagation private -- "${runner[@]}" bash -c '
  ip link set lo up
  export UPDATER_TEST_NETNS=1
  here=$1 cfg=$2 rounds=$3 build=$4 logs=$5; shift 5
  for r in $(seq 1 "$rounds"); do
    log="$logs/ctest-r$r.log"
    start=$(date +%s)
    status=0
    (cd "$build" && ctest --timeout 300 -j $(( $(nproc) * 2 )) "$@" >"$log" 2>&1) || status=$?
    echo "$cfg ctest round $r: status $status, $(( $(date +%s) - start )) s; $(grep -E "tests (passed|failed)" "$log")"
    grep -E "^[[:space:]]+[0-9]+ - " "$log" || true
    python3 "$here/scripts/load_sweep_copies.py" "$build" "$cfg" "$r" "$logs"
  done
' _ "$here" "$cfg" "$rounds" "$build" "$logs" "${label[@]}"
