#!/usr/bin/env bash
# Proves that the suite runs from any folder: clones this checkout into a private folder
# (mode 0700 under $HOME, as root's home directory is) and runs there, in the plain
# configuration, the test areas whose tests run the Updater or their own code as another
# user (cli, core, store): that user cannot reach the build tree, so whatever such a test
# runs must be reachable elsewhere. Only what those areas need is built.
# A test area that gains a test which changes user joins the lists below.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
areas='^(cli|core|store)$'
targets=(Updater cli_tests cli_binary_tests core_tests store_tests)

parent=$(mktemp -d "${HOME:-/root}/updater-private.XXXXXX")
trap 'rm -rf "$parent"' EXIT
chmod 0700 "$parent"
# The folder must really be out of the other users' reach, or this proves nothing.
if setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$parent" 2>/dev/null; then
  echo "test-private-folder: $parent is not private" >&2
  exit 1
fi
git clone --quiet --no-hardlinks "$here" "$parent/Updater"
echo "=== private folder: $(git -C "$parent/Updater" log --oneline -1) in $parent (mode $(stat -c %a "$parent"))"
cd "$parent/Updater"
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "$t"); done
exec bash scripts/test.sh --config plain "${build_targets[@]}" -- -L "$areas" -LE fuzz
