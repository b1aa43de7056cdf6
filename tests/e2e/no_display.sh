#!/usr/bin/env bash
# The real program where no display answers (DISPLAY unset, or naming a server that is not there):
# one clear line on stderr and a non-zero status, not a toolkit abort or a core dump.
# Usage: no_display.sh VIEWER
set -u
viewer=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
check() { # how the display was missing, then the command
  local what=$1 code
  shift
  (ulimit -c 0; "$@" >"$out/stdout" 2>"$out/stderr")
  code=$?
  lines=$(wc -l <"$out/stderr")
  if [ "$code" -ne 1 ] || [ "$lines" -ne 1 ] || [ -s "$out/stdout" ] ||
    ! grep -q '^edge-viewer: failed to open a window: no display could be reached (DISPLAY' "$out/stderr"; then
    echo "FAIL: $what: exit status $code, stderr:" >&2
    cat "$out/stderr" >&2
    status=1
  else
    echo "$what: exit $code: $(cat "$out/stderr")"
  fi
}
check "DISPLAY unset" env -u DISPLAY -u WAYLAND_DISPLAY "$viewer"
# A display number no server listens on: nothing is under /tmp/.X11-unix for it.
check "dead display" env -u WAYLAND_DISPLAY DISPLAY=:4093 "$viewer"
exit $status
