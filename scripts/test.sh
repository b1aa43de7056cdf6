#!/usr/bin/env bash
# Installs what is missing, checks formatting, then builds and runs every test: the plain debug
# build, then again under AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-format.sh

jobs=$(nproc)
for preset in debug asan-ubsan tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
  ctest --preset "$preset" -j"$jobs"
done
