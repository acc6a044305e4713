#!/usr/bin/env bash
# Installs every Debian package that building and testing the tool needs.
# Idempotent: prints nothing and touches nothing when all of them are present.
set -euo pipefail

PACKAGES=(
  # toolchain
  g++ cmake ninja-build pkg-config make
  # libraries the tool links against
  libcurl4-openssl-dev zlib1g-dev libusb-1.0-0-dev libhidapi-dev libczmq-dev libzmq3-dev
  # tests: GoogleTest, USB emulation, network namespaces, fake update server
  googletest libgtest-dev libgmock-dev libumockdev-dev umockdev iproute2 util-linux
  python3 openssl ca-certificates
  # tests: the independent ZeroMQ peers (fake link server and clients)
  python3-zmq
  # tests: an independent ISP peer that proves the LPC boot ROM simulator
  lpc21isp
  # tests: an independent serial-download peer run against the simulated i.MX boot ROM
  imx-usb-loader
  # benchmarks (built when present)
  libbenchmark-dev
  # tests: libFuzzer targets (clang with its fuzzer runtime)
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
