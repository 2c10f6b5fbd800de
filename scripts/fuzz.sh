#!/usr/bin/env bash
# Builds the torrent decoder's fuzzer with clang (libFuzzer, AddressSanitizer, UBSan) in
# build-fuzz/ and runs it for a bounded time from the seed corpus in tests/fuzz/corpus.
# Exits non-zero when the fuzzer finds a crash, a leak, undefined behaviour or an input that
# takes too long. Without clang it says so and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${MORVANE_FUZZ_SECONDS:-45}
clang=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clang" ]; then
  echo "fuzz.sh: clang++ not found, fuzzing skipped"
  exit 0
fi

out=build-fuzz
mkdir -p "$out"
sources=(torrent/*.cpp tests/fuzz/fuzz_torrent.cpp)
newest=$(ls -t "${sources[@]}" torrent/*.h | head -n1)
if [ ! -x "$out/fuzz_torrent" ] || [ "$newest" -nt "$out/fuzz_torrent" ]; then
  echo "fuzz.sh: building $out/fuzz_torrent"
  "$clang" -std=c++20 -g -O1 -I. -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
    "${sources[@]}" -o "$out/fuzz_torrent"
fi

# New inputs go to a scratch corpus, so the seeds in the tree stay as they are.
work="$out/corpus"
mkdir -p "$work"
echo "fuzz.sh: fuzzing for ${seconds}s"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$out/fuzz_torrent" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -artifact_prefix="$out/" -print_final_stats=1 "$work" tests/fuzz/corpus
