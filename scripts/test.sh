#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra CMake options (for example -DVELMORA_SANITIZE=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build="${BUILD_DIR:-build}"
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
