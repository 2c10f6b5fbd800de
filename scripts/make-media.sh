#!/usr/bin/env bash
# Makes the catalogue's longer videos, so that seeking and streaming are real: about two
# minutes each, a few MB a minute, from ffmpeg's own test pattern and a tone.
#   sintel-long.mp4   H.264/AAC with the index (moov) at the end of the file, as a player
#                     meets it in the wild: no faststart.
#   sintel-long.webm  VP8/Opus.
#   lighthouse-s01/   a season pack: three short episodes (the first the largest; the first
#                     and the third, a Matroska file, with two sound tracks, 国语 and
#                     English), a sample clip, subtitles named for their episodes and a text
#                     file.
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

# The season pack, made aside and moved into place whole.
pack=$out/lighthouse-s01
if [ ! -d "$pack" ]; then
  partial=$out/.lighthouse-s01.partial
  rm -rf "$partial"
  mkdir -p "$partial/Sample"
  episode() {  # file, seconds, picture source, then ffmpeg's output options
    local file=$1 length=$2 picture=$3
    shift 3
    ffmpeg -nostdin -hide_banner -loglevel error -y \
      -f lavfi -i "$picture=size=640x360:rate=24:duration=$length" \
      -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=48000:duration=$length" \
      "$@" -shortest "$partial/$file"
  }
  mp4=(-c:v libx264 -preset veryfast -b:v 400k -maxrate 500k -bufsize 1000k -g 48 -pix_fmt yuv420p
       -c:a aac -b:a 64k -movflags +faststart)
  # Two languages: the default 国语 (the tone above) and English (a higher tone, mono).
  languages=(-f lavfi -i "sine=frequency=880:sample_rate=48000:duration=30" -map 0:v -map 1:a -map 2:a
             -ac:a:0 2 -ac:a:1 1 -metadata:s:a:0 language=chi -metadata:s:a:0 title=国语
             -metadata:s:a:1 language=eng -metadata:s:a:1 title=English
             -disposition:a:0 default -disposition:a:1 0)
  episode The.Lighthouse.S01E01.1080p.mp4 24 testsrc2 "${languages[@]}" "${mp4[@]}"
  episode The.Lighthouse.S01E02.1080p.mp4 16 testsrc "${mp4[@]}"
  episode Sample/The.Lighthouse.S01E01.sample.mp4 4 testsrc2 "${mp4[@]}"
  episode The.Lighthouse.S01E03.1080p.mkv 16 testsrc "${languages[@]}" \
    -c:v libx264 -preset veryfast -b:v 400k -g 48 -pix_fmt yuv420p -c:a aac -b:a 64k
  subtitle() {  # file, text shown through the episode
    printf '1\r\n00:00:00,500 --> 00:00:30,000\r\n%s\r\n' "$2" > "$partial/$1"
  }
  subtitle The.Lighthouse.S01E01.chs.srt "灯塔 第1集"
  subtitle The.Lighthouse.S01E02.chs.srt "灯塔 第2集"
  subtitle The.Lighthouse.S01E03.chs.srt "灯塔 第3集"
  subtitle The.Lighthouse.S01E03.eng.srt "The Lighthouse, episode 3"
  printf '灯塔 第一季，共三集。\r\n' > "$partial/说明.txt"
  mv "$partial" "$pack"
fi
