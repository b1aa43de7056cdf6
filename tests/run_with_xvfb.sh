#!/usr/bin/env bash
# Runs a command on a private virtual X display, so GUI tests never touch the user's desktop and
# parallel tests never share one.
set -u
workdir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 200); do
  grep -q '[0-9]' "$workdir/display" 2>/dev/null && break
  kill -0 "$xvfb" 2>/dev/null || { echo "run_with_xvfb: Xvfb did not start:" >&2; cat "$workdir/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$(tr -dc '0-9' <"$workdir/display")"
export XDG_RUNTIME_DIR="$workdir"
unset WAYLAND_DISPLAY
"$@"
