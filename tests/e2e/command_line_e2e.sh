#!/usr/bin/env bash
# The real program's command line as a user meets it, beyond the parser's table that
# tests/command_line_test.cpp holds: --help, --version and --list-cameras print on stdout and exit
# without a display, and help that cannot be written is a failure; a bad option ends with its line,
# the hint to --help and status 2; a camera or a format that is not there ends with one line and
# status 2, a source that cannot be opened with one line and status 1. None of them opens a
# window: they run without a display, where a window would end the run with status 1 and the
# no-display line instead. The bash completion the package installs completes options, files and
# formats. Then, on a virtual display, the test pattern at a chosen format shows a 320x240 edge
# picture, and a clip made here with GStreamer shows moving edges for several times its length;
# an unreachable stream is reported as a camera fault.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool, ImageMagick and gst-launch-1.0.
# Usage: command_line_e2e.sh VIEWER
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init

e2e_run --headless 0 --help
[ ! -s "$work/stderr" ] && grep -q '^Usage:' "$work/stdout" ||
  fail "--help printed: $(cat "$work/stdout" "$work/stderr")"
# Help that could not be written is no success.
status=0
env -u DISPLAY "$viewer" --help >/dev/full 2>"$work/stderr" || status=$?
[ "$status" -eq 1 ] && grep -q '^edge-viewer: failed to write to standard output' "$work/stderr" ||
  fail "--help to a full disk: status $status, said: $(cat "$work/stderr")"
e2e_run --headless 0 --version
grep -qxE 'edge-viewer [0-9]+\.[0-9]+\.[0-9]+' "$work/stdout" && [ ! -s "$work/stderr" ] ||
  fail "--version printed: $(cat "$work/stdout" "$work/stderr")"
echo "--help, --version: status 0 without a display; $(cat "$work/stdout")"

e2e_run --headless 0 --list-cameras
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
formats=$(PATH=$(dirname "$viewer"):$PATH completed edge-viewer --format '')
[ -n "$formats" ] || fail "completion of --format offers nothing"
rm "$work/clip.avi"
echo "bash completion: --te to --test-pattern; --format offers $(wc -w <<<"$formats") formats"

# A bad option: what is wrong, then the hint, and nothing on stdout. Which options are bad, and
# their words, are the parser's table.
e2e_run --headless 2 --bogus
e2e_expect_lines "edge-viewer: unknown option --bogus" "Try 'edge-viewer --help'."
e2e_run --headless 2 --camera 9999
e2e_expect_lines 'edge-viewer: failed to find camera "9999": *'
e2e_run --headless 2 --test-pattern --format 800x600
e2e_expect_lines 'edge-viewer: failed to use format 800x600 of camera "Test pattern": it does not offer that; the nearest offered are 640x480@30:YUY2*'
e2e_run --headless 1 --source missing.avi
e2e_expect_lines 'edge-viewer: failed to open "missing.avi": no such file or directory*'
echo "a bad option, a camera, a format and a file that are not there: status 2, 2, 2 and 1"

# The clip: a ball moving over black, 2 seconds at 15 frames/s, JPEG in AVI.
clip=$work/ball.avi
timeout 60 gst-launch-1.0 -q videotestsrc pattern=ball num-buffers=30 \
  ! video/x-raw,width=320,height=240,framerate=15/1 ! jpegenc ! avimux ! filesink location="$clip" ||
  fail "gst-launch-1.0 could not make the clip"

# Where the picture lies and its edge pixels, in a new screenshot. Sets box and edges.
look() { # name
  e2e_shot "$1" || return 1
  box=$(e2e_picture_box "$work/$1.png")
  edges=$(e2e_white_pixels "$work/$1.png" "$(e2e_band "$work/$1.png")")
  e2e_why="a ${box%%+*} picture with ${edges:-no} edge pixels"
}

