#!/usr/bin/env bash
# The main job: builds the tool and shows the whole road of a firmware update with the
# real command line. A simulated module and the fake update server run inside a
# private network namespace made for the demo (loopback and a veth pair of its own,
# so discovery's multicast never leaves it); the Updater then lists the devices (-D),
# the server's builds (-B), downloads the latest build into a store (-G), installs it
# (-U, with its progress bar), lists the store (-L), and the module's flash is checked
# against the image the build must leave there.
# Then the road of a device whose firmware no longer runs: a simulated LPC chip waits in
# its boot ROM's ISP mode on a pty, paced at the real line rate. The Updater reads the
# chip's fingerprint (-N), recovers it (-U -t RECOVER: the update server names the
# device and build for that fingerprint, the build is downloaded, decoded with the
# chip's words and written through the boot ROM), and the chip's flash is checked
# against the images the build must leave there.
# Not shown: an i.MX chip. Its boot ROM starts a small loader that comes up on USB, so
# even its serial road needs the USB emulation the tests run under, and its two runs
# would add about twelve seconds; README.md says how to watch it in the tests.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

if [ "${1:-}" != "--inside" ]; then
  bash scripts/install-deps.sh
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run as root (it makes a private network namespace for the simulated module)" >&2
    exit 1
  fi
  cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/plain -j "$(nproc)" --target Updater devsim_fw firmware_fixture \
    lpcsim recovery_fixture >/dev/null
  exec unshare --net --mount bash "$0" --inside
fi

# --inside given by hand outside the demo's own namespace would send discovery on a real
# network: a fresh namespace has nothing but lo.
if [ "$(ip -o link show | awk -F': ' '{ print $2 }')" != "lo" ]; then
  echo "demo: --inside runs only in the fresh network namespace the demo makes" >&2
  exit 1
fi

build=build/plain
updater=$build/updater/Updater
serial=1234ABCD
# The LPC chip: the four words its boot ROM answers with, and the device they belong to.
chip_words="1A2B3C4D 00000001 FEDCBA98 80000000"
chip_serial=40F5849A
work=$(mktemp -d /tmp/updater-demo.XXXXXX)
sim_pid=""
server_pid=""
lpc_pid=""
# Under set -e a failing step here would replace the demo's own exit status (a stopped
# child's wait gives 143): every step is allowed to fail.
cleanup() {
  local pid
  for pid in $sim_pid $lpc_pid $server_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work" || true
}
trap cleanup EXIT

# The private network: loopback, and one veth pair whose address discovery goes out on.
ip link set lo up
ip link add twd0 type veth peer name twd1
ip addr add 192.0.2.1/24 dev twd0
ip addr add 192.0.2.2/24 dev twd1
ip link set twd0 up
ip link set twd1 up

# Two builds of the module's firmware on the server; 5000 is the latest.
mkdir -p "$work/server" "$work/dump" "$work/store" "$work/lpc"
$build/tests/e2e/firmware_fixture "$work/server/5000.bird" 5000 2.12.3 11 "$serial" "$work/expected-5000.flash" 60000 4000
$build/tests/e2e/firmware_fixture "$work/server/4000.bird" 4000 2.11.0 77 "$serial" "$work/expected-4000.flash"
# The LPC chip's recovery build 700: 40000 bytes at 0 and 6000 at 0x10000, keyed with
# the chip's words. The server knows which device and build belong to those words.
$build/tests/recovery/recovery_fixture "$work/server/700.bird" "$work/expected-700.flash" 700 3.1.4 \
  "$chip_serial" "${chip_words// /,}" 21 40000 6000
cat >"$work/server/config.json" <<EOF
{"devices": {"$serial": {"latest": "5000", "builds": {"5000": "2.12.3", "4000": "2.11.0"},
  "birds": {"5000": "$work/server/5000.bird", "4000": "$work/server/4000.bird"}},
  "$chip_serial": {"latest": "700", "builds": {"700": "3.1.4"}, "birds": {"700": "$work/server/700.bird"}}},
 "recovery": {"$chip_words": {"serial": "$chip_serial", "build": "700"}}}
EOF

python3 tests/fakes/fake_update_server.py --config "$work/server/config.json" --log "$work/server/requests.log" \
  --port-file "$work/server/port" >/dev/null 2>&1 &
server_pid=$!
"$build/tests/sim/upgrade/devsim_fw" --serial "$serial" --build 4000 --discovery 192.0.2.1 \
  --dump "$work/dump" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/server/port" ] && grep -q ready "$work/sim.out" && break
  sleep 0.1
done
if ! [ -s "$work/server/port" ] || ! grep -q ready "$work/sim.out"; then
  echo "demo: the simulated module or the fake update server did not start" >&2
  exit 1
fi
url="http://127.0.0.1:$(cat "$work/server/port")/cgi/u"

run() {
  echo
  echo "\$ Updater $*"
  "$updater" "$@" -u "$url" -i "$work/store"
}

echo "A simulated module ($serial) and the fake update server ($url) are running."
run -D -t TCPIP
run -B -d "$serial"
run -G -d "$serial"
run -U -d "$serial"
run -L -d "$serial"

echo
echo "Store entry of $serial:"
ls -l "$work/store/updater/$serial"
sed 's/^/    /' "$work/store/updater/$serial/.settings"

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
echo
if cmp -s "$work/dump/$serial.flash" "$work/expected-5000.flash"; then
  echo "Flash of $serial holds build 5000 with its serial number patched in ($(stat -c %s "$work/dump/$serial.flash") bytes): OK"
else
  echo "Flash of $serial does not hold build 5000" >&2
  exit 1
fi

# The second part: an LPC chip whose firmware no longer runs, waiting in its boot ROM.
# The simulator takes and sends bytes at the rate the Updater sets on the line (115200
# baud), as a real UART would: the recovery takes a few seconds.
echo
echo "An LPC chip in its boot ROM's ISP mode is simulated on a serial line (a pty)."
"$build/tests/sim/lpc/lpcsim" --serial "${chip_words// /,}" --pace --dump "$work/lpc" >"$work/lpc.out" &
lpc_pid=$!
for _ in $(seq 100); do
  grep -q ready "$work/lpc.out" && break
  sleep 0.1
done
port=$(sed -n 's/^pty //p' "$work/lpc.out")
if ! grep -q ready "$work/lpc.out" || [ -z "$port" ]; then
  echo "demo: the simulated LPC chip did not start" >&2
  exit 1
fi
echo "The update server knows its fingerprint [ $chip_words ] as device $chip_serial, build 700."
logged=$(wc -l <"$work/server/requests.log")
run -N -s "$port"
run -U -t RECOVER -s "$port"
echo
echo "Requests of the recovery to the update server:"
tail -n +"$((logged + 1))" "$work/server/requests.log" | sed 's/^/    /'

# lpcsim writes its flash and the address it was started at when it stops.
kill "$lpc_pid"
wait "$lpc_pid" || true
lpc_pid=""
echo
if cmp -s "$work/lpc/flash.bin" "$work/expected-700.flash" && [ "$(cat "$work/lpc/go.txt")" = 00000000 ]; then
  echo "Flash of the LPC chip holds build 700 for $chip_serial, decoded ($(stat -c %s "$work/lpc/flash.bin") bytes), and the chip was started: OK"
else
  echo "Flash of the LPC chip does not hold build 700, or the chip was not started" >&2
  exit 1
fi
