#!/usr/bin/env bash
# End-to-end benchmark on an X display (bench/run gives it a private Xvfb): the timed viewer on
# its test pattern and the GStreamer pipeline that does the same job, run in turn, each for
# SECONDS_PER_RUN seconds, ROUNDS times. SIZES lists the formats as WxH@FPS (WxH alone means 30
# frames/s); LOAD=N runs N busy loops beside each run; NO_IDLE skips the idle case; VIEWER_OPTIONS
# are given to the viewer (the tuning options, such as "--overlay --histogram"). Prints one line
# of figures per run:
#   live WxH@FPS shown_fps=.. captured_fps=.. p50_ms=.. p99_ms=.. dropped=.. p99_first_ms=..
#     p99_last_ms=.. converted_p50_ms=.. converted_p99_ms=.. queued_p50_ms=.. queued_p99_ms=..
#     callback_p50_ms=.. callback_p99_ms=.. painted_p50_ms=.. painted_p99_ms=..
#     cpu_ms_per_frame=.. cpu_pct=.. observer_cpu_pct=.. exit_ms=.. rss_mib=.. load=..
#   peer WxH@FPS cpu_ms_per_frame=.. cpu_pct=.. rss_mib=.. load=..
#   idle cpu_pct=..
# p99_first_ms and p99_last_ms are the p99 of the first and of the last third of the run. The
# stages of a painted frame: capture to converted (the frame leaves the conversion), queued
# (its wait there), the callback, and painted (from the callback's hand-off to the window seen
# painted). The viewer's CPU leaves out the timed viewer's paint observer, whose own share of a
# core is observer_cpu_pct.
# Usage: e2e.sh TIMED_VIEWER TEST_PATTERN_SOURCE
set -u
viewer=$1
source=$("$2")
seconds=${SECONDS_PER_RUN:-10}
rounds=${ROUNDS:-3}
load=${LOAD:-0}
warmup=2
work=$(mktemp -d)
busy=()
stop_load() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null; done
  busy=()
}
trap 'stop_load; rm -rf "$work"' EXIT

start_load() {
  for _ in $(seq "$load"); do
    bash -c 'while :; do :; done' &
    busy+=($!)
  done
}

