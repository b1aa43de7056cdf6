#!/usr/bin/env bash
# Still-image benchmark on an X display large enough for the whole picture (bench/run still gives
# it a private Xvfb): the timed viewer on a 4000x3000 JPEG made here, with shapes and noise, so
# that Canny has work to do. First the CPU at rest, the sliders untouched, then MOVES slider clicks
# (T1 and T2 in turn, half a second apart), each timed from the request for the frame, made in the
# slider's handler, to the picture painted in "edge". ROUNDS repetitions; one line per round:
#   still 4000x3000 rest_cpu_pct=.. move_p50_ms=.. move_max_ms=.. moves=.. shown=..
# Usage: still.sh TIMED_VIEWER
set -u
viewer=$1
rounds=${ROUNDS:-3}
rest=${SECONDS_PER_RUN:-10}
moves=${MOVES:-20}
settle=3
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

convert -size 4000x3000 xc:gray20 -fill gray80 -draw "rectangle 400,300 1400,900" \
  -draw "circle 3000,2000 3000,2600" -blur 0x4 -attenuate 0.4 +noise Gaussian \
  -quality 92 "$work/still.jpg" || { echo "still error=no-image"; exit 1; }

cpu_ns() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f", sum }'
}

for _ in $(seq "$rounds"); do
  frames=$work/frames.txt
  rm -f "$frames"
  EDGE_VIEWER_BENCH_FRAMES=$frames "$viewer" --source "$work/still.jpg" </dev/null \
    >/dev/null 2>"$work/stderr" &
  pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible --pid "$pid" --name '^edge$' | head -n 1)
  [ -n "$window" ] || { echo "still error=no-window"; kill "$pid"; pid=; continue; }
  sleep "$settle"
  before=$(cpu_ns "$pid")
  sleep "$rest"
  after=$(cpu_ns "$pid")
  # The sliders lie under the picture: T1 58 rows and T2 33 rows above the window's bottom. A
  # click on a slider's groove moves it towards the click.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  for move in $(seq "$moves"); do
    row=$((HEIGHT - (move % 2 ? 58 : 33)))
    column=$((WIDTH * (move % 4 < 2 ? 15 : 85) / 100))
    xdotool mousemove --window "$window" "$column" "$row" click 1
    sleep 0.5
  done
  # A key that comes while a picture is being put up can be lost, as in the end-to-end tests:
  # sent again each second until the run ends.
  for _ in $(seq 30); do
    xdotool key --window "$window" q 2>/dev/null
    sleep 1
    kill -0 "$pid" 2>/dev/null || break
  done
  wait "$pid"
  pid=
  # Every frame after the first is one a slider asked for; its capture time is the request's.
  awk -v rest="$rest" -v cpu=$((after - before)) -v moves="$moves" '
    NR > 1 { n++; v[n] = ($3 - $2) / 1e6 }
    END {
      for (i = 2; i <= n; i++) { x = v[i]; for (j = i - 1; j > 0 && v[j] > x; j--) v[j + 1] = v[j]; v[j + 1] = x }
      printf "still 4000x3000 rest_cpu_pct=%.2f move_p50_ms=%.1f move_max_ms=%.1f moves=%d shown=%d\n",
        cpu / rest / 1e7, n ? v[int((n + 1) / 2)] : 0, n ? v[n] : 0, moves, n
    }' "$frames"
done
