#!/usr/bin/env bash
# The command line on cameras found through GStreamer's device monitor (the fake camera plugin with
# the caps of real webcams): --list-cameras lists them with their formats, --camera picks one by
# device path or name and --format one of its formats without a question, and what is not there,
# or names several cameras, ends with one line and status 2.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
# Usage: command_line_cameras_e2e.sh VIEWER FAKE_CAMERA_PLUGIN_DIR WEBCAMS_KEY_FILE
set -u
viewer=$1
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export GST_PLUGIN_PATH=$2
# A registry of its own, so that the user's does not change with each run.
export GST_REGISTRY=$work/registry.bin
export EDGE_VIEWER_FAKE_CAMERAS=$work/cameras.ini EDGE_VIEWER_FAKE_CAMERA_CONTROL=$work/control
mkfifo "$work/control"
fail() { echo "FAIL: $*" >&2; cat "$work/stderr" >&2 2>/dev/null; exit 1; }
for camera in "VOLERS HD CAMERA" "HD Webcam" "Logitech BRIO"; do
  awk -v group="[$camera]" '/^\[/ { on = ($0 == group) } on && !/^#/' "$3" >>"$work/cameras.ini"
done

run() { # expected status, then the arguments
  local expected=$1 status=0
  shift
  "$viewer" "$@" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$status" -eq "$expected" ] || fail "edge-viewer $*: status $status, not $expected"
}

run 0 --list-cameras
for line in "0  VOLERS HD CAMERA  /dev/video0" "1  HD Webcam  /dev/video6" \
  "2  Logitech BRIO  /dev/video4" "MJPG    320x176   30, 24, 20, 15, 10, 7.5, 5 frames/s"; do
  grep -qF -- "$line" "$work/stdout" || fail "--list-cameras lacks \"$line\": $(cat "$work/stdout")"
done
echo "--list-cameras: $(grep -c '^[0-9]' "$work/stdout") cameras, $(grep -c 'frames/s' "$work/stdout") formats"

run 2 --camera "hd" --format 640x480
[ "$(cat "$work/stderr")" = 'edge-viewer: failed to choose camera "hd": it names more than one (0 "VOLERS HD CAMERA" (/dev/video0), 1 "HD Webcam" (/dev/video6)); give an index or a device path' ] ||
  fail "an ambiguous name said: $(cat "$work/stderr")"
run 2 --camera /dev/video4 --format 800x600
[ "$(cat "$work/stderr")" = 'edge-viewer: failed to use format 800x600 of camera "Logitech BRIO": it does not offer that; the nearest offered are 1280x720@90:MJPG, 1280x720@60:MJPG, 1280x720@30:MJPG' ] ||
  fail "a format the BRIO lacks said: $(cat "$work/stderr")"
echo "an ambiguous name and a missing format: status 2, one line each"

# A size only the HD Webcam's JPEG formats have, picked by name, without a question.
"$viewer" --camera webcam --format 320x176@15 </dev/null >"$work/stdout" 2>"$work/stderr" &
pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^edge$' | head -n 1)
[ -n "$window" ] || fail "no visible window named \"edge\""
preview=$(timeout 30 xdotool search --sync --onlyvisible --name '^HD Webcam$' | head -n 1)
[ -n "$preview" ] || fail "no preview window named \"HD Webcam\""
xdotool windowmove "$preview" 0 600
for _ in $(seq 100); do
  import -window "$window" "$work/shot.png" 2>/dev/null
  box=$(convert "$work/shot.png" -crop "$(identify -format '%wx%[fx:h-96]+0+28' "$work/shot.png")" \
    +repage -negate -threshold 90% -format '%@' info:)
  [ "${box%%+*}" = 320x176 ] && break
  sleep 0.1
done
[ "${box%%+*}" = 320x176 ] || fail "--camera webcam --format 320x176@15 shows a ${box%%+*} picture"
xdotool key --window "$window" q 2>/dev/null
for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
wait "$pid"
status=$?
pid=
[ "$status" -eq 0 ] && [ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] ||
  fail "the run ended with status $status, printing: $(cat "$work/stdout" "$work/stderr")"
echo "--camera webcam --format 320x176@15: a ${box%%+*} picture, no question, exit 0"
