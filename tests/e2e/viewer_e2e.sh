#!/usr/bin/env bash
# The viewer as a user sees it, on the built-in test pattern: the "edge" window with its sliders
# shows edges, dragging a slider changes them, and a key ends the run with status 0; closing the
# window with its title-bar button ends it the same way. Beside it, the capture layer's preview of
# the raw stream: 640x480, the same scene the same way up; closing it leaves the edges running, and
# a key in it ends the run too.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
# Usage: viewer_e2e.sh VIEWER CLOSE_WINDOW_TOOL
set -u
viewer=$1
close_window=$2
shots=${E2E_SHOTS:-$(mktemp -d)}
mkdir -p "$shots"
fail() { echo "FAIL: $*" >&2; cat "$shots/stderr" >&2; kill "$pid" 2>/dev/null; exit 1; }
# Without a camera, the one line a run prints.
no_camera="edge-viewer: no camera found; showing the built-in test pattern"

# Standard input is not a terminal, as on a desktop launcher: nothing is asked.
start_viewer() {
  "$viewer" </dev/null >"$shots/stdout" 2>"$shots/stderr" &
  pid=$!
  # Only this run's windows: those of the run before may not all be gone yet.
  window=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" --name '^edge$' |
    head -n 1)
  [ -n "$window" ] || fail "no visible window named \"edge\""
  preview=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" \
    --name '^Test pattern$' | head -n 1)
  [ -n "$preview" ] || fail "no visible preview window named \"Test pattern\""
  # No window manager places the windows: move the preview from under "edge".
  xdotool windowmove "$preview" 0 600
}

start_viewer
eval "$(xdotool getwindowgeometry --shell "$preview")"
[ "$WIDTH" = 640 ] && [ "$HEIGHT" = 480 ] || fail "the preview is ${WIDTH}x$HEIGHT, not 640x480"
eval "$(xdotool getwindowgeometry --shell "$window")" # sets X, Y, WIDTH, HEIGHT

# Edge pixels (pure white) inside the picture, which the window centres under its tool bar.
# import -window asks for a mouse click when its window has gone: never let it wait for one.
edge_pixels() {
  timeout 20 import -window "$window" "$shots/$1.png" 2>/dev/null
  convert "$shots/$1.png" -crop "600x440+$(( (WIDTH - 640) / 2 + 20 ))+40" -threshold 99% \
    -format '%[fx:round(mean*w*h)]' info:
}

for _ in $(seq 100); do
  # The window takes the frame's size with the first frame, which a slow (sanitizer) build shows
  # late: measure it again each time.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  before=$(edge_pixels before)
  [ "${before:-0}" -gt 1000 ] && [ "$WIDTH" -ge 640 ] && [ "$HEIGHT" -ge 508 ] && break
  sleep 0.1
done
[ "${before:-0}" -gt 1000 ] || fail "the window shows no edges (${before:-none} edge pixels)"

# Upright, the test pattern's colour bars fill the top two thirds, so the long horizontal edge
# under them lies near row 320 of 480; upside down it would lie near row 160.
picture_x=$(( (WIDTH - 640) / 2 ))
band() { convert "$shots/before.png" -crop "600x20+$((picture_x + 20))+$((28 + $1))" -threshold 99% \
  -format '%[fx:round(mean*w*h)]' info:; }
[ "$(band 310)" -gt 500 ] && [ "$(band 150)" -lt 300 ] ||
  fail "the picture is not upright (edge pixels near row 320: $(band 310), near row 160: $(band 150))"

# The sliders run along the bottom of the window, "T1" above "T2", from about x=127 to the right
# edge. Drag each handle from its start value to the far right (255): the weaker edges between the
# colour bars go from the next frame on.
groove_start=127
drag() { # row from the bottom, start value
  local y=$((HEIGHT - $1)) x=$(( groove_start + (WIDTH - groove_start) * $2 / 255 ))
  xdotool mousemove --window "$window" "$x" "$y" mousedown 1 \
    mousemove --window "$window" "$((WIDTH - 3))" "$y" mouseup 1
}
# The preview shows the same scene the same way up, in natural colours: white and yellow bars at
# the top left, where "edge" has its vertical edges, and the blue bar of the middle strip under
# them, below the long horizontal edge.
sleep 0.5
timeout 20 import -window "$preview" "$shots/preview.png" 2>/dev/null
# Each channel rounded to 0 or 1: 111 is white, 110 yellow, 001 blue.
colour() { local p="p{$1,$2}"; convert "$shots/preview.png" \
  -format "%[fx:round($p.r)]%[fx:round($p.g)]%[fx:round($p.b)]" info:; }
[ "$(colour 40 100)" = 111 ] && [ "$(colour 130 100)" = 110 ] && [ "$(colour 40 345)" = 001 ] ||
  fail "the preview is not the upright test pattern: $(colour 40 100), $(colour 130 100), $(colour 40 345)"

drag 58 100
drag 33 120
# A loaded machine (or a sanitizer build) may take a while to show the next frame.
for _ in $(seq 100); do
  after=$(edge_pixels after)
  [ "$after" -lt $((before * 9 / 10)) ] && break
  sleep 0.1
done
[ "$after" -lt $((before * 9 / 10)) ] || fail "moving the sliders did not thin the edges ($before -> $after)"

# Waits for the viewer to end and checks it ended as a normal run: status 0, nothing printed.
expect_clean_exit() {
  local start status
  start=$(date +%s%N)
  for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
  kill -0 "$pid" 2>/dev/null && fail "the viewer still runs 5 s after $1"
  wait "$pid"
  status=$?
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  [ "$status" -eq 0 ] || fail "exit status $status after $1"
  # A hang, not a slow machine: a normal exit takes some tens of milliseconds.
  [ "$elapsed" -lt 5000 ] || fail "the viewer took $elapsed ms to exit after $1"
  [ ! -s "$shots/stdout" ] && [ "$(cat "$shots/stderr")" = "$no_camera" ] ||
    fail "a normal run printed: $(cat "$shots/stdout" "$shots/stderr")"
}

xdotool key --window "$window" q 2>/dev/null
expect_clean_exit "the key"
echo "edges: $before edge pixels, $after after the sliders; exit 0 ${elapsed} ms after the key"

# Closing the preview leaves the edges running: the clock in the corner keeps changing them.
start_viewer
sleep 0.5
"$close_window" "$preview"
sleep 0.5
xwininfo -id "$preview" 2>/dev/null | grep -q IsViewable && fail "the preview did not close"
clock() { timeout 20 import -window "$window" -crop "160x40+$(( (WIDTH - 640) / 2 + 480 ))+$((28 + 420))" \
  "$shots/$1.png" 2>/dev/null; }
clock tick
sleep 1.2
clock tock
kill -0 "$pid" 2>/dev/null || fail "closing the preview ended the run"
[ "$(compare -metric AE "$shots/tick.png" "$shots/tock.png" null: 2>&1)" -gt 0 ] ||
  fail "the edges stopped after the preview was closed"
"$close_window" "$window"
expect_clean_exit "closing the window"
echo "closing the preview: edges go on; closing \"edge\": exit 0 ${elapsed} ms after the close"

start_viewer
sleep 0.5
xdotool key --window "$preview" space 2>/dev/null
expect_clean_exit "a key in the preview"
echo "a key in the preview: exit 0 ${elapsed} ms after the key"
