#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it headless with its data in
# the usual per-user folders. Ctrl+C shuts it down in order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
exec build/velmora-nvr --headless
