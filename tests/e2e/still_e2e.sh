#!/usr/bin/env bash
# Still images as the source, as a user meets them. Bad files (cut off, corrupt, a header that
# claims 100000x100000, 20000x20000 or, behind a stray byte, 32768x32768 pixels, empty, a
# directory, a sequence with no first image) each end the
# run with one line naming the file, status 1, before any window: they run without a display,
# where reaching a window would print the no-display line instead. Then, on a virtual display, a
# PNG and a JPEG made here: a bright rectangle near the top left and a faint circle lower right.
# At the starting thresholds only the rectangle has edges, upright and where it was drawn; a drag
# of both sliders down to 40 and 50 brings the circle's edges in. A large image (8000x6000) opens.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
# Usage: still_e2e.sh VIEWER
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init

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
# The same frame header, 32768x32768, with one stray byte before it: libjpeg skips the byte and
# would decode that size, so the header walk must find it too.
cp "$work/claims.jpg" "$work/stray.jpg"
printf '\200\000\200\000' | dd of="$work/stray.jpg" bs=1 seek=$((sof + 5)) conv=notrunc status=none
{ head -c "$sof" "$work/stray.jpg" && printf '\0' && tail -c +$((sof + 1)) "$work/stray.jpg"; } >"$work/stray-tmp.jpg" &&
  mv "$work/stray-tmp.jpg" "$work/stray.jpg"
# Intact files libjpeg warns about or that are rarely met: two bytes of padding before the scan
# ("Corrupt JPEG data: 2 extraneous bytes before marker 0xda", yet the picture is whole), and a
# BMP with the 12-byte OS/2 header.
sos=$(LC_ALL=C grep -obUaP '\xff\xda' "$work/shapes.jpg" | head -n 1 | cut -d: -f1)
{ head -c "$sos" "$work/shapes.jpg" && printf '\0\0' && tail -c +$((sos + 1)) "$work/shapes.jpg"; } >"$work/padded.jpg"
convert "$work/shapes.png" BMP2:"$work/os2.bmp" || fail "ImageMagick could not make an OS/2 BMP"
: >"$work/empty.png"
mkdir "$work/folder.png"
printf '\211PNG\r\n\032\nnot a picture at all' >"$work/garbage.png"

# file, then what the line must say after the file's name
while IFS='|' read -r file reason; do
  e2e_run --headless 1 --source "$file"
  e2e_expect_lines "edge-viewer: failed to open \"$file\": $reason*"
  echo "$file: status 1: $(cat "$work/stderr")"
done <<'TABLE'
cut.jpg|it is a truncated or corrupt image (Premature end of JPEG file)
cut.png|it is a truncated or corrupt image
cut.bmp|it is a truncated or corrupt image (Unexpected end of input stream)
corrupt.jpg|it is a truncated or corrupt image (Corrupt JPEG data
huge.png|its header claims a picture of 100000x100000 pixels, more than the 200 megapixels edge-viewer takes
claims.jpg|its header claims a picture of 20000x20000 pixels, more than the 200 megapixels edge-viewer takes
stray.jpg|its header claims a picture of 32768x32768 pixels, more than the 200 megapixels edge-viewer takes
empty.png|it is empty
folder.png|it is a directory
garbage.png|it is a truncated or corrupt image
shots/%04d.png|it is a numbered sequence with no image numbered 0 or 1
TABLE

# Files that open: without a display, the run gets as far as the window and says there is none.
for file in padded.jpg os2.bmp; do
  e2e_run --headless 1 --source "$file"
  e2e_expect_lines "edge-viewer: failed to open a window: *"
  echo "$file: decoded, then $(cat "$work/stderr")"
done

start() { # the image
  e2e_case=$(basename "$1")
  e2e_start --source "$1"
  e2e_await_preview "$(basename "$1")"
}

# The picture is black, so its black pixels' bounding box is where it is; the white edges' box is
# taken inside it.
edge_box() { # name; prints the edges' box in the picture as WxH+X+Y
  local shot=$work/$1.png box
  e2e_shot "$1" || return 1
  box=$(e2e_picture_box "$shot")
  [ "${box%%+*}" = 320x240 ] || { echo "picture:$box"; return; }
  convert "$shot" -crop "$(e2e_band "$shot")" +repage -crop "$box" +repage -threshold 50% \
    -format '%@' info:
}

# Within tolerance pixels of WxH+X+Y.
near() { # box expected tolerance
  echo "$1 $2" | awk -v t="$3" -F'[ x+]' '{
    for (i = 1; i <= 4; i++) if ($i - $(i + 4) > t || $(i + 4) - $i > t) exit 1 }'
}

# The rectangle's edges: columns 40 to 140, rows 30 to 90, upright (a picture upside down puts
# them at rows 149 to 209). With the circle's, down to row 220 and out to column 280. JPEG's
# ringing, within its 8-pixel blocks, has edges of its own at low thresholds.
# Sets the named variable to the edges' box, and whether it is near the box expected.
edges_at() { # variable, screenshot name, expected box, tolerance
  local -n at=$1
  at=$(edge_box "$2")
  e2e_why="the edges lie at $at"
  near "$at" "$3" "$4"
}
for image in shapes.png:3 shapes.jpg:8; do
  tolerance=${image#*:}
  image=${image%:*}
  start "$work/$image"
  e2e_wait 20 "edges at the rectangle's 101x61+40+30" edges_at box "${image%.*}-start" 101x61+40+30 3
  e2e_drag_slider T1 100 40
  e2e_drag_slider T2 120 50
  e2e_wait 20 "edges at 241x191+40+30 after the drag" \
    edges_at moved "${image%.*}-moved" 241x191+40+30 "$tolerance"
  # A key sent while a large picture is still being put up may be lost: sent again each second.
  e2e_resend=1 e2e_end
  e2e_expect_lines
  echo "$image: edges at $box, after the sliders' drag at $moved"
done

# A large image opens, edges and all, and the run ends as usual.
convert -size 8000x6000 xc:black -fill white -draw "rectangle 1000,1000 3000,2000" "$work/large.png" ||
  fail "ImageMagick could not make the large image"
start "$work/large.png"
e2e_resend=1 e2e_end
e2e_expect_lines
echo "large.png (8000x6000): opened and ended on a key, nothing printed"