# CPU time of the threads of a process, in nanoseconds (the scheduler's own accounting): of all
# but the timed viewer's paint observer, or of that one alone.
cpu_ns() { # pid [observer]
  local task name ns
  for task in /proc/"$1"/task/*; do
    { read -r name <"$task/comm" && read -r ns _ <"$task/schedstat" && echo "$name|$ns"; } 2>/dev/null
  done | awk -F'|' -v want="${2:-}" '($1 == "paint-observer") == (want == "observer") { sum += $2 }
    END { printf "%.0f", sum }'
}

rss_mib() { awk '/^VmRSS/ { printf "%.0f", $2 / 1024 }' /proc/"$1"/status; }

# CPU per frame over the measured window, nominal frames = rate x seconds; with "observer", also
# the paint observer's share of a core.
measure_cpu() { # pid rate seconds [observer]
  local before after observer_before observer_after
  before=$(cpu_ns "$1")
  observer_before=$(cpu_ns "$1" observer)
  sleep "$3"
  after=$(cpu_ns "$1")
  observer_after=$(cpu_ns "$1" observer)
  awk -v ns=$((after - before)) -v frames=$(($2 * $3)) -v s="$3" \
    'BEGIN { printf "cpu_ms_per_frame=%.2f cpu_pct=%.2f", ns / frames / 1e6, ns / s / 1e7 }'
  [ -z "${4:-}" ] || awk -v ns=$((observer_after - observer_before)) -v s="$3" \
    'BEGIN { printf " observer_cpu_pct=%.2f", ns / s / 1e7 }'
}

# Only the process's own window: those of the run before may not all be gone yet.
wait_for_window() { # name pid
  timeout 30 xdotool search --sync --all --onlyvisible --pid "$2" --name "$1" 2>/dev/null |
    head -n 1
}

# Figures from the painted frames (sequence, capture, paint, converted, callback start and end, in
# ns), over the frames captured in the measured window: from warmup to warmup + seconds after the
# first painted frame's capture.
frame_figures() { # file seconds
  awk -v warm="$warmup" -v s="$2" '
    NR == 1 { t0 = $2 + warm * 1e9; t1 = t0 + s * 1e9 }
    $2 >= t0 && $2 < t1 {
      n++; lat[n] = ($3 - $2) / 1e6; part[n] = int(($2 - t0) * 3 / (t1 - t0))
      if (n == 1 || $1 < lo) { lo = $1; tlo = $2 }
      if (n == 1 || $1 > hi) { hi = $1; thi = $2 }
      if ($4 > 0 && $5 > 0 && $6 > 0) {
        m++; converted[m] = ($4 - $2) / 1e6; queued[m] = ($5 - $4) / 1e6
        callback[m] = ($6 - $5) / 1e6; painted[m] = ($3 - $6) / 1e6
      }
    }
    # Shell sort of v[1..k], then the value at fraction f.
    function pick(v, k, f,   gap, i, j, x) {
      if (k == 0) return 0
      for (gap = int(k / 2); gap > 0; gap = int(gap / 2))
        for (i = gap + 1; i <= k; i++) {
          x = v[i]
          for (j = i - gap; j > 0 && v[j] > x; j -= gap) v[j + gap] = v[j]
          v[j + gap] = x
        }
      return v[int(f * (k - 1)) + 1]
    }
    function pct(which, f,   k, i, v) {
      k = 0
      for (i = 1; i <= n; i++) if (which < 0 || part[i] == which) v[++k] = lat[i]
      return pick(v, k, f)
    }
    function stage(a, name,   i, v) {
      for (i = 1; i <= m; i++) v[i] = a[i]
      pick(v, m, 0.5)
      printf " %s_p50_ms=%.1f %s_p99_ms=%.1f", name, m ? v[int(0.5 * (m - 1)) + 1] : 0, name,
        m ? v[int(0.99 * (m - 1)) + 1] : 0
    }
    END {
      if (n < 2) { printf "shown_fps=0 captured_fps=0 p50_ms=0 p99_ms=0 dropped=0 p99_first_ms=0 p99_last_ms=0"; exit }
      printf "shown_fps=%.1f captured_fps=%.1f p50_ms=%.1f p99_ms=%.1f dropped=%d p99_first_ms=%.1f p99_last_ms=%.1f",
        n / s, (hi - lo) / ((thi - tlo) / 1e9), pct(-1, 0.5), pct(-1, 0.99), hi - lo + 1 - n,
        pct(0, 0.99), pct(2, 0.99)
      stage(converted, "converted"); stage(queued, "queued"); stage(callback, "callback")
      stage(painted, "painted")
    }' "$1"
}

# The real program on the built-in test pattern, run in a terminal (tmux) as a person would: the
# format page asks for the video format, and the benchmark answers with the size and rate wanted.
run_viewer() { # format width height rate seconds
  local tmux=(tmux -L "edge-viewer-bench-$$")
  local frames="$work/frames.txt"
  rm -f "$frames"
  "${tmux[@]}" new-session -d -x 160 -y 50 -e DISPLAY="$DISPLAY" \
    -e EDGE_VIEWER_BENCH_FRAMES="$frames" "exec $viewer ${VIEWER_OPTIONS:-}" \; set-option remain-on-exit on
  local pid choice window cpu rss start exit_ms
  pid=$("${tmux[@]}" display-message -p '#{pane_pid}')
  for _ in $(seq 300); do
    "${tmux[@]}" capture-pane -p | grep -q 'Format?' && break
    sleep 0.1
  done
  # The line of the format page that offers the size, e.g. "     3  YUY2   1920x1080  60, 30, 15".
  choice=$("${tmux[@]}" capture-pane -p | awk -v size="$2x$3" '$0 ~ " " size " " { print ($1 == "*" ? $2 : $1); exit }')
  [ -n "$choice" ] || { echo "live $1 error=no-format-$2x$3"; "${tmux[@]}" kill-server; return; }
  "${tmux[@]}" send-keys "$choice $4" Enter
  window=$(wait_for_window '^edge$' "$pid")
  [ -n "$window" ] || { echo "live $1 error=no-window"; "${tmux[@]}" kill-server; return; }
  sleep "$warmup"
  cpu=$(measure_cpu "$pid" "$4" "$5" observer)
  rss=$(rss_mib "$pid")
  start=$(date +%s%N)
  xdotool key --window "$window" q 2>/dev/null
  # Ended once it is a zombie: tmux, its parent, may reap it a while later.
  local state=R
  while [ "$state" != Z ] && read -r _ _ state _ 2>/dev/null <"/proc/$pid/stat"; do
    sleep 0.002
  done
  exit_ms=$(( ($(date +%s%N) - start) / 1000000 ))
  "${tmux[@]}" kill-server
  [ -s "$frames" ] || { echo "live $1 error=no-frames-painted"; return; }
  echo "live $1 $(frame_figures "$frames" "$5") $cpu exit_ms=$exit_ms rss_mib=$rss load=$load"
}

# The same job in GStreamer alone, on the viewer's own source: edges in one window, the picture
# scaled to 640x480 in another. No flip: GStreamer's frames are already upright.
run_peer() { # format width height rate seconds
  eval "exec gst-launch-1.0 -q $source" \
    "! video/x-raw,format=YUY2,width=$2,height=$3,framerate=$4/1 ! tee name=t" \
    "t. ! queue ! videoconvert ! edgedetect threshold1=100 threshold2=120 mask=false" \
    "! videoconvert ! ximagesink" \
    "t. ! queue ! videoscale ! video/x-raw,width=640,height=480 ! videoconvert ! ximagesink" \
    >/dev/null 2>"$work/peer.stderr" &
  local pid=$!
  sleep "$warmup"
  kill -0 "$pid" 2>/dev/null || { echo "peer $1 error=$(head -c 200 "$work/peer.stderr" | tr ' \n' '_')"; return; }
  local cpu rss
  cpu=$(measure_cpu "$pid" "$4" "$5")
  rss=$(rss_mib "$pid")
  kill -INT "$pid"
  wait "$pid"
  echo "peer $1 $cpu rss_mib=$rss load=$load"
}

# A source that delivers its first frame and then nothing for a long time.
run_idle() {
  EDGE_VIEWER_BENCH_SOURCE="videotestsrc is-live=true pattern=smpte ! video/x-raw,width=640,height=480,framerate=1/1000" \
    "$viewer" </dev/null 2>/dev/null &
  local pid=$! window before after
  window=$(wait_for_window '^edge$' "$pid")
  sleep "$warmup"
  before=$(cpu_ns "$pid")
  sleep 5
  after=$(cpu_ns "$pid")
  xdotool key --window "$window" q 2>/dev/null
  wait "$pid"
  awk -v ns=$((after - before)) 'BEGIN { printf "idle cpu_pct=%.2f\n", ns / 5 / 1e7 }'
}

for _ in $(seq "$rounds"); do
  for item in ${SIZES:-640x480@30 1920x1080@30}; do
    size=${item%@*}
    rate=30
    [ "$item" = "$size" ] || rate=${item#*@}
    format="$size@$rate"
    start_load
    run_viewer "$format" "${size%x*}" "${size#*x}" "$rate" "$seconds"
    run_peer "$format" "${size%x*}" "${size#*x}" "$rate" "$seconds"
    stop_load
  done
  [ -n "${NO_IDLE:-}" ] || run_idle
done
