#!/usr/bin/env bash
# Runs a command on a private virtual X display, so GUI tests never touch the user's desktop and
# parallel tests never share one. XVFB_SCREEN sets its size (WxHxDEPTH, 1920x1080x24 by default).
set -u
workdir=$(mktemp -d)
# It is also the run's XDG_RUNTIME_DIR, which must be 0700: Qt (OpenCV's windows) prints a warning
# for any other mode, and the tests fail on lines they do not expect.
chmod 0700 "$workdir"
# -noreset: a server that resets when its last client leaves refuses a client that connects during
# the reset. -r, no key repeat: a key that ends one viewer, pressed while its process goes, may be
# left down, and its repeats then end the next viewer started on the same display.
Xvfb -displayfd 3 -screen 0 "${XVFB_SCREEN:-1920x1080x24}" -nolisten tcp -noreset -r 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$workdir"' EXIT
# Xvfb writes the display number, then a newline, once it accepts connections. A loaded machine
# may take a while; give up clearly rather than run the command without a display.
for _ in $(seq 1200); do
  grep -q '^[0-9][0-9]*$' "$workdir/display" 2>/dev/null && break
  kill -0 "$xvfb" 2>/dev/null || { echo "run_with_xvfb: Xvfb did not start:" >&2; cat "$workdir/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
number=$(tr -dc '0-9' <"$workdir/display")
[ -n "$number" ] || { echo "run_with_xvfb: Xvfb gave no display within 60 s" >&2; exit 1; }
export DISPLAY=":$number"
export XDG_RUNTIME_DIR="$workdir"
unset WAYLAND_DISPLAY
"$@"
