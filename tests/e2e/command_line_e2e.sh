#!/usr/bin/env bash
# The real program's command line as a user meets it: --help, --version and --list-cameras print
# and exit without a display; bad options and what is not there give one line (and the hint to
# --help for a bad option) with status 2; a source that cannot be opened gives one line with
# status 1. None of them opens a window: they run without a display, where a window would end the
# run with status 1 and the no-display line instead. Then, on a virtual display, the test pattern
# at a chosen format shows a 320x240 edge picture, and a clip made here with GStreamer shows moving
# edges for several times its length; an unreachable stream is reported as a camera fault.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool, ImageMagick and gst-launch-1.0.
# Usage: command_line_e2e.sh VIEWER
set -u
viewer=$1
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }

headless() { # expected status, then the arguments; leaves stdout and stderr in $work
  local expected=$1 status
  shift
  (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY "$viewer" "$@" </dev/null >"$work/stdout" 2>"$work/stderr")
  status=$?
  [ "$status" -eq "$expected" ] || fail "edge-viewer $*: status $status, not $expected"
}

headless 0 --help
[ ! -s "$work/stderr" ] || fail "--help wrote to stderr"
for text in "Usage:" "--camera=WHICH" "--format=WxH[@FPS][:FOURCC]" "--source=URI|PATH" \
  "--thresholds=T1,T2" "--test-pattern" "--list-cameras" "--version" "Exit status:"; do
  grep -qF -- "$text" "$work/stdout" || fail "--help does not mention $text"
done
headless 0 -h
# Help that could not be written is no success.
status=0
env -u DISPLAY "$viewer" --help >/dev/full 2>"$work/stderr" || status=$?
[ "$status" -eq 1 ] && grep -q '^edge-viewer: failed to write to standard output' "$work/stderr" ||
  fail "--help to a full disk: status $status, said: $(cat "$work/stderr")"
headless 0 --version
grep -qxE 'edge-viewer [0-9]+\.[0-9]+\.[0-9]+' "$work/stdout" || fail "--version printed: $(cat "$work/stdout")"
echo "--help, --version: status 0 without a display; $(cat "$work/stdout")"

headless 0 --list-cameras
# One block per camera, the formats under it as the format page lists them.
head -n 1 "$work/stdout" | grep -qE '^0  ' || fail "--list-cameras does not start with camera 0: $(cat "$work/stdout")"
grep -qE '^ +[0-9]+  [A-Za-z0-9]+ +[0-9]+x[0-9]+ ' "$work/stdout" || fail "--list-cameras lists no format"
echo "--list-cameras: status 0 without a display, $(grep -c '^[0-9]' "$work/stdout") camera(s)"

# The bash completion the package installs: options, files for --source, the formats the camera
# list offers for --format.
completion=$(dirname "$0")/../../packaging/edge-viewer.bash-completion
completed() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _edge_viewer
    echo "${COMPREPLY[*]}"' - "$completion" "$@"
}
touch "$work/clip.avi"
[ "$(completed edge-viewer --te)" = --test-pattern ] || fail "completion of --te: $(completed edge-viewer --te)"
[ "$(completed edge-viewer -s "$work/cl")" = "$work/clip.avi" ] || fail "completion of -s: $(completed edge-viewer -s "$work/cl")"
# Without a camera here, the test pattern's formats; with one, at least some format.
[ -n "$(PATH=$(dirname "$viewer"):$PATH completed edge-viewer --format '')" ] ||
  fail "completion of --format offers nothing"
rm "$work/clip.avi"
echo "bash completion: --te to --test-pattern; --format offers $(PATH=$(dirname "$viewer"):$PATH completed edge-viewer --format '' | wc -w) formats"

# A bad option: what is wrong, then the hint, and nothing on stdout.
for arguments in "--bogus" "-c" "-t 300,1" "-f 640" "stray" "--test-pattern -c 0"; do
  # shellcheck disable=SC2086
  headless 2 $arguments
  [ "$(wc -l <"$work/stderr")" -eq 2 ] && grep -q '^edge-viewer: ' "$work/stderr" &&
    [ "$(tail -n 1 "$work/stderr")" = "Try 'edge-viewer --help'." ] && [ ! -s "$work/stdout" ] ||
    fail "edge-viewer $arguments said: $(cat "$work/stdout" "$work/stderr")"
  echo "$arguments: status 2: $(head -n 1 "$work/stderr")"
done

one_line() { # what the line must start with
  [ "$(wc -l <"$work/stderr")" -eq 1 ] && [ ! -s "$work/stdout" ] && grep -qF -- "$1" "$work/stderr" ||
    fail "expected one line with \"$1\", got: $(cat "$work/stdout" "$work/stderr")"
}
headless 2 --camera 9999
one_line 'edge-viewer: failed to find camera "9999": '
headless 2 --test-pattern --format 800x600
one_line 'edge-viewer: failed to use format 800x600 of camera "Test pattern": it does not offer that; the nearest offered are 640x480@30:YUY2'
headless 1 --source missing.avi
one_line 'edge-viewer: failed to open "missing.avi": no such file or directory'
echo "a camera, a format and a file that are not there: $(cat "$work/stderr")"

