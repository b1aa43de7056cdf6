#!/usr/bin/env bash
# The real viewer on a real PipeWire camera: a PipeWire daemon with WirePlumber, started here in a
# scratch runtime directory, serves a camera node made from PipeWire's own test source (SMPTE bars
# over a strip of moving snow, RGB or UYVY at any size). Checked as a user on such a desktop meets
# it: the camera listed and shown upright with its preview in each pixel format, unplugged and
# plugged in again, picked in the camera dialog, twenty runs ended by a key (some with the camera
# unplugged at that moment), the same camera offered by PipeWire and by V4L2 listed once and opened
# through PipeWire, and V4L2 used when PipeWire cannot start it.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool, ImageMagick, tmux, and
# pipewire, wireplumber, dbus-daemon and gstreamer1.0-pipewire (scripts/setup.sh installs them).
# Usage: pipewire_e2e.sh VIEWER FAKE_CAMERA_PLUGIN_DIR CLOSE_WINDOW_TOOL
set -u
viewer=$1
close_window=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pid=
tmux=(tmux -L "pipewire-$$")
# shellcheck source=../pipewire/pipewire_session.sh
source "$here/../pipewire/pipewire_session.sh"
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  "${tmux[@]}" kill-server 2>/dev/null
  pipewire_session_stop
  rm -rf "$work"
}
trap cleanup EXIT
# The fake camera plugin stands in for a V4L2 camera beside PipeWire's; a registry of its own, so
# that the user's does not change with each run.
export GST_PLUGIN_PATH=$2 GST_REGISTRY=$work/registry.bin
export EDGE_VIEWER_FAKE_CAMERAS=$work/cameras.ini
: >"$work/cameras.ini"
fail() {
  echo "FAIL: $*" >&2
  # The screenshots stay for a look at what was shown.
  [ -n "${EDGE_VIEWER_KEEP_SHOTS:-}" ] && cp "$work"/*.png "$EDGE_VIEWER_KEEP_SHOTS" 2>/dev/null
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}

pipewire_session_start || exit 1
pipewire_camera_add cam0 "Test Camera" || exit 1

# The windows of viewer process pid: "edge" and the camera's preview, moved off the edge window.
# The preview opens with the first frame; with no_preview set, it is not waited for.
find_windows() { # what
  window=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" --name '^edge$' | head -n 1)
  [ -n "$window" ] || fail "$1: no visible window named \"edge\""
  [ -n "${no_preview:-}" ] && return 0
  preview=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$pid" --name '^Test Camera$' | head -n 1)
  [ -n "$preview" ] || fail "$1: no preview window named \"Test Camera\""
  xdotool windowmove "$preview" 1510 0
}

start_viewer() { # arguments
  "$viewer" "$@" </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  find_windows "edge-viewer $*"
}

# The edge picture's rectangle in a screenshot of "edge": the black area between the tool bar (28
# pixels) and the sliders below it. Sets shot, top, bottom, left and right.
picture() {
  local box size
  shot=$work/$1.png
  import -window "$window" "$shot" 2>/dev/null
  box=$(convert "$shot" -crop "$(identify -format '%wx%[fx:h-96]+0+28' "$shot")" +repage \
    -negate -threshold 90% -format '%@' info:)
  size=${box%%+*}
  left=$(echo "$box" | cut -d+ -f2)
  top=$(($(echo "$box" | cut -d+ -f3) + 28))
  right=$((left + ${size%x*} - 1))
  bottom=$((top + ${size#*x} - 1))
}

# Edges shown upright at the expected size: the bars' long horizontal edges lie in the lower half
# of the picture, where the camera has them (bars above, the strips and the snow below). A picture
# upside down has them in the upper half. Waits for the window to take the picture's size.
wait_for_upright_edges() { # what, expected size WxH
  local rows row why=
  for _ in $(seq 150); do
    picture edges
    why="the picture is $((right - left + 1))x$((bottom - top + 1))"
    if [ "$((right - left + 1))x$((bottom - top + 1))" = "$2" ]; then
      # Rows whose white pixels span at least a third of the picture's width.
      rows=$(convert "$shot" -crop "$((right - left + 1))x$((bottom - top + 1))+$left+$top" \
        +repage -colorspace gray -threshold 99% -filter box -resize "1x$((bottom - top + 1))!" \
        -depth 16 txt:- | awk -F'[,: ()]+' 'NR > 1 && $4 > 65535 / 3 { print $2 }')
      why="no long edge in the picture"
      for row in $rows; do
        why=
        [ $((row * 2)) -gt $((bottom - top)) ] ||
          fail "$1: a long edge at row $row of $((bottom - top + 1)): the picture is upside down"
      done
      [ -z "$why" ] && return 0
    fi
    sleep 0.1
  done
  fail "$1: no upright edges at $2: $why"
}

# Whether the edge picture changes within a second: the camera's snow moves.
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

# A key, or with "close" closing "edge", ends the run at once with status 0 and nothing on stdout.
# Sets elapsed.
end_with_key() { # what [close]
  local start status
  kill -0 "$pid" 2>/dev/null || fail "$1: the viewer ended on its own"
  start=$(date +%s%N)
  if [ "${2:-}" = close ]; then
    "$close_window" "$window"
  else
    xdotool key --window "$window" q 2>/dev/null
  fi
  for _ in $(seq 1000); do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
  wait "$pid"
  status=$?
  pid=
  elapsed=$((($(date +%s%N) - start) / 1000000))
  [ "$status" -eq 0 ] || fail "$1: exit status $status"
  # A hang, not a slow machine: the exit takes well under a second, more under the sanitizers.
  [ "$elapsed" -lt 10000 ] || fail "$1: took $elapsed ms to exit after the key"
  [ ! -s "$work/stdout" ] || fail "$1: printed on stdout: $(cat "$work/stdout")"
}

expect_lines() { # what, the lines expected
  local what=$1
  shift
  [ "$(cat "$work/stderr")" = "$(printf '%s\n' "$@")" ] ||
    fail "$what: expected the lines \"$*\", got: $(cat "$work/stderr")"
}

# Listed as PipeWire offers it: a node, no device path, its two pixel formats.
"$viewer" --list-cameras </dev/null >"$work/stdout" 2>"$work/stderr" || fail "--list-cameras failed"
grep -qE '^0  Test Camera  \(no device node\)$' "$work/stdout" &&
  grep -qE ' RGB +640x480 ' "$work/stdout" && grep -qE ' UYVY +640x480 ' "$work/stdout" ||
  fail "--list-cameras: $(cat "$work/stdout")"
expect_lines "--list-cameras"
echo "listed: Test Camera, $(grep -c 'frames/s' "$work/stdout") formats"

# Its default format and two others, one in each pixel format: edges upright at the frame's size,
# the preview beside them.
for format in "" 320x240:UYVY 800x600:RGB; do
  what="format ${format:-default}"
  start_viewer --camera "Test Camera" ${format:+--format "$format"}
  size=${format%%:*}
  wait_for_upright_edges "$what" "${size:=640x480}"
  # The bars are saturated colours; the window around them is grey, and an empty picture black.
  import -window "$preview" "$work/preview.png" 2>/dev/null
  colours=$(convert "$work/preview.png" -colorspace HSL -channel G -separate -threshold 50% \
    -format '%[fx:round(100*mean)]' info:)
  [ "$colours" -ge 10 ] || fail "$what: the preview is $colours % in colour, not the bars"
  edges_move || fail "$what: the edges do not move"
  end_with_key "$what"
  expect_lines "$what"
  echo "$what: upright edges at $size, preview $colours % in colour; exit 0 $elapsed ms after the key"
done

# Unplugged and plugged in again: a line for each, and the picture moves again.
start_viewer --camera "Test Camera"
wait_for_upright_edges "replug" 640x480
pipewire_camera_remove cam0 || exit 1
gone="edge-viewer: failed to capture from camera \"Test Camera\": it has sent no frame for 3 seconds"
wait_for_line "$gone" 30
edges_move && fail "replug: the edges still move with the camera unplugged"
pipewire_camera_add cam0 "Test Camera" || exit 1
wait_for_line "edge-viewer: camera \"Test Camera\" is back" 30
for _ in $(seq 50); do edges_move && break; done
edges_move || fail "replug: the edges do not move again after the camera is back"
end_with_key "replug"
expect_lines "replug" "$gone" "edge-viewer: camera \"Test Camera\" is back"
echo "replug: gone and back, moving again; exit 0 $elapsed ms after the key"

# Twenty runs in a row, each ended by a key; every fourth with the camera unplugged just before.
# Then two more, ended by closing "edge", one of them with the camera unplugged.
for run in $(seq 22); do
  start_viewer --camera "Test Camera"
  sleep 0.5
  unplugged=
  if [ $((run % 4)) -eq 0 ]; then
    pipewire_camera_remove cam0 || exit 1
    unplugged=" (camera unplugged)"
  fi
  end_with_key "run $run$unplugged" "$([ "$run" -gt 20 ] && echo close)"
  expect_lines "run $run$unplugged"
  [ -n "$unplugged" ] && { pipewire_camera_add cam0 "Test Camera" || exit 1; }
  runs="${runs:-}$elapsed "
done
echo "20 runs ended by a key and 2 by closing \"edge\", every fourth with the camera unplugged: status 0, nothing said; ms to exit: $runs"

# The camera dialog on a terminal: two PipeWire cameras, the second picked, then its format page.
pipewire_camera_add cam1 "Second Camera" || exit 1
"${tmux[@]}" new-session -d -x 160 -y 50 -e DISPLAY="$DISPLAY" \
  "$viewer 2>&1; echo \"exit status \$?\"; sleep 600"
for _ in $(seq 600); do "${tmux[@]}" capture-pane -p | grep -q 'Which camera?' && break; sleep 0.05; done
listed=$("${tmux[@]}" capture-pane -p | grep -E '^  [0-9]  ')
printf '%s\n' "$listed" | grep -qE '^  [0-9]  Test Camera' &&
  printf '%s\n' "$listed" | grep -qE '^  [0-9]  Second Camera' ||
  fail "the dialog does not list both PipeWire cameras: $listed"
pick=$(printf '%s\n' "$listed" | grep -E '^  [0-9]  Test Camera' | awk '{ print $1 }')
"${tmux[@]}" send-keys "$pick" Enter
for _ in $(seq 600); do "${tmux[@]}" capture-pane -p | grep -q 'Format?' && break; sleep 0.05; done
"${tmux[@]}" send-keys Enter
for _ in $(seq 300); do pid=$(pgrep -nf "^$viewer\$") && break; sleep 0.1; done
[ -n "$pid" ] || fail "the dialog: the viewer did not start"
find_windows "the dialog"
wait_for_upright_edges "the dialog" 640x480
xdotool key --window "$window" q 2>/dev/null
for _ in $(seq 1000); do "${tmux[@]}" capture-pane -p | grep -q 'exit status' && break; sleep 0.01; done
"${tmux[@]}" capture-pane -p | grep -q 'exit status 0' ||
  fail "the dialog: the run did not end with status 0: $("${tmux[@]}" capture-pane -p)"
pid=
"${tmux[@]}" kill-server
pipewire_camera_remove cam1 || exit 1
echo "dialog: two PipeWire cameras listed, Test Camera picked and shown; exit 0"

# The same camera offered twice: by PipeWire, whose node says where its V4L2 node is, and by a
# V4L2 provider (the fake, busy, so that opening it instead would say so). Listed once; opened
# through PipeWire.
pipewire_camera_remove cam0 || exit 1
pipewire_camera_add cam0 "Test Camera" api.v4l2.path=/dev/video9 || exit 1
cat >"$work/cameras.ini" <<'EOF'
[Test Camera]
caps=video/x-raw, format=RGB, width=640, height=480, framerate=30/1; video/x-raw, format=UYVY, width=640, height=480, framerate=30/1
properties=v4l2deviceprovider, device.path=/dev/video9, device.api=v4l2
busy=true
EOF
"$viewer" --list-cameras </dev/null >"$work/stdout" 2>"$work/stderr" || fail "--list-cameras failed"
[ "$(grep -cE '^[0-9]  ' "$work/stdout")" -eq 1 ] && grep -qE '^0  Test Camera  /dev/video9$' "$work/stdout" ||
  fail "offered twice: --list-cameras lists $(grep -E '^[0-9]  ' "$work/stdout")"
start_viewer --camera /dev/video9
wait_for_upright_edges "offered twice" 640x480
sleep 0.5
end_with_key "offered twice"
expect_lines "offered twice"
echo "offered twice: listed once as /dev/video9, opened through PipeWire"

# Without the session manager nothing links the camera's stream, and pipewiresrc waits for it for
# 30 s in its state change. The window answers at once, the camera says within 5 s that it does not
# start, and a key still ends the run at once.
kill "${pipewire_session_pids[2]}"
wait "${pipewire_session_pids[2]}" 2>/dev/null
: >"$work/cameras.ini"
started=$(date +%s%N)
no_preview=1 start_viewer --camera "Test Camera"
stalled="edge-viewer: failed to start camera \"Test Camera\": it has sent no frame for 3 seconds"
wait_for_line "$stalled" 30
said_ms=$((($(date +%s%N) - started) / 1000000))
[ "$said_ms" -le 5000 ] || echo "no session manager: slow machine? the line came after $said_ms ms"
end_with_key "no session manager"
expect_lines "no session manager" "$stalled"
echo "no session manager: said so after $said_ms ms; exit 0 $elapsed ms after the key"

# PipeWire cannot start it, but its V4L2 node can: after the stall it is opened that way.
cat >"$work/cameras.ini" <<'EOF'
[Test Camera]
caps=video/x-raw, format=RGB, width=640, height=480, framerate=30/1; video/x-raw, format=UYVY, width=640, height=480, framerate=30/1
properties=v4l2deviceprovider, device.path=/dev/video9, device.api=v4l2
EOF
start_viewer --camera /dev/video9
fallback="edge-viewer: trying camera \"Test Camera\" through /dev/video9 instead"
wait_for_line "$fallback" 30
wait_for_upright_edges "fallback" 640x480
edges_move || fail "fallback: the edges do not move"
end_with_key "fallback"
expect_lines "fallback" "$stalled" "$fallback"
echo "fallback: PipeWire stalled, V4L2 node used; exit 0 $elapsed ms after the key"
