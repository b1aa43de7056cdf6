#!/usr/bin/env bash
# Installs what is missing, checks formatting and that src/ has no include circle, then builds and
# runs every test: the release build (as users get it, and the package test with it), then again
# under AddressSanitizer with UndefinedBehaviorSanitizer, then under ThreadSanitizer; last, fuzzes
# the per-frame processing for a bounded time. No plain debug run: the sanitizer builds are debug
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

# New inputs go to a scratch corpus seeded from the checked-in one; a crashing input is kept in
# build/fuzz for replay (frame_pipeline_fuzz FILE).
echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" >/dev/null
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
if ! LSAN_OPTIONS="suppressions=$PWD/lsan.supp" build/fuzz/tests/fuzz/frame_pipeline_fuzz \
  -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 -artifact_prefix=build/fuzz/ \
  "$corpus" tests/fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
  tail -n 60 build/fuzz/fuzz.log
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' build/fuzz/fuzz.log
