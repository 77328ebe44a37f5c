#!/usr/bin/env bash
# Installs what is missing, builds, and starts a demonstration without any camera: the
# fake camera server with two cameras on 127.0.0.1, and the recorder with a demo data
# folder (build/demo) whose device tree holds those two cameras, recording. With a display
# (DISPLAY or WAYLAND_DISPLAY) the recorder opens its window; without one it runs headless.
# Closing the window (or Ctrl+C) shuts both down in order. Recordings land in
# build/demo/data/Velmora/Velmora NVR/Recordings.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

demo="$PWD/build/demo"
app="$demo/data/Velmora/Velmora NVR"
mkdir -p "$app" "$demo/config" "$demo/run"
chmod 700 "$demo/run"
port1="${DEMO_PORT:-18080}"
port2=$((port1 + 1))

if [ ! -f "$app/Velmora NVR.xml" ]; then
  camera() {
    printf '\t\t\t<Device name="%s">\r\n' "$1"
    printf '\t\t\t\t<Enabled>true</Enabled>\r\n'
    printf '\t\t\t\t<Location>127.0.0.1:%s</Location>\r\n' "$2"
    printf '\t\t\t\t<Recording>true</Recording>\r\n'
    printf '\t\t\t\t<UpdateDelay>100</UpdateDelay>\r\n'
    printf '\t\t\t</Device>\r\n'
  }
  {
    printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<DeviceTree version="1.0">\r\n'
    printf '\t<LocalNVR name="All Views">\r\n\t\t<Group name="Demo Cameras">\r\n'
    camera "Gate" "$port1"
    camera "Yard" "$port2"
    printf '\t\t</Group>\r\n\t</LocalNVR>\r\n</DeviceTree>\r\n'
  } > "$app/Velmora NVR.xml"
fi

build/tools/camsim/camsim --port "$port1,$port2" --quiet &
camsim=$!
trap 'kill "$camsim" 2>/dev/null; wait "$camsim" 2>/dev/null || true' EXIT
sleep 0.5

mode=()
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Recorder window opening; log: $app/Velmora NVR.log (close the window or Ctrl+C to stop)"
else
  mode=(--headless)
  echo "No display (DISPLAY and WAYLAND_DISPLAY are not set): running the recorder headless."
  echo "Log: $app/Velmora NVR.log (Ctrl+C to stop)"
fi
XDG_DATA_HOME="$demo/data" XDG_CONFIG_HOME="$demo/config" XDG_RUNTIME_DIR="$demo/run" \
  build/velmora-nvr "${mode[@]}" &
recorder=$!
trap 'kill -TERM "$recorder" 2>/dev/null; wait "$recorder" 2>/dev/null || true; kill "$camsim" 2>/dev/null; wait "$camsim" 2>/dev/null || true' EXIT INT TERM
wait "$recorder"