e2e_case="--test-pattern --format 320x240@15"
e2e_start --test-pattern --format 320x240@15
e2e_await_preview "Test pattern"
pattern_shown() { look pattern && [ "${box%%+*}" = 320x240 ] && [ "${edges:-0}" -gt 500 ]; }
e2e_wait 20 "320x240 picture with edges" pattern_shown
e2e_end
e2e_expect_lines
echo "$e2e_case: a ${box%%+*} picture with $edges edge pixels"

e2e_case="--source"
e2e_start --source "$clip"
e2e_await_preview ball.avi
edges_shown() { look first && [ "${edges:-0}" -gt 50 ]; }
e2e_wait 20 "edges of the clip" edges_shown
# Three times the clip's length: the ball keeps moving, and the end is no fault.
changes=0
looks=0
started=$SECONDS
while [ $((SECONDS - started)) -lt 6 ]; do
  sleep 0.5
  e2e_shot later
  looks=$((looks + 1))
  e2e_differ "$work/first.png" "$work/later.png" && changes=$((changes + 1))
  mv "$work/later.png" "$work/first.png"
done
e2e_running "with the clip"
# A look may fall on the moment the clip starts again, or on a busy machine's slow frame; a picture
# that stood still after the clip's first or second end would leave a third or more unchanged.
[ $((changes * 4)) -ge $((looks * 3)) ] && [ "$changes" -ge 3 ] ||
  fail "the edges moved between only $changes of $looks looks"
look last
[ "${edges:-0}" -gt 50 ] || fail "after three times the clip's length the picture shows no edges"
e2e_end
e2e_expect_lines
echo "--source: edges moved between $changes of $looks looks over 6 s of a 2 s clip; $edges edge pixels at the end"

# A network source that fails once running is reported like a camera fault, in its own words: one
# line, the window stays.
e2e_case="an unreachable stream"
e2e_start --source "http://127.0.0.1:1/clip.avi"
e2e_wait 15 "line on stderr" test -s "$work/stderr"
sleep 0.5
e2e_end
e2e_expect_lines 'edge-viewer: failed to open "http://127.0.0.1:1/clip.avi": *'
echo "$e2e_case: $(cat "$work/stderr"); exit 0 on a key"

# The thresholds handed back: after drags to both ends, the line has the sliders' values and the
# detector's options; a run without --print-thresholds prints nothing (e2e_end checks that in every
# case above).
e2e_case="--print-thresholds"
e2e_start --test-pattern --print-thresholds --blur 3 --l2-gradient
e2e_await_preview "Test pattern"
e2e_drag_slider T1 100 -20
e2e_drag_slider T2 120 300
sleep 0.5
# A key right after a drag may be lost, as in fit_e2e.sh: sent again each second.
e2e_prints=1 e2e_resend=1 e2e_end
printed=$(cat "$work/stdout")
[ "$printed" = "T1=0 T2=255 aperture=3 l2=1 blur=3" ] || fail "$e2e_case printed: $printed"
: >"$work/stdout"
e2e_expect_lines
echo "$e2e_case: $printed after drags to both ends"
e2e_start --test-pattern --print-thresholds --aperture 7 --thresholds 9000,20000
e2e_await_preview "Test pattern"
e2e_prints=1 e2e_end
[ "$(cat "$work/stdout")" = "T1=9000 T2=20000 aperture=7 l2=0 blur=0" ] ||
  fail "$e2e_case at aperture 7 printed: $(cat "$work/stdout")"
echo "$e2e_case at aperture 7: $(cat "$work/stdout")"

