#!/usr/bin/env bash
# Builds the Debian package velmora-nvr_<version>_<arch>.deb from a build folder (the one the
# test suite makes, with the window) and prints its path. Only what changed since that build
# is built again; the package's files are installed with the prefix /usr.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" --target velmora-nvr velmora_package_docs
rm -f "$build"/package/velmora-nvr_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
deb=$(ls "$build"/package/velmora-nvr_*.deb)
echo "$deb"
