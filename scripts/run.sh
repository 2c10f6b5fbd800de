#!/usr/bin/env bash
# Builds Morvane and runs it against the stand-in services: the services start first (their
# access log goes to this terminal), the window opens, and the services stop once no Morvane
# of this run is left (the one the self-update starts included).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "morvane: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Run it under a virtual display instead:  xvfb-run -a bash scripts/run.sh" >&2
  exit 1
fi

# --- Build -------------------------------------------------------------------------------
# The program as it is (v4.1.7), and the same sources built as the newer version the
# publisher offers, so the self-update really leads to v4.1.8. The second build folder shares
# its objects through ccache; only the settings and the link differ.
newer_version=v4.1.8
newer_name=Morvane-$newer_version
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
cmake -S . -B build-update -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVANE_RUNNING_VERSION="$newer_version" "${signing_settings[@]}" >/dev/null
cmake --build build-update -j"$(nproc)" --target morvane

# --- The run folder ----------------------------------------------------------------------
# Morvane keeps its history (配置.ini) beside itself and the update replaces the program file,
# so it runs from a folder of its own: the build stays as built, the history stays between
# runs, and every run starts from the old version so the update can be tried again.
run_dir=$root/build/run
mkdir -p "$run_dir"
rm -f "$run_dir/morvane" "$run_dir/$newer_name"
cp build/app/window/morvane "$run_dir/morvane"

# --- The loopback swarm ----------------------------------------------------------------------
# The catalogue's two-minute videos (ffmpeg, into build/media, made once). The services seed
# every catalogue torrent over BitTorrent and track the swarm at 127.0.0.1:47080/announce;
# they no longer answer /xml.php, so Morvane starts its own streaming service on the
# resolution host (127.0.0.1:47083) and every catalogue video plays over real BitTorrent.
bash scripts/make-media.sh build/media
# --- end of the loopback swarm ----------------------------------------------------------------

# Torrent files of the catalogue, to try "上传种子" with.
build/services/morvane-services --write-torrents build/torrents

# --- The user configuration of the run ---------------------------------------------------
# Morvane reads its user configuration from a folder of the run, never from the user's own
# ~/.config/morvane: there the run's indexer file names the services' stand-in Torznab
# indexer (127.0.0.1:47086), so the site box lists it after the two sites. Written once;
# edit it to add an indexer of your own.
config_home=$run_dir/config
mkdir -p "$config_home/morvane"
if [ ! -f "$config_home/morvane/indexers.conf" ]; then
  build/services/morvane-services --write-indexers "$config_home/morvane/indexers.conf"
fi

# --- The stand-in services ---------------------------------------------------------------
# Their log goes to this terminal and to build/run/services.log. They are ready once they
# print their addresses (about a second: the player's certificate is made first); a copy
# that cannot have the ports ends without that line, and the window must not open then,
# or it would talk to whatever holds the ports.
services_log=$run_dir/services.log
: >"$services_log"
build/services/morvane-services --latest-version "$newer_version" --update-name "$newer_name" \
  --update-program build-update/app/window/morvane "${signing_services[@]}" \
  > >(tee -a "$services_log") &
services=$!
trap 'kill "$services" 2>/dev/null; wait "$services" 2>/dev/null || true' EXIT
until grep -q '^morvane-services: publisher ' "$services_log"; do
  if ! kill -0 "$services" 2>/dev/null; then
    echo "morvane: the stand-in services did not start (is another copy running?)" >&2
    exit 1
  fi
  sleep 0.1
done

# --- A quiet terminal --------------------------------------------------------------------
# Only the access log and Morvane's own messages. The web engine's own log (GPU, D-Bus, the
# loopback player's self-signed certificate) is cut to fatal errors; Qt's reports (the GL
# dump of qt.webenginecontext, the pages' console in js) and its informational lines are off.
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:+$QTWEBENGINE_CHROMIUM_FLAGS }--log-level=3"
export QT_LOGGING_RULES="${QT_LOGGING_RULES:+$QT_LOGGING_RULES;}qt.*=false;js=false;default.info=false"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  # Without one (a virtual display, a root shell) Qt warns at every start.
  export XDG_RUNTIME_DIR=$run_dir/.runtime
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
if [ "$(id -u)" -eq 0 ]; then
  # The web engine's sandbox cannot run as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi

# --- Morvane -----------------------------------------------------------------------------
# True while a program started from the run folder is alive: the first Morvane, or the newer
# one its update started (detached, so it is not our child) while the old one ended.
morvane_alive() {
  local exe target
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case "$target" in "$run_dir"/*) return 0 ;; esac
  done
  return 1
}

echo "Morvane: try the keyword 'sintel' or '中国合伙人', on a site or on the stand-in indexer;" \
  "torrents to import are in build/torrents/."
status=0
XDG_CONFIG_HOME=$config_home "$run_dir/morvane" || status=$?
while morvane_alive; do sleep 1; done
exit "$status"