# Edges over the picture: the edges in bright green over the dimmed test pattern; Ctrl+O switches
# to the edges alone and back without ending the run.
e2e_case="--overlay"
green() { # file
  convert "$1" -crop "$(e2e_band "$1")" -fill black +opaque 'rgb(0,255,0)' -fill white \
    -opaque 'rgb(0,255,0)' -threshold 99% -format '%[fx:round(mean*w*h)]' info:
}
overlay_shown() {
  e2e_shot overlay && greens=$(green "$work/overlay.png") &&
    whites=$(e2e_white_pixels "$work/overlay.png" "$(e2e_band "$work/overlay.png")")
  e2e_why="${greens:-no} green and ${whites:-no} white pixels"
  [ "${greens:-0}" -gt 500 ] && [ "${whites:-0}" -lt 50 ]
}
edges_alone() {
  e2e_shot alone && greens=$(green "$work/alone.png") &&
    whites=$(e2e_white_pixels "$work/alone.png" "$(e2e_band "$work/alone.png")")
  e2e_why="${whites:-no} white and ${greens:-no} green pixels"
  [ "${whites:-0}" -gt 500 ] && [ "${greens:-0}" -lt 50 ]
}
e2e_start --test-pattern --overlay
e2e_await_preview "Test pattern"
e2e_wait 20 "green edges over the picture" overlay_shown
overlaid=$greens
xdotool windowfocus --sync "$window" key ctrl+o
e2e_wait 20 "the edges alone after Ctrl+O" edges_alone
alone=$whites
e2e_running "after Ctrl+O"
xdotool windowfocus --sync "$window" key ctrl+o
e2e_wait 20 "green edges again after a second Ctrl+O" overlay_shown
e2e_resend=1 e2e_end
e2e_expect_lines
echo "$e2e_case: $overlaid green edge pixels, $alone white after Ctrl+O, $greens green after another"

# Proposed thresholds on a still: a faint and a strong square give different lines, each with T1
# half of T2; a still's first frame is all there is, so the proposal must come from it.
e2e_case="--auto-thresholds"
proposed() { # contrast
  convert -size 320x240 xc:'gray(100)' -fill "gray($((100 + $1)))" \
    -draw 'rectangle 80,60 240,180' "$work/square.png"
  e2e_start --source "$work/square.png" --auto-thresholds --print-thresholds
  e2e_await_preview square.png
  sleep 1
  e2e_prints=1 e2e_end
  cat "$work/stdout"
  : >"$work/stdout"
}
faint=$(proposed 20)
strong=$(proposed 120)
for line in "$faint" "$strong"; do
  [[ $line =~ ^T1=([0-9]+)\ T2=([0-9]+)\ aperture=3\ l2=0\ blur=0$ ]] &&
    [ "${BASH_REMATCH[1]}" -eq $((BASH_REMATCH[2] / 2)) ] && [ "${BASH_REMATCH[2]}" -gt 0 ] ||
    fail "$e2e_case printed: $line"
done
[ "$faint" != "$strong" ] && [ "$faint" != "T1=100 T2=120 aperture=3 l2=0 blur=0" ] ||
  fail "$e2e_case proposed $faint and $strong"
echo "$e2e_case: a faint square $faint, a strong one $strong"

# The gradient's histogram beside the edges of a still: its T2 line (red) moves with a drag of the
# slider, which on a still redraws it at once.
e2e_case="--histogram"
convert -size 320x240 xc:'gray(100)' -fill 'gray(140)' -draw 'rectangle 80,60 240,180' \
  "$work/square.png"
red_column() { # the first pure red column in the histogram picture's middle row
  convert "$work/histogram.png" -crop "512x1+0+$((28 + 100))" +repage txt:- |
    sed -n 's/^\([0-9]*\),0: .*#FF0000.*/\1/p' | head -n 1
}
e2e_start --source "$work/square.png" --histogram
e2e_await_preview square.png
e2e_await_window histogram histogram
xdotool windowmove "$histogram" 700 0
red_at() { # column
  e2e_shot histogram "$histogram" && column=$(red_column)
  e2e_why="the red line at column ${column:-none}"
  [ "${column:-}" = "$1" ]
}
e2e_wait 20 "the T2 line at 120" red_at 240
# To 255 exactly: a drag past the window's edge would leave the pointer over "histogram".
e2e_drag_slider T2 120 255
e2e_wait 20 "the T2 line at 255 after a drag" red_at 510
e2e_resend=1 e2e_end
e2e_expect_lines
echo "$e2e_case: the T2 line moved from column 240 to $column with a drag to 255"
