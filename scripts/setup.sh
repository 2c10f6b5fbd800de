#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Morvane needs.
# Safe to run twice: packages already present are skipped, and apt is only asked when
# something is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools qt6-webchannel-dev
  libqt6opengl6-dev libgl-dev
  libcurl4-openssl-dev curl libcpp-httplib-dev libssl-dev
  libexpat1-dev  # reading Torznab indexers' answers
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth fonts-noto-cjk
  xdotool x11-apps  # driving and looking at the window on a virtual display
  openssl
  libtorrent-rasterbar-dev libboost-system-dev
  ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
  transmission-cli
  locales  # a German locale for the tests of numbers that must not follow it
  # casting: renderers found and driven over UPnP, and the players a film is handed to
  libgupnp-1.6-dev libgupnp-av-1.0-dev libjson-glib-dev mpv
  # a renderer with no screen for the casting tests, and the decoders its GStreamer plays with
  gmediarender gstreamer1.0-plugins-good gstreamer1.0-libav iproute2
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests run the service's routes under a locale that writes "30,000" for 30.0.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
