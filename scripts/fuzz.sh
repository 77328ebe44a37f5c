#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   fuzz.sh [SECONDS]   seconds per target (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh
ls fuzz/fuzz_*.cpp >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELMORA_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    "$corpus" "${seeds[@]}" 2>&1 | tail -n 12
done
