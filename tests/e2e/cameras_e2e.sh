#!/usr/bin/env bash
# The real viewer on cameras found through GStreamer's device monitor: the fake camera plugin
# offers cameras with the caps real webcams reported (tests/fake_camera/webcams.ini), and unplugs
# and plugs them in again on request. Checked as a user sees it: the camera dialog in a terminal,
# an MJPEG-only camera, a busy one, and the camera in use unplugged, then plugged in again or not.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool, ImageMagick and tmux.
# Usage: cameras_e2e.sh VIEWER FAKE_CAMERA_PLUGIN_DIR WEBCAMS_KEY_FILE CLOSE_WINDOW_TOOL
set -u
viewer=$1
webcams=$3
close_window=$4
work=$(mktemp -d)
trap 'tmux -L "cameras-$$" kill-server 2>/dev/null; rm -rf "$work"' EXIT
export GST_PLUGIN_PATH=$2
# A registry of its own, so that the user's does not change with each run.
export GST_REGISTRY=$work/registry.bin
export EDGE_VIEWER_FAKE_CAMERAS=$work/cameras.ini EDGE_VIEWER_FAKE_CAMERA_CONTROL=$work/control
mkfifo "$work/control"
pid=
fail() { echo "FAIL: $*" >&2; cat "$work/stderr" >&2 2>/dev/null; [ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 1; }

# The cameras of this run: the named groups of the webcams file, in that order; "NAME busy" marks
# one as in use by another program.
cameras() {
  : >"$work/cameras.ini"
  for camera in "$@"; do
    awk -v group="[${camera% busy}]" '/^\[/ { on = ($0 == group) } on && !/^#/' "$webcams" >>"$work/cameras.ini"
    [ "${camera% busy}" != "$camera" ] && echo "busy=true" >>"$work/cameras.ini"
  done
}
control() { echo "$1" >"$work/control"; }

# Standard input is not a terminal: the first camera in its default format, without a word.
start_viewer() {
  "$viewer" </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^edge$' | head -n 1)
  [ -n "$window" ] || fail "no visible window named \"edge\""
}

# Edge pixels (pure white) in the picture, which the window centres under its tool bar.
edge_pixels() {
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window "$window" "$work/$1.png" 2>/dev/null
  convert "$work/$1.png" -crop "$((WIDTH - 40))x$((HEIGHT - 120))+20+40" -threshold 99% \
    -format '%[fx:round(mean*w*h)]' info:
}
wait_for_edges() {
  local count
  for _ in $(seq 150); do
    count=$(edge_pixels edges)
    [ "${count:-0}" -gt 1000 ] && return 0
    sleep 0.1
  done
  fail "$1: the window shows no edges (${count:-none} edge pixels)"
}
# Whether the edge picture changes within a second: the fake cameras' patterns scroll.
edges_move() {
  import -window "$window" "$work/tick.png" 2>/dev/null
  for _ in $(seq 10); do
    sleep 0.1
    import -window "$window" "$work/tock.png" 2>/dev/null
    [ "$(compare -metric AE "$work/tick.png" "$work/tock.png" null: 2>&1)" != 0 ] && return 0
  done
  return 1
}
wait_for_line() { # text, seconds
  for _ in $(seq $(($2 * 100))); do grep -qF "$1" "$work/stderr" && return 0; sleep 0.01; done
  fail "no line \"$1\" within $2 s"
}
# A key ends the run at once with status 0.
end_with_key() {
  local start status
  kill -0 "$pid" 2>/dev/null || fail "$1: the viewer ended on its own"
  start=$(date +%s%N)
  xdotool key --window "$window" q 2>/dev/null
  for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
  wait "$pid"
  status=$?
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  [ "$status" -eq 0 ] || fail "$1: exit status $status"
  # A hang, not a slow machine: the exit takes some tens of milliseconds.
  [ "$elapsed" -lt 5000 ] || fail "$1: took $elapsed ms to exit after the key"
  [ ! -s "$work/stdout" ] || fail "$1: printed on stdout: $(cat "$work/stdout")"
}
expect_lines() { # what, the lines expected
  local what=$1
  shift
  [ "$(cat "$work/stderr")" = "$(printf '%s\n' "$@")" ] ||
    fail "$what: expected the lines \"$*\", got: $(cat "$work/stderr")"
}

# The dialog, as a person at a terminal meets it: the metadata node is no camera, the PipeWire
# camera shows its node, and the camera picked is the one shown.
cameras "VOLERS HD CAMERA" "Logitech BRIO metadata" "USB_Camera (V4L2)"
tmux=(tmux -L "cameras-$$")
"${tmux[@]}" new-session -d -x 160 -y 50 -e DISPLAY="$DISPLAY" \
  "$viewer 2>&1; echo \"exit status \$?\"; sleep 600"
for _ in $(seq 600); do "${tmux[@]}" capture-pane -p | grep -q 'Which camera?' && break; sleep 0.05; done
listed=$("${tmux[@]}" capture-pane -p | grep -E '^  [0-9]  ')
[ "$(printf '%s\n' "$listed" | wc -l)" -eq 2 ] || fail "the dialog lists other than two cameras: $listed"
printf '%s\n' "$listed" | grep -qE '^  0  VOLERS HD CAMERA  .*/dev/video0' &&
  printf '%s\n' "$listed" | grep -qE '^  1  USB_Camera \(V4L2\)  .*/dev/video2' ||
  fail "the dialog does not list both cameras with their device nodes: $listed"
"${tmux[@]}" send-keys 1 Enter
for _ in $(seq 600); do "${tmux[@]}" capture-pane -p | grep -q 'Format?' && break; sleep 0.05; done
"${tmux[@]}" capture-pane -p | grep -qE '^  \*  *[0-9]+  YUY2 +640x480' ||
  fail "the format page does not mark YUY2 640x480: $("${tmux[@]}" capture-pane -p)"
"${tmux[@]}" send-keys Enter
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^edge$' | head -n 1)
[ -n "$window" ] || fail "the dialog: no visible window named \"edge\""
timeout 30 xdotool search --sync --onlyvisible --name '^USB_Camera \(V4L2\)$' >/dev/null ||
  fail "the dialog: the picked camera's picture is not shown"
wait_for_edges "the dialog"
xdotool key --window "$window" q 2>/dev/null
for _ in $(seq 500); do "${tmux[@]}" capture-pane -p | grep -q 'exit status' && break; sleep 0.01; done
"${tmux[@]}" capture-pane -p | grep -q 'exit status 0' ||
  fail "the dialog: the run did not end with status 0: $("${tmux[@]}" capture-pane -p)"
# The terminal holds the dialog, on standard error, and nothing else.
unexpected=$("${tmux[@]}" capture-pane -p | grep -vE '^$|^Cameras found:$|^  [0-9]  |^Which camera\? |^Video formats of USB_Camera \(V4L2\) |^  [ *] +[0-9]+  |^Format\? |^exit status 0$')
[ -z "$unexpected" ] || fail "the dialog: the terminal shows lines it should not: $unexpected"
"${tmux[@]}" kill-server
echo "dialog: two cameras of three devices listed, the second picked and shown; exit 0"

# A camera that sends only JPEG: decoded on the way in, at its default 1280x720.
cameras "Logitech BRIO" "Logitech BRIO metadata"
start_viewer
wait_for_edges "MJPEG only"
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" -ge 1280 ] || fail "MJPEG only: the edge window is $WIDTH wide, not the frame's 1280"
end_with_key "MJPEG only"
expect_lines "MJPEG only"
echo "MJPEG only: edges at ${WIDTH}x$HEIGHT; exit 0 ${elapsed} ms after the key"

# A camera in use by another program: one clear line, and the key still ends the run.
cameras "VOLERS HD CAMERA busy"
start_viewer
wait_for_line "busy" 30
sleep 0.5
end_with_key "busy"
busy_line="edge-viewer: failed to start camera \"VOLERS HD CAMERA\": it is busy, probably in use by another program (device '/dev/video0' is busy)"
expect_lines "busy" "$busy_line"
echo "busy: exit 0 ${elapsed} ms after the key; said: $busy_line"

# Unplugged and plugged in again: other cameras coming and going change nothing; the camera in use
# gets its fault line, the picture stays, and capture resumes on its own when it is back.
unplugged="edge-viewer: failed to capture from camera \"VOLERS HD CAMERA\": it stopped delivering frames; was it unplugged? (could not read from resource)"
back="edge-viewer: camera \"VOLERS HD CAMERA\" is back"
cameras "VOLERS HD CAMERA" "USB_Camera (V4L2)"
start_viewer
wait_for_edges "replug"
control "remove USB_Camera (V4L2)"
sleep 1
edges_move || fail "replug: another camera's unplugging stopped the edges"
[ ! -s "$work/stderr" ] || fail "replug: another camera's unplugging was reported"
control "remove VOLERS HD CAMERA"
wait_for_line "unplugged" 30
sleep 0.5
edges_move && fail "replug: the edges still move with the camera unplugged"
kill -0 "$pid" 2>/dev/null || fail "replug: the viewer ended when the camera was unplugged"
xwininfo -id "$window" 2>/dev/null | grep -q IsViewable || fail "replug: the edge window closed"
control "add USB_Camera (V4L2)"
sleep 1
[ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "replug: another camera's return changed something"
added=$(date +%s%N)
control "add VOLERS HD CAMERA"
wait_for_line "is back" 30
replug_ms=$(( ($(date +%s%N) - added) / 1000000 ))
[ "$replug_ms" -lt 2000 ] || echo "replug: slow machine? $replug_ms ms from plugging in to the line"
for _ in $(seq 50); do edges_move && break; done
edges_move || fail "replug: the edges do not move again after the camera is back"
end_with_key "replug"
expect_lines "replug" "$unplugged" "$back"
echo "replug: resumed ${replug_ms} ms after plugging in; exit 0 ${elapsed} ms after the key"

# A preview the user closed stays closed when its camera comes back.
cameras "VOLERS HD CAMERA"
start_viewer
preview=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" --name '^VOLERS HD CAMERA$' | head -n 1)
[ -n "$preview" ] || fail "closed preview: no preview window"
wait_for_edges "closed preview"
"$close_window" "$preview"
for _ in $(seq 100); do xwininfo -id "$preview" 2>/dev/null | grep -q IsViewable || break; sleep 0.1; done
xwininfo -id "$preview" 2>/dev/null | grep -q IsViewable && fail "closed preview: the preview did not close"
control "remove VOLERS HD CAMERA"
wait_for_line "unplugged" 30
control "add VOLERS HD CAMERA"
wait_for_line "is back" 30
for _ in $(seq 50); do edges_move && break; done
edges_move || fail "closed preview: the edges do not move again after the camera is back"
sleep 0.5
xdotool search --all --onlyvisible --pid "$pid" --name '^VOLERS HD CAMERA$' >/dev/null &&
  fail "closed preview: the camera's return opened the preview the user had closed"
end_with_key "closed preview"
expect_lines "closed preview" "$unplugged" "$back"
echo "closed preview: stays closed when the camera is back"

# Unplugged for good: the key still ends the run at once.
cameras "VOLERS HD CAMERA"
start_viewer
wait_for_edges "unplugged for good"
control "remove VOLERS HD CAMERA"
wait_for_line "unplugged" 30
sleep 0.5
end_with_key "unplugged for good"
expect_lines "unplugged for good" "$unplugged"
echo "unplugged for good: exit 0 ${elapsed} ms after the key; said: $unplugged"
