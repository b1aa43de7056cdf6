#!/usr/bin/env bash
# Every picture fits the screen, as a user on a laptop or a desktop meets it: the 640x480 test
# pattern, the 1280x720 and 1920x1080 test patterns and a 4000x3000 photo each open with "edge"
# and the preview inside the screen, and a drag on T1, then on T2, at their places on the screen
# changes the edges: the sliders are in reach. A 4000x3000 picture of one-pixel lines, shown
# fitted, keeps every line at no less than half brightness; a double click shows it at full size
# and another the whole again, and Ctrl+S saves it at its full size.
# Needs an X display (tests/run_with_xvfb.sh gives one; XVFB_SCREEN sets its size), xdotool and
# ImageMagick.
# Usage: fit_e2e.sh VIEWER
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init
read -r screen_width screen_height < <(xdpyinfo | awk '/dimensions:/ { sub("x", " ", $2); print $2 }')
[ -n "${screen_height:-}" ] || fail "xdpyinfo gave no screen size"

# The window, frame and all, lies inside the screen.
inside_screen() { # window, name
  local WINDOW X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  e2e_why="$2 is ${WIDTH}x$HEIGHT at $X,$Y on a ${screen_width}x$screen_height screen"
  [ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le "$screen_width" ] &&
    [ $((Y + HEIGHT)) -le "$screen_height" ]
}

# The edge pixels (pure white) between the tool bar and the sliders.
edge_pixels() { # name
  e2e_shot "$1" && e2e_white_pixels "$work/$1.png" "$(e2e_band "$work/$1.png")"
}

edges_up() {
  before=$(edge_pixels before)
  e2e_why="${before:-no} edge pixels"
  [ "${before:-0}" -gt 200 ]
}

# The band of a screenshot with the test pattern's clock (the last quarter of the width, the
# lowest fifth of the height) painted black: nothing else in the picture moves by itself.
without_clock() { # name
  local shot=$work/$1.png band
  band=$(e2e_band "$shot")
  [[ $band =~ ^([0-9]+)x([0-9]+) ]] || return 1
  convert "$shot" -crop "$band" +repage -fill black -draw "rectangle \
$((BASH_REMATCH[1] * 7 / 10)),$((BASH_REMATCH[2] * 4 / 5)) ${BASH_REMATCH[1]},${BASH_REMATCH[2]}" \
    "$work/$1-still.png"
}

# More than 200 pixels of the picture changed since the shot named first.
changed_from() { # name before, name after
  local changed
  after=$(edge_pixels "$2") && without_clock "$2" || return 1
  changed=$(compare -metric AE "$work/$1-still.png" "$work/$2-still.png" null: 2>&1)
  e2e_why="${changed:-no} pixels changed"
  [[ $changed =~ ^[0-9]+$ ]] && [ "$changed" -gt 200 ]
}

# Two looks 0.3 s apart see the same picture, clock aside: nothing covers it any more, and the
# picture after a drag can be told from it. The second look is "before".
settled() {
  local changed
  edge_pixels previous >/dev/null && without_clock previous && sleep 0.3 &&
    before=$(edge_pixels before) && without_clock before || return 1
  changed=$(compare -metric AE "$work/previous-still.png" "$work/before-still.png" null: 2>&1)
  e2e_why="${changed:-no} pixels changed in 0.3 s"
  [ "$changed" = 0 ]
}

