# The steps every end-to-end script takes with the real viewer: sourced, never run. Sourcing only
# defines functions; e2e_init sets up a run. Every wait here has a bound of its own and, when it
# runs out, fails naming what it waited for, so that a fault shows as that line, not as ctest's
# timeout. E2E_SHOTS=DIR keeps the run's screenshots there.
#
# State, shared with the script:
#   viewer     the program to run (set by the script)
#   work       the run's scratch directory; the viewer's output goes to work/stdout, work/stderr
#   pid        the viewer running now, empty when none
#   window     its "edge" window; preview, its preview window
#   e2e_case   what the script is checking now, named in each failure
#   elapsed    milliseconds from the end's request to the end (e2e_end)
#   e2e_why    what a check saw on its last look, told when a wait runs out

e2e_init() {
  # Runs from the scratch directory (e2e_run) find the viewer too.
  [[ $viewer == */* ]] && viewer=$(realpath "$viewer")
  work=$(mktemp -d)
  pid=
  window=
  preview=
  e2e_case=
  e2e_why=
  e2e_terminal_used=
  trap e2e_exit EXIT
}

e2e_exit() {
  e2e_status=$? # the script's, for its own clean-up
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$e2e_terminal_used" ] && e2e_terminal kill-server 2>/dev/null
  # A script's own clean-up, when it defines one.
  declare -F e2e_cleanup >/dev/null && e2e_cleanup
  [ -n "${E2E_SHOTS:-}" ] && mkdir -p "$E2E_SHOTS" && cp "$work"/*.png "$E2E_SHOTS" 2>/dev/null
  rm -rf "$work"
}

fail() {
  echo "FAIL: ${e2e_case:+$e2e_case: }$*" >&2
  [ -s "$work/stderr" ] && { echo "--- the viewer's stderr:" >&2; cat "$work/stderr" >&2; }
  exit 1
}

# Now, in milliseconds, into e2e_ms: a variable, since a subshell per look would cost more than it
# measures. The digits only: the decimal separator follows the locale.
e2e_clock() {
  local now=${EPOCHREALTIME//[!0-9]/}
  e2e_ms=$((10#$now / 1000))
}

# Runs the command every tenth of a second until it succeeds: status 1 once the seconds are up.
e2e_poll() { # seconds, command...
  local end
  e2e_clock
  end=$((e2e_ms + $1 * 1000))
  shift
  until "$@"; do
    e2e_clock
    [ "$e2e_ms" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# Fails when the viewer has ended; it should still run.
e2e_running() { # when, for the message
  [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null && return 0
  local status=0 ended="the viewer ended"
  # Its status is known only when it is this shell's child, not when a terminal started it.
  wait "$pid" 2>/dev/null || status=$?
  [ "$status" -eq 127 ] || ended="$ended (status $status)"
  pid=
  fail "$ended $1"
}

e2e_met_or_ended() { # command...
  e2e_met=
  if "$@"; then
    e2e_met=1
    return 0
  fi
  [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null
}

# Waits for the command to succeed while the viewer runs; fails with "no WHAT after N s" and what
# the command saw last (e2e_why), or at once when the viewer ends.
e2e_wait() { # seconds, what, command...
  local seconds=$1 what=$2
  shift 2
  e2e_why=
  e2e_poll "$seconds" e2e_met_or_ended "$@"
  [ -n "$e2e_met" ] && return 0
  e2e_running "while waiting for $what"
  fail "no $what after $seconds s${e2e_why:+ ($e2e_why)}"
}

# Starts the viewer in the background, standard input not a terminal (as from a desktop launcher:
# nothing is asked), and waits for its "edge" window. Sets pid and window.
e2e_start() { # the viewer's arguments
  "$viewer" "$@" </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  e2e_await_window window edge
}

e2e_find_window() { # title as a regular expression
  e2e_found=$(xdotool search --all --onlyvisible --pid "$pid" --name "$1" 2>/dev/null | head -n 1)
  [ -n "$e2e_found" ]
}

# Waits for a visible window of this run's viewer with exactly this title: the windows of the run
# before may not all be gone yet. Sets the variable named first to its id.
e2e_await_window() { # variable, title, [seconds]
  local -n e2e_into=$1
  local pattern
  pattern=$(sed 's/[][\.*^$()+?{}|]/\\&/g' <<<"$2")
  e2e_wait "${3:-30}" "visible window \"$2\" of pid $pid" e2e_find_window "^$pattern\$"
  e2e_into=$e2e_found
}

# Whether a window is closed, or at least no longer shown.
e2e_closed() { # window
  ! xwininfo -id "$1" 2>/dev/null | grep -q IsViewable
}

# Waits for the preview window and moves it to X,Y (0,600 below "edge" by default): no window
# manager places the windows, and each would cover the other. Sets preview.
e2e_await_preview() { # title, [x y]
  e2e_await_window preview "$1"
  xdotool windowmove "$preview" "${2:-0}" "${3:-600}"
  e2e_wait 10 "the preview moved to ${2:-0},${3:-600}" e2e_at "$preview" "${2:-0}" "${3:-600}"
}

# Whether the window's top left corner is at X,Y: a move takes effect a little later.
e2e_at() { # window, x, y
  local WINDOW X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)"
  e2e_why="it is at ${X:-?},${Y:-?}"
  [ "${X:-}" = "$2" ] && [ "${Y:-}" = "$3" ]
}

# Ends the run with the command (by default the key q in "edge") and checks that it ended as a
# normal run does: within 10 s (a normal end takes some tens of milliseconds, more under the
# sanitizers; longer is a hang), with status 0 and nothing on stdout unless e2e_prints is set. With e2e_resend set, the
# command is repeated each second until the end. Sets elapsed.
e2e_end() { # [how, for the messages [command...]]
  local how=${1:-the key} start status last
  shift $(($# > 0))
  (($#)) || set -- xdotool key --window "$window" q
  e2e_running "on its own before $how"
  e2e_clock
  start=$e2e_ms
  last=$start
  "$@" 2>/dev/null
  while kill -0 "$pid" 2>/dev/null; do
    sleep 0.01
    e2e_clock
    [ $((e2e_ms - start)) -lt 10000 ] || fail "the viewer (pid $pid) still runs 10 s after $how"
    if [ -n "${e2e_resend:-}" ] && [ $((e2e_ms - last)) -ge 1000 ]; then
      last=$e2e_ms
      "$@" 2>/dev/null
    fi
  done
  status=0
  wait "$pid" || status=$?
  pid=
  e2e_clock
  elapsed=$((e2e_ms - start))
  [ "$status" -eq 0 ] || fail "exit status $status after $how"
  [ -n "${e2e_prints:-}" ] || [ ! -s "$work/stdout" ] ||
    fail "printed on stdout: $(cat "$work/stdout")"
}

# Runs the viewer to its end in the foreground, in the scratch directory, and checks its status.
# With --headless no display answers: a run that reached its windows would end with status 1 and
# the no-display line instead; --display=D names one instead. No core dump: a crash shows in the
# status.
e2e_run() { # [--headless | --display=D] expected status, the viewer's arguments
  local environment=() expected status=0
  case $1 in
  --headless) environment=(-u DISPLAY -u WAYLAND_DISPLAY) && shift ;;
  --display=*) environment=(-u WAYLAND_DISPLAY "DISPLAY=${1#*=}") && shift ;;
  esac
  expected=$1
  shift
  (cd "$work" && ulimit -c 0 && env "${environment[@]}" timeout 60 "$viewer" "$@" </dev/null \
    >"$work/stdout" 2>"$work/stderr") || status=$?
  [ "$status" -ne 124 ] || fail "edge-viewer $*: still running after 60 s"
  [ "$status" -eq "$expected" ] || fail "edge-viewer $*: status $status, not $expected"
}

# Checks what the run printed: nothing on stdout and exactly these lines on stderr. A line given
# with a final * stands for any line that starts with the rest.
e2e_expect_lines() { # lines...
  local printed=() i=0 expected ok=1
  mapfile -t printed <"$work/stderr"
  [ "${#printed[@]}" -eq $# ] || ok=
  for expected in "$@"; do
    if [[ $expected == *'*' ]]; then
      [[ ${printed[i]:-} == "${expected%\*}"* ]] || ok=
    else
      [ "${printed[i]:-}" = "$expected" ] || ok=
    fi
    i=$((i + 1))
  done
  [ -n "$ok" ] && [ ! -s "$work/stdout" ] && return 0
  [ -s "$work/stdout" ] && echo "--- the viewer's stdout:" >&2 && cat "$work/stdout" >&2
  expected="nothing on stderr"
  (($#)) && expected="only the lines $(printf '"%s" ' "$@")on stderr"
  fail "expected $expected and nothing on stdout"
}

e2e_wait_for_line() { # text, [seconds]
  e2e_wait "${2:-30}" "line \"$1\" on stderr" grep -qF -- "$1" "$work/stderr"
}

# A screenshot of a window (by default "edge") as work/NAME.png. import asks for a mouse click
# when its window has gone: never let it wait for one.
e2e_shot() { # name, [window]
  rm -f "$work/$1.png"
  timeout 20 import -window "${2:-$window}" "$work/$1.png" 2>/dev/null
}

# The edge pixels (pure white) of a screenshot, or of its part WxH+X+Y.
e2e_white_pixels() { # file, [part]
  convert "$1" ${2:+-crop "$2"} -threshold 99% -format '%[fx:round(mean*w*h)]' info:
}

# The part of a screenshot of "edge" between its tool bar (28 rows) and its sliders (68 rows), as
# WxH+X+Y.
e2e_band() { # file
  identify -format '%wx%[fx:h-96]+0+28' "$1"
}

# Where the picture lies in that part, as WxH+X+Y from the part's corner: the picture is black
# with white edges, the window around it grey. A grey border of one pixel first, for a picture
# that fills the part: the box is what differs from the corners.
e2e_picture_box() { # file
  local box
  box=$(convert "$1" -crop "$(e2e_band "$1")" +repage -bordercolor '#efefef' -border 1 -negate \
    -threshold 90% -format '%@' info:)
  [[ $box =~ ^([0-9]+x[0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || { echo "$box"; return; }
  echo "${BASH_REMATCH[1]}+$((BASH_REMATCH[2] - 1))+$((BASH_REMATCH[3] - 1))"
}

e2e_differ() { # two images
  local pixels
  pixels=$(compare -metric AE "$1" "$2" null: 2>&1)
  # An image that could not be read is no change.
  [[ $pixels =~ ^[0-9.e+]+$ ]] && [ "$pixels" != 0 ]
}

# Whether the picture in "edge" changes within a second.
e2e_edges_move() {
  e2e_shot tick || return 1
  for _ in $(seq 10); do
    sleep 0.1
    e2e_shot tock && e2e_differ "$work/tick.png" "$work/tock.png" && return 0
  done
  e2e_why="the picture in \"edge\" did not change within a second"
  return 1
}

# Drags a slider's handle from one value's place to another's. The grooves run from column 127 to
# two columns short of the window's right edge; T1 lies 58 rows above the window's bottom, T2 33.
e2e_drag_slider() { # T1 or T2, its value now, the value wanted
  local WINDOW WIDTH HEIGHT X Y SCREEN above=33
  eval "$(xdotool getwindowgeometry --shell "$window")"
  [ "$1" = T1 ] && above=58
  local row=$((HEIGHT - above)) from=$((127 + $2 * (WIDTH - 129) / 255))
  local to=$((127 + $3 * (WIDTH - 129) / 255))
  xdotool mousemove --window "$window" "$from" "$row" mousedown 1 \
    mousemove --window "$window" $(((from + to) / 2)) "$row" \
    mousemove --window "$window" "$to" "$row" mouseup 1
}

# The fake camera plugin (tests/fake_camera) as the camera provider: its cameras are the groups
# e2e_fake_cameras copies from the webcams file. A registry of the run's own, so that the user's
# does not change with each run.
e2e_use_fake_cameras() { # plugin directory, [webcams file]
  export GST_PLUGIN_PATH=$1 GST_REGISTRY=$work/registry.bin
  export EDGE_VIEWER_FAKE_CAMERAS=$work/cameras.ini
  e2e_webcams=${2:-}
  : >"$work/cameras.ini"
}

# The cameras of the runs from now on, in this order; "NAME busy" marks one as in use by another
# program.
e2e_fake_cameras() { # names of groups in the webcams file
  local camera
  : >"$work/cameras.ini"
  for camera in "$@"; do
    awk -v group="[${camera% busy}]" '/^\[/ { on = ($0 == group) } on && !/^#/' "$e2e_webcams" \
      >>"$work/cameras.ini"
    [ "${camera% busy}" = "$camera" ] || echo "busy=true" >>"$work/cameras.ini"
  done
}

# The fake cameras' control: e2e_control unplugs them and plugs them in, in the runs started from
# now on.
e2e_use_fake_camera_control() {
  export EDGE_VIEWER_FAKE_CAMERA_CONTROL=$work/control
  mkfifo "$work/control"
}

# "remove NAME" or "add NAME". The write waits for the plugin to read, which it does from its
# start on.
e2e_control() { # command
  timeout 10 bash -c 'echo "$1" >"$2"' - "$1" "$work/control" ||
    fail "no viewer took \"$1\" from the fake cameras' control within 10 s"
}

# The viewer run in a terminal of its own (a tmux server), as a person at a terminal meets the
# camera dialog; the terminal says "exit status N" when the run ends. pid is found when the
# windows are (e2e_terminal_windows).
e2e_terminal() { # tmux's command and arguments
  tmux -L "edge-viewer-e2e-$$" "$@"
}

e2e_terminal_start() {
  e2e_terminal_used=1
  pid=
  # What the run says goes to the terminal; a failure should not show an earlier run's words.
  : >"$work/stderr"
  e2e_terminal new-session -d -x 160 -y 50 -e DISPLAY="$DISPLAY" \
    "$viewer 2>&1; echo \"exit status \$?\"; sleep 600"
}

e2e_terminal_shows() { # text
  e2e_terminal capture-pane -p | grep -qF -- "$1"
}

e2e_terminal_wait() { # text, [seconds]
  e2e_wait "${2:-30}" "\"$1\" in the terminal" e2e_terminal_shows "$1"
}

e2e_find_pid() {
  pid=$(pgrep -nf "^$viewer\$")
}

# Once the dialog is answered: the viewer's process and its "edge" window.
e2e_terminal_windows() {
  e2e_wait 30 "viewer process started from the terminal" e2e_find_pid
  e2e_await_window window edge
}

# A key in "edge" ends the run with status 0; the terminal holds what the run said.
e2e_terminal_end() {
  xdotool key --window "$window" q 2>/dev/null
  pid=
  e2e_terminal_wait "exit status" 10
  e2e_terminal_shows "exit status 0" ||
    fail "the run did not end with status 0: $(e2e_terminal capture-pane -p)"
}
