#!/usr/bin/env bash
# Makes the catalogue's longer videos, so that seeking and streaming are real: about two
# minutes each, a few MB a minute, from ffmpeg's own test pattern and a tone.
#   sintel-long.mp4   H.264/AAC with the index (moov) at the end of the file, as a player
#                     meets it in the wild: no faststart.
#   sintel-long.webm  VP8/Opus.
# Usage: make-media.sh [DIR]   (default build/media). Files already made are kept.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/media}
mkdir -p "$out"
seconds=120

make_one() {  # file, then ffmpeg's output options
  local file=$out/$1
  shift
  [ -s "$file" ] && return 0
  # Written under a temporary name: an interrupted run leaves no half video behind.
  local partial=$file.partial.${file##*.}
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=640x360:rate=24:duration=$seconds" \
    -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=48000:duration=$seconds" \
    "$@" -shortest "$partial"
  mv "$partial" "$file"
}

make_one sintel-long.mp4 -c:v libx264 -preset veryfast -b:v 400k -maxrate 500k -bufsize 1000k \
  -g 48 -pix_fmt yuv420p -c:a aac -b:a 64k
make_one sintel-long.webm -c:v libvpx -deadline realtime -cpu-used 8 -b:v 400k -g 48 \
  -c:a libopus -b:a 64k
