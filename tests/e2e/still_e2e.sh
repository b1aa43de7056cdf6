#!/usr/bin/env bash
# Still images as the source, as a user meets them. Bad files (cut off, corrupt, a header that
# claims 100000x100000 or 20000x20000 pixels, empty, a directory, a sequence with no first image) each end the
# run with one line naming the file, status 1, before any window: they run without a display,
# where reaching a window would print the no-display line instead. Then, on a virtual display, a
# PNG and a JPEG made here: a bright rectangle near the top left and a faint circle lower right.
# At the starting thresholds only the rectangle has edges, upright and where it was drawn; a drag
# of both sliders down to 40 and 50 brings the circle's edges in. A large image (8000x6000) opens.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
# Usage: still_e2e.sh VIEWER
set -u
viewer=$1
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }

# 320x240, black. The rectangle is white: an edge at any threshold. The circle is grey 20, whose
# gradient (80 with Canny's 3x3 Sobel) lies below the starting thresholds (100, 120) and above 50.
convert -size 320x240 xc:black -fill white -draw "rectangle 40,30 140,90" \
  -fill "rgb(20,20,20)" -draw "circle 240,180 240,220" "$work/shapes.png" &&
  convert "$work/shapes.png" -quality 95 "$work/shapes.jpg" || fail "ImageMagick could not make the images"

# The bad inputs, made here.
size=$(stat -c %s "$work/shapes.jpg")
head -c $((size / 2)) "$work/shapes.jpg" >"$work/cut.jpg"
head -c 400 "$work/shapes.png" >"$work/cut.png"
convert "$work/shapes.png" "$work/shapes.bmp" || fail "ImageMagick could not make a BMP"
head -c 100000 "$work/shapes.bmp" >"$work/cut.bmp"
# JPEG data overwritten from its middle on, headers intact.
cp "$work/shapes.jpg" "$work/corrupt.jpg"
printf '\125%.0s' $(seq 200) | dd of="$work/corrupt.jpg" bs=1 seek=$((size / 2)) conv=notrunc status=none
# A PNG whose header claims 100000x100000 RGB pixels, with 16 bytes of picture data.
{
  printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\001\206\240\0\001\206\240\010\002\0\0\0\047\060\234\237'
  printf '\000\000\000\013IDAT\170\234\143\140\100\005\000\000\020\000\001\071\275\217\145'
  printf '\0\0\0\0IEND\256B`\202'
} >"$work/huge.png"
# A JPEG whose frame header claims 20000x20000 pixels: 400 megapixels, which OpenCV would decode.
sof=$(LC_ALL=C grep -obUaP '\xff\xc0' "$work/shapes.jpg" | head -n 1 | cut -d: -f1)
[ -n "$sof" ] || fail "no frame header in the JPEG"
cp "$work/shapes.jpg" "$work/claims.jpg"
printf '\116\040\116\040' | dd of="$work/claims.jpg" bs=1 seek=$((sof + 5)) conv=notrunc status=none
: >"$work/empty.png"
mkdir "$work/folder.png"
printf '\211PNG\r\n\032\nnot a picture at all' >"$work/garbage.png"

# file, then what the line must say after the file's name
while IFS='|' read -r file reason; do
  (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY "$viewer" --source "$file" </dev/null \
    >"$work/stdout" 2>"$work/stderr")
  status=$?
  [ "$status" -eq 1 ] || fail "--source $file: status $status, not 1"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] && [ ! -s "$work/stdout" ] &&
    grep -qF "edge-viewer: failed to open \"$file\": $reason" "$work/stderr" ||
    fail "--source $file said: $(cat "$work/stdout" "$work/stderr")"
  echo "$file: status 1: $(cat "$work/stderr")"
