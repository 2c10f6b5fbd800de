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

# ---- Signed updates ------------------------------------------------------------------------
# The stand-in publisher signs the program it serves with a key pair made here on the first
# run; the program is built with its public key, so the arrow runs a signed update. A second
# build of the program takes the same key with "${signing_settings[@]}".
key_dir=build/update-key
if [ ! -f "$key_dir/update-signing.key" ]; then
  cmake --build build -j"$(nproc)" --target morvane-tool
  build/tools/morvane-tool keygen "$key_dir" >/dev/null
fi
signing_settings=(-DMORVANE_UPDATE_PUBLIC_KEY="$(cat "$key_dir/update-signing.pub")")
signing_services=(--sign-key "$key_dir/update-signing.key")
cmake -S . -B build "${signing_settings[@]}" >/dev/null
# ---- end of signed updates -----------------------------------------------------------------

cmake --build build -j"$(nproc)" --target morvane morvane-services morvane-tool

# Torrent files of the catalogue, to try "上传种子" with.
build/services/morvane-services --write-torrents build/torrents

build/services/morvane-services --update-program build/app/window/morvane \
  "${signing_services[@]}" &
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