# A picture that fits is shown at its own size; one that does not, at the largest size that
# fits: the window then reaches across the screen or from its top to its bottom.
check_size() { # the picture's own size
  local WINDOW X Y WIDTH HEIGHT SCREEN shown
  eval "$(xdotool getwindowgeometry --shell "$window")"
  shown=$(e2e_picture_box "$work/before.png")
  shown=${shown%%+*}
  if [ "${1%x*}" -le "$screen_width" ] && [ $((${1#*x} + 98)) -le "$screen_height" ]; then
    [ "$shown" = "$1" ] || fail "a picture of $1 that fits is shown at $shown"
  else
    [ "$WIDTH" = "$screen_width" ] || [ "$HEIGHT" = "$screen_height" ] ||
      fail "a picture of $1 is shown at $shown, in a ${WIDTH}x$HEIGHT window that could be larger"
  fi
}

check() { # what, the picture's size, the viewer's arguments
  e2e_case="$1 on ${screen_width}x$screen_height"
  local size=$2
  shift 2
  e2e_start "$@"
  e2e_await_window preview "$preview_title"
  e2e_wait 10 "the preview inside the screen" inside_screen "$preview" "the preview"
  # Then off the screen: without a window manager both windows open at the top left corner.
  xdotool windowmove "$preview" "$screen_width" 0
  e2e_wait 10 "the preview moved off the screen" e2e_at "$preview" "$screen_width" 0
  e2e_wait 30 "edges in \"edge\"" edges_up
  e2e_wait 10 "\"edge\" inside the screen" inside_screen "$window" '"edge"'
  e2e_wait 20 "a picture that holds still" settled
  check_size "$size"
  local geometry start=$before
  geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/ *Geometry: //p')
  # Both to the far right, one at a time: each drag alone changes the edges.
  e2e_drag_slider T1 100 255
  e2e_wait 20 "other edges after dragging T1" changed_from before t1
  local t1=$after
  e2e_drag_slider T2 120 255
  e2e_wait 20 "other edges after dragging T2" changed_from t1 t2
  e2e_resend=1 e2e_end
  echo "$e2e_case: \"edge\" $geometry; edge pixels $start, $t1 after T1, $after after T2"
}

# Squares from grey 10 to 60 on black: straight borders of 40 to 240 and corners of 60 to 360 in
# Canny's gradient. T1 at 255 (thresholds 120 and 255) drops the fainter squares; T2 at 255 too
# (255 and 255) leaves only the corners of the brighter ones.
squares=$work/squares.png
draw=()
for grey in $(seq 10 2 60); do
  i=$(((grey - 10) / 2))
  x=$((150 + (i % 7) * 520))
  y=$((150 + (i / 7) * 700))
  draw+=(-fill "rgb($grey,$grey,$grey)" -draw "rectangle $x,$y $((x + 400)),$((y + 500))")
done
convert -size 4000x3000 xc:black "${draw[@]}" "$squares" || fail "ImageMagick could not make the photo"

preview_title="Test pattern"
check "the default" 640x480
check "1280x720" 1280x720 --test-pattern --format 1280x720@30
check "1920x1080" 1920x1080 --test-pattern --format 1920x1080@30
preview_title=$(basename "$squares")
check "a 4000x3000 photo" 4000x3000 --source "$squares"

# One-pixel lines at 4000x3000: rows 25, 75, ... over the left half, columns 2113, 2166, ... over
# the right half, so that no two cross. Canny marks each line by an edge on either side of it.
lines=$work/lines.png
draw=()
for y in $(seq 25 50 2999); do draw+=(-draw "line 0,$y 1899,$y"); done
for x in $(seq 2113 53 3999); do draw+=(-draw "line $x,0 $x,2999"); done
convert -size 4000x3000 xc:black -fill white -stroke white -strokewidth 1 +antialias "${draw[@]}" \
  "$lines" || fail "ImageMagick could not make the lines"

# Every line of the picture, looked for in the fitted picture where it must land: some row (or
# column) there must be at least half bright over 99 % of the line's length.
lines_missing() { # fitted picture as a PNG
  convert "$1" -depth 8 -compress none pgm:- | tr -s ' \n' '\n\n' | awk '
    NR == 2 { w = $1 } NR == 3 { h = $1 } NR <= 4 { next }
    { bright[NR - 5] = ($1 >= 128) }
    function row_lit(r,   x, n, from, to) {
      from = int(20 * w / 4000); to = int(1880 * w / 4000)
      for (x = from; x <= to; x++) n += bright[r * w + x]
      return n >= 0.99 * (to - from + 1)
    }
    function column_lit(c,   y, n, from, to) {
      from = int(20 * h / 3000); to = int(2980 * h / 3000)
      for (y = from; y <= to; y++) n += bright[y * w + c]
      return n >= 0.99 * (to - from + 1)
    }
    END {
      for (y = 25; y < 3000; y += 50) {
        found = 0
        for (r = int((y - 1) * h / 3000) - 1; r <= int((y + 1) * h / 3000); r++)
          if (r >= 0 && r < h && row_lit(r)) found = 1
        if (!found) missing = missing " row " y
      }
      for (x = 2113; x < 4000; x += 53) {
        found = 0
        for (c = int((x - 1) * w / 4000) - 1; c <= int((x + 1) * w / 4000); c++)
          if (c >= 0 && c < w && column_lit(c)) found = 1
        if (!found) missing = missing " column " x
      }
      print w "x" h (missing ? ":" missing : "")
    }'
}

e2e_case="one-pixel lines on ${screen_width}x$screen_height"
e2e_start --source "$lines"
e2e_await_window preview "$(basename "$lines")"
xdotool windowmove "$preview" "$screen_width" 0
e2e_wait 10 "the preview moved off the screen" e2e_at "$preview" "$screen_width" 0
lines_shown() {
  local shot=$work/lines-shown.png
  e2e_shot lines-shown || return 1
  convert "$shot" -crop "$(e2e_band "$shot")" +repage -crop "$(e2e_picture_box "$shot")" +repage \
    "$work/lines-picture.png" || return 1
  seen=$(lines_missing "$work/lines-picture.png")
  e2e_why="the picture shown is $seen"
  [[ $seen =~ ^[0-9]+x[0-9]+$ ]] && [ "${seen%x*}" -lt 4000 ]
}
e2e_wait 30 "every line in the fitted picture" lines_shown

# The rows lit over the left of the picture, and the widest gap between two of them: about 16
# rows between lines 50 rows apart shrunk 3 times, 48 at full size.
widest_gap() { # picture as a PNG
  convert "$1" -depth 8 -compress none pgm:- | tr -s ' \n' '\n\n' | awk '
    NR == 2 { w = $1 } NR == 3 { h = $1 } NR <= 4 { next }
    { i = NR - 5; if (i % w >= 10 && i % w <= 400) lit[int(i / w)] += ($1 >= 128) }
    END {
      for (r = 0; r < h; r++) if (lit[r] >= 0.99 * 391) {
        if (last != "" && r - last > widest) widest = r - last
        last = r
      }
      print widest + 0
    }'
}
gap_is() { # test, value
  local shot=$work/gap.png
  e2e_shot gap || return 1
  convert "$shot" -crop "$(e2e_band "$shot")" +repage -crop "$(e2e_picture_box "$shot")" +repage \
    "$work/gap-picture.png" || return 1
  gap=$(widest_gap "$work/gap-picture.png")
  e2e_why="the widest gap between lit rows is ${gap:-unknown}"
  [ -n "$gap" ] && [ "$gap" "$1" "$2" ]
}
# A quarter of the way across, where the rows of lines lie at full size too.
double_click_left() {
  local WINDOW X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --window "$window" $((WIDTH / 4)) $(((HEIGHT - 96) / 2 + 28)) \
    click --repeat 2 --delay 100 1
}
e2e_wait 10 "lines 16 rows apart in the fitted picture" gap_is -le 20
fitted_gap=$gap
double_click_left
e2e_wait 10 "lines 50 rows apart at full size after a double click" gap_is -ge 40
full_gap=$gap
double_click_left
e2e_wait 10 "the whole picture again after a second double click" gap_is -le 20

# Ctrl+S saves the edge picture at its full size, not as the window shows it. Typed as a person
# types, into the window that has the focus: keys sent to a window carry no Ctrl.
# The name is typed into the dialog: a folder whose name has no Q in it, which the dialog was
# seen to drop from typed names (mktemp's may have one).
save_dir=/tmp/edge-viewer-fit-$$-$RANDOM
mkdir "$save_dir" || fail "could not make $save_dir"
e2e_cleanup() { rm -rf "$save_dir"; }
xdotool windowfocus --sync "$window" mousemove --window "$window" 50 50 key ctrl+s
e2e_await_window dialog "Save the edge picture"
saved() { e2e_why=$(identify -format '%wx%h %[channels]' "$save_dir/saved.png" 2>&1); [ "$e2e_why" = "4000x3000 gray" ]; }
# A slow (sanitizer) build may show the dialog before its name field takes keys: while the
# dialog stays open, the name is typed again over what the field holds.
for _ in 1 2 3; do
  xdotool windowfocus --sync "$dialog" 2>/dev/null
  sleep 1
  xdotool key ctrl+a type --delay 20 "$save_dir/saved"
  xdotool key Return
  e2e_poll 10 saved && break
  e2e_find_window "^Save the edge picture\$" || break
done
e2e_wait 10 "a 4000x3000 grey edge picture saved" saved
[ "$(e2e_white_pixels "$save_dir/saved.png")" -gt 100000 ] || fail "the saved picture holds no lines"
e2e_resend=1 e2e_end
echo "$e2e_case: all 60 rows and 36 columns seen in the ${seen} picture; widest gap between" \
  "lines $fitted_gap rows fitted, $full_gap at full size after a double click; Ctrl+S saved" \
  "it at 4000x3000"
