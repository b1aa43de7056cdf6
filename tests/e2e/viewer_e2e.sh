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
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init
# Without a camera, the one line a run prints.
no_camera="edge-viewer: no camera found; showing the built-in test pattern"

start() {
  e2e_start
  e2e_await_preview "Test pattern"
}

start
# highgui shows a window at its own size before the viewer's size reaches it.
preview_is_640x480() {
  eval "$(xdotool getwindowgeometry --shell "$preview")"
  e2e_why="${WIDTH}x$HEIGHT"
  [ "$WIDTH" = 640 ] && [ "$HEIGHT" = 480 ]
}
e2e_wait 10 "preview of 640x480" preview_is_640x480

# Edge pixels inside the picture, which the window centres under its tool bar.
edge_pixels() { # name
  e2e_shot "$1" && e2e_white_pixels "$work/$1.png" "600x440+$(((WIDTH - 640) / 2 + 20))+40"
}
# The window takes the frame's size with the first frame, which a slow (sanitizer) build shows
# late: measured again at each look.
edges_shown() {
  eval "$(xdotool getwindowgeometry --shell "$window")" # sets X, Y, WIDTH, HEIGHT
  before=$(edge_pixels before)
  e2e_why="${before:-no} edge pixels in a ${WIDTH}x$HEIGHT window"
  [ "${before:-0}" -gt 1000 ] && [ "$WIDTH" -ge 640 ] && [ "$HEIGHT" -ge 508 ]
}
e2e_wait 20 "edges in \"edge\"" edges_shown

# Upright, the test pattern's colour bars fill the top two thirds, so the long horizontal edge
# under them lies near row 320 of 480; upside down it would lie near row 160.
band() { e2e_white_pixels "$work/before.png" "600x20+$(((WIDTH - 640) / 2 + 20))+$((28 + $1))"; }
[ "$(band 310)" -gt 500 ] && [ "$(band 150)" -lt 300 ] ||
  fail "the picture is not upright (edge pixels near row 320: $(band 310), near row 160: $(band 150))"

# The preview shows the same scene the same way up, in natural colours: white and yellow bars at
# the top left, where "edge" has its vertical edges, and the blue bar of the middle strip under
# them, below the long horizontal edge.
sleep 0.5
e2e_shot preview "$preview"
# Each channel rounded to 0 or 1: 111 is white, 110 yellow, 001 blue.
colour() { local p="p{$1,$2}"; convert "$work/preview.png" \
  -format "%[fx:round($p.r)]%[fx:round($p.g)]%[fx:round($p.b)]" info:; }
[ "$(colour 40 100)" = 111 ] && [ "$(colour 130 100)" = 110 ] && [ "$(colour 40 345)" = 001 ] ||
  fail "the preview is not the upright test pattern: $(colour 40 100), $(colour 130 100), $(colour 40 345)"

# Both handles to the far right (255): the weaker edges between the colour bars go from the next
# frame on.
e2e_drag_slider T1 100 255
e2e_drag_slider T2 120 255
thinner() {
  after=$(edge_pixels after)
  e2e_why="$before edge pixels before, ${after:-none} after"
  [ "${after:-$before}" -lt $((before * 9 / 10)) ]
}
e2e_wait 20 "thinner edges after moving the sliders" thinner

e2e_end
e2e_expect_lines "$no_camera"
echo "edges: $before edge pixels, $after after the sliders; exit 0 ${elapsed} ms after the key"

# Closing the preview leaves the edges running: the clock in the corner keeps changing them.
start
sleep 0.5
"$close_window" "$preview"
e2e_wait 10 "closing of the preview" e2e_closed "$preview"
clock() { e2e_shot "$1" && convert "$work/$1.png" \
  -crop "160x40+$(((WIDTH - 640) / 2 + 480))+$((28 + 420))" "$work/$1.png"; }
clock tick
ticked() { clock tock && e2e_differ "$work/tick.png" "$work/tock.png"; }
e2e_wait 10 "new second on the clock in \"edge\" after the preview was closed" ticked
e2e_end "closing \"edge\"" "$close_window" "$window"
e2e_expect_lines "$no_camera"
echo "closing the preview: edges go on; closing \"edge\": exit 0 ${elapsed} ms after the close"

start
sleep 0.5
e2e_end "a key in the preview" xdotool key --window "$preview" space
e2e_expect_lines "$no_camera"
echo "a key in the preview: exit 0 ${elapsed} ms after the key"
