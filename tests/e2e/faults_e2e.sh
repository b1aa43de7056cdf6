#!/usr/bin/env bash
# The viewer with cameras that fail: missing, failing mid-run, ending mid-run and stalling. Each
# fault gives one line on stderr naming the camera and the reason; the viewer stays up, and a key
# still ends the run promptly with status 0.
# Needs an X display (tests/run_with_xvfb.sh gives one) and xdotool.
# Usage: faults_e2e.sh VIEWER_ON_SOURCE
set -u
viewer=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$out/stderr" >&2; kill "$pid" 2>/dev/null; exit 1; }

# name, source description, the line expected (a prefix of it)
try_fault() {
  local name=$1 source=$2 expected=$3 window start status elapsed line
  "$viewer" "$name" "$source" </dev/null >"$out/stdout" 2>"$out/stderr" &
  pid=$!
  # Only this run's window: that of the run before may not be gone yet.
  window=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" --name '^edge$' |
    head -n 1)
  [ -n "$window" ] || fail "$name: no visible window named \"edge\""
  for _ in $(seq 300); do [ -s "$out/stderr" ] && break; sleep 0.05; done
  # Time for a second line, were there one.
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || fail "$name: the viewer ended on its own"
  start=$(date +%s%N)
  xdotool key --window "$window" q 2>/dev/null
  for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
  kill -0 "$pid" 2>/dev/null && fail "$name: the viewer still runs after the key"
  wait "$pid"
  status=$?
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  [ "$status" -eq 0 ] || fail "$name: exit status $status"
  # A hang, not a slow machine: the exit takes some tens of milliseconds.
  [ "$elapsed" -lt 5000 ] || fail "$name: took $elapsed ms to exit after the key"
  line=$(cat "$out/stderr")
  [ "$(wc -l <"$out/stderr")" -eq 1 ] && [ "${line#"$expected"}" != "$line" ] ||
    fail "$name: expected one line starting \"$expected\", got: $line"
  [ ! -s "$out/stdout" ] || fail "$name: printed on stdout: $(cat "$out/stdout")"
  echo "$name: exit 0 ${elapsed} ms after the key; said: $line"
}

try_fault "Missing camera" "v4l2src device=/dev/no-such-camera" \
  "edge-viewer: failed to start camera \"Missing camera\": it is not there; is it plugged in?"
try_fault "Failing camera" "videotestsrc is-live=true ! identity error-after=30" \
  "edge-viewer: failed to capture from camera \"Failing camera\": it failed"
try_fault "Ending camera" "videotestsrc is-live=true num-buffers=30" \
  "edge-viewer: failed to capture from camera \"Ending camera\": it stopped sending frames"
try_fault "Stalling camera" "videotestsrc is-live=true ! video/x-raw,framerate=1/60" \
  "edge-viewer: failed to capture from camera \"Stalling camera\": it has sent no frame for 3 seconds"
