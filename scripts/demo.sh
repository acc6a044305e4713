#!/usr/bin/env bash
# The main job: builds the tool and shows the real command line at work.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target Updater >/dev/null
echo "\$ Updater -h"
./build/plain/updater/Updater -h || true
