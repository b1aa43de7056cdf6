#!/usr/bin/env bash
# Fails when the units under src/ include each other in a circle (a .h/.cpp pair is one unit):
# the layers must read one way, from the driver down to the GStreamer runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=$(
  for file in src/*.h src/*.cpp src/capture/*.h src/capture/*.cpp; do
    unit=${file%.*}
    echo "$unit $unit"
    sed -n 's/^#include "\(.*\)"$/\1/p' "$file" | while read -r name; do
      for candidate in "$(dirname "$file")/$name" "src/$name"; do
        if [ -e "$candidate" ]; then
          [ "${candidate%.*}" = "$unit" ] || echo "$unit ${candidate%.*}"
          break
        fi
      done
    done
  done
)
if ! order=$(tsort <<<"$pairs" 2>&1 >/dev/null) || [ -n "$order" ]; then
  echo "src/ has an include circle:" >&2
  tsort <<<"$pairs" 2>&1 >/dev/null | sed -n 's/^tsort: //p' >&2
  exit 1
fi