# The clip: a ball moving over black, 2 seconds at 15 frames/s, JPEG in AVI.
clip=$work/ball.avi
gst-launch-1.0 -q videotestsrc pattern=ball num-buffers=30 \
  ! video/x-raw,width=320,height=240,framerate=15/1 ! jpegenc ! avimux ! filesink location="$clip" ||
  fail "gst-launch-1.0 could not make the clip"

start_viewer() { # preview window title (or empty when it cannot show), then the arguments
  local title=$1
  shift
  "$viewer" "$@" </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^edge$' | head -n 1)
  [ -n "$window" ] || fail "edge-viewer $*: no visible window named \"edge\""
  # The preview shows with the first frame, which a source that fails never sends.
  [ -n "$title" ] || return
  preview=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$preview" ] || fail "edge-viewer $*: no preview window named \"$title\""
  # No window manager places the windows: move the preview from over "edge".
  xdotool windowmove "$preview" 0 600
}

end_viewer() { # what the run may have printed
  local status
  xdotool key --window "$window" q 2>/dev/null
  for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
  wait "$pid"
  status=$?
  pid=
  [ "$status" -eq 0 ] || fail "exit status $status after the key"
  [ ! -s "$work/stdout" ] && [ "$(cat "$work/stderr")" = "$1" ] ||
    fail "the run printed: $(cat "$work/stdout" "$work/stderr")"
}

# The picture, black with white edges, lies under the tool bar (28 rows) and above the sliders
# (68 rows); its black pixels' bounding box is its size.
picture() { # the screenshot's part between tool bar and sliders, then what to do with it
  local shot=$work/$1.png
  shift
  convert "$shot" -crop "$(identify -format '%wx%[fx:h-96]+0+28' "$shot")" +repage "$@"
}
picture_box() {
  import -window "$window" "$work/$1.png" 2>/dev/null
  picture "$1" -negate -threshold 90% -format '%@' info:
}
edge_pixels() {
  picture "$1" -threshold 99% -format '%[fx:round(mean*w*h)]' info:
}

start_viewer "Test pattern" --test-pattern --format 320x240@15
for _ in $(seq 100); do
  box=$(picture_box pattern)
  [ "${box%%+*}" = 320x240 ] && [ "$(edge_pixels pattern)" -gt 500 ] && break
  sleep 0.1
done
[ "${box%%+*}" = 320x240 ] || fail "--test-pattern --format 320x240@15 shows a ${box%%+*} picture"
[ "$(edge_pixels pattern)" -gt 500 ] || fail "the 320x240 picture shows no edges"
end_viewer ""
echo "--test-pattern --format 320x240@15: a ${box%%+*} picture with $(edge_pixels pattern) edge pixels"

start_viewer ball.avi --source "$clip"
for _ in $(seq 100); do
  picture_box first >/dev/null
  [ "$(edge_pixels first)" -gt 50 ] && break
  sleep 0.1
done
[ "$(edge_pixels first)" -gt 50 ] || fail "--source shows no edges"
# Three times the clip's length: the ball keeps moving, and the end is no fault.
changes=0
looks=0
started=$(date +%s)
while [ $(( $(date +%s) - started )) -lt 6 ]; do
  sleep 0.5
  picture_box later >/dev/null
  looks=$((looks + 1))
  [ "$(compare -metric AE "$work/first.png" "$work/later.png" null: 2>&1)" -gt 0 ] && changes=$((changes + 1))
  mv "$work/later.png" "$work/first.png"
done
kill -0 "$pid" 2>/dev/null || fail "the viewer ended with the clip"
# A look may fall on the moment the clip starts again.
[ "$changes" -ge $((looks - 1)) ] && [ "$changes" -ge 3 ] ||
  fail "the edges moved between only $changes of $looks looks"
picture_box last >/dev/null
[ "$(edge_pixels last)" -gt 50 ] || fail "after three times the clip's length the picture shows no edges"
end_viewer ""
echo "--source: edges moved between $changes of $looks looks over 6 s of a 2 s clip; $(edge_pixels last) edge pixels at the end"

# A network source that fails once running is reported like a camera fault, in its own words: one
# line, the window stays.
start_viewer "" --source "http://127.0.0.1:1/clip.avi"
for _ in $(seq 300); do [ -s "$work/stderr" ] && break; sleep 0.05; done
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "an unreachable stream ended the run"
line=$(cat "$work/stderr")
[ "$(wc -l <"$work/stderr")" -eq 1 ] && [[ $line == 'edge-viewer: failed to open "http://127.0.0.1:1/clip.avi": '* ]] ||
  fail "an unreachable stream said: $line"
end_viewer "$line"
echo "an unreachable stream: $line; exit 0 on a key"
