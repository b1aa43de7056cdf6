#!/usr/bin/env bash
# End-to-end benchmark on an X display (bench/run gives it a private Xvfb): the timed viewer on
# its test pattern and the GStreamer pipeline that does the same job, run in turn, each for
# SECONDS_PER_RUN seconds, ROUNDS times; SIZES picks the sizes. Prints one line of figures per run:
#   <case> cpu_ms_per_frame=.. captured=.. shown=.. p50_ms=.. p99_ms=.. exit_ms=.. rss_mib=..
# Usage: e2e.sh TIMED_VIEWER
set -u
viewer=$1
seconds=${SECONDS_PER_RUN:-10}
rounds=${ROUNDS:-3}
warmup=2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The viewer's test pattern in the format the format page offers, for the peer.
pattern() { # width height rate
  echo "videotestsrc is-live=true pattern=smpte" \
    "! clockoverlay halignment=right valignment=bottom font-desc=\"Sans 20\" time-format=%H:%M:%S" \
    "! video/x-raw,format=YUY2,width=$1,height=$2,framerate=$3"
}

# CPU time of every thread of a process, in nanoseconds (the scheduler's own accounting).
cpu_ns() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f", sum }'
}

rss_mib() { awk '/^VmRSS/ { printf "%.0f", $2 / 1024 }' /proc/"$1"/status; }

# CPU per frame over the measured window, nominal frames = rate x seconds.
measure_cpu() { # pid rate seconds
  local before after
  before=$(cpu_ns "$1")
  sleep "$3"
  after=$(cpu_ns "$1")
  awk -v ns=$((after - before)) -v frames=$(($2 * $3)) -v s="$3" \
    'BEGIN { printf "cpu_ms_per_frame=%.2f cpu_pct=%.2f", ns / frames / 1e6, ns / s / 1e7 }'
}

wait_for_window() { # name
  timeout 30 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1
}

# The real program on the built-in test pattern, run in a terminal (tmux) as a person would: the
# format page asks for the video format, and the benchmark answers with the size wanted.
run_viewer() { # case width height rate seconds
  local tmux=(tmux -L "edge-viewer-bench-$$")
  "${tmux[@]}" new-session -d -x 160 -y 50 -e DISPLAY="$DISPLAY" "exec $viewer" \; \
    set-option remain-on-exit on
  local pid choice window cpu rss start exit_ms
  pid=$("${tmux[@]}" display-message -p '#{pane_pid}')
  for _ in $(seq 300); do
    "${tmux[@]}" capture-pane -p | grep -q 'Format?' && break
    sleep 0.1
  done
  # The line of the format page that offers the size, e.g. "     3  YUY2   1920x1080  30, 15".
  choice=$("${tmux[@]}" capture-pane -p | awk -v size="$2x$3" '$0 ~ " " size " " { print ($1 == "*" ? $2 : $1); exit }')
  [ -n "$choice" ] || { echo "$1 error=no-format-$2x$3"; "${tmux[@]}" kill-server; return; }
  "${tmux[@]}" send-keys "$choice $4" Enter
  window=$(wait_for_window '^edge$')
  [ -n "$window" ] || { echo "$1 error=no-window"; "${tmux[@]}" kill-server; return; }
  sleep "$warmup"
  cpu=$(measure_cpu "$pid" "$4" "$5")
  rss=$(rss_mib "$pid")
  start=$(date +%s%N)
  xdotool key --window "$window" q 2>/dev/null
  # Ended once it is a zombie: tmux, its parent, may reap it a while later.
  local state=R
  while [ "$state" != Z ] && read -r _ _ state _ 2>/dev/null <"/proc/$pid/stat"; do
    sleep 0.002
  done
  exit_ms=$(( ($(date +%s%N) - start) / 1000000 ))
  local timing
  timing=$("${tmux[@]}" capture-pane -p -J -S - | sed -n 's/.*edge-viewer timing: //p' |
    awk '{ printf "captured=%s shown=%s p50_ms=%s p99_ms=%s", $2, $4, $6, $8 }')
  "${tmux[@]}" kill-server
  echo "$1 $cpu $timing exit_ms=$exit_ms rss_mib=$rss"
}

run_peer() { # case width height rate seconds
  local tee_branch="queue ! videoscale ! video/x-raw,width=640,height=480 ! videoconvert ! ximagesink"
  eval "exec gst-launch-1.0 -q $(pattern "$2" "$3" "$4/1") ! tee name=t" \
    "t. ! queue ! videoconvert ! edgedetect threshold1=100 threshold2=120 mask=false" \
    "! videoflip video-direction=vert ! videoconvert ! ximagesink" \
    "t. ! $tee_branch" >/dev/null 2>"$work/peer.stderr" &
  local pid=$!
  sleep "$warmup"
  kill -0 "$pid" 2>/dev/null || { echo "$1 error=$(head -c 200 "$work/peer.stderr" | tr ' \n' '_')"; return; }
  local cpu rss
  cpu=$(measure_cpu "$pid" "$4" "$5")
  rss=$(rss_mib "$pid")
  kill -INT "$pid"
  wait "$pid"
  echo "$1 $cpu rss_mib=$rss"
}

# A source that delivers its first frame and then nothing for a long time.
run_idle() {
  EDGE_VIEWER_BENCH_SOURCE="videotestsrc is-live=true pattern=smpte ! video/x-raw,width=640,height=480,framerate=1/1000" \
    "$viewer" </dev/null 2>/dev/null &
  local pid=$! window before after
  window=$(wait_for_window '^edge$')
  sleep "$warmup"
  before=$(cpu_ns "$pid")
  sleep 5
  after=$(cpu_ns "$pid")
  xdotool key --window "$window" q 2>/dev/null
  wait "$pid"
  awk -v ns=$((after - before)) 'BEGIN { printf "idle cpu_pct=%.2f\n", ns / 5 / 1e7 }'
}

for _ in $(seq "$rounds"); do
  for size in ${SIZES:-640x480 1920x1080}; do
    run_viewer "viewer-$size" "${size%x*}" "${size#*x}" 30 "$seconds"
    run_peer "gstreamer-$size" "${size%x*}" "${size#*x}" 30 "$seconds"
  done
  [ -n "${NO_IDLE:-}" ] || run_idle
done
