#!/usr/bin/env bash
# Installs what is missing, builds edge-viewer and runs it. On a desktop it opens the windows; on a
# machine without a display it runs on the test pattern under Xvfb for a few seconds, saves a
# screenshot, ends the run with a key press and reports the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
# A build directory of its own (build/run): the release preset's has the tests, which a build
# configured without them there would leave stale for ctest to run.
cmake --preset run >/dev/null
cmake --build --preset run -j"$(nproc)" >/dev/null
viewer=build/run/edge-viewer

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$viewer"
fi

mkdir -p out
screenshot=$PWD/out/edge-viewer.png
tests/run_with_xvfb.sh bash -c '
  "$1" & pid=$!
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^edge$" | head -n 1)
  # No window manager places the windows here: move the preview of the test pattern from under
  # "edge".
  preview=$(timeout 10 xdotool search --sync --onlyvisible --name "^Test pattern$" | head -n 1)
  [ -n "$preview" ] && xdotool windowmove "$preview" 0 600
  sleep 3
  [ -n "$window" ] && import -window "$window" "$2"
  [ -n "$window" ] && xdotool key --window "$window" space 2>/dev/null
  wait "$pid"
  echo "edge-viewer exited with status $?"
' run "$viewer" "$screenshot"
echo "screenshot: $screenshot"
