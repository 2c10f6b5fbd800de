#!/usr/bin/env bash
# The torrent import as a whole process against two commands over the same files:
#   the single 100 GiB file torrent (about 8 MB): `morvane-tool magnet` against `openssl sha1`
#   the 60,000-file torrent (about 7 MB):         `morvane-tool magnet` against `transmission-show -m`
# The two commands of a comparison run in turn, A B A B ..., and each pair gives a ratio of
# wall times (A over B), so a drift in the machine's speed moves both alike. Prints the
# median times and the median ratio.
#
# Usage: bash bench/import_vs_tools.sh [BUILD_FOLDER] [RUNS]   (defaults: build, 21)
set -euo pipefail

build=${1:-build}
runs=${2:-21}
tool=$build/tools/morvane-tool
maker=$build/bench/bench_torrent
for needed in "$tool" "$maker"; do
  [[ -x $needed ]] || { echo "missing $needed: build the morvane-tool and bench_torrent targets" >&2; exit 1; }
done
for command in openssl transmission-show; do
  command -v "$command" >/dev/null || { echo "missing $command: run scripts/setup.sh" >&2; exit 1; }
done

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$maker" --write-torrents "$folder"

# Wall seconds of one run of the command, its output thrown away.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# compare LABEL -- A... -- B...
compare() {
  local label=$1
  shift 2
  local a=() b=()
  while [[ $1 != -- ]]; do a+=("$1"); shift; done
  shift
  b=("$@")
  "${a[@]}" >/dev/null 2>&1 || true  # warm-up: files and programs in the page cache
  "${b[@]}" >/dev/null 2>&1 || true
  local times_a=() times_b=() ratios=()
  for ((i = 0; i < runs; i++)); do
    local ta tb
    ta=$(seconds "${a[@]}")
    tb=$(seconds "${b[@]}")
    times_a+=("$ta")
    times_b+=("$tb")
    ratios+=("$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f\n", a / b }')")
  done
  printf '%s\n' "$label"
  printf '  A %-44s median %s s\n' "${a[*]##*/}" "$(printf '%s\n' "${times_a[@]}" | median)"
  printf '  B %-44s median %s s\n' "${b[*]##*/}" "$(printf '%s\n' "${times_b[@]}" | median)"
  printf '  A/B wall time, median of %d pairs: %s\n' "$runs" "$(printf '%s\n' "${ratios[@]}" | median)"
}

compare "single 100 GiB file (target: A/B at most 2.5)" -- \
  "$tool" magnet "$folder/single.torrent" -- openssl sha1 "$folder/single.torrent"
compare "60,000 files (target: A/B at most 0.33, three times as fast)" -- \
  "$tool" magnet "$folder/multi.torrent" -- transmission-show -m "$folder/multi.torrent"
