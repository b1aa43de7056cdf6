#!/usr/bin/env bash
# The whole program with cameras that fail: each fault reaches stderr as one line naming the camera
# and the reason, the viewer stays up, and a key still ends the run promptly with status 0. The
# capture layer's own test (tests/capture/capture_pipeline_test.cpp) holds the table of faults and
# their words; here one of each kind the program handles apart: a camera that fails to start (the
# driver may try it another way), one that fails mid-run, and one that stalls, after the program's
# own stall timeout.
# Needs an X display (tests/run_with_xvfb.sh gives one) and xdotool.
# Usage: faults_e2e.sh VIEWER_ON_SOURCE
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init

try_fault() { # name, source description, the line expected (* at its end: a prefix of it)
  e2e_case=$1
  e2e_start "$1" "$2"
  e2e_wait 15 "line on stderr" test -s "$work/stderr"
  # Time for a second line, were there one.
  sleep 0.5
  e2e_end
  e2e_expect_lines "$3"
  echo "$1: exit 0 ${elapsed} ms after the key; said: $(cat "$work/stderr")"
}

try_fault "Missing camera" "v4l2src device=/dev/no-such-camera" \
  "edge-viewer: failed to start camera \"Missing camera\": it is not there; is it plugged in? *"
try_fault "Failing camera" "videotestsrc is-live=true ! identity error-after=30" \
  "edge-viewer: failed to capture from camera \"Failing camera\": it failed (*"
try_fault "Stalling camera" "videotestsrc is-live=true ! video/x-raw,framerate=1/60" \
  "edge-viewer: failed to capture from camera \"Stalling camera\": it has sent no frame for 3 seconds"
