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
# shellcheck source=e2e_lib.sh
source "$here/e2e_lib.sh"
# shellcheck source=../pipewire/pipewire_session.sh
source "$here/../pipewire/pipewire_session.sh"
e2e_init
e2e_cleanup() {
  [ "$e2e_status" -eq 0 ] || pipewire_session_logs
  pipewire_session_stop
}
# The fake camera plugin stands in for a V4L2 camera beside PipeWire's.
e2e_use_fake_cameras "$2"

pipewire_session_start || exit 1
pipewire_camera_add cam0 "Test Camera" || exit 1

# The preview opens with the first frame: it is waited for unless no_preview is set.
start() { # the viewer's arguments
  e2e_start "$@"
  [ -n "${no_preview:-}" ] || e2e_await_preview "Test Camera" 1510 0
}

# The edge picture's rectangle in a new screenshot of "edge". Sets shot, top, bottom, left and
# right.
picture() { # name
  shot=$work/$1.png
  e2e_shot "$1" || return 1
  [[ $(e2e_picture_box "$shot") =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
  left=${BASH_REMATCH[3]}
  top=$((BASH_REMATCH[4] + 28))
  right=$((left + BASH_REMATCH[1] - 1))
  bottom=$((top + BASH_REMATCH[2] - 1))
}

# Edges shown upright at the expected size: the bars' long horizontal edges lie in the lower half
# of the picture, where the camera has them (bars above, the strips and the snow below). A picture
# upside down has them in the upper half. Waits for the window to take the picture's size.
upright_edges() { # expected size WxH
  local rows row
  e2e_why="no picture in \"edge\""
  picture edges || return 1
  e2e_why="the picture is $((right - left + 1))x$((bottom - top + 1))"
  [ "$((right - left + 1))x$((bottom - top + 1))" = "$1" ] || return 1
  # Rows whose white pixels span at least a third of the picture's width.
  rows=$(convert "$shot" -crop "$((right - left + 1))x$((bottom - top + 1))+$left+$top" \
    +repage -colorspace gray -threshold 99% -filter box -resize "1x$((bottom - top + 1))!" \
    -depth 16 txt:- | awk -F'[,: ()]+' 'NR > 1 && $4 > 65535 / 3 { print $2 }')
  e2e_why="no long edge in the picture"
  [ -n "$rows" ] || return 1
  for row in $rows; do
    [ $((row * 2)) -gt $((bottom - top)) ] ||
      fail "a long edge at row $row of $((bottom - top + 1)): the picture is upside down"
  done
}
wait_for_upright_edges() { # expected size WxH
  e2e_wait 20 "upright edges at $1" upright_edges "$1"
}

# The fake V4L2 provider's one camera: the same as PipeWire's, at the V4L2 node PipeWire names;
# busy or not.
v4l2_twin() { # [busy]
  cat >"$work/cameras.ini" <<'EOF'
[Test Camera]
caps=video/x-raw, format=RGB, width=640, height=480, framerate=30/1; video/x-raw, format=UYVY, width=640, height=480, framerate=30/1
properties=v4l2deviceprovider, device.path=/dev/video9, device.api=v4l2
EOF
  [ -z "${1:-}" ] || echo "busy=true" >>"$work/cameras.ini"
}

# Listed as PipeWire offers it: a node, no device path, its two pixel formats.
e2e_case="--list-cameras"
e2e_run 0 --list-cameras
grep -qE '^0  Test Camera  \(no device node\)$' "$work/stdout" &&
  grep -qE ' RGB +640x480 ' "$work/stdout" && grep -qE ' UYVY +640x480 ' "$work/stdout" ||
  fail "it printed: $(cat "$work/stdout")"
[ ! -s "$work/stderr" ] || fail "it said: $(cat "$work/stderr")"
echo "listed: Test Camera, $(grep -c 'frames/s' "$work/stdout") formats"

# Its default format and two others, one in each pixel format: edges upright at the frame's size,
# the preview beside them.
for format in "" 320x240:UYVY 800x600:RGB; do
  e2e_case="format ${format:-default}"
  start --camera "Test Camera" ${format:+--format "$format"}
  size=${format%%:*}
  wait_for_upright_edges "${size:=640x480}"
  # The bars are saturated colours; the window around them is grey, and an empty picture black.
  e2e_shot preview "$preview"
  colours=$(convert "$work/preview.png" -colorspace HSL -channel G -separate -threshold 50% \
    -format '%[fx:round(100*mean)]' info:)
  [ "${colours:-0}" -ge 10 ] || fail "the preview is ${colours:-no} % in colour, not the bars"
  e2e_wait 10 "moving edges" e2e_edges_move
  e2e_end
  e2e_expect_lines
  echo "$e2e_case: upright edges at $size, preview $colours % in colour; exit 0 $elapsed ms after the key"
done

# Unplugged and plugged in again: a line for each, and the picture moves again.
e2e_case="replug"
start --camera "Test Camera"
wait_for_upright_edges 640x480
pipewire_camera_remove cam0 || exit 1
gone="edge-viewer: failed to capture from camera \"Test Camera\": it has sent no frame for 3 seconds"
back="edge-viewer: camera \"Test Camera\" is back"
e2e_wait_for_line "$gone"
e2e_edges_move && fail "the edges still move with the camera unplugged"
pipewire_camera_add cam0 "Test Camera" || exit 1
e2e_wait_for_line "$back"
e2e_wait 20 "moving edges after the camera is back" e2e_edges_move
e2e_end
e2e_expect_lines "$gone" "$back"
echo "replug: gone and back, moving again; exit 0 $elapsed ms after the key"

# Twenty runs in a row, each ended by a key; every fourth with the camera unplugged just before.
# Then two more, ended by closing "edge", one of them with the camera unplugged.
runs=
for run in $(seq 22); do
  start --camera "Test Camera"
  sleep 0.5
  unplugged=
  if [ $((run % 4)) -eq 0 ]; then
    pipewire_camera_remove cam0 || exit 1
    unplugged=" (camera unplugged)"
  fi
  e2e_case="run $run$unplugged"
  if [ "$run" -gt 20 ]; then
    e2e_end "closing \"edge\"" "$close_window" "$window"
  else
    e2e_end
  fi
  e2e_expect_lines
  [ -n "$unplugged" ] && { pipewire_camera_add cam0 "Test Camera" || exit 1; }
  runs="$runs$elapsed "
done
echo "20 runs ended by a key and 2 by closing \"edge\", every fourth with the camera unplugged: status 0, nothing said; ms to exit: $runs"

# The camera dialog on a terminal: two PipeWire cameras, the second picked, then its format page.
e2e_case="the dialog"
pipewire_camera_add cam1 "Second Camera" || exit 1
e2e_terminal_start
e2e_terminal_wait 'Which camera?'
listed=$(e2e_terminal capture-pane -p | grep -E '^  [0-9]  ')
printf '%s\n' "$listed" | grep -qE '^  [0-9]  Test Camera' &&
  printf '%s\n' "$listed" | grep -qE '^  [0-9]  Second Camera' ||
  fail "the dialog does not list both PipeWire cameras: $listed"
pick=$(printf '%s\n' "$listed" | grep -E '^  [0-9]  Test Camera' | awk '{ print $1 }')
e2e_terminal send-keys "$pick" Enter
e2e_terminal_wait 'Format?'
e2e_terminal send-keys Enter
e2e_terminal_windows
e2e_await_preview "Test Camera" 1510 0
wait_for_upright_edges 640x480
e2e_terminal_end
e2e_terminal kill-server
pipewire_camera_remove cam1 || exit 1
echo "dialog: two PipeWire cameras listed, Test Camera picked and shown; exit 0"

# The same camera offered twice: by PipeWire, whose node says where its V4L2 node is, and by a
# V4L2 provider (the fake, busy, so that opening it instead would say so). Listed once; opened
# through PipeWire.
e2e_case="offered twice"
pipewire_camera_remove cam0 || exit 1
pipewire_camera_add cam0 "Test Camera" api.v4l2.path=/dev/video9 || exit 1
v4l2_twin busy
e2e_run 0 --list-cameras
[ "$(grep -cE '^[0-9]  ' "$work/stdout")" -eq 1 ] && grep -qE '^0  Test Camera  /dev/video9$' "$work/stdout" ||
  fail "--list-cameras lists $(grep -E '^[0-9]  ' "$work/stdout")"
start --camera /dev/video9
wait_for_upright_edges 640x480
sleep 0.5
e2e_end
e2e_expect_lines
echo "offered twice: listed once as /dev/video9, opened through PipeWire"

# Without the session manager nothing links the camera's stream, and pipewiresrc waits for it for
# 30 s in its state change. The window answers at once, the camera says within 5 s that it does not
# start, and a key still ends the run at once.
e2e_case="no session manager"
kill "${pipewire_session_pids[2]}"
wait "${pipewire_session_pids[2]}" 2>/dev/null
: >"$work/cameras.ini"
e2e_clock
started=$e2e_ms
no_preview=1 start --camera "Test Camera"
stalled="edge-viewer: failed to start camera \"Test Camera\": it has sent no frame for 3 seconds"
e2e_wait_for_line "$stalled"
e2e_clock
said_ms=$((e2e_ms - started))
[ "$said_ms" -le 5000 ] || echo "no session manager: slow machine? the line came after $said_ms ms"
e2e_end
e2e_expect_lines "$stalled"
echo "no session manager: said so after $said_ms ms; exit 0 $elapsed ms after the key"

# PipeWire cannot start it, but its V4L2 node can: after the stall it is opened that way.
e2e_case="fallback"
v4l2_twin
start --camera /dev/video9
fallback="edge-viewer: trying camera \"Test Camera\" through /dev/video9 instead"
e2e_wait_for_line "$fallback"
wait_for_upright_edges 640x480
e2e_wait 10 "moving edges" e2e_edges_move
e2e_end
e2e_expect_lines "$stalled" "$fallback"
echo "fallback: PipeWire stalled, V4L2 node used; exit 0 $elapsed ms after the key"
