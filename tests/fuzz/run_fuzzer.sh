#!/usr/bin/env bash
# Builds one libFuzzer target with clang (ASan and UBSan on) from the product sources
# it names, seeds its corpus, and runs it for a bounded time. Fails when the fuzzer
# finds a crash, a leak, undefined behaviour or a time-out.
# Usage: run_fuzzer.sh --compiler CLANGXX --name NAME --out DIR --seconds N
#                      --include DIR [--seed-kind none|bird|reply] [--max-len N]
#                      [--libs "-lfoo ..."] -- SOURCES...
# Seed files kept in tests/fuzz/seeds/NAME are copied into the corpus as well.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
compiler= name= out= seconds=30 include= seedKind= maxLen=65536 libs=
while [ $# -gt 0 ]; do
  case "$1" in
    --compiler) compiler=$2; shift 2 ;;
    --name) name=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --include) include=$2; shift 2 ;;
    --seed-kind) seedKind=$2; shift 2 ;;
    --max-len) maxLen=$2; shift 2 ;;
    --libs) libs=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run_fuzzer: unknown argument $1" >&2; exit 2 ;;
  esac
done
sources=("$@")
mkdir -p "$out/corpus-$name" "$out/artifacts-$name" "$out/objects-$name"
binary="$out/fuzz_$name"
objects="$out/objects-$name"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
       -I"$here" -I"$include" $(pkg-config --cflags-only-I libusb-1.0 2>/dev/null)
       $(pkg-config --cflags-only-I hidapi-hidraw 2>/dev/null))

# Each source is compiled on its own, again only when it or a header it includes is
# newer than its object (the compiler's dependency file names them); the object files
# are compiled side by side, as many at a time as there are processors.
stale() {
  local object=$1 source=$2
  [ -f "$object" ] && [ -f "$object.d" ] || return 0
  [ "$source" -nt "$object" ] && return 0
  local dep
  for dep in $(sed -e 's/\\$//' -e 's/^[^:]*://' "$object.d"); do
    [ -e "$dep" ] || return 0
    [ "$dep" -nt "$object" ] && return 0
  done
  return 1
}
list=()
for s in "${sources[@]}"; do
  object="$objects/$(echo "$s" | tr '/' '_').o"
  list+=("$object")
  if stale "$object" "$here/$s"; then printf '%s\t%s\n' "$here/$s" "$object"; fi
done > "$objects/todo"
if [ -s "$objects/todo" ] || [ ! -x "$binary" ]; then
  echo "run_fuzzer: building $binary"
  export compiler
  export flagsText="${flags[*]}"
  # shellcheck disable=SC2016
  xargs -P "$(nproc)" -L 1 sh -c '$compiler $flagsText -MMD -MF "$2.d" -c "$1" -o "$2.tmp" && mv "$2.tmp" "$2"' _ \
    < "$objects/todo"
  # shellcheck disable=SC2086
  "$compiler" -fsanitize=fuzzer,address,undefined "${list[@]}" -lz -lcurl -lpthread $libs -o "$binary.tmp"
  mv "$binary.tmp" "$binary"
fi
if [ -d "$here/tests/fuzz/seeds/$name" ]; then
  cp -f "$here/tests/fuzz/seeds/$name"/* "$out/corpus-$name/" 2>/dev/null || true
fi

case "$seedKind" in
  bird) /usr/bin/env python3 - "$out/corpus-$name" <<'PY'
import struct, sys, zlib, os
d = sys.argv[1]
def block(t, data, flags=0): return bytes([(t & 0x1f) | (flags << 5)]) + struct.pack(">I", len(data)) + data
ident = b"".join(f.ljust(16).encode() for f in ("12345", "2.10.4", "40F5849A", "USBStem"))
blocks = [block(4, ident), block(0, struct.pack(">I", 0x2000) + bytes(range(64))), block(2, struct.pack(">II", 0x1010, 0x1020)),
          block(1, struct.pack(">I", 0x1000) + bytes(range(256)) * 2, 3), block(5, struct.pack(">I", 0x2001))]
payload = struct.pack(">I", len(blocks)) + b"".join(blocks) + struct.pack(">I", 0xC0FFEE)
open(os.path.join(d, "seed-payload"), "wb").write(b"\x01" + payload)
open(os.path.join(d, "seed-file"), "wb").write(b"\x00" + b"bird\x01\x01" + zlib.compress(payload))
PY
  ;;
  reply) printf 'ok\n12345;2.10.4\n12000;2.9.0\n777\nab\n' > "$out/corpus-$name/seed-builds"
         printf 'ok\r\n40F5849A\r\n0x3039\r\n' > "$out/corpus-$name/seed-recovery"
         printf 'ok\nYmlyZAEBeJw=\n' > "$out/corpus-$name/seed-bird" ;;
esac

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$out"
exec "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$maxLen" \
  -artifact_prefix="$out/artifacts-$name/" -print_final_stats=1 "$out/corpus-$name"
