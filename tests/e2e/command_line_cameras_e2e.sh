#!/usr/bin/env bash
# The command line on cameras found through GStreamer's device monitor (the fake camera plugin with
# the caps of real webcams): --list-cameras lists them with their formats, --camera picks one by
# device path or name and --format one of its formats without a question, and what is not there,
# or names several cameras, ends with one line and status 2.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
# Usage: command_line_cameras_e2e.sh VIEWER FAKE_CAMERA_PLUGIN_DIR WEBCAMS_KEY_FILE
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init
e2e_use_fake_cameras "$2" "$3"
e2e_fake_cameras "VOLERS HD CAMERA" "HD Webcam" "Logitech BRIO"

e2e_run 0 --list-cameras
for line in "0  VOLERS HD CAMERA  /dev/video0" "1  HD Webcam  /dev/video6" \
  "2  Logitech BRIO  /dev/video4" "MJPG    320x176   30, 24, 20, 15, 10, 7.5, 5 frames/s"; do
  grep -qF -- "$line" "$work/stdout" || fail "--list-cameras lacks \"$line\": $(cat "$work/stdout")"
done
echo "--list-cameras: $(grep -c '^[0-9]' "$work/stdout") cameras, $(grep -c 'frames/s' "$work/stdout") formats"

e2e_run 2 --camera "hd" --format 640x480
e2e_expect_lines 'edge-viewer: failed to choose camera "hd": it names more than one (0 "VOLERS HD CAMERA" (/dev/video0), 1 "HD Webcam" (/dev/video6)); give an index or a device path'
e2e_run 2 --camera /dev/video4 --format 800x600
e2e_expect_lines 'edge-viewer: failed to use format 800x600 of camera "Logitech BRIO": it does not offer that; the nearest offered are 1280x720@90:MJPG, 1280x720@60:MJPG, 1280x720@30:MJPG'
echo "an ambiguous name and a missing format: status 2, one line each"

# A size only the HD Webcam's JPEG formats have, picked by name, without a question.
e2e_case="--camera webcam --format 320x176@15"
e2e_start --camera webcam --format 320x176@15
e2e_await_preview "HD Webcam"
picture_size() {
  e2e_shot shot || return 1
  box=$(e2e_picture_box "$work/shot.png")
  e2e_why="a ${box%%+*} picture"
  [ "${box%%+*}" = 320x176 ]
}
e2e_wait 20 "320x176 picture" picture_size
e2e_end
e2e_expect_lines
echo "$e2e_case: a ${box%%+*} picture, no question, exit 0"
