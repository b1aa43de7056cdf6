#!/usr/bin/env bash
# The real viewer on cameras found through GStreamer's device monitor: the fake camera plugin
# offers cameras with the caps real webcams reported (tests/fake_camera/webcams.ini), and unplugs
# and plugs them in again on request. Checked as a user sees it: the camera dialog in a terminal,
# an MJPEG-only camera, a busy one, and the camera in use unplugged, then plugged in again or not.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool, ImageMagick and tmux.
# Usage: cameras_e2e.sh VIEWER FAKE_CAMERA_PLUGIN_DIR WEBCAMS_KEY_FILE CLOSE_WINDOW_TOOL
set -u
viewer=$1
close_window=$4
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init
e2e_use_fake_cameras "$2" "$3"
e2e_use_fake_camera_control

edges_shown() {
  local WINDOW WIDTH HEIGHT X Y SCREEN count other
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # No window manager places the camera's window, which opens over "edge" and would be counted
  # as edges in the screenshot: it goes to the right of "edge".
  for other in $(xdotool search --all --onlyvisible --pid "$pid" --name . 2>/dev/null); do
    [ "$other" = "$window" ] || xdotool windowmove "$other" "$((X + WIDTH + 10))" 0
  done
  e2e_shot edges || return 1
  count=$(e2e_white_pixels "$work/edges.png" "$((WIDTH - 40))x$((HEIGHT - 120))+20+40")
  e2e_why="${count:-no} edge pixels"
  [ "${count:-0}" -gt 1000 ]
}
wait_for_edges() { e2e_wait 20 "edges in \"edge\"" edges_shown; }

# The dialog, as a person at a terminal meets it: the metadata node is no camera, the PipeWire
# camera shows its node, and the camera picked is the one shown.
e2e_case="the dialog"
e2e_fake_cameras "VOLERS HD CAMERA" "Logitech BRIO metadata" "USB_Camera (V4L2)"
e2e_terminal_start
e2e_terminal_wait 'Which camera?'
listed=$(e2e_terminal capture-pane -p | grep -E '^  [0-9]  ')
[ "$(printf '%s\n' "$listed" | wc -l)" -eq 2 ] || fail "the dialog lists other than two cameras: $listed"
printf '%s\n' "$listed" | grep -qE '^  0  VOLERS HD CAMERA  .*/dev/video0' &&
  printf '%s\n' "$listed" | grep -qE '^  1  USB_Camera \(V4L2\)  .*/dev/video2' ||
  fail "the dialog does not list both cameras with their device nodes: $listed"
e2e_terminal send-keys 1 Enter
e2e_terminal_wait 'Format?'
e2e_terminal capture-pane -p | grep -qE '^  \*  *[0-9]+  YUY2 +640x480' ||
  fail "the format page does not mark YUY2 640x480: $(e2e_terminal capture-pane -p)"
e2e_terminal send-keys Enter
e2e_terminal_windows
e2e_await_window preview "USB_Camera (V4L2)"
wait_for_edges
e2e_terminal_end
# The terminal holds the dialog, on standard error, and nothing else.
unexpected=$(e2e_terminal capture-pane -p | grep -vE '^$|^Cameras found:$|^  [0-9]  |^Which camera\? |^Video formats of USB_Camera \(V4L2\) |^  [ *] +[0-9]+  |^Format\? |^exit status 0$')
[ -z "$unexpected" ] || fail "the terminal shows lines it should not: $unexpected"
e2e_terminal kill-server
echo "dialog: two cameras of three devices listed, the second picked and shown; exit 0"

# A camera that sends only JPEG: decoded on the way in, at its default 1280x720.
e2e_case="MJPEG only"
e2e_fake_cameras "Logitech BRIO" "Logitech BRIO metadata"
e2e_start
wait_for_edges
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" -ge 1280 ] || fail "the edge window is $WIDTH wide, not the frame's 1280"
e2e_end
e2e_expect_lines
echo "MJPEG only: edges at ${WIDTH}x$HEIGHT; exit 0 ${elapsed} ms after the key"

# A camera in use by another program: one clear line, and the key still ends the run.
e2e_case="busy"
e2e_fake_cameras "VOLERS HD CAMERA busy"
e2e_start
e2e_wait_for_line "busy"
sleep 0.5
e2e_end
busy_line="edge-viewer: failed to start camera \"VOLERS HD CAMERA\": it is busy, probably in use by another program (device '/dev/video0' is busy)"
e2e_expect_lines "$busy_line"
echo "busy: exit 0 ${elapsed} ms after the key; said: $busy_line"

# Unplugged and plugged in again: other cameras coming and going change nothing; the camera in use
# gets its fault line, the picture stays, and capture resumes on its own when it is back.
unplugged="edge-viewer: failed to capture from camera \"VOLERS HD CAMERA\": it stopped delivering frames; was it unplugged? (could not read from resource)"
back="edge-viewer: camera \"VOLERS HD CAMERA\" is back"
e2e_case="replug"
e2e_fake_cameras "VOLERS HD CAMERA" "USB_Camera (V4L2)"
e2e_start
wait_for_edges
e2e_control "remove USB_Camera (V4L2)"
sleep 1
e2e_wait 10 "moving edges after another camera's unplugging" e2e_edges_move
[ ! -s "$work/stderr" ] || fail "another camera's unplugging was reported"
e2e_control "remove VOLERS HD CAMERA"
e2e_wait_for_line "unplugged"
sleep 0.5
e2e_edges_move && fail "the edges still move with the camera unplugged"
e2e_running "when the camera was unplugged"
e2e_closed "$window" && fail "the edge window closed"
e2e_control "add USB_Camera (V4L2)"
sleep 1
[ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "another camera's return changed something"
e2e_clock
added=$e2e_ms
e2e_control "add VOLERS HD CAMERA"
e2e_wait_for_line "is back"
e2e_clock
replug_ms=$((e2e_ms - added))
[ "$replug_ms" -lt 2000 ] || echo "replug: slow machine? $replug_ms ms from plugging in to the line"
e2e_wait 20 "moving edges after the camera is back" e2e_edges_move
e2e_end
e2e_expect_lines "$unplugged" "$back"
echo "replug: resumed ${replug_ms} ms after plugging in; exit 0 ${elapsed} ms after the key"

# A preview the user closed stays closed when its camera comes back.
e2e_case="closed preview"
e2e_fake_cameras "VOLERS HD CAMERA"
e2e_start
e2e_await_window preview "VOLERS HD CAMERA"
wait_for_edges
"$close_window" "$preview"
e2e_wait 10 "closing of the preview" e2e_closed "$preview"
e2e_control "remove VOLERS HD CAMERA"
e2e_wait_for_line "unplugged"
e2e_control "add VOLERS HD CAMERA"
e2e_wait_for_line "is back"
e2e_wait 20 "moving edges after the camera is back" e2e_edges_move
sleep 0.5
e2e_find_window '^VOLERS HD CAMERA$' &&
  fail "the camera's return opened the preview the user had closed"
e2e_end
e2e_expect_lines "$unplugged" "$back"
echo "closed preview: stays closed when the camera is back"

# Unplugged for good: the key still ends the run at once.
e2e_case="unplugged for good"
e2e_fake_cameras "VOLERS HD CAMERA"
e2e_start
wait_for_edges
e2e_control "remove VOLERS HD CAMERA"
e2e_wait_for_line "unplugged"
sleep 0.5
e2e_end
e2e_expect_lines "$unplugged"
echo "unplugged for good: exit 0 ${elapsed} ms after the key; said: $unplugged"
