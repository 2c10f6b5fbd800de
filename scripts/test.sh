#!/usr/bin/env bash
# Builds Morvane and runs every test: the whole suite, then the Qt-free core again under
# AddressSanitizer and UBSan, the concurrency tests under ThreadSanitizer, and the decoder
# fuzzer for a bounded time. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export QTWEBENGINE_DISABLE_SANDBOX=1
export QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --no-sandbox"

failed=()
run_suite() {  # name, build dir, ctest arguments...
  local name=$1 dir=$2
  shift 2
  echo "=== $name"
  if ! ctest --test-dir "$dir" --output-on-failure --timeout 600 "$@"; then
    failed+=("$name")
  fi
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
bash scripts/make-media.sh build/media  # the catalogue's two-minute videos
run_suite "all tests" build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMORVANE_SANITIZE=ON -DMORVANE_CORE_ONLY=ON \
  -DMORVANE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite "core tests under AddressSanitizer and UBSan" build-asan -L core

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_TSAN=ON -DMORVANE_CORE_ONLY=ON \
  -DMORVANE_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  run_suite "concurrency tests under ThreadSanitizer" build-tsan -L concurrency

echo "=== fuzzing"
bash scripts/fuzz.sh || failed+=("fuzzing")

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test suites passed."