done <<'TABLE'
cut.jpg|it is a truncated or corrupt image (Premature end of JPEG file)
cut.png|it is a truncated or corrupt image
cut.bmp|it is a truncated or corrupt image (Unexpected end of input stream)
corrupt.jpg|it is a truncated or corrupt image (Corrupt JPEG data
huge.png|its header claims a picture of 100000x100000 pixels, more than the 200 megapixels edge-viewer takes
claims.jpg|its header claims a picture of 20000x20000 pixels, more than the 200 megapixels edge-viewer takes
empty.png|it is empty
folder.png|it is a directory
garbage.png|it is a truncated or corrupt image
shots/%04d.png|it is a numbered sequence with no image numbered 0 or 1
TABLE

start_viewer() { # the image
  "$viewer" --source "$1" </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" --name '^edge$' | head -n 1)
  [ -n "$window" ] || fail "--source $1: no visible window named \"edge\""
  local preview
  preview=$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" --name "^$(basename "$1")\$" | head -n 1)
  [ -n "$preview" ] || fail "--source $1: no preview window"
  # No window manager places the windows: move the preview from over "edge".
  xdotool windowmove "$preview" 0 600
}

end_viewer() {
  local status
  # A key sent while a large picture is still being put up may be lost: sent again each second.
  for _ in $(seq 10); do
    xdotool key --window "$window" q 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break 2; sleep 0.02; done
  done
  kill -0 "$pid" 2>/dev/null && fail "the viewer did not end on a key within 10 s"
  wait "$pid"
  status=$?
  pid=
  [ "$status" -eq 0 ] || fail "exit status $status after the key"
  [ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] ||
    fail "the run printed: $(cat "$work/stdout" "$work/stderr")"
}

# The picture lies under the tool bar (28 rows) and above the sliders (68 rows). It is black,
# so its black pixels' bounding box is where it is; the white edges' box is taken inside it.
edge_box() { # name; prints the edges' box in the picture as WxH+X+Y
  local shot=$work/$1.png box
  import -window "$window" "$shot" 2>/dev/null
  convert "$shot" -crop "$(identify -format '%wx%[fx:h-96]+0+28' "$shot")" +repage "$work/$1-band.png"
  box=$(convert "$work/$1-band.png" -negate -threshold 90% -format '%@' info:)
  [ "${box%%+*}" = 320x240 ] || { echo "picture:$box"; return; }
  convert "$work/$1-band.png" -crop "$box" +repage -threshold 50% -format '%@' info:
}

# Within tolerance pixels of WxH+X+Y.
near() { # box expected tolerance
  echo "$1 $2" | awk -v t="$3" -F'[ x+]' '{
    for (i = 1; i <= 4; i++) if ($i - $(i + 4) > t || $(i + 4) - $i > t) exit 1 }'
}

# A slider's handle is dragged from its value's place to another value's. The grooves run from
# column 127 to 2 columns short of the window's right edge; T1 lies 58 rows above the window's
# bottom, T2 33.
drag_slider() { # slider row from the bottom, its value, the value wanted
  eval "$(xdotool getwindowgeometry --shell "$window")"
  local row=$((HEIGHT - $1)) from=$((127 + $2 * (WIDTH - 129) / 255))
  local to=$((127 + $3 * (WIDTH - 129) / 255))
  xdotool mousemove --window "$window" "$from" "$row" mousedown 1 \
    mousemove --window "$window" $(((from + to) / 2)) "$row" \
    mousemove --window "$window" "$to" "$row" mouseup 1
}

# The rectangle's edges: columns 40 to 140, rows 30 to 90, upright (a picture upside down puts
# them at rows 149 to 209). With the circle's, down to row 220 and out to column 280. JPEG's
# ringing, within its 8-pixel blocks, has edges of its own at low thresholds.
for image in shapes.png:3 shapes.jpg:8; do
  tolerance=${image#*:}
  image=${image%:*}
  start_viewer "$work/$image"
  for _ in $(seq 100); do
    box=$(edge_box "${image%.*}-start")
    near "$box" 101x61+40+30 3 && break
    sleep 0.1
  done
  near "$box" 101x61+40+30 3 || fail "$image: the edges lie at $box, not at the rectangle's 101x61+40+30"
  drag_slider 58 100 40
  drag_slider 33 120 50
  for _ in $(seq 100); do
    moved=$(edge_box "${image%.*}-moved")
    near "$moved" 241x191+40+30 "$tolerance" && break
    sleep 0.1
  done
  near "$moved" 241x191+40+30 "$tolerance" || fail "$image: after the drag the edges lie at $moved, not at 241x191+40+30"
  kill -0 "$pid" 2>/dev/null || fail "$image: the viewer ended"
  end_viewer
  echo "$image: edges at $box, after the sliders' drag at $moved"
done

# A large image opens, edges and all, and the run ends as usual.
convert -size 8000x6000 xc:black -fill white -draw "rectangle 1000,1000 3000,2000" "$work/large.png" ||
  fail "ImageMagick could not make the large image"
start_viewer "$work/large.png"
kill -0 "$pid" 2>/dev/null || fail "large.png: the viewer ended"
end_viewer
echo "large.png (8000x6000): opened and ended on a key, nothing printed"
