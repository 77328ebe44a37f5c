#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: when everything is present it prints nothing and touches nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev
  libasio-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  libcurl4-openssl-dev
  libssl-dev
  libexpat1-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libburn-dev libisofs-dev
  qt6-base-dev qt6-qpa-plugins libqt6svg6 adwaita-icon-theme
  clang libclang-rt-14-dev llvm
  ffmpeg curl
  python3 python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad
  iproute2 procps xdg-user-dirs xdg-utils
  wrk nginx-light
  libsystemd-dev systemd
  dpkg-dev fakeroot lintian prometheus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
