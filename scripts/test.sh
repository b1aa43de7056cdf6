#!/usr/bin/env bash
# Installs what is missing, checks formatting and that src/ has no include circle, then builds and
# runs every test: the release build (as users get it, and the package test with it), then again
# under AddressSanitizer with UndefinedBehaviorSanitizer, then under ThreadSanitizer; last, fuzzes
# the per-frame processing and the image header walks for a bounded time each. No plain debug run: the sanitizer builds are debug
# builds with assertions on, running the same tests, so it would only repeat them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-format.sh
scripts/check-layers.sh

jobs=$(nproc)
for preset in release asan-ubsan tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
  ctest --preset "$preset" -j"$jobs"
done

# Each target for a bounded time (FUZZ_SECONDS, 30 by default): the per-frame processing, then the
# image header walks against OpenCV's decoders. New inputs go to a scratch corpus seeded from the
# checked-in one; a crashing input is kept in build/fuzz for replay (TARGET FILE). The decoders'
# own complaints about the inputs are closed off (-close_fd_mask=2); libFuzzer's reports are not.
echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" >/dev/null
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
for target in frame_pipeline:corpus image_header:image_header_corpus; do
  name=${target%%:*}_fuzz
  mkdir -p "$corpus/$name"
  if ! LSAN_OPTIONS="suppressions=$PWD/lsan.supp" "build/fuzz/tests/fuzz/$name" \
    -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 -close_fd_mask=2 \
    -artifact_prefix=build/fuzz/ "$corpus/$name" "tests/fuzz/${target#*:}" \
    >"build/fuzz/$name.log" 2>&1; then
    tail -n 60 "build/fuzz/$name.log"
    exit 1
  fi
  echo "$name:"
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' \
    "build/fuzz/$name.log"
done
