#!/usr/bin/env bash
# Builds Morvane and runs it against the stand-in services: the services start first (their
# access log goes to this terminal), the window opens, and closing Morvane stops the services.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "morvane: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Run it under a virtual display instead:  xvfb-run -a bash scripts/run.sh" >&2
  exit 1
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target morvane morvane-services morvane-tool

# --- The loopback swarm ----------------------------------------------------------------------
# The catalogue's two-minute videos (ffmpeg, into build/media, made once). The services seed
# every catalogue torrent over BitTorrent and track the swarm at 127.0.0.1:47080/announce;
# they no longer answer /xml.php, so Morvane starts its own streaming service on the
# resolution host (127.0.0.1:47083) and every catalogue video plays over real BitTorrent.
bash scripts/make-media.sh build/media
# A build without the streaming library cannot stream: the services then resolve the
# catalogue's links themselves, as before.
swarm_flags=()
if ! grep -q '/morvane_stream\.dir' build/CMakeFiles/TargetDirectories.txt 2>/dev/null; then
  swarm_flags+=(--stand-in-resolution)
fi
# --- end of the loopback swarm ----------------------------------------------------------------

# Torrent files of the catalogue, to try "上传种子" with.
build/services/morvane-services --write-torrents build/torrents

build/services/morvane-services --update-program build/app/window/morvane "${swarm_flags[@]}" &
services=$!
trap 'kill "$services" 2>/dev/null; wait "$services" 2>/dev/null || true' EXIT
sleep 0.5
if ! kill -0 "$services" 2>/dev/null; then
  echo "morvane: the stand-in services did not start (is another copy running?)" >&2
  exit 1
fi

if [ "$(id -u)" -eq 0 ]; then
  # The web engine's sandbox cannot run as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
echo "Morvane: try the keyword 'sintel' or '中国合伙人'; torrents to import are in build/torrents/."
status=0
build/app/window/morvane || status=$?
exit "$status"
